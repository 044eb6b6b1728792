// The backup job, its record source, its deferred stop thread and its
// manager. A job's steps run
// on the test thread between the scripted source and destination: the order
// of their calls, the waits and the console lines for each result code. The
// stop thread's passes run on the test thread and on its own; the manager's
// jobs read record disks that hold nothing, so they only open, fail and
// retry.
#include <gmock/gmock.h>

#include <atomic>
#include <random>
#include <thread>

#include "BackupRecordRetriever.h"
#include "BackupService.h"
#include "BackupServiceManager.h"
#include "BackupServiceStopThread.h"
#include "BackupTestSupport.h"
#include "GlobalEnv.h"
#include "RefCountManager.h"
#include "Singlton.h"

using namespace backup_test;
using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;

namespace {

struct StepRow {
    const char* name;
    std::deque<int> opens, infos, reads, creates;
    std::map<long long, std::deque<int>> writes;
    const char* actions;  // s: a step, x: stopService
    const char* events;   // "=> <code>" where a step answered a code
    const char* printed;
};

TEST(ServiceTest, StepsCallSourceAndDestinationInOrderAndHoldWhatFailed) {
    // clang-format off
    const StepRow rows[] = {
        {"written frames are paced, the source is opened once", {}, {}, {}, {}, {}, "ss",
         "src.open; src.read 1; create 1; open; write 1; wait 200; src.read 2; write 2; wait 200",
         ""},
        {"a source not ready is retried every second", {-101, -101}, {}, {}, {}, {}, "sss",
         "src.open -> -101; src.close; wait 1000; src.open -> -101; src.close; wait 1000; "
         "src.open; src.read 1; create 1; open; write 1; wait 200",
         "backupRecordRetriever open failed(-101)\nbackupRecordRetriever open failed(-101)\n"},
        {"a failed open closes nothing, no frame reopens the source, a failed read or a short "
         "payload closes both ends", {-735}, {kNext, -101, kNext, -728}, {kNext, kNext, kNext, 0},
         {}, {}, "sssssss",
         "src.open -> -735; => -1; src.open; src.read 1; create 1; open; write 1; wait 200; "
         "src.read -101; src.close; wait 1000; src.open; src.read 2; write 2; wait 200; "
         "src.read -728; src.close; close; => -1; src.open; src.read 3; create 1; open; write 3; "
         "wait 200; src.read 4; src.close; close; => -1",
         "backupRecordRetriever open failed(-735)\nBackupRetriever read failed(-728)\n"
         "BackupRetriever read failed(-1)\n"},
        {"a frame failing in two files is written again before the next read, unless stopped",
         {}, {}, {}, {}, {{2, {-707, -707}}, {4, {-707, -707}}}, "sssssxs",
         "src.open; src.read 1; create 1; open; write 1; wait 200; src.read 2; write 2 -> -707; "
         "close; create 6; open; write 2 -> -707; close; wait 2000; create 0; open; write 2; "
         "wait 200; src.read 3; write 3; wait 200; src.read 4; write 4 -> -707; close; create 6; "
         "open; write 4 -> -707; close; wait 2000; src.close; src.open; src.read 5; create 1; "
         "open; write 5; wait 200",
         "BackupRetriever write failed(-707)\nBackupRetriever write failed(-707)\n"},
        {"a missing backup directory holds the first frame", {}, {}, {}, {-708, -708}, {}, "sss",
         "src.open; src.read 1; create 1 -> -708; wait 2000; create 1 -> -708; wait 2000; "
         "create 1; open; write 1; wait 200",
         "BackupRetriever write failed(-708)\nBackupRetriever write failed(-708)\n"},
        {"stop closes the source, then the destination, once", {}, {}, {}, {}, {}, "xsxxs",
         "src.open; src.read 1; create 1; open; write 1; wait 200; src.close; close; src.open; "
         "src.read 2; create 1; open; write 2; wait 200", ""},
    };
    // clang-format on
    WaitRecorder waits;
    TaliqTime::setClockSpeed(0);
    GlobalEnv::getInstance()->setPrintFlag(1);
    for (const StepRow& row : rows) {
        SCOPED_TRACE(row.name);
        FakeDestination dest;
        dest.creates = row.creates;
        dest.writes = row.writes;
        auto* source = new FakeSource;
        source->opens = row.opens;
        source->infos = row.infos;
        source->reads = row.reads;
        {
            BackupService job(SafePointer<IBackupRecordRetriever>(source), makeInfo("dev1", 1));
            takeEvents();
            EXPECT_EQ(row.printed, printed([&] {
                          for (const char* a = row.actions; *a; ++a) {
                              if (*a == 'x') job.stopService();
                              const int r = *a == 's' ? job.backupRecord() : 0;
                              if (r != 0) logEvent("=> " + std::to_string(r));
                          }
                      }));
            EXPECT_EQ(row.events, takeJoined());
        }
        EXPECT_EQ(0, dest.live);
    }
    GlobalEnv::getInstance()->setPrintFlag(0);
    TaliqTime::setClockSpeed(1);
    // The module used the process's one disk manager, not a copy of its own.
    EXPECT_NE(nullptr, Singlton<RecordDiskManagerImpl>::peekInstance());
}

// The retriever facade over the scripted source, one read a row: the
// source's scripts, then what read answers, the frame's length after it (a
// failure leaves the caller's payload alone) and the payload buffer's size
// (it only grows). Thrown errors become -739 with one log entry each.
struct ReadRow {
    std::deque<int> infos, reads;
    int result, length, buffer;
    bool logged;  // one "BackupIOError|broke" entry more
};

TEST(ServiceTest, RetrieverAssemblesFramesPassesCodesAndCatchesErrors) {
    const ReadRow rows[] = {
        {{600}, {200, 200, 200}, 0, 600, 600, false},  // in pieces, each asking for the rest
        {{300}, {}, 0, 300, 600, false},
        {{601}, {}, 0, 601, 601, false},
        {{-101}, {}, -101, 601, 601, false},  // codes need no payload read
        {{-728}, {}, -728, 601, 601, false},
        {{600}, {200, 0}, -1, 601, 601, false},  // running dry mid-frame
        {{600}, {-702}, -1, 601, 601, false},    // a failing stream
        {{kThrow}, {}, -739, 601, 601, true},
        {{300}, {100, kThrow}, -739, 601, 601, true},
        {{0}, {}, 0, 0, 601, false},
    };
    LogCapture log;
    const long live = RefCountManager::getInstance()->liveCount();
    auto* source = new FakeSource;
    auto facade =
        std::make_unique<BackupRecordRetriever>(SafePointer<IBackupRecordRetriever>(source));
    source->opens = {-735, kThrow};
    EXPECT_EQ(-735, facade->open(RecordInfo()));
    EXPECT_EQ(-739, facade->open(RecordInfo()));
    size_t entries = 1;
    TSAVData frame;
    for (const ReadRow& row : rows) {
        SCOPED_TRACE(row.infos.front());
        source->infos = row.infos;
        source->reads = row.reads;
        source->asked.clear();
        EXPECT_EQ(row.result, facade->read(&frame));
        ASSERT_EQ(row.length, frame.getDataLength());
        EXPECT_EQ(row.buffer, facade->getBufferSize());
        entries += row.logged;
        EXPECT_EQ(entries, log.entries().size());
        if (row.result != 0) continue;
        for (int i = 0; i < row.length; ++i) {
            ASSERT_EQ(FakeSource::byteAt(i), frame.getData()[i] & 0xff) << i;
        }
        for (size_t k = 1; k < source->asked.size(); ++k) {
            EXPECT_EQ(source->asked[k - 1] - 200, source->asked[k]);
        }
    }
    source->closes = {kThrow};
    EXPECT_NO_THROW(facade->close());
    for (const std::string& e : log.entries()) EXPECT_EQ("BackupIOError|broke", e);
    EXPECT_EQ(entries + 1, log.entries().size());

    // Destroying the facade releases the source without closing it; the
    // caller's handle keeps it alive.
    takeEvents();
    auto handle = std::make_unique<SafePointer<IBackupRecordRetriever>>(new FakeSource);
    facade = std::make_unique<BackupRecordRetriever>(*handle);
    EXPECT_EQ("src.destroyed", takeJoined());
    facade.reset();
    EXPECT_EQ("", takeJoined());
    handle.reset();
    EXPECT_EQ("src.destroyed", takeJoined());

    EXPECT_EQ(live, RefCountManager::getInstance()->liveCount());
}

// A job whose stop logs "stop <name>" and runs `extra` (which may throw), and
// whose destruction logs "destroyed <name>". Jobs of type 1 have no source.
SafePointer<BackupService> makeJob(const std::string& name, std::function<void()> extra = nullptr) {
    SafePointer<BackupService> job(new BackupService(1, makeInfo(name, 1)));
    auto sentinel = std::make_shared<Sentinel>(name);
    job->setStopHook([sentinel, extra] {
        logEvent("stop " + sentinel->name);
        if (extra) extra();
    });
    return job;
}

class ThreadsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TaliqTime::setClockSpeed(0);
        takeEvents();
    }
    void TearDown() override { TaliqTime::setClockSpeed(1); }

    WaitRecorder m_waits;
    LogCapture m_log;
};

