#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "RecordResult.h"
#include "RecordTestSupport.h"
#include "store/BackupDisk.h"
#include "store/FileSystem.h"

using namespace rectest;

namespace {

void writeText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// What identify() makes of a root, by what lies there.
TEST(BackupDiskTest, OnlyAValidMarkerMakesARootABackupDisk) {
    struct Case {
        const char* what;
        bool makeRoot;
        const char* marker;  // nullptr: none
        int expected;
    } const cases[] = {
        {"missing root (disk not mounted, no mount point)", false, nullptr, kRecordNotFound},
        {"bare mount point", true, nullptr, kRecordNotPrepared},
        {"empty marker", true, "", kRecordNotPrepared},
        {"marker of another format", true,
         "nvr-backup-disk 2\nid=0123456789abcdef0123456789abcdef\n", kRecordNotPrepared},
        {"short id", true, "nvr-backup-disk 1\nid=0123\n", kRecordNotPrepared},
        {"upper-case id", true, "nvr-backup-disk 1\nid=0123456789ABCDEF0123456789ABCDEF\n",
         kRecordNotPrepared},
        {"valid marker", true, "nvr-backup-disk 1\nid=0123456789abcdef0123456789abcdef\n",
         kRecordOk},
    };
    TempDir tmp;
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string root = tmp.sub("disk" + std::to_string(n++));
        if (c.makeRoot) std::filesystem::create_directories(root);
        if (c.marker != nullptr) writeText(root + "/" + BackupDisk::kMarkerName, c.marker);
        BackupDiskIdentity id;
        EXPECT_EQ(c.expected, BackupDisk::identify(*posixFileSystem(), root, id));
        if (c.expected == kRecordOk) {
            EXPECT_EQ("0123456789abcdef0123456789abcdef", id.id);
        }
    }
}

TEST(BackupDiskTest, PrepareWritesAnIdOnceAndIdentityFollowsTheRootFolder) {
    TempDir tmp;
    FileSystem& fs = *posixFileSystem();
    const std::string root = tmp.sub("usb");
    std::string id;
    EXPECT_EQ(kRecordNotFound, BackupDisk::prepare(fs, root, id));
    EXPECT_FALSE(std::filesystem::exists(root));  // a mount point is never made

    std::filesystem::create_directories(root);
    ASSERT_EQ(kRecordOk, BackupDisk::prepare(fs, root, id));
    EXPECT_EQ(32u, id.size());
    std::string again;
    ASSERT_EQ(kRecordOk, BackupDisk::prepare(fs, root, again));
    EXPECT_EQ(id, again);  // re-plugged or prepared twice: the same disk
    BackupDiskIdentity first, second;
    ASSERT_EQ(kRecordOk, BackupDisk::identify(fs, root, first));
    EXPECT_EQ(id, first.id);

    // Another disk, prepared on its own, at the same place: another id, and
    // the folder is another inode.
    std::filesystem::rename(root, tmp.sub("usb.old"));
    std::filesystem::create_directories(root);
    ASSERT_EQ(kRecordOk, BackupDisk::prepare(fs, root, again));
    EXPECT_NE(id, again);
    ASSERT_EQ(kRecordOk, BackupDisk::identify(fs, root, second));
    EXPECT_NE(first, second);
    // The marker alone copied over: same id, still not the same root.
    std::filesystem::copy_file(tmp.sub("usb.old") + "/" + BackupDisk::kMarkerName,
                               root + "/" + BackupDisk::kMarkerName,
                               std::filesystem::copy_options::overwrite_existing);
    ASSERT_EQ(kRecordOk, BackupDisk::identify(fs, root, second));
    EXPECT_EQ(first.id, second.id);
    EXPECT_NE(first, second);
}

}  // namespace
