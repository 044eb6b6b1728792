#include "GThread.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

#include "Logger.h"
#include "TaliqTime.h"
#include "ThreadStopState.h"
#include "WakeEvent.h"

namespace {

constexpr int kPalpitationUnitMs = 10;

long long steadyNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

// Private to this file: not part of the library's interface.
struct __attribute__((visibility("hidden"))) GThread::Impl {
    Impl(function<int> body, const std::string& name, function<int> onStart, function<int> onExit)
        : body(body), onStart(onStart), onExit(onExit), name(name) {}

    // Calls one of the callables; an exception is logged and counts as -1.
    int call(const function<int>& callable, const char* what) {
        try {
            return callable();
        } catch (const std::exception& e) {
            Logger::writeLog("GThread",
                             (name + ": exception from " + what + ": " + e.what()).c_str(),
                             __FILE__, __LINE__);
        } catch (...) {
            Logger::writeLog("GThread", (name + ": unknown exception from " + what).c_str(),
                             __FILE__, __LINE__);
        }
        return -1;
    }

    void run();
    void watch();

    const function<int> body;
    const function<int> onStart;
    const function<int> onExit;
    const std::string name;

    std::mutex control;  // serialises start(), stop() and the destructor
    std::thread thread;  // guarded by control
    ThreadStopState stop;
    std::atomic<bool> running{false};
    std::atomic<int> palpitation{0};
    // Steady-clock start of the body call in progress, 0 between calls.
    std::atomic<long long> callStartedNs{0};
    // Set by a destructor that runs on this thread: the thread frees the Impl
    // when it ends. Only ever touched by the thread itself.
    bool deleteOnExit = false;
};

void GThread::Impl::run() {
    pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
    ThreadStopState::current() = &stop;
    std::thread watchdog;
    if (palpitation.load(std::memory_order_relaxed) > 0) {
        try {
            watchdog = std::thread(&Impl::watch, this);
        } catch (const std::system_error& e) {
            Logger::writeLog("GThread", (name + ": no watchdog: " + e.what()).c_str(), __FILE__,
                             __LINE__);
        }
    }

    call(onStart, "onStart");
    while (!stop.isStopping()) {
        // Read before the call: work announced during it ends the back-off.
        const unsigned long long seen = WakeEvent::work().count();
        callStartedNs.store(steadyNowNs(), std::memory_order_relaxed);
        const int result = call(body, "body");
        callStartedNs.store(0, std::memory_order_relaxed);
        if (result == -1) {
            TaliqTime::wait(TaliqTime(1, 0), WakeEvent::work(), seen,
                            WakeEvent::kUnannouncedWorkMs);
        }
    }
    call(onExit, "onExit");

    if (watchdog.joinable()) watchdog.join();
    ThreadStopState::current() = nullptr;
    if (deleteOnExit) delete this;
}

void GThread::Impl::watch() {
    pthread_setname_np(pthread_self(), "GThreadWatchdog");
    long long reportedCall = 0;
    for (;;) {
        const int units = palpitation.load(std::memory_order_relaxed);
        const long long limitNs = static_cast<long long>(units) * kPalpitationUnitMs * 1000000LL;
        // Look four times per palpitation period, so an overrun is seen within
        // a quarter period of it happening.
        const auto period = units > 0 ? std::chrono::nanoseconds(limitNs / 4 + 1)
                                      : std::chrono::nanoseconds(std::chrono::seconds(1));
        if (stop.waitFor(period)) return;
        if (units <= 0 || stop.isIdle()) continue;
        const long long started = callStartedNs.load(std::memory_order_relaxed);
        // Time the body spent idle, waiting for work, is not counted.
        const long long busySince = std::max(started, stop.idleEndedNs());
        if (started != 0 && started != reportedCall && steadyNowNs() - busySince > limitNs) {
            reportedCall = started;
            Logger::writeLog("GThread",
                             (name + ": body call has not returned within " +
                              std::to_string(units * kPalpitationUnitMs) + " ms")
                                 .c_str(),
                             __FILE__, __LINE__);
        }
    }
}

GThread::GThread(function<int> body, const std::string& name, function<int> onStart,
                 function<int> onExit)
    : m_impl(new Impl(body, name, onStart, onExit)) {}

GThread::~GThread() {
    {
        std::lock_guard<std::mutex> guard(m_impl->control);
        if (m_impl->thread.joinable() && m_impl->thread.get_id() == std::this_thread::get_id()) {
            // Destroyed from its own body: it cannot be joined here. The
            // thread ends after this call and frees its state itself.
            m_impl->stop.requestStop();
            m_impl->running.store(false);
            m_impl->thread.detach();
            m_impl->deleteOnExit = true;
            return;
        }
    }
    stop();
    delete m_impl;
}

int GThread::start() {
    std::lock_guard<std::mutex> guard(m_impl->control);
    if (m_impl->running.load()) return 0;
    if (m_impl->thread.joinable()) m_impl->thread.join();  // stopped from its own body
    m_impl->stop.reset();
    m_impl->running.store(true);  // before the body can ask
    try {
        m_impl->thread = std::thread(&Impl::run, m_impl);
    } catch (const std::system_error& e) {
        m_impl->running.store(false);
        Logger::writeLog("GThread", (m_impl->name + ": cannot start: " + e.what()).c_str(),
                         __FILE__, __LINE__);
        return 0;
    }
    return 1;
}

int GThread::stop() {
    std::lock_guard<std::mutex> guard(m_impl->control);
    if (!m_impl->thread.joinable()) return -1;
    m_impl->stop.requestStop();
    if (m_impl->thread.get_id() == std::this_thread::get_id()) return -1;
    m_impl->thread.join();
    m_impl->running.store(false);
    return 0;
}

int GThread::IsRunning() const { return m_impl->running.load() ? 1 : 0; }

void GThread::setPalpitationTime(int time) {
    m_impl->palpitation.store(time, std::memory_order_relaxed);
}

int GThread::getPalpitationTime() const {
    return m_impl->palpitation.load(std::memory_order_relaxed);
}

const std::string& GThread::getName() const { return m_impl->name; }

int GThread::emptyFun() { return 0; }

bool GThread::currentThreadStopping() {
    ThreadStopState* state = ThreadStopState::current();
    return state != nullptr && state->isStopping();
}
