#include "store/RecordDiskLock.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <mutex>

#include "RecordResult.h"
#include "store/BackupDisk.h"
#include "store/FileSystem.h"

namespace {

// The lock files this process holds: path -> descriptor and users.
struct Held {
    int fd = -1;
    int users = 0;
};
std::mutex g_lock;
std::map<std::string, Held> g_held;  // guarded by g_lock

// What the holder wrote: "pid N\n<command>\n" -> "pid N (<command>)".
std::string holderOf(int fd) {
    char buffer[512];
    const ssize_t n = pread(fd, buffer, sizeof buffer - 1, 0);
    if (n <= 0) return "another process";
    const std::string text(buffer, static_cast<size_t>(n));
    const size_t line = text.find('\n');
    if (text.compare(0, 4, "pid ") != 0 || line == std::string::npos) return "another process";
    std::string holder = text.substr(0, line);
    std::string command = text.substr(line + 1);
    while (!command.empty() && command.back() == '\n') command.pop_back();
    if (!command.empty()) holder += " (" + command + ")";
    return holder;
}

// Takes the lock file at `path` for this process (REQUIRES: g_lock held).
int take(const std::string& root, const std::string& path, const std::string& command,
         std::string& error) {
    auto it = g_held.find(path);
    if (it != g_held.end()) {
        ++it->second.users;
        return kRecordOk;
    }
    const std::string recordDir = fsutil::dirName(path);
    if (::mkdir(recordDir.c_str(), 0755) != 0 && errno != EEXIST) {
        const int r = resultFromErrno(errno);
        error = recordDir + " cannot be made (" + resultToString(r) + ")";
        return r;
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        const int r = resultFromErrno(errno);
        error = path + " cannot be opened (" + resultToString(r) + ")";
        return r;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        if (err == EWOULDBLOCK) {
            error = root + " is in use by " + holderOf(fd);
            ::close(fd);
            return kRecordInUse;
        }
        ::close(fd);
        const int r = resultFromErrno(err);
        error = path + " cannot be locked (" + resultToString(r) + ")";
        return r;
    }
    const std::string text = "pid " + std::to_string(::getpid()) + "\n" + command + "\n";
    // Locked all the same when this fails: only the holder's name is missing.
    const bool named = ::ftruncate(fd, 0) == 0 && ::pwrite(fd, text.data(), text.size(), 0) ==
                                                      static_cast<ssize_t>(text.size());
    static_cast<void>(named);
    g_held[path] = Held{fd, 1};
    return kRecordOk;
}

void letGo(const std::string& path) {
    auto it = g_held.find(path);
    if (it == g_held.end() || --it->second.users > 0) return;
    // Emptied first: a holder named in the file is always a live one.
    if (::ftruncate(it->second.fd, 0) != 0) {
        // Left as it was: the next holder overwrites it.
    }
    ::close(it->second.fd);  // drops the flock
    g_held.erase(it);
}

}  // namespace

RecordDiskLock::~RecordDiskLock() { unlock(); }

std::string RecordDiskLock::lockPath(const std::string& root) {
    return fsutil::join(fsutil::join(fsutil::normalize(root), "record"), ".nvr-backup.lock");
}

std::vector<std::string> RecordDiskLock::rootsOf(const RecorderConfig& config) {
    std::vector<std::string> roots;
    for (const RecordDirInfoEx& d : config.recordDirs) roots.push_back(d.getRecordRootDir());
    for (const RecordDirInfoEx& d : config.backupDirs) {
        // Nothing is written below a bare mount point, a lock file neither.
        BackupDiskIdentity identity;
        if (BackupDisk::identify(*posixFileSystem(), d.getRecordRootDir(), identity) == kRecordOk) {
            roots.push_back(d.getRecordRootDir());
        }
    }
    return roots;
}

int RecordDiskLock::lock(const std::vector<std::string>& roots, const std::string& command,
                         std::string& error) {
    std::lock_guard<std::mutex> guard(g_lock);
    std::vector<std::string> taken;
    for (const std::string& root : roots) {
        struct stat st;
        if (::stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
        const std::string path = lockPath(root);
        const int r = take(root, path, command, error);
        if (r != kRecordOk) {
            for (const std::string& p : taken) letGo(p);
            return r;
        }
        taken.push_back(path);
    }
    m_held.insert(m_held.end(), taken.begin(), taken.end());
    return kRecordOk;
}

void RecordDiskLock::unlock() {
    std::lock_guard<std::mutex> guard(g_lock);
    for (const std::string& path : m_held) letGo(path);
    m_held.clear();
}
