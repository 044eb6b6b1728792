#ifndef TESTS_BACKUP_BACKUPTESTSUPPORT_H
#define TESTS_BACKUP_BACKUPTESTSUPPORT_H

// What the backup tests share: one event log that fakes, hooks and the waits
// write to, in the order things happened.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "TaliqTime.h"

namespace backup_test {

struct EventLog {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> events;  // guarded by mutex
};

inline EventLog& eventLog() {
    static EventLog log;
    return log;
}

inline void logEvent(const std::string& event) {
    EventLog& log = eventLog();
    {
        std::lock_guard<std::mutex> guard(log.mutex);
        log.events.push_back(event);
    }
    log.changed.notify_all();
}

// The events so far, emptying the log.
inline std::vector<std::string> takeEvents() {
    EventLog& log = eventLog();
    std::lock_guard<std::mutex> guard(log.mutex);
    std::vector<std::string> events;
    events.swap(log.events);
    return events;
}

// How many logged events start with `prefix`.
inline int countEvents(const std::vector<std::string>& events, const std::string& prefix) {
    int count = 0;
    for (const std::string& e : events) count += e.rfind(prefix, 0) == 0;
    return count;
}

// Waits (at most a minute) until `enough` holds for the events not yet taken.
inline bool waitForEvents(const std::function<bool(const std::vector<std::string>&)>& enough) {
    EventLog& log = eventLog();
    std::unique_lock<std::mutex> lock(log.mutex);
    return log.changed.wait_for(lock, std::chrono::seconds(60), [&] { return enough(log.events); });
}

// While alive, every TaliqTime::wait logs "wait SEC.USEC".
class WaitRecorder {
  public:
    WaitRecorder() {
        TaliqTime::setWaitObserver([](const TaliqTime& span) {
            logEvent("wait " + std::to_string(span.getSec()) + "." +
                     std::to_string(span.getUsec()));
        });
    }
    ~WaitRecorder() { TaliqTime::setWaitObserver(nullptr); }
    WaitRecorder(const WaitRecorder&) = delete;
    WaitRecorder& operator=(const WaitRecorder&) = delete;
};

}  // namespace backup_test

#endif  // TESTS_BACKUP_BACKUPTESTSUPPORT_H
