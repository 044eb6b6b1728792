// Frames of real camera streams written through the backup record storage and
// the record library into a temporary backup disk, then read back: where the
// files start, which frames each holds, and each file's time line.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "BackupRecordStorage.h"
#include "BasicTool.h"
#include "IFile.h"
#include "RecordDiskManagerImpl.h"
#include "RecordFileReader.h"
#include "RecordInfo.h"
#include "RecorderConfig.h"
#include "RetrieverFileQuery.h"
#include "Singlton.h"
#include "TSAVData.h"
#include "TsStream.h"

namespace {

const unsigned int kVideoPid = 0x100;

long long readTimeStamp(const unsigned char* p) {
    return (static_cast<long long>(p[0] & 0x0E) << 29) | (p[1] << 22) | ((p[2] & 0xFE) << 14) |
           (p[3] << 7) | (p[4] >> 1);
}

// Decode time stamps of the video PES headers in `data`, in order.
std::vector<long long> videoDts(const std::vector<char>& data) {
    std::vector<long long> out;
    for (size_t off = 0; off + 188 <= data.size(); off += 188) {
        const unsigned char* p = reinterpret_cast<const unsigned char*>(&data[off]);
        unsigned int pid = ((p[1] & 0x1Fu) << 8) | p[2];
        if (p[0] != 0x47 || pid != kVideoPid || (p[1] & 0x40) == 0) continue;
        const unsigned char* pes = p + 4 + ((p[3] & 0x20) ? p[4] + 1 : 0);
        if (pes[0] != 0 || pes[1] != 0 || pes[2] != 1 || (pes[7] & 0x80) == 0) continue;
        out.push_back(readTimeStamp(pes + ((pes[7] & 0x40) ? 14 : 9)));
    }
    return out;
}

struct ReadBackFile {
    RecordFileInfo info;
    int width = 0;
    int height = 0;
    int encoderType = 0;
    std::vector<int> nodeLengths;
    std::vector<int> nodeOffsets;
    std::vector<bool> nodeKeys;
    std::vector<long long> dts;
};

class StorageRoundTripTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/storage_roundtrip_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_root = pattern;
        std::filesystem::create_directories(m_root + "/backup");
        m_config.backupDirs.push_back(
            makeRecordDir(m_root + "/backup", RecordDirInfoEx::kAttributeBackup, 0, 256LL << 20));
        m_config.backupReserveBytes = 0;
        destroyAllSingltonInstances();
        RecordDiskManagerImpl::setConfiguration(m_config);

        m_info.setDeviceId("cam-17");
        m_info.setDeviceIP("fe80::1");
        m_info.setCameraId(2);
    }

    void TearDown() override {
        destroyAllSingltonInstances();
        RecordDiskManagerImpl::setConfiguration(RecorderConfig());
        std::error_code ignored;
        std::filesystem::remove_all(m_root, ignored);
    }

    // Writes the next `count` nodes of `stream` as frames, one after the other
    // on the frame clock; each must be answered 0.
    void writeNodes(BackupRecordStorage& storage, SyntheticStream& stream, int count,
                    std::vector<TsNode>* written = nullptr) {
        for (int i = 0; i < count; ++i) {
            TsNode node;
            ASSERT_TRUE(stream.nextNode(node));
            m_frame.setData(reinterpret_cast<const char*>(node.data.data()),
                            static_cast<unsigned int>(node.data.size()));
            m_frame.setTimeStamp(m_clockMs);
            m_frame.setDataTimeLength(node.timeLenMs);
            m_frame.setFrameType(node.iFrame ? 1 : 2);
            m_frame.setESStreamType(1);
            m_frame.setImageWidth(node.width);
            m_frame.setImageHeight(node.height);
            m_frame.setEncoderType(node.encoderType);
            m_clockMs += node.timeLenMs;
            ASSERT_EQ(storage.write(0, &m_frame), 0) << "node " << i;
            if (written != nullptr) written->push_back(node);
        }
    }

    std::vector<ReadBackFile> readBack() {
        RetrieverFileQuery query;
        query.setDeviceList({BasicTool::getDeviceDirString("cam-17", "fe80::1", 2)});
        query.setRecordDirInfo(m_config.backupDirs);
        std::vector<RecordFileInfo> infos;
        query.listRecordFiles(infos, true);
        std::vector<ReadBackFile> files;
        for (const RecordFileInfo& info : infos) {
            ReadBackFile f;
            f.info = info;
            SafePointer<IFile> file;
            RecordFileIndexNodeInfo walk;
            EXPECT_EQ(openRecordFileForRead(info, file, walk), 0);
            if (file.isNull()) break;
            f.width = walk.getImageWidth();
            f.height = walk.getImageHeight();
            f.encoderType = walk.getEncodeType();
            std::vector<char> data;
            while (walk.seekNext()) {
                RecordIndexNode node;
                walk.getCurrentNodeInfo(node);
                f.nodeLengths.push_back(node.getDataLen());
                f.nodeOffsets.push_back(node.getTimeOffset());
                f.nodeKeys.push_back(node.isIFrame());
                std::vector<char> buffer(node.getDataLen());
                int got = 0;
                while (got < node.getDataLen()) {
                    int n = file->read(buffer.data() + got, node.getDataLen() - got);
                    if (n <= 0) break;
                    got += n;
                }
                EXPECT_EQ(got, node.getDataLen());
                data.insert(data.end(), buffer.begin(), buffer.begin() + got);
            }
            file->close();
            f.dts = videoDts(data);
            files.push_back(f);
        }
        return files;
    }

    std::string m_root;
    RecorderConfig m_config;
    RecordInfo m_info;
    TSAVData m_frame;
    long long m_clockMs = 1767225600000LL;  // 2026-01-01 00:00:00 UTC
};

