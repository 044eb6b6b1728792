// The threading tools the module stands on: SafePointer's counting, function's
// shared holder, and GThread's hooks, stop, back-off and watchdog.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../support/TestHost.h"
#include "GThread.h"
#include "Logger.h"
#include "SafePointer.h"
#include "TaliqTime.h"
#include "WakeEvent.h"
#include "function.h"

// Reaches into a handle to produce the failures that correct code cannot: a
// handle forged to hold `object` through `record` without counting it.
struct SafePointerTestPeer {
    template <class T>
    static ref_count* record(const SafePointer<T>& handle) {
        return handle.m_record;
    }
    template <class T>
    static void forge(SafePointer<T>& handle, T* object, ref_count* record) {
        handle.m_object = object;
        handle.m_record = record;
    }
};

// Stands in for the job class: only its deaths and its type name matter.
struct BackupService {
    explicit BackupService(std::atomic<int>* deaths = nullptr) : m_deaths(deaths) {}
    ~BackupService() {
        if (m_deaths != nullptr) ++*m_deaths;
    }
    std::atomic<int>* m_deaths;
};

// An object whose memory is never reused, so no new object hides a stale
// handle. Its new is not inlined, or the compiler pairs it with this delete.
struct Pinned {
    __attribute__((noinline)) static void* operator new(std::size_t size) {
        return ::operator new(size);
    }
    static void operator delete(void* p) {
        static auto* graveyard = new std::vector<void*>;  // never destroyed: reachable
        graveyard->push_back(p);
    }
};

