// The file query over record directories and days, reading files back, and
// the device folders of a device.
#include <gtest/gtest.h>

#include <algorithm>

#include "BasicTool.h"
#include "LocalRecorder.h"
#include "RecordFileReader.h"
#include "RecordTestSupport.h"
#include "RetrieverFileQuery.h"

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

TEST_F(QueryTest, OldestFirstAcrossTwoDirectoriesAndTwoDays) {
    // Interleaved over the two disks and two days, recorded out of order.
    recordFile(disk2, "10.0.0.1", kDay2 + 1000, 4);
    recordFile(disk1, "10.0.0.1", kDay1 + 60000, 4);
    recordFile(disk2, "10.0.0.1", kDay1 + 120000, 4);
    recordFile(disk1, "10.0.0.1", kDay2 + 500000, 4);
    recordFile(disk1, "10.0.0.1", kDay1 + 1000, 4);
    // The same device under another IP is still its device folder.
    recordFile(disk2, "10:0:0:9", kDay1 + 90000, 4);

    std::vector<std::string> names;
    ASSERT_EQ(2, BasicTool::getMatchDeviceDirList(disk2, "record", "dev_1", "x", 2, names));
    std::sort(names.begin(), names.end());
    EXPECT_EQ((std::vector<std::string>{"dev_1_10-0-0-9_2", "dev_1_10.0.0.1_2"}), names);
    names.clear();
    EXPECT_EQ(0, BasicTool::getMatchDeviceDirList(disk2, "record", "dev_1", "x", 3, names));
    EXPECT_EQ(0, BasicTool::getMatchDeviceDirList(disk2, "record", "dev", "x", 2, names));
    EXPECT_TRUE(names.empty());

    RetrieverFileQuery q = query({"dev_1_10.0.0.1_2", "dev_1_10-0-0-9_2"});
    EXPECT_EQ((std::vector<long long>{kDay1 + 1000, kDay1 + 60000, kDay1 + 90000, kDay1 + 120000,
                                      kDay2 + 1000, kDay2 + 500000}),
              walk(q));

    // The file found carries where it lies and what the index says of it.
    SafePointer<RecordFileInfo> f(new RecordFileInfo);
    ASSERT_EQ(1, q.getRecordFileInfo(kDay1 + 70000, f, true));
    EXPECT_EQ(disk2.getRecordRootDir() + "/record/dev_1_10-0-0-9_2/20240101/" +
                  std::to_string(kDay1 + 90000) + ".ts 2000 4",
              f->createRecordFileName() + " " +
                  std::to_string(f->getRecordEndTime() - f->getRecordBeginTime()) + " " +
                  std::to_string(f->getNodeCount()));
    EXPECT_TRUE(std::filesystem::exists(f->createRecordFileName()));

    // A file that ends exactly at the time asked is not "after" it.
    ASSERT_EQ(1, q.getRecordFileInfo(kDay1 + 3000, f, true));
    EXPECT_EQ(kDay1 + 60000, f->getRecordBeginTime());
    EXPECT_EQ(0, q.getRecordFileInfo(kDay2 + 502000, f, true));

    std::vector<RecordFileInfo> all;
    EXPECT_EQ(6, q.listRecordFiles(all, true));
    EXPECT_EQ(kDay1 + 1000, all.front().getRecordBeginTime());
    EXPECT_EQ(kDay2 + 500000, all.back().getRecordBeginTime());
}

TEST_F(QueryTest, FileBeingRecordedIsNeverGivenOut) {
    LocalRecorder live(disk1, "dev_1", "10.0.0.1", 2);
    AVStreamInfo s;
    ASSERT_EQ(kRecordOk, live.startFile(kDay1, s));
    std::vector<char> d = packets(3, 7);
    ASSERT_EQ(kRecordOk, live.addNode(d.data(), static_cast<int>(d.size()), kDay1, 500, true));
    recordFile(disk2, "10.0.0.1", kDay1 + 10000, 2);

    RetrieverFileQuery q = query({"dev_1_10.0.0.1_2"});
    SafePointer<RecordFileInfo> f(new RecordFileInfo);
    ASSERT_EQ(1, q.getRecordFileInfo(0, f, true));
    EXPECT_EQ(kDay1 + 10000, f->getRecordBeginTime());
    std::vector<RecordFileInfo> listed;
    EXPECT_EQ(2, q.listRecordFiles(listed, false));

    // Once finished, it is the oldest.
    ASSERT_EQ(kRecordOk, live.finishFile());
    ASSERT_EQ(1, q.getRecordFileInfo(0, f, true));
    EXPECT_EQ(kDay1, f->getRecordBeginTime());
    EXPECT_EQ(RecordFileInfo::kStateComplete, f->getState());
}

