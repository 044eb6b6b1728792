#include "RecordDiskManagerImpl.h"

#include <atomic>
#include <set>

#include "Logger.h"
#include "RecordResult.h"
#include "Singlton.h"
#include "store/BackupDisk.h"
#include "store/BackupRecordDir.h"
#include "store/BackupRecordWriter.h"
#include "store/FileSystem.h"
#include "store/RecordName.h"
#include "store/RecordRecovery.h"

namespace {

// The configuration new instances take, the file system and the creation
// hook; process-wide, guarded by g_lock (the file system pointer is atomic
// since every file access reads it).
std::mutex g_lock;
RecorderConfig g_config;
RecordDiskManagerImpl::CreateRecordFileHook g_hook;
std::atomic<FileSystem*> g_fileSystem{nullptr};

}  // namespace

struct RecordDiskManagerImpl::Impl {
    std::mutex lock;
    RecorderConfig config;              // guarded by lock
    std::string lastUsedRoot;           // guarded by lock: the backup root of the last file made
    std::set<std::string> warnedRoots;  // guarded by lock: unprepared roots already logged
};

RecordDiskManagerImpl::RecordDiskManagerImpl() : m_impl(new Impl) {
    {
        std::lock_guard<std::mutex> guard(g_lock);
        m_impl->config = g_config;
    }
    // Before any job reads: whatever a crash left on the disks is mended
    // (after the files being closed in the background are complete).
    BackupRecordWriter::waitForClosedFiles();
    RecoveryReport report;
    (void)RecordRecovery::recoverAll(*fileSystem(), m_impl->config, report);
}

int RecordDiskManagerImpl::recover(RecoveryReport* report) {
    RecorderConfig config;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        config = g_config;
    }
    // A backup file being closed in the background is not a crash's leftover.
    BackupRecordWriter::waitForClosedFiles();
    RecoveryReport local;
    return RecordRecovery::recoverAll(*fileSystem(), config, report != nullptr ? *report : local);
}

RecordDiskManagerImpl::~RecordDiskManagerImpl() = default;

RecordDiskManagerImpl* RecordDiskManagerImpl::createInstance() { return new RecordDiskManagerImpl; }

void RecordDiskManagerImpl::setConfiguration(const RecorderConfig& config) {
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_config = config;
    }
    if (RecordDiskManagerImpl* instance = Singlton<RecordDiskManagerImpl>::peekInstance()) {
        std::lock_guard<std::mutex> guard(instance->m_impl->lock);
        instance->m_impl->config = config;
        instance->m_impl->lastUsedRoot.clear();
    }
}

void RecordDiskManagerImpl::setFileSystem(FileSystem* fs) { g_fileSystem.store(fs); }

long long RecordDiskManagerImpl::recycleRetentionSeconds() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_config.recycleRetentionSeconds;
}

FileSystem* RecordDiskManagerImpl::fileSystem() {
    FileSystem* fs = g_fileSystem.load();
    return fs != nullptr ? fs : posixFileSystem();
}

void RecordDiskManagerImpl::setCreateRecordFileHook(CreateRecordFileHook hook) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_hook = std::move(hook);
}

bool RecordDiskManagerImpl::isRecordFilePath(const std::string& path) {
    // <root>/record/<device dir>/<day>/<file>, every part a plain name.
    const std::string p = fsutil::normalize(path);
    const std::string file = fsutil::baseName(p);
    const std::string dayDir = fsutil::dirName(p);
    const std::string deviceDir = fsutil::dirName(dayDir);
    const std::string recordDir = fsutil::dirName(deviceDir);
    if (RecordName::checkRecordFileName(file) != kRecordOk ||
        RecordName::checkDay(fsutil::baseName(dayDir)) != kRecordOk ||
        RecordName::checkDeviceDir(fsutil::baseName(deviceDir)) != kRecordOk ||
        fsutil::baseName(recordDir) != "record") {
        return false;
    }
    const std::string root = fsutil::dirName(recordDir);
    std::lock_guard<std::mutex> guard(g_lock);
    for (const auto* dirs : {&g_config.recordDirs, &g_config.backupDirs}) {
        for (const RecordDirInfoEx& d : *dirs) {
            if (fsutil::normalize(d.getRecordRootDir()) == root) return true;
        }
    }
    return false;
}

int RecordDiskManagerImpl::getRecordDirInfoList(std::vector<RecordDirInfoEx>& out) {
    std::lock_guard<std::mutex> guard(m_impl->lock);
    out.insert(out.end(), m_impl->config.recordDirs.begin(), m_impl->config.recordDirs.end());
    out.insert(out.end(), m_impl->config.backupDirs.begin(), m_impl->config.backupDirs.end());
    return kRecordOk;
}

