// bench-libs: nvrbackup recordlib technic recorddemo
// Many jobs at once, on the real clock or with nothing to do:
// - BM_RealPace: N jobs moving at the real pace (clock speed 1, a frame every
//   0.2 s): the process's CPU time per second of wall time (in % of one
//   core, and the part of it spent in the kernel; median of windows), and
//   the resident memory and threads each job adds.
// - BM_RealPaceFloor: the same N threads without the module: each makes only
//   the calls a step cannot do without (read a node's worth of its camera's
//   recording, write it to a file on the backup disk, sleep 0.2 s), or only
//   the sleep (`io:0`). Nothing is made durable, no index is kept, the sleep
//   is the cheapest there is (not stoppable): a floor under any job that
//   moves one frame per step at the real pace on this machine.
// - BM_UnInit: unInit with 64 jobs in the middle of their moves; the time
//   unInit takes (the iteration time; median of rounds), and the time until
//   every backup file it closed is durable.
// - BM_IdleAtSpeed0: N jobs with nothing to move and the stop thread, with an
//   infinitely fast clock: the CPU they burn while there is nothing to do.
//
//   jobs_bench [--benchmark_filter=...] (NVR_BENCH_ROUNDS=5)
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include "MoveBed.h"
#include "Singlton.h"
#include "TaliqTime.h"
#include "store/BackupRecordWriter.h"

using namespace benchbed;

