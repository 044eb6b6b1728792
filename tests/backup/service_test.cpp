// The backup job and its parts over the scripted source and destination:
// steps, the retriever facade, the record storage, the stop thread and the
// manager (whose jobs find nothing to move). Real disks: move_test.
#include <gmock/gmock.h>

#include <atomic>
#include <random>

#include "BackupRecordRetriever.h"
#include "BackupRecordStorage.h"
#include "BackupService.h"
#include "BackupServiceManager.h"
#include "BackupServiceStopThread.h"
#include "BackupTestSupport.h"
#include "RefCountManager.h"

using namespace backup_test;
using ::testing::ElementsAre;

namespace {

struct StepRow {
    const char* name;
    std::deque<int> opens, infos, reads;
    DestinationScript dest;
    const char* actions;  // s: a step, x: stopService
    const char* events;   // "=> <code>" where a step answered a code
};

TEST(ServiceTest, StepsCallSourceAndDestinationInOrderAndHoldWhatFailed) {
    // clang-format off
    const StepRow rows[] = {
        {"a source not ready is retried every second", {-101, -101}, {}, {}, {}, "sss",
         "src.open -> -101; src.close; wait 1000; src.open -> -101; src.close; wait 1000; "
         "src.open; src.read 1; create 1; open; write 1; wait 200"},
        {"a failed open closes nothing, no frame reopens the source, a failed read or a short "
         "payload closes both ends", {-735}, {kNext, -101, kNext, -728}, {kNext, kNext, kNext, 0},
         {}, "sssssss",
         "src.open -> -735; => -1; src.open; src.read 1; create 1; open; write 1; wait 200; "
         "src.read -101; src.close; wait 1000; src.open; src.read 2; write 2; wait 200; "
         "src.read -728; src.close; close; => -1; src.open; src.read 3; create 1; open; write 3; "
         "wait 200; src.read 4; src.close; close; => -1"},
        {"a frame failing in two files is written again before the next read, unless stopped",
         {}, {}, {}, {{}, {}, {{2, {-707, -707}}, {4, {-707, -707}}}}, "sssssxs",
         "src.open; src.read 1; create 1; open; write 1; wait 200; src.read 2; write 2 -> -707; "
         "close; create 6; open; write 2 -> -707; close; wait 2000; create 0; open; write 2; "
         "wait 200; src.read 3; write 3; wait 200; src.read 4; write 4 -> -707; close; create 6; "
         "open; write 4 -> -707; close; wait 2000; src.close; src.open; src.read 5; create 1; "
         "open; write 5; wait 200"},
        {"stop closes the source, then the destination, once", {}, {}, {}, {}, "xsxxs",
         "src.open; src.read 1; create 1; open; write 1; wait 200; src.close; close; src.open; "
         "src.read 2; create 1; open; write 2; wait 200"},
    };
    // clang-format on
    WaitRecorder waits;
    TaliqTime::setClockSpeed(0);
    for (const StepRow& row : rows) {
        SCOPED_TRACE(row.name);
        FakeDestination dest(row.dest);
        auto* source = new FakeSource(row.opens, row.infos, row.reads);
        {
            BackupService job(SafePointer<IBackupRecordRetriever>(source), makeInfo("dev1", 1));
            events().take();
            for (const char* a = row.actions; *a; ++a) {
                if (*a == 'x') job.stopService();
                const int r = *a == 's' ? job.backupRecord() : 0;
                if (r != 0) logEvent("=> " + std::to_string(r));
            }
            EXPECT_EQ(row.events, events().joined());
        }
        EXPECT_EQ(0, dest.live);
    }
    TaliqTime::setClockSpeed(1);
}

// A read a row: scripts, answer, frame length (kept on failure), buffer size.
struct ReadRow {
    std::deque<int> infos, reads;
    int result, length, buffer;
    bool logged;  // one "BackupIOError|broke" entry more
};

TEST(ServiceTest, RetrieverAssemblesFramesPassesCodesAndCatchesErrors) {
    const ReadRow rows[] = {
        {{600}, {200, 200, 200}, 0, 600, 600, false},  // in pieces
        {{300}, {}, 0, 300, 600, false},
        {{601}, {}, 0, 601, 601, false},
        {{-101}, {}, -101, 601, 601, false},     // codes need no payload read
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
        EXPECT_EQ(row.result, facade->read(&frame));
        ASSERT_EQ(row.length, frame.getDataLength());
        EXPECT_EQ(row.buffer, facade->getBufferSize());
        entries += row.logged;
        EXPECT_EQ(entries, log.peek().size());
        if (row.result != 0) continue;
        for (int i = 0; i < row.length; ++i) {
            ASSERT_EQ(FakeSource::byteAt(i), frame.getData()[i] & 0xff) << i;
        }
    }
    source->closes = {kThrow};
    EXPECT_NO_THROW(facade->close());
    for (const std::string& e : log.peek()) EXPECT_EQ("BackupIOError|broke", e);
    EXPECT_EQ(entries + 1, log.peek().size());

    // The facade releases the source, unclosed; the caller's handle stays.
    events().take();
    auto handle = std::make_unique<SafePointer<IBackupRecordRetriever>>(new FakeSource);
    facade = std::make_unique<BackupRecordRetriever>(*handle);
    EXPECT_EQ("src.destroyed", events().joined());
    facade.reset();
    EXPECT_EQ("", events().joined());
    handle.reset();
    EXPECT_EQ("src.destroyed", events().joined());

    EXPECT_EQ(live, RefCountManager::getInstance()->liveCount());
}

void putTimeStamp(unsigned char* p, int prefix, long long ts) {
    p[0] = static_cast<unsigned char>((prefix << 4) | ((ts >> 29) & 0x0E) | 1);
    p[1] = static_cast<unsigned char>(ts >> 22);
    p[2] = static_cast<unsigned char>(((ts >> 14) & 0xFE) | 1);
    p[3] = static_cast<unsigned char>(ts >> 7);
    p[4] = static_cast<unsigned char>(((ts << 1) & 0xFE) | 1);
}

// `packets` packets on PID 0x100; packet i opens a video PES with DTS dts[i]
// (and PTS 3000 ticks later) while i < dts.size().
std::string makeTsFrame(int packets, const std::vector<long long>& dts) {
    std::string data(packets * 188, '\xFF');
    for (int i = 0; i < packets; ++i) {
        unsigned char* p = reinterpret_cast<unsigned char*>(&data[i * 188]);
        const bool start = i < static_cast<int>(dts.size());
        p[0] = 0x47;
        p[1] = (start ? 0x40 : 0x00) | 0x01;
        p[2] = 0x00;
        p[3] = static_cast<unsigned char>(0x10 | (i & 0x0F));
        if (!start) continue;
        const unsigned char head[] = {0x00, 0x00, 0x01, 0xE0, 0x00, 0x00, 0x80, 0xC0, 10};
        std::copy(head, head + sizeof(head), p + 4);
        putTimeStamp(p + 13, 3, dts[i] + 3000);
        putTimeStamp(p + 18, 1, dts[i]);
    }
    return data;
}

// The DTS of the first packet of a frame made by makeTsFrame.
long long firstDts(const TSAVData& frame) {
    const unsigned char* t = reinterpret_cast<const unsigned char*>(frame.getData()) + 18;
    return (static_cast<long long>(t[0] & 0x0E) << 29) | (t[1] << 22) | ((t[2] & 0xFE) << 14) |
           (t[3] << 7) | (t[4] >> 1);
}

struct F {  // a frame of a row: its type (1 I, 2 P) and format
    int type, width = 1920, es = 1, encoder = 1, height = 1080;
};

struct StorageRow {
    const char* name;
    std::vector<F> frames;  // time stamps 1, 2, ...
    DestinationScript dest;
    const char* events;  // "=> <code>" where a write answered a code; "end" the storage's end
    const char* logged = "";
};

TEST(StorageTest, FilesStartRotateAndRetryWithTheirRequestTypes) {
    const F I{1}, P{2}, R{0};  // R: the storage closed and opened again
    // clang-format off
    const StorageRow rows[] = {
        {"files start at the first I-frame of stream type 1 and rotate on every format change",
         {P, {1, 1920, 2}, I, P, {2, 1280}, {2, 640, 2}, {2, 640}, {2, 640, 1, 2}, {2, 640, 1, 2, 480}}, {},
         "create 1; open; write 3; write 4; close; create 1; open; write 5; close; create 0; open; "
         "write 7; close; create 0; open; write 8; close; create 0; open; write 9; end; close"},
        {"failed creations and opens keep the request type and the storage open",
         {I, I, P, I, {2, 1280}, {2, 640}, {2, 320}}, {{-708, 0, 0, 0, -713, 0}, {-705, 0, -705, 0}},
         "create 1 -> -708; => -708; create 1; open -> -705; => -705; create 1; open; write 4; "
         "close; create 1; open -> -705; => -705; create 3 -> -713; => -713; create 3; open; "
         "write 7; end; close"},
        {"a failed write is written again once, in a file with the failure's request type",
         {I, P, P, P, P, P, P, P},
         {{}, {}, {{1, {-737}}, {3, {-707}}, {4, {-737}}, {7, {-707, -707}}}, {{5, 2}}},
         "create 1; open; write 1 -> -737; write 2; write 3 -> -707; close; create 6; open; "
         "write 3; write 4 -> -737; close; create 5; open; write 4; close; create 2; open; close; "
         "=> -703; create 0; open; write 6; write 7 -> -707; close; create 6; open; "
         "write 7 -> -707; close; => -707; create 0; open; write 8; end; close"},
        {"a reopened storage waits for a key frame again", {I, P, R, P, I}, {},
         "create 1; open; write 1; write 2; close; create 1; open; write 4; end; close"},
        {"errors thrown below are logged, answered -739 and close the file",
         {I, I, P}, {{kNoWriter, 0, 0}, {}, {{2, {kThrow}}, {3, {kThrow}}}},
         "create 1; => -739; create 1; open; write 2 -> throw; close; => -739; create 0; open; "
         "write 3 -> throw; close; => -739; end",
         "RecordIOError|SafePointer Report:13IRecordWriter Use NULL pointer ->"},
    };
    // clang-format on
    for (const StorageRow& row : rows) {
        SCOPED_TRACE(row.name);
        FakeDestination dest(row.dest);
        LogCapture log;
        events().take();
        auto storage = std::make_unique<BackupRecordStorage>();
        TSAVData frame;
        frame.setData("\x47", 1);
        EXPECT_EQ(-703, storage->write(0, &frame));  // not open yet
        ASSERT_EQ(0, storage->open(makeInfo("dev1", 3, "10:0:0:7")));
        long long t = 0;
        for (const F& f : row.frames) {
            if (f.type == 0) {
                storage->close();
                ASSERT_EQ(0, storage->open(makeInfo("dev1", 3)));
                continue;
            }
            const std::string data = makeTsFrame(3, {6000 + ++t * 3600});
            frame.setData(data.data(), static_cast<unsigned int>(data.size()));
            setFrame(frame, t, f.type, f.width, f.height, f.encoder, f.es);
            const int r = storage->write(0, &frame);
            if (r != 0) logEvent("=> " + std::to_string(r));
        }
        logEvent("end");
        storage.reset();
        EXPECT_EQ(row.events, events().joined());
        EXPECT_EQ(0, dest.live) << "writers or directories never released";
        EXPECT_TRUE(log.contains(row.logged)) << row.logged;
    }
}

// Three PES d ticks apart span 3d ticks. 100 us: base 9, 18 ticks, 200 us;
// 11 us: base 0, 3 ticks rounded up to 9, 100 us (so the next frame starts
// past this one's end).
TEST(StorageTest, TimeStampsFollowTheConversionsAndWrap) {
    struct Case {
        long long us, step, firstDts, next;
    } cases[] = {
        {100, 3, 9, 200},
        {11, 1, 0, 100},
        {-100, 3, (1LL << 33) - 9, 0},  // base -9 wraps; the answer is 0 again
        // ticks x 100 passes 2^63: taken modulo 2^64, then divided signed.
        {1024819115206086200LL, 3, 92233720368547758LL & ((1LL << 33) - 1), -1024819115206086101LL},
    };
    BackupRecordStorage storage;
    TSAVData frame;
    for (const Case& c : cases) {
        const std::string data = makeTsFrame(4, {70000, 70000 + c.step, 70000 + 2 * c.step});
        frame.setData(data.data(), static_cast<unsigned int>(data.size()));
        EXPECT_EQ(c.next, storage.updata(&frame, c.us)) << c.us;
        EXPECT_EQ(c.firstDts, firstDts(frame)) << c.us;
    }
}

// A job (no source) whose stop logs "stop <name>" and runs `extra`.
SafePointer<BackupService> makeJob(const std::string& name, std::function<void()> extra = nullptr) {
    SafePointer<BackupService> job(new BackupService(1, makeInfo(name, 1)));
    job->setStopHook([name, extra, held = sentinel(name)] {
        (void)held;
        logEvent("stop " + name);
        if (extra) extra();
    });
    return job;
}

TEST(ThreadsTest, StopPassesStopInOrderReleaseAtTheEndAndLogFailures) {
    WaitRecorder waits;
    LogCapture m_log;
    TaliqTime::setClockSpeed(0);
    events().take();
    BackupServiceStopThread stopThread;
    SafePointer<BackupService> kept = makeJob("b", [] { throw TQRuntimeError("stop failed"); });
    for (const char* name : {"a", "c"}) stopThread.addBackupService(makeJob(name));
    stopThread.addBackupService(kept);
    EXPECT_EQ(3, stopThread.getQueuedCount());

    // Stopped in order without a wait; the unheld released after the pass (in
    // no set order).
    EXPECT_EQ(0, stopThread.stopBackupService());
    std::vector<std::string> pass = events().take();
    std::sort(pass.begin() + 3, pass.end());
    EXPECT_THAT(pass, ElementsAre("stop a", "stop c", "stop b", "destroyed a", "destroyed c"));
    EXPECT_THAT(m_log.peek(), ElementsAre("BackupServiceStopThread|stop failed"));
    EXPECT_EQ(0, stopThread.getQueuedCount());
    kept.dec_reference();
    EXPECT_EQ("destroyed b", events().joined());
    EXPECT_EQ(0, stopThread.stopBackupService());
    EXPECT_EQ("wait 2000", events().joined());  // an empty pass waits two seconds

    // Not running, the thread keeps its queue (the manager's unInit stops it
    // as one batch on its own thread); started and idle, it sleeps (a few
    // waits in 200 ms on the infinitely fast clock) until a job comes.
    stopThread.addBackupService(makeJob("d"));
    stopThread.stop();
    EXPECT_EQ(1, stopThread.stopQueuedServices());
    EXPECT_NE(0, stopThread.start());
    EXPECT_EQ(1, stopThread.start());
    EXPECT_LE(idleWaits("wait 2000"), 20);
    stopThread.addBackupService(makeJob("queued"));
    ASSERT_TRUE(events().waitFor(
        [](const std::vector<std::string>& e) { return countEvents(e, "destroyed") == 1; }));
    stopThread.stop();
    // Destroyed with jobs queued: all released.
    events().take();
    auto other = std::make_unique<BackupServiceStopThread>();
    for (const char* name : {"j1", "j2"}) other->addBackupService(makeJob(name));
    other.reset();
    EXPECT_EQ(2, countEvents(events().take(), "destroyed"));
    TaliqTime::setClockSpeed(1);
}

// Jobs are matched by exact device id and camera id (not type, times or IP),
// added at the end and removed in place.
TEST(ManagerTest, JobsAreMatchedExactlyAndUnInitStopsThemAll) {
    BackupServiceManager* manager = BackupServiceManager::getInstance();
    auto name = [](const SafePointer<BackupService>& job) {
        return std::string(job->getRecordInfo().getDeviceId()) + "/" +
               std::to_string(job->getRecordInfo().getCameraId());
    };
    auto names = [&] {
        std::vector<std::string> out;
        for (const auto& job : manager->getServices()) out.push_back(name(job));
        return out;
    };
    TaliqTime::setClockSpeed(1000);
    events().take();
    EXPECT_EQ(1, manager->init());
    EXPECT_EQ(-1, manager->removeService(makeInfo("dev", 1)));
    EXPECT_EQ(0, manager->addService(0, makeInfo("dev", 1, "10.0.0.1", 1000)));
    EXPECT_EQ(0, manager->addService(3, makeInfo("dev", 1, "10.0.0.2", 5000)));
    EXPECT_NE(0, manager->getServices().at(0)->isRunning());
    for (const char* device : {"DEV", "dev "})
        EXPECT_EQ(0, manager->addService(0, makeInfo(device, 1)));
    for (int camera : {2, 3, 4}) EXPECT_EQ(0, manager->addService(0, makeInfo("dev", camera)));
    EXPECT_THAT(names(), ElementsAre("dev/1", "DEV/1", "dev /1", "dev/2", "dev/3", "dev/4"));
    EXPECT_EQ(0, manager->removeService(makeInfo("dev", 2, "", 777)));
    EXPECT_EQ(-1, manager->removeService(makeInfo("dev", 2)));
    EXPECT_THAT(names(), ElementsAre("dev/1", "DEV/1", "dev /1", "dev/3", "dev/4"));

    // unInit stops the listed in order, then one removed before the (held)
    // stop thread got to it, released before unInit returns.
    std::vector<SafePointer<BackupService>> held = manager->getServices();
    for (auto& j : held) {
        const std::string n = name(j);
        j->setStopHook([n] { logEvent("stop " + n); });
    }
    manager->getStopThread().stop();
    EXPECT_EQ(0, manager->removeService(makeInfo("dev", 4)));
    held.back()->setStopHook([s = sentinel("dev/4")] { (void)s, logEvent("stop dev/4"); });
    held.pop_back();
    manager->unInit();
    EXPECT_EQ("stop dev/1; stop DEV/1; stop dev /1; stop dev/3; stop dev/4; destroyed dev/4",
              events().joined());
    EXPECT_EQ(0, manager->getStopThread().getQueuedCount());
    for (auto& j : held) EXPECT_EQ(0, j->isRunning());

    EXPECT_EQ(1, manager->init());

    // Churn from several threads leaves one job a camera (see tsan).
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 random(t);
            for (int i = 0; i < 150; ++i) {
                RecordInfo info = makeInfo("churn", 1 + random() % 5);
                const bool add = random() % 3 != 2;
                const int r = add ? manager->addService(0, info) : manager->removeService(info);
                failures += r != 0 && (add || r != -1);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(0, failures.load());
    const std::vector<std::string> jobs = names();
    EXPECT_EQ(jobs.size(), std::set<std::string>(jobs.begin(), jobs.end()).size());
    manager->unInit();
    EXPECT_EQ(0, manager->getServiceCount());
    TaliqTime::setClockSpeed(1);
}

}  // namespace