TEST_F(ThreadsTest, StopPassesStopInOrderReleaseAtTheEndAndLogFailures) {
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
    EXPECT_THAT(m_log.entries(), ElementsAre("BackupServiceStopThread|stop failed"));
    // The job queued during the pass waits for the next one.
    EXPECT_EQ(1, stopThread.getQueuedCount());
    EXPECT_EQ(0, stopThread.stopBackupService());
    EXPECT_EQ("stop late; destroyed late", takeJoined());
    kept.dec_reference();
    EXPECT_EQ("destroyed b", takeJoined());
    EXPECT_EQ(0, stopThread.stopBackupService());
    EXPECT_EQ("wait 2000", takeJoined());  // an empty pass waits two seconds

    // What the manager's unInit does once the thread is stopped: the whole
    // queue as one batch on the calling thread, a failed stop logged alike.
    stopThread.addBackupService(makeJob("x", [] { throw TQRuntimeError("x failed"); }));
    stopThread.addBackupService(makeJob("y"));
    EXPECT_EQ(2, stopThread.stopQueuedServices());
    events = takeEvents();
    ASSERT_EQ(4u, events.size());
    EXPECT_THAT(std::vector<std::string>(events.begin(), events.begin() + 2),
                ElementsAre("stop x", "stop y"));
    EXPECT_EQ("BackupServiceStopThread|x failed", m_log.entries().back());
    EXPECT_EQ(0, stopThread.stopQueuedServices());

    // Not running, the thread keeps its queue; started, it stops it.
    TaliqTime::setClockSpeed(1000);
    stopThread.addBackupService(makeJob("d"));
    stopThread.stop();
    EXPECT_EQ(1, stopThread.getQueuedCount());
    EXPECT_NE(0, stopThread.start());
    EXPECT_EQ(1, stopThread.start());
    ASSERT_TRUE(waitForEvents(
        [](const std::vector<std::string>& e) { return countEvents(e, "destroyed") == 1; }));
    stopThread.stop();
    // Destroyed with jobs queued, never started or running: every job is
    // destroyed (each job's destructor stops it without its hook).
    for (bool start : {false, true}) {
        takeEvents();
        auto other = std::make_unique<BackupServiceStopThread>();
        ASSERT_TRUE(!start || other->start() != 0);
        for (int i = 0; i < 20; ++i) other->addBackupService(makeJob("j" + std::to_string(i)));
        other.reset();
        EXPECT_EQ(20, countEvents(takeEvents(), "destroyed")) << start;
    }
}