namespace {

const int kCameras = 64;

int rounds() {
    const char* r = std::getenv("NVR_BENCH_ROUNDS");
    return r != nullptr && std::atoi(r) > 0 ? std::atoi(r) : 5;
}

// 64 cameras, 60 s each in files of 30 s (the recorder's default): at the
// real pace a job moves 2 s of recording per second, so it switches files
// every 15 s.
Bed& bed() {
    static Bed* bed = [] {
        Bed* b = new Bed(kCameras);
        b->record(60, 30);
        (void)Singlton<RecordDiskManagerImpl>::getInstance(0);
        return b;
    }();
    return *bed;
}

void sleepSeconds(double s) { std::this_thread::sleep_for(std::chrono::duration<double>(s)); }

// The process's CPU time per second of wall time (in % of one core), and the
// part spent in the kernel, over `rounds()` windows of 2 s.
void measureCpu(std::vector<double>& cpu, std::vector<double>& sys) {
    for (int w = 0; w < rounds(); ++w) {
        const double c0 = cpuSeconds(), s0 = systemCpuSeconds(), t0 = nowSeconds();
        sleepSeconds(2);
        cpu.push_back(100.0 * (cpuSeconds() - c0) / (nowSeconds() - t0));
        sys.push_back(100.0 * (systemCpuSeconds() - s0) / (nowSeconds() - t0));
    }
}

void BM_RealPace(benchmark::State& state) {
    const int jobs = static_cast<int>(state.range(0));
    bed().restore();
    TaliqTime::setClockSpeed(1);
    BackupServiceManager* manager = BackupServiceManager::getInstance();
    std::vector<double> cpu, sys;
    long rssBefore = 0, rssAfter = 0, threadsBefore = 0, threadsAfter = 0;
    for (auto _ : state) {
        manager->init();
        sleepSeconds(0.5);
        rssBefore = procStatus("VmRSS");
        threadsBefore = procStatus("Threads");
        for (int c = 1; c <= jobs; ++c) {
            if (manager->addService(0, Bed::info(c)) != 0) std::abort();
        }
        sleepSeconds(2);  // every job has opened both ends and moves
        rssAfter = procStatus("VmRSS");
        threadsAfter = procStatus("Threads");
        measureCpu(cpu, sys);
        manager->unInit();
        BackupRecordWriter::waitForClosedFiles();
        state.SetIterationTime(median(cpu));
    }
    state.counters["cpu_%"] = median(cpu);
    state.counters["cpu_in_kernel_%"] = median(sys);
    state.counters["rss_kB/job"] = static_cast<double>(rssAfter - rssBefore) / jobs;
    state.counters["threads/job"] = static_cast<double>(threadsAfter - threadsBefore) / jobs;
    state.counters["rss_MB"] = rssAfter / 1024.0;
}
BENCHMARK(BM_RealPace)->ArgName("jobs")->Arg(1)->Arg(16)->Arg(64)->UseManualTime()->Iterations(1);

// One floor thread: the calls of a step and nothing else, until `stop`.
void floorThread(int camera, bool io, std::size_t nodeBytes, const std::atomic<bool>& stop) {
    const std::vector<std::string> sources = bed().pristineFiles(camera);
    const std::string target =
        bed().root() + "/disks/backup/floor-" + std::to_string(camera) + ".ts";
    const int out = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || sources.empty()) std::abort();
    std::vector<char> node(nodeBytes);
    std::size_t next = 0;
    int in = -1;
    while (!stop.load()) {
        if (io) {
            if (in < 0) in = ::open(sources[next++ % sources.size()].c_str(), O_RDONLY);
            if (in < 0) std::abort();
            const ssize_t got = ::read(in, node.data(), node.size());
            if (got <= 0) {
                ::close(in);
                in = -1;
            } else if (::write(out, node.data(), static_cast<std::size_t>(got)) != got) {
                std::abort();
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    if (in >= 0) ::close(in);
    ::close(out);
}

void BM_RealPaceFloor(benchmark::State& state) {
    const int jobs = static_cast<int>(state.range(0));
    const bool io = state.range(1) != 0;
    bed().restore();
    const auto nodeBytes = static_cast<std::size_t>(bed().bytes() / bed().nodes());
    std::vector<double> cpu, sys;
    for (auto _ : state) {
        std::atomic<bool> stop{false};
        std::vector<std::thread> threads;
        for (int c = 1; c <= jobs; ++c) {
            threads.emplace_back(floorThread, c, io, nodeBytes, std::cref(stop));
            sleepSeconds(0.2 / jobs);  // the jobs of a manager start apart too
        }
        sleepSeconds(2);
        measureCpu(cpu, sys);
        stop.store(true);
        for (std::thread& t : threads) t.join();
        state.SetIterationTime(median(cpu));
    }
    state.counters["cpu_%"] = median(cpu);
    state.counters["cpu_in_kernel_%"] = median(sys);
    state.counters["node_bytes"] = static_cast<double>(nodeBytes);
}
BENCHMARK(BM_RealPaceFloor)
    ->ArgNames({"jobs", "io"})
    ->Args({64, 0})
    ->Args({64, 1})
    ->UseManualTime()
    ->Iterations(1);

void BM_UnInit(benchmark::State& state) {
    const int jobs = static_cast<int>(state.range(0));
    TaliqTime::setClockSpeed(1);
    BackupServiceManager* manager = BackupServiceManager::getInstance();
    std::vector<double> unInit, durable;
    for (auto _ : state) {
        for (int r = 0; r < rounds(); ++r) {
            bed().restore();
            manager->init();
            for (int c = 1; c <= jobs; ++c) {
                if (manager->addService(0, Bed::info(c)) != 0) std::abort();
            }
            sleepSeconds(1.5);  // every job has a backup file open
            const double t0 = nowSeconds();
            manager->unInit();
            unInit.push_back(nowSeconds() - t0);
            BackupRecordWriter::waitForClosedFiles();
            durable.push_back(nowSeconds() - t0);
        }
        state.SetIterationTime(median(unInit));
    }
    state.counters["unInit_ms"] = 1000 * median(unInit);
    state.counters["unInit_max_ms"] = 1000 * *std::max_element(unInit.begin(), unInit.end());
    state.counters["durable_ms"] = 1000 * median(durable);
}
BENCHMARK(BM_UnInit)
    ->ArgName("jobs")
    ->Arg(kCameras)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(1);

void BM_IdleAtSpeed0(benchmark::State& state) {
    const int jobs = static_cast<int>(state.range(0));
    Bed empty(jobs);
    empty.record(0, 10);  // nothing recorded: every job finds no file
    empty.restore();
    TaliqTime::setClockSpeed(0);
    BackupServiceManager* manager = BackupServiceManager::getInstance();
    std::vector<double> cpu;
    for (auto _ : state) {
        manager->init();
        for (int c = 1; c <= jobs; ++c) (void)manager->addService(0, Bed::info(c));
        sleepSeconds(0.5);
        for (int w = 0; w < rounds(); ++w) {
            const double c0 = cpuSeconds(), t0 = nowSeconds();
            sleepSeconds(1);
            cpu.push_back(100.0 * (cpuSeconds() - c0) / (nowSeconds() - t0));
        }
        manager->unInit();
        state.SetIterationTime(median(cpu));
    }
    TaliqTime::setClockSpeed(1);
    state.counters["cpu_%"] = median(cpu);
}
BENCHMARK(BM_IdleAtSpeed0)->ArgName("jobs")->Arg(0)->Arg(16)->UseManualTime()->Iterations(1);

}  // namespace
