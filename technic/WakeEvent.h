#ifndef TECHNIC_WAKEEVENT_H
#define TECHNIC_WAKEEVENT_H

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "TechnicExport.h"

// Something that threads with nothing to do wait for: a count that notify()
// moves on, and the lock and condition variable that waits on it block on
// (TaliqTime::wait(span, event, seen)). A waiter reads count() before it
// looks for work, and its wait ends at once if notify() was called since.
//
// Thread-safe.
class TECHNIC_EXPORT WakeEvent {
  public:
    WakeEvent() = default;
    WakeEvent(const WakeEvent&) = delete;
    WakeEvent& operator=(const WakeEvent&) = delete;

    unsigned long long count() const { return m_count.load(); }
    // Moves the count on and wakes every wait on this event.
    void notify() {
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            m_count.fetch_add(1);
        }
        m_changed.notify_all();
    }

    // The process-wide event of new work: notified when something appeared
    // that an idle thread may have to deal with (the record library notifies
    // it when a record file is completed, when a source file is kept for
    // another move, and when a backup disk is prepared).
    static WakeEvent& work();
    // The longest real time an idle wait on work() lasts on the infinitely
    // fast clock, for work that appears without a notification (files
    // written by another process).
    static constexpr long kUnannouncedWorkMs = 1000;

  private:
    friend class ThreadStopState;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    // Moved on under m_mutex (so a wait cannot miss it); read without it.
    std::atomic<unsigned long long> m_count{0};
};

#endif  // TECHNIC_WAKEEVENT_H
