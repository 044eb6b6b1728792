// The lock of a set of record disks: shared by the holders of one process,
// exclusive against other processes (an flock from another open file stands
// in for one here; the program test runs a real second process), and never
// written where nothing may be written.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "RecordTestSupport.h"
#include "store/BackupDisk.h"
#include "store/RecordDiskLock.h"

namespace {

// True when another open file of the lock cannot take it now.
bool heldElsewhere(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
    ::close(fd);
    return held;
}

std::string contentOf(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(RecordDiskLockTest, SharedWithinTheProcessHeldAgainstOthersAndNeverOnAMissingOrBareRoot) {
    rectest::TempDir tmp;
    for (const char* name : {"rec", "backup", "bare"}) {
        std::filesystem::create_directories(tmp.sub(name));
    }
    std::string id;
    ASSERT_EQ(0, BackupDisk::prepare(*posixFileSystem(), tmp.sub("backup"), id));
    RecorderConfig config;
    config.recordDirs = {makeRecordDir(tmp.sub("rec"), RecordDirInfoEx::kAttributeLocal),
                         makeRecordDir(tmp.sub("missing"), RecordDirInfoEx::kAttributeLocal)};
    config.backupDirs = {makeRecordDir(tmp.sub("backup"), RecordDirInfoEx::kAttributeBackup),
                         makeRecordDir(tmp.sub("bare"), RecordDirInfoEx::kAttributeBackup)};
    const std::vector<std::string> roots = RecordDiskLock::rootsOf(config);
    EXPECT_EQ((std::vector<std::string>{tmp.sub("rec"), tmp.sub("missing"), tmp.sub("backup")}),
              roots);

    RecordDiskLock first, second;
    std::string error;
    ASSERT_EQ(0, first.lock(roots, "nvr-backup run", error)) << error;
    ASSERT_EQ(0, second.lock(roots, "a host", error)) << error;
    EXPECT_FALSE(std::filesystem::exists(tmp.sub("missing")));
    EXPECT_FALSE(std::filesystem::exists(tmp.sub("bare/record")));
    const std::string locks[] = {RecordDiskLock::lockPath(tmp.sub("rec")),
                                 RecordDiskLock::lockPath(tmp.sub("backup"))};
    EXPECT_EQ(tmp.sub("rec/record/.nvr-backup.lock"), locks[0]);
    for (const std::string& path : locks) {
        EXPECT_EQ("pid " + std::to_string(getpid()) + "\nnvr-backup run\n", contentOf(path));
        EXPECT_TRUE(heldElsewhere(path)) << path;
    }
    first.unlock();
    for (const std::string& path : locks) EXPECT_TRUE(heldElsewhere(path)) << path;
    second.unlock();
    for (const std::string& path : locks) {
        EXPECT_FALSE(heldElsewhere(path)) << path;
        EXPECT_EQ("", contentOf(path));  // no stale holder named
    }
}

}  // namespace
