#ifndef TESTS_BACKUP_BACKUPTESTSUPPORT_H
#define TESTS_BACKUP_BACKUPTESTSUPPORT_H

// What the backup tests share: an event log that fakes, hooks and waits write
// to in the order things happened, log and console capture, the source fake,
// a temporary folder and readers of what landed in record files.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "IBackupRecordRetriever.h"
#include "IFile.h"
#include "Logger.h"
#include "RecordFileIndexNodeInfo.h"
#include "RecordFileReader.h"
#include "RecordInfo.h"
#include "RetrieverFileQuery.h"
#include "TSAVData.h"
#include "TaliqTime.h"

namespace backup_test {

struct EventLog {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> events;  // guarded by mutex
};

inline EventLog& eventLog() {
    static EventLog log;
    return log;
}

inline void logEvent(const std::string& event) {
    {
        std::lock_guard<std::mutex> guard(eventLog().mutex);
        eventLog().events.push_back(event);
    }
    eventLog().changed.notify_all();
}

// The events so far, emptying the log.
inline std::vector<std::string> takeEvents() {
    std::lock_guard<std::mutex> guard(eventLog().mutex);
    std::vector<std::string> events;
    events.swap(eventLog().events);
    return events;
}

inline int countEvents(const std::vector<std::string>& events, const std::string& prefix) {
    int count = 0;
    for (const std::string& e : events) count += e.rfind(prefix, 0) == 0;
    return count;
}

// Waits (at most a minute) until `enough` holds for the events not yet taken.
inline bool waitForEvents(const std::function<bool(const std::vector<std::string>&)>& enough) {
    std::unique_lock<std::mutex> lock(eventLog().mutex);
    return eventLog().changed.wait_for(lock, std::chrono::seconds(60),
                                       [&] { return enough(eventLog().events); });
}

// While alive, every TaliqTime::wait logs "wait SEC.USEC".
struct WaitRecorder {
    WaitRecorder() {
        TaliqTime::setWaitObserver([](const TaliqTime& span) {
            logEvent("wait " + std::to_string(span.getSec()) + "." +
                     std::to_string(span.getUsec()));
        });
    }
    ~WaitRecorder() { TaliqTime::setWaitObserver(nullptr); }
};

// Logs "destroyed <name>" when the last holder lets go.
struct Sentinel {
    explicit Sentinel(std::string name) : name(std::move(name)) {}
    ~Sentinel() { logEvent("destroyed " + name); }
    std::string name;
};

// Every log entry written while it lives.
class LogCapture {
  public:
    struct Entry {
        std::string category, message, file;
        int line;
    };
    LogCapture() {
        Logger::setObserver(
            [this](const std::string& c, const std::string& m, const std::string& f, int l) {
                std::lock_guard<std::mutex> guard(m_mutex);
                m_entries.push_back({c, m, f, l});
            });
    }
    ~LogCapture() { Logger::setObserver(Logger::Observer()); }
    std::vector<Entry> entries() const {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_entries;
    }
    bool contains(const std::string& part) const {
        for (const Entry& e : entries()) {
            if (e.message.find(part) != std::string::npos) return true;
        }
        return false;
    }

  private:
    mutable std::mutex m_mutex;
    std::vector<Entry> m_entries;
};

// What `run` prints on standard output.
inline std::string printed(const std::function<void()>& run) {
    ::testing::internal::CaptureStdout();
    run();
    return ::testing::internal::GetCapturedStdout();
}

class MockSource : public IBackupRecordRetriever {
  public:
    ~MockSource() override { destroyed(); }
    MOCK_METHOD(int, open, (const RecordInfo&), (override));
    MOCK_METHOD(int, getTSInfo, (TSAVData*), (override));
    MOCK_METHOD(int, readTSData, (char*, int), (override));
    MOCK_METHOD(int, close, (), (override));
    MOCK_METHOD(void, destroyed, ());
};

inline RecordInfo makeInfo(const std::string& device, int camera, const std::string& ip = "",
                           unsigned begin = 0) {
    RecordInfo info;
    info.setDeviceId(device.c_str());
    info.setDeviceIP(ip.c_str());
    info.setCameraId(camera);
    info.setRecordBeginTime(begin);
    info.setRecordEndTime(begin ? begin + 60 : 0);
    return info;
}

// A fresh folder under /tmp, removed with everything in it afterwards.
struct TempDir {
    TempDir() {
        char pattern[] = "/tmp/nvr-backup-test-XXXXXX";
        if (mkdtemp(pattern) != nullptr) path = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path.empty()) std::filesystem::remove_all(path, ignored);
    }
    std::string path;
};

