#include "GThread.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Logger.h"
#include "TaliqTime.h"
#include "WakeEvent.h"

namespace {

using Clock = std::chrono::steady_clock;

// A one-shot signal between threads.
class Event {
  public:
    void set() {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_set = true;
        m_changed.notify_all();
    }
    // True when set within `limit` (a bound against hanging, not a timing).
    bool waitFor(std::chrono::seconds limit = std::chrono::seconds(20)) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, limit, [this] { return m_set; });
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_set = false;
};

// The calls a thread under test made, in order, with their times; answers
// how many calls named `what` there have been so far.
struct Trace {
    long add(const std::string& what) {
        std::lock_guard<std::mutex> guard(mutex);
        events.push_back(what);
        times.push_back(Clock::now());
        return std::count(events.begin(), events.end(), what);
    }
    function<int> hook(const std::string& what) {
        return [this, what] { return add(what) > 0 ? 0 : -1; };
    }
    std::vector<std::string> snapshot() {
        std::lock_guard<std::mutex> guard(mutex);
        return events;
    }
    std::mutex mutex;
    std::vector<std::string> events;
    std::vector<Clock::time_point> times;
};

function<int> none() { return function<int>(&GThread::emptyFun); }

class GThreadTest : public testing::Test {
  protected:
    void SetUp() override {
        Logger::setObserver([this](const std::string& category, const std::string& message,
                                   const std::string&, int) {
            std::lock_guard<std::mutex> guard(m_logMutex);
            m_log.push_back(category + ": " + message);
            m_logged.set();
        });
    }
    void TearDown() override {
        Logger::setObserver(Logger::Observer());
        TaliqTime::setClockSpeed(1);
    }
    std::vector<std::string> log() {
        std::lock_guard<std::mutex> guard(m_logMutex);
        return m_log;
    }

    std::mutex m_logMutex;
    std::vector<std::string> m_log;
    Event m_logged;
};

TEST_F(GThreadTest, HooksFrameEachRunAndStopJoinsBeforeReturning) {
    Trace trace;
    Event calls3;
    GThread thread(
        [&] {
            if (trace.add("body") == 3) calls3.set();
            TaliqTime::wait(TaliqTime(0, 1000));
            return 0;
        },
        "worker", trace.hook("start"), trace.hook("exit"));
    EXPECT_EQ(0, thread.IsRunning());
    EXPECT_EQ(-1, thread.stop());
    ASSERT_EQ(1, thread.start());
    EXPECT_EQ(1, thread.IsRunning());
    EXPECT_EQ(0, thread.start());
    ASSERT_TRUE(calls3.waitFor());
    EXPECT_EQ(0, thread.stop());
    EXPECT_EQ(0, thread.IsRunning());
    EXPECT_EQ(-1, thread.stop());

    std::vector<std::string> firstRun = trace.snapshot();
    ASSERT_GE(firstRun.size(), 5u);
    EXPECT_EQ("start", firstRun.front());
    EXPECT_EQ("exit", firstRun.back());
    for (std::size_t i = 1; i + 1 < firstRun.size(); ++i) EXPECT_EQ("body", firstRun[i]);

    // A stopped thread starts again, with its hooks around the new run.
    ASSERT_EQ(1, thread.start());
    EXPECT_EQ(0, thread.stop());
    std::vector<std::string> both = trace.snapshot();
    ASSERT_GE(both.size(), firstRun.size() + 2);
    EXPECT_EQ("start", both[firstRun.size()]);
    EXPECT_EQ("exit", both.back());
}

// The body sees its name, cut to 15 characters for the OS thread, and is in
// a long pacing wait when stop() comes: the wait ends at once, the call
// finishes.
TEST_F(GThreadTest, StopEndsALongWaitAtOnceButLetsTheBodyCallFinish) {
    Event waiting;
    bool finished = false, sawStopping = false;
    std::string name;
    GThread thread(
        [&] {
            char buffer[32] = {};
            pthread_getname_np(pthread_self(), buffer, sizeof buffer);
            name = buffer;
            waiting.set();
            TaliqTime::wait(TaliqTime(2, 0));
            sawStopping = GThread::currentThreadStopping();
            finished = true;  // e.g. closing what the step had open
            return 0;
        },
        "BackupServiceStopThread", none(), none());
    ASSERT_EQ(1, thread.start());
    ASSERT_TRUE(waiting.waitFor());
    const auto before = Clock::now();
    EXPECT_EQ(0, thread.stop());
    const auto took = Clock::now() - before;
    EXPECT_TRUE(finished);
    EXPECT_TRUE(sawStopping);
    EXPECT_FALSE(GThread::currentThreadStopping());
    EXPECT_EQ("BackupServiceSt", name);
    EXPECT_EQ("BackupServiceStopThread", thread.getName());
    // Soft bound, far below the 2-second wait that stop() must cut short.
    EXPECT_LT(took, std::chrono::milliseconds(1000));
}

