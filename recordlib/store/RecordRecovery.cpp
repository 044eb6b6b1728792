#include "store/RecordRecovery.h"

#include <algorithm>
#include <mutex>
#include <set>
#include <vector>

#include "Logger.h"
#include "RecordFileInfo.h"
#include "RecordResult.h"
#include "config/RecorderConfig.h"
#include "store/BackupDisk.h"
#include "store/FileSystem.h"
#include "store/MoveLedger.h"
#include "store/RecordIndexFile.h"

namespace {

void logRecovery(const std::string& message) {
    Logger::writeLog("RecordRecovery", message.c_str(), __FILE__, __LINE__);
}

bool isDayName(const std::string& name) {
    return name.size() == 8 &&
           std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool endsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// Calls `day(dayDir)` for every day folder below <root>/record.
template <typename Fn>
int forEachDay(FileSystem& fs, const std::string& root, RecoveryReport& report, Fn day) {
    const std::string recordDir = fsutil::join(root, "record");
    std::vector<std::string> devices;
    int r = fs.list(recordDir, devices);
    if (r == kRecordNotFound) return kRecordOk;  // nothing recorded there yet
    if (r != kRecordOk) {
        logRecovery(recordDir + ": cannot be listed (" + resultToString(r) + ")");
        ++report.errors;
        return r;
    }
    int result = kRecordOk;
    for (const std::string& device : devices) {
        if (device.empty() || device[0] == '.') continue;  // the recycle area
        const std::string devicePath = fsutil::join(recordDir, device);
        // Links are not followed: what they lead to is outside the root.
        if (!fsutil::isOwnDir(fs, devicePath)) continue;
        std::vector<std::string> days;
        r = fs.list(devicePath, days);
        if (r != kRecordOk) {
            logRecovery(devicePath + ": cannot be listed (" + resultToString(r) + ")");
            ++report.errors;
            result = r;
            continue;
        }
        std::sort(days.begin(), days.end());
        for (const std::string& d : days) {
            if (!isDayName(d) || !fsutil::isOwnDir(fs, fsutil::join(devicePath, d))) continue;
            r = day(fsutil::join(devicePath, d));
            if (r != kRecordOk && result == kRecordOk) result = r;
        }
    }
    return result;
}

// Cuts a file left "being recorded" back to its listed nodes and completes
// it, or removes it when none is listed. REQUIRES: the day index's lock.
int mendRecording(FileSystem& fs, const std::string& dayDir, const std::string& indexPath,
                  RecordIndexEntry entry, RecoveryReport& report) {
    const std::string path = fsutil::join(dayDir, entry.fileName);
    FileStat st;
    int r = fs.stat(path, st);
    if (r != kRecordOk && r != kRecordNotFound) return r;
    const long long size = r == kRecordOk ? st.size : 0;
    size_t keep = 0;
    long long bytes = 0;
    while (keep < entry.nodes.size() && bytes + entry.nodes[keep].getDataLen() <= size) {
        bytes += entry.nodes[keep].getDataLen();
        ++keep;
    }
    if (keep == 0) {
        if (r == kRecordOk) {
            r = fs.unlink(path);
            if (r != kRecordOk) return r;
            r = fs.syncDir(dayDir);
            if (r != kRecordOk) return r;
        }
        r = RecordIndexFile::appendRemove(fs, indexPath, entry.fileName, true);
        if (r != kRecordOk) return r;
        logRecovery(path + ": unfinished backup file with no listed node removed");
        ++report.backupFilesRemoved;
        return kRecordOk;
    }
    if (size > bytes) {
        int fd = -1;
        r = fs.open(path, FileSystem::kAppend, fd);
        if (r != kRecordOk) return r;
        r = fs.truncate(fd, bytes);
        if (r == kRecordOk) r = fs.fsync(fd);
        fs.close(fd);
        if (r != kRecordOk) return r;
        report.bytesCut += size - bytes;
    }
    entry.nodes.resize(keep);
    entry.fileSize = bytes;
    entry.endTime = entry.beginTime;
    for (const RecordIndexNode& n : entry.nodes) {
        entry.endTime =
            std::max(entry.endTime, entry.beginTime + n.getTimeOffset() + n.getTimeLen());
    }
    entry.state = RecordFileInfo::kStateComplete;
    r = RecordIndexFile::appendFile(fs, indexPath, entry, true);
    if (r != kRecordOk) return r;
    logRecovery(path + ": unfinished backup file completed with its " + std::to_string(keep) +
                " listed node(s), " + std::to_string(size - bytes) + " byte(s) cut");
    ++report.backupFilesCompleted;
    return kRecordOk;
}

int recoverDay(FileSystem& fs, const std::string& dayDir, bool backup, RecoveryReport& report) {
    const std::string indexPath = RecordIndexFile::pathOf(dayDir);
    const MoveLedger& ledger = MoveLedger::instance();
    std::lock_guard<std::mutex> guard(RecordIndexFile::lockFor(indexPath));
    std::vector<std::string> names;
    int r = fs.list(dayDir, names);
    if (r != kRecordOk) {
        logRecovery(dayDir + ": cannot be listed (" + resultToString(r) + ")");
        ++report.errors;
        return r;
    }
    for (const std::string& name : names) {
        if (!endsWith(name, ".tmp")) continue;
        if (fs.unlink(fsutil::join(dayDir, name)) == kRecordOk) {
            logRecovery(fsutil::join(dayDir, name) +
                        ": leftover of an interrupted rewrite removed");
            ++report.leftoversRemoved;
        }
    }
    std::vector<RecordIndexEntry> entries;
    r = RecordIndexFile::load(fs, indexPath, entries);
    if (r != kRecordOk && r != kRecordNotFound) {
        logRecovery(indexPath + ": cannot be read (" + resultToString(r) + ")");
        ++report.errors;
        return r;
    }
    std::set<std::string> listed;
    std::vector<std::string> gone;
    int result = kRecordOk;
    for (RecordIndexEntry& e : entries) {
        listed.insert(e.fileName);
        const std::string path = fsutil::join(dayDir, e.fileName);
        if (ledger.isWriting(path)) continue;
        if (backup && e.state == RecordFileInfo::kStateRecording) {
            r = mendRecording(fs, dayDir, indexPath, e, report);
            if (r != kRecordOk) {
                logRecovery(path + ": cannot be mended (" + resultToString(r) + ")");
                ++report.errors;
                result = r;
            }
            continue;
        }
        FileStat st;
        if (fs.stat(path, st) == kRecordNotFound) gone.push_back(e.fileName);
    }
    if (!gone.empty()) {
        r = RecordIndexFile::appendRemoves(fs, indexPath, gone, true);
        if (r != kRecordOk) {
            logRecovery(indexPath + ": dropping entries failed (" + resultToString(r) + ")");
            ++report.errors;
            result = r;
        } else {
            for (const std::string& name : gone) {
                logRecovery(fsutil::join(dayDir, name) + ": data file gone, index entry dropped");
            }
            report.entriesDropped += static_cast<int>(gone.size());
        }
    }
    if (!backup) return result;
    // Data files that no entry lists hold frames whose sources never left
    // their disks: they would only be repeats.
    bool removed = false;
    for (const std::string& name : names) {
        if (!endsWith(name, ".ts") || listed.count(name) != 0) continue;
        const std::string path = fsutil::join(dayDir, name);
        if (ledger.isWriting(path)) continue;
        if (fs.unlink(path) == kRecordOk) {
            logRecovery(path + ": backup data file listed nowhere, removed");
            ++report.unlistedRemoved;
            removed = true;
        }
    }
    if (removed) (void)fs.syncDir(dayDir);
    return result;
}

}  // namespace

int RecordRecovery::recoverBackupRoot(FileSystem& fs, const std::string& root,
                                      RecoveryReport& report) {
    return forEachDay(fs, root, report, [&](const std::string& dayDir) {
        return recoverDay(fs, dayDir, true, report);
    });
}

int RecordRecovery::recoverRecordRoot(FileSystem& fs, const std::string& root,
                                      RecoveryReport& report) {
    return forEachDay(fs, root, report, [&](const std::string& dayDir) {
        return recoverDay(fs, dayDir, false, report);
    });
}

int RecordRecovery::recoverAll(FileSystem& fs, const RecorderConfig& config,
                               RecoveryReport& report) {
    int result = kRecordOk;
    for (const RecordDirInfoEx& dir : config.recordDirs) {
        int r = recoverRecordRoot(fs, dir.getRecordRootDir(), report);
        if (r != kRecordOk && result == kRecordOk) result = r;
    }
    for (const RecordDirInfoEx& dir : config.backupDirs) {
        BackupDiskIdentity identity;
        // Only a prepared disk is the backup disk: a bare mount point is
        // never touched.
        if (BackupDisk::identify(fs, dir.getRecordRootDir(), identity) != kRecordOk) continue;
        int r = recoverBackupRoot(fs, dir.getRecordRootDir(), report);
        if (r != kRecordOk && result == kRecordOk) result = r;
    }
    return result;
}
