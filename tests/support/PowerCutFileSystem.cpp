#include "PowerCutFileSystem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>

#include "RecordResult.h"

namespace rectest {

namespace {

// Reads a whole file; `path` may be /proc/self/fd/N, which also reaches a
// file that was opened write-only or has been unlinked since.
int readAll(const std::string& path, std::string& out) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return resultFromErrno(errno);
    out.clear();
    char buffer[65536];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<size_t>(n));
    ::close(fd);
    return n == 0 ? kRecordOk : kRecordIOError;
}

// The inode behind `path` (the link itself, not what it points to).
bool inodeOf(const std::string& path, unsigned long long& inode) {
    struct stat s;
    if (::lstat(path.c_str(), &s) != 0) return false;
    inode = static_cast<unsigned long long>(s.st_ino);
    return true;
}

}  // namespace

PowerCutFileSystem::PowerCutFileSystem() : FileSystemWrapper(posixFileSystem()) {}

int PowerCutFileSystem::arm(const std::string& root) {
    std::lock_guard<std::mutex> g(m_lock);
    return armLocked(root);
}

int PowerCutFileSystem::armLocked(const std::string& root) {
    disarm();
    struct stat s;
    if (::stat(root.c_str(), &s) != 0) return resultFromErrno(errno);
    if (!S_ISDIR(s.st_mode)) return kRecordNotFound;
    m_root = fsutil::normalize(root);
    m_device = static_cast<unsigned long long>(s.st_dev);
    m_rootNode = nodeOf(static_cast<unsigned long long>(s.st_ino), true);
    m_ops = m_fsyncs = m_syncDirs = 0;
    m_armed = true;
    int r = scan(m_root, m_rootNode);
    if (r != kRecordOk) disarm();
    return r;
}

void PowerCutFileSystem::crashAfter(int n) {
    std::lock_guard<std::mutex> g(m_lock);
    if (m_armed) m_countdown = n > 0 ? n : 0;
}

void PowerCutFileSystem::setReadsAfterCrash(bool work) {
    std::lock_guard<std::mutex> g(m_lock);
    m_readsAfterCrash = work;
}

int PowerCutFileSystem::cut(bool rearm) {
    std::lock_guard<std::mutex> g(m_lock);
    if (!m_armed) return kRecordFailed;
    namespace stdfs = std::filesystem;
    std::error_code ec;
    std::vector<stdfs::path> children;
    for (const stdfs::directory_entry& e : stdfs::directory_iterator(m_root, ec)) {
        children.push_back(e.path());
    }
    for (const stdfs::path& p : children) {
        if (!ec) stdfs::remove_all(p, ec);
    }
    if (ec) return kRecordIOError;
    std::vector<int> chain{m_rootNode};
    int r = build(m_root, m_rootNode, chain);
    const std::string root = m_root;
    disarm();
    if (r == kRecordOk && rearm) r = armLocked(root);
    return r;
}

bool PowerCutFileSystem::armed() const {
    std::lock_guard<std::mutex> g(m_lock);
    return m_armed;
}

bool PowerCutFileSystem::crashed() const {
    std::lock_guard<std::mutex> g(m_lock);
    return m_crashed;
}

int PowerCutFileSystem::opCount() const {
    std::lock_guard<std::mutex> g(m_lock);
    return m_ops;
}

int PowerCutFileSystem::fsyncCount() const {
    std::lock_guard<std::mutex> g(m_lock);
    return m_fsyncs;
}

int PowerCutFileSystem::syncDirCount() const {
    std::lock_guard<std::mutex> g(m_lock);
    return m_syncDirs;
}

int PowerCutFileSystem::open(const std::string& path, int mode, int& fd) {
    std::lock_guard<std::mutex> g(m_lock);
    int r = mode == kRead ? readGate() : countCall();
    if (r == kRecordOk) r = FileSystemWrapper::open(path, mode, fd);
    // Remember the file behind the descriptor, so an fsync after an unlink
    // still finds it.
    struct stat s;
    if (r == kRecordOk && m_armed && below(path) && ::fstat(fd, &s) == 0 &&
        static_cast<unsigned long long>(s.st_dev) == m_device) {
        m_fds[fd] = nodeOf(static_cast<unsigned long long>(s.st_ino), S_ISDIR(s.st_mode));
    }
    return r;
}

