#ifndef RECORDLIB_FILESYSTEM_H
#define RECORDLIB_FILESYSTEM_H

#include <string>
#include <vector>

#include "RecordLibExport.h"

// The one seam between the record library and the operating system: every
// file, folder and free-space access of the library goes through a
// FileSystem. The default is POSIX; tests install a fault-injecting one with
// RecordDiskManagerImpl::setFileSystem.
//
// Every operation answers 0 (or a count) on success and a negative result
// code of RecordResult.h on failure; OS errors are turned into codes by
// resultFromErrno() only.
//
// Implementations are safe for concurrent use by several threads without
// outside locking (a descriptor is used by one thread at a time).
struct FileStat {
    bool isDir = false;
    // The path itself is a symbolic link (the rest describes its target). The
    // library never makes one below a root, and never follows one there.
    bool isLink = false;
    // Neither a folder nor a regular file: a pipe, a socket, a device node.
    bool isOther = false;
    long long size = 0;
    long long mtimeSeconds = 0;
    long mtimeNanos = 0;  // within mtimeSeconds
    // The file system and the file on it: a backup root that is unmounted,
    // swapped or replaced by another folder has another pair.
    unsigned long long device = 0;
    unsigned long long inode = 0;
};

class RECORDLIB_EXPORT FileSystem {
  public:
    enum OpenMode {
        kRead = 0,         // an existing file, read only
        kCreateNew = 1,    // a new file, write only; kRecordExists if it exists
        kAppend = 2,       // write at the end, the file created when missing
        kCreateTrunc = 3,  // write only, created or emptied
    };

    virtual ~FileSystem() {}

    // Opens `path`; on success `fd` holds the descriptor. REQUIRES: the
    // parent folder exists (nothing here creates folders).
    [[nodiscard]] virtual int open(const std::string& path, int mode, int& fd) = 0;
    // Reads up to `count` bytes. Answers the bytes read (0 at the end).
    [[nodiscard]] virtual int read(int fd, char* buffer, int count) = 0;
    // Reads up to `count` bytes at `offset`, leaving the descriptor's position
    // as it was. Answers the bytes read (0 at the end).
    [[nodiscard]] virtual int readAt(int fd, char* buffer, int count, long long offset) = 0;
    // Writes all `count` bytes. Answers `count`, or a code (some bytes may
    // have been written before a failure).
    [[nodiscard]] virtual int write(int fd, const char* buffer, int count) = 0;
    // Makes what was written durable.
    [[nodiscard]] virtual int fsync(int fd) = 0;
    // Starts writing `length` bytes at `offset` to the disk without waiting
    // for them, so that a later fsync finds less to do. Makes nothing
    // durable; a file system without such a hint does nothing.
    virtual int startWriteback(int fd, long long offset, long long length) = 0;
    // Cuts the file to `size` bytes.
    [[nodiscard]] virtual int truncate(int fd, long long size) = 0;
    // Releases the descriptor (also after a failure).
    virtual int close(int fd) = 0;
    // Replaces `to` by `from` atomically.
    [[nodiscard]] virtual int rename(const std::string& from, const std::string& to) = 0;
    [[nodiscard]] virtual int unlink(const std::string& path) = 0;
    // Creates one folder; kRecordExists when it is already there.
    [[nodiscard]] virtual int mkdir(const std::string& path) = 0;
    // The names in a folder, without "." and "..", in no particular order.
    [[nodiscard]] virtual int list(const std::string& dir, std::vector<std::string>& names) = 0;
    [[nodiscard]] virtual int stat(const std::string& path, FileStat& st) = 0;
    // Bytes available to the process on the file system that holds `path`.
    [[nodiscard]] virtual int freeSpace(const std::string& path, long long& bytes) = 0;
    // Makes the folder's entries (created, renamed, removed names) durable.
    [[nodiscard]] virtual int syncDir(const std::string& dir) = 0;
};

// Turns an errno value into a result code: ENOENT/ENOTDIR kRecordNotFound,
// ENOSPC/EDQUOT kRecordNoSpace, EEXIST kRecordExists, everything else
// kRecordIOError. The only place where errno is interpreted.
RECORDLIB_EXPORT int resultFromErrno(int err);

