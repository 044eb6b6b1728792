// A file system that models a power cut of the whole machine, for crash
// tests: cut the power at a chosen call, rebuild the disk as it would be after
// it came back.
#ifndef TESTS_SUPPORT_POWERCUTFILESYSTEM_H
#define TESTS_SUPPORT_POWERCUTFILESYSTEM_H

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "store/FileSystem.h"

namespace rectest {

// Forwards to the POSIX file system and, while armed on a scratch root,
// remembers what the calls below that root made durable, as conservatively as
// a journaling file system with no ordering between files:
// - a file's content is durable as of its last fsync (kept by inode, so a
//   rename keeps it); never fsynced since arm(), it keeps its content then;
// - a folder's entries (name -> inode) are durable as of its last syncDir, so
//   a create, rename, unlink or mkdir is durable only in the folders synced
//   after it (a rename from A to B with only A synced loses the file, with
//   only B synced leaves it under both names).
// Counted calls: write, fsync, truncate, rename, unlink, mkdir, syncDir and
// open to write. close is never counted nor refused. Thread-safe: one lock
// serialises the counted calls with the model they update.
class PowerCutFileSystem : public FileSystemWrapper {
  public:
    PowerCutFileSystem() : FileSystemWrapper(posixFileSystem()) {}

    // Tracks everything below `root` (an existing folder) from now on; the
    // current tree is taken as durable. Resets the counters and the crash.
    [[nodiscard]] int arm(const std::string& root);
    // The n-th counted call from now (n >= 1) and every later one fail with
    // kRecordIOError without touching the disk (reads still work).
    void crashAfter(int n);
    // Rebuilds the tree below the root as durable (see above), removes
    // everything else below it and disarms. REQUIRES: armed; the program
    // under test has stopped (descriptors it still holds keep the old files).
    [[nodiscard]] int cut();

    bool crashed() const { return m_crashed; }
    // Counted calls since arm(), refused ones too (cut points 1..opCount()).
    int opCount() const { return m_ops; }

    int open(const std::string& path, int mode, int& fd) override;
    int write(int fd, const char* buffer, int count) override;
    int fsync(int fd) override;
    int truncate(int fd, long long size) override;
    int close(int fd) override;
    int rename(const std::string& from, const std::string& to) override;
    int unlink(const std::string& path) override;
    int mkdir(const std::string& path) override;
    int syncDir(const std::string& dir) override;

  private:
    // A file or folder as it would be found after a power cut.
    struct Node {
        bool isDir = false;
        std::string content;                 // a file's durable bytes
        std::map<std::string, int> entries;  // a folder's durable names -> node
    };

    void reset();
    int countCall();
    bool below(const std::string& path) const;
    int nodeOf(const std::string& path, int fd = -1);
    int snapshotDir(const std::string& dir, int node, bool recurse);
    int build(const std::string& path, int node, std::vector<int>& chain);

    mutable std::mutex m_lock;  // guards everything below
    bool m_armed = false;
    std::string m_root;
    unsigned long long m_device = 0;
    std::vector<Node> m_nodes;                   // by node number; 0 is the root
    std::map<unsigned long long, int> m_inodes;  // live inode -> node
    std::map<int, int> m_fds;                    // descriptor below the root -> node
    int m_countdown = 0;
    std::atomic<bool> m_crashed{false};  // these are also read without the lock
    std::atomic<int> m_ops{0};
};

}  // namespace rectest

#endif  // TESTS_SUPPORT_POWERCUTFILESYSTEM_H