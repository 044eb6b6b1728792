// The retriever facade over a fake source: frame assembly from pieces, the
// growing payload buffer, and the turning of every TQRuntimeError into -739
// with one log entry.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "BackupRecordRetriever.h"
#include "IBackupRecordRetriever.h"
#include "Logger.h"
#include "RecordInfo.h"
#include "RefCountManager.h"
#include "TQRuntimeError.h"
#include "TSAVData.h"

namespace {

using ::testing::_;
using ::testing::InSequence;
using ::testing::Invoke;
using ::testing::NiceMock;
using ::testing::Return;
using ::testing::StrictMock;
using ::testing::Throw;

class MockSource : public IBackupRecordRetriever {
  public:
    ~MockSource() override { destroyed(); }
    MOCK_METHOD(int, open, (const RecordInfo&), (override));
    MOCK_METHOD(int, getTSInfo, (TSAVData*), (override));
    MOCK_METHOD(int, readTSData, (char*, int), (override));
    MOCK_METHOD(int, close, (), (override));
    MOCK_METHOD(void, destroyed, ());
};

struct LogEntry {
    std::string category;
    std::string message;
    std::string file;
    int line;
};

// Frame bytes that differ at every position, so a piece copied to the wrong
// offset is seen.
std::vector<char> pattern(int length, int seed) {
    std::vector<char> bytes(length);
    for (int i = 0; i < length; ++i) bytes[i] = static_cast<char>((i * 7 + seed) & 0xff);
    return bytes;
}

// A readTSData action that hands out `bytes` in pieces of at most `piece`.
auto deliverFrom(const std::vector<char>* bytes, int* position, int piece) {
    return [bytes, position, piece](char* buffer, int length) {
        int n = std::min({length, piece, static_cast<int>(bytes->size()) - *position});
        std::memcpy(buffer, bytes->data() + *position, n);
        *position += n;
        return n;
    };
}

class RecordRetrieverTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Logger::setObserver([this](const std::string& category, const std::string& message,
                                   const std::string& file, int line) {
            m_log.push_back({category, message, file, line});
        });
        m_liveRecords = RefCountManager::getInstance()->liveCount();
    }
    void TearDown() override {
        Logger::setObserver(Logger::Observer());
        m_facade.reset();
        // Every handle taken by a test has been released.
        EXPECT_EQ(m_liveRecords, RefCountManager::getInstance()->liveCount());
    }

    // A facade over a new strict mock; the mock is owned by the facade's handle.
    StrictMock<MockSource>* makeSource() {
        auto* source = new StrictMock<MockSource>();
        EXPECT_CALL(*source, destroyed());
        m_facade =
            std::make_unique<BackupRecordRetriever>(SafePointer<IBackupRecordRetriever>(source));
        return source;
    }

    std::vector<LogEntry> m_log;
    long m_liveRecords = 0;
    std::unique_ptr<BackupRecordRetriever> m_facade;
};

TEST_F(RecordRetrieverTest, BufferGrowsToExactlyTheLargestFrameAndNeverShrinks) {
    auto* source = makeSource();
    const std::vector<char> f600 = pattern(600, 1), f300 = pattern(300, 2), f601 = pattern(601, 3);
    int pos600 = 0, pos300 = 0, pos601 = 0;
    {
        InSequence order;
        EXPECT_CALL(*source, getTSInfo(_)).WillOnce(Return(600));
        EXPECT_CALL(*source, readTSData(_, 600)).WillOnce(Invoke(deliverFrom(&f600, &pos600, 600)));
        EXPECT_CALL(*source, getTSInfo(_)).WillOnce(Return(300));
        EXPECT_CALL(*source, readTSData(_, 300)).WillOnce(Invoke(deliverFrom(&f300, &pos300, 300)));
        EXPECT_CALL(*source, getTSInfo(_)).WillOnce(Return(601));
        EXPECT_CALL(*source, readTSData(_, 601)).WillOnce(Invoke(deliverFrom(&f601, &pos601, 601)));
    }
    EXPECT_EQ(0, m_facade->getBufferSize());

    TSAVData frame;
    ASSERT_EQ(0, m_facade->read(&frame));
    EXPECT_EQ(600, m_facade->getBufferSize());
    ASSERT_EQ(600, frame.getDataLength());
    EXPECT_EQ(0, std::memcmp(f600.data(), frame.getData(), 600));

    ASSERT_EQ(0, m_facade->read(&frame));
    EXPECT_EQ(600, m_facade->getBufferSize());
    ASSERT_EQ(300, frame.getDataLength());
    EXPECT_EQ(0, std::memcmp(f300.data(), frame.getData(), 300));

    ASSERT_EQ(0, m_facade->read(&frame));
    EXPECT_EQ(601, m_facade->getBufferSize());
    ASSERT_EQ(601, frame.getDataLength());
    EXPECT_EQ(0, std::memcmp(f601.data(), frame.getData(), 601));
    EXPECT_TRUE(m_log.empty());
}

