#include "Commands.h"

#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <set>
#include <thread>
#include <utility>

#include "BackupDisk.h"
#include "BackupService.h"
#include "BackupServiceManager.h"
#include "BasicTool.h"
#include "FileSystem.h"
#include "GlobalEnv.h"
#include "Logger.h"
#include "RecordDiskManagerImpl.h"
#include "RecordDropCounter.h"
#include "RecordInventory.h"
#include "RecordName.h"
#include "RecordQuarantine.h"
#include "RecordResult.h"
#include "SyntheticCamera.h"
#include "TaliqTime.h"

namespace fs = std::filesystem;

namespace {

long long nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

int fail(const std::string& message) {
    std::fprintf(stderr, "nvr-backup: %s\n", message.c_str());
    return 2;
}

// A listing of the disks that failed is told, never taken for an empty one
// (the log names the folder).
void listingFailed(const std::string& what, int code) {
    std::fprintf(stderr, "nvr-backup: %s cannot be listed (%s); see the log\n", what.c_str(),
                 resultToString(code));
}

bool readConfiguration(const std::string& path, RecorderConfig& config, std::string& error) {
    if (path.empty()) {
        error = "no configuration given (--config FILE)";
        return false;
    }
    std::error_code ec;
    if (!fs::exists(path, ec)) {
        error = "configuration " + path + " does not exist";
        return false;
    }
    if (RecorderConfig::loadFile(path, config, error) != 0) return false;
    RecordDiskManagerImpl::setConfiguration(config);
    return true;
}

RecordInfo toInfo(const JobSpec& job) {
    RecordInfo info;
    info.setDeviceId(job.deviceId.c_str());
    info.setDeviceIP(job.deviceIP.c_str());
    info.setCameraId(job.cameraId);
    return info;
}

}  // namespace