// The process-wide POSIX file system (never null, not owned).
RECORDLIB_EXPORT FileSystem* posixFileSystem();

// Forwards every call to another FileSystem, so that a test overrides only
// the calls it wants to fail.
class RECORDLIB_EXPORT FileSystemWrapper : public FileSystem {
  public:
    explicit FileSystemWrapper(FileSystem* target) : m_target(target) {}
    FileSystem* target() const { return m_target; }

    int open(const std::string& path, int mode, int& fd) override {
        return m_target->open(path, mode, fd);
    }
    int read(int fd, char* buffer, int count) override { return m_target->read(fd, buffer, count); }
    int readAt(int fd, char* buffer, int count, long long offset) override {
        return m_target->readAt(fd, buffer, count, offset);
    }
    int write(int fd, const char* buffer, int count) override {
        return m_target->write(fd, buffer, count);
    }
    int fsync(int fd) override { return m_target->fsync(fd); }
    int startWriteback(int fd, long long offset, long long length) override {
        return m_target->startWriteback(fd, offset, length);
    }
    int truncate(int fd, long long size) override { return m_target->truncate(fd, size); }
    int close(int fd) override { return m_target->close(fd); }
    int rename(const std::string& from, const std::string& to) override {
        return m_target->rename(from, to);
    }
    int unlink(const std::string& path) override { return m_target->unlink(path); }
    int mkdir(const std::string& path) override { return m_target->mkdir(path); }
    int list(const std::string& dir, std::vector<std::string>& names) override {
        return m_target->list(dir, names);
    }
    int stat(const std::string& path, FileStat& st) override { return m_target->stat(path, st); }
    int freeSpace(const std::string& path, long long& bytes) override {
        return m_target->freeSpace(path, bytes);
    }
    int syncDir(const std::string& dir) override { return m_target->syncDir(dir); }

  private:
    FileSystem* m_target;
};

// Helpers over any FileSystem.
namespace fsutil {

// Joins two path parts with one "/" (not std::filesystem::path: an absolute
// `b` would replace `a`, and it allocates on every file switch of a move).
RECORDLIB_EXPORT std::string join(const std::string& a, const std::string& b);
// join(a, b) written into `out`, whose capacity is reused.
RECORDLIB_EXPORT void joinInto(std::string& out, const std::string& a, const std::string& b);
// The path with repeated '/' collapsed and no trailing '/' ("/" stays).
RECORDLIB_EXPORT std::string normalize(const std::string& path);
// True when normalize(path) == path.
RECORDLIB_EXPORT bool isNormal(const std::string& path);
// The folder part of a path ("" when there is none).
RECORDLIB_EXPORT std::string dirName(const std::string& path);
// The last part of a path.
RECORDLIB_EXPORT std::string baseName(const std::string& path);
// True when `path` exists and is a folder.
RECORDLIB_EXPORT bool isDir(FileSystem& fs, const std::string& path);
// True when `path` is a folder and not a symbolic link to one: what a device
// or day folder below a root must be.
RECORDLIB_EXPORT bool isOwnDir(FileSystem& fs, const std::string& path);
// Creates the folders of `relative` below `base`, one level at a time.
// REQUIRES: `base` exists; it is never created (kRecordNotFound otherwise,
// or the code of a failed stat). A level that exists as a symbolic link or
// a file is kRecordBadName.
[[nodiscard]] RECORDLIB_EXPORT int makeDirsBelow(FileSystem& fs, const std::string& base,
                                                 const std::string& relative);
// Reads a whole file into `out`.
[[nodiscard]] RECORDLIB_EXPORT int readFile(FileSystem& fs, const std::string& path,
                                            std::string& out);
// Writes all of `data` to `fd`, answering 0 or a code.
[[nodiscard]] RECORDLIB_EXPORT int writeAll(FileSystem& fs, int fd, const std::string& data);
// Replaces `path` atomically by `data`: temporary file, fsync, rename, fsync
// of the folder.
[[nodiscard]] RECORDLIB_EXPORT int writeFileAtomic(FileSystem& fs, const std::string& path,
                                                   const std::string& data);

}  // namespace fsutil

#endif  // RECORDLIB_FILESYSTEM_H
