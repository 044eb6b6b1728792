// bench-libs: nvrbackup recorddemo
// Reading recorded frames through the retriever facade and the local source:
// every file opened, read frame by frame and moved to the recycle area.

#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "AVStreamInfo.h"
#include "BackupRecordRetriever.h"
#include "LocalRecorder.h"
#include "RecordDiskManagerImpl.h"
#include "RecordInfo.h"
#include "Singlton.h"
#include "TSAVData.h"
#include "config/RecorderConfig.h"

namespace {

const int kFiles = 4;

// Reads kFiles files of `frames` frames of `frameBytes` bytes each.
void BM_ReadFramesAcrossFiles(benchmark::State& state) {
    const int frames = static_cast<int>(state.range(0));
    const int frameBytes = static_cast<int>(state.range(1));
    char pattern[] = "/tmp/retriever-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        state.SkipWithError("no temporary folder");
        return;
    }
    const std::string root = pattern;
    const RecordDirInfoEx dir =
        makeRecordDir(root + "/disk", RecordDirInfoEx::kAttributeLocal, 1, 1LL << 30);
    ::mkdir(dir.getRecordRootDir().c_str(), 0755);
    RecorderConfig config;
    config.recordDirs.push_back(dir);
    config.policies.push_back({"bench", 0, 1});
    RecordDiskManagerImpl::setConfiguration(config);

    RecordInfo info;
    info.setDeviceId("bench");
    info.setDeviceIP("10.0.0.9");
    info.setCameraId(1);
    std::string payload(frameBytes, '\x47');
    BackupRecordRetriever retriever(true);
    TSAVData frame;
    long long begin = 1767225600000LL;
    long long read = 0;

    for (auto _ : state) {
        state.PauseTiming();
        for (int f = 0; f < kFiles; ++f) {
            LocalRecorder recorder(dir, "bench", "10.0.0.9", 1);
            if (recorder.startFile(begin, AVStreamInfo()) != 0) state.SkipWithError("record");
            for (int i = 0; i < frames; ++i) {
                if (recorder.addNode(payload.data(), frameBytes, begin + 40LL * i, 40,
                                     i % 25 == 0) != 0)
                    state.SkipWithError("record");
            }
            if (recorder.finishFile() != 0) state.SkipWithError("record");
            begin += 40LL * frames + 1000;
        }
        state.ResumeTiming();

        if (retriever.open(info) != 0) state.SkipWithError("open");
        int r;
        while ((r = retriever.read(&frame)) == 0) read += frame.getDataLength();
        if (r != -728) state.SkipWithError("read");
        retriever.close();
    }
    state.SetBytesProcessed(read);
    state.SetItemsProcessed(static_cast<long long>(state.iterations()) * kFiles * frames);
    destroyAllSingltonInstances();
    std::system(("rm -rf '" + root + "'").c_str());
}
BENCHMARK(BM_ReadFramesAcrossFiles)
    ->Args({100, 188 * 20})
    ->Args({25, 188 * 2000})
    ->Unit(benchmark::kMillisecond);

}  // namespace