TEST_F(QueryTest, KeyFrameFlagAndMissingDataFileSkipFiles) {
    // A file whose first node is not a key frame.
    LocalRecorder rec(disk1, "dev_1", "10.0.0.1", 2);
    ASSERT_EQ(kRecordOk, rec.startFile(kDay1, AVStreamInfo()));
    std::vector<char> d = packets(1, 1);
    ASSERT_EQ(kRecordOk, rec.addNode(d.data(), 188, kDay1, 500, false));
    ASSERT_EQ(kRecordOk, rec.finishFile());
    RecordFileInfo gone = recordFile(disk1, "10.0.0.1", kDay1 + 5000, 2);
    recordFile(disk1, "10.0.0.1", kDay1 + 9000, 2);

    RetrieverFileQuery q = query({"dev_1_10.0.0.1_2"});
    q.setIFrameFlag(true);
    SafePointer<RecordFileInfo> f(new RecordFileInfo);
    ASSERT_EQ(1, q.getRecordFileInfo(0, f, true));
    EXPECT_EQ(kDay1 + 5000, f->getRecordBeginTime());

    rectest::LogCatcher log("RecordQuery");
    std::filesystem::remove(gone.createRecordFileName());
    ASSERT_EQ(1, q.getRecordFileInfo(0, f, true));
    EXPECT_EQ(kDay1 + 9000, f->getRecordBeginTime());
    EXPECT_TRUE(log.contains("listed but missing"));
}

// A folder or file that cannot be read is logged and told to the caller that
// can tell it (the device-folder match, the listing), and passed over by the
// walk so the other disks' files are not held back; one that is not there is
// simply empty. Never is a failed listing taken for an empty one in silence.
TEST_F(QueryTest, UnreadableFoldersAreLoggedAndToldNotTakenForEmpty) {
    recordFile(disk1, "10.0.0.1", kDay1 + 1000, 2);
    recordFile(disk2, "10.0.0.1", kDay1 + 60000, 2);
    const std::string device = "record/dev_1_10.0.0.1_2";
    const std::string file = device + "/20240101/" + std::to_string(kDay1 + 1000) + ".ts";
    const std::vector<long long> both{kDay1 + 1000, kDay1 + 60000}, second{kDay1 + 60000};
    struct Case {
        const char* op;
        std::string path;  // on disk1
        int code;
        int matched;      // device folders of disk1 found
        int matchResult;  // what getMatchDeviceDirList tells
        int listed;       // what listRecordFiles answers
        std::vector<long long> walk;
        const char* logged;  // "" for nothing logged
    };
    const Case cases[] = {
        {"list", "record", kRecordIOError, 0, kRecordIOError, 2, both, "cannot be listed (I/O"},
        {"list", "record", kRecordNotFound, 0, kRecordOk, 2, both, ""},
        {"stat", device, kRecordIOError, 0, kRecordIOError, 2, both, "cannot be examined (I/O"},
        {"list", device, kRecordIOError, 1, kRecordOk, kRecordIOError, second,
         "cannot be listed (I/O"},
        {"list", device, kRecordNotFound, 1, kRecordOk, 1, second, ""},
        {"stat", file, kRecordIOError, 1, kRecordOk, 2, second, "cannot be examined (I/O"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.op) + " " + c.path + " " + resultToString(c.code));
        rectest::FaultFileSystem faults;
        rectest::FileSystemScope scope(&faults);
        faults.failAt(c.op, tmp.sub("disk1/" + c.path), c.code);
        rectest::LogCatcher log("RecordQuery");

        std::vector<std::string> names;
        int result = 1;
        EXPECT_EQ(c.matched, BasicTool::getMatchDeviceDirList(disk1, "record", "dev_1", "", 2,
                                                              names, &result));
        EXPECT_EQ(c.matchResult, result);
        RetrieverFileQuery q = query({"dev_1_10.0.0.1_2"});
        std::vector<RecordFileInfo> listed;
        EXPECT_EQ(c.listed, q.listRecordFiles(listed, true));
        EXPECT_EQ(c.listed < 0 ? 1u : static_cast<size_t>(c.listed), listed.size());
        EXPECT_EQ(c.walk, walk(q));
        if (*c.logged == '\0') {
            EXPECT_TRUE(log.messages().empty()) << log.messages().front();
        } else {
            EXPECT_TRUE(log.contains(c.logged));
        }
    }
}

