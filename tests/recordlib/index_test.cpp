// The day index: entries survive a reload, and a torn or corrupt entry is
// detected, logged and skipped without disturbing its neighbours.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>

#include "RecordFileInfo.h"
#include "RecordTestSupport.h"
#include "store/RecordIndexFile.h"

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

// Every field of an entry, for comparing what was written with what loads.
std::string text(const RecordIndexEntry& e) {
    std::ostringstream o;
    o << e.fileName << " " << e.beginTime << "-" << e.endTime << " m" << e.recordMode << " l"
      << e.lockFlag << " s" << e.state << " " << e.stream.getEncoderType() << "/"
      << e.stream.getImageWidth() << "x" << e.stream.getImageHeight() << " " << e.fileSize << ":";
    for (const RecordIndexNode& n : e.nodes) {
        o << " " << n.getDataLen() << "/" << n.getTimeLen() << "@" << n.getTimeOffset()
          << (n.isIFrame() ? "I" : "");
    }
    return o.str();
}

std::string readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void writeBytes(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
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
    int appendNodes(const std::string& name, int run, const std::vector<RecordIndexNode>& nodes) {
        return RecordIndexFile::appendNodes(fs, path, name, run, nodes, false);
    }

    TempDir dir;
    FileSystem& fs = *posixFileSystem();
    std::string path = RecordIndexFile::pathOf(dir.path());
};

TEST_F(IndexTest, RoundTripKeepsEveryFieldAndReplaysAppends) {
    EXPECT_EQ(0xCBF43926u, RecordIndexFile::crc32("123456789", 9));  // the standard check value
    load(kRecordNotFound);
    RecordIndexEntry a = entry("a.ts", 1704067200000LL, 5, RecordFileInfo::kStateComplete);
    a.lockFlag = true;
    a.recordMode = 1;
    RecordIndexEntry b = entry("b.ts", 1704067260000LL, 0, RecordFileInfo::kStateRecording);
    ASSERT_EQ(kRecordOk, append(a));
    ASSERT_EQ(kRecordOk, append(b));
    // b grows by two runs of nodes.
    b.nodes = {RecordIndexNode(376, 480, 0, true), RecordIndexNode(188, 520, 480, false),
               RecordIndexNode(564, 500, 1000, false)};
    b.fileSize = 376 + 188 + 564;
    ASSERT_EQ(kRecordOk, appendNodes("b.ts", 0, {b.nodes[0]}));
    ASSERT_EQ(kRecordOk, appendNodes("b.ts", 1, {b.nodes[1], b.nodes[2]}));

    std::vector<RecordIndexEntry> got = load();
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ(text(a), text(got[0]));
    EXPECT_EQ(text(b), text(got[1]));

    // A removal drops the entry; a rewrite keeps exactly what it is given.
    ASSERT_EQ(kRecordOk, RecordIndexFile::appendRemove(fs, path, "a.ts", true));
    got = load();
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(text(b), text(got[0]));
    got.push_back(entry("c.ts", 1704067300000LL, 2, RecordFileInfo::kStateComplete));
    ASSERT_EQ(kRecordOk, RecordIndexFile::rewrite(fs, path, got));
    std::vector<RecordIndexEntry> again = load();
    ASSERT_EQ(2u, again.size());
    EXPECT_EQ(text(got[0]), text(again[0]));
    EXPECT_EQ(text(got[1]), text(again[1]));
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
}

TEST_F(IndexTest, FlippedByteOrTornTailSkipsOnlyThatEntryAndIsLogged) {
    const RecordIndexEntry a = entry("a.ts", 1000, 3, RecordFileInfo::kStateComplete);
    const RecordIndexEntry c = entry("c.ts", 3000, 3, RecordFileInfo::kStateComplete);
    ASSERT_EQ(kRecordOk, append(a));
    const size_t afterA = readBytes(path).size();
    ASSERT_EQ(kRecordOk, append(entry("b.ts", 2000, 3, RecordFileInfo::kStateComplete)));
    const std::string ab = readBytes(path);
    ASSERT_EQ(kRecordOk, append(c));
    const std::string abc = readBytes(path);

    // Every byte of b's entry in turn: b is never read back wrong, a and c
    // always survive.
    for (size_t at = afterA; at < ab.size(); ++at) {
        std::string bad = abc;
        bad[at] = static_cast<char>(bad[at] ^ 0x5a);
        writeBytes(path, bad);
        LogCatcher log("RecordIndex");
        std::vector<RecordIndexEntry> got = load();
        ASSERT_EQ(2u, got.size()) << "flipped byte " << at;
        EXPECT_EQ(text(a), text(got[0]));
        EXPECT_EQ(text(c), text(got[1]));
        EXPECT_FALSE(log.messages().empty()) << "flipped byte " << at;
    }
    // b cut short anywhere: only a is left, and the torn entry is logged.
    for (size_t cut = afterA + 1; cut < ab.size(); cut += 7) {
        writeBytes(path, ab.substr(0, cut));
        LogCatcher log("RecordIndex");
        std::vector<RecordIndexEntry> got = load();
        ASSERT_EQ(1u, got.size()) << "cut at " << cut;
        EXPECT_EQ(text(a), text(got[0]));
        EXPECT_TRUE(log.contains("torn entry")) << "cut at " << cut;
    }
    // An append after a torn tail is found again behind the garbage.
    ASSERT_EQ(kRecordOk, append(c));
    std::vector<RecordIndexEntry> got = load();
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ(text(c), text(got[1]));
}

