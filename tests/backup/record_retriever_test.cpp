// The retriever facade over a fake source: frame assembly from pieces, the
// growing payload buffer, and every TQRuntimeError turned into -739 with one
// log entry.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "BackupRecordRetriever.h"
#include "BackupTestSupport.h"
#include "RefCountManager.h"
#include "TQRuntimeError.h"

using namespace backup_test;
using ::testing::_;
using ::testing::InSequence;
using ::testing::Invoke;
using ::testing::Return;
using ::testing::StrictMock;
using ::testing::Throw;

namespace {

// Frame bytes that differ at every position, so a piece copied to the wrong
// offset is seen.
std::vector<char> pattern(int length, int seed) {
    std::vector<char> bytes(length);
    for (int i = 0; i < length; ++i) bytes[i] = static_cast<char>((i * 7 + seed) & 0xff);
    return bytes;
}

class RecordRetrieverTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_liveRecords = RefCountManager::getInstance()->liveCount();
        m_source = new StrictMock<MockSource>();
        EXPECT_CALL(*m_source, destroyed());
        m_facade =
            std::make_unique<BackupRecordRetriever>(SafePointer<IBackupRecordRetriever>(m_source));
    }
    void TearDown() override {
        m_facade.reset();
        EXPECT_EQ(m_liveRecords, RefCountManager::getInstance()->liveCount());
    }

    // Expects one frame: `bytes` handed out in pieces of at most `piece`, each
    // call asking for exactly the rest; the pieces' targets go to `targets`.
    void expectFrame(const std::vector<char>& bytes, int piece, std::vector<char*>* targets) {
        const int size = static_cast<int>(bytes.size());
        EXPECT_CALL(*m_source, getTSInfo(_)).WillOnce(Return(size));
        for (int at = 0; at < size; at += piece) {
            EXPECT_CALL(*m_source, readTSData(_, size - at))
                .WillOnce(Invoke([&bytes, at, piece, targets](char* buffer, int length) {
                    const int n = std::min(length, piece);
                    std::memcpy(buffer, bytes.data() + at, n);
                    if (targets) targets->push_back(buffer);
                    return n;
                }));
        }
    }
    void read(const std::vector<char>& expected, int bufferSize) {
        ASSERT_EQ(0, m_facade->read(&m_frame));
        EXPECT_EQ(bufferSize, m_facade->getBufferSize());
        ASSERT_EQ(static_cast<int>(expected.size()), m_frame.getDataLength());
        EXPECT_EQ(0, std::memcmp(expected.data(), m_frame.getData(), expected.size()));
    }

    LogCapture m_log;
    long m_liveRecords = 0;
    StrictMock<MockSource>* m_source = nullptr;  // owned by the facade's handle
    std::unique_ptr<BackupRecordRetriever> m_facade;
    TSAVData m_frame;
};

TEST_F(RecordRetrieverTest, FramesAreAssembledFromPiecesIntoABufferThatOnlyGrows) {
    const std::vector<char> f600 = pattern(600, 1), f300 = pattern(300, 2), f601 = pattern(601, 3);
    std::vector<char*> targets;
    {
        InSequence order;
        expectFrame(f600, 200, &targets);
        expectFrame(f300, 300, nullptr);
        expectFrame(f601, 601, nullptr);
    }
    EXPECT_EQ(0, m_facade->getBufferSize());
    read(f600, 600);
    ASSERT_EQ(3u, targets.size());
    EXPECT_EQ(targets[0] + 200, targets[1]);
    EXPECT_EQ(targets[0] + 400, targets[2]);
    read(f300, 600);
    read(f601, 601);
    EXPECT_TRUE(m_log.entries().empty());
}

TEST_F(RecordRetrieverTest, SourceCodesPassThroughAndAShortPayloadIsMinusOne) {
    const std::vector<char> previous = pattern(50, 5), next = pattern(100, 6);
    {
        InSequence order;
        EXPECT_CALL(*m_source, open(_)).WillOnce(Return(-735));
        // Codes and empty frames need no payload read (the mock is strict).
        EXPECT_CALL(*m_source, getTSInfo(_)).WillOnce(Return(-101));
        EXPECT_CALL(*m_source, getTSInfo(_)).WillOnce(Return(-728));
        // Running dry mid-frame, or a failing stream, is -1.
        EXPECT_CALL(*m_source, getTSInfo(_)).WillOnce(Return(600));
        EXPECT_CALL(*m_source, readTSData(_, 600)).WillOnce(Return(200));
        EXPECT_CALL(*m_source, readTSData(_, 400)).WillOnce(Return(0));
        EXPECT_CALL(*m_source, getTSInfo(_)).WillOnce(Return(600));
        EXPECT_CALL(*m_source, readTSData(_, 600)).WillOnce(Return(-702));
        expectFrame(next, 100, nullptr);  // still usable
        EXPECT_CALL(*m_source, getTSInfo(_)).WillOnce(Return(0));
        EXPECT_CALL(*m_source, close()).WillOnce(Return(-5));
    }
    EXPECT_EQ(-735, m_facade->open(RecordInfo()));
    // Failures leave the caller's payload alone.
    m_frame.setData(previous.data(), 50);
    EXPECT_EQ(-101, m_facade->read(&m_frame));
    EXPECT_EQ(-728, m_facade->read(&m_frame));
    EXPECT_EQ(-1, m_facade->read(&m_frame));
    EXPECT_EQ(-1, m_facade->read(&m_frame));
    ASSERT_EQ(50, m_frame.getDataLength());
    EXPECT_EQ(0, std::memcmp(previous.data(), m_frame.getData(), 50));
    read(next, 600);
    EXPECT_EQ(0, m_facade->read(&m_frame));
    EXPECT_EQ(0, m_frame.getDataLength());
    m_facade->close();
    EXPECT_TRUE(m_log.entries().empty());
}

