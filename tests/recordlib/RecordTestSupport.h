// Shared helpers of the record-library tests: a temporary folder, a
// fault-injecting file system, hand-made TS packet runs, recorded files, a
// log catcher and a shell runner for the decoder checks.
#ifndef TESTS_RECORDLIB_RECORDTESTSUPPORT_H
#define TESTS_RECORDLIB_RECORDTESTSUPPORT_H

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "LocalRecorder.h"
#include "Logger.h"
#include "RecordDiskManagerImpl.h"
#include "RecordResult.h"
#include "Singlton.h"
#include "store/BackupRecordWriter.h"
#include "store/FileSystem.h"

namespace rectest {

// A fresh folder under the system's temporary folder, removed afterwards.
class TempDir {
  public:
    TempDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "recordlib-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) m_path = pattern;
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
// - failAt(op, path, code): that operation fails on that one path,
// - vanish(prefix): every path under `prefix` is gone (kRecordNotFound),
// - setFreeSpace(bytes): what freeSpace answers.
// Every call is recorded in order ("open:<path>", "fd3=<path>", "write:3").
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
    void failAt(const std::string& op, const std::string& path, int code) {
        std::lock_guard<std::mutex> g(m_lock);
        m_failAt[op + ":" + fsutil::normalize(path)] = code;
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
        m_failAt.clear();
        m_vanished.clear();
        m_freeSpace = -1;
    }
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
            if (m_writeCode != 0 && m_writesLeft-- == 0) {
                int code = m_writeCode;
                if (m_persistent) {
                    m_writesLeft = 0;
                } else {
                    m_writeCode = 0;
                }
                return code;
            }
        }
        return FileSystemWrapper::write(fd, buffer, count);
    }
    int fsync(int fd) override {
        int r = check("fsync", std::to_string(fd), false);
        return r != 0 ? r : FileSystemWrapper::fsync(fd);
    }
    int rename(const std::string& from, const std::string& to) override {
        int r = check("rename", from);
        if (r == 0) r = vanished(to);
        return r != 0 ? r : FileSystemWrapper::rename(from, to);
    }
    int unlink(const std::string& p) override {
        int r = check("unlink", p);
        return r != 0 ? r : FileSystemWrapper::unlink(p);
    }
    int mkdir(const std::string& p) override {
        int r = check("mkdir", p);
        return r != 0 ? r : FileSystemWrapper::mkdir(p);
    }
    int list(const std::string& dir, std::vector<std::string>& names) override {
        int r = check("list", dir);
        return r != 0 ? r : FileSystemWrapper::list(dir, names);
    }
    int stat(const std::string& p, FileStat& st) override {
        int r = check("stat", p);
        return r != 0 ? r : FileSystemWrapper::stat(p, st);
    }
    int syncDir(const std::string& dir) override {
        int r = check("syncDir", dir);
        return r != 0 ? r : FileSystemWrapper::syncDir(dir);
    }
    int freeSpace(const std::string& path, long long& bytes) override {
        if (int r = check("freeSpace", path)) return r;
        {
            std::lock_guard<std::mutex> g(m_lock);
            bytes = m_freeSpace;
        }
        return bytes >= 0 ? 0 : FileSystemWrapper::freeSpace(path, bytes);
    }

  private:
    int vanished(const std::string& path) {
        std::lock_guard<std::mutex> g(m_lock);
        bool gone = !m_vanished.empty() && path.rfind(m_vanished, 0) == 0;
        return gone ? kRecordNotFound : 0;
    }
    int check(const std::string& op, const std::string& arg, bool isPath = true) {
        note(op + ":" + arg);
        if (int r = isPath ? vanished(arg) : 0) return r;
        std::lock_guard<std::mutex> g(m_lock);
        auto at = m_failAt.find(op + ":" + (isPath ? fsutil::normalize(arg) : arg));
        if (at != m_failAt.end()) return at->second;
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
    std::map<std::string, int> m_failAt;  // "op:path" -> code
    std::string m_vanished;
    long long m_freeSpace = -1;
    std::vector<std::string> m_calls;
};

// Installs a file system for the lifetime of the object.
class FileSystemScope {
  public:
    explicit FileSystemScope(FileSystem* fs) { RecordDiskManagerImpl::setFileSystem(fs); }
    ~FileSystemScope() {
        // Backup files closed in the background still use the file system.
        BackupRecordWriter::waitForClosedFiles();
        RecordDiskManagerImpl::setFileSystem(nullptr);
    }
};

// Collects the log entries of one category while it lives.
class LogCatcher {
  public:
    explicit LogCatcher(const std::string& category) : m_category(category) {
        Logger::setObserver(
            [this](const std::string& cat, const std::string& message, const std::string&, int) {
                std::lock_guard<std::mutex> g(m_lock);
                if (cat == m_category) m_messages.push_back(message);
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

// Records one complete file of `nodes` nodes of packets(perNode, seed * 100 +
// node), 500 ms each, the first one a key frame.
inline RecordFileInfo recordFile(const RecordDirInfoEx& dir, const std::string& device,
                                 const std::string& ip, int camera, long long begin, int nodes,
                                 int perNode = 1, int seed = 0) {
    LocalRecorder rec(dir, device, ip, camera);
    AVStreamInfo s;
    s.setEncoderType(1);
    s.setImageWidth(640);
    s.setImageHeight(360);
    EXPECT_EQ(kRecordOk, rec.startFile(begin, s));
    for (int i = 0; i < nodes; ++i) {
        std::vector<char> d = packets(perNode, seed * 100 + i);
        EXPECT_EQ(kRecordOk,
                  rec.addNode(d.data(), static_cast<int>(d.size()), begin + i * 500, 500, i == 0));
    }
    EXPECT_EQ(kRecordOk, rec.finishFile());
    return rec.currentFile();
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
        BackupRecordWriter::waitForClosedFiles();
        destroyAllSingltonInstances();
        RecordDiskManagerImpl::setConfiguration(RecorderConfig());
    }
};

// Runs a shell command; answers what it printed on both outputs.
inline std::string run(const std::string& command) {
    std::string out;
    FILE* p = popen((command + " 2>&1").c_str(), "r");
    if (p == nullptr) return "popen failed";
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
    pclose(p);
    return out;
}

inline bool haveFfmpeg() {
    return system("ffmpeg -version >/dev/null 2>&1") == 0 &&
           system("ffprobe -version >/dev/null 2>&1") == 0;
}

// The decoder's complaints about a file: empty when it plays cleanly.
inline std::string decodeWarnings(const std::string& path) {
    return run("ffmpeg -nostdin -v warning -i '" + path + "' -f null -");
}

}  // namespace rectest

#endif  // TESTS_RECORDLIB_RECORDTESTSUPPORT_H
