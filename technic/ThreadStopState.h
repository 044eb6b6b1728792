#ifndef TECHNIC_THREADSTOPSTATE_H
#define TECHNIC_THREADSTOPSTATE_H

#include <condition_variable>
#include <mutex>

#include "TechnicExport.h"

// The stop request of one GThread run, shared by GThread::stop() (which sets
// it) and TaliqTime::wait on that thread (which ends at once when it is set).
// Internal to the foundation library.
class TECHNIC_EXPORT ThreadStopState {
  public:
    // Sets the request and wakes every wait on it.
    void requestStop() {
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            m_stopping = true;
        }
        m_changed.notify_all();
    }
    void reset() {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_stopping = false;
    }
    bool isStopping() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_stopping;
    }
    // Blocks until the request is set or `span` has passed. Returns true when
    // the request is set.
    template <class Duration>
    bool waitFor(const Duration& span) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, span, [this] { return m_stopping; });
    }

    // The stop state of the GThread the caller runs on; null on other threads.
    static ThreadStopState*& current();

  private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_stopping = false;  // guarded by m_mutex
};

#endif  // TECHNIC_THREADSTOPSTATE_H