// Decode time stamps (presentation ones where a PES has no DTS) of the video
// PES (PID 0x100) that start in `data`, in order.
inline std::vector<long long> videoDts(const char* data, size_t length) {
    std::vector<long long> out;
    for (size_t off = 0; off + 188 <= length; off += 188) {
        const unsigned char* p = reinterpret_cast<const unsigned char*>(data + off);
        if (p[0] != 0x47 || (((p[1] & 0x1Fu) << 8) | p[2]) != 0x100 || (p[1] & 0x40) == 0) continue;
        const unsigned char* pes = p + 4 + ((p[3] & 0x20) ? p[4] + 1 : 0);
        if (pes[0] != 0 || pes[1] != 0 || pes[2] != 1 || (pes[7] & 0x80) == 0) continue;
        const unsigned char* t = pes + ((pes[7] & 0x40) ? 14 : 9);
        out.push_back((static_cast<long long>(t[0] & 0x0E) << 29) | (t[1] << 22) |
                      ((t[2] & 0xFE) << 14) | (t[3] << 7) | (t[4] >> 1));
    }
    return out;
}

// One complete record file as its index and data tell it.
struct ReadFile {
    RecordFileInfo info;
    int width = 0, height = 0, encoder = 0;
    std::vector<RecordIndexNode> nodes;
    std::vector<long long> times;  // absolute: file begin + node offset (ms)
    std::vector<char> data;        // only when asked for
};

// The complete files of the device folders `deviceDirs` in `dirs`, oldest first.
inline std::vector<ReadFile> readRecordFiles(const std::vector<RecordDirInfoEx>& dirs,
                                             const std::set<std::string>& deviceDirs,
                                             bool withData) {
    std::vector<ReadFile> files;
    if (deviceDirs.empty()) return files;
    RetrieverFileQuery query;
    query.setRecordDirInfo(dirs);
    query.setDeviceList(deviceDirs);
    std::vector<RecordFileInfo> infos;
    query.listRecordFiles(infos, true);
    for (const RecordFileInfo& info : infos) {
        ReadFile f;
        f.info = info;
        SafePointer<IFile> file;
        RecordFileIndexNodeInfo walk;
        // Only the nodes: a job may be reading the file meanwhile.
        const int r = withData ? openRecordFileForRead(info, file, walk)
                               : readRecordFileNodes(info, walk);
        EXPECT_EQ(0, r) << info.createRecordFileName();
        if (r != 0) break;
        f.width = walk.getImageWidth();
        f.height = walk.getImageHeight();
        f.encoder = walk.getEncodeType();
        while (walk.seekNext()) {
            RecordIndexNode node;
            walk.getCurrentNodeInfo(node);
            f.nodes.push_back(node);
            f.times.push_back(walk.getFileBeginTime() + node.getTimeOffset());
            if (!withData) continue;
            const size_t at = f.data.size();
            f.data.resize(at + node.getDataLen());
            for (int got = 0, n = 1; got < node.getDataLen() && n > 0; got += n) {
                n = file->read(f.data.data() + at + got, node.getDataLen() - got);
                EXPECT_GT(n, 0);
            }
        }
        if (!file.isNull()) file->close();
        files.push_back(f);
    }
    return files;
}

}  // namespace backup_test

#endif  // TESTS_BACKUP_BACKUPTESTSUPPORT_H
