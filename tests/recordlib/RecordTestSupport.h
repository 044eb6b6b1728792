// Shared helpers of the record-library tests: a temporary folder, a
// fault-injecting file system, hand-made TS packet runs and a log catcher.
#ifndef TESTS_RECORDLIB_RECORDTESTSUPPORT_H
#define TESTS_RECORDLIB_RECORDTESTSUPPORT_H

#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "FileSystem.h"
#include "Logger.h"
#include "RecordDiskManagerImpl.h"
#include "RecordResult.h"
#include "Singlton.h"

namespace rectest {

// A fresh folder under the system's temporary folder, removed afterwards.
class TempDir {
  public:
    TempDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "recordlib-XXXXXX").string();
        char* made = mkdtemp(pattern.data());
        if (made != nullptr) m_path = made;
    }
    ~TempDir() {
        std::error_code ec;
        if (!m_path.empty()) std::filesystem::remove_all(m_path, ec);
    }
    const std::string& path() const { return m_path; }
    std::string sub(const std::string& name) const { return m_path + "/" + name; }

  private:
    std::string m_path;
};

// Forwards to the POSIX file system and fails what it is told to:
// - failWrite(code, after): the write after `after` further successful
//   writes fails with `code` (once, or every time with persistent),
// - failOn(op, code): every call of that operation fails,
// - vanish(prefix): every path under `prefix` is gone (kRecordNotFound),
// - setFreeSpace(bytes): what freeSpace answers.
// Every call is counted and recorded by name, in order.
class FaultFileSystem : public FileSystemWrapper {
  public:
    FaultFileSystem() : FileSystemWrapper(posixFileSystem()) {}

    void failWrite(int code, int after, bool persistent) {
        std::lock_guard<std::mutex> g(m_lock);
        m_writeCode = code;
        m_writesLeft = after;
        m_persistent = persistent;
    }
    void failOn(const std::string& op, int code) {
        std::lock_guard<std::mutex> g(m_lock);
        m_failOps[op] = code;
    }
    void vanish(const std::string& prefix) {
        std::lock_guard<std::mutex> g(m_lock);
        m_vanished = prefix;
    }
    void setFreeSpace(long long bytes) {
        std::lock_guard<std::mutex> g(m_lock);
        m_freeSpace = bytes;
    }
    void clear() {
        std::lock_guard<std::mutex> g(m_lock);
        m_writeCode = 0;
        m_failOps.clear();
        m_vanished.clear();
        m_freeSpace = -1;
    }
    // The operations so far ("open:<path>", "write:<fd>", "fsync:<fd>", ...).
    std::vector<std::string> calls() const {
        std::lock_guard<std::mutex> g(m_lock);
        return m_calls;
    }
    void clearCalls() {
        std::lock_guard<std::mutex> g(m_lock);
        m_calls.clear();
    }

    int open(const std::string& path, int mode, int& fd) override {
        if (int r = check("open", path)) return r;
        int r = FileSystemWrapper::open(path, mode, fd);
        if (r == 0) note("fd" + std::to_string(fd) + "=" + path);
        return r;
    }
    int write(int fd, const char* buffer, int count) override {
        {
            std::lock_guard<std::mutex> g(m_lock);
            m_calls.push_back("write:" + std::to_string(fd));
            if (m_writeCode != 0) {
                if (m_writesLeft == 0) {
                    int code = m_writeCode;
                    if (!m_persistent) m_writeCode = 0;
                    return code;
                }
                --m_writesLeft;
            }
        }
        return FileSystemWrapper::write(fd, buffer, count);
    }
    int fsync(int fd) override {
        if (int r = check("fsync", std::to_string(fd))) return r;
        return FileSystemWrapper::fsync(fd);
    }
    int rename(const std::string& from, const std::string& to) override {
        if (int r = check("rename", from)) return r;
        if (int r = vanished(to)) return r;
        return FileSystemWrapper::rename(from, to);
    }
    int unlink(const std::string& path) override {
        if (int r = check("unlink", path)) return r;
        return FileSystemWrapper::unlink(path);
    }
    int mkdir(const std::string& path) override {
        if (int r = check("mkdir", path)) return r;
        return FileSystemWrapper::mkdir(path);
    }
    int list(const std::string& dir, std::vector<std::string>& names) override {
        if (int r = check("list", dir)) return r;
        return FileSystemWrapper::list(dir, names);
    }
    int stat(const std::string& path, FileStat& st) override {
        if (int r = check("stat", path)) return r;
        return FileSystemWrapper::stat(path, st);
    }
    int freeSpace(const std::string& path, long long& bytes) override {
        if (int r = check("freeSpace", path)) return r;
        {
            std::lock_guard<std::mutex> g(m_lock);
            if (m_freeSpace >= 0) {
                bytes = m_freeSpace;
                return 0;
            }
        }
        return FileSystemWrapper::freeSpace(path, bytes);
    }
    int syncDir(const std::string& dir) override {
        if (int r = check("syncDir", dir)) return r;
        return FileSystemWrapper::syncDir(dir);
    }

