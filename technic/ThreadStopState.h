#ifndef TECHNIC_THREADSTOPSTATE_H
#define TECHNIC_THREADSTOPSTATE_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "TechnicExport.h"
#include "WakeEvent.h"

// The stop request of one GThread run, shared by GThread::stop() (which sets
// it) and TaliqTime::wait on that thread (which ends at once when it is set).
// Internal to the foundation library.
class TECHNIC_EXPORT ThreadStopState {
  public:
    // Sets the request and wakes every wait on it, including a wait on a
    // WakeEvent that the thread is in.
    void requestStop() {
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            m_stopping = true;
            m_stopFlag.store(true);
            if (m_waitingOn != nullptr) {
                // Taken after the waiter has checked the flag, or before it
                // does: the notification cannot fall between the two.
                std::lock_guard<std::mutex> eventGuard(m_waitingOn->m_mutex);
                m_waitingOn->m_changed.notify_all();
            }
        }
        m_changed.notify_all();
    }
    void reset() {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_stopping = false;
        m_stopFlag.store(false);
    }
    bool isStopping() const { return m_stopFlag.load(); }
    // Blocks until the request is set or `span` has passed. Returns true when
    // the request is set.
    template <class Duration>
    bool waitFor(const Duration& span) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, span, [this] { return m_stopping; });
    }
    // Blocks until `event` has moved past `seen`, the request is set, or
    // `limit` has passed (no limit when it is zero). The thread is idle
    // meanwhile: its watchdog does not count that time as a long body call.
    void waitForEvent(WakeEvent& event, unsigned long long seen, std::chrono::milliseconds limit) {
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            if (m_stopping) return;
            m_waitingOn = &event;
            m_idle.store(true);
        }
        {
            std::unique_lock<std::mutex> lock(event.m_mutex);
            auto ready = [&] { return event.m_count.load() != seen || m_stopFlag.load(); };
            if (limit.count() > 0) {
                event.m_changed.wait_for(lock, limit, ready);
            } else {
                event.m_changed.wait(lock, ready);
            }
        }
        std::lock_guard<std::mutex> guard(m_mutex);
        m_waitingOn = nullptr;
        m_idleEndedNs.store(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                std::chrono::steady_clock::now().time_since_epoch())
                                .count());
        m_idle.store(false);
    }
    // True while the thread waits on an event; the steady-clock time the last
    // such wait ended (0 if none).
    bool isIdle() const { return m_idle.load(); }
    long long idleEndedNs() const { return m_idleEndedNs.load(); }

    // The stop state of the GThread the caller runs on; null on other threads.
    static ThreadStopState*& current();

  private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_stopping = false;              // guarded by m_mutex
    std::atomic<bool> m_stopFlag{false};  // m_stopping, readable without the lock
    WakeEvent* m_waitingOn = nullptr;     // guarded by m_mutex
    std::atomic<bool> m_idle{false};
    std::atomic<long long> m_idleEndedNs{0};
};

#endif  // TECHNIC_THREADSTOPSTATE_H
