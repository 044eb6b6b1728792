#include "TaliqTime.h"

#include <atomic>
#include <chrono>
#include <thread>

#include "ThreadStopState.h"

namespace {

std::atomic<double> g_clockSpeed{1.0};

}  // namespace

void TaliqTime::wait(const TaliqTime& span) {
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
