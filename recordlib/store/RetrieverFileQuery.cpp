#include "RetrieverFileQuery.h"

#include <algorithm>
#include <ctime>
#include <mutex>

#include "BasicTool.h"
#include "Logger.h"
#include "RecordDiskManagerImpl.h"
#include "RecordResult.h"
#include "store/BackupRecordWriter.h"
#include "store/FileSystem.h"
#include "store/MoveLedger.h"
#include "store/RecordIndexFile.h"
#include "store/RecordName.h"
#include "store/RecordQuarantine.h"

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

// The summaries of a day folder's index (empty when there is none; `result`
// takes the code of one that cannot be read). REQUIRES: lockFor of that
// index held.
const std::vector<RecordIndexSummary>& loadDay(FileSystem& fs, const std::string& indexPath,
                                               int& result) {
    static const std::vector<RecordIndexSummary> kNone;
    const std::vector<RecordIndexSummary>* files = nullptr;
    int r = RecordIndexFile::summaries(fs, indexPath, files);
    if (r != kRecordOk && r != kRecordNotFound) {
        std::string message = indexPath + ": cannot be read (" + resultToString(r) + ")";
        Logger::writeLog("RecordQuery", message.c_str(), __FILE__, __LINE__);
        result = r;
    }
    return r == kRecordOk ? *files : kNone;
}

}  // namespace

// A device folder name that is not one (a caller's "../x") is not looked
// into. A device folder that is not on this disk has none; one that cannot be
// listed is logged, and `result` takes the code (it is left as it was
// otherwise). A day folder that is a link is passed over (it may lead out of
// the root). The listing is kept while the device folder's time stamp stays
// the one it had, once that time stamp lies well before the listing: a change
// made in the same tick of the file system's clock would not move it.
const std::vector<std::string>& RetrieverFileQuery::listDays(const std::string& recordDir,
                                                             const std::string& deviceDirName,
                                                             int& result) {
    static const std::vector<std::string> kNone;
    FileSystem& fs = *RecordDiskManagerImpl::fileSystem();
    if (RecordName::checkDeviceDir(deviceDirName) != kRecordOk) {
        (void)RecordName::refuse("RecordQuery", "device folder", deviceDirName);
        return kNone;
    }
    fsutil::joinInto(m_devicePath, recordDir, deviceDirName);
    FileStat st;
    const int s = fs.stat(m_devicePath, st);
    auto kept = m_days.find(m_devicePath);
    const long long now = static_cast<long long>(std::time(nullptr));
    if (s == kRecordOk && st.isDir && !st.isLink && kept != m_days.end() && st.mtimeSeconds != 0 &&
        kept->second.mtimeSeconds == st.mtimeSeconds && kept->second.mtimeNanos == st.mtimeNanos &&
        kept->second.listedAt - st.mtimeSeconds >= 2) {
        return kept->second.names;
    }
    if (kept != m_days.end()) m_days.erase(kept);
    int r = fs.list(m_devicePath, m_listed);
    if (r != kRecordOk) {
        if (r == kRecordNotFound) return kNone;
        std::string message = m_devicePath + ": cannot be listed (" + resultToString(r) + ")";
        Logger::writeLog("RecordQuery", message.c_str(), __FILE__, __LINE__);
        result = r;
        return kNone;
    }
    Days& days = m_days[m_devicePath];
    for (const std::string& n : m_listed) {
        if (!isDayName(n)) continue;
        const std::string dayPath = fsutil::join(m_devicePath, n);
        // A link is not followed: it may lead out of the root.
        if (!fsutil::isOwnDir(fs, dayPath)) {
            RecordName::logOnce("RecordQuery", "link\n" + dayPath,
                                dayPath + ": not a folder of its own (a link?), passed over");
            continue;
        }
        days.names.push_back(n);
    }
    std::sort(days.names.begin(), days.names.end());
    if (s == kRecordOk) {
        days.mtimeSeconds = st.mtimeSeconds;
        days.mtimeNanos = st.mtimeNanos;
        days.listedAt = now;
    }
    return days.names;
}