TEST_F(RecordRetrieverTest, PayloadIsAssembledFromAsManyPiecesAsTheSourceGives) {
    auto* source = makeSource();
    const std::vector<char> bytes = pattern(600, 9);
    int position = 0;
    std::vector<char*> targets;
    auto deliver = deliverFrom(&bytes, &position, 200);
    auto record = [&](char* buffer, int length) {
        targets.push_back(buffer);
        return deliver(buffer, length);
    };
    {
        InSequence order;
        EXPECT_CALL(*source, getTSInfo(_)).WillOnce(Return(600));
        // Each call asks for exactly the rest of the frame.
        EXPECT_CALL(*source, readTSData(_, 600)).WillOnce(Invoke(record));
        EXPECT_CALL(*source, readTSData(_, 400)).WillOnce(Invoke(record));
        EXPECT_CALL(*source, readTSData(_, 200)).WillOnce(Invoke(record));
    }
    TSAVData frame;
    ASSERT_EQ(0, m_facade->read(&frame));
    ASSERT_EQ(3u, targets.size());
    EXPECT_EQ(targets[0] + 200, targets[1]);
    EXPECT_EQ(targets[0] + 400, targets[2]);
    ASSERT_EQ(600, frame.getDataLength());
    EXPECT_EQ(0, std::memcmp(bytes.data(), frame.getData(), 600));
}

TEST_F(RecordRetrieverTest, SourceRunningDryMidFrameGivesMinusOneAndLeavesThePayloadAlone) {
    auto* source = makeSource();
    const std::vector<char> bytes = pattern(600, 4);
    int position = 0;
    const std::vector<char> previous = pattern(50, 5);
    {
        InSequence order;
        EXPECT_CALL(*source, getTSInfo(_)).WillOnce(Return(600));
        EXPECT_CALL(*source, readTSData(_, 600))
            .WillOnce(Invoke(deliverFrom(&bytes, &position, 200)));
        EXPECT_CALL(*source, readTSData(_, 400)).WillOnce(Return(0));
        // A failing stream answers a negative code the same way.
        EXPECT_CALL(*source, getTSInfo(_)).WillOnce(Return(600));
        EXPECT_CALL(*source, readTSData(_, 600)).WillOnce(Return(-702));
        // The facade stays usable: the next frame is read whole.
        EXPECT_CALL(*source, getTSInfo(_)).WillOnce(Return(100));
        EXPECT_CALL(*source, readTSData(_, 100)).WillOnce(Invoke([](char* buffer, int length) {
            std::memset(buffer, 0x47, length);
            return length;
        }));
    }
    TSAVData frame;
    frame.setData(previous.data(), 50);
    EXPECT_EQ(-1, m_facade->read(&frame));
    ASSERT_EQ(50, frame.getDataLength());
    EXPECT_EQ(0, std::memcmp(previous.data(), frame.getData(), 50));

    EXPECT_EQ(-1, m_facade->read(&frame));
    EXPECT_EQ(50, frame.getDataLength());

    ASSERT_EQ(0, m_facade->read(&frame));
    ASSERT_EQ(100, frame.getDataLength());
    EXPECT_EQ(0x47, frame.getData()[99]);
    EXPECT_TRUE(m_log.empty());
}

TEST_F(RecordRetrieverTest, EmptyFrameAndSourceCodesNeedNoPayloadRead) {
    auto* source = makeSource();
    {
        InSequence order;
        EXPECT_CALL(*source, open(_)).WillOnce(Return(-735));
        EXPECT_CALL(*source, getTSInfo(_)).WillOnce(Return(0));
        EXPECT_CALL(*source, getTSInfo(_)).WillOnce(Return(-101));
        EXPECT_CALL(*source, getTSInfo(_)).WillOnce(Return(-728));
        EXPECT_CALL(*source, close()).WillOnce(Return(-5));
    }
    // readTSData is never expected: StrictMock fails the test on any call.
    RecordInfo info;
    EXPECT_EQ(-735, m_facade->open(info));

    TSAVData frame;
    const std::vector<char> previous = pattern(10, 6);
    frame.setData(previous.data(), 10);
    EXPECT_EQ(0, m_facade->read(&frame));
    EXPECT_EQ(0, frame.getDataLength());
    EXPECT_EQ(0, m_facade->getBufferSize());

    frame.setData(previous.data(), 10);
    EXPECT_EQ(-101, m_facade->read(&frame));
    EXPECT_EQ(-728, m_facade->read(&frame));
    EXPECT_EQ(10, frame.getDataLength());
    m_facade->close();
    EXPECT_TRUE(m_log.empty());
}

