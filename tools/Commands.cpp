#include "Commands.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <set>
#include <utility>

#include "BasicTool.h"
#include "GlobalEnv.h"
#include "Logger.h"
#include "OperatorText.h"
#include "RecordDiskManagerImpl.h"
#include "RecordDropCounter.h"
#include "RecordInventory.h"
#include "RecordResult.h"
#include "Supervisor.h"
#include "SyntheticCamera.h"
#include "TaliqTime.h"
#include "store/BackupDisk.h"
#include "store/FileSystem.h"
#include "store/RecordDiskLock.h"
#include "store/RecordName.h"
#include "store/RecordQuarantine.h"

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
    std::fprintf(stderr, "nvr-backup: %s cannot be listed: %s; see the log\n", what.c_str(),
                 OperatorText::result(code).c_str());
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

bool checkLogFolder(const std::string& path, std::string& error) {
    std::error_code ec;
    const fs::path file(path);
    if (fs::is_directory(file, ec)) {
        error = "log file " + path + " is a folder";
        return false;
    }
    const fs::path folder = file.has_parent_path() ? file.parent_path() : fs::path(".");
    if (!fs::is_directory(folder, ec)) {
        error = "the folder of the log file, " + folder.string() +
                ", does not exist (it is not created)";
        return false;
    }
    return true;
}

}  // namespace

int exitCodeOf(const Supervisor::Outcome& outcome) {
    if (outcome.signal == SIGINT) return kExitSigint;
    if (outcome.signal == SIGTERM) return kExitSigterm;
    return outcome.startFailed || outcome.gaveUp || outcome.unreadable != 0 ? kExitFailed : kExitOk;
}

bool openLogFile(const std::string& path, std::string& error) {
    if (!checkLogFolder(path, error)) return false;
    if (Logger::setLogFile(path, 10 << 20, 3) != 0) {
        error = "cannot write the log file " + path;
        return false;
    }
    return true;
}

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
        std::fprintf(stderr, "nvr-backup: %s cannot be prepared: %s\n", options.root.c_str(),
                     OperatorText::result(r).c_str());
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

bool lockDisks(const RecorderConfig& config, const std::string& command, RecordDiskLock& lock,
               std::string& error) {
    return lock.lock(RecordDiskLock::rootsOf(config), command, error) == kRecordOk;
}

int runCommand(const RunOptions& options) {
    if (!std::isfinite(options.speed) || options.speed < 0) {
        return fail("--speed must be a number of 0 or more (1 real time, 0 no pacing waits)");
    }
    std::string error;
    std::string logPath;
    if (!options.logPath.empty()) {
        logPath = fs::absolute(options.logPath).lexically_normal().string();
        if (!checkLogFolder(logPath, error)) return fail(error);
    }
    RecorderConfig config;
    if (!loadConfiguration(options.configPath, config, error)) return fail(error);
    if (options.jobs.empty()) return fail("no job given (--job DEVICE:CAMERA[:IP])");
    std::vector<Supervisor::Job> jobs;
    std::set<std::pair<std::string, int>> seen;
    for (const std::string& text : options.jobs) {
        JobSpec job;
        if (!parseJobSpec(text, job, error)) return fail(error);
        if (!seen.insert({job.deviceId, job.cameraId}).second) {
            return fail("job " + job.deviceId + ":" + std::to_string(job.cameraId) +
                        " given twice");
        }
        jobs.push_back({job.deviceId, job.cameraId, job.deviceIP});
    }
    // Before the module first touches the disks: the disk manager's first use
    // runs the crash recovery, which would cut back the backup files of a
    // process already moving them.
    RecordDiskLock diskLock;
    if (!lockDisks(config, "nvr-backup run", diskLock, error)) return fail(error);

    // SIGINT and SIGTERM are taken by the supervision loop only: blocked
    // here, before any thread starts, so every thread inherits the mask.
    Supervisor::Options supervise;
    sigemptyset(&supervise.signals);
    sigaddset(&supervise.signals, SIGINT);
    sigaddset(&supervise.signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &supervise.signals, nullptr);
    supervise.speed = options.speed;
    supervise.untilEmpty = options.untilEmpty;
    supervise.verbose = options.verbose;
    supervise.tty = isatty(STDOUT_FILENO) != 0;
    supervise.logPath = logPath;
    Supervisor supervisor(config, supervise);
    if (!supervisor.addJobs(jobs, error)) return fail(error);
    if (!logPath.empty() && !openLogFile(logPath, error)) return fail(error);

    TaliqTime::setClockSpeed(options.speed);
    GlobalEnv::getInstance()->setPrintFlag(options.verbose ? 1 : 0);
    const Supervisor::Outcome outcome = supervisor.run();
    Logger::setStandardError();
    return exitCodeOf(outcome);
}

int recordCommand(const RecordOptions& options) {
    RecorderConfig config;
    std::string error;
    if (!readConfiguration(options.configPath, config, error)) return fail(error);
    if (options.deviceId.empty()) return fail("no device given (--device ID)");
    if (!checkDeviceNames(options.deviceId, options.deviceIP, error)) return fail(error);
    if (options.cameraId <= 0) return fail("--camera must be above 0");
    if (!std::isfinite(options.seconds) || options.seconds <= 0 || options.seconds > 1e7) {
        return fail("--seconds must be a number above 0 (at most 10,000,000)");
    }
    if (options.fileSeconds <= 0) return fail("--file-seconds must be above 0");
    if (!std::isfinite(options.sizeChangeAt)) return fail("--size-change must be a number");
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
        std::fprintf(stderr, "nvr-backup: recording failed: %s\n",
                     OperatorText::result(files).c_str());
        return 1;
    }
    for (const RecordFileInfo& f : camera.files()) {
        std::printf("%s  %s .. %s  %s\n", f.createRecordFileName().c_str(),
                    RecordInventory::formatTime(f.getRecordBeginTime()).c_str(),
                    RecordInventory::formatTime(f.getRecordEndTime()).c_str(),
                    RecordInventory::formatBytes(f.getFileSize()).c_str());
    }
    std::printf("%d record file(s) written for %s:%d (times in local time, %s)\n", files,
                options.deviceId.c_str(), options.cameraId,
                RecordInventory::timeZoneText().c_str());
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
            std::printf("    %s: %zu file(s), %s, %d node(s)%s\n", deviceDir.c_str(), files.size(),
                        RecordInventory::formatBytes(bytes).c_str(), nodes,
                        r != kRecordOk ? "  -- incomplete" : "");
            if (r != kRecordOk) {
                listingFailed(dir.getRecordRootDir() + "/record/" + deviceDir, r);
                result = r;
            }
            for (const auto& f : files) {
                std::printf("      %s  %s .. %s  %10s  %5d nodes\n", f.getRecordFileName().c_str(),
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
    std::printf("Times are local time (%s), as in the log. A node is up to 0.5 s of video.\n",
                RecordInventory::timeZoneText().c_str());
    int local = listDirs("Local record directories:", config.recordDirs, options.nodes);
    int backup = listDirs("Backup directories:", config.backupDirs, options.nodes);
    int cameras = listBackupCameras(config.backupDirs);
    return local == kRecordOk && backup == kRecordOk && cameras == kRecordOk ? 0 : 1;
}
