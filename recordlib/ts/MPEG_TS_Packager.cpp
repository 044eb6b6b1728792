#include "MPEG_TS_Packager.h"

// Time stamp rewriting for one frame (a run of 188-byte packets).
//
// The frame is walked twice: a short look-ahead that stops at the first video
// PES header (the anchor), then one rewriting pass over all packets. Nothing is
// allocated and every read is bounded by the packet it belongs to.
//
// Anchor: the DTS (PTS where the PES has no DTS) of the first video PES
// (stream_id 0xE0-0xEF) that carries a time stamp; in a frame without video,
// the first PES of any stream with a time stamp. The anchor becomes `base`.
//
// Answer: the running base for the next frame, i.e. the end of this frame in
// decode order: base + (largest DTS of the anchor's PID - anchor) + duration,
// where the duration is the smallest positive DTS step between consecutive PES
// of the anchor's PID in this frame, or kDefaultFrameTicks when the frame holds
// one PES of that PID only, rounded up to a multiple of 9 ticks (100 us) as the
// caller keeps it in microseconds. The answer is a plain 64-bit running value, never
// wrapped; only the values written into packets are taken modulo 2^33.
//
// Left untouched: packets without the sync byte, with the transport error
// flag, with an adaptation field longer than the packet, PES headers that do
// not fit in the packet they start in (a PES header split across packets is
// not rewritten), time stamps with wrong marker bits, and a trailing partial
// packet. A frame without any time stamp answers `base` unchanged.

#include <cstdint>
#include <cstring>

