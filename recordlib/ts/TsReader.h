#ifndef RECORDLIB_TS_TSREADER_H
#define RECORDLIB_TS_TSREADER_H

// The one reader of MPEG-2 transport stream packets: the packet header, the
// adaptation field (random access indicator, PCR), the header of a PES that
// starts in the packet (stream id, PTS, DTS) and the PSI sections (PAT, PMT)
// with their CRC. Every check of a packet's syntax is made here, so the
// time-stamp rewrite and the import accept and refuse the same packets.
// Reads only the 188 bytes of the packet it is given; stateless, no
// allocation, safe to call from any thread.

#include <cstddef>

#include "RecordLibExport.h"

// readPacket runs for every packet of the time-stamp rewrite's fast path.
#if defined(__GNUC__) || defined(__clang__)
#define TS_READER_INLINE inline __attribute__((always_inline))
#else
#define TS_READER_INLINE inline
#endif

namespace MPEG_TS {

constexpr unsigned int kPacketSize = 188;
constexpr unsigned long long kTimeStampMask = (1ULL << 33) - 1;

// What one packet holds. Offsets count from the packet's first byte; 0 means
// absent (no field can start there).
struct TsPacket {
    unsigned int pid = 0;
    bool unitStart = false;              // payload_unit_start_indicator
    bool randomAccess = false;           // random_access_indicator
    unsigned int payload = kPacketSize;  // the payload; kPacketSize when none
    unsigned int pcr = 0;                // the 6 bytes of the PCR
    int streamId = -1;                   // the PES starting here; -1 when none
    unsigned int pts = 0;                // 5 bytes each
    unsigned int dts = 0;
    unsigned int pesData = 0;  // the PES payload; past the packet when the
                               // header goes on in the next packet
};

// Streams whose PES has no optional header (program stream map, padding,
// private 2, ECM, EMM, directory, DSM-CC, H.222.1 type E).
inline bool pesWithoutHeader(unsigned int streamId) {
    return streamId == 0xBC || streamId == 0xBE || streamId == 0xBF || streamId == 0xF0 ||
           streamId == 0xF1 || streamId == 0xFF || streamId == 0xF2 || streamId == 0xF8;
}

inline bool timeStampMarkersOk(const unsigned char* s) {
    return (s[0] & 1) && (s[2] & 1) && (s[4] & 1);
}

// Reads one whole packet. False when it is refused: no sync byte, the
// transport error flag set, or an adaptation field longer than the packet
// (`t` is then not filled). A PES start that fails the checks below does not
// refuse the packet: it leaves streamId at -1, the PCR is kept.
TS_READER_INLINE bool readPacket(const unsigned char* p, TsPacket& t) {
    if (p[0] != 0x47 || (p[1] & 0x80) != 0) return false;
    t.pid = ((p[1] & 0x1Fu) << 8) | p[2];
    t.unitStart = (p[1] & 0x40) != 0;
    t.randomAccess = false;
    t.pcr = t.pts = t.dts = t.pesData = 0;
    t.streamId = -1;
    const unsigned int control = (p[3] >> 4) & 3;
    unsigned int pos = 4;
    if (control & 2) {
        const unsigned int afLength = p[4];
        if (5 + afLength > kPacketSize) return false;
        if (afLength > 0) t.randomAccess = (p[5] & 0x40) != 0;
        if (afLength >= 7 && (p[5] & 0x10) != 0) t.pcr = 6;
        pos = 5 + afLength;
    }
    t.payload = (control & 1) ? pos : kPacketSize;
    // A PES header is taken only with the start code, a stream id that has
    // the optional header, the '10' bits, and its time stamps complete in
    // this packet with their marker bits.
    if (!t.unitStart || (control & 1) == 0 || pos + 9 > kPacketSize) return true;
    const unsigned char* h = p + pos;
    if (h[0] != 0 || h[1] != 0 || h[2] != 1 || h[3] < 0xBC || pesWithoutHeader(h[3]) ||
        (h[6] & 0xC0) != 0x80) {
        return true;
    }
    const unsigned int flags = h[7] >> 6;
    const unsigned int need = flags == 3 ? 10 : flags == 2 ? 5 : 0;
    if (h[8] < need || pos + 9 + need > kPacketSize) return true;
    if (need != 0 && (!timeStampMarkersOk(h + 9) || (need == 10 && !timeStampMarkersOk(h + 14))))
        return true;
    t.streamId = h[3];
    t.pesData = pos + 9 + h[8];
    if (need != 0) t.pts = pos + 9;
    if (need == 10) t.dts = pos + 14;
    return true;
}

// A PTS or DTS (33 bits).
inline unsigned long long readTimeStamp(const unsigned char* s) {
    return (static_cast<unsigned long long>((s[0] >> 1) & 0x07) << 30) |
           (static_cast<unsigned long long>(s[1]) << 22) |
           (static_cast<unsigned long long>(s[2] >> 1) << 15) |
           (static_cast<unsigned long long>(s[3]) << 7) | (s[4] >> 1);
}

// Rewrites a PTS or DTS in place, keeping its 4-bit prefix and marker bits.
inline void writeTimeStamp(unsigned char* s, unsigned long long v) {
    s[0] = static_cast<unsigned char>((s[0] & 0xF1) | ((v >> 29) & 0x0E));
    s[1] = static_cast<unsigned char>(v >> 22);
    s[2] = static_cast<unsigned char>((s[2] & 0x01) | ((v >> 14) & 0xFE));
    s[3] = static_cast<unsigned char>(v >> 7);
    s[4] = static_cast<unsigned char>((s[4] & 0x01) | ((v << 1) & 0xFE));
}

// The 33-bit base of a PCR; its 9-bit extension is left as it is.
inline unsigned long long readPcrBase(const unsigned char* s) {
    return (static_cast<unsigned long long>(s[0]) << 25) |
           (static_cast<unsigned long long>(s[1]) << 17) |
           (static_cast<unsigned long long>(s[2]) << 9) |
           (static_cast<unsigned long long>(s[3]) << 1) | (s[4] >> 7);
}

inline void writePcrBase(unsigned char* s, unsigned long long v) {
    s[0] = static_cast<unsigned char>(v >> 25);
    s[1] = static_cast<unsigned char>(v >> 17);
    s[2] = static_cast<unsigned char>(v >> 9);
    s[3] = static_cast<unsigned char>(v >> 1);
    s[4] = static_cast<unsigned char>((s[4] & 0x7F) | ((v & 1) << 7));
}

// The distance from `from` to `to` on the 33-bit circle, in [-2^32, 2^32).
inline long long timeStampDelta(unsigned long long to, unsigned long long from) {
    const unsigned long long d = (to - from) & kTimeStampMask;
    return d >= (1ULL << 32) ? static_cast<long long>(d) - (1LL << 33) : static_cast<long long>(d);
}

// The MPEG-2 CRC-32 of PSI sections (polynomial 0x04C11DB7, not reflected,
// initial value 0xFFFFFFFF, no final xor). Over a whole section, CRC
// included, it is 0.
RECORDLIB_EXPORT unsigned int mpegCrc32(const unsigned char* data, std::size_t length);

// A long-form PSI section that starts in a packet (after its pointer field)
// and ends in it.
struct TsSection {
    unsigned int tableId = 0;
    const unsigned char* body = nullptr;  // after last_section_number
    unsigned int bodyLength = 0;          // up to the CRC
};

// The section starting in packet `p` (read by readPacket into `t`). False
// when none starts there, it does not end in this packet, or its CRC is
// wrong.
RECORDLIB_EXPORT bool readSection(const unsigned char* p, const TsPacket& t, TsSection& s);

// The PMT PID of the first program of a PAT section; -1 when it has none.
inline int pmtPidOf(const TsSection& pat) {
    for (unsigned int i = 0; i + 4 <= pat.bodyLength; i += 4) {
        const unsigned char* e = pat.body + i;
        if (((e[0] << 8) | e[1]) != 0) return ((e[2] & 0x1F) << 8) | e[3];
    }
    return -1;
}

// Calls f(streamType, pid) for each elementary stream of a PMT section, in
// order, until f answers false.
template <typename F>
void forEachStream(const TsSection& pmt, F f) {
    if (pmt.bodyLength < 4) return;
    const unsigned char* b = pmt.body;
    for (unsigned int i = 4 + (((b[2] & 0x0Fu) << 8) | b[3]); i + 5 <= pmt.bodyLength;
         i += 5 + (((b[i + 3] & 0x0Fu) << 8) | b[i + 4])) {
        if (!f(b[i], ((b[i + 1] & 0x1Fu) << 8) | b[i + 2])) return;
    }
}

}  // namespace MPEG_TS

#endif  // RECORDLIB_TS_TSREADER_H
