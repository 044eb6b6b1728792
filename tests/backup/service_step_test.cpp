// One step of a backup job at a time, on the test thread: the order of the
// source's and destination's calls, the waits and the console lines for each
// result code. The source is a GoogleMock fake behind the real facade; the
// destination is the real storage with fake record files from the disk
// manager's creation hook. The waits are recorded through the wait observer.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "BackupService.h"
#include "BackupTestSupport.h"
#include "GlobalEnv.h"
#include "IBackupRecordRetriever.h"
#include "IRecordDir.h"
#include "IRecordWriter.h"
#include "RecordDiskManagerImpl.h"
#include "RecordInfo.h"
#include "Singlton.h"
#include "TSAVData.h"
#include "TaliqTime.h"

using ::testing::_;
using ::testing::ElementsAre;
using ::testing::Invoke;
using ::testing::NiceMock;

using namespace backup_test;

namespace {

const int kPacket = 188;

// The source: frames numbered 1, 2, ... (time stamp = number), all I-frames of
// one format, one packet each.
class MockSource : public IBackupRecordRetriever {
  public:
    MOCK_METHOD(int, open, (const RecordInfo&), (override));
    MOCK_METHOD(int, getTSInfo, (TSAVData*), (override));
    MOCK_METHOD(int, readTSData, (char*, int), (override));
    MOCK_METHOD(int, close, (), (override));

    // Default behaviour: opens, delivers numbered frames, closes; logs each.
    void deliverFrames() {
        ON_CALL(*this, open(_)).WillByDefault(Invoke([](const RecordInfo&) {
            logEvent("src.open");
            return 0;
        }));
        ON_CALL(*this, getTSInfo(_)).WillByDefault(Invoke([this](TSAVData* frame) {
            return nextFrame(frame);
        }));
        ON_CALL(*this, readTSData(_, _)).WillByDefault(Invoke([](char* buffer, int length) {
            std::memset(buffer, 0xFF, length);
            buffer[0] = 0x47;
            buffer[1] = 0x01;
            buffer[2] = 0x00;
            buffer[3] = 0x10;
            return length;
        }));
        ON_CALL(*this, close()).WillByDefault(Invoke([] {
            logEvent("src.close");
            return 0;
        }));
    }

    // The next read answers `code` (logged "src.read <label>"); later reads
    // deliver frames again.
    void failNextRead(int code, const std::string& label) {
        EXPECT_CALL(*this, getTSInfo(_))
            .WillOnce(Invoke([=](TSAVData*) {
                logEvent("src.read " + label);
                return code;
            }))
            .WillRepeatedly(Invoke([this](TSAVData* frame) { return nextFrame(frame); }));
    }

    int nextFrame(TSAVData* frame) {
        ++m_frames;
        logEvent("src.read " + std::to_string(m_frames));
        frame->setTimeStamp(m_frames);
        frame->setFrameType(1);
        frame->setESStreamType(1);
        frame->setEncoderType(1);
        frame->setImageWidth(640);
        frame->setImageHeight(480);
        frame->setDataTimeLength(40);
        return kPacket;
    }

    int m_frames = 0;
};

// Results the fake writers give, in order; 0 once the queue is empty.
std::deque<int> g_writeResults;

class FakeWriter : public IRecordWriter {
  public:
    int open(SafePointer<RecordFileInfo>&, int& startSeconds) override {
        startSeconds = 1;
        return 0;
    }
    int write(TSAVData* frame, bool, int) override {
        int result = 0;
        if (!g_writeResults.empty()) {
            result = g_writeResults.front();
            g_writeResults.pop_front();
        }
        logEvent("dst.write " + std::to_string(frame->getTimeStamp()) +
                 (result == 0 ? "" : " -> " + std::to_string(result)));
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

// Results of file creation, in order; 0 (a fake file) once the queue is empty.
std::deque<int> g_createResults;

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
                int result = 0;
                if (!g_createResults.empty()) {
                    result = g_createResults.front();
                    g_createResults.pop_front();
                }
                logEvent("dst.create " + std::to_string(requestType) +
                         (result == 0 ? "" : " -> " + std::to_string(result)));
                if (result != 0) return result;
                writer = SafePointer<IRecordWriter>(new FakeWriter());
                dir = SafePointer<IRecordDir>(new FakeDir());
                return 0;
            });
        m_info.setDeviceId("dev1");
        m_info.setDeviceIP("10.0.0.1");
        m_info.setCameraId(1);
        m_info.setRecordBeginTime(1000);
        m_info.setRecordEndTime(2000);
        m_source = new NiceMock<MockSource>();
        m_source->deliverFrames();
        m_job = new BackupService(SafePointer<IBackupRecordRetriever>(m_source), m_info);
    }

    void TearDown() override {
        delete m_job;
        RecordDiskManagerImpl::setCreateRecordFileHook(nullptr);
        GlobalEnv::getInstance()->setPrintFlag(0);
        TaliqTime::setClockSpeed(1);
    }

    // Runs one step and checks what it printed.
    int step(const std::string& expectedOutput = "") {
        ::testing::internal::CaptureStdout();
        int result = m_job->backupRecord();
        EXPECT_EQ(expectedOutput, ::testing::internal::GetCapturedStdout());
        return result;
    }

    WaitRecorder m_waits;
    RecordInfo m_info;
    NiceMock<MockSource>* m_source = nullptr;  // owned by the job
    BackupService* m_job = nullptr;
};

