#include "JobSource.h"

#include <algorithm>
#include <cctype>
#include <mutex>

#include "BasicTool.h"
#include "RecordDevice.h"
#include "RecordDiskManagerImpl.h"
#include "RecordFileInfo.h"
#include "RecordResult.h"
#include "RetrieverFileQuery.h"
#include "Singlton.h"
#include "store/FileSystem.h"
#include "store/MoveLedger.h"
#include "store/RecordIndexFile.h"

namespace {

// The values by which the job picks and skips directories.
const int kMainStream = 1;
const int kDiskTypeRemovable = 2;
const int kFileSystemRaw = 0;

bool isDayName(const std::string& name) {
    return name.size() == 8 && std::all_of(name.begin(), name.end(),
                                           [](unsigned char c) { return std::isdigit(c) != 0; });
}

void add(JobSource::Totals& totals, const RecordIndexEntry& e) {
    ++totals.files;
    totals.bytes += e.fileSize;
    totals.nodes += static_cast<long long>(e.nodes.size());
}

}  // namespace

bool JobSource::find(const std::string& deviceId, const std::string& deviceIP, int cameraId,
                     JobSource& source, std::string& reason) {
    source = JobSource();
    source.m_deviceId = deviceId;
    source.m_deviceIP = deviceIP;
    source.m_cameraId = cameraId;
    source.m_cameraKey = MoveLedger::cameraKey(deviceId, cameraId);
    const std::string camera = deviceId + ":" + std::to_string(cameraId);

    RecordDiskManagerImpl* manager = Singlton<RecordDiskManagerImpl>::getInstance(0);
    RecordDeviceDirPolicy policy;
    if (manager->getRecordDeviceDirPolicy(
            RecordDeviceInfo(deviceId, deviceIP, cameraId, kMainStream), policy) == 0) {
        reason = "camera " + camera + ": no policy of the configuration records it";
        return false;
    }
    std::vector<RecordDirInfoEx> all;
    manager->getRecordDirInfoList(all);
    int rawRemovable = 0;
    for (const RecordDirInfoEx& dir : all) {
        if (dir.getAttribute() != RecordDirInfoEx::kAttributeLocal ||
            dir.getGroupId() != policy.getGroupID()) {
            continue;
        }
        // The job never looks for device folders on a raw removable disk.
        if (dir.getFileSystemFormat() == kFileSystemRaw &&
            dir.getDiskType() == kDiskTypeRemovable) {
            ++rawRemovable;
            continue;
        }
        source.m_dirs.push_back(dir);
    }
    if (source.m_dirs.empty()) {
        reason = "camera " + camera + ": its policy names group " +
                 std::to_string(policy.getGroupID()) + ", which has no local record directory" +
                 (rawRemovable > 0 ? " other than raw removable disks, which the job does not read"
                                   : "") +
                 ", so the job can find no recording of it";
        return false;
    }
    return true;
}

std::set<std::string> JobSource::deviceDirs(int& unreadable, std::string& path) const {
    std::set<std::string> names;
    for (const RecordDirInfoEx& dir : m_dirs) {
        std::vector<std::string> found;
        int listed = 0;
        BasicTool::getMatchDeviceDirList(dir, "record", m_deviceId, m_deviceIP, m_cameraId, found,
                                         &listed);
        if (listed != 0 && unreadable == 0) {
            unreadable = listed;
            path = fsutil::join(dir.getRecordRootDir(), "record");
        }
        names.insert(found.begin(), found.end());
    }
    return names;
}

bool JobSource::hasFileToMove() const {
    if (MoveLedger::instance().pendingAgeMs(m_cameraKey) >= 0) return true;
    int unreadable = 0;
    std::string path;
    const std::set<std::string> devices = deviceDirs(unreadable, path);
    if (devices.empty()) return false;
    RetrieverFileQuery query;
    query.setIFrameFlag(false);
    query.setRecordDirInfo(m_dirs);
    query.setDeviceList(devices);
    SafePointer<RecordFileInfo> next;
    return query.getRecordFileInfo(0, next, true) != 0;
}

JobSource::Inventory JobSource::inventory() const {
    Inventory out;
    FileSystem& fs = *RecordDiskManagerImpl::fileSystem();
    const MoveLedger& ledger = MoveLedger::instance();
    const std::set<std::string> devices = deviceDirs(out.unreadable, out.unreadablePath);
    auto failed = [&out](int code, const std::string& path) {
        if (code == 0 || code == kRecordNotFound || out.unreadable != 0) return;
        out.unreadable = code;
        out.unreadablePath = path;
    };
    for (const RecordDirInfoEx& dir : m_dirs) {
        for (const std::string& device : devices) {
            const std::string devicePath =
                fsutil::join(fsutil::join(dir.getRecordRootDir(), "record"), device);
            std::vector<std::string> days;
            const int listed = fs.list(devicePath, days);
            if (listed != 0) {
                failed(listed, devicePath);
                continue;
            }
            for (const std::string& day : days) {
                if (!isDayName(day)) continue;
                const std::string dayDir = fsutil::join(devicePath, day);
                const std::string indexPath = RecordIndexFile::pathOf(dayDir);
                std::vector<RecordIndexEntry> entries;
                {
                    std::lock_guard<std::mutex> guard(RecordIndexFile::lockFor(indexPath));
                    const int loaded = RecordIndexFile::load(fs, indexPath, entries);
                    if (loaded != 0) {
                        failed(loaded, indexPath);
                        continue;
                    }
                }
                for (const RecordIndexEntry& e : entries) {
                    const std::string path = fsutil::join(dayDir, e.fileName);
                    if (e.state == RecordFileInfo::kStateDamaged) {
                        add(out.damaged, e);
                        continue;
                    }
                    if (e.state != RecordFileInfo::kStateComplete) {
                        add(out.recording, e);
                        continue;
                    }
                    out.nodesByPath[path] = static_cast<long long>(e.nodes.size());
                    if (ledger.isPending(path)) {
                        add(out.leaving, e);
                        continue;
                    }
                    FileStat st;
                    const int there = fs.stat(path, st);
                    if (there != 0 || st.size < e.fileSize) {
                        failed(there, path);
                        add(out.cutShort, e);
                        continue;
                    }
                    add(out.toMove, e);
                }
            }
        }
    }
    return out;
}