int RecordDiskManagerImpl::getRecordDeviceDirPolicy(const RecordDeviceInfo& device,
                                                    RecordDeviceDirPolicy& policy) {
    // No policy names a device folder outside the record folders.
    if (RecordName::checkDeviceId(device.getDeviceId()) != kRecordOk) {
        (void)RecordName::refuse("RecordDisk", "device id", device.getDeviceId());
        return 0;
    }
    std::lock_guard<std::mutex> guard(m_impl->lock);
    const DevicePolicyConfig* wildcard = nullptr;
    for (const DevicePolicyConfig& p : m_impl->config.policies) {
        if (p.deviceId != device.getDeviceId()) continue;
        if (p.cameraId == device.getCameraId()) {
            policy.setGroupID(p.groupId);
            return 1;
        }
        if (p.cameraId == 0 && wildcard == nullptr) wildcard = &p;
    }
    if (wildcard == nullptr) return 0;
    policy.setGroupID(wildcard->groupId);
    return 1;
}

int RecordDiskManagerImpl::createRecordFile(SafePointer<RecordFileInfo>& file, int requestType,
                                            int reserved, SafePointer<IRecordWriter>& writer,
                                            SafePointer<IRecordDir>& dir) {
    // The device id and IP become the device folder of the new file: a name
    // that is not one plain name would put it outside the backup root.
    if (!file.isNull()) {
        if (RecordName::checkDeviceId(file->getDeviceId()) != kRecordOk) {
            return RecordName::refuse("RecordDisk", "device id", file->getDeviceId());
        }
        if (RecordName::checkDeviceIP(file->getDeviceIP()) != kRecordOk) {
            return RecordName::refuse("RecordDisk", "device IP", file->getDeviceIP());
        }
    }
    CreateRecordFileHook hook;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        hook = g_hook;
    }
    if (hook) return hook(file, requestType, reserved, writer, dir);
    if (file.isNull()) return kRecordFailed;

    std::vector<RecordDirInfoEx> candidates;
    long long reserve = 0;
    {
        std::lock_guard<std::mutex> guard(m_impl->lock);
        reserve = m_impl->config.backupReserveBytes;
        // A file asked for after a full disk or an I/O error replaces one in
        // the directory used last: that directory is tried after the others.
        const bool demote = requestType == 2 || requestType == 6;
        for (const RecordDirInfoEx& d : m_impl->config.backupDirs) {
            if (demote && d.getRecordRootDir() == m_impl->lastUsedRoot) continue;
            candidates.push_back(d);
        }
        for (const RecordDirInfoEx& d : m_impl->config.backupDirs) {
            if (demote && d.getRecordRootDir() == m_impl->lastUsedRoot) candidates.push_back(d);
        }
    }

    FileSystem& fs = *fileSystem();
    bool anyRoot = false;
    for (const RecordDirInfoEx& d : candidates) {
        // Only a prepared backup disk is written: a missing root, or a bare
        // mount point whose disk is not mounted, never is (the files would
        // land on the disk that holds the mount point).
        BackupDiskIdentity identity;
        int id = BackupDisk::identify(fs, d.getRecordRootDir(), identity);
        if (id != kRecordOk) {
            if (id == kRecordNotPrepared) {
                std::lock_guard<std::mutex> guard(m_impl->lock);
                if (m_impl->warnedRoots.insert(d.getRecordRootDir()).second) {
                    const std::string message =
                        BackupDisk::notPreparedMessage(d.getRecordRootDir());
                    Logger::writeLog("RecordDisk", message.c_str(), __FILE__, __LINE__);
                }
            }
            continue;
        }
        anyRoot = true;
        long long free = 0;
        if (fs.freeSpace(d.getRecordRootDir(), free) != kRecordOk || free <= reserve) continue;
        writer = SafePointer<IRecordWriter>(new BackupRecordWriter(fs, d));
        dir = SafePointer<IRecordDir>(new BackupRecordDir(fs, d, reserve));
        file->setRecordDirInfo(d);
        std::lock_guard<std::mutex> guard(m_impl->lock);
        m_impl->lastUsedRoot = d.getRecordRootDir();
        return kRecordOk;
    }
    std::string message =
        anyRoot ? "every backup directory is full" : "no backup directory is mounted";
    Logger::writeLog("RecordDisk", message.c_str(), __FILE__, __LINE__);
    return anyRoot ? kRecordDirRefused : kRecordNoDir;
}