TEST_F(GThreadTest, FailingOrThrowingBodyBacksOffInsteadOfSpinning) {
    TaliqTime::setClockSpeed(100);  // the 1-second back-off lasts 10 ms
    Trace trace;
    Event calls4;
    GThread thread(
        [&] {
            const long calls = trace.add("body");
            if (calls == 4) calls4.set();
            if (calls == 2) throw TQRuntimeError("index file gone");
            return -1;
        },
        "failing", none(), none());
    ASSERT_EQ(1, thread.start());
    ASSERT_TRUE(calls4.waitFor());
    EXPECT_EQ(0, thread.stop());

    std::lock_guard<std::mutex> guard(trace.mutex);
    for (std::size_t i = 1; i < 4; ++i) {
        EXPECT_GE(trace.times[i] - trace.times[i - 1], std::chrono::milliseconds(9)) << i;
    }
    EXPECT_EQ(std::vector<std::string>{"GThread: failing: exception from body: index file gone"},
              log());
}

TEST_F(GThreadTest, WatchdogLogsABodyCallLongerThanThePalpitationTime) {
    GThread thread(
        [this] {
            m_logged.waitFor();  // held until the watchdog has spoken
            return -1;
        },
        "stuck", none(), none());
    thread.setPalpitationTime(1);  // 10 ms
    ASSERT_EQ(1, thread.start());
    ASSERT_TRUE(m_logged.waitFor());
    EXPECT_EQ(0, thread.stop());
    std::vector<std::string> entries = log();
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ("GThread: stuck: body call has not returned within 10 ms", entries[0]);
}

TEST_F(GThreadTest, WatchdogDoesNotCountTheBodysIdleWaitForWork) {
    TaliqTime::setClockSpeed(0);  // the idle wait below has no limit
    WakeEvent work;
    GThread thread(
        [&work] {
            TaliqTime::wait(TaliqTime(1, 0), work, work.count(), 0);
            return 0;
        },
        "idle", none(), none());
    thread.setPalpitationTime(1);  // 10 ms
    ASSERT_EQ(1, thread.start());
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // twenty palpitation times
    work.notify();
    EXPECT_EQ(0, thread.stop());
    EXPECT_EQ(std::vector<std::string>{}, log());
}

TEST_F(GThreadTest, ThreadDestroyedFromItsOwnBodyEndsAfterTheCall) {
    auto exited = std::make_shared<Event>();
    auto freed = std::make_shared<Event>();
    auto self = std::make_shared<GThread*>(nullptr);
    auto calls = std::make_shared<int>(0);
    {
        // Goes when the thread frees its state (with the exit hook).
        std::shared_ptr<void> token(nullptr, [freed](void*) { freed->set(); });
        *self = new GThread(
            [self, calls] {
                ++*calls;
                delete *self;
                return 0;
            },
            "selfdelete", none(),
            [exited, token] {
                exited->set();
                return 0;
            });
    }
    ASSERT_EQ(1, (*self)->start());
    ASSERT_TRUE(exited->waitFor());
    ASSERT_TRUE(freed->waitFor());
    EXPECT_EQ(1, *calls);
}

TEST_F(GThreadTest, WaitFollowsTheClockSpeed) {
    TaliqTime::setClockSpeed(0);
    const auto before = Clock::now();
    TaliqTime::wait(TaliqTime(3600, 0));  // would hang the test if not instant
    EXPECT_LT(Clock::now() - before, std::chrono::seconds(60));

    TaliqTime::setClockSpeed(50);
    const auto start = Clock::now();
    TaliqTime::wait(TaliqTime(1, 0));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(19));

    TaliqTime::setClockSpeed(-3);
    EXPECT_EQ(0.0, TaliqTime::getClockSpeed());
}

}  // namespace
