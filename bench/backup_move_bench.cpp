// bench-libs: nvrbackup recordlib technic recorddemo
// The whole move in-process, with an infinitely fast clock (speed 0: no
// pacing waits, so the cost is that of the module and the record library):
// the manager's jobs move every camera's recordings until every source file
// has left the local disk, which happens once its frames are durable on the
// backup disk; then unInit. Against `cp -r` of the same record files followed
// by `sync`, on the same disk. Rounds alternate which of the two goes first;
// each starts from the same recording, restored and synced. Reported: the
// medians over the rounds (the iteration time is the move's median) and the
// median of the per-round ratios, and the file-system calls of a move per
// source file.
//
//   backup_move_bench [--benchmark_filter=...] (NVR_BENCH_ROUNDS=5)
#include <benchmark/benchmark.h>

#include "MoveBed.h"
#include "RecordDiskManagerImpl.h"
#include "Singlton.h"
#include "TaliqTime.h"

using namespace benchbed;

namespace {

int rounds() {
    const char* r = std::getenv("NVR_BENCH_ROUNDS");
    return r != nullptr && std::atoi(r) > 0 ? std::atoi(r) : 5;
}

void BM_MoveVsCopy(benchmark::State& state) {
    const int cameras = static_cast<int>(state.range(0));
    const int minutes = static_cast<int>(state.range(1));
    Bed bed(cameras);
    bed.record(minutes * 60.0, 60);
    CountingFileSystem counting;
    RecordDiskManagerImpl::setFileSystem(&counting);
    (void)Singlton<RecordDiskManagerImpl>::getInstance(0);  // recovery runs once, here
    TaliqTime::setClockSpeed(0);
    BackupServiceManager* manager = BackupServiceManager::getInstance();

    std::vector<double> moves, copies, ratios, cpu;
    double fsyncs = 0, syncDirs = 0, statfs = 0, opens = 0, syncMs = 0;
    auto move = [&] {
        bed.restore();
        counting.reset();
        const long long before = Bed::sourcesGone();
        const double c0 = cpuSeconds();
        const double t0 = nowSeconds();
        manager->init();
        for (int c = 1; c <= cameras; ++c) {
            if (manager->addService(0, Bed::info(c)) != 0) std::abort();
        }
        while (Bed::sourcesGone() - before < bed.sourceFiles()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        manager->unInit();
        const double t = nowSeconds() - t0;
        cpu.push_back(cpuSeconds() - c0);
        fsyncs = static_cast<double>(counting.fsyncs) / bed.sourceFiles();
        syncDirs = static_cast<double>(counting.syncDirs) / bed.sourceFiles();
        statfs = static_cast<double>(counting.freeSpaces) / bed.sourceFiles();
        opens = static_cast<double>(counting.opens) / bed.sourceFiles();
        syncMs = counting.syncNs / 1e6;
        return t;
    };
    auto copy = [&] {
        bed.restore();
        const double t0 = nowSeconds();
        Bed::shell("cp -r '" + bed.root() + "/disks/local/record' '" + bed.root() +
                   "/copy' && sync");
        return nowSeconds() - t0;
    };
    for (auto _ : state) {
        for (int r = 0; r < rounds(); ++r) {
            double m, c;
            if (r % 2 == 0) {
                m = move();
                c = copy();
            } else {
                c = copy();
                m = move();
            }
            moves.push_back(m);
            copies.push_back(c);
            ratios.push_back(m / c);
        }
        state.SetIterationTime(median(moves));
    }
    TaliqTime::setClockSpeed(1);
    RecordDiskManagerImpl::setFileSystem(nullptr);
    state.counters["move_s"] = median(moves);
    state.counters["cp_sync_s"] = median(copies);
    state.counters["ratio"] = median(ratios);
    state.counters["move_cpu_s"] = median(cpu);
    state.counters["MB"] = bed.bytes() / 1e6;
    state.counters["sources"] = bed.sourceFiles();
    state.counters["fsync/src"] = fsyncs;
    state.counters["syncDir/src"] = syncDirs;
    state.counters["statfs/src"] = statfs;
    state.counters["open/src"] = opens;
    state.counters["sync_ms_all_threads"] = syncMs;
}
BENCHMARK(BM_MoveVsCopy)
    ->ArgNames({"cameras", "minutes"})
    ->Args({1, 2})
    ->Args({4, 10})
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(1);

}  // namespace
