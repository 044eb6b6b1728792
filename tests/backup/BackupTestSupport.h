#ifndef TESTS_BACKUP_BACKUPTESTSUPPORT_H
#define TESTS_BACKUP_BACKUPTESTSUPPORT_H

// What the backup tests share.
#include <gtest/gtest.h>
#include <stdio.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "../support/TestHost.h"
#include "IBackupRecordRetriever.h"
#include "IFile.h"
#include "IRecordDir.h"
#include "IRecordWriter.h"
#include "Logger.h"
#include "RecordDiskManagerImpl.h"
#include "RecordFileIndexNodeInfo.h"
#include "RecordFileReader.h"
#include "RecordInfo.h"
#include "RetrieverFileQuery.h"
#include "TQRuntimeError.h"
#include "TSAVData.h"
#include "TaliqTime.h"
#include "store/FileSystem.h"

namespace backup_test {

using rectest::EventLog;
using rectest::LogCapture;

// What fakes, hooks and waits do.
inline EventLog& events() {
    static EventLog log;
    return log;
}
inline void logEvent(const std::string& event) { events().add(event); }

inline int countEvents(const std::vector<std::string>& events, const std::string& prefix) {
    int count = 0;
    for (const std::string& e : events) count += e.rfind(prefix, 0) == 0;
    return count;
}

// While alive, every TaliqTime::wait logs "wait <ms>".
struct WaitRecorder {
    WaitRecorder() {
        TaliqTime::setWaitObserver([](const TaliqTime& span) {
            logEvent("wait " + std::to_string(span.getSec() * 1000LL + span.getUsec() / 1000));
        });
    }
    ~WaitRecorder() { TaliqTime::setWaitObserver(nullptr); }
};

// The idle waits "wait <ms>" made over a fifth of a second of real time.
inline int idleWaits(const std::string& wait) {
    events().take();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    return countEvents(events().take(), wait);
}

// Logs "destroyed <name>" when the last holder lets go.
inline std::shared_ptr<void> sentinel(const std::string& name) {
    return std::shared_ptr<void>(nullptr, [name](void*) { logEvent("destroyed " + name); });
}

// Sets what a frame carries besides its data.
inline void setFrame(TSAVData& frame, long long timeStamp, int type, int width, int height,
                     int encoder = 1, int es = 1) {
    frame.setTimeStamp(timeStamp), frame.setFrameType(type), frame.setESStreamType(es);
    frame.setEncoderType(encoder), frame.setImageWidth(width), frame.setImageHeight(height);
}

// Script values: throw TQRuntimeError("broke"); no writer; as if empty.
const int kThrow = -100000, kNoWriter = -100001, kNext = -100002;
// Logs `event` (" -> <code>" unless 0) and answers the script's next value.
inline int answer(std::deque<int>& script, const std::string& event, int otherwise = 0) {
    const int r = script.empty() || script.front() == kNext ? otherwise : script.front();
    if (!script.empty()) script.pop_front();
    if (!event.empty()) {
        logEvent(event + (r == kThrow                ? " -> throw"
                          : r == 0 || r == otherwise ? ""
                                                     : " -> " + std::to_string(r)));
    }
    if (r == kThrow) throw TQRuntimeError("broke");
    return r;
}

// A scripted record source logging its calls. Unscripted, getTSInfo gives
// frame N (time stamp N, an I-frame of one packet) and reads give all asked.
class FakeSource : public IBackupRecordRetriever {
  public:
    std::deque<int> opens, infos, reads, closes;
    explicit FakeSource(std::deque<int> o = {}, std::deque<int> i = {}, std::deque<int> r = {})
        : opens(o), infos(i), reads(r) {}
    ~FakeSource() override { logEvent("src.destroyed"); }
    int open(const RecordInfo&) override { return answer(opens, "src.open"); }
    int getTSInfo(TSAVData* frame) override {
        m_at = 0;
        const bool scripted = !infos.empty() && infos.front() != kNext;
        if (!infos.empty() && !scripted) infos.pop_front();
        if (scripted) {
            logEvent("src.read " + std::to_string(infos.front()));
            return answer(infos, "");
        }
        logEvent("src.read " + std::to_string(++m_frames));
        setFrame(*frame, m_frames, 1, 640, 480);
        frame->setDataTimeLength(40);
        return 188;
    }
    int readTSData(char* buffer, int length) override {
        const int r = answer(reads, "", length);
        for (int i = 0; i < r; ++i, ++m_at) buffer[i] = static_cast<char>(byteAt(m_at));
        return r;
    }
    int close() override { return answer(closes, "src.close"); }
    static int byteAt(int i) { return i == 0 ? 0x47 : (i * 7 + 3) & 0xff; }

