// bench-libs: nvrbackup recordlib technic recorddemo
// Heap allocations of a move, counted by a global operator new: one job's
// worker step called on this thread at clock speed 0 over one camera's
// recordings of one day (60 files of 10 s). Steps that move a node inside a
// file are told apart from steps that switch to the next source file (a
// removal was asked) and steps that took a checkpoint (removals released);
// the allocations of the first and the last switches show whether they grow
// with the files of the day. (A node step allocates only when a frame is
// larger than every one before: the frame buffers grow.)
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "BackupService.h"
#include "MoveBed.h"
#include "Singlton.h"
#include "TaliqTime.h"

namespace {
std::atomic<long> g_allocations{0};
}  // namespace

// The replacements below pair malloc with free themselves.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

using namespace benchbed;

namespace {

long removalsAsked() {
    const MoveLedger::Counters c = MoveLedger::instance().counters();
    return c.removedNow + c.deferred + c.kept;
}

long removalsDone() { return MoveLedger::instance().counters().released; }

void BM_AllocationsPerStep(benchmark::State& state) {
    Bed bed(1);
    bed.record(600, 10);
    (void)Singlton<RecordDiskManagerImpl>::getInstance(0);
    TaliqTime::setClockSpeed(0);
    // Steps that move a node inside a file, that switch to the next file (a
    // removal was asked), and that took a checkpoint (removals released).
    std::vector<double> inFile, switches, checkpoints;
    for (auto _ : state) {
        bed.restore();
        BackupService job(0, Bed::info(1));
        // The first steps open both ends: not counted.
        for (int i = 0; i < 3; ++i) job.backupRecord();
        const long asked0 = removalsAsked();
        for (int step = 0; step < 100000 && removalsAsked() - asked0 < bed.sourceFiles() - 1;
             ++step) {
            const long asked = removalsAsked();
            const long released = removalsDone();
            const long before = g_allocations.load();
            job.backupRecord();
            const double n = static_cast<double>(g_allocations.load() - before);
            if (removalsAsked() != asked) {
                switches.push_back(n);
            } else if (removalsDone() != released) {
                checkpoints.push_back(n);
            } else {
                inFile.push_back(n);
            }
        }
    }
    TaliqTime::setClockSpeed(1);
    double sum = 0;
    for (double n : inFile) sum += n;
    state.counters["node_steps"] = static_cast<double>(inFile.size());
    state.counters["allocs/node_step_mean"] = inFile.empty() ? 0 : sum / inFile.size();
    state.counters["allocs/node_step_max"] =
        inFile.empty() ? 0 : *std::max_element(inFile.begin(), inFile.end());
    state.counters["switches"] = static_cast<double>(switches.size());
    state.counters["allocs/switch_first"] = switches.empty() ? 0 : switches.front();
    state.counters["allocs/switch_last"] = switches.empty() ? 0 : switches.back();
    state.counters["allocs/switch_median"] = median(switches);
    state.counters["checkpoints"] = static_cast<double>(checkpoints.size());
    state.counters["allocs/checkpoint_median"] = median(checkpoints);
}
BENCHMARK(BM_AllocationsPerStep)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
