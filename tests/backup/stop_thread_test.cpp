// The deferred stop thread: passes run on the test thread (order of stops,
// release at the end of the pass, the log line of a failed stop, jobs queued
// during a pass, the queue taken at once for the manager's unInit) and the
// real thread (start/stop, destruction with queued
// jobs). Jobs have no source (type 1): only their stop matters here.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "BackupService.h"
#include "BackupServiceStopThread.h"
#include "BackupTestSupport.h"
#include "TQRuntimeError.h"

using namespace backup_test;
using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;

namespace {

// A job whose stop logs "stop <name>" and runs `extra` (which may throw), and
// whose destruction logs "destroyed <name>".
SafePointer<BackupService> makeJob(const std::string& name, std::function<void()> extra = nullptr) {
    SafePointer<BackupService> job(new BackupService(1, makeInfo(name, 1)));
    auto sentinel = std::make_shared<Sentinel>(name);
    job->setStopHook([sentinel, extra] {
        logEvent("stop " + sentinel->name);
        if (extra) extra();
    });
    return job;
}

class StopThreadTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TaliqTime::setClockSpeed(0);
        takeEvents();
    }
    void TearDown() override { TaliqTime::setClockSpeed(1); }

    WaitRecorder m_waits;
    LogCapture m_log;
};

TEST_F(StopThreadTest, PassStopsTheBatchInOrderThenReleasesItAndLogsAFailedStop) {
    BackupServiceStopThread stopThread;
    SafePointer<BackupService> kept = makeJob("b", [] { throw TQRuntimeError("stop failed"); });
    SafePointer<BackupService> late = makeJob("late");
    stopThread.addBackupService(makeJob("a"));
    stopThread.addBackupService(kept);
    // Job c queues `late` while the pass is stopping it.
    stopThread.addBackupService(
        makeJob("c", [&stopThread, late] { stopThread.addBackupService(late); }));
    late.dec_reference();
    EXPECT_EQ(3, stopThread.getQueuedCount());

    // All three stopped in queue order with no wait, a failed stop too; then
    // the two nobody else holds are destroyed at the end of the pass.
    EXPECT_EQ(0, stopThread.stopBackupService());
    std::vector<std::string> events = takeEvents();
    ASSERT_EQ(5u, events.size());
    EXPECT_THAT(std::vector<std::string>(events.begin(), events.begin() + 3),
                ElementsAre("stop a", "stop b", "stop c"));
    EXPECT_THAT(std::vector<std::string>(events.begin() + 3, events.end()),
                UnorderedElementsAre("destroyed a", "destroyed c"));
    const std::vector<LogCapture::Entry> log = m_log.entries();
    ASSERT_EQ(1u, log.size());
    EXPECT_EQ("BackupServiceStopThread", log[0].category);
    EXPECT_EQ("stop failed", log[0].message);
    EXPECT_EQ("BackupServiceStopThread", log[0].file);
    EXPECT_EQ(73, log[0].line);

    // The job queued during the pass waits for the next one.
    EXPECT_EQ(1, stopThread.getQueuedCount());
    EXPECT_EQ(0, stopThread.stopBackupService());
    EXPECT_THAT(takeEvents(), ElementsAre("stop late", "destroyed late"));
    kept.dec_reference();
    EXPECT_THAT(takeEvents(), ElementsAre("destroyed b"));
    // An empty pass waits two seconds.
    EXPECT_EQ(0, stopThread.stopBackupService());
    EXPECT_THAT(takeEvents(), ElementsAre("wait 2.0"));

    // What the manager's unInit does once the thread is stopped: the whole
    // queue as one batch on the calling thread, a failed stop logged alike.
    stopThread.addBackupService(makeJob("x", [] { throw TQRuntimeError("x failed"); }));
    stopThread.addBackupService(makeJob("y"));
    EXPECT_EQ(2, stopThread.stopQueuedServices());
    events = takeEvents();
    ASSERT_EQ(4u, events.size());
    EXPECT_THAT(std::vector<std::string>(events.begin(), events.begin() + 2),
                ElementsAre("stop x", "stop y"));
    EXPECT_THAT(std::vector<std::string>(events.begin() + 2, events.end()),
                UnorderedElementsAre("destroyed x", "destroyed y"));
    EXPECT_EQ(0, stopThread.getQueuedCount());
    ASSERT_EQ(2u, m_log.entries().size());
    EXPECT_EQ("x failed", m_log.entries()[1].message);
    EXPECT_EQ(0, stopThread.stopQueuedServices());
}

TEST_F(StopThreadTest, StoppedThreadKeepsItsQueueUntilStartedAgainOrDestroyed) {
    TaliqTime::setClockSpeed(1000);
    BackupServiceStopThread stopThread;
    EXPECT_NE(0, stopThread.start());
    EXPECT_EQ(1, stopThread.start());
    stopThread.stop();
    takeEvents();

    stopThread.addBackupService(makeJob("a"));
    stopThread.addBackupService(makeJob("b"));
    stopThread.stop();  // not running: nothing happens
    EXPECT_EQ(2, stopThread.getQueuedCount());
    EXPECT_THAT(takeEvents(), ElementsAre());

    EXPECT_NE(0, stopThread.start());
    ASSERT_TRUE(waitForEvents(
        [](const std::vector<std::string>& e) { return countEvents(e, "destroyed") == 2; }));
    stopThread.stop();
    std::vector<std::string> events;
    for (const std::string& e : takeEvents()) {
        if (e.rfind("wait", 0) != 0) events.push_back(e);
    }
    EXPECT_THAT(events, ElementsAre("stop a", "stop b", "destroyed a", "destroyed b"));
    EXPECT_EQ(0, stopThread.getQueuedCount());

    {
        BackupServiceStopThread never;
        for (const char* name : {"a", "b", "c"}) never.addBackupService(makeJob(name));
    }
    // Never started: the jobs were not stopped by a pass, only destroyed (the
    // last queued first); each job's destructor stops it without its hook.
    EXPECT_THAT(takeEvents(), ElementsAre("destroyed c", "destroyed b", "destroyed a"));

    auto running = std::make_unique<BackupServiceStopThread>();
    ASSERT_NE(0, running->start());
    for (int i = 0; i < 20; ++i) running->addBackupService(makeJob("j" + std::to_string(i)));
    running.reset();  // whatever a pass had taken, every job is gone now
    EXPECT_EQ(20, countEvents(takeEvents(), "destroyed"));
}

}  // namespace