TEST_F(IndexTest, LostNodeRunMarksTheFileDamaged) {
    ASSERT_EQ(kRecordOk, append(entry("a.ts", 1000, 0, RecordFileInfo::kStateRecording)));
    const RecordIndexNode one(188, 500, 0, true);
    ASSERT_EQ(kRecordOk, appendNodes("a.ts", 0, {one}));
    const size_t before = readBytes(path).size();
    ASSERT_EQ(kRecordOk, appendNodes("a.ts", 1, {one}));
    const size_t after = readBytes(path).size();
    ASSERT_EQ(kRecordOk, appendNodes("a.ts", 2, {one}));
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

// The summaries the process keeps of an index give what load() gives, nodes
// included, after every kind of change; an index that did not change is not
// opened again, one that grew is read only from where it was read last.
TEST_F(IndexTest, KeptSummariesFollowTheFileAndReadOnlyWhatChanged) {
    rectest::FaultFileSystem watched;
    auto summarised = [&]() {
        std::lock_guard<std::mutex> g(RecordIndexFile::lockFor(path));
        const std::vector<RecordIndexSummary>* files = nullptr;
        EXPECT_EQ(kRecordOk, RecordIndexFile::summaries(watched, path, files));
        std::vector<std::string> out;
        for (const RecordIndexSummary& f : *files) {
            RecordIndexEntry e;
            e.fileName = f.fileName;
            e.beginTime = f.beginTime;
            e.endTime = f.endTime;
            e.recordMode = f.recordMode;
            e.lockFlag = f.lockFlag;
            e.state = f.state;
            e.stream = f.stream;
            e.fileSize = f.fileSize;
            EXPECT_EQ(kRecordOk, RecordIndexFile::readNodes(watched, path, f, e.nodes));
            out.push_back(text(e));
        }
        return out;
    };
    auto loaded = [&]() {
        std::vector<std::string> out;
        for (const RecordIndexEntry& e : load()) out.push_back(text(e));
        return out;
    };
    const std::string one = "a.ts", two = "b.ts";
    struct Step {
        const char* what;
        std::function<void()> change;
        bool readsAgain;  // the index is opened to bring the summaries up to date
    };
    std::string saved;
    const Step steps[] = {
        {"first read", [&] { ASSERT_EQ(kRecordOk, append(entry(one, 1000, 3, 1))); }, true},
        {"unchanged", [] {}, false},
        {"a file being recorded and its nodes appended",
         [&] {
             ASSERT_EQ(kRecordOk, append(entry(two, 2000, 0, 0)));
             ASSERT_EQ(kRecordOk, appendNodes(two, 0, {RecordIndexNode(188, 500, 0, true)}));
             saved = readBytes(path);
         },
         true},
        {"a torn append at the end",
         [&] { writeBytes(path, saved + readBytes(path).substr(8, 20)); }, true},
        {"the torn append completed by a later one",
         [&] { ASSERT_EQ(kRecordOk, append(entry(two, 2000, 4, 1))); }, true},
        {"a removal",
         [&] { ASSERT_EQ(kRecordOk, RecordIndexFile::appendRemove(fs, path, one, true)); }, true},
        {"replaced by a rewrite",
         [&] { ASSERT_EQ(kRecordOk, RecordIndexFile::rewrite(fs, path, load())); }, true},
        {"replaced by an older copy", [&] { writeBytes(path, saved); }, true},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        step.change();
        watched.clearCalls();
        const std::vector<std::string> got = summarised();
        EXPECT_EQ(loaded(), got);
        size_t opens = 0;
        for (const std::string& call : watched.calls()) opens += call.rfind("open:", 0) == 0;
        // readNodes opens the index too, once per file with nodes.
        EXPECT_EQ(step.readsAgain, opens > got.size()) << opens << " opens";
    }
}

}  // namespace
