// The day index: entries survive a reload, and a torn or corrupt entry is
// detected, logged and skipped without disturbing its neighbours.
#include <gtest/gtest.h>

#include <fstream>
#include <mutex>

#include "RecordFileInfo.h"
#include "RecordIndexFile.h"
#include "RecordTestSupport.h"

namespace {

using rectest::LogCatcher;
using rectest::TempDir;

RecordIndexEntry entry(const std::string& name, long long begin, int nodes, int state) {
    RecordIndexEntry e;
    e.fileName = name;
    e.beginTime = begin;
    e.endTime = begin + nodes * 500;
    e.state = state;
    e.stream.setEncoderType(1);
    e.stream.setImageWidth(640);
    e.stream.setImageHeight(360);
    e.stream.setESStreamType(1);
    for (int i = 0; i < nodes; ++i) {
        e.nodes.emplace_back(188 * (i + 1), 500, i * 500 - 3, i % 4 == 0);
        e.fileSize += 188 * (i + 1);
    }
    return e;
}

std::string readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void writeBytes(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}

class IndexTest : public ::testing::Test {
  protected:
    std::vector<RecordIndexEntry> load(int expected = 0) {
        std::vector<RecordIndexEntry> out;
        EXPECT_EQ(expected, RecordIndexFile::load(fs, path, out));
        return out;
    }
    int append(const RecordIndexEntry& e) {
        std::lock_guard<std::mutex> g(RecordIndexFile::lockFor(path));
        return RecordIndexFile::appendFile(fs, path, e, true);
    }