// The idle stop thread sleeps: over a fifth of a second of real time it makes
// a few idle waits (spinning makes thousands), then stops a queued job.
TEST_F(ThreadsTest, IdleStopThreadSleepsUntilAJobIsQueued) {
    BackupServiceStopThread stopThread;
    ASSERT_NE(0, stopThread.start());
    EXPECT_LE(idleWaits("wait 2000"), 20);
    stopThread.addBackupService(makeJob("queued"));
    EXPECT_TRUE(waitForEvents(
        [](const std::vector<std::string>& e) { return countEvents(e, "destroyed") == 1; }));
    stopThread.stop();
}

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
    static std::string name(const SafePointer<BackupService>& job) {
        return std::string(job->getRecordInfo().getDeviceId()) + "/" +
               std::to_string(job->getRecordInfo().getCameraId());
    }
    std::vector<std::string> names() {
        std::vector<std::string> out;
        for (const auto& job : m_manager->getServices()) out.push_back(name(job));
        return out;
    }

    BackupServiceManager* m_manager = BackupServiceManager::getInstance();
};

// Jobs are matched by exact device id and camera id (not type, times or IP),
// added at the end and removed in place.
TEST_F(ManagerTest, JobsAreMatchedExactlyAndUnInitStopsThemAll) {
    EXPECT_EQ(-1, m_manager->removeService(makeInfo("dev", 1)));
    EXPECT_EQ(0, m_manager->addService(0, makeInfo("dev", 1, "10.0.0.1", 1000)));
    EXPECT_EQ(0, m_manager->addService(3, makeInfo("dev", 1, "10.0.0.2", 5000)));
    EXPECT_NE(0, find(makeInfo("dev", 1))->isRunning());
    for (const char* device : {"DEV", "dev "})
        EXPECT_EQ(0, m_manager->addService(0, makeInfo(device, 1)));
    for (int camera : {2, 3, 4}) EXPECT_EQ(0, m_manager->addService(0, makeInfo("dev", camera)));
    EXPECT_THAT(names(), ElementsAre("dev/1", "DEV/1", "dev /1", "dev/2", "dev/3", "dev/4"));
    EXPECT_EQ(0, m_manager->removeService(makeInfo("dev", 2, "", 777)));
    EXPECT_EQ(-1, m_manager->removeService(makeInfo("dev", 2)));
    EXPECT_THAT(names(), ElementsAre("dev/1", "DEV/1", "dev /1", "dev/3", "dev/4"));

    // unInit stops every listed job in list order, then one removed while the
    // stop thread had not reached it (held stopped, as in its idle wait), and
    // releases it before it returns.
    std::vector<SafePointer<BackupService>> held = m_manager->getServices();
    for (auto& j : held) {
        const std::string n = name(j);
        j->setStopHook([n] { logEvent("stop " + n); });
    }
    m_manager->getStopThread().stop();
    EXPECT_EQ(0, m_manager->removeService(makeInfo("dev", 4)));
    {
        auto sentinel = std::make_shared<Sentinel>("dev/4");
        held.back()->setStopHook([sentinel] { logEvent("stop dev/4"); });
        held.pop_back();
    }
    m_manager->unInit();
    EXPECT_EQ("stop dev/1; stop DEV/1; stop dev /1; stop dev/3; stop dev/4; destroyed dev/4",
              takeJoined());
    EXPECT_EQ(0, m_manager->getStopThread().getQueuedCount());
    for (auto& j : held) EXPECT_EQ(0, j->isRunning());

    // Jobs added after unInit run until init, which destroys those nobody
    // else holds and leaves the others be.
    EXPECT_EQ(0, m_manager->addService(0, makeInfo("dev", 8)));
    EXPECT_EQ(0, m_manager->addService(0, makeInfo("dev", 9)));
    {
        auto sentinel = std::make_shared<Sentinel>("dev/8");
        find(makeInfo("dev", 8))->setStopHook([sentinel] {});
    }
    SafePointer<BackupService> kept = find(makeInfo("dev", 9));
    EXPECT_EQ(1, m_manager->init());
    EXPECT_EQ("destroyed dev/8", takeJoined());
    EXPECT_EQ(0, m_manager->getServiceCount());
    EXPECT_NE(0, kept->isRunning());
}

TEST_F(ManagerTest, ChurnFromSeveralThreadsKeepsOneJobPerCamera) {
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 random(t);
            for (int i = 0; i < 150; ++i) {
                RecordInfo info = makeInfo("churn", 1 + random() % 5);
                const bool add = random() % 3 != 2;
                const int r = add ? m_manager->addService(0, info) : m_manager->removeService(info);
                failures += r != 0 && (add || r != -1);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(0, failures.load());
    const std::vector<std::string> jobs = names();
    EXPECT_EQ(jobs.size(), std::set<std::string>(jobs.begin(), jobs.end()).size());
}

}  // namespace