TEST_F(RecordRetrieverTest, ErrorsThrownBySourceBecomeMinus739WithOneLogEntryEach) {
    {
        InSequence order;
        EXPECT_CALL(*m_source, open(_)).WillOnce(Throw(TQRuntimeError("open broke")));
        EXPECT_CALL(*m_source, getTSInfo(_)).WillOnce(Throw(TQRuntimeError("index broke")));
        EXPECT_CALL(*m_source, getTSInfo(_)).WillOnce(Return(300));
        EXPECT_CALL(*m_source, readTSData(_, 300)).WillOnce(Return(100));
        EXPECT_CALL(*m_source, readTSData(_, 200)).WillOnce(Throw(TQRuntimeError("data broke")));
        EXPECT_CALL(*m_source, close()).WillOnce(Throw(TQRuntimeError("close broke")));
    }
    EXPECT_EQ(-739, m_facade->open(RecordInfo()));
    EXPECT_EQ(-739, m_facade->read(&m_frame));
    EXPECT_EQ(-739, m_facade->read(&m_frame));
    EXPECT_EQ(0, m_frame.getDataLength());
    EXPECT_NO_THROW(m_facade->close());

    const std::vector<LogCapture::Entry> log = m_log.entries();
    ASSERT_EQ(4u, log.size());
    const char* messages[] = {"open broke", "index broke", "data broke", "close broke"};
    for (size_t i = 0; i < log.size(); ++i) {
        EXPECT_EQ("BackupIOError", log[i].category);
        EXPECT_EQ(messages[i], log[i].message);
        EXPECT_NE(std::string::npos, log[i].file.find("BackupRecordRetriever"));
    }
    // Each operation catches at a line of its own; read has one for both steps.
    EXPECT_NE(log[0].line, log[1].line);
    EXPECT_NE(log[1].line, log[3].line);
    EXPECT_EQ(log[1].line, log[2].line);
}

TEST(RecordRetrieverHandles, EmptySourceIsReportedAndLocalSourceAndCallersHandleAreReleased) {
    LogCapture log;
    const long live = RefCountManager::getInstance()->liveCount();
    {
        BackupRecordRetriever facade(false);
        TSAVData frame;
        const std::string report =
            "SafePointer Report:22IBackupRecordRetriever Use NULL pointer ->";
        EXPECT_EQ(report + "\n", printed([&] { EXPECT_EQ(-739, facade.open(RecordInfo())); }));
        EXPECT_EQ(report + "\n", printed([&] { EXPECT_EQ(-739, facade.read(&frame)); }));
        EXPECT_EQ(report + "\n", printed([&] { facade.close(); }));
        ASSERT_EQ(3u, log.entries().size());
        for (const LogCapture::Entry& entry : log.entries()) {
            EXPECT_EQ("BackupIOError", entry.category);
            EXPECT_EQ(report, entry.message);
        }
    }
    {
        // The source's handle and its file description's handle; a local
        // source with no file open closes quietly.
        BackupRecordRetriever facade(true);
        EXPECT_EQ(live + 2, RefCountManager::getInstance()->liveCount());
        facade.close();
    }
    EXPECT_EQ(3u, log.entries().size());
    EXPECT_EQ(live, RefCountManager::getInstance()->liveCount());

    // Destroying the facade releases the source without closing it (the mock
    // is strict); the caller's handle keeps it alive.
    auto* source = new StrictMock<MockSource>();
    auto handle = std::make_unique<SafePointer<IBackupRecordRetriever>>(source);
    auto facade = std::make_unique<BackupRecordRetriever>(*handle);
    facade.reset();
    ::testing::Mock::VerifyAndClearExpectations(source);
    EXPECT_CALL(*source, destroyed());
    handle.reset();
}

}  // namespace
