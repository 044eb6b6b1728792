// One step of a backup job at a time, on the test thread: the order of the
// source's and destination's calls, the waits and the console lines for each
// result code. The source is a GoogleMock fake behind the real facade; the
// destination is the real storage with fake record files from the disk
// manager's creation hook.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "BackupService.h"
#include "BackupTestSupport.h"
#include "GlobalEnv.h"
#include "IRecordDir.h"
#include "IRecordWriter.h"
#include "RecordDiskManagerImpl.h"
#include "Singlton.h"

using namespace backup_test;
using ::testing::_;
using ::testing::ElementsAre;
using ::testing::Invoke;
using ::testing::NiceMock;

namespace {

// Results the fake writers and file creations give, in order; 0 once empty.
std::deque<int> g_writeResults, g_createResults;

int nextResult(std::deque<int>& results) {
    if (results.empty()) return 0;
    const int result = results.front();
    results.pop_front();
    return result;
}
std::string arrow(int result) { return result == 0 ? "" : " -> " + std::to_string(result); }

class FakeWriter : public IRecordWriter {
  public:
    int open(SafePointer<RecordFileInfo>&, int& startSeconds) override {
        startSeconds = 1;
        return 0;
    }
    int write(TSAVData* frame, bool, int) override {
        const int result = nextResult(g_writeResults);
        logEvent("dst.write " + std::to_string(frame->getTimeStamp()) + arrow(result));
        return result;
    }
    int close() override {
        logEvent("dst.close");
        return 0;
    }
};

class FakeDir : public IRecordDir {
  public:
    bool canWrite(TSAVData*, int) override { return true; }
    long long addWrittenSize(int size) override { return size; }
};

const char kOneFrame[] = "wait 0.200000";

class ServiceStepTest : public ::testing::Test {
  protected:
    void SetUp() override {
        takeEvents();
        g_writeResults.clear();
        g_createResults.clear();
        TaliqTime::setClockSpeed(0);
        GlobalEnv::getInstance()->setPrintFlag(1);
        RecordDiskManagerImpl::setCreateRecordFileHook(
            [](SafePointer<RecordFileInfo>&, int requestType, int,
               SafePointer<IRecordWriter>& writer, SafePointer<IRecordDir>& dir) {
                const int result = nextResult(g_createResults);
                logEvent("dst.create " + std::to_string(requestType) + arrow(result));
                if (result != 0) return result;
                writer = SafePointer<IRecordWriter>(new FakeWriter());
                dir = SafePointer<IRecordDir>(new FakeDir());
                return 0;
            });
        // Frames numbered 1, 2, ... (time stamp = number), all I-frames of one
        // format, one packet each; every call is logged.
        m_source = new NiceMock<MockSource>();
        ON_CALL(*m_source, open(_)).WillByDefault(Invoke([](const RecordInfo&) {
            logEvent("src.open");
            return 0;
        }));
        ON_CALL(*m_source, getTSInfo(_)).WillByDefault(Invoke([this](TSAVData* frame) {
            logEvent("src.read " + std::to_string(++m_frames));
            frame->setTimeStamp(m_frames);
            frame->setFrameType(1);
            frame->setESStreamType(1);
            frame->setEncoderType(1);
            frame->setImageWidth(640);
            frame->setImageHeight(480);
            frame->setDataTimeLength(40);
            return 188;
        }));
        ON_CALL(*m_source, readTSData(_, _)).WillByDefault(Invoke([](char* buffer, int length) {
            std::memset(buffer, 0xFF, length);
            std::memcpy(buffer, "\x47\x01\x00\x10", 4);
            return length;
        }));
        ON_CALL(*m_source, close()).WillByDefault(Invoke([] {
            logEvent("src.close");
            return 0;
        }));
        m_job = new BackupService(SafePointer<IBackupRecordRetriever>(m_source),
                                  makeInfo("dev1", 1, "10.0.0.1", 1000));
    }
    void TearDown() override {
        delete m_job;
        RecordDiskManagerImpl::setCreateRecordFileHook(nullptr);
        GlobalEnv::getInstance()->setPrintFlag(0);
        TaliqTime::setClockSpeed(1);
    }