  private:
    int m_frames = 0, m_at = 0;
};

// While alive, record files are made here, logging ("create <type>", "write
// <time stamp>") and failing as scripted; `live`: fakes not yet released.
struct DestinationScript {
    std::deque<int> creates = {}, opens = {};
    std::map<long long, std::deque<int>> writes = {};  // by the frame's time stamp
    std::map<long long, int> refusals = {};            // canWrite false times, by time stamp
};
struct FakeDestination : DestinationScript {
    int live = 0;

    struct Writer : IRecordWriter {
        explicit Writer(FakeDestination& d) : d(d) { ++d.live; }
        ~Writer() override { --d.live; }
        int open(SafePointer<RecordFileInfo>&, int& start) override {
            start = 1;
            return answer(d.opens, "open");
        }
        int write(TSAVData* frame, bool, int) override {
            const long long t = frame->getTimeStamp();
            return answer(d.writes[t], "write " + std::to_string(t));
        }
        int close() override { return logEvent("close"), 0; }
        FakeDestination& d;
    };
    struct Dir : IRecordDir {
        explicit Dir(FakeDestination& d) : d(d) { ++d.live; }
        ~Dir() override { --d.live; }
        bool canWrite(TSAVData* frame, int) override {
            int& n = d.refusals[frame->getTimeStamp()];
            return n > 0 ? (--n, false) : true;
        }
        long long addWrittenSize(int size) override { return size; }
        FakeDestination& d;
    };

    explicit FakeDestination(const DestinationScript& script) : DestinationScript(script) {
        RecordDiskManagerImpl::setCreateRecordFileHook(
            [this](SafePointer<RecordFileInfo>&, int type, int, SafePointer<IRecordWriter>& w,
                   SafePointer<IRecordDir>& dir) {
                const bool empty = !creates.empty() && creates.front() == kNoWriter;
                if (empty) creates.front() = 0;
                const int r = answer(creates, "create " + std::to_string(type));
                if (empty) {
                    w.dec_reference();
                    return 0;
                }
                if (r != 0) return r;
                w = SafePointer<IRecordWriter>(new Writer(*this));
                dir = SafePointer<IRecordDir>(new Dir(*this));
                return 0;
            });
    }
    ~FakeDestination() { RecordDiskManagerImpl::setCreateRecordFileHook(nullptr); }
};

// The POSIX file system, where hook(call, path, mode) may answer an open,
// read (path: the file's), rename (path: the target) or unlink instead.
class HookFileSystem : public FileSystemWrapper {
  public:
    using Hook = std::function<int(const std::string&, const std::string&, int)>;
    explicit HookFileSystem(Hook hook) : FileSystemWrapper(posixFileSystem()), m_hook(hook) {}
    int open(const std::string& path, int mode, int& fd) override {
        if (int r = m_hook("open", path, mode)) return r;
        const int r = FileSystemWrapper::open(path, mode, fd);
        std::lock_guard<std::mutex> guard(m_lock);
        if (r == 0) m_paths[fd] = path;
        return r;
    }
    int read(int fd, char* buffer, int count) override {
        if (int r = m_hook("read", pathOf(fd), count)) return r;
        return FileSystemWrapper::read(fd, buffer, count);
    }
    int rename(const std::string& from, const std::string& to) override {
        if (int r = m_hook("rename", to, 0)) return r;
        return FileSystemWrapper::rename(from, to);
    }
    int unlink(const std::string& path) override {
        if (int r = m_hook("unlink", path, 0)) return r;
        return FileSystemWrapper::unlink(path);
    }

