// The power-cut file system keeps exactly what was made durable: file content
// by fsync, folder entries by syncDir; from the crash on, every change fails.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "PowerCutFileSystem.h"
#include "RecordTestSupport.h"

namespace rectest {
namespace {

// The tree below `root`: "dir/" for folders and "file=content" for files,
// sorted, separated by spaces.
std::string tree(const std::string& root) {
    std::set<std::string> items;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
        const std::string rel = std::filesystem::relative(e.path(), root).string();
        std::ifstream in(e.path(), std::ios::binary);
        items.insert(e.is_directory()
                         ? rel + "/"
                         : rel + "=" + std::string(std::istreambuf_iterator<char>(in), {}));
    }
    std::string out;
    for (const std::string& item : items) out += (out.empty() ? "" : " ") + item;
    return out;
}

// Runs steps separated by ';' on `fs`, paths relative to `root`: "append P T"
// opens P to append (created if missing), writes T, closes it; "put P T" the
// same with an fsync before the close; "fsync P"; "trunc P N" cuts P to N
// bytes; "mv A B", "rm P", "mkdir P", "sync D" ("." is the root). Every call
// succeeds until the crash and fails from then on.
void runScript(PowerCutFileSystem& fs, const std::string& root, const std::string& script) {
    std::stringstream steps(script);
    std::string step;
    while (std::getline(steps, step, ';')) {
        std::stringstream words(step);
        std::string op, a, b;
        words >> op >> a >> b;
        if (op.empty()) continue;
        const std::string pa = a == "." ? root : root + "/" + a;
        int r = kRecordOk, fd = -1;
        if (op == "mv") {
            r = fs.rename(pa, root + "/" + b);
        } else if (op == "rm") {
            r = fs.unlink(pa);
        } else if (op == "mkdir") {
            r = fs.mkdir(pa);
        } else if (op == "sync") {
            r = fs.syncDir(pa);
        } else if ((r = fs.open(pa, FileSystem::kAppend, fd)) == kRecordOk) {
            if (op == "append" || op == "put") r = fsutil::writeAll(fs, fd, b);
            if (r == kRecordOk && (op == "put" || op == "fsync")) r = fs.fsync(fd);
            if (op == "trunc") r = fs.truncate(fd, std::stoll(b));
            fs.close(fd);
        }
        EXPECT_EQ(fs.crashed() ? kRecordIOError : kRecordOk, r) << step;
    }
}

TEST(PowerCutFileSystemTest, CutKeepsOnlyWhatWasMadeDurable) {
    const struct {
        const char* what;
        const char* before;  // done and taken as durable before arm()
        const char* ops;     // done while armed
        int crashAt;         // the counted call that crashes (open to write counts); 0: none
        const char* after;   // the tree after cut()
    } cases[] = {
        {"fsync keeps what was written before it", "put f old; sync .",
         "append f A; fsync f; append f B", 0, "f=oldA"},
        {"a new file's name alone is durable empty", "", "append n x; sync .", 0, "n="},
        {"a new file in an unsynced folder vanishes", "mkdir d; sync .", "put d/n x", 0, "d/"},
        {"rename over a file, folder not synced", "put a x; sync .", "put t y; mv t a", 0, "a=x"},
        {"rename across: lost with only the source synced, both with only the target",
         "mkdir A; mkdir B; put A/f x; put B/g y; sync A; sync B; sync .",
         "mv A/f B/f; mv B/g A/g; sync A", 0, "A/ A/g=y B/ B/g=y"},
        {"unlink undone without a folder sync", "put f x; sync .", "rm f", 0, "f=x"},
        {"a reused inode is another file", "put a x; sync .", "rm a; put b y", 0, "a=x"},
        {"truncate after fsync undone", "put f abcdef; sync .", "trunc f 2", 0, "f=abcdef"},
        {"mkdir chain, middle not synced", "",
         "mkdir a; mkdir a/b; mkdir a/b/c; put a/b/c/f x; sync a/b/c; sync a; sync .", 0,
         "a/ a/b/"},
        {"the crash falls on the folder sync", "", "put f x; sync .", 4, ""},
        {"every call after the crash fails", "put f x; sync .", "put f y; put g z; sync .", 2,
         "f=x"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        PowerCutFileSystem fs;
        runScript(fs, dir.path(), c.before);
        ASSERT_EQ(kRecordOk, fs.arm(dir.path()));
        fs.crashAfter(c.crashAt);
        runScript(fs, dir.path(), c.ops);
        EXPECT_EQ(c.crashAt != 0, fs.crashed());
        ASSERT_EQ(kRecordOk, fs.cut());
        EXPECT_EQ(c.after, tree(dir.path()));
    }
}

}  // namespace
}  // namespace rectest
