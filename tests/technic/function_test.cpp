#include "function.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "GThread.h"

namespace {

// A callable that counts its live copies, so a holder deleted twice or never
// shows up as a count that does not come back to 0.
struct CountedCallable {
    explicit CountedCallable(std::atomic<int>* live, int result) : m_live(live), m_result(result) {
        ++*m_live;
    }
    CountedCallable(const CountedCallable& other) : m_live(other.m_live), m_result(other.m_result) {
        ++*m_live;
    }
    ~CountedCallable() { --*m_live; }
    int operator()() const { return m_result; }
    std::atomic<int>* m_live;
    int m_result;
};

TEST(FunctionTest, CopiesShareOneHolderThatTheLastCopyDeletes) {
    RefCountManager* manager = RefCountManager::getInstance();
    const long live = manager->liveCount();
    std::atomic<int> copies{0};
    auto* first = new function<int>(CountedCallable(&copies, 42));
    EXPECT_EQ(1, copies.load());  // only the holder's copy is left
    EXPECT_EQ(live + 1, manager->liveCount());

    auto* second = new function<int>(*first);
    EXPECT_EQ(first->holder().get(), second->holder().get());
    delete first;
    EXPECT_EQ(1, copies.load());
    EXPECT_EQ(42, (*second)());

    function<int> third;
    third = *second;
    delete second;
    EXPECT_EQ(42, third());
    EXPECT_EQ(1, copies.load());
    third = function<int>();  // assigning an empty value releases the holder
    EXPECT_EQ(0, copies.load());
    EXPECT_EQ(live, manager->liveCount());
}

TEST(FunctionTest, HolderIsCountedUnderItsMangledTypeName) {
    EXPECT_STREQ("17function_obj_baseIiE", SafePointer<function_obj_base<int>>::typeName());

    function<int> empty;
    std::string message;
    testing::internal::CaptureStdout();
    try {
        empty();
    } catch (const TQRuntimeError& e) {
        message = e.what();
    }
    EXPECT_EQ("SafePointer Report:17function_obj_baseIiE Use NULL pointer ->\n",
              testing::internal::GetCapturedStdout());
    EXPECT_EQ("SafePointer Report:17function_obj_baseIiE Use NULL pointer ->", message);
    function<int> copyOfEmpty(empty);  // an empty value copies as empty
    EXPECT_TRUE(copyOfEmpty.holder().isNull());
}

struct Step {
    virtual ~Step() {}
    virtual int backupRecord() { return 0; }
};
struct FailingStep : Step {
    int backupRecord() override { return -++m_calls; }
    int m_calls = 0;
};

TEST(FunctionTest, BoundMemberIsDispatchedThroughTheObjectAndItsResultKept) {
    FailingStep failing;
    Step plain;
    function<int> bodyOfFailing(bind_funcobj0<int, Step>(&Step::backupRecord, &failing));
    function<int> bodyOfPlain(bind_funcobj(&Step::backupRecord, &plain));
    EXPECT_EQ(-1, bodyOfFailing());
    EXPECT_EQ(-2, bodyOfFailing());
    EXPECT_EQ(0, bodyOfPlain());

    // Two values built from one function have a holder each.
    function<int> onStart(&GThread::emptyFun), onExit(&GThread::emptyFun);
    EXPECT_NE(onStart.holder().get(), onExit.holder().get());
    EXPECT_EQ(0, onStart());
}

TEST(FunctionTest, CopiesMadeAndDroppedInSeveralThreadsDeleteTheHolderOnce) {
    std::atomic<int> copies{0};
    {
        function<int> original(CountedCallable(&copies, 5));
        std::vector<std::thread> threads;
        std::atomic<int> sum{0};
        for (int t = 0; t < 3; ++t) {
            threads.emplace_back([&] {
                for (int i = 0; i < 5000; ++i) {
                    function<int> copy(original);
                    sum += copy();
                }
            });
        }
        for (auto& thread : threads) thread.join();
        EXPECT_EQ(3 * 5000 * 5, sum.load());
        EXPECT_EQ(1, copies.load());
    }
    EXPECT_EQ(0, copies.load());
}

}  // namespace
