// The job manager on the reference host: the matching rule, add/remove/find,
// removal while a job runs and re-adding at once, init and unInit with jobs,
// and add/remove churn from several threads (run it under the thread
// sanitizer). The jobs read record disks that hold nothing (the disk manager
// has no configuration), so they only open, fail and retry.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "BackupService.h"
#include "BackupServiceManager.h"
#include "BackupTestSupport.h"

using namespace backup_test;
using ::testing::ElementsAre;

namespace {

class ManagerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TaliqTime::setClockSpeed(1000);
        takeEvents();
        EXPECT_EQ(1, m_manager->init());
    }
    void TearDown() override {
        m_manager->unInit();
        EXPECT_EQ(0, m_manager->getServiceCount());
        TaliqTime::setClockSpeed(1);
    }

    SafePointer<BackupService> find(const RecordInfo& info) {
        SafePointer<BackupService> out;
        EXPECT_TRUE(m_manager->findService(info, out));
        return out;
    }
    int cameraOf(const SafePointer<BackupService>& job) {
        return job->getRecordInfo().getCameraId();
    }

    BackupServiceManager* m_manager = BackupServiceManager::getInstance();
};

TEST_F(ManagerTest, JobsAreMatchedByExactDeviceIdAndCameraIdAndRemovedInPlace) {
    EXPECT_EQ(-1, m_manager->removeService(makeInfo("dev", 1)));
    EXPECT_EQ(0, m_manager->addService(0, makeInfo("dev", 1, "10.0.0.1", 1000)));
    // Other times, type and IP: the same job, which is running.
    EXPECT_EQ(0, m_manager->addService(3, makeInfo("dev", 1, "10.0.0.2", 5000)));
    EXPECT_EQ(1, m_manager->getServiceCount());
    SafePointer<BackupService> job = find(makeInfo("dev", 1));
    EXPECT_STREQ("10.0.0.1", job->getRecordInfo().getDeviceIP());
    EXPECT_EQ(0u, job->getRecordInfo().getRecordBeginTime());
    EXPECT_NE(0, job->isRunning());

    EXPECT_EQ(0, m_manager->addService(0, makeInfo("DEV", 1)));   // letter case
    EXPECT_EQ(0, m_manager->addService(0, makeInfo("dev ", 1)));  // trailing blank
    EXPECT_EQ(0, m_manager->addService(0, makeInfo("dev", 2)));   // other camera
    EXPECT_EQ(0, m_manager->addService(0, makeInfo("dev", 3)));
    std::vector<SafePointer<BackupService>> jobs = m_manager->getServices();
    ASSERT_EQ(5u, jobs.size());
    EXPECT_STREQ("DEV", jobs[1]->getRecordInfo().getDeviceId());
    EXPECT_STREQ("dev ", jobs[2]->getRecordInfo().getDeviceId());
    EXPECT_EQ(2, cameraOf(jobs[3]));

    SafePointer<BackupService> untouched = jobs[1];
    EXPECT_FALSE(m_manager->findService(makeInfo("dev", 4), untouched));
    EXPECT_EQ(jobs[1], untouched);

    // Removal matches the same way and keeps the order of the others.
    EXPECT_EQ(0, m_manager->removeService(makeInfo("dev", 2, "", 777)));
    EXPECT_EQ(-1, m_manager->removeService(makeInfo("dev", 2)));
    jobs = m_manager->getServices();
    ASSERT_EQ(4u, jobs.size());
    EXPECT_EQ(job, jobs[0]);
    EXPECT_STREQ("DEV", jobs[1]->getRecordInfo().getDeviceId());
    EXPECT_EQ(3, cameraOf(jobs[3]));
}

