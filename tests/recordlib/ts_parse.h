#ifndef TESTS_RECORDLIB_TS_PARSE_H
#define TESTS_RECORDLIB_TS_PARSE_H

// A small, independent reader of 188-byte packets for the TS tests: it lists
// the PES starts and PCRs of a buffer and checks continuity counters.

#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace tstest {

// One packet that starts a PES or carries a PCR.
struct TsEvent {
    std::size_t packet = 0;  // index of the packet in the buffer
    unsigned int pid = 0;
    int streamId = -1;   // -1 when the packet starts no PES
    long long pts = -1;  // 33-bit values, -1 when absent
    long long dts = -1;
    long long pcrBase = -1;  // 33-bit base of the PCR
    int pcrExtension = -1;
    bool randomAccess = false;
};

inline long long readTs(const unsigned char* s) {
    return (static_cast<long long>((s[0] >> 1) & 7) << 30) | (static_cast<long long>(s[1]) << 22) |
           (static_cast<long long>(s[2] >> 1) << 15) | (static_cast<long long>(s[3]) << 7) |
           (s[4] >> 1);
}

inline std::vector<TsEvent> parseTs(const unsigned char* d, std::size_t n) {
    std::vector<TsEvent> events;
    for (std::size_t i = 0; i + 188 <= n; i += 188) {
        const unsigned char* p = d + i;
        if (p[0] != 0x47) continue;
        TsEvent e;
        e.packet = i / 188;
        e.pid = ((p[1] & 0x1Fu) << 8) | p[2];
        std::size_t pos = 4;
        if (p[3] & 0x20) {
            if (p[4] > 183) continue;
            if (p[4] > 0) {
                e.randomAccess = (p[5] & 0x40) != 0;
                if ((p[5] & 0x10) && p[4] >= 7) {
                    e.pcrBase = (static_cast<long long>(p[6]) << 25) | (p[7] << 17) | (p[8] << 9) |
                                (p[9] << 1) | (p[10] >> 7);
                    e.pcrExtension = ((p[10] & 1) << 8) | p[11];
                }
            }
            pos = 5 + p[4];
        }
        if ((p[1] & 0x40) && (p[3] & 0x10) && pos + 19 <= 188 && p[pos] == 0 && p[pos + 1] == 0 &&
            p[pos + 2] == 1) {
            e.streamId = p[pos + 3];
            const int flags = p[pos + 7] >> 6;
            if (flags >= 2) e.pts = readTs(p + pos + 9);
            if (flags == 3) e.dts = readTs(p + pos + 14);
        }
        if (e.streamId >= 0 || e.pcrBase >= 0) events.push_back(e);
    }
    return events;
}

inline bool isVideo(const TsEvent& e) { return e.streamId >= 0xE0 && e.streamId <= 0xEF; }
inline bool isAudio(const TsEvent& e) { return e.streamId >= 0xC0 && e.streamId <= 0xDF; }
inline long long decodeTime(const TsEvent& e) { return e.dts >= 0 ? e.dts : e.pts; }

// Checks that the continuity counter of every PID goes up by one per packet
// with payload, carrying on from `last` (updated); answers the first fault.
inline std::string checkContinuity(const unsigned char* d, std::size_t n,
                                   std::map<unsigned int, int>& last) {
    for (std::size_t i = 0; i + 188 <= n; i += 188) {
        const unsigned char* p = d + i;
        if (p[0] != 0x47) return "no sync byte in packet " + std::to_string(i / 188);
        const unsigned int pid = ((p[1] & 0x1Fu) << 8) | p[2];
        if (!(p[3] & 0x10) || pid == 0x1FFF) continue;
        const int cc = p[3] & 0x0F;
        auto it = last.find(pid);
        if (it != last.end() && cc != ((it->second + 1) & 0x0F)) {
            return "pid " + std::to_string(pid) + " packet " + std::to_string(i / 188) +
                   ": expected " + std::to_string((it->second + 1) & 0x0F) + ", got " +
                   std::to_string(cc);
        }
        last[pid] = cc;
    }
    return "";
}

}  // namespace tstest

#endif  // TESTS_RECORDLIB_TS_PARSE_H
