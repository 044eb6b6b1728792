#ifndef FUZZ_FUZZSUPPORT_H
#define FUZZ_FUZZSUPPORT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// What every fuzz target shares: the entry points libFuzzer calls (the replay
// program calls the same ones), and a check that stops the run with a
// message, so that a broken property shows up as a crash with its input.

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fuzz {

[[noreturn]] inline void failed(const char* what, const char* file, int line) {
    std::fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", what, file, line);
    std::abort();
}

// Drops the library's log entries (bad index entries and the like), so that
// they neither flood the fuzzer's output nor slow it down.
void quietLog();

}  // namespace fuzz

#define FUZZ_CHECK(condition) \
    ((condition) ? static_cast<void>(0) : fuzz::failed(#condition, __FILE__, __LINE__))

#endif  // FUZZ_FUZZSUPPORT_H