int PowerCutFileSystem::read(int fd, char* buffer, int count) {
    {
        std::lock_guard<std::mutex> g(m_lock);
        if (int r = readGate()) return r;
    }
    return FileSystemWrapper::read(fd, buffer, count);
}

int PowerCutFileSystem::write(int fd, const char* buffer, int count) {
    std::lock_guard<std::mutex> g(m_lock);
    if (int r = countCall()) return r;
    return FileSystemWrapper::write(fd, buffer, count);
}

int PowerCutFileSystem::fsync(int fd) {
    std::lock_guard<std::mutex> g(m_lock);
    if (int r = countCall()) return r;
    int r = FileSystemWrapper::fsync(fd);
    if (r != kRecordOk || !m_armed) return r;
    ++m_fsyncs;
    int node = -1;
    auto it = m_fds.find(fd);
    struct stat s;
    if (it != m_fds.end()) {
        node = it->second;
    } else if (::fstat(fd, &s) == 0 && static_cast<unsigned long long>(s.st_dev) == m_device) {
        auto live = m_inodes.find(static_cast<unsigned long long>(s.st_ino));
        if (live != m_inodes.end()) node = live->second;
    }
    if (node < 0 || m_nodes[node].isDir) return r;  // not below the root
    std::string content;
    r = readAll("/proc/self/fd/" + std::to_string(fd), content);
    if (r == kRecordOk) m_nodes[node].content = std::move(content);
    return r;
}

int PowerCutFileSystem::truncate(int fd, long long size) {
    std::lock_guard<std::mutex> g(m_lock);
    if (int r = countCall()) return r;
    return FileSystemWrapper::truncate(fd, size);
}

int PowerCutFileSystem::close(int fd) {
    std::lock_guard<std::mutex> g(m_lock);
    m_fds.erase(fd);
    return FileSystemWrapper::close(fd);
}

int PowerCutFileSystem::rename(const std::string& from, const std::string& to) {
    std::lock_guard<std::mutex> g(m_lock);
    if (int r = countCall()) return r;
    unsigned long long moved = 0, replaced = 0;
    bool hadFrom = inodeOf(from, moved);
    bool hadTo = inodeOf(to, replaced);
    int r = FileSystemWrapper::rename(from, to);
    if (r != kRecordOk || !m_armed) return r;
    // The replaced file is gone for good once nothing refers to it: a new file
    // that gets its inode is another file. So is a file that left the tree.
    if (hadTo && (!hadFrom || replaced != moved) && below(to)) m_inodes.erase(replaced);
    if (hadFrom && below(from) && !below(to)) m_inodes.erase(moved);
    return r;
}

int PowerCutFileSystem::unlink(const std::string& path) {
    std::lock_guard<std::mutex> g(m_lock);
    if (int r = countCall()) return r;
    unsigned long long inode = 0;
    bool had = inodeOf(path, inode);
    int r = FileSystemWrapper::unlink(path);
    if (r == kRecordOk && m_armed && had && below(path)) m_inodes.erase(inode);
    return r;
}

int PowerCutFileSystem::mkdir(const std::string& path) {
    std::lock_guard<std::mutex> g(m_lock);
    if (int r = countCall()) return r;
    return FileSystemWrapper::mkdir(path);
}

int PowerCutFileSystem::list(const std::string& dir, std::vector<std::string>& names) {
    {
        std::lock_guard<std::mutex> g(m_lock);
        if (int r = readGate()) return r;
    }
    return FileSystemWrapper::list(dir, names);
}

int PowerCutFileSystem::stat(const std::string& path, FileStat& st) {
    {
        std::lock_guard<std::mutex> g(m_lock);
        if (int r = readGate()) return r;
    }
    return FileSystemWrapper::stat(path, st);
}

int PowerCutFileSystem::freeSpace(const std::string& path, long long& bytes) {
    {
        std::lock_guard<std::mutex> g(m_lock);
        if (int r = readGate()) return r;
    }
    return FileSystemWrapper::freeSpace(path, bytes);
}

