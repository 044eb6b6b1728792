// The time-stamp rewrite of one frame over arbitrary bytes. The input is an
// 8-byte base (little-endian) and the frame. Checked:
// - nothing is written outside the frame (guard bytes on both sides, and
//   AddressSanitizer where it is built in),
// - packets without the sync byte and a trailing partial packet are left as
//   they were,
// - the answer is not before the base,
// - a second call is consistent: rewriting the rewritten frame to the same
//   base changes nothing and answers the same, and rewriting it to another
//   base gives the bytes and the answer of rewriting the original to that base.
#include <cstring>
#include <vector>

#include "FuzzSupport.h"
#include "MPEG_TS_Packager.h"

namespace {

const unsigned int kPacket = 188;
const size_t kGuard = 64;
const unsigned char kGuardByte = 0xA5;

using MPEG_TS::MPEG_TS_Packager;

// The frame between guard bytes; adjust() checks them after every call.
class GuardedFrame {
  public:
    explicit GuardedFrame(const std::vector<unsigned char>& frame)
        : m_bytes(frame.size() + 2 * kGuard, kGuardByte), m_size(frame.size()) {
        if (!frame.empty()) std::memcpy(data(), frame.data(), frame.size());
    }
    unsigned char* data() { return m_bytes.data() + kGuard; }
    std::vector<unsigned char> frame() const {
        return std::vector<unsigned char>(m_bytes.begin() + kGuard, m_bytes.end() - kGuard);
    }
    unsigned long long adjust(unsigned long long base) {
        const unsigned long long next =
            MPEG_TS_Packager::adjustTimeStamp(data(), static_cast<unsigned int>(m_size), base);
        for (size_t i = 0; i < kGuard; ++i) {
            FUZZ_CHECK(m_bytes[i] == kGuardByte);
            FUZZ_CHECK(m_bytes[kGuard + m_size + i] == kGuardByte);
        }
        return next;
    }

  private:
    std::vector<unsigned char> m_bytes;
    size_t m_size;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 8) return 0;
    unsigned long long base = 0;
    for (int i = 0; i < 8; ++i) base |= static_cast<unsigned long long>(data[i]) << (8 * i);
    // A running base stays far below 2^64; keep room for the answer.
    base &= (1ULL << 62) - 1;
    const std::vector<unsigned char> original(data + 8, data + size);
    const size_t whole = original.size() - original.size() % kPacket;

    GuardedFrame once(original);
    const unsigned long long next = once.adjust(base);
    FUZZ_CHECK(next >= base);
    const std::vector<unsigned char> rewritten = once.frame();
    for (size_t at = 0; at < whole; at += kPacket) {
        if (original[at] != 0x47) {
            FUZZ_CHECK(std::memcmp(&original[at], &rewritten[at], kPacket) == 0);
        }
    }
    FUZZ_CHECK(std::equal(original.begin() + whole, original.end(), rewritten.begin() + whole));

    GuardedFrame twice(rewritten);
    FUZZ_CHECK(twice.adjust(base) == next);
    FUZZ_CHECK(twice.frame() == rewritten);

    const unsigned long long other = base ^ 0x1234567ULL;
    GuardedFrame direct(original);
    const unsigned long long directNext = direct.adjust(other);
    FUZZ_CHECK(twice.adjust(other) == directNext);
    FUZZ_CHECK(twice.frame() == direct.frame());
    return 0;
}
