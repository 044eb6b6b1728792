#include "MPEG_TS_Packager.h"

// Time stamp rewriting for one frame (a run of 188-byte packets); the rules
// are in the header. The frame is walked twice: a short look-ahead that stops
// at the first video PES header (the anchor), then one rewriting pass.
//
// Packets are read by TsReader, which decides alone what is refused: a packet
// it refuses (no sync byte, transport error flag set, adaptation field longer
// than the packet) is left untouched, and so are the time stamps of a PES
// header it does not take (no start code, a stream id without the optional
// header, broken '10' or marker bits, time stamps not complete in the packet).

#include <cstdint>
#include <cstring>

#include "ts/TsReader.h"

namespace MPEG_TS {

namespace {

// 40 ms: the frame duration assumed when a frame gives no DTS step.
constexpr unsigned long long kDefaultFrameTicks = 3600;
constexpr unsigned long long kTicksPer100Us = 9;  // the answer's granularity

// Only a packet that starts a PES (payload_unit_start_indicator) or carries
// an adaptation field can hold a time stamp; most packets of a frame do
// neither. 1 for a packet that may, 0 for one that has no PCR nor time stamp: its first four bytes
// read as one word, tested without a branch.
inline unsigned int mayCarryTimeStamp(const unsigned char* p) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    std::uint32_t word;
    std::memcpy(&word, p, sizeof word);
    return ((word >> 14) | (word >> 29)) & 1u;  // byte 1 bit 6, byte 3 bit 5
#else
    return ((p[1] >> 6) | (p[3] >> 5)) & 1u;
#endif
}

// The packets of [begin, end) that may hold a time stamp, in order, a block
// at a time: the header test runs over the block without a branch, and only
// the packets it keeps are parsed.
class CandidatePackets {
  public:
    CandidatePackets(unsigned int begin, unsigned int end) : m_next(begin), m_end(end) {}

    // The offset of the next candidate packet; false after the last one.
    bool next(const unsigned char* data, unsigned int& offset) {
        while (m_at == m_count) {
            if (m_next >= m_end) return false;
            const unsigned int stop =
                m_end - m_next > kBlock * kPacketSize ? m_next + kBlock * kPacketSize : m_end;
            // Locals: the bytes read through `data` could alias the members,
            // which would tie every packet to the store of the one before.
            unsigned int* const offsets = m_offsets;
            const unsigned int end = m_end;
            unsigned int count = 0;
            for (unsigned int i = m_next; i < stop; i += kPacketSize) {
                // Each header is on a cache line of its own: ask for the
                // ones a few packets ahead while this one is tested.
                const unsigned int ahead = i + kPrefetchPackets * kPacketSize;
                __builtin_prefetch(data + (ahead < end ? ahead : i));
                offsets[count] = i;
                count += mayCarryTimeStamp(data + i);
            }
            m_at = 0;
            m_count = count;
            m_next = stop;
        }
        offset = m_offsets[m_at++];
        return true;
    }

  private:
    static constexpr unsigned int kBlock = 256;
    static constexpr unsigned int kPrefetchPackets = 8;
    unsigned int m_offsets[kBlock];
    unsigned int m_count = 0;
    unsigned int m_at = 0;
    unsigned int m_next;
    unsigned int m_end;
};

}  // namespace

unsigned long long MPEG_TS_Packager::adjustTimeStamp(unsigned char* data, unsigned int length,
                                                     unsigned long long base) {
    if (data == nullptr) return base;
    const unsigned int end = length - length % kPacketSize;

    // Look-ahead for the anchor.
    bool found = false;
    unsigned long long anchor = 0;
    unsigned int anchorPid = 0;
    TsPacket t;
    for (unsigned int i = 0; i < end; i += kPacketSize) {
        if (mayCarryTimeStamp(data + i) == 0) continue;
        if (!readPacket(data + i, t) || t.pts == 0) continue;
        const bool video = t.streamId >= 0xE0 && t.streamId <= 0xEF;
        if (!found || video) {
            anchor = readTimeStamp(data + i + (t.dts != 0 ? t.dts : t.pts));
            anchorPid = t.pid;
            found = true;
            if (video) break;
        }
    }
    if (!found) return base;

    const unsigned long long offset = (base - anchor) & kTimeStampMask;
    long long lastDelta = 0;  // largest DTS of the anchor's PID, relative to the anchor
    long long prevDelta = 0;  // previous DTS of the anchor's PID
    long long minStep = 0;    // smallest positive step between them, 0 if none
    bool seenAnchorPid = false;
    CandidatePackets candidates(0, end);
    for (unsigned int i = 0; candidates.next(data, i);) {
        unsigned char* p = data + i;
        if (!readPacket(p, t)) continue;
        if (t.pcr != 0) writePcrBase(p + t.pcr, (readPcrBase(p + t.pcr) + offset) & kTimeStampMask);
        if (t.pts == 0) continue;
        const unsigned long long oldPts = readTimeStamp(p + t.pts);
        writeTimeStamp(p + t.pts, (oldPts + offset) & kTimeStampMask);
        unsigned long long decode = oldPts;
        if (t.dts != 0) {
            decode = readTimeStamp(p + t.dts);
            writeTimeStamp(p + t.dts, (decode + offset) & kTimeStampMask);
        }
        if (t.pid != anchorPid) continue;
        const long long delta = timeStampDelta(decode, anchor);
        if (seenAnchorPid) {
            const long long step = delta - prevDelta;
            if (step > 0 && (minStep == 0 || step < minStep)) minStep = step;
        }
        if (!seenAnchorPid || delta > lastDelta) lastDelta = delta;
        prevDelta = delta;
        seenAnchorPid = true;
    }
    if (lastDelta < 0) lastDelta = 0;
    const unsigned long long duration =
        minStep > 0 ? static_cast<unsigned long long>(minStep) : kDefaultFrameTicks;
    // Rounded up to whole 100 us (9 ticks): the caller keeps the answer in
    // microseconds, and a truncated conversion would start the next frame a
    // tick inside this one.
    const unsigned long long next = base + static_cast<unsigned long long>(lastDelta) + duration;
    return next + (kTicksPer100Us - next % kTicksPer100Us) % kTicksPer100Us;
}

}  // namespace MPEG_TS