  private:
    std::string pathOf(int fd) {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_paths[fd];
    }
    Hook m_hook;
    std::mutex m_lock;
    std::map<int, std::string> m_paths;  // by descriptor
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

using rectest::TempDir;

// A digest of TS data without what the backup rewrites: PCR, PTS and DTS.
inline unsigned long long contentDigest(const char* data, int length) {
    unsigned long long h = 1469598103934665603ULL;
    auto mix = [&h](const unsigned char* p, size_t n) {
        for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ULL;
    };
    for (int off = 0; off + 188 <= length; off += 188) {
        const unsigned char* p = reinterpret_cast<const unsigned char*>(data + off);
        size_t body = 4;
        if (p[3] & 0x20) body += 1 + p[4];
        if (body > 188) body = 188;
        if ((p[1] & 0x40) && body + 9 <= 188 && p[body] == 0 && p[body + 1] == 0 &&
            p[body + 2] == 1) {
            body = std::min<size_t>(188, body + 9 + p[body + 8]);
        }
        mix(p + 1, 2);  // the PID
        mix(p + body, 188 - body);
    }
    return h;
}

// A node found on a disk: absolute time (ms), length, content digest.
using Node = std::tuple<long long, int, unsigned long long>;

// One complete record file as its index and data tell it.
struct ReadFile {
    RecordFileInfo info;
    std::vector<Node> nodes;
    bool keyFirst;  // its first node is a key frame
    std::vector<char> data;
};

// The complete files of `deviceDirs` in `dirs`, oldest first.
inline std::vector<ReadFile> readRecordFiles(const std::vector<RecordDirInfoEx>& dirs,
                                             const std::set<std::string>& deviceDirs) {
    RetrieverFileQuery query;
    query.setRecordDirInfo(dirs);
    query.setDeviceList(deviceDirs);
    std::vector<RecordFileInfo> infos;
    query.listRecordFiles(infos, true);
    std::vector<ReadFile> files;
    for (const RecordFileInfo& info : infos) {
        ReadFile f{info, {}, false, {}};
        SafePointer<IFile> file;
        RecordFileIndexNodeInfo walk;
        EXPECT_EQ(0, openRecordFileForRead(info, file, walk)) << info.createRecordFileName();
        while (!file.isNull() && walk.seekNext()) {
            RecordIndexNode node;
            walk.getCurrentNodeInfo(node);
            const int len = node.getDataLen();
            f.keyFirst = f.nodes.empty() ? node.isIFrame() : f.keyFirst;
            const size_t at = f.data.size();
            f.data.resize(at + len);
            for (int got = 0, n = 1; got < len && n > 0; got += n) {
                n = file->read(f.data.data() + at + got, len - got);
                EXPECT_GT(n, 0);
            }
            f.nodes.emplace_back(walk.getFileBeginTime() + node.getTimeOffset(), len,
                                 contentDigest(f.data.data() + at, len));
        }
        if (!file.isNull()) file->close();
        files.push_back(f);
    }
    return files;
}

// Every node of `files`, in order.
inline std::vector<Node> nodesOf(const std::vector<ReadFile>& files) {
    std::vector<Node> out;
    for (const ReadFile& f : files) out.insert(out.end(), f.nodes.begin(), f.nodes.end());
    return out;
}

}  // namespace backup_test

#endif  // TESTS_BACKUP_BACKUPTESTSUPPORT_H
