// bench-libs: recordlib recorddemo
// Time stamp rewriting over a 2 MiB frame against a plain copy of the same
// buffer (compare the CPU times: the machine is shared). The frame is made of
// real camera nodes (video with B-frames, audio, PCR) of a low-bitrate clip,
// so the rewrite finds a PES header every few packets. The argument is how
// many times each packet that neither starts a PES nor carries an adaptation
// field is laid down: 1 is the clip as recorded; above 1 the same nodes with
// their pictures as large as a camera of a higher bitrate sends (one video
// PES then spans a hundred packets and more).
// BM_AdjustTimeStampKeyFrame rewrites one real picture of 2 MiB: a noisy 4K
// key frame (about 2.7 MB) that ffmpeg's H.264 encoder made and its TS muxer
// packed (PAT, PMT, one PES with the PCR in its first packet), cut to 2 MiB.
// It is skipped when ffmpeg is not installed.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
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

// One 4K key frame from a real encoder, at most 2 MiB of it; empty when
// ffmpeg is missing or fails.
std::vector<unsigned char> encodedKeyFrame() {
    const std::string path = "/tmp/nvr-bench-keyframe-" + std::to_string(::getpid()) + ".ts";
    const std::string command =
        "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=3840x2160:rate=25 "
        "-vf noise=alls=20:allf=u -frames:v 1 -c:v libx264 -preset ultrafast -qp 26 "
        "-f mpegts '" +
        path + "' >/dev/null 2>&1";
    std::vector<unsigned char> frame;
    if (std::system(command.c_str()) == 0) {
        std::ifstream in(path, std::ios::binary);
        frame.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::remove(path.c_str());
    if (frame.size() > kFrameBytes) frame.resize(kFrameBytes);
    frame.resize(frame.size() - frame.size() % 188);
    return frame;
}

// Rewrites `frame` again and again; counts the packets the rewrite parses.
void adjustFrame(benchmark::State& state, std::vector<unsigned char>& frame) {
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
    state.counters["frame_bytes"] = static_cast<double>(frame.size());
}

void BM_AdjustTimeStamp(benchmark::State& state) {
    std::vector<unsigned char> frame = makeFrame(static_cast<int>(state.range(0)));
    adjustFrame(state, frame);
}
BENCHMARK(BM_AdjustTimeStamp)->ArgName("plain_copies")->Arg(1)->Arg(8)->Arg(32);

void BM_AdjustTimeStampKeyFrame(benchmark::State& state) {
    static std::vector<unsigned char> frame = encodedKeyFrame();
    if (frame.empty()) {
        state.SkipWithError("ffmpeg could not encode the key frame");
        return;
    }
    adjustFrame(state, frame);
}
BENCHMARK(BM_AdjustTimeStampKeyFrame);

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
