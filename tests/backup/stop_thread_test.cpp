// The deferred stop thread: one pass at a time on the test thread (order of
// stops, release at the end of the pass, the log line of a failed stop, jobs
// queued during a pass), and the real thread (start/stop, destruction with
// queued jobs). Jobs have no source (type 1): only their stop matters here.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "BackupService.h"
#include "BackupServiceStopThread.h"
#include "BackupTestSupport.h"
#include "Logger.h"
#include "RecordInfo.h"
#include "TQRuntimeError.h"
#include "TaliqTime.h"

using ::testing::ElementsAre;

using namespace backup_test;

namespace {

// Logs "destroyed <name>" when the last job holding it goes.
struct Sentinel {
    explicit Sentinel(std::string name) : m_name(std::move(name)) {}
    ~Sentinel() { logEvent("destroyed " + m_name); }
    std::string m_name;
};

// A job whose stop logs "stop <name>" (and runs `extra`, which may throw), and
// whose destruction logs "destroyed <name>".
SafePointer<BackupService> makeJob(const std::string& name, std::function<void()> extra = nullptr) {
    RecordInfo info;
    info.setDeviceId(name.c_str());
    info.setCameraId(1);
    SafePointer<BackupService> job(new BackupService(1, info));
    auto sentinel = std::make_shared<Sentinel>(name);
    job->setStopHook([sentinel, extra] {
        logEvent("stop " + sentinel->m_name);
        if (extra) extra();
    });
    return job;
}

struct LogLine {
    std::string category, message, file;
    int line;
};

class StopThreadTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TaliqTime::setClockSpeed(0);
        Logger::setObserver(
            [this](const std::string& c, const std::string& m, const std::string& f, int l) {
                std::lock_guard<std::mutex> guard(m_logMutex);
                m_log.push_back({c, m, f, l});
            });
        takeEvents();
    }
    void TearDown() override {
        Logger::setObserver(nullptr);
        TaliqTime::setClockSpeed(1);
    }

    WaitRecorder m_waits;
    std::mutex m_logMutex;
    std::vector<LogLine> m_log;
};

// The pass's events: `stops` in this order, then `destroyed` in any order.
void expectStopsThenReleases(std::vector<std::string> stops, std::vector<std::string> destroyed) {
    std::vector<std::string> events = takeEvents();
    ASSERT_EQ(stops.size() + destroyed.size(), events.size());
    const auto split = events.begin() + static_cast<long>(stops.size());
    EXPECT_EQ(stops, std::vector<std::string>(events.begin(), split));
    EXPECT_THAT(std::vector<std::string>(split, events.end()),
                ::testing::UnorderedElementsAreArray(destroyed));
}

TEST_F(StopThreadTest, EmptyPassWaitsTwoSeconds) {
    BackupServiceStopThread stopThread;
    EXPECT_EQ(0, stopThread.stopBackupService());
    EXPECT_EQ(0, stopThread.stopBackupService());
    EXPECT_THAT(takeEvents(), ElementsAre("wait 2.0", "wait 2.0"));
    EXPECT_TRUE(m_log.empty());
}

TEST_F(StopThreadTest, PassStopsTheBatchInOrderThenReleasesIt) {
    BackupServiceStopThread stopThread;
    SafePointer<BackupService> kept = makeJob("b");
    stopThread.addBackupService(makeJob("a"));
    stopThread.addBackupService(kept);
    stopThread.addBackupService(makeJob("c"));
    EXPECT_EQ(3, stopThread.getQueuedCount());

    EXPECT_EQ(0, stopThread.stopBackupService());
    // All three stopped in queue order, no wait, then the two nobody else
    // holds are destroyed at the end of the pass.
    expectStopsThenReleases({"stop a", "stop b", "stop c"}, {"destroyed a", "destroyed c"});
    EXPECT_EQ(0, stopThread.getQueuedCount());

    kept.dec_reference();
    EXPECT_THAT(takeEvents(), ElementsAre("destroyed b"));
}

TEST_F(StopThreadTest, FailedStopIsLoggedAndTheOthersAreStillStopped) {
    BackupServiceStopThread stopThread;
    stopThread.addBackupService(makeJob("a"));
    stopThread.addBackupService(makeJob("b", [] { throw TQRuntimeError("stop failed"); }));
    stopThread.addBackupService(makeJob("c"));

    EXPECT_EQ(0, stopThread.stopBackupService());
    // The failed job is released all the same.
    expectStopsThenReleases({"stop a", "stop b", "stop c"},
                            {"destroyed a", "destroyed b", "destroyed c"});
    ASSERT_EQ(1u, m_log.size());
    EXPECT_EQ("BackupServiceStopThread", m_log[0].category);
    EXPECT_EQ("stop failed", m_log[0].message);
    EXPECT_EQ("BackupServiceStopThread", m_log[0].file);
    EXPECT_EQ(73, m_log[0].line);
}

TEST_F(StopThreadTest, JobQueuedDuringAPassWaitsForTheNextPass) {
    BackupServiceStopThread stopThread;
    SafePointer<BackupService> late = makeJob("late");
    // Job a queues `late` while the pass is stopping it.
    stopThread.addBackupService(
        makeJob("a", [&stopThread, late] { stopThread.addBackupService(late); }));
    late.dec_reference();
    EXPECT_EQ(0, stopThread.stopBackupService());
    EXPECT_THAT(takeEvents(), ElementsAre("stop a", "destroyed a"));
    EXPECT_EQ(1, stopThread.getQueuedCount());
    EXPECT_EQ(0, stopThread.stopBackupService());
    EXPECT_THAT(takeEvents(), ElementsAre("stop late", "destroyed late"));
}

TEST_F(StopThreadTest, StoppedThreadKeepsItsQueueUntilStartedAgain) {
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
    std::vector<std::string> events;
    ASSERT_TRUE(waitForEvents(
        [](const std::vector<std::string>& e) { return countEvents(e, "destroyed") == 2; }));
    stopThread.stop();
    for (const std::string& e : takeEvents()) {
        if (e.rfind("wait", 0) != 0) events.push_back(e);
    }
    EXPECT_THAT(events, ElementsAre("stop a", "stop b", "destroyed a", "destroyed b"));
    EXPECT_EQ(0, stopThread.getQueuedCount());
}

TEST_F(StopThreadTest, DestructionStopsTheThreadAndReleasesTheQueue) {
    TaliqTime::setClockSpeed(1000);
    {
        BackupServiceStopThread stopThread;
        stopThread.addBackupService(makeJob("a"));
        stopThread.addBackupService(makeJob("b"));
        stopThread.addBackupService(makeJob("c"));
    }
    // Never started: the jobs were not stopped by a pass, only destroyed (the
    // last queued first); each job's destructor stops it without its hook.
    EXPECT_THAT(takeEvents(), ElementsAre("destroyed c", "destroyed b", "destroyed a"));

    auto stopThread = std::make_unique<BackupServiceStopThread>();
    ASSERT_NE(0, stopThread->start());
    for (int i = 0; i < 20; ++i) stopThread->addBackupService(makeJob("j" + std::to_string(i)));
    stopThread.reset();  // whatever a pass had taken, every job is gone now
    EXPECT_EQ(20, countEvents(takeEvents(), "destroyed"));
}

}  // namespace