  private:
    int vanished(const std::string& path) {
        std::lock_guard<std::mutex> g(m_lock);
        if (!m_vanished.empty() && path.compare(0, m_vanished.size(), m_vanished) == 0) {
            return kRecordNotFound;
        }
        return 0;
    }
    int check(const std::string& op, const std::string& arg) {
        note(op + ":" + arg);
        if (op != "fsync") {
            if (int r = vanished(arg)) return r;
        }
        std::lock_guard<std::mutex> g(m_lock);
        auto it = m_failOps.find(op);
        return it == m_failOps.end() ? 0 : it->second;
    }
    void note(const std::string& call) {
        std::lock_guard<std::mutex> g(m_lock);
        m_calls.push_back(call);
    }

    mutable std::mutex m_lock;
    int m_writeCode = 0;
    int m_writesLeft = 0;
    bool m_persistent = false;
    std::map<std::string, int> m_failOps;
    std::string m_vanished;
    long long m_freeSpace = -1;
    std::vector<std::string> m_calls;
};

// Installs a file system for the lifetime of the object.
class FileSystemScope {
  public:
    explicit FileSystemScope(FileSystem* fs) { RecordDiskManagerImpl::setFileSystem(fs); }
    ~FileSystemScope() { RecordDiskManagerImpl::setFileSystem(nullptr); }
};

// Collects the log entries of one category while it lives.
class LogCatcher {
  public:
    explicit LogCatcher(const std::string& category) : m_category(category) {
        Logger::setObserver(
            [this](const std::string& cat, const std::string& message, const std::string&, int) {
                if (cat != m_category) return;
                std::lock_guard<std::mutex> g(m_lock);
                m_messages.push_back(message);
            });
    }
    ~LogCatcher() { Logger::setObserver(Logger::Observer()); }
    std::vector<std::string> messages() const {
        std::lock_guard<std::mutex> g(m_lock);
        return m_messages;
    }
    bool contains(const std::string& part) const {
        for (const std::string& m : messages()) {
            if (m.find(part) != std::string::npos) return true;
        }
        return false;
    }

  private:
    std::string m_category;
    mutable std::mutex m_lock;
    std::vector<std::string> m_messages;
};

// `count` TS packets with sync bytes, each filled with a byte derived from
// `seed` and its position, so that data mixed up between nodes is noticed.
inline std::vector<char> packets(int count, int seed) {
    std::vector<char> data(static_cast<size_t>(count) * 188);
    for (int i = 0; i < count; ++i) {
        char* p = &data[static_cast<size_t>(i) * 188];
        p[0] = 0x47;
        p[1] = 0x01;
        p[2] = 0x00;
        p[3] = static_cast<char>(0x10 | (i & 0x0f));
        for (int k = 4; k < 188; ++k) p[k] = static_cast<char>(seed * 31 + i * 7 + k);
    }
    return data;
}

// Configures the disk manager and drops every singleton afterwards, so each
// test starts with a fresh instance.
class ConfigScope {
  public:
    explicit ConfigScope(const RecorderConfig& config) {
        destroyAllSingltonInstances();
        RecordDiskManagerImpl::setConfiguration(config);
    }
    ~ConfigScope() {
        destroyAllSingltonInstances();
        RecordDiskManagerImpl::setConfiguration(RecorderConfig());
    }
};

}  // namespace rectest

#endif  // TESTS_RECORDLIB_RECORDTESTSUPPORT_H
