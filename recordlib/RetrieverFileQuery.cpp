#include "RetrieverFileQuery.h"

#include <algorithm>
#include <mutex>

#include "BasicTool.h"
#include "FileSystem.h"
#include "Logger.h"
#include "MoveLedger.h"
#include "RecordDiskManagerImpl.h"
#include "RecordIndexFile.h"
#include "RecordName.h"
#include "RecordQuarantine.h"
#include "RecordResult.h"

namespace {

bool isDayName(const std::string& name) {
    if (name.size() != 8) return false;
    return std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The day folders of a device folder, oldest first. A device folder name
// that is not one (a caller's "../x") is not looked into. A device folder
// that is not on this disk has none; one that cannot be listed is logged, and
// `result` takes the code (it is left as it was otherwise).
std::vector<std::string> listDays(FileSystem& fs, const std::string& recordDir,
                                  const std::string& deviceDirName, int& result) {
    std::vector<std::string> names, days;
    if (RecordName::checkDeviceDir(deviceDirName) != kRecordOk) {
        (void)RecordName::refuse("RecordQuery", "device folder", deviceDirName);
        return days;
    }
    const std::string deviceDir = fsutil::join(recordDir, deviceDirName);
    int r = fs.list(deviceDir, names);
    if (r != kRecordOk) {
        if (r == kRecordNotFound) return days;
        std::string message = deviceDir + ": cannot be listed (" + resultToString(r) + ")";
        Logger::writeLog("RecordQuery", message.c_str(), __FILE__, __LINE__);
        result = r;
        return days;
    }
    for (const std::string& n : names) {
        if (!isDayName(n)) continue;
        // A link is not followed: it may lead out of the root.
        if (!fsutil::isOwnDir(fs, fsutil::join(deviceDir, n))) {
            RecordName::logOnce(
                "RecordQuery", "link\n" + fsutil::join(deviceDir, n),
                fsutil::join(deviceDir, n) + ": not a folder of its own (a link?), passed over");
            continue;
        }
        days.push_back(n);
    }
    std::sort(days.begin(), days.end());
    return days;
}

// Fills a file description from its index entry and where it lies.
void describe(const RecordIndexEntry& e, const RecordDirInfoEx& dir, const std::string& deviceDir,
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
    info.setNodeCount(static_cast<int>(e.nodes.size()));
}

bool usable(const RecordIndexEntry& e, bool complete, bool iFrame) {
    if (e.state == RecordFileInfo::kStateDamaged) return false;
    if (complete && e.state != RecordFileInfo::kStateComplete) return false;
    if (iFrame && (e.nodes.empty() || !e.nodes.front().isIFrame())) return false;
    return true;
}

std::vector<RecordIndexEntry> loadDay(FileSystem& fs, const std::string& dayDir, int& result) {
    std::vector<RecordIndexEntry> entries;
    const std::string indexPath = RecordIndexFile::pathOf(dayDir);
    std::lock_guard<std::mutex> guard(RecordIndexFile::lockFor(indexPath));
    int r = RecordIndexFile::load(fs, indexPath, entries);
    if (r != kRecordOk && r != kRecordNotFound) {
        std::string message = indexPath + ": cannot be read (" + resultToString(r) + ")";
        Logger::writeLog("RecordQuery", message.c_str(), __FILE__, __LINE__);
        result = r;
    }
    return entries;
}

}  // namespace

int RetrieverFileQuery::getRecordFileInfo(long long time, SafePointer<RecordFileInfo>& out,
                                          bool complete) {
    FileSystem& fs = *RecordDiskManagerImpl::fileSystem();
    const MoveLedger& ledger = MoveLedger::instance();
    bool found = false;
    RecordFileInfo best;
    // A folder or index that cannot be read is logged and passed over, like a
    // cut file: the files of the other folders are not held back behind it.
    int unreadable = kRecordOk;
    for (const RecordDirInfoEx& dir : m_dirs) {
        const std::string recordDir = fsutil::join(dir.getRecordRootDir(), "record");
        for (const std::string& deviceDir : m_deviceDirs) {
            const std::string devicePath = fsutil::join(recordDir, deviceDir);
            // Days in order: the first day with a match holds this device
            // folder's oldest match, since a file lies in its begin day.
            for (const std::string& day : listDays(fs, recordDir, deviceDir, unreadable)) {
                const std::string dayDir = fsutil::join(devicePath, day);
                const RecordIndexEntry* pick = nullptr;
                std::vector<RecordIndexEntry> entries = loadDay(fs, dayDir, unreadable);
                for (const RecordIndexEntry& e : entries) {
                    if (!usable(e, complete, m_iFrameFlag) || e.endTime <= time) continue;
                    if (pick != nullptr && e.beginTime >= pick->beginTime) continue;
                    // Read to its end and leaving once its frames are durable
                    // on the backup disk: not handed out again.
                    if (ledger.isPending(fsutil::join(dayDir, e.fileName))) continue;
                    // Given up on: it could not be opened or read.
                    if (RecordQuarantine::isQuarantined(fsutil::join(dayDir, e.fileName))) {
                        continue;
                    }
                    FileStat st;
                    if (int r = fs.stat(fsutil::join(dayDir, e.fileName), st)) {
                        std::string message = dayDir + "/" + e.fileName;
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
                        const std::string path = fsutil::join(dayDir, e.fileName);
                        std::string message = path + ": shorter than its index, passed over";
                        Logger::writeLog("RecordQuery", message.c_str(), __FILE__, __LINE__);
                        if (complete) {
                            (void)RecordQuarantine::noteFailure(path,
                                                                "data file shorter than its index");
                        }
                        continue;
                    }
                    pick = &e;
                }
                if (pick == nullptr) continue;
                if (!found || pick->beginTime < best.getRecordBeginTime()) {
                    describe(*pick, dir, deviceDir, day, best);
                    found = true;
                }
                break;
            }
        }
    }
    if (!found) return 0;
    out = SafePointer<RecordFileInfo>(new RecordFileInfo(best));
    return 1;
}

int RetrieverFileQuery::listRecordFiles(std::vector<RecordFileInfo>& out, bool complete) {
    FileSystem& fs = *RecordDiskManagerImpl::fileSystem();
    std::vector<RecordFileInfo> files;
    int unreadable = kRecordOk;
    for (const RecordDirInfoEx& dir : m_dirs) {
        const std::string recordDir = fsutil::join(dir.getRecordRootDir(), "record");
        for (const std::string& deviceDir : m_deviceDirs) {
            const std::string devicePath = fsutil::join(recordDir, deviceDir);
            for (const std::string& day : listDays(fs, recordDir, deviceDir, unreadable)) {
                const std::string dayDir = fsutil::join(devicePath, day);
                for (const RecordIndexEntry& e : loadDay(fs, dayDir, unreadable)) {
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
