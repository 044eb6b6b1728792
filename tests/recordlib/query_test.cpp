// The day index and the file query over it: entries survive every kind of
// change, damage is logged and hurts no neighbour, and the walk over folders
// and days finds the next complete file.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "BasicTool.h"
#include "LocalRecorder.h"
#include "RecordFileInfo.h"
#include "RecordFileReader.h"
#include "RecordTestSupport.h"
#include "RetrieverFileQuery.h"
#include "store/RecordIndexFile.h"

namespace {

using rectest::LogCapture;
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
    rectest::LogCapture log("RecordQuery");
    std::filesystem::remove(gone.createRecordFileName());
    EXPECT_EQ((std::vector<long long>{kDay1 + 90000, kDay2 + 1000}), walk(q));
    EXPECT_TRUE(log.contains("listed but missing"));
    SafePointer<RecordFileInfo> f(new RecordFileInfo);
    ASSERT_EQ(1, q.getRecordFileInfo(kDay1 + 70000, f, true));
    EXPECT_EQ(disk2.getRecordRootDir() + "/record/dev_1_10-0-0-9_2/20240101/" +
                  std::to_string(kDay1 + 90000) + ".ts",
              f->createRecordFileName());
    // A file that ends exactly at the time asked is not "after" it.
    EXPECT_EQ(0, q.getRecordFileInfo(kDay2 + 3000, f, true));

    // Once finished, the file being recorded is the oldest.
    ASSERT_EQ(kRecordOk, live.finishFile());
    ASSERT_EQ(1, q.getRecordFileInfo(0, f, true));
    EXPECT_EQ(kDay1, f->getRecordBeginTime());
}

RecordIndexEntry entry(const std::string& name, long long begin, int nodes, int state) {
    RecordIndexEntry e;
    e.fileName = name;
    e.beginTime = begin;
    e.endTime = begin + nodes * 500;
    e.state = state;
    e.stream.setEncoderType(1), e.stream.setImageWidth(640);
    for (int i = 0; i < nodes; ++i) {
        e.nodes.emplace_back(188 * (i + 1), 500, i * 500 - 3, i % 4 == 0);
        e.fileSize += 188 * (i + 1);
    }
    return e;
}

// Every field of an entry, for comparing what was written with what loads.
std::string text(const RecordIndexEntry& e) {
    std::ostringstream o;
    o << e.fileName << " " << e.beginTime << "-" << e.endTime << " m" << e.recordMode << " l"
      << e.lockFlag << " s" << e.state << " " << e.stream.getEncoderType() << "/"
      << e.stream.getImageWidth() << " " << e.fileSize << ":";
    for (const RecordIndexNode& n : e.nodes) {
        o << " " << n.getDataLen() << "/" << n.getTimeLen() << "@" << n.getTimeOffset()
          << (n.isIFrame() ? "I" : "");
    }
    return o.str();
}

// A (sparse) record file past 2 GiB goes through 64-bit sizes on a 32-bit
// board too; a data file shorter than its index is passed over.
TEST_F(QueryTest, RecordFilePast2GiBIsTakenAtItsSize) {
    const long long size = 3LL << 30;
    const std::string day = tmp.sub("disk1/record/dev_1_10-0-0-1_2/20240101");
    std::filesystem::create_directories(day);
    RecordIndexEntry e =
        entry(std::to_string(kDay1) + ".ts", kDay1, 2, RecordFileInfo::kStateComplete);
    for (RecordIndexNode& n : e.nodes)
        n = RecordIndexNode(static_cast<int>(size / 2), 500, 0, true);
    e.fileSize = size;
    const std::string index = RecordIndexFile::pathOf(day);
    {
        std::lock_guard<std::mutex> guard(RecordIndexFile::lockFor(index));
        ASSERT_EQ(kRecordOk, RecordIndexFile::appendFile(*posixFileSystem(), index, e, true));
    }
    for (long long dataSize : {size, size + 188, size - 188}) {
        SCOPED_TRACE(dataSize);
        std::ofstream(day + "/" + e.fileName, std::ios::trunc).close();
        std::filesystem::resize_file(day + "/" + e.fileName, dataSize);
        RetrieverFileQuery q = query({"dev_1_10-0-0-1_2"});
        SafePointer<RecordFileInfo> found(new RecordFileInfo);
        const bool taken = dataSize >= size;
        ASSERT_EQ(taken ? 1 : 0, q.getRecordFileInfo(0, found, true));
        if (!taken) continue;
        EXPECT_EQ(size, found->getFileSize());
        SafePointer<IFile> file;
        RecordFileIndexNodeInfo walk;
        ASSERT_EQ(kRecordOk, openRecordFileForRead(*found, file, walk));
        RecordIndexNode node;
        ASSERT_TRUE(walk.seekNext());
        walk.getCurrentNodeInfo(node);
        EXPECT_EQ(size / 2, node.getDataLen());
    }
}

class IndexTest : public ::testing::Test {
  protected:
    std::vector<std::string> load(int expected = 0) {
        std::vector<RecordIndexEntry> got;
        EXPECT_EQ(expected, RecordIndexFile::load(fs, path, got));
        std::vector<std::string> out;
        for (const RecordIndexEntry& e : got) out.push_back(text(e));
        return out;
    }
    void append(const RecordIndexEntry& e) {
        std::lock_guard<std::mutex> g(RecordIndexFile::lockFor(path));
        ASSERT_EQ(kRecordOk, RecordIndexFile::appendFile(fs, path, e, true));
    }
    void appendNodes(const std::string& name, int run, const std::vector<RecordIndexNode>& n) {
        ASSERT_EQ(kRecordOk, RecordIndexFile::appendNodes(fs, path, name, run, n, false));
    }
    std::string bytes() {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    void setBytes(const std::string& data) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
    }

