#include "TQMutex.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>
#include <vector>

#include "TagNew.h"

namespace {

TEST(TQMutexTest, GuardHoldsTheLockForItsScopeAndReleasesItOnAnException) {
    TQMutex mutex;
    long counter = 0;  // guarded by mutex
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                TQMutexManager guard(mutex, "Manager.cpp", 42);
                ++counter;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(4 * 20000, counter);

    try {
        TQMutexManager guard(mutex, "Manager.cpp", 99);
        EXPECT_STREQ("Manager.cpp", mutex.lockedFile());
        EXPECT_EQ(99, mutex.lockedLine());
        throw std::runtime_error("step failed");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(nullptr, mutex.lockedFile());
    std::thread other([&] {
        mutex.Lock("Other.cpp", 1);  // would block for ever if still held
        mutex.Unlock("Other.cpp", 2);
    });
    other.join();
}

struct Throwing {
    Throwing() { throw std::runtime_error("no"); }
};

TEST(TagNewTest, TaggedAllocationIsCountedPerFileAndFreedByPlainDelete) {
    const long before = tagNewCount("Storage.cpp");
    int* value = new ("Storage.cpp", 10) int(5);
    std::string* text = new ("Storage.cpp", 11) std::string("record");
    EXPECT_EQ(before + 2, tagNewCount("Storage.cpp"));
    EXPECT_EQ(0, tagNewCount("Never.cpp"));
    EXPECT_EQ(5, *value);
    delete value;
    delete text;
    // A throwing constructor frees the memory through the tagged delete (the
    // leak checker of the sanitizer build sees it otherwise).
    EXPECT_THROW(new ("Storage.cpp", 12) Throwing(), std::runtime_error);
}

}  // namespace