TEST_F(ManagerTest, RemovedJobStopsOnTheStopThreadWhileTheCameraIsAddedAgain) {
    const RecordInfo info = makeInfo("dev", 1);
    EXPECT_EQ(0, m_manager->addService(0, info));
    SafePointer<BackupService> old = find(info);
    old->setStopHook([] { logEvent("stop old"); });
    ASSERT_NE(0, old->isRunning());

    EXPECT_EQ(0, m_manager->removeService(info));
    SafePointer<BackupService> none;
    EXPECT_FALSE(m_manager->findService(info, none));
    EXPECT_EQ(0, m_manager->addService(0, info));
    SafePointer<BackupService> fresh = find(info);
    EXPECT_NE(old, fresh);

    // The stop thread stops the old job (its hook runs once the stop is
    // complete); the new one keeps running.
    ASSERT_TRUE(waitForEvents([](const std::vector<std::string>& e) { return !e.empty(); }));
    EXPECT_THAT(takeEvents(), ElementsAre("stop old"));
    EXPECT_EQ(0, old->isRunning());
    EXPECT_NE(0, fresh->isRunning());
    EXPECT_EQ(1, m_manager->getServiceCount());
}

TEST_F(ManagerTest, UnInitStopsEveryJobInListOrderAndInitDestroysTheListed) {
    std::vector<SafePointer<BackupService>> held;
    for (int camera = 1; camera <= 4; ++camera) {
        EXPECT_EQ(0, m_manager->addService(0, makeInfo("dev", camera)));
        held.push_back(find(makeInfo("dev", camera)));
        held.back()->setStopHook([camera] { logEvent("stop cam" + std::to_string(camera)); });
    }
    // Camera 4 is removed while the stop thread has not reached it (it is
    // stopped here, as during its idle wait): unInit stops it after the
    // listed jobs, and releases it, before it returns.
    m_manager->getStopThread().stop();
    EXPECT_EQ(0, m_manager->removeService(makeInfo("dev", 4)));
    {
        auto sentinel = std::make_shared<Sentinel>("cam4");
        held.back()->setStopHook([sentinel] { logEvent("stop cam4"); });
    }
    SafePointer<BackupService> removed = held.back();
    held.pop_back();
    removed.dec_reference();
    m_manager->unInit();
    EXPECT_THAT(takeEvents(),
                ElementsAre("stop cam1", "stop cam2", "stop cam3", "stop cam4", "destroyed cam4"));
    EXPECT_EQ(0, m_manager->getServiceCount());
    EXPECT_EQ(0, m_manager->getStopThread().getQueuedCount());
    for (auto& job : held) EXPECT_EQ(0, job->isRunning());

    // Jobs can be added after unInit; they run until the next unInit, or
    // init, which destroys those nobody else holds and leaves the others be.
    EXPECT_EQ(0, m_manager->addService(0, makeInfo("dev", 8)));
    EXPECT_EQ(0, m_manager->addService(0, makeInfo("dev", 9)));
    {
        auto sentinel = std::make_shared<Sentinel>("cam8");
        find(makeInfo("dev", 8))->setStopHook([sentinel] {});
    }
    SafePointer<BackupService> kept = find(makeInfo("dev", 9));
    EXPECT_NE(0, kept->isRunning());
    EXPECT_EQ(1, m_manager->init());
    EXPECT_THAT(takeEvents(), ElementsAre("destroyed cam8"));
    EXPECT_EQ(0, m_manager->getServiceCount());
    EXPECT_NE(0, kept->isRunning());
}

TEST_F(ManagerTest, ChurnFromSeveralThreads) {
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 random(t);
            for (int i = 0; i < 150; ++i) {
                RecordInfo info = makeInfo("churn", 1 + random() % 5);
                if (random() % 3 != 2) {
                    failures += m_manager->addService(0, info) != 0;
                } else {
                    const int r = m_manager->removeService(info);
                    failures += r != 0 && r != -1;
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(0, failures.load());
    // At most one job per camera, whatever the interleaving.
    std::vector<SafePointer<BackupService>> jobs = m_manager->getServices();
    EXPECT_LE(jobs.size(), 5u);
    for (size_t i = 0; i < jobs.size(); ++i) {
        for (size_t j = i + 1; j < jobs.size(); ++j)
            EXPECT_NE(cameraOf(jobs[i]), cameraOf(jobs[j]));
    }
}

}  // namespace
