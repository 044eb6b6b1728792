#include "TaliqTime.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "ThreadStopState.h"

namespace {

std::atomic<double> g_clockSpeed{1.0};

struct ObserverState {
    std::mutex mutex;
    TaliqTime::WaitObserver observer;  // guarded by mutex
    std::atomic<bool> set{false};      // spares the lock when there is no hook
};

ObserverState& observerState() {
    static ObserverState* state = new ObserverState;  // outlives every thread
    return *state;
}

void observe(const TaliqTime& span) {
    ObserverState& observed = observerState();
    if (observed.set.load(std::memory_order_acquire)) {
        std::lock_guard<std::mutex> guard(observed.mutex);
        if (observed.observer) observed.observer(span);
    }
}

}  // namespace

void TaliqTime::wait(const TaliqTime& span, WakeEvent& event, unsigned long long seen,
                     long idleLimitMs) {
    if (g_clockSpeed.load(std::memory_order_relaxed) > 0.0) {
        wait(span);
        return;
    }
    observe(span);
    ThreadStopState* stop = ThreadStopState::current();
    if (stop == nullptr) return;
    stop->waitForEvent(event, seen, std::chrono::milliseconds(idleLimitMs > 0 ? idleLimitMs : 0));
}

void TaliqTime::wait(const TaliqTime& span) {
    observe(span);
    const double speed = g_clockSpeed.load(std::memory_order_relaxed);
    const long long micros = span.totalMicroseconds();
    if (speed <= 0.0 || micros <= 0) return;
    const auto scaled =
        std::chrono::duration<double, std::micro>(static_cast<double>(micros) / speed);
    const auto duration = std::chrono::duration_cast<std::chrono::microseconds>(scaled);
    ThreadStopState* stop = ThreadStopState::current();
    if (stop == nullptr) {
        std::this_thread::sleep_for(duration);
    } else {
        stop->waitFor(duration);
    }
}

void TaliqTime::setClockSpeed(double speed) {
    g_clockSpeed.store(speed < 0.0 ? 0.0 : speed, std::memory_order_relaxed);
}

double TaliqTime::getClockSpeed() { return g_clockSpeed.load(std::memory_order_relaxed); }

void TaliqTime::setWaitObserver(WaitObserver observer) {
    ObserverState& observed = observerState();
    std::lock_guard<std::mutex> guard(observed.mutex);
    observed.set.store(static_cast<bool>(observer), std::memory_order_release);
    observed.observer = std::move(observer);
}
