// The power-cut file system keeps exactly what was made durable: file content
// by fsync, folder entries by syncDir.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <thread>

#include "PowerCutFileSystem.h"
#include "RecordTestSupport.h"

namespace rectest {
namespace {

// The tree below `root`: "dir/" for folders and "file=content" for files,
// sorted, separated by spaces.
std::string tree(const std::string& root) {
    std::set<std::string> items;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
        std::string rel = std::filesystem::relative(e.path(), root).string();
        if (e.is_directory()) {
            items.insert(rel + "/");
        } else {
            std::ifstream in(e.path(), std::ios::binary);
            items.insert(rel + "=" + std::string(std::istreambuf_iterator<char>(in), {}));
        }
    }
    std::string out;
    for (const std::string& item : items) out += (out.empty() ? "" : " ") + item;
    return out;
}

// Runs a script of steps separated by ';' on `fs`, paths relative to `root`:
//   append P T   opens P to append (created if missing), writes T, closes
//   put P T      the same with an fsync before the close
//   fsync P      opens P to append, fsyncs, closes
//   trunc P N    opens P to append, cuts it to N bytes, closes
//   mv A B | rm P | mkdir P | sync D ("." is the root)
void runScript(FileSystem& fs, const std::string& root, const std::string& script) {
    std::stringstream steps(script);
    std::string step;
    while (std::getline(steps, step, ';')) {
        std::stringstream words(step);
        std::string op, a, b;
        words >> op >> a >> b;
        if (op.empty()) continue;
        SCOPED_TRACE(step);
        const std::string pa = a == "." ? root : root + "/" + a;
        if (op == "mv") {
            ASSERT_EQ(kRecordOk, fs.rename(pa, root + "/" + b));
        } else if (op == "rm") {
            ASSERT_EQ(kRecordOk, fs.unlink(pa));
        } else if (op == "mkdir") {
            ASSERT_EQ(kRecordOk, fs.mkdir(pa));
        } else if (op == "sync") {
            ASSERT_EQ(kRecordOk, fs.syncDir(pa));
        } else {
            int fd = -1;
            ASSERT_EQ(kRecordOk, fs.open(pa, FileSystem::kAppend, fd));
            int r = kRecordOk;
            if (op == "append" || op == "put") r = fsutil::writeAll(fs, fd, b);
            if (r == kRecordOk && (op == "put" || op == "fsync")) r = fs.fsync(fd);
            if (op == "trunc") r = fs.truncate(fd, std::stoll(b));
            EXPECT_EQ(kRecordOk, r);
            fs.close(fd);
        }
    }
}

struct CutCase {
    const char* what;
    const char* before;  // done and taken as durable before arm()
    const char* ops;     // done while armed
    const char* after;   // the tree after cut()
};

const CutCase kCutCases[] = {
    {"fsync keeps what was written before it", "put f old; sync .",
     "append f A; fsync f; append f B", "f=oldA"},
    {"content at arm stays when never fsynced", "append f x", "append f y; sync .", "f=x"},
    {"a new file's name alone is durable empty", "", "append n x; sync .", "n="},
    {"a new file in an unsynced folder vanishes", "mkdir d; sync .", "put d/n x", "d/"},
    {"a new file in a synced folder stays", "mkdir d; sync .", "put d/n x; sync d", "d/ d/n=x"},
    {"rename over a file, folder synced", "put a x; sync .", "put t y; mv t a; sync .", "a=y"},
    {"rename over a file, folder not synced", "put a x; sync .", "put t y; mv t a", "a=x"},
    {"rename across, only source synced: lost", "mkdir A; mkdir B; put A/f x; sync A; sync .",
     "mv A/f B/f; sync A", "A/ B/"},
    {"rename across, only target synced: both", "mkdir A; mkdir B; put A/f x; sync A; sync .",
     "mv A/f B/f; sync B", "A/ A/f=x B/ B/f=x"},
    {"rename across, both synced", "mkdir A; mkdir B; put A/f x; sync A; sync .",
     "mv A/f B/f; sync B; sync A", "A/ B/ B/f=x"},
    {"a renamed folder keeps its entries", "mkdir d; put d/f x; sync d; sync .", "mv d e; sync .",
     "e/ e/f=x"},
    {"unlink undone without a folder sync", "put f x; sync .", "rm f", "f=x"},
    {"unlink kept with a folder sync", "put f x; sync .", "rm f; sync .", ""},
    {"a reused inode is another file", "put a x; sync .", "rm a; put b y", "a=x"},
    {"truncate after fsync undone", "put f abcdef; sync .", "trunc f 2", "f=abcdef"},
    {"truncate kept by fsync", "put f abcdef; sync .", "trunc f 2; fsync f", "f=ab"},
    {"mkdir chain, root not synced", "", "mkdir a; mkdir a/b; put a/b/f x; sync a/b; sync a", ""},
    {"mkdir chain, middle not synced", "",
     "mkdir a; mkdir a/b; mkdir a/b/c; put a/b/c/f x; sync a/b/c; sync a; sync .", "a/ a/b/"},
    {"mkdir chain, all synced", "",
     "mkdir a; mkdir a/b; mkdir a/b/c; put a/b/c/f x; sync a/b/c; sync a/b; sync a; sync .",
     "a/ a/b/ a/b/c/ a/b/c/f=x"},
};

TEST(PowerCutFileSystemTest, CutKeepsOnlyWhatWasMadeDurable) {
    for (const CutCase& c : kCutCases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        PowerCutFileSystem fs;
        runScript(fs, dir.path(), c.before);
        ASSERT_EQ(kRecordOk, fs.arm(dir.path()));
        runScript(fs, dir.path(), c.ops);
        ASSERT_EQ(kRecordOk, fs.cut());
        EXPECT_EQ(c.after, tree(dir.path()));
        EXPECT_FALSE(fs.armed());
    }
}

TEST(PowerCutFileSystemTest, RearmedCutStartsFromTheNewState) {
    TempDir dir;
    PowerCutFileSystem fs;
    ASSERT_EQ(kRecordOk, fs.arm(dir.path()));
    runScript(fs, dir.path(), "put f x; sync .; append f y");
    ASSERT_EQ(kRecordOk, fs.cut(true));
    ASSERT_TRUE(fs.armed());
    runScript(fs, dir.path(), "append f z; put g w");
    EXPECT_EQ("f=xz g=w", tree(dir.path()));
    ASSERT_EQ(kRecordOk, fs.cut());
    EXPECT_EQ("f=x", tree(dir.path()));
}

// Each call of the scenario is exactly one counted call.
std::vector<std::function<int()>> scenario(FileSystem& fs, const std::string& root, int& fd) {
    const std::string f = root + "/f", d = root + "/d";
    return {
        [&fs, f, &fd] { return fs.open(f, FileSystem::kCreateNew, fd); },
        [&fs, &fd] { return fsutil::writeAll(fs, fd, "abcd"); },
        [&fs, &fd] { return fs.fsync(fd); },
        [&fs, &fd] { return fs.truncate(fd, 2); },
        [&fs, d] { return fs.mkdir(d); },
        [&fs, f, d] { return fs.rename(f, d + "/f"); },
        [&fs, root] { return fs.syncDir(root); },
        [&fs, d] { return fs.unlink(d + "/f"); },
        [&fs, d] { return fs.syncDir(d); },
    };
}

TEST(PowerCutFileSystemTest, CrashAfterRefusesTheNthCallAndAllLater) {
    TempDir dir;
    PowerCutFileSystem fs;
    int fd = -1;
    auto calls = scenario(fs, dir.path(), fd);
    // The uncut run: the tree after each call.
    ASSERT_EQ(kRecordOk, fs.arm(dir.path()));
    std::vector<std::string> states{tree(dir.path())};
    for (auto& call : calls) {
        ASSERT_EQ(kRecordOk, call());
        states.push_back(tree(dir.path()));
    }
    fs.close(fd);
    const int n = fs.opCount();
    ASSERT_EQ(static_cast<int>(calls.size()), n);
    EXPECT_EQ(1, fs.fsyncCount());
    EXPECT_EQ(2, fs.syncDirCount());

    for (int cutAt = 1; cutAt <= n; ++cutAt) {
        SCOPED_TRACE("cut at call " + std::to_string(cutAt));
        std::filesystem::remove_all(dir.path());
        std::filesystem::create_directory(dir.path());
        ASSERT_EQ(kRecordOk, fs.arm(dir.path()));
        fs.crashAfter(cutAt);
        fd = -1;
        for (int i = 1; i <= n; ++i) {
            EXPECT_EQ(i < cutAt ? kRecordOk : kRecordIOError, calls[i - 1]()) << "call " << i;
        }
        if (fd >= 0) fs.close(fd);
        EXPECT_TRUE(fs.crashed());
        EXPECT_EQ(states[cutAt - 1], tree(dir.path()));
        FileStat st;
        fs.setReadsAfterCrash(false);
        EXPECT_EQ(kRecordIOError, fs.stat(dir.path(), st));
        fs.setReadsAfterCrash(true);
        EXPECT_EQ(kRecordOk, fs.stat(dir.path(), st));
        ASSERT_EQ(kRecordOk, fs.cut());
    }
}

TEST(PowerCutFileSystemTest, CountdownIsExactAcrossThreads) {
    TempDir dir;
    PowerCutFileSystem fs;
    ASSERT_EQ(kRecordOk, fs.arm(dir.path()));
    int fds[2] = {-1, -1};
    ASSERT_EQ(kRecordOk, fs.open(dir.sub("a"), FileSystem::kAppend, fds[0]));
    ASSERT_EQ(kRecordOk, fs.open(dir.sub("b"), FileSystem::kAppend, fds[1]));
    fs.crashAfter(101);
    std::atomic<int> written{0};
    auto writer = [&](int fd) {
        for (int i = 0; i < 100; ++i) {
            if (fs.write(fd, "x", 1) == 1) ++written;
        }
    };
    std::thread a(writer, fds[0]), b(writer, fds[1]);
    a.join();
    b.join();
    fs.close(fds[0]);
    fs.close(fds[1]);
    EXPECT_EQ(100, written.load());
    EXPECT_EQ(202, fs.opCount());
    EXPECT_EQ(100u,
              std::filesystem::file_size(dir.sub("a")) + std::filesystem::file_size(dir.sub("b")));
}

}  // namespace
}  // namespace rectest
