// Record files of 2 GiB and more, as a 32-bit recorder has them: sizes go
// through 64-bit types from the file system up to the query and the reader.
// The files are sparse (made by truncate), so they take no disk space.
#include <gtest/gtest.h>

#include <filesystem>

#include "RecordFileReader.h"
#include "RecordTestSupport.h"
#include "RetrieverFileQuery.h"
#include "store/FileSystem.h"
#include "store/RecordIndexFile.h"

namespace {

const long long kGiB = 1LL << 30;
const long long kDay = 1704067200000LL;  // 2024-01-01 00:00:00 UTC

// Makes `path` a sparse file of `size` bytes through the file-system seam.
int makeSparse(const std::string& path, long long size) {
    FileSystem& fs = *posixFileSystem();
    int fd = -1;
    int r = fs.open(path, FileSystem::kCreateTrunc, fd);
    if (r != kRecordOk) return r;
    r = fs.truncate(fd, size);
    fs.close(fd);
    return r;
}

TEST(LargeFileTest, SizesPast2GiBAreMadeStatedAndListedExactly) {
    rectest::TempDir tmp;
    const std::string path = tmp.sub("big.ts");
    for (long long size : {2 * kGiB - 1, 2 * kGiB, 2 * kGiB + 188, 4 * kGiB + 3 * 188, 5 * kGiB}) {
        SCOPED_TRACE(size);
        ASSERT_EQ(kRecordOk, makeSparse(path, size));
        FileStat st;
        ASSERT_EQ(kRecordOk, posixFileSystem()->stat(path, st));
        EXPECT_FALSE(st.isDir);
        EXPECT_EQ(size, st.size);
        EXPECT_EQ(static_cast<std::uintmax_t>(size), std::filesystem::file_size(path));
        std::vector<std::string> names;
        ASSERT_EQ(kRecordOk, posixFileSystem()->list(tmp.path(), names));
        EXPECT_EQ(std::vector<std::string>{"big.ts"}, names);
    }
}

// A 3 GiB record file: the index sums its nodes to that size, the query
// compares it with the data file's size, the reader opens it.
TEST(LargeFileTest, RecordFilePast2GiBIsTakenAtItsSize) {
    rectest::TempDir tmp;
    std::filesystem::create_directories(tmp.sub("disk"));
    const RecordDirInfoEx disk = makeRecordDir(tmp.sub("disk"), RecordDirInfoEx::kAttributeLocal);
    const std::string dayDir = tmp.sub("disk/record/dev_1.2.3.4_1/20240101");
    std::filesystem::create_directories(dayDir);
    const int half = static_cast<int>(3 * kGiB / 2);
    RecordIndexEntry entry;
    entry.fileName = std::to_string(kDay) + ".ts";
    entry.beginTime = kDay;
    entry.endTime = kDay + 1000;
    entry.state = RecordFileInfo::kStateComplete;
    entry.nodes = {RecordIndexNode(half, 500, 0, true), RecordIndexNode(half, 500, 500, false)};
    entry.fileSize = 3 * kGiB;
    const std::string index = RecordIndexFile::pathOf(dayDir);
    {
        std::lock_guard<std::mutex> guard(RecordIndexFile::lockFor(index));
        ASSERT_EQ(kRecordOk, RecordIndexFile::appendFile(*posixFileSystem(), index, entry, true));
    }

    struct Case {
        long long dataSize;
        bool taken;  // a data file shorter than its index is passed over
    };
    const Case cases[] = {
        {3 * kGiB, true}, {3 * kGiB + 188, true}, {3 * kGiB - 188, false}, {kGiB, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dataSize);
        ASSERT_EQ(kRecordOk, makeSparse(dayDir + "/" + entry.fileName, c.dataSize));
        RetrieverFileQuery q;
        q.setDeviceList({"dev_1.2.3.4_1"});
        q.setRecordDirInfo({disk});
        SafePointer<RecordFileInfo> found(new RecordFileInfo);
        EXPECT_EQ(c.taken ? 1 : 0, q.getRecordFileInfo(0, found, true));
        std::vector<RecordFileInfo> listed;
        ASSERT_EQ(1, q.listRecordFiles(listed, true));
        EXPECT_EQ(3 * kGiB, listed[0].getFileSize());

        SafePointer<IFile> file;
        RecordFileIndexNodeInfo walk;
        ASSERT_EQ(c.taken ? kRecordOk : kRecordOpenFailed,
                  openRecordFileForRead(listed[0], file, walk));
        if (!c.taken) continue;
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
