// bench-libs: nvrbackup recordlib technic recorddemo
// Heap allocations of a move, counted by a global operator new: one job's
// worker step called on this thread at clock speed 0 over one camera's
// recordings of one day (60 files of 10 s). Steps that move a node inside a
// file are told apart from steps that switch to the next source file (a
// removal was asked); the allocations of the first and the last switches show
// whether they grow with the files of the day.
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

void BM_AllocationsPerStep(benchmark::State& state) {
    Bed bed(1);
    bed.record(600, 10);
    (void)Singlton<RecordDiskManagerImpl>::getInstance(0);
    TaliqTime::setClockSpeed(0);
    std::vector<double> inFile, switches;
    for (auto _ : state) {
        bed.restore();
        BackupService job(0, Bed::info(1));
        // The first steps open both ends: not counted.
        for (int i = 0; i < 3; ++i) job.backupRecord();
        for (int step = 0; step < 100000 && Bed::sourcesGone() < bed.sourceFiles(); ++step) {
            const long asked = removalsAsked();
            const long before = g_allocations.load();
            job.backupRecord();
            const long n = g_allocations.load() - before;
            (removalsAsked() != asked ? switches : inFile).push_back(static_cast<double>(n));
        }
    }
    TaliqTime::setClockSpeed(1);
    state.counters["steps_in_file"] = static_cast<double>(inFile.size());
    state.counters["allocs/node_step"] = median(inFile);
    state.counters["allocs/node_step_max"] =
        inFile.empty() ? 0 : *std::max_element(inFile.begin(), inFile.end());
    double sum = 0;
    for (double n : inFile) sum += n;
    state.counters["allocs/node_step_mean"] = inFile.empty() ? 0 : sum / inFile.size();
    state.counters["switches"] = static_cast<double>(switches.size());
    state.counters["allocs/switch_first"] = switches.empty() ? 0 : switches.front();
    state.counters["allocs/switch_last"] = switches.size() < 2 ? 0 : switches[switches.size() - 2];
    state.counters["allocs/switch_median"] = median(switches);
}
BENCHMARK(BM_AllocationsPerStep)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