SyntheticStreamOptions streamOptions(int encoderType, int width, int height, long long startDts) {
    SyntheticStreamOptions o;
    o.encoderType = encoderType;
    o.width = width;
    o.height = height;
    o.startDts90k = startDts;
    return o;
}

TEST_F(StorageRoundTripTest, FilesStartAtIFramesAndFormatChangesWithRebasedTimeLines) {
    ASSERT_TRUE(SyntheticStream::hasClip(1, 640, 360));
    ASSERT_TRUE(SyntheticStream::hasClip(1, 320, 180));
    ASSERT_TRUE(SyntheticStream::hasClip(2, 640, 360));
    SyntheticStream wide(streamOptions(1, 640, 360, 5000000));
    SyntheticStream small(streamOptions(1, 320, 180, 8589934000LL));  // wraps at 2^33
    SyntheticStream hevc(streamOptions(2, 640, 360, 123456));

    BackupRecordStorage storage;
    ASSERT_EQ(storage.open(m_info), 0);
    // Join the first stream mid-GOP: its key-frame node and the four that
    // follow it are skipped or dropped, so the first file starts at the next
    // key frame.
    TsNode skipped;
    ASSERT_TRUE(wide.nextNode(skipped));
    const long long droppedFrom = m_clockMs;
    std::vector<TsNode> dropped;
    writeNodes(storage, wide, 4, &dropped);
    for (const TsNode& n : dropped) ASSERT_FALSE(n.iFrame);
    const long long firstFileBegin = m_clockMs;
    std::vector<TsNode> nodes[4];
    writeNodes(storage, wide, 11, &nodes[0]);
    const long long secondFileBegin = m_clockMs;
    writeNodes(storage, small, 7, &nodes[1]);
    writeNodes(storage, hevc, 6, &nodes[2]);
    writeNodes(storage, wide, 5, &nodes[3]);  // resumes mid-GOP
    storage.close();
    EXPECT_FALSE(storage.isOpened());

    std::vector<ReadBackFile> files = readBack();
    ASSERT_EQ(files.size(), 4u);
    EXPECT_EQ(files[0].info.getRecordBeginTime(), firstFileBegin);
    EXPECT_GT(firstFileBegin, droppedFrom);
    EXPECT_EQ(files[1].info.getRecordBeginTime(), secondFileBegin);
    EXPECT_EQ(files[0].info.getDeviceIP(), "fe80--1");
    const int formats[4][3] = {{1, 640, 360}, {1, 320, 180}, {2, 640, 360}, {1, 640, 360}};
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE("file " + std::to_string(i));
        const ReadBackFile& f = files[i];
        EXPECT_EQ(f.encoderType, formats[i][0]);
        EXPECT_EQ(f.width, formats[i][1]);
        EXPECT_EQ(f.height, formats[i][2]);
        // Every frame of the format, in order, and nothing else.
        ASSERT_EQ(f.nodeLengths.size(), nodes[i].size());
        for (size_t k = 0; k < nodes[i].size(); ++k) {
            EXPECT_EQ(f.nodeLengths[k], static_cast<int>(nodes[i][k].data.size())) << k;
            EXPECT_EQ(f.nodeKeys[k], nodes[i][k].iFrame) << k;
        }
        // A format change starts the file at that frame, key frame or not.
        EXPECT_EQ(f.nodeKeys[0], i < 3);
        EXPECT_EQ(f.nodeOffsets[0], 0);
        // The time line starts at the writer's start (10 s) and runs on one
        // frame (3600 ticks at 25 fps) per video PES, whatever the source's
        // own time stamps were.
        ASSERT_FALSE(f.dts.empty());
        EXPECT_EQ(f.dts[0], 10 * 90000);
        for (size_t k = 1; k < f.dts.size(); ++k) {
            ASSERT_EQ(f.dts[k] - f.dts[k - 1], 3600) << "PES " << k;
        }
    }
}

TEST_F(StorageRoundTripTest, ReopenedStorageWaitsForAKeyFrameAgain) {
    // Nodes of a GOP: one key-frame node and four others.
    SyntheticStream wide(streamOptions(1, 640, 360, 900000));
    BackupRecordStorage storage;
    ASSERT_EQ(storage.open(m_info), 0);
    writeNodes(storage, wide, 6);  // nodes 0..5: one file
    storage.close();
    ASSERT_EQ(storage.open(m_info), 0);
    std::vector<TsNode> second;
    const long long resumedAt = m_clockMs;
    writeNodes(storage, wide, 6, &second);  // nodes 6..9 dropped, 10 and 11 kept
    storage.close();

    std::vector<ReadBackFile> files = readBack();
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0].nodeLengths.size(), 6u);
    ASSERT_EQ(files[1].nodeLengths.size(), 2u);
    EXPECT_EQ(files[1].nodeLengths[0], static_cast<int>(second[4].data.size()));
    EXPECT_GT(files[1].info.getRecordBeginTime(), resumedAt);
    EXPECT_EQ(files[1].dts[0], 10 * 90000);
}

}  // namespace
