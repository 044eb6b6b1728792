#include "SafePointer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Reaches into a handle to produce the failures that correct code cannot.
struct SafePointerTestPeer {
    template <class T>
    static ref_count* record(const SafePointer<T>& handle) {
        return handle.m_record;
    }
    // A handle that holds `object` through `record` without counting it, as a
    // handle copied behind the counting's back would.
    template <class T>
    static void forge(SafePointer<T>& handle, T* object, ref_count* record) {
        handle.m_object = object;
        handle.m_record = record;
    }
};

// Stands in for the job class: only its run-time type name matters here.
struct BackupService {
    explicit BackupService(std::atomic<int>* deaths = nullptr) : m_deaths(deaths) {}
    ~BackupService() {
        if (m_deaths != nullptr) ++*m_deaths;
    }
    std::atomic<int>* m_deaths;
};

namespace {

using Handle = SafePointer<BackupService>;

const std::string kPrefix = "SafePointer Report:13BackupService ";

int countOf(ref_count* record) {
    EXPECT_EQ(0, record->lock());
    int count = record->getCount();
    record->unLock();
    return count;
}

// The record is unlocked: this thread can take it (a record still held by this
// thread answers non-zero, so a leaked lock fails here instead of hanging).
void expectUnlocked(ref_count* record) {
    ASSERT_EQ(0, record->lock());
    record->unLock();
}

// Runs `action`, which must throw TQRuntimeError with `message`, and print
// the message on a line of its own (or nothing, when `printed` is false).
template <class F>
void expectReport(const std::string& message, F action, bool printed = true) {
    std::string thrown = "<nothing thrown>";
    testing::internal::CaptureStdout();
    try {
        action();
    } catch (const TQRuntimeError& e) {
        thrown = e.what();
    }
    EXPECT_EQ(printed ? message + "\n" : "", testing::internal::GetCapturedStdout());
    EXPECT_EQ(message, thrown);
}

TEST(SafePointerTest, EmptyHandleReportsEveryUseAndKeepsAnAssignedTarget) {
    const long live = RefCountManager::getInstance()->liveCount();
    {
        Handle empty;
        expectReport(kPrefix + "Use NULL pointer ->", [&] { empty.operator->(); });
        expectReport(kPrefix + "Use NULL pointer *", [&] { *empty; });
        expectReport(kPrefix + "Construct from NULL <T>pointer", [&] { Handle copied(empty); });
        expectReport(kPrefix + "Construct from NULL original pointer",
                     [] { Handle wrapped(static_cast<BackupService*>(nullptr)); });
    }
    EXPECT_EQ(live, RefCountManager::getInstance()->liveCount());

    std::atomic<int> deaths{0};
    Handle target(new BackupService(&deaths));
    Handle empty;
    expectReport(kPrefix + "Assigned NULL <T>pointer", [&] { target = empty; });
    ASSERT_FALSE(target.isNull());
    EXPECT_EQ(1, countOf(SafePointerTestPeer::record(target)));
    EXPECT_EQ(0, deaths.load());
}

TEST(SafePointerTest, LastOfThreeReleasesDeletesOnceAndHandsTheRecordBack) {
    RefCountManager* manager = RefCountManager::getInstance();
    const long live = manager->liveCount();
    const long mismatches = manager->typeMismatchCount();
    std::atomic<int> deaths{0};
    auto* first = new Handle(new BackupService(&deaths));
    auto* second = new Handle(*first);
    Handle third;
    third = *second;
    ref_count* record = SafePointerTestPeer::record(third);
    EXPECT_EQ(3, countOf(record));
    EXPECT_EQ(live + 1, manager->liveCount());

    third = third;   // self-assignment changes nothing
    third = *first;  // so does assigning between handles of one object
    EXPECT_EQ(3, countOf(record));

    delete first;
    delete second;
    EXPECT_EQ(0, deaths.load());
    EXPECT_EQ(1, countOf(record));

    third.dec_reference();
    EXPECT_TRUE(third.isNull());
    EXPECT_EQ(1, deaths.load());
    EXPECT_EQ(live, manager->liveCount());
    EXPECT_EQ(mismatches, manager->typeMismatchCount());
    third.dec_reference();  // an empty handle: nothing more happens
    EXPECT_EQ(1, deaths.load());

    // Assigning over a handle releases its old object and shares the new one.
    std::atomic<int> deathsB{0};
    Handle target(new BackupService(&deaths));
    Handle source(new BackupService(&deathsB));
    target = source;
    EXPECT_EQ(2, deaths.load());
    EXPECT_EQ(source.get(), target.get());
    EXPECT_EQ(2, countOf(SafePointerTestPeer::record(source)));
}

// An object whose memory is not given back until the end of the test, so a
// new object can never take its address and hide a stale handle.
struct Pinned {
    static void* operator new(std::size_t size) { return ::operator new(size); }
    static void operator delete(void* p) { graveyard().push_back(p); }
    static std::vector<void*>& graveyard() {
        static std::vector<void*> list;
        return list;
    }
    static void bury() {
        for (void* p : graveyard()) ::operator delete(p);
        graveyard().clear();
    }
    long payload = 0;
};

TEST(SafePointerTest, StaleHandleIsRefusedBeforeAndAfterItsRecordIsReused) {
    {
        auto* object = new Pinned();
        SafePointer<Pinned> owner(object);
        ref_count* record = SafePointerTestPeer::record(owner);
        SafePointer<Pinned> stale;
        SafePointerTestPeer::forge(stale, object, record);
        owner.dec_reference();  // the object goes, the record is back in the pool

        auto copy = [&] { SafePointer<Pinned> copied(stale); };
        expectReport("not valid pointer in inc_reference ", copy, false);
        expectUnlocked(record);

        // Wrap new objects until one is given the stale handle's record.
        std::vector<SafePointer<Pinned>> others;
        SafePointer<Pinned> holder;
        for (int i = 0; i < 100000; ++i) {
            others.emplace_back(new Pinned());
            if (SafePointerTestPeer::record(others.back()) == record) {
                holder = others.back();
                break;
            }
        }
        ASSERT_FALSE(holder.isNull());
        ASSERT_NE(object, holder.get());

        expectReport("not valid pointer in inc_reference ", copy, false);
        expectUnlocked(record);

        SafePointer<Pinned> target(holder);
        expectReport(
            "not valid pointer in inc_reference ", [&] { target = stale; }, false);
        EXPECT_TRUE(target.isNull());  // its old reference went once, not twice

        expectReport(
            "not valid pointer in dec_reference", [&] { stale.dec_reference(); }, false);
        expectUnlocked(record);
        EXPECT_TRUE(stale.isNull());
        EXPECT_EQ(2, countOf(record));  // the reuser and `holder`, untouched
    }
    Pinned::bury();
}

TEST(SafePointerTest, ReleasingAStaleHandleInItsDestructorThrows) {
    auto* object = new Pinned();
    std::string message;
    {
        SafePointer<Pinned> owner(object);
        try {
            SafePointer<Pinned> stale;
            SafePointerTestPeer::forge(stale, object, SafePointerTestPeer::record(owner));
            owner.dec_reference();
        } catch (const TQRuntimeError& e) {
            message = e.what();
        }
    }
    EXPECT_EQ("not valid pointer in dec_reference", message);

    // While another exception unwinds the stack, the failed release is dropped
    // instead of ending the process.
    object = new Pinned();
    message.clear();
    try {
        SafePointer<Pinned> owner(object);
        SafePointer<Pinned> stale;
        SafePointerTestPeer::forge(stale, object, SafePointerTestPeer::record(owner));
        owner.dec_reference();
        throw TQRuntimeError("first");
    } catch (const TQRuntimeError& e) {
        message = e.what();
    }
    EXPECT_EQ("first", message);
    Pinned::bury();
}

TEST(SafePointerTest, AcquireReportsAMissingUnlockableOrRefusingRecord) {
    std::atomic<int> deaths{0};
    Handle owner(new BackupService(&deaths));
    ref_count* record = SafePointerTestPeer::record(owner);

    Handle recordless;
    SafePointerTestPeer::forge(recordless, owner.get(), static_cast<ref_count*>(nullptr));
    expectReport(kPrefix + "Already destructed 1", [&] { Handle copied(recordless); });
    SafePointerTestPeer::forge(recordless, static_cast<BackupService*>(nullptr),
                               static_cast<ref_count*>(nullptr));

    // This thread holds the record, as the last release does while the object's
    // destructor runs: taking it again must fail, not hang.
    ASSERT_EQ(0, record->lock());
    expectReport(kPrefix + "Already destructed 2", [&] { Handle copied(owner); });
    record->unLock();
    EXPECT_EQ(1, countOf(record));

    // A record whose count already reached 0: the object is going away.
    ASSERT_EQ(0, record->lock());
    EXPECT_EQ(0, record->dec_reference());
    record->unLock();
    expectReport(kPrefix + "Already destructed 3", [&] { Handle copied(owner); });
    expectUnlocked(record);
    EXPECT_EQ(0, deaths.load());
    owner.dec_reference();
    EXPECT_EQ(1, deaths.load());
}

// Starts all threads at once so their copies and releases overlap.
class StartGate {
  public:
    explicit StartGate(int parties) : m_waiting(parties) {}
    void arriveAndWait() {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (--m_waiting == 0) m_open.notify_all();
        m_open.wait(lock, [this] { return m_waiting <= 0; });
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_open;
    int m_waiting;
};

TEST(SafePointerTest, CopiesAndReleasesFromManyThreadsKeepTheCountExact) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 20000;
    RefCountManager* manager = RefCountManager::getInstance();
    const long live = manager->liveCount();
    std::atomic<int> deaths{0};
    Handle shared(new BackupService(&deaths));
    StartGate gate(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            gate.arriveAndWait();
            Handle mine(shared);
            for (int i = 0; i < kRounds; ++i) {
                Handle copy(mine);
                Handle assigned;
                assigned = copy;
                // A private object per round: wrapping and last releases
                // contend on the pool only.
                Handle own(new BackupService(&deaths));
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(kThreads * kRounds, deaths.load());
    EXPECT_EQ(1, countOf(SafePointerTestPeer::record(shared)));
    shared.dec_reference();
    EXPECT_EQ(kThreads * kRounds + 1, deaths.load());
    EXPECT_EQ(live, manager->liveCount());
}

TEST(SafePointerTest, RacingLastReleasesDeleteExactlyOnce) {
    constexpr int kThreads = 3;
    for (int round = 0; round < 300; ++round) {
        std::atomic<int> deaths{0};
        std::vector<Handle*> copies;
        {
            Handle original(new BackupService(&deaths));
            for (int t = 0; t < kThreads; ++t) copies.push_back(new Handle(original));
        }
        StartGate gate(kThreads);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                gate.arriveAndWait();
                delete copies[t];
            });
        }
        for (auto& thread : threads) thread.join();
        ASSERT_EQ(1, deaths.load()) << "round " << round;
    }
}

}  // namespace