int PowerCutFileSystem::syncDir(const std::string& dir) {
    std::lock_guard<std::mutex> g(m_lock);
    if (int r = countCall()) return r;
    int r = FileSystemWrapper::syncDir(dir);
    if (r != kRecordOk || !m_armed) return r;
    ++m_syncDirs;
    if (!below(dir)) return r;
    int node = nodeOfPath(dir);
    return node < 0 ? kRecordNotFound : snapshotDir(dir, node);
}

// REQUIRES: m_lock held (as for every private helper).
int PowerCutFileSystem::countCall() {
    if (!m_armed) return kRecordOk;
    ++m_ops;
    if (m_crashed) return kRecordIOError;
    if (m_countdown > 0 && --m_countdown == 0) {
        m_crashed = true;
        return kRecordIOError;
    }
    return kRecordOk;
}

int PowerCutFileSystem::readGate() {
    return m_armed && m_crashed && !m_readsAfterCrash ? kRecordIOError : kRecordOk;
}

bool PowerCutFileSystem::below(const std::string& path) const {
    const std::string p = fsutil::normalize(path);
    return p.size() > m_root.size() ? p.compare(0, m_root.size() + 1, m_root + "/") == 0
                                    : p == m_root;
}

int PowerCutFileSystem::nodeOf(unsigned long long inode, bool isDir) {
    auto it = m_inodes.find(inode);
    if (it != m_inodes.end() && m_nodes[it->second].isDir == isDir) return it->second;
    m_nodes.emplace_back();
    m_nodes.back().isDir = isDir;
    const int node = static_cast<int>(m_nodes.size()) - 1;
    m_inodes[inode] = node;
    return node;
}

int PowerCutFileSystem::nodeOfPath(const std::string& path) {
    struct stat s;
    if (::lstat(path.c_str(), &s) != 0 || static_cast<unsigned long long>(s.st_dev) != m_device) {
        return -1;
    }
    if (!S_ISDIR(s.st_mode) && !S_ISREG(s.st_mode)) return -1;
    return nodeOf(static_cast<unsigned long long>(s.st_ino), S_ISDIR(s.st_mode));
}

// Takes the folder's current names as its durable entries.
int PowerCutFileSystem::snapshotDir(const std::string& dir, int node) {
    std::vector<std::string> names;
    int r = FileSystemWrapper::list(dir, names);
    if (r != kRecordOk) return r;
    std::map<std::string, int> entries;
    for (const std::string& name : names) {
        int child = nodeOfPath(fsutil::join(dir, name));
        if (child >= 0) entries[name] = child;
    }
    m_nodes[node].entries = std::move(entries);
    return kRecordOk;
}

// Takes the whole tree below `dir` as durable.
int PowerCutFileSystem::scan(const std::string& dir, int node) {
    int r = snapshotDir(dir, node);
    const std::map<std::string, int> entries = m_nodes[node].entries;
    for (auto e = entries.begin(); r == kRecordOk && e != entries.end(); ++e) {
        const std::string path = fsutil::join(dir, e->first);
        if (m_nodes[e->second].isDir) {
            r = scan(path, e->second);
        } else {
            std::string content;
            r = readAll(path, content);
            m_nodes[e->second].content = std::move(content);
        }
    }
    return r;
}

// Writes the durable entries of `node` below `path`. `chain` holds the
// folders above, so that a folder durable inside itself ends the walk.
int PowerCutFileSystem::build(const std::string& path, int node, std::vector<int>& chain) {
    for (const auto& [name, child] : m_nodes[node].entries) {
        const std::string p = fsutil::join(path, name);
        if (!m_nodes[child].isDir) {
            const std::string& content = m_nodes[child].content;
            std::ofstream out(p, std::ios::binary | std::ios::trunc);
            out.write(content.data(), static_cast<std::streamsize>(content.size()));
            if (!out) return kRecordIOError;
            continue;
        }
        if (std::find(chain.begin(), chain.end(), child) != chain.end()) continue;
        if (::mkdir(p.c_str(), 0755) != 0) return resultFromErrno(errno);
        chain.push_back(child);
        int r = build(p, child, chain);
        chain.pop_back();
        if (r != kRecordOk) return r;
    }
    return kRecordOk;
}

void PowerCutFileSystem::disarm() {
    m_armed = false;
    m_nodes.clear();
    m_inodes.clear();
    m_fds.clear();
    m_rootNode = -1;
    m_countdown = 0;
    m_crashed = false;
}

}  // namespace rectest
