#include "RetrieverFileQuery.h"

#include <algorithm>
#include <ctime>
#include <mutex>

#include "BackupRecordWriter.h"
#include "BasicTool.h"
#include "FileSystem.h"
#include "Logger.h"
#include "MoveLedger.h"
#include "RecordDiskManagerImpl.h"
#include "RecordIndexFile.h"
#include "RecordResult.h"

namespace {

bool isDayName(const std::string& name) {
    if (name.size() != 8) return false;
    return std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Fills a file description from its index entry and where it lies.
void describe(const RecordIndexSummary& e, const RecordDirInfoEx& dir, const std::string& deviceDir,
              const std::string& day, RecordFileInfo& info) {
    std::string id, ip;
    int camera = 0;
    BasicTool::parseDeviceDirString(deviceDir, id, ip, camera);
    info.setDeviceId(id);
    info.setDeviceIP(ip);
    info.setCameraId(camera);
    info.setRecordBeginTime(e.beginTime);
    info.setRecordEndTime(e.endTime);
    info.setRecordDate(day);
    info.setLockFlag(e.lockFlag);
    info.setRecordMode(e.recordMode);
    info.setRecordStorageType(e.storageType);
    info.setState(e.state);
    info.setAVStreamInfo(e.stream);
    info.setRecordDirInfo(dir);
    info.setRecordFileName(e.fileName);
    info.setFileSize(e.fileSize);
    info.setNodeCount(e.nodeCount);
}

bool usable(const RecordIndexSummary& e, bool complete, bool iFrame) {
    if (e.state == RecordFileInfo::kStateDamaged) return false;
    if (complete && e.state != RecordFileInfo::kStateComplete) return false;
    if (iFrame && (e.nodeCount == 0 || !e.firstNodeKey)) return false;
    return true;
}

// The summaries of a day folder's index (empty when there is none).
// REQUIRES: lockFor of that index held.
const std::vector<RecordIndexSummary>& loadDay(FileSystem& fs, const std::string& indexPath) {
    static const std::vector<RecordIndexSummary> kNone;
    const std::vector<RecordIndexSummary>* files = nullptr;
    int r = RecordIndexFile::summaries(fs, indexPath, files);
    if (r != kRecordOk && r != kRecordNotFound) {
        std::string message = indexPath + ": cannot be read (" + resultToString(r) + ")";
        Logger::writeLog("RecordQuery", message.c_str(), __FILE__, __LINE__);
    }
    return r == kRecordOk ? *files : kNone;
}

}  // namespace

const std::vector<std::string>& RetrieverFileQuery::listDays(const std::string& devicePath) {
    FileSystem& fs = *RecordDiskManagerImpl::fileSystem();
    FileStat st;
    if (fs.stat(devicePath, st) != kRecordOk || !st.isDir) {
        auto it = m_days.find(devicePath);
        if (it != m_days.end()) m_days.erase(it);
        static const std::vector<std::string> kNone;
        return kNone;
    }
    Days& days = m_days[devicePath];
    // A listing is trusted while the folder's time stamp stays the one it had,
    // once that time stamp lies well before the listing: a change made in the
    // same tick of the file system's clock as the listing would not move it.
    const long long now = static_cast<long long>(std::time(nullptr));
    if (st.mtimeSeconds != 0 && days.mtimeSeconds == st.mtimeSeconds &&
        days.mtimeNanos == st.mtimeNanos && days.listedAt - st.mtimeSeconds >= 2) {
        return days.names;
    }
    days.names.clear();
    if (fs.list(devicePath, m_listed) == kRecordOk) {
        for (const std::string& n : m_listed) {
            if (isDayName(n)) days.names.push_back(n);
        }
        std::sort(days.names.begin(), days.names.end());
    }
    days.mtimeSeconds = st.mtimeSeconds;
    days.mtimeNanos = st.mtimeNanos;
    days.listedAt = now;
    return days.names;
}

int RetrieverFileQuery::getRecordFileInfo(long long time, SafePointer<RecordFileInfo>& out,
                                          bool complete) {
    FileSystem& fs = *RecordDiskManagerImpl::fileSystem();
    const MoveLedger& ledger = MoveLedger::instance();
    bool found = false;
    for (const RecordDirInfoEx& dir : m_dirs) {
        fsutil::joinInto(m_recordDir, dir.getRecordRootDir(), "record");
        for (const std::string& deviceDir : m_deviceDirs) {
            fsutil::joinInto(m_devicePath, m_recordDir, deviceDir);
            // Days in order: the first day with a match holds this device
            // folder's oldest match, since a file lies in its begin day.
            for (const std::string& day : listDays(m_devicePath)) {
                fsutil::joinInto(m_dayDir, m_devicePath, day);
                fsutil::joinInto(m_filePath, m_dayDir, RecordIndexFile::kFileName);
                std::lock_guard<std::mutex> guard(RecordIndexFile::lockFor(m_filePath));
                const RecordIndexSummary* pick = nullptr;
                for (const RecordIndexSummary& e : loadDay(fs, m_filePath)) {
                    if (!usable(e, complete, m_iFrameFlag) || e.endTime <= time) continue;
                    if (pick != nullptr && e.beginTime >= pick->beginTime) continue;
                    fsutil::joinInto(m_filePath, m_dayDir, e.fileName);
                    // Read to its end and leaving once its frames are durable
                    // on the backup disk: not handed out again.
                    if (ledger.isPending(m_filePath)) continue;
                    FileStat st;
                    if (fs.stat(m_filePath, st) != kRecordOk) {
                        std::string message = m_dayDir + "/" + e.fileName + ": listed but missing";
                        Logger::writeLog("RecordQuery", message.c_str(), __FILE__, __LINE__);
                        continue;
                    }
                    // A data file cut shorter than its index cannot be read to
                    // its end: handing it out would hold every later file back
                    // behind it. It is passed over and stays where it is.
                    if (st.size < e.fileSize) {
                        std::string message =
                            m_dayDir + "/" + e.fileName + ": shorter than its index, passed over";
                        Logger::writeLog("RecordQuery", message.c_str(), __FILE__, __LINE__);
                        continue;
                    }
                    pick = &e;
                }
                if (pick == nullptr) continue;
                if (!found || pick->beginTime < m_best.getRecordBeginTime()) {
                    describe(*pick, dir, deviceDir, day, m_best);
                    found = true;
                }
                break;
            }
        }
    }
    if (!found) return 0;
    out = SafePointer<RecordFileInfo>(new RecordFileInfo(m_best));
    return 1;
}

int RetrieverFileQuery::listRecordFiles(std::vector<RecordFileInfo>& out, bool complete) {
    // A listing shows backup files closed in the background as complete.
    BackupRecordWriter::waitForClosedFiles();
    FileSystem& fs = *RecordDiskManagerImpl::fileSystem();
    std::vector<RecordFileInfo> files;
    for (const RecordDirInfoEx& dir : m_dirs) {
        const std::string recordDir = fsutil::join(dir.getRecordRootDir(), "record");
        for (const std::string& deviceDir : m_deviceDirs) {
            const std::string devicePath = fsutil::join(recordDir, deviceDir);
            for (const std::string& day : listDays(devicePath)) {
                const std::string dayDir = fsutil::join(devicePath, day);
                const std::string indexPath = RecordIndexFile::pathOf(dayDir);
                std::lock_guard<std::mutex> guard(RecordIndexFile::lockFor(indexPath));
                for (const RecordIndexSummary& e : loadDay(fs, indexPath)) {
                    if (!usable(e, complete, m_iFrameFlag)) continue;
                    if (MoveLedger::instance().isPending(fsutil::join(dayDir, e.fileName)))
                        continue;
                    RecordFileInfo info;
                    describe(e, dir, deviceDir, day, info);
                    files.push_back(info);
                }
            }
        }
    }
    std::stable_sort(files.begin(), files.end(),
                     [](const RecordFileInfo& a, const RecordFileInfo& b) {
                         return a.getRecordBeginTime() < b.getRecordBeginTime();
                     });
    out.insert(out.end(), files.begin(), files.end());
    return static_cast<int>(files.size());
}
