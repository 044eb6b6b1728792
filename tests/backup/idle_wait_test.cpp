// On the infinitely fast clock (speed 0) the threads that have nothing to do
// sleep instead of spinning through their idle waits: the stop thread until a
// job is queued, a job with no recording until a record file is completed.
// Each case counts the idle waits over a fifth of a second of real time
// (spinning makes thousands), then checks that the awaited event is acted on.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "BackupService.h"
#include "BackupServiceManager.h"
#include "BackupServiceStopThread.h"
#include "BackupTestSupport.h"
#include "RecordDiskManagerImpl.h"
#include "SyntheticCamera.h"
#include "config/RecorderConfig.h"
#include "store/BackupDisk.h"
#include "store/FileSystem.h"

using namespace backup_test;

namespace {

const int kAtMostIdleWaits = 20;  // in 200 ms; a spinning thread makes thousands

int idleWaitsOver200Ms(const std::string& wait) {
    takeEvents();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    return countEvents(takeEvents(), wait);
}

class IdleWaitTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TaliqTime::setClockSpeed(0);
        takeEvents();
    }
    void TearDown() override { TaliqTime::setClockSpeed(1); }

    WaitRecorder m_waits;
};

TEST_F(IdleWaitTest, StopThreadSleepsUntilAJobIsQueuedOrItIsStopped) {
    BackupServiceStopThread stopThread;
    ASSERT_NE(0, stopThread.start());
    EXPECT_LE(idleWaitsOver200Ms("wait 2.0"), kAtMostIdleWaits);

    {
        SafePointer<BackupService> job(new BackupService(1, makeInfo("queued", 1)));
        job->setStopHook([] { logEvent("stopped"); });
        stopThread.addBackupService(job);
    }
    EXPECT_TRUE(waitForEvents(
        [](const std::vector<std::string>& e) { return countEvents(e, "stopped") == 1; }));
    stopThread.stop();  // ends the wait it sleeps in now
}

TEST_F(IdleWaitTest, JobWithNothingToMoveSleepsUntilARecordFileIsCompleted) {
    TempDir tmp;
    for (const char* d : {"local", "backup"})
        std::filesystem::create_directories(tmp.path + "/" + d);
    std::string diskId;
    ASSERT_EQ(0, BackupDisk::prepare(*posixFileSystem(), tmp.path + "/backup", diskId));
    RecorderConfig config;
    config.recordDirs = {makeRecordDir(tmp.path + "/local", RecordDirInfoEx::kAttributeLocal)};
    config.backupDirs = {makeRecordDir(tmp.path + "/backup", RecordDirInfoEx::kAttributeBackup)};
    config.policies = {{"dev1", 1, 1}};
    RecordDiskManagerImpl::setConfiguration(config);

    BackupServiceManager* manager = BackupServiceManager::getInstance();
    manager->init();
    ASSERT_EQ(0, manager->addService(0, makeInfo("dev1", 1, "10.1.1.1")));
    // No record file: every step fails and the thread backs off (1 s).
    EXPECT_LE(idleWaitsOver200Ms("wait 1.0"), kAtMostIdleWaits);

    // A completed record file wakes the job, which moves it.
    SyntheticCamera camera(config.recordDirs[0], "dev1", "10.1.1.1", 1);
    SyntheticStreamOptions options;
    options.audio = false;
    ASSERT_EQ(1, camera.record(options, 4, 1700000000000LL, 10));
    const std::string moved = camera.files()[0].createRecordFileName();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::filesystem::exists(moved) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_FALSE(std::filesystem::exists(moved));
    manager->unInit();
    RecordDiskManagerImpl::setConfiguration(RecorderConfig());
}

}  // namespace