TEST_F(RecordRetrieverTest, ErrorsThrownBySourceBecomeMinus739WithOneLogEntryEach) {
    auto* source = makeSource();
    {
        InSequence order;
        EXPECT_CALL(*source, open(_)).WillOnce(Throw(TQRuntimeError("open broke")));
        EXPECT_CALL(*source, getTSInfo(_)).WillOnce(Throw(TQRuntimeError("index broke")));
        EXPECT_CALL(*source, getTSInfo(_)).WillOnce(Return(300));
        EXPECT_CALL(*source, readTSData(_, 300)).WillOnce(Return(100));
        EXPECT_CALL(*source, readTSData(_, 200)).WillOnce(Throw(TQRuntimeError("data broke")));
        EXPECT_CALL(*source, close()).WillOnce(Throw(TQRuntimeError("close broke")));
    }
    RecordInfo info;
    TSAVData frame;
    EXPECT_EQ(-739, m_facade->open(info));
    EXPECT_EQ(-739, m_facade->read(&frame));
    EXPECT_EQ(-739, m_facade->read(&frame));
    EXPECT_EQ(0, frame.getDataLength());
    EXPECT_NO_THROW(m_facade->close());

    ASSERT_EQ(4u, m_log.size());
    const char* messages[] = {"open broke", "index broke", "data broke", "close broke"};
    for (size_t i = 0; i < m_log.size(); ++i) {
        EXPECT_EQ("BackupIOError", m_log[i].category);
        EXPECT_EQ(messages[i], m_log[i].message);
        EXPECT_NE(std::string::npos, m_log[i].file.find("BackupRecordRetriever"));
        EXPECT_GT(m_log[i].line, 0);
    }
    // Each operation catches at a line of its own.
    EXPECT_NE(m_log[0].line, m_log[1].line);
    EXPECT_NE(m_log[1].line, m_log[3].line);
    EXPECT_EQ(m_log[1].line, m_log[2].line);
}

TEST_F(RecordRetrieverTest, FacadeWithoutSourceReportsTheEmptyHandleAndAnswersMinus739) {
    BackupRecordRetriever facade(false);
    RecordInfo info;
    TSAVData frame;
    const std::string report = "SafePointer Report:22IBackupRecordRetriever Use NULL pointer ->\n";

    ::testing::internal::CaptureStdout();
    EXPECT_EQ(-739, facade.open(info));
    EXPECT_EQ(report, ::testing::internal::GetCapturedStdout());

    ::testing::internal::CaptureStdout();
    EXPECT_EQ(-739, facade.read(&frame));
    EXPECT_EQ(report, ::testing::internal::GetCapturedStdout());

    ::testing::internal::CaptureStdout();
    facade.close();
    EXPECT_EQ(report, ::testing::internal::GetCapturedStdout());

    ASSERT_EQ(3u, m_log.size());
    for (const LogEntry& entry : m_log) {
        EXPECT_EQ("BackupIOError", entry.category);
        EXPECT_EQ(report.substr(0, report.size() - 1), entry.message);
    }
    EXPECT_EQ(0, facade.getBufferSize());
}

TEST_F(RecordRetrieverTest, DestroyingTheFacadeReleasesTheSourceWithoutClosingIt) {
    auto* source = new StrictMock<MockSource>();
    auto handle = std::make_unique<SafePointer<IBackupRecordRetriever>>(source);
    auto facade = std::make_unique<BackupRecordRetriever>(*handle);
    EXPECT_CALL(*source, getTSInfo(_)).WillOnce(Return(8));
    EXPECT_CALL(*source, readTSData(_, 8)).WillOnce(Return(8));
    TSAVData frame;
    ASSERT_EQ(0, facade->read(&frame));

    // The caller's handle keeps the source alive; close() is never called.
    facade.reset();
    ::testing::Mock::VerifyAndClearExpectations(source);
    EXPECT_CALL(*source, destroyed());
    handle.reset();
}

TEST_F(RecordRetrieverTest, LocalSourceIsCreatedAndReleasedWithTheFacade) {
    {
        BackupRecordRetriever facade(true);
        // The source's handle and its file description's handle.
        EXPECT_EQ(m_liveRecords + 2, RefCountManager::getInstance()->liveCount());
        // A local source with no file open closes quietly.
        facade.close();
    }
    EXPECT_TRUE(m_log.empty());
}

}  // namespace