namespace MPEG_TS {

namespace {

constexpr unsigned int kPacketSize = 188;
constexpr unsigned long long kTsMask = (1ULL << 33) - 1;
// 40 ms: the frame duration assumed when a frame gives no DTS step.
constexpr unsigned long long kDefaultFrameTicks = 3600;
constexpr unsigned long long kTicksPer100Us = 9;  // the answer's granularity

// Where the time stamps of one packet are, if any.
struct PacketFields {
    unsigned int pid = 0;
    unsigned char* pcr = nullptr;  // 6 bytes of program_clock_reference
    unsigned char* pts = nullptr;  // 5 bytes
    unsigned char* dts = nullptr;  // 5 bytes
    bool video = false;            // the PES is a video stream
};

// Parses one whole packet; returns false when it has nothing to rewrite or
// cannot be parsed.
inline bool parsePacket(unsigned char* p, PacketFields& f) {
    if (p[0] != 0x47 || (p[1] & 0x80) != 0) return false;
    f.pid = ((p[1] & 0x1Fu) << 8) | p[2];
    const bool unitStart = (p[1] & 0x40) != 0;
    const unsigned int control = (p[3] >> 4) & 3;
    unsigned int pos = 4;
    f.pcr = f.pts = f.dts = nullptr;
    if (control & 2) {
        const unsigned int afLength = p[4];
        if (5 + afLength > kPacketSize) return false;
        if (afLength >= 7 && (p[5] & 0x10) != 0) f.pcr = p + 6;
        pos = 5 + afLength;
    }
    if ((control & 1) && unitStart && pos + 9 <= kPacketSize) {
        unsigned char* h = p + pos;
        const unsigned int sid = h[3];
        // Streams without the optional PES header (program stream map,
        // padding, private 2, ECM, EMM, directory, DSM-CC, H.222.1 E).
        const bool noHeader = sid == 0xBC || sid == 0xBE || sid == 0xBF || sid == 0xF0 ||
                              sid == 0xF1 || sid == 0xFF || sid == 0xF2 || sid == 0xF8;
        if (h[0] == 0 && h[1] == 0 && h[2] == 1 && sid >= 0xBC && !noHeader &&
            (h[6] & 0xC0) == 0x80) {
            const unsigned int flags = h[7] >> 6;
            const unsigned int headerLength = h[8];
            const unsigned int need = flags == 3 ? 10 : flags == 2 ? 5 : 0;
            if (need != 0 && headerLength >= need && pos + 9 + need <= kPacketSize) {
                unsigned char* t = h + 9;
                auto markersOk = [](const unsigned char* s) {
                    return (s[0] & 1) && (s[2] & 1) && (s[4] & 1);
                };
                if (markersOk(t) && (need == 5 || markersOk(t + 5))) {
                    f.pts = t;
                    if (need == 10) f.dts = t + 5;
                    f.video = sid >= 0xE0 && sid <= 0xEF;
                }
            }
        }
    }
    return f.pcr != nullptr || f.pts != nullptr;
}

// Only a packet that starts a PES (payload_unit_start_indicator) or carries
// an adaptation field can hold a time stamp; most packets of a frame do
// neither. 1 for a packet that may, 0 for one that parsePacket() would answer
// false for anyway: its first four bytes read as one word, tested without a
// branch.
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

inline unsigned long long readTs(const unsigned char* s) {
    return (static_cast<unsigned long long>((s[0] >> 1) & 0x07) << 30) |
           (static_cast<unsigned long long>(s[1]) << 22) |
           (static_cast<unsigned long long>(s[2] >> 1) << 15) |
           (static_cast<unsigned long long>(s[3]) << 7) | (s[4] >> 1);
}

// Keeps the 4-bit prefix and the marker bits.
inline void writeTs(unsigned char* s, unsigned long long v) {
    s[0] = static_cast<unsigned char>((s[0] & 0xF1) | ((v >> 29) & 0x0E));
    s[1] = static_cast<unsigned char>(v >> 22);
    s[2] = static_cast<unsigned char>((s[2] & 0x01) | ((v >> 14) & 0xFE));
    s[3] = static_cast<unsigned char>(v >> 7);
    s[4] = static_cast<unsigned char>((s[4] & 0x01) | ((v << 1) & 0xFE));
}

// The 33-bit base of a PCR; the 9-bit extension is kept as it is, so the PCR
// moves by exactly offset x 300 modulo 2^33 x 300.
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

// The distance from `from` to `to` on the 33-bit circle, as a signed value in
// [-2^32, 2^32).
inline long long signedDelta(unsigned long long to, unsigned long long from) {
    const unsigned long long d = (to - from) & kTsMask;
    return d >= (1ULL << 32) ? static_cast<long long>(d) - (1LL << 33) : static_cast<long long>(d);
}

}  // namespace

unsigned long long MPEG_TS_Packager::adjustTimeStamp(unsigned char* data, unsigned int length,
                                                     unsigned long long base) {
    if (data == nullptr) return base;
    const unsigned int end = length - length % kPacketSize;

    // Look-ahead for the anchor.
    bool found = false;
    unsigned long long anchor = 0;
    unsigned int anchorPid = 0;
    PacketFields f;
    for (unsigned int i = 0; i < end; i += kPacketSize) {
        if (mayCarryTimeStamp(data + i) == 0) continue;
        if (!parsePacket(data + i, f) || f.pts == nullptr) continue;
        if (!found || f.video) {
            anchor = readTs(f.dts != nullptr ? f.dts : f.pts);
            anchorPid = f.pid;
            found = true;
            if (f.video) break;
        }
    }
    if (!found) return base;

    const unsigned long long offset = (base - anchor) & kTsMask;
    long long lastDelta = 0;  // largest DTS of the anchor's PID, relative to the anchor
    long long prevDelta = 0;  // previous DTS of the anchor's PID
    long long minStep = 0;    // smallest positive step between them, 0 if none
    bool seenAnchorPid = false;
    CandidatePackets candidates(0, end);
    for (unsigned int i = 0; candidates.next(data, i);) {
        if (!parsePacket(data + i, f)) continue;
        if (f.pcr != nullptr) writePcrBase(f.pcr, (readPcrBase(f.pcr) + offset) & kTsMask);
        if (f.pts == nullptr) continue;
        const unsigned long long oldPts = readTs(f.pts);
        writeTs(f.pts, (oldPts + offset) & kTsMask);
        unsigned long long decode = oldPts;
        if (f.dts != nullptr) {
            decode = readTs(f.dts);
            writeTs(f.dts, (decode + offset) & kTsMask);
        }
        if (f.pid != anchorPid) continue;
        const long long delta = signedDelta(decode, anchor);
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
