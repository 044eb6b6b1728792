#include "GThread.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Logger.h"
#include "TaliqTime.h"

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

// Events and body calls seen by a thread under test.
struct Trace {
    void add(const std::string& what) {
        std::lock_guard<std::mutex> guard(mutex);
        events.push_back(what);
        times.push_back(Clock::now());
    }
    std::vector<std::string> snapshot() {
        std::lock_guard<std::mutex> guard(mutex);
        return events;
    }
    std::mutex mutex;
    std::vector<std::string> events;
    std::vector<Clock::time_point> times;
};

function<int> hook(std::shared_ptr<Trace> trace, const std::string& name) {
    struct Hook {
        std::shared_ptr<Trace> trace;
        std::string name;
        int operator()() const {
            trace->add(name);
            return 0;
        }
    };
    return function<int>(Hook{trace, name});
}

class GThreadTest : public testing::Test {
  protected:
    void SetUp() override {
        Logger::setObserver([this](const std::string& category, const std::string& message,
                                   const std::string&, int) {
            std::lock_guard<std::mutex> guard(m_logMutex);
            m_log.push_back(category + ": " + message);
            if (m_logged) m_logged->set();
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
    std::shared_ptr<Event> m_logged;
};

// Body: records the call; the third call signals `calls3`.
struct CountingBody {
    std::shared_ptr<Trace> trace;
    std::shared_ptr<Event> calls3;
    int result;
    int operator()() const {
        trace->add("body");
        int calls = 0;
        for (const auto& e : trace->snapshot()) calls += e == "body";
        if (calls == 3) calls3->set();
        TaliqTime::wait(TaliqTime(0, 1000));
        return result;
    }
};

TEST_F(GThreadTest, HooksFrameEachRunAndStopJoinsBeforeReturning) {
    auto trace = std::make_shared<Trace>();
    auto calls3 = std::make_shared<Event>();
    GThread thread(function<int>(CountingBody{trace, calls3, 0}), "worker", hook(trace, "start"),
                   hook(trace, "exit"));
    EXPECT_EQ(0, thread.IsRunning());
    EXPECT_EQ(-1, thread.stop());
    ASSERT_EQ(1, thread.start());
    EXPECT_EQ(1, thread.IsRunning());
    EXPECT_EQ(0, thread.start());
    ASSERT_TRUE(calls3->waitFor());
    EXPECT_EQ(0, thread.stop());
    EXPECT_EQ(0, thread.IsRunning());
    EXPECT_EQ(-1, thread.stop());

    std::vector<std::string> firstRun = trace->snapshot();
    ASSERT_GE(firstRun.size(), 5u);
    EXPECT_EQ("start", firstRun.front());
    EXPECT_EQ("exit", firstRun.back());
    for (std::size_t i = 1; i + 1 < firstRun.size(); ++i) EXPECT_EQ("body", firstRun[i]);

    // A stopped thread starts again, with its hooks around the new run.
    ASSERT_EQ(1, thread.start());
    EXPECT_EQ(0, thread.stop());
    std::vector<std::string> both = trace->snapshot();
    ASSERT_GE(both.size(), firstRun.size() + 2);
    EXPECT_EQ("start", both[firstRun.size()]);
    EXPECT_EQ("exit", both.back());
}

TEST_F(GThreadTest, NameIsGivenToTheOsThreadCutTo15Characters) {
    auto named = std::make_shared<Event>();
    auto seen = std::make_shared<std::string>();
    struct ReadName {
        std::shared_ptr<Event> named;
        std::shared_ptr<std::string> seen;
        int operator()() const {
            char name[32] = {};
            pthread_getname_np(pthread_self(), name, sizeof name);
            *seen = name;
            named->set();
            TaliqTime::wait(TaliqTime(10, 0));
            return 0;
        }
    };
    GThread thread(function<int>(ReadName{named, seen}), "BackupServiceStopThread",
                   function<int>(&GThread::emptyFun), function<int>(&GThread::emptyFun));
    ASSERT_EQ(1, thread.start());
    ASSERT_TRUE(named->waitFor());
    EXPECT_EQ(0, thread.stop());
    EXPECT_EQ("BackupServiceSt", *seen);
    EXPECT_EQ("BackupServiceStopThread", thread.getName());
}

TEST_F(GThreadTest, StopEndsALongWaitAtOnceButLetsTheBodyCallFinish) {
    auto waiting = std::make_shared<Event>();
    auto finished = std::make_shared<bool>(false);
    auto sawStopping = std::make_shared<bool>(false);
    struct Pacing {
        std::shared_ptr<Event> waiting;
        std::shared_ptr<bool> finished;
        std::shared_ptr<bool> sawStopping;
        int operator()() const {
            waiting->set();
            TaliqTime::wait(TaliqTime(2, 0));
            *sawStopping = GThread::currentThreadStopping();
            *finished = true;  // e.g. closing what the step had open
            return 0;
        }
    };
    GThread thread(function<int>(Pacing{waiting, finished, sawStopping}), "backupRecord",
                   function<int>(&GThread::emptyFun), function<int>(&GThread::emptyFun));
    ASSERT_EQ(1, thread.start());
    ASSERT_TRUE(waiting->waitFor());
    const auto before = Clock::now();
    EXPECT_EQ(0, thread.stop());
    const auto took = Clock::now() - before;
    EXPECT_TRUE(*finished);
    EXPECT_TRUE(*sawStopping);
    EXPECT_FALSE(GThread::currentThreadStopping());
    // Soft bound, far below the 2-second wait that stop() must cut short.
    EXPECT_LT(took, std::chrono::milliseconds(1000));
}

TEST_F(GThreadTest, FailingOrThrowingBodyBacksOffInsteadOfSpinning) {
    TaliqTime::setClockSpeed(100);  // the 1-second back-off lasts 10 ms
    auto trace = std::make_shared<Trace>();
    auto calls4 = std::make_shared<Event>();
    struct Failing {
        std::shared_ptr<Trace> trace;
        std::shared_ptr<Event> calls4;
        int operator()() const {
            trace->add("body");
            const std::size_t calls = trace->snapshot().size();
            if (calls == 4) calls4->set();
            if (calls == 2) throw TQRuntimeError("index file gone");
            return -1;
        }
    };
    GThread thread(function<int>(Failing{trace, calls4}), "failing",
                   function<int>(&GThread::emptyFun), function<int>(&GThread::emptyFun));
    ASSERT_EQ(1, thread.start());
    ASSERT_TRUE(calls4->waitFor());
    EXPECT_EQ(0, thread.stop());

    std::lock_guard<std::mutex> guard(trace->mutex);
    ASSERT_GE(trace->times.size(), 4u);
    for (std::size_t i = 1; i < 4; ++i) {
        EXPECT_GE(trace->times[i] - trace->times[i - 1], std::chrono::milliseconds(9))
            << "call " << i;
    }
    std::vector<std::string> entries = log();
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ("GThread: failing: exception from body: index file gone", entries[0]);
}

TEST_F(GThreadTest, WatchdogLogsABodyCallLongerThanThePalpitationTime) {
    m_logged = std::make_shared<Event>();
    auto logged = m_logged;
    struct Stuck {
        std::shared_ptr<Event> logged;
        int operator()() const {
            logged->waitFor();  // held until the watchdog has spoken
            return -1;
        }
    };
    GThread thread(function<int>(Stuck{logged}), "stuck", function<int>(&GThread::emptyFun),
                   function<int>(&GThread::emptyFun));
    thread.setPalpitationTime(1);  // 10 ms
    EXPECT_EQ(1, thread.getPalpitationTime());
    ASSERT_EQ(1, thread.start());
    ASSERT_TRUE(logged->waitFor());
    EXPECT_EQ(0, thread.stop());
    std::vector<std::string> entries = log();
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ("GThread: stuck: body call has not returned within 10 ms", entries[0]);
}

TEST_F(GThreadTest, ThreadDestroyedFromItsOwnBodyEndsAfterTheCall) {
    auto exited = std::make_shared<Event>();
    auto self = std::make_shared<GThread*>(nullptr);
    auto trace = std::make_shared<Trace>();
    struct DeleteSelf {
        std::shared_ptr<GThread*> self;
        std::shared_ptr<Trace> trace;
        int operator()() const {
            trace->add("body");
            delete *self;
            return 0;
        }
    };
    struct OnExit {
        std::shared_ptr<Event> exited;
        std::shared_ptr<void> freed;  // goes when the thread frees its state
        int operator()() const {
            exited->set();
            return 0;
        }
    };
    auto freed = std::make_shared<Event>();
    {
        std::shared_ptr<void> token(nullptr, [freed](void*) { freed->set(); });
        *self =
            new GThread(function<int>(DeleteSelf{self, trace}), "selfdelete",
                        function<int>(&GThread::emptyFun), function<int>(OnExit{exited, token}));
    }
    ASSERT_EQ(1, (*self)->start());
    ASSERT_TRUE(exited->waitFor());
    ASSERT_TRUE(freed->waitFor());
    EXPECT_EQ(1u, trace->snapshot().size());
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
