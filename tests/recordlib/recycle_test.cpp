// Removing record files: the recycle bin and the index parser, also while
// the recorder writes into the same index, and only once every backup file
// that may hold the frames is durable.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <thread>

#include "BasicTool.h"
#include "LocalRecorder.h"
#include "RecordFileReader.h"
#include "RecordIndexFileParserEx.h"
#include "RecordRecycleBin.h"
#include "RecordTestSupport.h"
#include "store/MoveLedger.h"
#include "store/RecordIndexFile.h"

namespace {

using rectest::packets;
using rectest::TempDir;

const long long kDay = 1704067200000LL;

RecordFileInfo recordFile(const RecordDirInfoEx& dir, long long begin, int nodes) {
    return rectest::recordFile(dir, "dev", "1.2.3.4", 1, begin, nodes);
}

// The entries of the day index of `f`.
std::vector<RecordIndexEntry> load(const RecordFileInfo& f) {
    std::vector<RecordIndexEntry> entries;
    const std::string path = RecordIndexFile::pathOf(fsutil::dirName(f.createRecordFileName()));
    std::lock_guard<std::mutex> g(RecordIndexFile::lockFor(path));
    EXPECT_EQ(kRecordOk, RecordIndexFile::load(*posixFileSystem(), path, entries));
    return entries;
}
// How often the day index of `f` names it.
long indexed(const RecordFileInfo& f) {
    const std::vector<RecordIndexEntry> entries = load(f);
    return std::count_if(entries.begin(), entries.end(), [&](const RecordIndexEntry& e) {
        return e.fileName == f.getRecordFileName();
    });
}

class RecycleTest : public ::testing::Test {
  protected:
    void SetUp() override { std::filesystem::create_directories(tmp.sub("disk")); }
    // What the backup source does for a file that has been read.
    int removeLikeTheRetriever(const RecordFileInfo& f) {
        RecordRecycleBin bin(disk.getDiskType(), disk.getRecordRootDir() + "/record");
        bin.init(1, 0);
        if (bin.deleteFile(f.createRecordFileName(), f.getRecordFileName()) == 0) return 0;
        RecordIndexFileParserEx parser;
        EXPECT_EQ(1, parser.open(disk, f.getRecordDate(),
                                 BasicTool::getDeviceDirString("dev", "1.2.3.4", 1), 1, 1));
        int removed = parser.deleteFile(f);
        EXPECT_EQ(kRecordOk, parser.close());
        return removed;
    }

    TempDir tmp;
    RecordDirInfoEx disk = makeRecordDir(tmp.sub("disk") + "/", RecordDirInfoEx::kAttributeLocal);
};

// A removed file leaves the day index and moves to the bin under a name
// that tells where it came from; a removal purges what outlived the
// retention (-1 keeps everything, 0 purges at once, the file moved by that
// very removal included). A bin area that cannot be listed is told and
// logged.
TEST_F(RecycleTest, RemovedFileMovesToTheBinAndIsPurgedAfterTheRetention) {
    const std::string recycle = tmp.sub("disk/record/.recycle");
    const std::pair<long long, size_t> rows[] = {{-1, 1}, {3600, 2}, {0, 0}};  // retention, left
    for (int i = 0; i < 3; ++i) {
        RecorderConfig config;
        config.recordDirs = {disk};
        config.recycleRetentionSeconds = rows[i].first;
        rectest::ConfigScope scope(config);
        const RecordFileInfo a = recordFile(disk, kDay + i * 10000, 3);
        // Moved to the bin two hours ago: the hour's retention purges it.
        if (i == 1)
            std::ofstream(recycle + "/" + std::to_string(std::time(nullptr) - 7200) + "#old");
        ASSERT_EQ(1, removeLikeTheRetriever(a));
        EXPECT_EQ(0, removeLikeTheRetriever(a));  // nothing left to move
        EXPECT_FALSE(std::filesystem::exists(a.createRecordFileName()));
        EXPECT_EQ(0, indexed(a));
        std::string inBin;  // the names in the bin, each followed by '|'
        for (const auto& e : std::filesystem::directory_iterator(recycle))
            inBin += e.path().filename().string() + "|";
        SCOPED_TRACE(inBin);
        EXPECT_EQ(rows[i].second, static_cast<size_t>(std::count(inBin.begin(), inBin.end(), '|')));
        EXPECT_EQ(rows[i].second != 0,
                  inBin.find("#dev_1.2.3.4_1#20240101#" + a.getRecordFileName() + "|") !=
                      std::string::npos);
    }
    RecordRecycleBin bin(1, tmp.sub("disk/record"));
    ASSERT_EQ(kRecordOk, bin.init(1, 0));
    rectest::FaultFileSystem faults;
    rectest::FileSystemScope scope(&faults);
    rectest::LogCapture log("RecordRecycleBin");
    faults.failAt("list", recycle, kRecordIOError);
    EXPECT_EQ(kRecordIOError, bin.purge(0));
    EXPECT_TRUE(log.contains(recycle + ": cannot be listed (I/O error)"));
}

// The recorder appends to the day index while the backup removes older files
// of the same day through the parser: no entry and no node may be lost.
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

    const std::vector<RecordIndexEntry> entries = load(live);
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ(RecordFileInfo::kStateComplete, entries[0].state);
    EXPECT_EQ(static_cast<size_t>(kNodes), entries[0].nodes.size());
}

// Two backup files of one camera open at once (a job still stopping while the
// camera's next job writes): a read source waits for both; a loss keeps it.
TEST_F(RecycleTest, RemovalWaitsForEveryBackupFileOfTheCameraOpenWhenAsked) {
    enum Event { kDurable1, kDurable2, kClose2, kLose2 };
    struct Row {
        const char* name;
        Event first, second;
        bool gone;  // after the second; never after the first
    };
    const Row rows[] = {
        {"second, then first durable", kDurable2, kDurable1, true},
        {"first durable, then second closed", kDurable1, kClose2, true},
        {"second lost", kLose2, kDurable1, false},
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
        EXPECT_TRUE(std::filesystem::exists(path));
        apply(row.second);
        EXPECT_EQ(row.gone, !std::filesystem::exists(path));
        EXPECT_FALSE(ledger.isPending(path));
        EXPECT_EQ(row.gone ? 0 : 1, indexed(f));
        std::filesystem::remove(path);
        // Both closed: a source read now waits for no backup file.
        ledger.writerClosed(writers[0]);
        ledger.writerClosed(writers[1]);
        const RecordFileInfo later = recordFile(disk, kDay + 5000, 2);
        EXPECT_EQ(1, removeLikeTheRetriever(later));
        EXPECT_FALSE(std::filesystem::exists(later.createRecordFileName()));
    }
    ledger.reset();
}

}  // namespace