    TempDir dir;
    FileSystem& fs = *posixFileSystem();
    std::string path = RecordIndexFile::pathOf(dir.path());
};

TEST_F(IndexTest, RoundTripKeepsEveryFieldAndReplaysAppends) {
    load(kRecordNotFound);
    RecordIndexEntry a = entry("a.ts", 1704067200000LL, 5, RecordFileInfo::kStateComplete);
    a.lockFlag = true;
    a.recordMode = 1;
    RecordIndexEntry b = entry("b.ts", 1704067260000LL, 0, RecordFileInfo::kStateRecording);
    ASSERT_EQ(kRecordOk, append(a));
    ASSERT_EQ(kRecordOk, append(b));
    // b grows by two runs of nodes, then is described again as complete.
    std::vector<RecordIndexNode> run1 = {RecordIndexNode(376, 480, 0, true)};
    std::vector<RecordIndexNode> run2 = {RecordIndexNode(188, 520, 480, false),
                                         RecordIndexNode(564, 500, 1000, false)};
    ASSERT_EQ(kRecordOk, RecordIndexFile::appendNodes(fs, path, "b.ts", 0, run1, false));
    ASSERT_EQ(kRecordOk, RecordIndexFile::appendNodes(fs, path, "b.ts", 1, run2, false));

    std::vector<RecordIndexEntry> got = load();
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ("a.ts", got[0].fileName);
    EXPECT_EQ(1704067200000LL, got[0].beginTime);
    EXPECT_EQ(a.endTime, got[0].endTime);
    EXPECT_TRUE(got[0].lockFlag);
    EXPECT_EQ(1, got[0].recordMode);
    EXPECT_EQ(RecordFileInfo::kStateComplete, got[0].state);
    EXPECT_EQ(640, got[0].stream.getImageWidth());
    EXPECT_EQ(360, got[0].stream.getImageHeight());
    EXPECT_EQ(a.fileSize, got[0].fileSize);
    ASSERT_EQ(5u, got[0].nodes.size());
    EXPECT_EQ(188 * 3, got[0].nodes[2].getDataLen());
    EXPECT_EQ(-3, got[0].nodes[0].getTimeOffset());
    EXPECT_TRUE(got[0].nodes[4].isIFrame());
    EXPECT_FALSE(got[0].nodes[3].isIFrame());

    EXPECT_EQ(RecordFileInfo::kStateRecording, got[1].state);
    ASSERT_EQ(3u, got[1].nodes.size());
    EXPECT_EQ(376 + 188 + 564, got[1].fileSize);
    EXPECT_EQ(1000, got[1].nodes[2].getTimeOffset());

    // A removal drops the entry; a rewrite keeps exactly what it is given.
    ASSERT_EQ(kRecordOk, RecordIndexFile::appendRemove(fs, path, "a.ts", true));
    got = load();
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ("b.ts", got[0].fileName);
    got.push_back(entry("c.ts", 1704067300000LL, 2, RecordFileInfo::kStateComplete));
    ASSERT_EQ(kRecordOk, RecordIndexFile::rewrite(fs, path, got));
    std::vector<RecordIndexEntry> again = load();
    ASSERT_EQ(2u, again.size());
    EXPECT_EQ(3u, again[0].nodes.size());
    EXPECT_EQ("c.ts", again[1].fileName);
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
}

TEST_F(IndexTest, FlippedByteSkipsOnlyThatEntryAndIsLogged) {
    ASSERT_EQ(kRecordOk, append(entry("a.ts", 1000, 3, RecordFileInfo::kStateComplete)));
    const size_t afterA = readBytes(path).size();
    ASSERT_EQ(kRecordOk, append(entry("b.ts", 2000, 3, RecordFileInfo::kStateComplete)));
    const size_t afterB = readBytes(path).size();
    ASSERT_EQ(kRecordOk, append(entry("c.ts", 3000, 3, RecordFileInfo::kStateComplete)));

    // Every byte of b's entry in turn: b is never read back wrong, a and c
    // always survive.
    const std::string original = readBytes(path);
    for (size_t at = afterA; at < afterB; ++at) {
        std::string bad = original;
        bad[at] = static_cast<char>(bad[at] ^ 0x5a);
        writeBytes(path, bad);
        LogCatcher log("RecordIndex");
        std::vector<RecordIndexEntry> got = load();
        ASSERT_EQ(2u, got.size()) << "flipped byte " << at;
        EXPECT_EQ("a.ts", got[0].fileName);
        EXPECT_EQ("c.ts", got[1].fileName);
        EXPECT_EQ(3u, got[1].nodes.size());
        EXPECT_FALSE(log.messages().empty()) << "flipped byte " << at;
    }
}

TEST_F(IndexTest, TruncatedTailIsSkippedAndLogged) {
    ASSERT_EQ(kRecordOk, append(entry("a.ts", 1000, 4, RecordFileInfo::kStateComplete)));
    const size_t afterA = readBytes(path).size();
    ASSERT_EQ(kRecordOk, append(entry("b.ts", 2000, 4, RecordFileInfo::kStateComplete)));
    const std::string original = readBytes(path);
    for (size_t cut = afterA + 1; cut < original.size(); cut += 7) {
        writeBytes(path, original.substr(0, cut));
        LogCatcher log("RecordIndex");
        std::vector<RecordIndexEntry> got = load();
        ASSERT_EQ(1u, got.size()) << "cut at " << cut;
        EXPECT_EQ("a.ts", got[0].fileName);
        EXPECT_TRUE(log.contains("torn entry")) << "cut at " << cut;
    }
    // An append after a torn tail is found again behind the garbage.
    writeBytes(path, original.substr(0, afterA + 20));
    ASSERT_EQ(kRecordOk, append(entry("c.ts", 3000, 2, RecordFileInfo::kStateComplete)));
    std::vector<RecordIndexEntry> got = load();
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ("c.ts", got[1].fileName);
}

TEST_F(IndexTest, LostNodeRunMarksTheFileDamaged) {
    ASSERT_EQ(kRecordOk, append(entry("a.ts", 1000, 0, RecordFileInfo::kStateRecording)));
    std::vector<RecordIndexNode> one = {RecordIndexNode(188, 500, 0, true)};
    ASSERT_EQ(kRecordOk, RecordIndexFile::appendNodes(fs, path, "a.ts", 0, one, false));
    const size_t before = readBytes(path).size();
    ASSERT_EQ(kRecordOk, RecordIndexFile::appendNodes(fs, path, "a.ts", 1, one, false));
    const size_t after = readBytes(path).size();
    ASSERT_EQ(kRecordOk, RecordIndexFile::appendNodes(fs, path, "a.ts", 2, one, false));
    std::string bad = readBytes(path);
    bad[(before + after) / 2] ^= 1;
    writeBytes(path, bad);

    LogCatcher log("RecordIndex");
    std::vector<RecordIndexEntry> got = load();
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(RecordFileInfo::kStateDamaged, got[0].state);
    EXPECT_TRUE(log.contains("node gap"));

    // The damage survives a rewrite.
    ASSERT_EQ(kRecordOk, RecordIndexFile::rewrite(fs, path, got));
    EXPECT_EQ(RecordFileInfo::kStateDamaged, load()[0].state);
}

TEST(IndexCrc, MatchesTheStandardCheckValue) {
    EXPECT_EQ(0xCBF43926u, RecordIndexFile::crc32("123456789", 9));
}

}  // namespace
