#include "Singlton.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

std::mutex g_orderMutex;
std::vector<std::string> g_destroyed;  // guarded by g_orderMutex

void noteDestroyed(const std::string& name) {
    std::lock_guard<std::mutex> guard(g_orderMutex);
    g_destroyed.push_back(name);
}

template <int N>
struct Named {
    static Named* createInstance() {
        ++created;
        // Widen the window in which other first callers arrive.
        for (int i = 0; i < 100; ++i) std::this_thread::yield();
        return new Named();
    }
    ~Named() { noteDestroyed("Named" + std::to_string(N)); }
    static std::atomic<int> created;
};
template <int N>
std::atomic<int> Named<N>::created{0};

// Uses another singleton from its destructor, as a manager that logs through
// a service on its way out would.
struct UsesOtherOnExit {
    static UsesOtherOnExit* createInstance() { return new UsesOtherOnExit(); }
    ~UsesOtherOnExit() {
        Singlton<Named<9>>::getInstance(0);
        noteDestroyed("UsesOtherOnExit");
    }
};

class SingltonTest : public testing::Test {
  protected:
    void SetUp() override {
        destroyAllSingltonInstances();
        std::lock_guard<std::mutex> guard(g_orderMutex);
        g_destroyed.clear();
    }
    void TearDown() override { destroyAllSingltonInstances(); }
    std::vector<std::string> destroyed() {
        std::lock_guard<std::mutex> guard(g_orderMutex);
        return g_destroyed;
    }
};

TEST_F(SingltonTest, ConcurrentFirstCallsGetOneInstance) {
    constexpr int kThreads = 8;
    for (int round = 0; round < 50; ++round) {
        const int createdBefore = Named<1>::created.load();
        std::mutex mutex;
        std::condition_variable go;
        bool open = false;
        std::vector<Named<1>*> seen(kThreads, nullptr);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                {
                    std::unique_lock<std::mutex> lock(mutex);
                    go.wait(lock, [&] { return open; });
                }
                seen[t] = Singlton<Named<1>>::getInstance(0);
            });
        }
        {
            std::lock_guard<std::mutex> guard(mutex);
            open = true;
        }
        go.notify_all();
        for (auto& thread : threads) thread.join();
        ASSERT_EQ(createdBefore + 1, Named<1>::created.load()) << "round " << round;
        for (Named<1>* instance : seen) ASSERT_EQ(seen[0], instance);
        ASSERT_EQ(seen[0], Singlton<Named<1>>::peekInstance());
        destroyAllSingltonInstances();
        ASSERT_EQ(nullptr, Singlton<Named<1>>::peekInstance());
    }
}

TEST_F(SingltonTest, DestroyAllGoesInReverseOrderOfCreation) {
    Singlton<Named<2>>::getInstance(0);
    Singlton<UsesOtherOnExit>::getInstance(0);
    Singlton<Named<3>>::getInstance(0);
    Singlton<Named<2>>::getInstance(0);  // no second registration
    destroyAllSingltonInstances();
    EXPECT_EQ((std::vector<std::string>{"Named3", "UsesOtherOnExit", "Named9", "Named2"}),
              destroyed());
    EXPECT_EQ(nullptr, Singlton<Named<9>>::peekInstance());

    const int created = Named<2>::created.load();
    EXPECT_NE(nullptr, Singlton<Named<2>>::getInstance(0));
    EXPECT_EQ(created + 1, Named<2>::created.load());
}

}  // namespace
