// The file query over record directories and days, the device folders of a
// device, and files past 2 GiB.
#include <gtest/gtest.h>

#include <algorithm>

#include "BasicTool.h"
#include "LocalRecorder.h"
#include "RecordFileReader.h"
#include "RecordTestSupport.h"
#include "RetrieverFileQuery.h"
#include "store/RecordIndexFile.h"

namespace {

using rectest::packets;
using rectest::TempDir;

const long long kDay1 = 1704067200000LL;  // 2024-01-01 00:00:00 UTC
const long long kDay2 = kDay1 + 86400000LL;

RecordFileInfo recordFile(const RecordDirInfoEx& dir, const std::string& ip, long long begin,
                          int nodes, int seed = 1) {
    return rectest::recordFile(dir, "dev_1", ip, 2, begin, nodes, 2, seed);
}

class QueryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(tmp.sub("disk1"));
        std::filesystem::create_directories(tmp.sub("disk2"));
        disk1 = makeRecordDir(tmp.sub("disk1"), RecordDirInfoEx::kAttributeLocal);
        disk2 = makeRecordDir(tmp.sub("disk2"), RecordDirInfoEx::kAttributeLocal);
    }

    // The begin times the query walks through from time 0, as the backup
    // walks: each next file is asked for with the end time of the last.
    std::vector<long long> walk(RetrieverFileQuery& q) {
        std::vector<long long> begins;
        long long t = 0;
        SafePointer<RecordFileInfo> f(new RecordFileInfo);
        while (q.getRecordFileInfo(t, f, true) != 0 && begins.size() < 20) {
            begins.push_back(f->getRecordBeginTime());
            t = f->getRecordEndTime();
        }
        return begins;
    }

    RetrieverFileQuery query(std::set<std::string> devices) {
        RetrieverFileQuery q;
        q.setDeviceList(devices);
        q.setRecordDirInfo({disk1, disk2});
        q.setIFrameFlag(false);
        return q;
    }

    TempDir tmp;
    RecordDirInfoEx disk1, disk2;
};

// The walk goes oldest first over both disks and days (the retriever's test
// reads such a range); here: the device's folders under another IP, where the
// file found lies, the end boundary, and the files the walk passes over: one
// being recorded, one not starting at a key frame, one whose data is gone.
TEST_F(QueryTest, WalkFindsTheNextCompleteFileAndPassesOverTheOthers) {
    LocalRecorder live(disk1, "dev_1", "10.0.0.1", 2);
    ASSERT_EQ(kRecordOk, live.startFile(kDay1, AVStreamInfo()));
    std::vector<char> d = packets(3, 7);
    ASSERT_EQ(kRecordOk, live.addNode(d.data(), static_cast<int>(d.size()), kDay1, 500, true));
    rectest::recordFile(disk1, "dev_1", "10.0.0.1", 2, kDay1 + 1000, 1, 1, 0, false);
    recordFile(disk2, "10:0:0:9", kDay1 + 90000, 4);
    const RecordFileInfo gone = recordFile(disk1, "10.0.0.1", kDay1 + 120000, 4);
    recordFile(disk1, "10.0.0.1", kDay2 + 1000, 4);

    std::vector<std::string> names;
    ASSERT_EQ(1, BasicTool::getMatchDeviceDirList(disk1, "record", "dev_1", "x", 2, names));
    ASSERT_EQ(1, BasicTool::getMatchDeviceDirList(disk2, "record", "dev_1", "x", 2, names));
    EXPECT_EQ((std::vector<std::string>{"dev_1_10.0.0.1_2", "dev_1_10-0-0-9_2"}), names);
    EXPECT_EQ(0, BasicTool::getMatchDeviceDirList(disk2, "record", "dev_1", "x", 3, names));
    EXPECT_EQ(0, BasicTool::getMatchDeviceDirList(disk2, "record", "dev", "x", 2, names));

    RetrieverFileQuery q = query({"dev_1_10.0.0.1_2", "dev_1_10-0-0-9_2"});
    q.setIFrameFlag(true);
    rectest::LogCatcher log("RecordQuery");
    std::filesystem::remove(gone.createRecordFileName());
    EXPECT_EQ((std::vector<long long>{kDay1 + 90000, kDay2 + 1000}), walk(q));
    EXPECT_TRUE(log.contains("listed but missing"));
    SafePointer<RecordFileInfo> f(new RecordFileInfo);
    ASSERT_EQ(1, q.getRecordFileInfo(kDay1 + 70000, f, true));
    EXPECT_EQ(disk2.getRecordRootDir() + "/record/dev_1_10-0-0-9_2/20240101/" +
                  std::to_string(kDay1 + 90000) + ".ts 2000 4",
              f->createRecordFileName() + " " +
                  std::to_string(f->getRecordEndTime() - f->getRecordBeginTime()) + " " +
                  std::to_string(f->getNodeCount()));
    // A file that ends exactly at the time asked is not "after" it.
    EXPECT_EQ(0, q.getRecordFileInfo(kDay2 + 3000, f, true));

    // Once finished, the file being recorded is the oldest.
    ASSERT_EQ(kRecordOk, live.finishFile());
    ASSERT_EQ(1, q.getRecordFileInfo(0, f, true));
    EXPECT_EQ(kDay1, f->getRecordBeginTime());
    EXPECT_EQ(RecordFileInfo::kStateComplete, f->getState());
}