TEST_F(QueryTest, ReadBackGivesTheRecordedBytesNodeByNode) {
    RecordFileInfo rec = recordFile(disk1, "10.0.0.1", kDay1 + 1000, 5, 42);
    SafePointer<IFile> file;
    RecordFileIndexNodeInfo walk;
    ASSERT_EQ(kRecordOk, openRecordFileForRead(rec, file, walk));
    EXPECT_EQ(kDay1 + 1000, walk.getFileBeginTime());
    EXPECT_EQ(640, walk.getImageWidth());
    EXPECT_EQ(360, walk.getImageHeight());
    EXPECT_EQ(1, walk.getEncodeType());
    int n = 0;
    while (walk.seekNext()) {
        RecordIndexNode node;
        walk.getCurrentNodeInfo(node);
        std::vector<char> expected = packets(2, 42 * 100 + n);
        ASSERT_EQ(static_cast<int>(expected.size()), node.getDataLen());
        EXPECT_EQ(n * 500, node.getTimeOffset());
        EXPECT_EQ(n == 0, node.isIFrame());
        std::vector<char> got(node.getDataLen());
        ASSERT_EQ(node.getDataLen(), file->read(got.data(), node.getDataLen()));
        EXPECT_EQ(expected, got) << "node " << n;
        ++n;
    }
    EXPECT_EQ(5, n);
    char extra;
    EXPECT_EQ(0, file->read(&extra, 1));
    EXPECT_EQ(kRecordOk, file->close());
    EXPECT_EQ(kRecordOk, file->close());
    EXPECT_EQ(kRecordNoStream, file->read(&extra, 1));

    // A data file cut shorter than its index is refused, never misread.
    file.dec_reference();  // read to its end, it held the file until now
    std::filesystem::resize_file(rec.createRecordFileName(), 188 * 9);
    SafePointer<IFile> other;
    EXPECT_EQ(kRecordOpenFailed, openRecordFileForRead(rec, other, walk));
    EXPECT_TRUE(other.isNull());
    RecordFileInfo unknown = rec;
    unknown.setRecordFileName("nothere.ts");
    EXPECT_EQ(kRecordOpenFailed, openRecordFileForRead(unknown, other, walk));
}

// One reader at a time per record file. A second reader is refused while the
// first holds the file: until its stream is closed before the end of the
// data, or, once read to the end (about to be deleted), until the stream is
// destroyed.
TEST_F(QueryTest, OneReaderAtATimePerRecordFile) {
    enum Then { kNothing, kCloseMidway, kReadAllAndClose, kReadAllCloseAndDrop, kDrop };
    struct Row {
        const char* name;
        Then then;  // what the first reader does before the second one opens
        int second;
    };
    const Row rows[] = {
        {"open", kNothing, kRecordOpenFailed},
        {"closed midway", kCloseMidway, kRecordOk},
        {"read to the end and closed", kReadAllAndClose, kRecordOpenFailed},
        {"read to the end, closed and dropped", kReadAllCloseAndDrop, kRecordOk},
        {"dropped unclosed", kDrop, kRecordOk},
    };
    const RecordFileInfo rec = recordFile(disk1, "10.0.0.1", kDay1 + 1000, 3);
    const RecordFileInfo neighbour = recordFile(disk1, "10.0.0.1", kDay1 + 9000, 3);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        rectest::LogCatcher log("RecordRead");
        SafePointer<IFile> first, second, beside;
        RecordFileIndexNodeInfo walk;
        ASSERT_EQ(kRecordOk, openRecordFileForRead(rec, first, walk));
        EXPECT_TRUE(isRecordFileBeingRead(rec.createRecordFileName()));
        std::vector<char> data(188 * 2 * 3);
        const int want = row.then == kCloseMidway ? 188 : static_cast<int>(data.size());
        if (row.then != kNothing && row.then != kDrop) {
            ASSERT_EQ(want, first->read(data.data(), want));
            EXPECT_EQ(kRecordOk, first->close());
        }
        if (row.then == kReadAllCloseAndDrop || row.then == kDrop) first.dec_reference();
        EXPECT_EQ(row.second, openRecordFileForRead(rec, second, walk));
        EXPECT_EQ(row.second != kRecordOk, log.contains("being read by another reader"));
        EXPECT_EQ(kRecordOk, openRecordFileForRead(neighbour, beside, walk));  // others are free
    }
    EXPECT_FALSE(isRecordFileBeingRead(rec.createRecordFileName()));
    EXPECT_FALSE(isRecordFileBeingRead(neighbour.createRecordFileName()));
}

}  // namespace
