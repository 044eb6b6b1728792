// The job manager on the reference host: the matching rule, add/remove/find,
// removal while a job runs and re-adding at once, init and unInit with jobs,
// and add/remove churn from several threads (run it under the thread
// sanitizer). The jobs read local record disks that hold nothing (the disk
// manager has no configuration), so they only open, fail and retry.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "BackupService.h"
#include "BackupServiceManager.h"
#include "RecordInfo.h"
#include "TaliqTime.h"

using ::testing::ElementsAre;

namespace {

RecordInfo makeInfo(const char* device, int camera, unsigned begin = 0, const char* ip = "") {
    RecordInfo info;
    info.setDeviceId(device);
    info.setDeviceIP(ip);
    info.setCameraId(camera);
    info.setRecordBeginTime(begin);
    info.setRecordEndTime(begin ? begin + 60 : 0);
    return info;
}

// Signals when a job's stopService() has run (and counts the stops).
class StopWatch {
  public:
    std::function<void()> hook(const std::string& name) {
        return [this, name] {
            {
                std::lock_guard<std::mutex> guard(m_mutex);
                m_stops.push_back(name);
            }
            m_changed.notify_all();
        };
    }
    bool waitForStops(size_t count) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(60),
                                  [&] { return m_stops.size() >= count; });
    }
    std::vector<std::string> stops() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_stops;
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_stops;
};

class ManagerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TaliqTime::setClockSpeed(1000);
        m_manager = BackupServiceManager::getInstance();
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

    BackupServiceManager* m_manager = nullptr;
};

TEST_F(ManagerTest, JobsAreMatchedByExactDeviceIdAndCameraId) {
    EXPECT_EQ(0, m_manager->addService(0, makeInfo("dev", 1, 1000, "10.0.0.1")));
    // Other times, type and IP: the same job, which is running.
    EXPECT_EQ(0, m_manager->addService(3, makeInfo("dev", 1, 5000, "10.0.0.2")));
    EXPECT_EQ(1, m_manager->getServiceCount());
    SafePointer<BackupService> job = find(makeInfo("dev", 1));
    EXPECT_STREQ("10.0.0.1", job->getRecordInfo().getDeviceIP());
    EXPECT_EQ(0u, job->getRecordInfo().getRecordBeginTime());
    EXPECT_NE(0, job->isRunning());

    EXPECT_EQ(0, m_manager->addService(0, makeInfo("DEV", 1)));   // letter case
    EXPECT_EQ(0, m_manager->addService(0, makeInfo("dev ", 1)));  // trailing blank
    EXPECT_EQ(0, m_manager->addService(0, makeInfo("dev", 2)));   // other camera
    EXPECT_EQ(4, m_manager->getServiceCount());

    std::vector<SafePointer<BackupService>> jobs = m_manager->getServices();
    ASSERT_EQ(4u, jobs.size());
    EXPECT_STREQ("dev", jobs[0]->getRecordInfo().getDeviceId());
    EXPECT_STREQ("DEV", jobs[1]->getRecordInfo().getDeviceId());
    EXPECT_STREQ("dev ", jobs[2]->getRecordInfo().getDeviceId());
    EXPECT_EQ(2, jobs[3]->getRecordInfo().getCameraId());

    SafePointer<BackupService> untouched = jobs[1];
    EXPECT_FALSE(m_manager->findService(makeInfo("dev", 3), untouched));
    EXPECT_EQ(jobs[1], untouched);
}

TEST_F(ManagerTest, RemoveTakesTheFirstMatchAndKeepsTheOrder) {
    EXPECT_EQ(-1, m_manager->removeService(makeInfo("dev", 1)));
    for (int camera = 1; camera <= 3; ++camera) {
        EXPECT_EQ(0, m_manager->addService(0, makeInfo("dev", camera)));
    }
    EXPECT_EQ(0, m_manager->removeService(makeInfo("dev", 2, 777)));
    EXPECT_EQ(-1, m_manager->removeService(makeInfo("dev", 2)));
    std::vector<SafePointer<BackupService>> jobs = m_manager->getServices();
    ASSERT_EQ(2u, jobs.size());
    EXPECT_EQ(1, jobs[0]->getRecordInfo().getCameraId());
    EXPECT_EQ(3, jobs[1]->getRecordInfo().getCameraId());
}

