// Removing record files: the recycle bin, the index parser and the disk
// manager's delete, also while the recorder writes into the same index.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "BasicTool.h"
#include "DiskManagerFactory.h"
#include "LocalRecorder.h"
#include "RecordFileReader.h"
#include "RecordIndexFileParserEx.h"
#include "RecordRecycleBin.h"
#include "RecordTestSupport.h"
#include "RetrieverFileQuery.h"
#include "store/MoveLedger.h"
#include "store/RecordIndexFile.h"

namespace {

using rectest::packets;
using rectest::TempDir;

const long long kDay = 1704067200000LL;

RecordFileInfo recordFile(const RecordDirInfoEx& dir, long long begin, int nodes) {
    return rectest::recordFile(dir, "dev", "1.2.3.4", 1, begin, nodes);
}

std::vector<std::string> indexedNames(const RecordFileInfo& f) {
    std::vector<RecordIndexEntry> entries;
    const std::string path = RecordIndexFile::pathOf(fsutil::dirName(f.createRecordFileName()));
    std::lock_guard<std::mutex> g(RecordIndexFile::lockFor(path));
    EXPECT_EQ(kRecordOk, RecordIndexFile::load(*posixFileSystem(), path, entries));
    std::vector<std::string> names;
    for (const RecordIndexEntry& e : entries) names.push_back(e.fileName);
    return names;
}

class RecycleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(tmp.sub("disk"));
        disk = makeRecordDir(tmp.sub("disk") + "/", RecordDirInfoEx::kAttributeLocal);
    }
    // What the backup source does for a file that has been read.
    int removeLikeTheRetriever(const RecordFileInfo& f) {
        RecordRecycleBin bin(disk.getDiskType(), disk.getRecordRootDir() + "/record");
        bin.init(1, 0);
        int moved = bin.deleteFile(f.createRecordFileName(), f.getRecordFileName());
        if (moved == 0) return 0;
        RecordIndexFileParserEx parser;
        if (parser.open(
                disk, f.getRecordDate(),
                BasicTool::getDeviceDirString(f.getDeviceId(), f.getDeviceIP(), f.getCameraId()), 1,
                1) == 0) {
            return -1;
        }
        int removed = parser.deleteFile(f);
        EXPECT_EQ(kRecordOk, parser.close());
        return removed;
    }

    TempDir tmp;
    RecordDirInfoEx disk;
};

TEST_F(RecycleTest, RecycledFileIsMovedThenPurged) {
    RecordFileInfo a = recordFile(disk, kDay, 3);
    RecordFileInfo b = recordFile(disk, kDay + 10000, 3);
    const std::string recycle = tmp.sub("disk/record/.recycle");

    ASSERT_EQ(1, removeLikeTheRetriever(a));
    EXPECT_FALSE(std::filesystem::exists(a.createRecordFileName()));
    EXPECT_EQ(std::vector<std::string>{b.getRecordFileName()}, indexedNames(b));
    std::vector<std::string> inBin;
    for (const auto& e : std::filesystem::directory_iterator(recycle)) {
        inBin.push_back(e.path().filename().string());
    }
    ASSERT_EQ(1u, inBin.size());
    EXPECT_NE(std::string::npos, inBin[0].find("#dev_1.2.3.4_1#20240101#" + a.getRecordFileName()));
    EXPECT_EQ(3 * 188u, std::filesystem::file_size(recycle + "/" + inBin[0]));

    // A second removal of the same file finds nothing to move.
    EXPECT_EQ(0, removeLikeTheRetriever(a));
    // The bin serves only its own record folder, and never the bin itself.
    RecordRecycleBin bin(1, tmp.sub("disk/record"));
    ASSERT_EQ(kRecordOk, bin.init(1, 0));
    EXPECT_EQ(0, bin.deleteFile(tmp.sub("elsewhere/x.ts"), "x.ts"));
    EXPECT_EQ(0, bin.deleteFile(recycle + "/" + inBin[0], inBin[0]));

    EXPECT_EQ(0, bin.purge(3600));
    EXPECT_TRUE(std::filesystem::exists(recycle + "/" + inBin[0]));
    {
        // An area that cannot be listed is told and logged, not taken for empty.
        rectest::FaultFileSystem faults;
        rectest::FileSystemScope scope(&faults);
        rectest::LogCatcher log("RecordRecycleBin");
        faults.failAt("list", recycle, kRecordIOError);
        EXPECT_EQ(kRecordIOError, bin.purge(0));
        EXPECT_TRUE(log.contains(recycle + ": cannot be listed (I/O error)"));
    }
    EXPECT_EQ(1, bin.purge(0));
    EXPECT_TRUE(std::filesystem::is_empty(recycle));
}