bool parseJobSpec(const std::string& text, JobSpec& job, std::string& error) {
    size_t first = text.find(':');
    if (first == std::string::npos || first == 0) {
        error = "job " + RecordName::printable(text) + " is not DEVICE:CAMERA[:IP]";
        return false;
    }
    size_t second = text.find(':', first + 1);
    std::string camera = text.substr(
        first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
    char* end = nullptr;
    long id = std::strtol(camera.c_str(), &end, 10);
    if (camera.empty() || *end != '\0' || id <= 0 || id > 1 << 30) {
        error = "job \"" + text + "\": camera \"" + camera + "\" is not a camera number above 0";
        return false;
    }
    job.deviceId = text.substr(0, first);
    job.cameraId = static_cast<int>(id);
    job.deviceIP = second == std::string::npos ? "" : text.substr(second + 1);
    // Both become folder names on the disks.
    if (!checkDeviceNames(job.deviceId, job.deviceIP, error)) {
        error = "job " + RecordName::printable(text) + ": " + error;
        return false;
    }
    return true;
}

bool checkDeviceNames(const std::string& deviceId, const std::string& deviceIP,
                      std::string& error) {
    if (RecordName::checkDeviceId(deviceId) != kRecordOk) {
        error = "device id " + RecordName::printable(deviceId) + " " + RecordName::why(deviceId) +
                " (" + resultToString(kRecordBadName) + ")";
        return false;
    }
    if (RecordName::checkDeviceIP(deviceIP) != kRecordOk) {
        error = "device IP " + RecordName::printable(deviceIP) + " " + RecordName::why(deviceIP) +
                " (" + resultToString(kRecordBadName) + ")";
        return false;
    }
    return true;
}

bool loadConfiguration(const std::string& path, RecorderConfig& config, std::string& error) {
    if (!readConfiguration(path, config, error)) return false;
    if (config.backupDirs.empty()) {
        error = path + ": no backup directory is configured (backupDirs)";
        return false;
    }
    for (const RecordDirInfoEx& dir : config.backupDirs) {
        std::error_code ec;
        if (!fs::is_directory(dir.getRecordRootDir(), ec)) {
            error = "backup directory " + dir.getRecordRootDir() + " does not exist";
            return false;
        }
        BackupDiskIdentity identity;
        if (BackupDisk::identify(*posixFileSystem(), dir.getRecordRootDir(), identity) != 0) {
            error = BackupDisk::notPreparedMessage(dir.getRecordRootDir());
            return false;
        }
    }
    return true;
}

int prepareDiskCommand(const PrepareDiskOptions& options) {
    std::string id;
    int r = BackupDisk::prepare(*posixFileSystem(), options.root, id);
    if (r == kRecordNotFound) {
        std::fprintf(stderr, "nvr-backup: %s is not a folder (mount the backup disk there first)\n",
                     options.root.c_str());
        return 2;
    }
    if (r != 0) {
        std::fprintf(stderr, "nvr-backup: %s cannot be prepared (%s)\n", options.root.c_str(),
                     resultToString(r));
        return 1;
    }
    std::printf("%s is a backup disk (id %s)\n", options.root.c_str(), id.c_str());
    return 0;
}

bool hasPolicy(const RecorderConfig& config, const std::string& deviceId, int cameraId) {
    for (const DevicePolicyConfig& policy : config.policies) {
        if (policy.deviceId == deviceId && (policy.cameraId == 0 || policy.cameraId == cameraId)) {
            return true;
        }
    }
    return false;
}

int runCommand(const RunOptions& options) {
    RecorderConfig config;
    std::string error;
    if (!loadConfiguration(options.configPath, config, error)) return fail(error);
    if (options.jobs.empty()) return fail("no job given (--job DEVICE:CAMERA[:IP])");
    std::vector<JobSpec> jobs;
    for (const std::string& text : options.jobs) {
        JobSpec job;
        if (!parseJobSpec(text, job, error)) return fail(error);
        if (!hasPolicy(config, job.deviceId, job.cameraId)) {
            return fail("unknown camera " + job.deviceId + ":" + std::to_string(job.cameraId) +
                        ": no policy of " + options.configPath + " records it");
        }
        jobs.push_back(job);
    }
    if (options.speed < 0) return fail("--speed must not be negative");
    if (!options.logPath.empty() && Logger::setLogFile(options.logPath, 10 << 20, 3) != 0) {
        return fail("cannot write the log file " + options.logPath);
    }
    TaliqTime::setClockSpeed(options.speed);
    GlobalEnv::getInstance()->setPrintFlag(options.verbose ? 1 : 0);

    // SIGINT and SIGTERM are taken by this thread only (every thread started
    // from here on inherits the blocked mask).
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    BackupServiceManager* manager = BackupServiceManager::getInstance();
    manager->init();
    int result = 0;
    for (const JobSpec& job : jobs) {
        if (manager->addService(0, toInfo(job)) != 0) {
            std::fprintf(stderr, "nvr-backup: the job of %s:%d could not be started\n",
                         job.deviceId.c_str(), job.cameraId);
            result = 1;
        }
    }
    std::printf("nvr-backup: %zu job(s) running (clock speed %g)%s; Ctrl-C stops\n", jobs.size(),
                options.speed, options.untilEmpty ? ", until the local disks are empty" : "");
    std::fflush(stdout);

    while (true) {
        timespec timeout{0, 500 * 1000 * 1000};
        int sig = sigtimedwait(&signals, nullptr, &timeout);
        if (sig == SIGINT || sig == SIGTERM) {
            std::printf("nvr-backup: %s, stopping the jobs\n",
                        sig == SIGINT ? "SIGINT" : "SIGTERM");
            break;
        }
        if (options.untilEmpty) {
            bool empty = true;
            int listed = kRecordOk;
            for (const JobSpec& job : jobs) {
                std::vector<RecordFileInfo> left;
                int r = RecordInventory::files(config.recordDirs, job.deviceId, job.cameraId, left);
                if (r != kRecordOk) listed = r;
                empty = empty && left.empty();
            }
            if (listed != kRecordOk) {
                listingFailed("the local record directories", listed);
                std::printf("nvr-backup: what is left is unknown, stopping the jobs\n");
                result = 1;
                break;
            }
            if (empty) {
                std::printf("nvr-backup: no local recording of the jobs is left\n");
                break;
            }
        }
    }

    // Remove the jobs (the stop thread stops them), wait until they are
    // stopped, then shut the module down.
    std::vector<SafePointer<BackupService>> removed;
    for (const JobSpec& job : jobs) {
        SafePointer<BackupService> handle;
        for (const auto& service : manager->getServices()) {
            if (service->getRecordInfo().getCameraId() == job.cameraId &&
                job.deviceId == service->getRecordInfo().getDeviceId()) {
                handle = service;
            }
        }
        if (manager->removeService(toInfo(job)) == 0 && !handle.isNull()) removed.push_back(handle);
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (auto& job : removed) {
        while (job->isRunning() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    removed.clear();
    manager->unInit();

    for (const JobSpec& job : jobs) {
        RecordInventory::Totals local, backup;
        int r = RecordInventory::totals(config.recordDirs, job.deviceId, job.cameraId, local);
        int b = RecordInventory::totals(config.backupDirs, job.deviceId, job.cameraId, backup);
        std::printf("  %s:%d  backup disk: %d file(s), %s   left locally: %d file(s), %s\n",
                    job.deviceId.c_str(), job.cameraId, backup.files,
                    RecordInventory::formatBytes(backup.bytes).c_str(), local.files,
                    RecordInventory::formatBytes(local.bytes).c_str());
        if (r != kRecordOk || b != kRecordOk) {
            listingFailed(
                "the record directories of " + job.deviceId + ":" + std::to_string(job.cameraId),
                r != kRecordOk ? r : b);
            result = 1;
        }
        // Nothing is dropped in silence: what the jobs did not move, and why.
        std::printf(
            "      dropped: %s; quarantined: %d file(s)\n",
            RecordDropCounter::describe(RecordDropCounter::counts(job.deviceId, job.cameraId))
                .c_str(),
            RecordInventory::quarantined(config.recordDirs, job.deviceId, job.cameraId));
    }
    return result;
}

int recordCommand(const RecordOptions& options) {
    RecorderConfig config;
    std::string error;
    if (!readConfiguration(options.configPath, config, error)) return fail(error);
    if (options.deviceId.empty()) return fail("no device given (--device ID)");
    if (!checkDeviceNames(options.deviceId, options.deviceIP, error)) return fail(error);
    if (options.cameraId <= 0) return fail("--camera must be above 0");
    if (options.dirIndex < 0 || options.dirIndex >= static_cast<int>(config.recordDirs.size())) {
        return fail("--dir " + std::to_string(options.dirIndex) + ": the configuration has " +
                    std::to_string(config.recordDirs.size()) + " record directories");
    }
    const RecordDirInfoEx& dir = config.recordDirs[options.dirIndex];
    std::error_code ec;
    if (!fs::is_directory(dir.getRecordRootDir(), ec)) {
        return fail("record directory " + dir.getRecordRootDir() + " does not exist");
    }
    if (!hasPolicy(config, options.deviceId, options.cameraId)) {
        std::fprintf(stderr,
                     "nvr-backup: warning: no policy records %s:%d; a backup job will "
                     "not find these files\n",
                     options.deviceId.c_str(), options.cameraId);
    }
    SyntheticCamera camera(dir, options.deviceId, options.deviceIP, options.cameraId);
    int files = 0;
    if (!options.importPath.empty()) {
        if (!fs::exists(options.importPath, ec)) {
            return fail("file " + options.importPath + " does not exist");
        }
        long long begin = options.beginMs >= 0 ? options.beginMs : nowMs();
        files = camera.importFile(options.importPath, begin, options.fileSeconds);
        // Errors of the input, not of the disks.
        if (files == kRecordNoVideo) {
            return fail(options.importPath +
                        ": nothing imported: no H.264 or H.265 video with a key frame");
        }
        if (files == kRecordCorrupt) {
            return fail(options.importPath + ": nothing imported: not an MPEG-TS file");
        }
    } else {
        SyntheticStreamOptions stream;
        stream.encoderType = options.hevc ? 2 : 1;
        stream.changeAtSeconds = options.sizeChangeAt;
        long long begin = options.beginMs >= 0
                              ? options.beginMs
                              : nowMs() - static_cast<long long>(options.seconds * 1000);
        files = camera.record(stream, options.seconds, begin, options.fileSeconds);
    }
    if (files < 0) {
        std::fprintf(stderr, "nvr-backup: recording failed (%s)\n", resultToString(files));
        return 1;
    }
    for (const RecordFileInfo& f : camera.files()) {
        std::printf("%s  %s .. %s  %s\n", f.createRecordFileName().c_str(),
                    RecordInventory::formatTime(f.getRecordBeginTime()).c_str(),
                    RecordInventory::formatTime(f.getRecordEndTime()).c_str(),
                    RecordInventory::formatBytes(f.getFileSize()).c_str());
    }
    std::printf("%d record file(s) written for %s:%d\n", files, options.deviceId.c_str(),
                options.cameraId);
    return 0;
}

namespace {

// Answers 0, or the code of a folder that could not be listed (told on
// standard error; the listing goes on with the rest).
int listDirs(const char* title, const std::vector<RecordDirInfoEx>& dirs, bool withNodes) {
    std::printf("%s\n", title);
    int result = kRecordOk;
    for (const RecordDirInfoEx& dir : dirs) {
        std::vector<RecordDirInfoEx> one{dir};
        std::vector<std::string> deviceDirs;
        int r = RecordInventory::deviceDirs(one, deviceDirs);
        bool there = fsutil::isDir(*RecordDiskManagerImpl::fileSystem(), dir.getRecordRootDir());
        std::printf("  %s (group %d)%s\n", dir.getRecordRootDir().c_str(), dir.getGroupId(),
                    r != kRecordOk ? "  -- cannot be listed"
                    : there        ? ""
                                   : "  -- does not exist");
        if (r != kRecordOk) {
            listingFailed(dir.getRecordRootDir(), r);
            result = r;
        }
        std::vector<std::string> quarantined;
        if (there && RecordQuarantine::list(*RecordDiskManagerImpl::fileSystem(),
                                            dir.getRecordRootDir(), quarantined) > 0) {
            std::printf(
                "    quarantined (could not be read; kept, not backed up): %zu file(s) in "
                "%s/record/%s\n",
                quarantined.size(), dir.getRecordRootDir().c_str(), RecordQuarantine::kDirName);
            for (const std::string& name : quarantined) {
                std::printf("      %s\n", RecordName::printable(name).c_str());
            }
        }
        for (const std::string& deviceDir : deviceDirs) {
            std::vector<RecordFileInfo> files;
            r = RecordInventory::filesOfDeviceDir(one, deviceDir, files);
            long long bytes = 0;
            int nodes = 0;
            for (const auto& f : files) {
                bytes += f.getFileSize();
                nodes += f.getNodeCount();
            }
            std::printf("    %s: %zu file(s), %s, %d frame(s)%s\n", deviceDir.c_str(), files.size(),
                        RecordInventory::formatBytes(bytes).c_str(), nodes,
                        r != kRecordOk ? "  -- incomplete" : "");
            if (r != kRecordOk) {
                listingFailed(dir.getRecordRootDir() + "/record/" + deviceDir, r);
                result = r;
            }
            for (const auto& f : files) {
                std::printf("      %s  %s .. %s  %10s  %5d frames\n", f.getRecordFileName().c_str(),
                            RecordInventory::formatTime(f.getRecordBeginTime()).c_str(),
                            RecordInventory::formatTime(f.getRecordEndTime()).c_str(),
                            RecordInventory::formatBytes(f.getFileSize()).c_str(),
                            f.getNodeCount());
                (void)withNodes;
            }
        }
    }
    return result;
}

// Per camera over all backup disks: its nodes and how many of them repeat an
// earlier one (a frame that a crashed move brought to the backup twice). A
// camera's device folders with different IPs count as one camera.
int listBackupCameras(const std::vector<RecordDirInfoEx>& dirs) {
    std::set<std::pair<std::string, int>> cameras;
    std::vector<std::string> folders;
    const int listed = RecordInventory::deviceDirs(dirs, folders);
    for (const std::string& deviceDir : folders) {
        std::string deviceId;
        std::string deviceIP;
        int cameraId = 0;
        if (BasicTool::parseDeviceDirString(deviceDir, deviceId, deviceIP, cameraId)) {
            cameras.insert({deviceId, cameraId});
        }
    }
    if (cameras.empty()) return listed;
    std::printf("Backup disks, per camera:\n");
    for (const auto& camera : cameras) {
        std::vector<RecordInventory::Node> nodes;
        if (!RecordInventory::nodes(dirs, camera.first, camera.second, nodes)) {
            std::printf("  %s:%d  a backup file cannot be read\n", camera.first.c_str(),
                        camera.second);
            continue;
        }
        std::printf("  %s:%d  %s nodes, %s repeats\n", camera.first.c_str(), camera.second,
                    RecordInventory::formatCount(static_cast<long long>(nodes.size())).c_str(),
                    RecordInventory::formatCount(RecordInventory::repeats(nodes)).c_str());
    }
    return listed;
}

}  // namespace

int listCommand(const ListOptions& options) {
    RecorderConfig config;
    std::string error;
    if (!loadConfiguration(options.configPath, config, error)) return fail(error);
    int local = listDirs("Local record directories:", config.recordDirs, options.nodes);
    int backup = listDirs("Backup directories:", config.backupDirs, options.nodes);
    int cameras = listBackupCameras(config.backupDirs);
    return local == kRecordOk && backup == kRecordOk && cameras == kRecordOk ? 0 : 1;
}