TEST_F(ManagerTest, RemovedJobStopsOnTheStopThreadWhileTheCameraIsAddedAgain) {
    StopWatch watch;
    const RecordInfo info = makeInfo("dev", 1);
    EXPECT_EQ(0, m_manager->addService(0, info));
    SafePointer<BackupService> old = find(info);
    old->setStopHook(watch.hook("old"));
    ASSERT_NE(0, old->isRunning());

    EXPECT_EQ(0, m_manager->removeService(info));
    SafePointer<BackupService> none;
    EXPECT_FALSE(m_manager->findService(info, none));
    EXPECT_EQ(0, m_manager->addService(0, info));
    SafePointer<BackupService> fresh = find(info);
    EXPECT_NE(old, fresh);
    EXPECT_NE(0, fresh->isRunning());

    // The stop thread stops the old job (its hook runs once the stop is
    // complete); the new one keeps running.
    ASSERT_TRUE(watch.waitForStops(1));
    EXPECT_THAT(watch.stops(), ElementsAre("old"));
    EXPECT_EQ(0, old->isRunning());
    EXPECT_NE(0, fresh->isRunning());
    EXPECT_EQ(1, m_manager->getServiceCount());
}

TEST_F(ManagerTest, UnInitStopsEveryJobInListOrder) {
    StopWatch watch;
    std::vector<SafePointer<BackupService>> held;
    for (int camera = 1; camera <= 3; ++camera) {
        EXPECT_EQ(0, m_manager->addService(0, makeInfo("dev", camera)));
        held.push_back(find(makeInfo("dev", camera)));
        held.back()->setStopHook(watch.hook("cam" + std::to_string(camera)));
    }
    m_manager->unInit();
    EXPECT_THAT(watch.stops(), ElementsAre("cam1", "cam2", "cam3"));
    EXPECT_EQ(0, m_manager->getServiceCount());
    for (auto& job : held) EXPECT_EQ(0, job->isRunning());

    // Jobs can be added after unInit; they run until the next unInit.
    EXPECT_EQ(0, m_manager->addService(0, makeInfo("dev", 9)));
    EXPECT_NE(0, find(makeInfo("dev", 9))->isRunning());
}

TEST_F(ManagerTest, InitDestroysTheListedJobs) {
    // A job's destructor drops its stop hook: the flag marks its destruction.
    struct DestroyFlag {
        explicit DestroyFlag(bool* flag) : m_flag(flag) {}
        ~DestroyFlag() { *m_flag = true; }
        bool* m_flag;
    };
    bool destroyed = false;
    EXPECT_EQ(0, m_manager->addService(0, makeInfo("dev", 1)));
    EXPECT_EQ(0, m_manager->addService(0, makeInfo("dev", 2)));
    {
        auto flag = std::make_shared<DestroyFlag>(&destroyed);
        find(makeInfo("dev", 1))->setStopHook([flag] {});
    }
    SafePointer<BackupService> kept = find(makeInfo("dev", 2));
    EXPECT_EQ(1, m_manager->init());
    EXPECT_TRUE(destroyed);
    EXPECT_EQ(0, m_manager->getServiceCount());
    EXPECT_NE(0, kept->isRunning());  // still held here: neither destroyed nor stopped
}

TEST_F(ManagerTest, ChurnFromSeveralThreads) {
    const int kThreads = 4;
    const int kRounds = 150;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 random(t);
            for (int i = 0; i < kRounds; ++i) {
                RecordInfo info = makeInfo("churn", 1 + random() % 5);
                switch (random() % 3) {
                    case 0:
                    case 1:
                        if (m_manager->addService(0, info) != 0) ++failures;
                        break;
                    default: {
                        int r = m_manager->removeService(info);
                        if (r != 0 && r != -1) ++failures;
                    }
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
        for (size_t j = i + 1; j < jobs.size(); ++j) {
            EXPECT_NE(jobs[i]->getRecordInfo().getCameraId(),
                      jobs[j]->getRecordInfo().getCameraId());
        }
    }
}

}  // namespace