TEST_F(RecycleTest, MissingRecordFolderIsNotCreatedAndDiskManagerDeletes) {
    RecordRecycleBin bin(1, tmp.sub("gone/record"));
    EXPECT_EQ(kRecordNotFound, bin.init(1, 0));
    EXPECT_FALSE(std::filesystem::exists(tmp.sub("gone")));
    EXPECT_EQ(0, bin.deleteFile(tmp.sub("gone/record/a/b/c.ts"), "c.ts"));

    RecordFileInfo a = recordFile(disk, kDay, 2);
    IDiskManager* m = DiskManagerFactory::getDiskManager(1, 1);
    ASSERT_NE(nullptr, m);
    // Only a record file of a configured root is ever removed.
    EXPECT_EQ(0, m->deleteRecordFile(a.createRecordFileName().c_str()));
    RecorderConfig config;
    config.recordDirs = {disk};
    rectest::ConfigScope configured(config);
    EXPECT_EQ(1, m->deleteRecordFile(a.createRecordFileName().c_str()));
    EXPECT_FALSE(std::filesystem::exists(a.createRecordFileName()));
    EXPECT_EQ(0, m->deleteRecordFile(a.createRecordFileName().c_str()));

    // No index for that day: the parser does not open.
    RecordIndexFileParserEx parser;
    EXPECT_EQ(0, parser.open(disk, "20991231", "dev_1.2.3.4_1", 1, 1));
}

// The recorder keeps appending to the day index while the backup removes
// older files of the same day through the parser; no entry and no node may
// be lost by either side.
TEST_F(RecycleTest, RemovalsAndRecordingShareOneDayIndex) {
    std::vector<RecordFileInfo> old;
    for (int i = 0; i < 20; ++i) old.push_back(recordFile(disk, kDay + i * 1000, 1));

    const int kNodes = 300;
    RecordFileInfo live;
    std::thread recorder([&] {
        LocalRecorder rec(disk, "dev", "1.2.3.4", 1);
        EXPECT_EQ(kRecordOk, rec.startFile(kDay + 100000, AVStreamInfo()));
        for (int i = 0; i < kNodes; ++i) {
            std::vector<char> d = packets(1, i);
            EXPECT_EQ(kRecordOk, rec.addNode(d.data(), 188, kDay + 100000 + i * 40, 40, true));
        }
        EXPECT_EQ(kRecordOk, rec.finishFile());
        live = rec.currentFile();
    });
    for (const RecordFileInfo& f : old) EXPECT_EQ(1, removeLikeTheRetriever(f));
    recorder.join();

    std::vector<RecordIndexEntry> entries;
    const std::string path = RecordIndexFile::pathOf(fsutil::dirName(live.createRecordFileName()));
    ASSERT_EQ(kRecordOk, RecordIndexFile::load(*posixFileSystem(), path, entries));
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ(live.getRecordFileName(), entries[0].fileName);
    EXPECT_EQ(RecordFileInfo::kStateComplete, entries[0].state);
    EXPECT_EQ(static_cast<size_t>(kNodes), entries[0].nodes.size());
}

// Two backup files of one camera open at once (a job still stopping while
// the camera's next job writes): a read source waits for both, since either
// may hold its frames; a loss of either keeps it.
TEST_F(RecycleTest, RemovalWaitsForEveryBackupFileOfTheCameraOpenWhenAsked) {
    enum Event { kDurable1, kDurable2, kClose2, kLose2 };
    struct Row {
        const char* name;
        Event first, second;
        bool goneAfterFirst, goneAfterSecond;
    };
    const Row rows[] = {
        {"second, then first durable", kDurable2, kDurable1, false, true},
        {"first durable, then second closed", kDurable1, kClose2, false, true},
        {"second lost", kLose2, kDurable1, false, false},
    };
    const unsigned long long writers[2] = {MoveLedger::newWriterId(), MoveLedger::newWriterId()};
    const std::string key = MoveLedger::cameraKey("dev", 1);
    MoveLedger& ledger = MoveLedger::instance();
    auto apply = [&](Event e) {
        if (e == kDurable1) ledger.writerDurable(writers[0]);
        if (e == kDurable2 || e == kClose2) ledger.writerDurable(writers[1]);
        if (e == kLose2) ledger.writerLost(writers[1]);
        if (e == kClose2) ledger.writerClosed(writers[1]);
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ledger.reset();
        const RecordFileInfo f = recordFile(disk, kDay, 2);
        const std::string path = f.createRecordFileName();
        (void)ledger.writerOpened(writers[0], key, tmp.sub("backup/one.ts"));
        (void)ledger.writerOpened(writers[1], key, tmp.sub("backup/two.ts"));
        EXPECT_EQ(1, removeLikeTheRetriever(f));
        EXPECT_TRUE(ledger.isPending(path));
        SafePointer<IFile> file;
        RecordFileIndexNodeInfo walk;
        EXPECT_EQ(kRecordOpenFailed, openRecordFileForRead(f, file, walk));  // it is leaving
        apply(row.first);
        EXPECT_EQ(row.goneAfterFirst, !std::filesystem::exists(path));
        apply(row.second);
        EXPECT_EQ(row.goneAfterSecond, !std::filesystem::exists(path));
        EXPECT_FALSE(ledger.isPending(path));
        const std::vector<std::string> names = indexedNames(f);
        EXPECT_EQ(row.goneAfterSecond ? 0 : 1,
                  std::count(names.begin(), names.end(), f.getRecordFileName()));
        std::filesystem::remove(path);
    }
    ledger.reset();
}

}  // namespace
