#include "PowerCutFileSystem.h"

#include <sys/stat.h>

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
    std::ifstream in(path, std::ios::binary);
    out.assign(std::istreambuf_iterator<char>(in), {});
    return in.is_open() && !in.bad() ? kRecordOk : kRecordIOError;
}

// The inode behind `path` (the link itself, not what it points to).
bool inodeOf(const std::string& path, unsigned long long& inode) {
    struct stat s;
    if (::lstat(path.c_str(), &s) != 0) return false;
    inode = static_cast<unsigned long long>(s.st_ino);
    return true;
}

}  // namespace

int PowerCutFileSystem::arm(const std::string& root) {
    std::lock_guard<std::mutex> g(m_lock);
    reset();
    struct stat s;
    if (::stat(root.c_str(), &s) != 0) return resultFromErrno(errno);
    m_root = fsutil::normalize(root);
    m_device = static_cast<unsigned long long>(s.st_dev);
    if (nodeOf(m_root) != 0 || !m_nodes[0].isDir) return kRecordNotFound;
    const int r = snapshotDir(m_root, 0, true);  // the tree as it is now is durable
    m_armed = r == kRecordOk;
    return r;
}

void PowerCutFileSystem::crashAfter(int n) {
    std::lock_guard<std::mutex> g(m_lock);
    if (m_armed) m_countdown = std::max(n, 0);
}

int PowerCutFileSystem::cut() {
    std::lock_guard<std::mutex> g(m_lock);
    if (!m_armed) return kRecordFailed;
    std::error_code ec;
    std::vector<std::string> children;
    if (FileSystemWrapper::list(m_root, children) != kRecordOk) return kRecordIOError;
    for (const std::string& name : children) {
        std::filesystem::remove_all(m_root + "/" + name, ec);
        if (ec) break;  // what is left would pass for durable
    }
    std::vector<int> chain{0};
    const int r = ec ? kRecordIOError : build(m_root, 0, chain);
    reset();
    return r;
}

int PowerCutFileSystem::open(const std::string& path, int mode, int& fd) {
    std::lock_guard<std::mutex> g(m_lock);
    int r = mode == kRead ? kRecordOk : countCall();
    if (r == kRecordOk) r = FileSystemWrapper::open(path, mode, fd);
    // The file behind the descriptor, so that an fsync after an unlink or a
    // rename still finds it.
    const int node = r == kRecordOk && m_armed && below(path) ? nodeOf(path, fd) : -1;
    if (node >= 0) m_fds[fd] = node;
    return r;
}

int PowerCutFileSystem::write(int fd, const char* buffer, int count) {
    std::lock_guard<std::mutex> g(m_lock);
    return countCall() != kRecordOk ? kRecordIOError : FileSystemWrapper::write(fd, buffer, count);
}

int PowerCutFileSystem::truncate(int fd, long long size) {
    std::lock_guard<std::mutex> g(m_lock);
    return countCall() != kRecordOk ? kRecordIOError : FileSystemWrapper::truncate(fd, size);
}

int PowerCutFileSystem::mkdir(const std::string& path) {
    std::lock_guard<std::mutex> g(m_lock);
    return countCall() != kRecordOk ? kRecordIOError : FileSystemWrapper::mkdir(path);
}

int PowerCutFileSystem::fsync(int fd) {
    std::lock_guard<std::mutex> g(m_lock);
    if (int r = countCall()) return r;
    int r = FileSystemWrapper::fsync(fd);
    if (r != kRecordOk || !m_armed) return r;
    auto it = m_fds.find(fd);
    if (it == m_fds.end() || m_nodes[it->second].isDir) return r;  // not below the root
    return readAll("/proc/self/fd/" + std::to_string(fd), m_nodes[it->second].content);
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
    const bool hadFrom = inodeOf(from, moved), hadTo = inodeOf(to, replaced);
    const int r = FileSystemWrapper::rename(from, to);
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
    const bool had = inodeOf(path, inode);
    const int r = FileSystemWrapper::unlink(path);
    if (r == kRecordOk && m_armed && had && below(path)) m_inodes.erase(inode);
    return r;
}