// A record file of 3 GiB, as a 32-bit recorder has them (sparse, so it takes
// no disk space): the index sums its nodes to that size, the query compares
// it with the data file's size, the reader opens it.
TEST_F(QueryTest, RecordFilePast2GiBIsTakenAtItsSize) {
    const long long kGiB = 1LL << 30;
    const std::string dayDir = tmp.sub("disk1/record/dev_1_10.0.0.1_2/20240101");
    std::filesystem::create_directories(dayDir);
    const int half = static_cast<int>(3 * kGiB / 2);
    RecordIndexEntry entry;
    entry.fileName = std::to_string(kDay1) + ".ts";
    entry.beginTime = kDay1;
    entry.endTime = kDay1 + 1000;
    entry.state = RecordFileInfo::kStateComplete;
    entry.nodes = {RecordIndexNode(half, 500, 0, true), RecordIndexNode(half, 500, 500, false)};
    entry.fileSize = 3 * kGiB;
    const std::string index = RecordIndexFile::pathOf(dayDir);
    {
        std::lock_guard<std::mutex> guard(RecordIndexFile::lockFor(index));
        ASSERT_EQ(kRecordOk, RecordIndexFile::appendFile(*posixFileSystem(), index, entry, true));
    }
    // A data file shorter than its index is passed over.
    for (long long size : {3 * kGiB, 3 * kGiB + 188, 3 * kGiB - 188, kGiB}) {
        SCOPED_TRACE(size);
        const bool taken = size >= 3 * kGiB;
        FileSystem& fs = *posixFileSystem();
        int fd = -1;
        ASSERT_EQ(kRecordOk, fs.open(dayDir + "/" + entry.fileName, FileSystem::kCreateTrunc, fd));
        ASSERT_EQ(kRecordOk, fs.truncate(fd, size));
        fs.close(fd);
        FileStat st;
        ASSERT_EQ(kRecordOk, fs.stat(dayDir + "/" + entry.fileName, st));
        EXPECT_EQ(size, st.size);
        RetrieverFileQuery q = query({"dev_1_10.0.0.1_2"});
        SafePointer<RecordFileInfo> found(new RecordFileInfo);
        EXPECT_EQ(taken ? 1 : 0, q.getRecordFileInfo(0, found, true));
        std::vector<RecordFileInfo> listed;
        ASSERT_EQ(1, q.listRecordFiles(listed, true));
        EXPECT_EQ(3 * kGiB, listed[0].getFileSize());
        SafePointer<IFile> file;
        RecordFileIndexNodeInfo walk;
        ASSERT_EQ(taken ? kRecordOk : kRecordOpenFailed,
                  openRecordFileForRead(listed[0], file, walk));
        if (!taken) continue;
        ASSERT_TRUE(walk.seekNext());
        RecordIndexNode node;
        walk.getCurrentNodeInfo(node);
        EXPECT_EQ(half, node.getDataLen());
        char head[188];
        EXPECT_EQ(188, file->read(head, sizeof head));
        EXPECT_EQ(kRecordOk, file->close());
    }
}

}  // namespace
