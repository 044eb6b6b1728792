// bench-libs: recordlib recorddemo
// Time stamp rewriting over a 2 MiB frame against a plain copy of the same
// buffer (compare the CPU times: the machine is shared). The frame is made of
// real camera nodes (video with B-frames, audio, PCR) of a low-bitrate clip,
// so the rewrite finds a PES header every few packets. The argument is how
// many times each packet that neither starts a PES nor carries an adaptation
// field is laid down: 1 is the clip as recorded; above 1 the same nodes with
// their pictures as large as a camera of a higher bitrate sends (one video
// PES then spans a hundred packets and more).

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "MPEG_TS_Packager.h"
#include "TsStream.h"

namespace {

constexpr std::size_t kFrameBytes = 2 * 1024 * 1024;

std::vector<unsigned char> makeFrame(int plainCopies) {
    SyntheticStream camera{SyntheticStreamOptions()};
    std::vector<unsigned char> frame;
    TsNode node;
    while (frame.size() < kFrameBytes && camera.nextNode(node)) {
        for (std::size_t i = 0; i + 188 <= node.data.size(); i += 188) {
            const unsigned char* p = node.data.data() + i;
            const bool plain = (p[1] & 0x40) == 0 && (p[3] & 0x20) == 0;
            for (int k = 0; k < (plain ? plainCopies : 1); ++k)
                frame.insert(frame.end(), p, p + 188);
        }
    }
    frame.resize(kFrameBytes - kFrameBytes % 188);
    return frame;
}

void BM_AdjustTimeStamp(benchmark::State& state) {
    std::vector<unsigned char> frame = makeFrame(static_cast<int>(state.range(0)));
    // Packets that start a PES or carry an adaptation field: the rewrite
    // parses those, and only tests the header of the others.
    int parsed = 0;
    for (std::size_t i = 0; i < frame.size(); i += 188) {
        parsed += (frame[i + 1] & 0x40) != 0 || (frame[i + 3] & 0x20) != 0;
    }
    state.counters["parsed_packets_%"] = 100.0 * parsed / static_cast<double>(frame.size() / 188);
    unsigned long long base = 90000;
    for (auto _ : state) {
        base = MPEG_TS::MPEG_TS_Packager::adjustTimeStamp(
            frame.data(), static_cast<unsigned int>(frame.size()), base);
        benchmark::DoNotOptimize(base);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<long long>(state.iterations()) *
                            static_cast<long long>(frame.size()));
}
BENCHMARK(BM_AdjustTimeStamp)->ArgName("plain_copies")->Arg(1)->Arg(8)->Arg(32);

void BM_Memcpy(benchmark::State& state) {
    const std::vector<unsigned char> frame = makeFrame(1);
    std::vector<unsigned char> copy(frame.size());
    for (auto _ : state) {
        std::memcpy(copy.data(), frame.data(), frame.size());
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<long long>(state.iterations()) *
                            static_cast<long long>(frame.size()));
}
BENCHMARK(BM_Memcpy);

}  // namespace