    // Runs one step and checks what it printed.
    int step(const std::string& expectedOutput = "") {
        int result = 0;
        EXPECT_EQ(expectedOutput, printed([&] { result = m_job->backupRecord(); }));
        return result;
    }
    // The next read answers `code`, logged "src.read <code>".
    void failNextRead(int code) {
        EXPECT_CALL(*m_source, getTSInfo(_))
            .WillOnce(Invoke([code](TSAVData*) {
                logEvent("src.read " + std::to_string(code));
                return code;
            }))
            .WillRepeatedly(::testing::DoDefault());
    }
    std::vector<std::string> firstFile(int frame) {
        return {"src.open", "src.read " + std::to_string(frame), "dst.create 1",
                "dst.write " + std::to_string(frame), kOneFrame};
    }

    WaitRecorder m_waits;
    NiceMock<MockSource>* m_source = nullptr;  // owned by the job
    BackupService* m_job = nullptr;
    int m_frames = 0;
};

TEST_F(ServiceStepTest, WrittenFramesArePacedAndTheSourceIsOpenedOnce) {
    // The job keeps the device and camera of its request but not its times.
    EXPECT_STREQ("10.0.0.1", m_job->getRecordInfo().getDeviceIP());
    EXPECT_EQ(0u, m_job->getRecordInfo().getRecordBeginTime());
    EXPECT_EQ(0u, m_job->getRecordInfo().getRecordEndTime());

    EXPECT_CALL(*m_source, open(_)).Times(1);
    EXPECT_EQ(0, step());
    EXPECT_EQ(0, step());
    EXPECT_THAT(takeEvents(), ElementsAre("src.open", "src.read 1", "dst.create 1", "dst.write 1",
                                          kOneFrame, "src.read 2", "dst.write 2", kOneFrame));
}

TEST_F(ServiceStepTest, SourceNotReadyIsRetriedEverySecondWithAMessage) {
    int notReady = 5;
    EXPECT_CALL(*m_source, open(_)).Times(6).WillRepeatedly(Invoke([&](const RecordInfo&) {
        logEvent("src.open");
        return notReady-- > 0 ? -101 : 0;
    }));
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(0, step("backupRecordRetriever open failed(-101)\n"));
        EXPECT_THAT(takeEvents(), ElementsAre("src.open", "src.close", "wait 1.0"));
    }
    // The destination was opened once, before the first try: the first frame
    // starts the first file.
    EXPECT_EQ(0, step());
    EXPECT_EQ(firstFile(1), takeEvents());
    // The module used the process's one disk manager, not a copy of its own.
    EXPECT_NE(nullptr, Singlton<RecordDiskManagerImpl>::peekInstance());
}

TEST_F(ServiceStepTest, OpenAndReadFailuresReopenTheSourceOrBothEnds) {
    // A failed open closes the destination only (no file was open).
    EXPECT_CALL(*m_source, open(_))
        .WillOnce(Invoke([](const RecordInfo&) {
            logEvent("src.open -735");
            return -735;
        }))
        .WillRepeatedly(::testing::DoDefault());
    EXPECT_EQ(-1, step("backupRecordRetriever open failed(-735)\n"));
    EXPECT_THAT(takeEvents(), ElementsAre("src.open -735"));
    EXPECT_EQ(0, step());
    EXPECT_EQ(firstFile(1), takeEvents());

    // No frame now: the source is reopened, the destination kept (no message).
    failNextRead(-101);
    EXPECT_EQ(0, step());
    EXPECT_THAT(takeEvents(), ElementsAre("src.read -101", "src.close", "wait 1.0"));
    EXPECT_EQ(0, step());
    EXPECT_THAT(takeEvents(), ElementsAre("src.open", "src.read 2", "dst.write 2", kOneFrame));

    // A failed read closes both ends; the reopened destination starts a file.
    failNextRead(-728);
    EXPECT_EQ(-1, step("BackupRetriever read failed(-728)\n"));
    EXPECT_THAT(takeEvents(), ElementsAre("src.read -728", "src.close", "dst.close"));
    EXPECT_EQ(0, step());
    EXPECT_EQ(firstFile(3), takeEvents());

    // So does an incomplete payload.
    EXPECT_CALL(*m_source, readTSData(_, _)).WillOnce(Invoke([](char*, int) { return 0; }));
    EXPECT_EQ(-1, step("BackupRetriever read failed(-1)\n"));
    EXPECT_THAT(takeEvents(), ElementsAre("src.read 4", "src.close", "dst.close"));
}