const char kOneFrame[] = "wait 0.200000";

TEST_F(ServiceStepTest, WrittenFramesArePacedAndTheSourceIsOpenedOnce) {
    // The job keeps the device and camera of its request but not its times.
    const RecordInfo& info = m_job->getRecordInfo();
    EXPECT_STREQ("dev1", info.getDeviceId());
    EXPECT_STREQ("10.0.0.1", info.getDeviceIP());
    EXPECT_EQ(1, info.getCameraId());
    EXPECT_EQ(0u, info.getRecordBeginTime());
    EXPECT_EQ(0u, info.getRecordEndTime());

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
    EXPECT_EQ(0, step());
    // The destination was opened once, before the first try: the first frame
    // starts the first file.
    EXPECT_THAT(takeEvents(),
                ElementsAre("src.open", "src.read 1", "dst.create 1", "dst.write 1", kOneFrame));
    // The module used the process's one disk manager, not a copy of its own.
    EXPECT_NE(nullptr, Singlton<RecordDiskManagerImpl>::peekInstance());
}

TEST_F(ServiceStepTest, ReadFailuresReopenTheSourceOrBothEnds) {
    EXPECT_EQ(0, step());
    takeEvents();
    // No frame now: the source is reopened, the destination kept (no message).
    m_source->failNextRead(-101, "none");
    EXPECT_EQ(0, step());
    EXPECT_THAT(takeEvents(), ElementsAre("src.read none", "src.close", "wait 1.0"));
    EXPECT_EQ(0, step());
    EXPECT_THAT(takeEvents(), ElementsAre("src.open", "src.read 2", "dst.write 2", kOneFrame));

    // A failed read closes both ends; the reopened destination starts a file.
    m_source->failNextRead(-728, "fails");
    EXPECT_EQ(-1, step("BackupRetriever read failed(-728)\n"));
    EXPECT_THAT(takeEvents(), ElementsAre("src.read fails", "src.close", "dst.close"));
    EXPECT_EQ(0, step());
    EXPECT_THAT(takeEvents(),
                ElementsAre("src.open", "src.read 3", "dst.create 1", "dst.write 3", kOneFrame));
}

TEST_F(ServiceStepTest, IncompletePayloadIsAReadFailure) {
    EXPECT_CALL(*m_source, readTSData(_, _)).WillOnce(Invoke([](char*, int) { return 0; }));
    EXPECT_EQ(-1, step("BackupRetriever read failed(-1)\n"));
    // No file was open yet: closing the destination makes no writer call.
    EXPECT_THAT(takeEvents(), ElementsAre("src.open", "src.read 1", "src.close"));
}

TEST_F(ServiceStepTest, SourceOpenFailureClosesTheDestinationOnly) {
    EXPECT_CALL(*m_source, open(_))
        .WillOnce(Invoke([](const RecordInfo&) {
            logEvent("src.open fails");
            return -735;
        }))
        .WillRepeatedly(Invoke([](const RecordInfo&) {
            logEvent("src.open");
            return 0;
        }));
    EXPECT_CALL(*m_source, close()).Times(0);
    EXPECT_EQ(-1, step("backupRecordRetriever open failed(-735)\n"));
    EXPECT_THAT(takeEvents(), ElementsAre("src.open fails"));
    ::testing::Mock::VerifyAndClearExpectations(m_source);
    EXPECT_EQ(0, step());
    EXPECT_THAT(takeEvents(),
                ElementsAre("src.open", "src.read 1", "dst.create 1", "dst.write 1", kOneFrame));
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
    EXPECT_THAT(takeEvents(),
                ElementsAre("src.open", "src.read 5", "dst.create 1", "dst.write 5", kOneFrame));
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
    EXPECT_THAT(takeEvents(),
                ElementsAre("src.open", "src.read 2", "dst.create 1", "dst.write 2", kOneFrame));
}

TEST(ServiceTypeTest, JobWithoutSourceIsRefusedInItsFirstStep) {
    WaitRecorder waits;
    takeEvents();
    GlobalEnv::getInstance()->setPrintFlag(1);
    RecordInfo info;
    info.setDeviceId("dev1");
    info.setCameraId(2);
    BackupService job(7, info);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(-1, job.backupRecord());
    std::string output = ::testing::internal::GetCapturedStdout();
    GlobalEnv::getInstance()->setPrintFlag(0);
    EXPECT_EQ("backupRecord: job type 7 has no record source\n", output);
    EXPECT_THAT(takeEvents(), ElementsAre());
}

TEST(ServiceThreadTest, StartOnARunningJobReturnsOneAndStopEndsIt) {
    TaliqTime::setClockSpeed(1000);
    RecordInfo info;
    info.setDeviceId("dev1");
    info.setCameraId(3);
    auto* source = new NiceMock<MockSource>();
    ON_CALL(*source, open(_)).WillByDefault(Invoke([](const RecordInfo&) { return -101; }));
    BackupService job(SafePointer<IBackupRecordRetriever>(source), info);
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
