// Frames of real camera streams written through the backup record storage into
// a temporary backup disk, then read back: where files start, which frames each
// holds, and each file's time line.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "BackupRecordStorage.h"
#include "BackupTestSupport.h"
#include "BasicTool.h"
#include "RecordDiskManagerImpl.h"
#include "Singlton.h"
#include "TsStream.h"
#include "config/RecorderConfig.h"
#include "store/BackupDisk.h"
#include "store/FileSystem.h"

using namespace backup_test;

namespace {

class StorageRoundTripTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(m_tmp.path + "/backup");
        std::string diskId;
        ASSERT_EQ(0, BackupDisk::prepare(*posixFileSystem(), m_tmp.path + "/backup", diskId));
        m_backup = {makeRecordDir(m_tmp.path + "/backup", RecordDirInfoEx::kAttributeBackup, 0,
                                  256LL << 20)};
        RecorderConfig config;
        config.backupDirs = m_backup;
        config.backupReserveBytes = 0;
        destroyAllSingltonInstances();
        RecordDiskManagerImpl::setConfiguration(config);
        ASSERT_EQ(0, m_storage->open(m_info));
    }
    void TearDown() override {
        destroyAllSingltonInstances();
        RecordDiskManagerImpl::setConfiguration(RecorderConfig());
    }

    // Writes the next `count` nodes of `stream` as frames, back to back on the
    // frame clock; each must be answered 0.
    std::vector<TsNode> write(SyntheticStream& stream, int count) {
        std::vector<TsNode> written;
        TSAVData frame;
        for (int i = 0; i < count; ++i) {
            TsNode node;
            EXPECT_TRUE(stream.nextNode(node));
            frame.setData(reinterpret_cast<const char*>(node.data.data()),
                          static_cast<unsigned int>(node.data.size()));
            frame.setTimeStamp(m_clockMs);
            frame.setDataTimeLength(node.timeLenMs);
            frame.setFrameType(node.iFrame ? 1 : 2);
            frame.setESStreamType(1);
            frame.setImageWidth(node.width);
            frame.setImageHeight(node.height);
            frame.setEncoderType(node.encoderType);
            m_clockMs += node.timeLenMs;
            EXPECT_EQ(0, m_storage->write(0, &frame)) << "node " << i;
            written.push_back(node);
        }
        return written;
    }
    std::vector<ReadFile> readBack() {
        return readRecordFiles(m_backup, {BasicTool::getDeviceDirString("cam-17", "fe80::1", 2)},
                               true);
    }
    static SyntheticStreamOptions options(int encoder, int width, int height, long long dts) {
        SyntheticStreamOptions o;
        o.encoderType = encoder;
        o.width = width;
        o.height = height;
        o.startDts90k = dts;
        return o;
    }

    TempDir m_tmp;
    std::vector<RecordDirInfoEx> m_backup;
    RecordInfo m_info = makeInfo("cam-17", 2, "fe80::1");
    std::unique_ptr<BackupRecordStorage> m_storage = std::make_unique<BackupRecordStorage>();
    long long m_clockMs = 1767225600000LL;  // 2026-01-01 00:00:00 UTC
};

TEST_F(StorageRoundTripTest, FilesStartAtIFramesAndFormatChangesWithRebasedTimeLines) {
    ASSERT_TRUE(SyntheticStream::hasClip(1, 640, 360));
    ASSERT_TRUE(SyntheticStream::hasClip(1, 320, 180));
    ASSERT_TRUE(SyntheticStream::hasClip(2, 640, 360));
    SyntheticStream wide(options(1, 640, 360, 5000000));
    SyntheticStream small(options(1, 320, 180, 8589934000LL));  // wraps at 2^33
    SyntheticStream hevc(options(2, 640, 360, 123456));

    // Join the first stream mid-GOP: the four frames after its key frame are
    // dropped, so the first file starts at the next key frame.
    TsNode skipped;
    ASSERT_TRUE(wide.nextNode(skipped));
    for (const TsNode& n : write(wide, 4)) ASSERT_FALSE(n.iFrame);
    const long long firstBegin = m_clockMs;
    std::vector<TsNode> nodes[4];
    nodes[0] = write(wide, 11);
    const long long secondBegin = m_clockMs;
    nodes[1] = write(small, 7);
    nodes[2] = write(hevc, 6);
    nodes[3] = write(wide, 5);  // resumes mid-GOP
    m_storage->close();
    EXPECT_FALSE(m_storage->isOpened());

    std::vector<ReadFile> files = readBack();
    ASSERT_EQ(files.size(), 4u);
    EXPECT_EQ(files[0].info.getRecordBeginTime(), firstBegin);
    EXPECT_EQ(files[1].info.getRecordBeginTime(), secondBegin);
    EXPECT_EQ(files[0].info.getDeviceIP(), "fe80--1");
    const int formats[4][3] = {{1, 640, 360}, {1, 320, 180}, {2, 640, 360}, {1, 640, 360}};
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE("file " + std::to_string(i));
        const ReadFile& f = files[i];
        EXPECT_EQ(f.encoder, formats[i][0]);
        EXPECT_EQ(f.width, formats[i][1]);
        EXPECT_EQ(f.height, formats[i][2]);
        // Every frame of the format, in order, and nothing else.
        ASSERT_EQ(f.nodes.size(), nodes[i].size());
        for (size_t k = 0; k < nodes[i].size(); ++k) {
            EXPECT_EQ(f.nodes[k].getDataLen(), static_cast<int>(nodes[i][k].data.size())) << k;
            EXPECT_EQ(f.nodes[k].isIFrame(), nodes[i][k].iFrame) << k;
        }
        // A format change starts the file at that frame, key frame or not.
        EXPECT_EQ(f.nodes[0].isIFrame(), i < 3);
        EXPECT_EQ(f.nodes[0].getTimeOffset(), 0);
        // The time line starts at the writer's start (10 s) and runs on one
        // frame (3600 ticks at 25 fps) per video PES, whatever the source's
        // own time stamps were.
        std::vector<long long> dts = videoDts(f.data.data(), f.data.size());
        ASSERT_FALSE(dts.empty());
        EXPECT_EQ(dts[0], 10 * 90000);
        for (size_t k = 1; k < dts.size(); ++k) ASSERT_EQ(dts[k] - dts[k - 1], 3600) << k;
    }
}

TEST_F(StorageRoundTripTest, ReopenedStorageWaitsForAKeyFrameAgain) {
    // A GOP here is one key-frame node and four others.
    SyntheticStream wide(options(1, 640, 360, 900000));
    write(wide, 6);  // nodes 0..5: one file
    m_storage->close();
    ASSERT_EQ(0, m_storage->open(m_info));
    const long long resumedAt = m_clockMs;
    std::vector<TsNode> second = write(wide, 6);  // nodes 6..9 dropped, 10 and 11 kept
    m_storage->close();

    std::vector<ReadFile> files = readBack();
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0].nodes.size(), 6u);
    ASSERT_EQ(files[1].nodes.size(), 2u);
    EXPECT_EQ(files[1].nodes[0].getDataLen(), static_cast<int>(second[4].data.size()));
    EXPECT_GT(files[1].info.getRecordBeginTime(), resumedAt);
    EXPECT_EQ(videoDts(files[1].data.data(), files[1].data.size())[0], 10 * 90000);
}

}  // namespace