    TempDir dir;
    FileSystem& fs = *posixFileSystem();
    std::string path = RecordIndexFile::pathOf(dir.path());
};

TEST_F(IndexTest, EveryChangeLoadsBackWithEveryField) {
    EXPECT_EQ(0xCBF43926u, RecordIndexFile::crc32("123456789", 9));  // the standard check value
    load(kRecordNotFound);
    RecordIndexEntry a = entry("a.ts", 1704067200000LL, 5, RecordFileInfo::kStateComplete);
    a.lockFlag = true;
    a.recordMode = 1;
    RecordIndexEntry b = entry("b.ts", 1704067260000LL, 0, RecordFileInfo::kStateRecording);
    append(a);
    append(b);
    // b grows by two runs of nodes.
    b.nodes = {RecordIndexNode(376, 480, 0, true), RecordIndexNode(188, 520, 480, false),
               RecordIndexNode(564, 500, 1000, false)};
    b.fileSize = 376 + 188 + 564;
    appendNodes("b.ts", 0, {b.nodes[0]});
    appendNodes("b.ts", 1, {b.nodes[1], b.nodes[2]});
    EXPECT_EQ((std::vector<std::string>{text(a), text(b)}), load());
    // A removal drops the entry; a rewrite keeps exactly what it is given.
    ASSERT_EQ(kRecordOk, RecordIndexFile::appendRemove(fs, path, "a.ts", true));
    EXPECT_EQ(std::vector<std::string>{text(b)}, load());
    const RecordIndexEntry c = entry("c.ts", 1704067300000LL, 2, RecordFileInfo::kStateComplete);
    ASSERT_EQ(kRecordOk, RecordIndexFile::rewrite(fs, path, {b, c}));
    EXPECT_EQ((std::vector<std::string>{text(b), text(c)}), load());
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
    // Read at once past the reader's kept buffer (1 MiB), ending in an entry
    // still being written: the summaries hold all files but that one.
    append(entry("big.ts", 1704067400000LL, 100000, RecordFileInfo::kStateComplete));
    append(entry("d.ts", 1704067500000LL, 1, RecordFileInfo::kStateRecording));
    setBytes(bytes().substr(0, bytes().size() - 5));
    RecordIndexFile::forgetSummaries();
    std::lock_guard<std::mutex> g(RecordIndexFile::lockFor(path));
    const std::vector<RecordIndexSummary>* files = nullptr;
    ASSERT_EQ(kRecordOk, RecordIndexFile::summaries(fs, path, files));
    ASSERT_EQ(3u, files->size());
    EXPECT_EQ(100000, files->back().nodeCount);
}

TEST_F(IndexTest, DamageSkipsOrMarksOnlyTheEntryItHitsAndIsLogged) {
    const RecordIndexEntry a = entry("a.ts", 1000, 3, RecordFileInfo::kStateComplete);
    const RecordIndexEntry c = entry("c.ts", 3000, 3, RecordFileInfo::kStateComplete);
    append(a);
    const size_t afterA = bytes().size();
    append(entry("b.ts", 2000, 3, RecordFileInfo::kStateComplete));
    const std::string ab = bytes();
    append(c);
    const std::string abc = bytes();
    // Every byte of b's entry flipped in turn, or b cut short anywhere: b is
    // never read back wrong, its neighbours always survive.
    const std::vector<std::string> left = {text(a), text(c)};  // c lost when b is cut
    for (size_t at = afterA; at < ab.size(); ++at) {
        for (const bool cut : {false, true}) {
            if (cut && at + 1 == ab.size()) continue;
            std::string bad = cut ? ab.substr(0, at + 1) : abc;
            if (!cut) bad[at] = static_cast<char>(bad[at] ^ 0x5a);
            setBytes(bad);
            LogCapture log("RecordIndex");
            EXPECT_EQ(std::vector<std::string>(left.begin(), left.end() - cut), load())
                << (cut ? "cut at " : "flipped ") << at;
            EXPECT_TRUE(log.contains(cut ? "torn entry" : "")) << at;
        }
    }
    // An append after a torn tail is found again behind the garbage.
    setBytes(ab.substr(0, ab.size() - 5));
    append(c);
    EXPECT_EQ((std::vector<std::string>{text(a), text(c)}), load());

    // A lost run of nodes marks its file damaged, also after a rewrite.
    append(entry("d.ts", 4000, 0, RecordFileInfo::kStateRecording));
    const RecordIndexNode one(188, 500, 0, true);
    appendNodes("d.ts", 0, {one});
    const size_t before = bytes().size();
    appendNodes("d.ts", 1, {one});
    const size_t after = bytes().size();
    appendNodes("d.ts", 2, {one});
    std::string bad = bytes();
    bad[(before + after) / 2] ^= 1;
    setBytes(bad);
    LogCapture log("RecordIndex");
    std::vector<RecordIndexEntry> got;
    ASSERT_EQ(kRecordOk, RecordIndexFile::load(fs, path, got));
    ASSERT_EQ(3u, got.size());
    EXPECT_EQ(RecordFileInfo::kStateDamaged, got[2].state);
    EXPECT_TRUE(log.contains("node gap"));
    ASSERT_EQ(kRecordOk, RecordIndexFile::rewrite(fs, path, got));
    EXPECT_EQ(text(got[2]), load()[2]);
}

}  // namespace
