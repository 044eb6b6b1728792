// A file system that models a power cut of the whole machine, for crash
// tests of the record library and the backup module: run a scenario, cut the
// power at a chosen call, rebuild the disk as it would be after the power
// came back, then reopen and check.
#ifndef TESTS_SUPPORT_POWERCUTFILESYSTEM_H
#define TESTS_SUPPORT_POWERCUTFILESYSTEM_H

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "store/FileSystem.h"

namespace rectest {

// Forwards to the POSIX file system and, while armed on a scratch root,
// remembers what the calls below that root made durable, as conservatively as
// a journaling file system with no ordering between files:
// - a file's content is durable as of its last fsync (a snapshot of the whole
//   file, kept by inode, so a rename keeps it);
// - a folder's entries (name -> inode) are durable as of its last syncDir;
//   a create, rename, unlink or mkdir is durable only in the folders synced
//   after it (a rename from A to B with only A synced loses the file, with
//   only B synced leaves it under both names).
// Everything else is lost by cut().
//
// Counted calls: write, fsync, truncate, rename, unlink, mkdir, syncDir and
// open with a create mode, whatever their path. close is never counted nor
// refused, so descriptors are always released.
//
// Safe for use by several threads: one lock serialises the counted calls
// with the model they update.
class PowerCutFileSystem : public FileSystemWrapper {
  public:
    PowerCutFileSystem();

    // Tracks everything below `root` (an existing folder) from now on; the
    // current tree is taken as durable. Resets the counters and the crash.
    [[nodiscard]] int arm(const std::string& root);
    // The n-th counted call from now (n >= 1) and every later one fail with
    // kRecordIOError without touching the disk; n <= 0 cancels the countdown.
    // Only while armed.
    void crashAfter(int n);
    // Whether reads, lists, stats, freeSpace and read-only opens still work
    // after the crash (default false: they fail with kRecordIOError too, so
    // the program under test stops making progress).
    void setReadsAfterCrash(bool work);

    // Rebuilds the tree below the root as it is after the power came back:
    // the folders reachable from the root through durable entries with
    // exactly those entries, every file with its durable content (its content
    // at arm() when it was never fsynced since, else empty). Everything else
    // below the root is removed. Afterwards the wrapper is disarmed and
    // passes everything through, or with `rearm` is armed again on the new
    // tree. REQUIRES: armed; the program under test has stopped (descriptors
    // it still holds keep the old files).
    [[nodiscard]] int cut(bool rearm = false);

    bool armed() const;
    // True once the countdown ran out.
    bool crashed() const;
    // Counted calls since arm(), including the crashing one and those refused
    // after it: an uncut run answers the cut points 1..opCount().
    int opCount() const;
    // fsync and syncDir calls since arm() that took effect.
    int fsyncCount() const;
    int syncDirCount() const;

    int open(const std::string& path, int mode, int& fd) override;
    int read(int fd, char* buffer, int count) override;
    int readAt(int fd, char* buffer, int count, long long offset) override;
    int write(int fd, const char* buffer, int count) override;
    int fsync(int fd) override;
    int truncate(int fd, long long size) override;
    int close(int fd) override;
    int rename(const std::string& from, const std::string& to) override;
    int unlink(const std::string& path) override;
    int mkdir(const std::string& path) override;
    int list(const std::string& dir, std::vector<std::string>& names) override;
    int stat(const std::string& path, FileStat& st) override;
    int freeSpace(const std::string& path, long long& bytes) override;
    int syncDir(const std::string& dir) override;

  private:
    // A file or folder as it would be found after a power cut.
    struct Node {
        bool isDir = false;
        std::string content;                 // a file's durable bytes
        std::map<std::string, int> entries;  // a folder's durable names -> node
    };

    int armLocked(const std::string& root);
    int countCall();
    int readGate();
    bool below(const std::string& path) const;
    int nodeOf(unsigned long long inode, bool isDir);
    int nodeOfPath(const std::string& path);
    int snapshotDir(const std::string& dir, int node);
    int scan(const std::string& dir, int node);
    int build(const std::string& path, int node, std::vector<int>& chain);
    void disarm();

    // Guards everything below.
    mutable std::mutex m_lock;
    bool m_armed = false;
    bool m_readsAfterCrash = false;
    std::string m_root;
    unsigned long long m_device = 0;
    int m_rootNode = -1;
    std::vector<Node> m_nodes;                   // by node number
    std::map<unsigned long long, int> m_inodes;  // live inode -> node
    std::map<int, int> m_fds;                    // descriptor below the root -> node
    int m_countdown = 0;
    bool m_crashed = false;
    int m_ops = 0;
    int m_fsyncs = 0;
    int m_syncDirs = 0;
};

}  // namespace rectest

#endif  // TESTS_SUPPORT_POWERCUTFILESYSTEM_H
