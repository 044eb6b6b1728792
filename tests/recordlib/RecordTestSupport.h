// Helpers shared by the record-library and tools tests: a temporary
// folder, a fault-injecting file system, TS packets, recorded files, logs.
#ifndef TESTS_RECORDLIB_RECORDTESTSUPPORT_H
#define TESTS_RECORDLIB_RECORDTESTSUPPORT_H

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "../support/TestHost.h"
#include "LocalRecorder.h"
#include "Logger.h"
#include "RecordDiskManagerImpl.h"
#include "RecordResult.h"
#include "Singlton.h"
#include "store/BackupRecordWriter.h"
#include "store/FileSystem.h"

namespace rectest {

// Forwards to the POSIX file system and fails what it is told (write, fsync,
// list, freeSpace): failAt(op, path, code) that operation on that path,
// failOn(op, code) every call of it, failWrite(code, after) once the write
// after `after` good ones; setFreeSpace fixes what freeSpace answers.
class FaultFileSystem : public FileSystemWrapper {
  public:
    FaultFileSystem() : FileSystemWrapper(posixFileSystem()) {}

    void failAt(const std::string& op, const std::string& path, int code) {
        std::lock_guard<std::mutex> g(m_lock);
        m_fail[op + ":" + fsutil::normalize(path)] = code;
    }
    void failOn(const std::string& op, int code) { failAt(op, "", code); }
    void failWrite(int code, int after) {
        std::lock_guard<std::mutex> g(m_lock);
        m_write = {code, after};
    }
    void setFreeSpace(long long bytes) {
        std::lock_guard<std::mutex> g(m_lock);
        m_freeSpace = bytes;
    }
    void clear() {
        std::lock_guard<std::mutex> g(m_lock);
        m_fail.clear();
        m_write = {};
        m_freeSpace = -1;
    }

    int write(int fd, const char* buffer, int count) override {
        if (int r = check("write", std::to_string(fd))) return r;
        return FileSystemWrapper::write(fd, buffer, count);
    }
    int fsync(int fd) override {
        if (int r = check("fsync", std::to_string(fd))) return r;
        return FileSystemWrapper::fsync(fd);
    }
    int list(const std::string& dir, std::vector<std::string>& names) override {
        if (int r = check("list", dir)) return r;
        return FileSystemWrapper::list(dir, names);
    }
    int freeSpace(const std::string& p, long long& bytes) override {
        if (int r = check("freeSpace", p)) return r;
        std::unique_lock<std::mutex> g(m_lock);
        bytes = m_freeSpace;
        g.unlock();
        return bytes >= 0 ? 0 : FileSystemWrapper::freeSpace(p, bytes);
    }

  private:
    int check(const std::string& op, const std::string& arg) {
        std::lock_guard<std::mutex> g(m_lock);
        if (op == "write" && m_write.first != 0 && m_write.second-- == 0) {
            return std::exchange(m_write, {}).first;
        }
        for (const std::string& key : {op + ":" + fsutil::normalize(arg), op + ":"}) {
            if (m_fail.count(key) != 0) return m_fail[key];
        }
        return 0;
    }

    mutable std::mutex m_lock;
    std::pair<int, int> m_write;        // a write's code, and the good writes before it
    std::map<std::string, int> m_fail;  // "op:path" (or "op:" for all) -> code
    long long m_freeSpace = -1;
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

// `count` TS packets with sync bytes, each filled with a byte derived from
// `seed` and its position, so that data mixed up between nodes is noticed.
inline std::vector<char> packets(int count, int seed) {
    std::vector<char> data(static_cast<size_t>(count) * 188);
    for (int i = 0; i < count; ++i) {
        char* p = &data[static_cast<size_t>(i) * 188];
        for (int k = 4; k < 188; ++k) p[k] = static_cast<char>(seed * 31 + i * 7 + k);
        p[0] = 0x47, p[1] = 0x01, p[2] = 0x00, p[3] = static_cast<char>(0x10 | (i & 0x0f));
    }
    return data;
}

// Records one complete file of `nodes` nodes of packets(perNode, seed * 100 +
// node), 500 ms each, the first one a key frame unless `firstKey` is false.
inline RecordFileInfo recordFile(const RecordDirInfoEx& dir, const std::string& device,
                                 const std::string& ip, int camera, long long begin, int nodes,
                                 int perNode = 1, int seed = 0, bool firstKey = true) {
    LocalRecorder rec(dir, device, ip, camera);
    AVStreamInfo s;
    s.setEncoderType(1), s.setImageWidth(640), s.setImageHeight(360);
    EXPECT_EQ(kRecordOk, rec.startFile(begin, s));
    for (int i = 0; i < nodes; ++i) {
        std::vector<char> d = packets(perNode, seed * 100 + i);
        EXPECT_EQ(kRecordOk, rec.addNode(d.data(), static_cast<int>(d.size()), begin + i * 500, 500,
                                         i == 0 && firstKey));
    }
    EXPECT_EQ(kRecordOk, rec.finishFile());
    return rec.currentFile();
}

// Configures the disk manager; drops every singleton before and after.
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

}  // namespace rectest

#endif  // TESTS_RECORDLIB_RECORDTESTSUPPORT_H