TEST_F(ServiceStepTest, FailedWriteIsWrittenAgainBeforeTheNextReadUnlessStopped) {
    EXPECT_EQ(0, step());
    takeEvents();
    // Frame 2 fails in its file and again in a fresh one.
    g_writeResults = {-707, -707};
    EXPECT_EQ(0, step("BackupRetriever write failed(-707)\n"));
    EXPECT_THAT(takeEvents(),
                ElementsAre("src.read 2", "dst.write 2 -> -707", "dst.close", "dst.create 6",
                            "dst.write 2 -> -707", "dst.close", "wait 2.0"));
    // The next step writes frame 2 again instead of reading frame 3.
    EXPECT_EQ(0, step());
    EXPECT_THAT(takeEvents(), ElementsAre("dst.create 0", "dst.write 2", kOneFrame));
    EXPECT_EQ(0, step());
    EXPECT_THAT(takeEvents(), ElementsAre("src.read 3", "dst.write 3", kOneFrame));

    // Without the print flag the same failure prints nothing.
    GlobalEnv::getInstance()->setPrintFlag(0);
    g_writeResults = {-707, -707};
    EXPECT_EQ(0, step());
    EXPECT_EQ("wait 2.0", takeEvents().back());

    // A stop gives up the held frame (the failed file was closed already).
    m_job->stopService();
    EXPECT_THAT(takeEvents(), ElementsAre("src.close"));
    EXPECT_EQ(0, step());
    EXPECT_EQ(firstFile(5), takeEvents());
}

TEST_F(ServiceStepTest, MissingBackupDirectoryHoldsTheFirstFrame) {
    g_createResults = {-708, -708, -708};
    for (int i = 0; i < 3; ++i) EXPECT_EQ(0, step("BackupRetriever write failed(-708)\n"));
    EXPECT_EQ(0, step());
    // Frame 1 was read once and waited for the directory; nothing was dropped.
    EXPECT_THAT(takeEvents(),
                ElementsAre("src.open", "src.read 1", "dst.create 1 -> -708", "wait 2.0",
                            "dst.create 1 -> -708", "wait 2.0", "dst.create 1 -> -708", "wait 2.0",
                            "dst.create 1", "dst.write 1", kOneFrame));
}

TEST_F(ServiceStepTest, StopClosesSourceThenDestinationOnce) {
    m_job->stopService();  // never ran: nothing to stop or close
    EXPECT_THAT(takeEvents(), ElementsAre());
    EXPECT_EQ(0, step());
    takeEvents();
    m_job->stopService();
    EXPECT_THAT(takeEvents(), ElementsAre("src.close", "dst.close"));
    m_job->stopService();
    EXPECT_THAT(takeEvents(), ElementsAre());
    // A stopped job opens both ends anew.
    EXPECT_EQ(0, step());
    EXPECT_EQ(firstFile(2), takeEvents());
}

TEST(ServiceTypeTest, JobWithoutSourceIsRefusedAndAThreadStartsOnce) {
    WaitRecorder waits;
    takeEvents();
    GlobalEnv::getInstance()->setPrintFlag(1);
    BackupService typed(7, makeInfo("dev1", 2));
    EXPECT_EQ("backupRecord: job type 7 has no record source\n",
              printed([&] { EXPECT_EQ(-1, typed.backupRecord()); }));
    GlobalEnv::getInstance()->setPrintFlag(0);
    EXPECT_THAT(takeEvents(), ElementsAre());

    TaliqTime::setClockSpeed(1000);
    auto* source = new NiceMock<MockSource>();
    ON_CALL(*source, open(_)).WillByDefault(::testing::Return(-101));
    BackupService job(SafePointer<IBackupRecordRetriever>(source), makeInfo("dev1", 3));
    EXPECT_EQ(0, job.isRunning());
    EXPECT_NE(0, job.startService());
    EXPECT_NE(0, job.isRunning());
    EXPECT_EQ(1, job.startService());
    job.stopService();
    EXPECT_EQ(0, job.isRunning());
    EXPECT_NE(0, job.startService());  // a stopped job can run again
    job.stopService();
    TaliqTime::setClockSpeed(1);
}

}  // namespace