int PowerCutFileSystem::syncDir(const std::string& dir) {
    std::lock_guard<std::mutex> g(m_lock);
    if (int r = countCall()) return r;
    const int r = FileSystemWrapper::syncDir(dir);
    if (r != kRecordOk || !m_armed) return r;
    if (!below(dir)) return r;
    const int node = nodeOf(dir);
    return node < 0 ? kRecordNotFound : snapshotDir(dir, node, false);
}

// REQUIRES: m_lock held (as for every private helper).
void PowerCutFileSystem::reset() {
    m_armed = m_crashed = false;
    m_nodes.clear();
    m_inodes.clear();
    m_fds.clear();
    m_countdown = 0;
    m_ops = 0;
}

int PowerCutFileSystem::countCall() {
    if (!m_armed) return kRecordOk;
    ++m_ops;
    if (!m_crashed && m_countdown > 0 && --m_countdown == 0) m_crashed = true;
    return m_crashed ? kRecordIOError : kRecordOk;
}

bool PowerCutFileSystem::below(const std::string& path) const {
    const std::string p = fsutil::normalize(path);
    return p.size() > m_root.size() ? p.compare(0, m_root.size() + 1, m_root + "/") == 0
                                    : p == m_root;
}

// The node of the file or folder at `path` (or open as `fd`), made on first
// sight of its inode; -1 for anything else or on another device.
int PowerCutFileSystem::nodeOf(const std::string& path, int fd) {
    struct stat s;
    if ((fd >= 0 ? ::fstat(fd, &s) : ::lstat(path.c_str(), &s)) != 0) return -1;
    const bool isDir = S_ISDIR(s.st_mode);
    if (static_cast<unsigned long long>(s.st_dev) != m_device || (!isDir && !S_ISREG(s.st_mode))) {
        return -1;
    }
    const auto inode = static_cast<unsigned long long>(s.st_ino);
    auto it = m_inodes.find(inode);
    if (it != m_inodes.end() && m_nodes[it->second].isDir == isDir) return it->second;
    m_nodes.emplace_back();
    m_nodes.back().isDir = isDir;
    return m_inodes[inode] = static_cast<int>(m_nodes.size()) - 1;
}

// Takes the folder's current names as its durable entries; with `recurse`,
// the whole tree below it with the files' current content.
int PowerCutFileSystem::snapshotDir(const std::string& dir, int node, bool recurse) {
    std::vector<std::string> names;
    int r = FileSystemWrapper::list(dir, names);
    std::map<std::string, int> entries;
    for (const std::string& name : names) {
        const std::string path = fsutil::join(dir, name);
        const int child = nodeOf(path);
        if (child < 0) continue;
        entries[name] = child;
        if (!recurse || r != kRecordOk) continue;
        r = m_nodes[child].isDir ? snapshotDir(path, child, true)
                                 : readAll(path, m_nodes[child].content);
    }
    m_nodes[node].entries = std::move(entries);
    return r;
}

// Writes the durable entries of `node` below `path`. `chain` holds the
// folders above, so that a folder durable inside itself ends the walk.
int PowerCutFileSystem::build(const std::string& path, int node, std::vector<int>& chain) {
    for (const auto& [name, child] : m_nodes[node].entries) {
        const std::string p = fsutil::join(path, name);
        if (!m_nodes[child].isDir) {
            std::ofstream out(p, std::ios::binary | std::ios::trunc);
            out << m_nodes[child].content;
            if (!out) return kRecordIOError;
            continue;
        }
        if (std::find(chain.begin(), chain.end(), child) != chain.end()) continue;
        if (::mkdir(p.c_str(), 0755) != 0) return resultFromErrno(errno);
        chain.push_back(child);
        const int r = build(p, child, chain);
        chain.pop_back();
        if (r != kRecordOk) return r;
    }
    return kRecordOk;
}

}  // namespace rectest
