// A test bed for the benchmarks of whole moves: a local record disk and a
// prepared backup disk in a temporary folder on the machine's real disk,
// recordings of N synthetic cameras kept as a pristine copy, and helpers to
// restore them, run the manager's jobs and count file-system calls.
#ifndef BENCH_MOVEBED_H
#define BENCH_MOVEBED_H

#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "BackupServiceManager.h"
#include "RecordDiskManagerImpl.h"
#include "RecordInfo.h"
#include "SyntheticCamera.h"
#include "config/RecorderConfig.h"
#include "store/BackupDisk.h"
#include "store/FileSystem.h"
#include "store/MoveLedger.h"

namespace benchbed {

namespace fs = std::filesystem;

inline double nowSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

inline double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Process CPU time (user + system), seconds.
inline double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Process CPU time spent in the kernel, seconds.
inline double systemCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6;
}

// A field of /proc/self/status ("VmRSS" in kB, "Threads").
inline long procStatus(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::string key = std::string(field) + ":";
    while (std::getline(in, line)) {
        if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + key.size());
    }
    return -1;
}

// Counts the calls that cost the disk or the kernel most.
class CountingFileSystem : public FileSystemWrapper {
  public:
    CountingFileSystem() : FileSystemWrapper(posixFileSystem()) {}
    std::atomic<long> fsyncs{0}, syncDirs{0}, freeSpaces{0}, opens{0}, stats{0}, lists{0};
    std::atomic<long long> syncNs{0};  // time spent in fsync and syncDir, all threads
    void reset() {
        for (std::atomic<long>* c : {&fsyncs, &syncDirs, &freeSpaces, &opens, &stats, &lists}) {
            c->store(0);
        }
        syncNs.store(0);
    }
    int fsync(int fd) override {
        ++fsyncs;
        const double t0 = nowSeconds();
        const int r = FileSystemWrapper::fsync(fd);
        syncNs += static_cast<long long>((nowSeconds() - t0) * 1e9);
        return r;
    }
    int syncDir(const std::string& dir) override {
        ++syncDirs;
        const double t0 = nowSeconds();
        const int r = FileSystemWrapper::syncDir(dir);
        syncNs += static_cast<long long>((nowSeconds() - t0) * 1e9);
        return r;
    }
    int freeSpace(const std::string& path, long long& bytes) override {
        ++freeSpaces;
        return FileSystemWrapper::freeSpace(path, bytes);
    }
    int open(const std::string& path, int mode, int& fd) override {
        ++opens;
        return FileSystemWrapper::open(path, mode, fd);
    }
    int stat(const std::string& path, FileStat& st) override {
        ++stats;
        return FileSystemWrapper::stat(path, st);
    }
    int list(const std::string& dir, std::vector<std::string>& names) override {
        ++lists;
        return FileSystemWrapper::list(dir, names);
    }
};

class Bed {
  public:
    // `cameras` cameras of device "bench", one record disk, one backup disk.
    explicit Bed(int cameras) : m_cameras(cameras) {
        char pattern[] = "/tmp/nvr-bench-XXXXXX";
        m_root = ::mkdtemp(pattern);
        m_config.recordDirs = {
            makeRecordDir(m_root + "/disks/local", RecordDirInfoEx::kAttributeLocal)};
        m_config.backupDirs = {
            makeRecordDir(m_root + "/disks/backup", RecordDirInfoEx::kAttributeBackup)};
        for (int c = 1; c <= cameras; ++c) m_config.policies.push_back({"bench", c, 1});
    }
    ~Bed() { fs::remove_all(m_root); }

    const std::string& root() const { return m_root; }
    int cameras() const { return m_cameras; }
    long long bytes() const { return m_bytes; }
    int sourceFiles() const { return m_files; }
    long long nodes() const { return m_nodes; }
    // The source data files of camera `camera` (1-based) as recorded, oldest
    // first, in the pristine copy.
    std::vector<std::string> pristineFiles(int camera) const {
        const std::size_t local = (m_root + "/disks/local").size();
        std::vector<std::string> paths;
        for (const std::string& p : m_paths[static_cast<std::size_t>(camera - 1)]) {
            paths.push_back(m_root + "/pristine/local" + p.substr(local));
        }
        return paths;
    }

    // Records `seconds` of every camera (none: empty disks) in files of
    // `fileSeconds`, and keeps the disks as the pristine copy.
    void record(double seconds, int fileSeconds) {
        fs::remove_all(m_root + "/disks");
        fs::create_directories(m_root + "/disks/local");
        fs::create_directories(m_root + "/disks/backup");
        std::string diskId;
        if (BackupDisk::prepare(*posixFileSystem(), m_root + "/disks/backup", diskId) != 0) {
            std::abort();
        }
        RecordDiskManagerImpl::setConfiguration(m_config);
        m_bytes = 0;
        m_files = 0;
        m_nodes = 0;
        m_paths.assign(static_cast<std::size_t>(m_cameras), {});
        for (int c = 1; c <= m_cameras && seconds > 0; ++c) {
            SyntheticCamera camera(m_config.recordDirs[0], "bench", "10.0.0.1", c);
            SyntheticStreamOptions options;
            if (camera.record(options, seconds, 1700000000000LL, fileSeconds) <= 0) std::abort();
            for (const auto& f : camera.files()) {
                m_bytes += f.getFileSize();
                m_nodes += f.getNodeCount();
                m_paths[static_cast<std::size_t>(c - 1)].push_back(f.createRecordFileName());
            }
            m_files += static_cast<int>(camera.files().size());
        }
        fs::remove_all(m_root + "/pristine");
        fs::copy(m_root + "/disks", m_root + "/pristine", fs::copy_options::recursive);
        shell("sync");
    }

    // The disks as recorded, synced, and the bed's configuration in force.
    void restore() {
        RecordDiskManagerImpl::setConfiguration(m_config);
        fs::remove_all(m_root + "/disks");
        fs::remove_all(m_root + "/copy");
        fs::copy(m_root + "/pristine", m_root + "/disks", fs::copy_options::recursive);
        shell("sync");
    }

    static RecordInfo info(int camera) {
        RecordInfo info;
        info.setDeviceId("bench");
        info.setDeviceIP("10.0.0.1");
        info.setCameraId(camera);
        return info;
    }

    // Source record files that left their disk so far (moved now or released).
    static long long sourcesGone() {
        const MoveLedger::Counters c = MoveLedger::instance().counters();
        return c.removedNow + c.released;
    }

    static void shell(const std::string& command) {
        if (std::system(command.c_str()) != 0) std::abort();
    }

  private:
    int m_cameras;
    std::string m_root;
    RecorderConfig m_config;
    long long m_bytes = 0;
    long long m_nodes = 0;
    int m_files = 0;
    std::vector<std::vector<std::string>> m_paths;  // per camera, as recorded
};

}  // namespace benchbed

#endif  // BENCH_MOVEBED_H