namespace {

using Handle = SafePointer<BackupService>;
const std::string kPrefix = "SafePointer Report:13BackupService ";

int countOf(ref_count* record) {
    EXPECT_EQ(0, record->lock());  // non-zero for a record this thread left locked
    const int count = record->getCount();
    record->unLock();
    return count;
}

// What `action` threw as TQRuntimeError; what it printed is dropped.
std::string thrown(const std::function<void()>& action) {
    testing::internal::CaptureStdout();
    std::string message = "<nothing thrown>";
    try {
        action();
    } catch (const TQRuntimeError& e) {
        message = e.what();
    }
    testing::internal::GetCapturedStdout();
    return message;
}

TEST(SafePointerTest, EveryCopyCountsAndTheLastReleaseDeletesOnce) {
    RefCountManager* manager = RefCountManager::getInstance();
    const long live = manager->liveCount();
    std::atomic<int> deaths{0};
    auto* first = new Handle(new BackupService(&deaths));
    auto* second = new Handle(*first);
    Handle third;
    third = *second;
    ref_count* record = SafePointerTestPeer::record(third);
    third = third;   // self-assignment changes nothing
    third = *first;  // so does assigning between handles of one object
    EXPECT_EQ(3, countOf(record));
    EXPECT_EQ(live + 1, manager->liveCount());
    delete first;
    delete second;
    EXPECT_EQ(1, countOf(record));
    EXPECT_EQ(0, deaths.load());
    third.dec_reference();
    EXPECT_TRUE(third.isNull());
    EXPECT_EQ(1, deaths.load());
    EXPECT_EQ(live, manager->liveCount());  // the record is handed back

    // Assigning over a handle releases its old object and shares the new one.
    Handle target(new BackupService(&deaths));
    Handle source(new BackupService());
    target = source;
    EXPECT_EQ(2, deaths.load());
    EXPECT_EQ(2, countOf(SafePointerTestPeer::record(source)));

    // Misuse of an empty handle is reported and leaves the target as it was.
    Handle empty;
    const std::pair<const char*, std::function<void()>> misuses[] = {
        {"Use NULL pointer ->", [&] { empty.operator->(); }},
        {"Construct from NULL <T>pointer", [&] { Handle copied(empty); }},
        {"Construct from NULL original pointer", [] { Handle wrapped(nullptr); }},
        {"Assigned NULL <T>pointer", [&] { target = empty; }},
    };
    for (const auto& misuse : misuses) EXPECT_EQ(kPrefix + misuse.first, thrown(misuse.second));
    EXPECT_EQ(2, countOf(SafePointerTestPeer::record(target)));
    EXPECT_EQ(2, deaths.load());
}

TEST(SafePointerTest, StaleHandleIsRefusedAndNeverTouchesTheCountOfItsRecordsNextObject) {
    auto* object = new Pinned();
    SafePointer<Pinned> owner(object);
    ref_count* record = SafePointerTestPeer::record(owner);
    SafePointer<Pinned> stale;
    SafePointerTestPeer::forge(stale, object, record);
    owner.dec_reference();  // the object goes, the record is back in the pool

    // Wrap new objects until one is given the stale handle's record.
    std::vector<SafePointer<Pinned>> others;
    SafePointer<Pinned> holder;
    for (int i = 0; i < 100000 && holder.isNull(); ++i) {
        others.emplace_back(new Pinned());
        if (SafePointerTestPeer::record(others.back()) == record) holder = others.back();
    }
    ASSERT_FALSE(holder.isNull());
    SafePointer<Pinned> target(holder);
    EXPECT_EQ("not valid pointer in inc_reference ", thrown([&] { target = stale; }));
    EXPECT_TRUE(target.isNull());  // its old reference went once, not twice
    EXPECT_EQ("not valid pointer in dec_reference", thrown([&] { stale.dec_reference(); }));
    EXPECT_EQ(2, countOf(record));  // the reuser and `holder`, untouched

    // A record this thread holds (as in a last release) refuses a copy, not hangs.
    ASSERT_EQ(0, record->lock());
    EXPECT_EQ("SafePointer Report:6Pinned Already destructed 2",
              thrown([&] { SafePointer<Pinned> copy(holder); }));
    record->unLock();
}

// Starts all threads at once so their copies and releases overlap.
void together(int threads, const std::function<void(int)>& body) {
    std::promise<void> go;
    std::shared_future<void> open = go.get_future().share();
    std::vector<std::thread> all;
    for (int t = 0; t < threads; ++t) {
        all.emplace_back([&, t] {
            open.wait();
            body(t);
        });
    }
    go.set_value();
    for (auto& thread : all) thread.join();
}

TEST(SafePointerTest, CopiesAndLastReleasesInManyThreadsKeepTheCountExact) {
    RefCountManager* manager = RefCountManager::getInstance();
    const long live = manager->liveCount();
    constexpr int kRounds = 20000;
    std::atomic<int> deaths{0};
    Handle shared(new BackupService(&deaths));
    together(4, [&](int) {
        Handle mine(shared);
        for (int i = 0; i < kRounds; ++i) {
            Handle copy(mine);
            Handle assigned;
            assigned = copy;
            Handle own(new BackupService(&deaths));  // wrapping and last releases contend
        }
    });
    EXPECT_EQ(4 * kRounds, deaths.load());
    EXPECT_EQ(1, countOf(SafePointerTestPeer::record(shared)));
    shared.dec_reference();
    for (int round = 1; round <= 300; ++round) {  // three last releases at once
        Handle* copies[3];
        {
            Handle original(new BackupService(&deaths));
            for (Handle*& copy : copies) copy = new Handle(original);
        }
        together(3, [&](int t) { delete copies[t]; });
        ASSERT_EQ(4 * kRounds + 1 + round, deaths.load());
    }
    EXPECT_EQ(live, manager->liveCount());
}

TEST(FunctionTest, CopiesShareOneHolderAndTheLastCopyDeletesIt) {
    const long live = RefCountManager::getInstance()->liveCount();
    auto token = std::make_shared<int>(5);  // its count: 1 + the live copies of the callable
    {
        function<int> original([token] { return *token; });
        function<int> copy(original);
        function<int> assigned;
        assigned = copy;
        EXPECT_EQ(2, token.use_count());  // one holder, shared by the three
        original = function<int>();       // assigning an empty value releases it
        copy = function<int>();
        EXPECT_EQ(5, assigned());
    }
    EXPECT_EQ(1, token.use_count());  // the last copy deleted the holder
    EXPECT_EQ(live, RefCountManager::getInstance()->liveCount());
}

// Waits for a one-shot signal, at most a bound against hanging.
bool arrives(std::shared_future<void> signal) {
    return signal.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
}

function<int> none() { return function<int>(&GThread::emptyFun); }

// The calls a thread under test made, in order, with their times.
struct Trace {
    long add(const std::string& what) {
        std::lock_guard<std::mutex> guard(mutex);
        events.push_back(what);
        times.push_back(std::chrono::steady_clock::now());
        return std::count(events.begin(), events.end(), what);
    }
    std::mutex mutex;
    std::vector<std::string> events;
    std::vector<std::chrono::steady_clock::time_point> times;
};

TEST(GThreadTest, HooksFrameEachRunAndStopEndsALongWaitButLetsTheCallFinish) {
    Trace trace;
    std::promise<void> waiting[2];
    GThread thread(
        [&] {
            waiting[trace.add("body") - 1].set_value();
            TaliqTime::wait(TaliqTime(3600, 0));  // ends only by stop(); the call finishes
            trace.add(GThread::currentThreadStopping() ? "finished, stopping" : "finished");
            return 0;
        },
        "BackupServiceStopThread", [&] { return trace.add("start"); },
        [&] { return trace.add("exit"); });
    for (int run = 0; run < 2; ++run) {
        ASSERT_EQ(1, thread.start());
        EXPECT_EQ(1, thread.IsRunning());
        EXPECT_EQ(0, thread.start());
        ASSERT_TRUE(arrives(waiting[run].get_future()));
        EXPECT_EQ(0, thread.stop());
        EXPECT_EQ(0, thread.IsRunning());
    }
    EXPECT_EQ(-1, thread.stop());
    std::lock_guard<std::mutex> guard(trace.mutex);
    EXPECT_EQ((std::vector<std::string>{"start", "body", "finished, stopping", "exit", "start",
                                        "body", "finished, stopping", "exit"}),
              trace.events);
}

// A failing or throwing body backs off instead of spinning; the watchdog logs
// a body call longer than the palpitation time, but not a body's idle wait
// for work on the infinitely fast clock (which has no end of its own).
TEST(GThreadTest, FailingBodyBacksOffAndTheWatchdogLogsALongCall) {
    rectest::LogCapture log("GThread");
    const auto spoken = [&log] {
        return log.waitFor([](const std::vector<std::string>& e) { return !e.empty(); });
    };
    TaliqTime::setClockSpeed(0);
    WakeEvent work;
    std::promise<void> idleWaits;
    GThread idle(
        [&] {
            const unsigned long long seen = work.count();
            idleWaits.set_value();  // once: the wait below ends only by stop()
            TaliqTime::wait(TaliqTime(1, 0), work, seen, 0);
            return 0;
        },
        "idle", none(), none());
    idle.setPalpitationTime(1);  // 10 ms
    ASSERT_EQ(1, idle.start());
    ASSERT_TRUE(arrives(idleWaits.get_future().share()));
    GThread stuck(
        [&] {
            spoken();  // held until the watchdog has spoken
            return -1;
        },
        "stuck", none(), none());
    stuck.setPalpitationTime(1);  // 10 ms
    ASSERT_EQ(1, stuck.start());
    ASSERT_TRUE(spoken());
    EXPECT_EQ(0, stuck.stop());
    EXPECT_EQ(0, idle.stop());

    TaliqTime::setClockSpeed(100);  // the 1-second back-off lasts 10 ms
    Trace trace;
    std::promise<void> calls4;
    GThread failing(
        [&] {
            const long calls = trace.add("body");
            if (calls == 4) calls4.set_value();
            if (calls == 2) throw TQRuntimeError("index file gone");
            return -1;
        },
        "failing", none(), none());
    ASSERT_EQ(1, failing.start());
    ASSERT_TRUE(arrives(calls4.get_future()));
    EXPECT_EQ(0, failing.stop());
    for (size_t i = 1; i < 4; ++i) {
        EXPECT_GE(trace.times[i] - trace.times[i - 1], std::chrono::milliseconds(9)) << i;
    }

    TaliqTime::setClockSpeed(1);
    EXPECT_EQ((std::vector<std::string>{"stuck: body call has not returned within 10 ms",
                                        "failing: exception from body: index file gone"}),
              log.take());
}

}  // namespace