int RetrieverFileQuery::getRecordFileInfo(long long time, SafePointer<RecordFileInfo>& out,
                                          bool complete) {
    FileSystem& fs = *RecordDiskManagerImpl::fileSystem();
    const MoveLedger& ledger = MoveLedger::instance();
    bool found = false;
    // A folder or index that cannot be read is logged and passed over, like a
    // cut file: the files of the other folders are not held back behind it.
    int unreadable = kRecordOk;
    for (const RecordDirInfoEx& dir : m_dirs) {
        fsutil::joinInto(m_recordDir, dir.getRecordRootDir(), "record");
        for (const std::string& deviceDir : m_deviceDirs) {
            // Days in order: the first day with a match holds this device
            // folder's oldest match, since a file lies in its begin day.
            for (const std::string& day : listDays(m_recordDir, deviceDir, unreadable)) {
                fsutil::joinInto(m_dayDir, m_devicePath, day);
                fsutil::joinInto(m_filePath, m_dayDir, RecordIndexFile::kFileName);
                std::unique_lock<std::mutex> guard(RecordIndexFile::lockFor(m_filePath));
                const RecordIndexSummary* pick = nullptr;
                for (const RecordIndexSummary& e : loadDay(fs, m_filePath, unreadable)) {
                    if (!usable(e, complete, m_iFrameFlag) || e.endTime <= time) continue;
                    if (pick != nullptr && e.beginTime >= pick->beginTime) continue;
                    fsutil::joinInto(m_filePath, m_dayDir, e.fileName);
                    // Read to its end and leaving once its frames are durable
                    // on the backup disk: not handed out again.
                    if (ledger.isPending(m_filePath)) continue;
                    // Given up on: it could not be opened or read.
                    if (RecordQuarantine::isQuarantined(m_filePath)) continue;
                    FileStat st;
                    if (int r = fs.stat(m_filePath, st)) {
                        std::string message = m_filePath;
                        if (r == kRecordNotFound) {
                            message += ": listed but missing";
                        } else {
                            message += ": cannot be examined (" + std::string(resultToString(r)) +
                                       "), passed over";
                        }
                        Logger::writeLog("RecordQuery", message.c_str(), __FILE__, __LINE__);
                        continue;
                    }
                    // A data file cut shorter than its index cannot be read to
                    // its end: handing it out would hold every later file back
                    // behind it. It is passed over; asked for again and again
                    // by the move, it is given up on and kept in quarantine.
                    if (st.size < e.fileSize) {
                        std::string message = m_filePath + ": shorter than its index, passed over";
                        Logger::writeLog("RecordQuery", message.c_str(), __FILE__, __LINE__);
                        // Counted once the index is let go: giving a file
                        // up edits its index.
                        if (complete) m_shorter.push_back(m_filePath);
                        continue;
                    }
                    pick = &e;
                }
                if (pick != nullptr && (!found || pick->beginTime < m_best.getRecordBeginTime())) {
                    describe(*pick, dir, deviceDir, day, m_best);
                    found = true;
                }
                guard.unlock();
                for (const std::string& path : m_shorter) {
                    (void)RecordQuarantine::noteFailure(path, "data file shorter than its index");
                }
                m_shorter.clear();
                if (pick != nullptr) break;
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
    int unreadable = kRecordOk;
    for (const RecordDirInfoEx& dir : m_dirs) {
        const std::string recordDir = fsutil::join(dir.getRecordRootDir(), "record");
        for (const std::string& deviceDir : m_deviceDirs) {
            for (const std::string& day : listDays(recordDir, deviceDir, unreadable)) {
                const std::string dayDir = fsutil::join(m_devicePath, day);
                const std::string indexPath = RecordIndexFile::pathOf(dayDir);
                std::lock_guard<std::mutex> guard(RecordIndexFile::lockFor(indexPath));
                for (const RecordIndexSummary& e : loadDay(fs, indexPath, unreadable)) {
                    if (!usable(e, complete, m_iFrameFlag)) continue;
                    const std::string path = fsutil::join(dayDir, e.fileName);
                    if (MoveLedger::instance().isPending(path)) continue;
                    if (RecordQuarantine::isQuarantined(path)) continue;
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
    return unreadable != kRecordOk ? unreadable : static_cast<int>(files.size());
}
