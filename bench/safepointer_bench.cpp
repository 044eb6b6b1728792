// bench-libs: technic
// Copy and release of a SafePointer against a std::shared_ptr of the same
// kind of object, on one thread and with two threads sharing one object.
#include <benchmark/benchmark.h>

#include <memory>

#include "SafePointer.h"

namespace {

struct Payload {
    long value = 0;
};

SafePointer<Payload>* g_safe = nullptr;
std::shared_ptr<Payload>* g_shared = nullptr;

void setUp(const benchmark::State& state) {
    if (state.thread_index() != 0) return;
    g_safe = new SafePointer<Payload>(new Payload());
    g_shared = new std::shared_ptr<Payload>(std::make_shared<Payload>());
}

void tearDown(const benchmark::State& state) {
    if (state.thread_index() != 0) return;
    delete g_safe;
    delete g_shared;
    g_safe = nullptr;
    g_shared = nullptr;
}

void BM_SafePointerCopyRelease(benchmark::State& state) {
    for (auto _ : state) {
        SafePointer<Payload> copy(*g_safe);
        benchmark::DoNotOptimize(copy.get());
    }
}

void BM_SharedPtrCopyRelease(benchmark::State& state) {
    for (auto _ : state) {
        std::shared_ptr<Payload> copy(*g_shared);
        benchmark::DoNotOptimize(copy.get());
    }
}

// Wrapping a new object and its last release: the pooled record path.
void BM_SafePointerWrapRelease(benchmark::State& state) {
    for (auto _ : state) {
        SafePointer<Payload> handle(new Payload());
        benchmark::DoNotOptimize(handle.get());
    }
}

void BM_SharedPtrWrapRelease(benchmark::State& state) {
    for (auto _ : state) {
        std::shared_ptr<Payload> handle(new Payload());
        benchmark::DoNotOptimize(handle.get());
    }
}

}  // namespace

BENCHMARK(BM_SafePointerCopyRelease)->Setup(setUp)->Teardown(tearDown)->Threads(1)->Threads(2);
BENCHMARK(BM_SharedPtrCopyRelease)->Setup(setUp)->Teardown(tearDown)->Threads(1)->Threads(2);
BENCHMARK(BM_SafePointerWrapRelease)->Threads(1)->Threads(2);
BENCHMARK(BM_SharedPtrWrapRelease)->Threads(1)->Threads(2);
