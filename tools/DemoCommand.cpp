#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <set>
#include <utility>

#include "Commands.h"
#include "GlobalEnv.h"
#include "JobSource.h"
#include "Logger.h"
#include "OperatorText.h"
#include "RecordDiskManagerImpl.h"
#include "RecordDropCounter.h"
#include "RecordInventory.h"
#include "RecordResult.h"
#include "SyntheticCamera.h"
#include "TaliqTime.h"
#include "store/BackupDisk.h"
#include "store/FileSystem.h"
#include "store/RecordDiskLock.h"

namespace fs = std::filesystem;

namespace {

const char* const kDevice = "demo-nvr";
const char* const kDeviceIP = "192.168.1.64";

struct DemoCamera {
    int cameraId;
    int dirIndex;
    bool sizeChange;
    std::vector<RecordInventory::Node> expected;
};

std::string expectedPath(const std::string& dir, int cameraId) {
    return dir + "/expected-" + kDevice + "-" + std::to_string(cameraId) + ".txt";
}

// Creates the configuration, the directories and the recordings.
bool setUp(const DemoOptions& options, const std::string& dir, const std::string& configPath,
           std::vector<DemoCamera>& cameras) {
    std::printf("Setting up the demo recorder in %s\n", dir.c_str());
    RecorderConfig config;
    config.recordDirs = {makeRecordDir(dir + "/local1", RecordDirInfoEx::kAttributeLocal),
                         makeRecordDir(dir + "/local2", RecordDirInfoEx::kAttributeLocal)};
    config.backupDirs = {makeRecordDir(dir + "/backup", RecordDirInfoEx::kAttributeBackup)};
    for (const DemoCamera& c : cameras) config.policies.push_back({kDevice, c.cameraId, 1});
    for (const auto& d : config.recordDirs) fs::create_directories(d.getRecordRootDir());
    fs::create_directories(config.backupDirs[0].getRecordRootDir());
    // The demo's backup disk is a folder, prepared as a real disk would be.
    std::string diskId;
    if (BackupDisk::prepare(*posixFileSystem(), config.backupDirs[0].getRecordRootDir(), diskId) !=
        0) {
        std::fprintf(stderr, "nvr-backup: cannot prepare %s\n",
                     config.backupDirs[0].getRecordRootDir().c_str());
        return false;
    }
    if (config.saveFile(configPath) != 0) {
        std::fprintf(stderr, "nvr-backup: cannot write %s\n", configPath.c_str());
        return false;
    }
    RecordDiskManagerImpl::setConfiguration(config);

    const double seconds = options.minutes * 60;
    const long long end = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
    for (DemoCamera& c : cameras) {
        SyntheticCamera camera(config.recordDirs[c.dirIndex], kDevice, kDeviceIP, c.cameraId);
        SyntheticStreamOptions stream;
        if (c.sizeChange) stream.changeAtSeconds = seconds / 2;
        int files =
            camera.record(stream, seconds, end - static_cast<long long>(seconds * 1000), 30);
        if (files < 0) {
            std::fprintf(stderr, "nvr-backup: recording camera %d failed: %s\n", c.cameraId,
                         OperatorText::result(files).c_str());
            return false;
        }
        std::printf("  camera %d: %g minutes recorded into %s, %d file(s)%s\n", c.cameraId,
                    options.minutes, config.recordDirs[c.dirIndex].getRecordRootDir().c_str(),
                    files, c.sizeChange ? ", picture size 640x360 -> 320x180 half way" : "");
        std::vector<RecordInventory::Node> nodes;
        if (!RecordInventory::nodes(config.recordDirs, kDevice, c.cameraId, nodes) ||
            !RecordInventory::saveNodes(expectedPath(dir, c.cameraId), nodes)) {
            std::fprintf(stderr, "nvr-backup: cannot list the recordings of camera %d\n",
                         c.cameraId);
            return false;
        }
    }
    return true;
}

// A signal that is pending (blocked and sent), taken; 0 when none.
int takePendingSignal(const sigset_t& signals) {
    const timespec now{0, 0};
    const int sig = sigtimedwait(&signals, nullptr, &now);
    return sig > 0 ? sig : 0;
}

}  // namespace

int demoCommand(const DemoOptions& options) {
    const std::string dir = fs::absolute(options.dir).lexically_normal().string();
    const std::string configPath = dir + "/recorder.json";
    const std::string logPath = dir + "/nvr-backup.log";
    std::vector<DemoCamera> cameras{{1, 0, false, {}}, {2, 1, true, {}}};
    if (!std::isfinite(options.speed) || options.speed < 0 || !std::isfinite(options.minutes) ||
        options.minutes <= 0 || options.minutes > 24 * 60) {
        std::fprintf(stderr,
                     "nvr-backup: --speed must be a number of 0 or more and --minutes a number "
                     "above 0 (at most 1440)\n");
        return kExitUsage;
    }

    // Ctrl-C (or SIGTERM) ends the demo cleanly: taken by the supervision
    // loop only, blocked before any thread starts so every thread inherits
    // the mask. One that comes while the demo sets up is taken after it.
    Supervisor::Options supervise;
    sigemptyset(&supervise.signals);
    sigaddset(&supervise.signals, SIGINT);
    sigaddset(&supervise.signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &supervise.signals, nullptr);

    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) {
        std::fprintf(stderr, "nvr-backup: cannot create %s: %s\n", dir.c_str(),
                     ec.message().c_str());
        return kExitUsage;
    }
    // The host's log goes to a file, so the console shows the progress.
    Logger::setLogFile(logPath, 4 << 20, 2);

    RecorderConfig config;
    std::string error;
    if (!fs::exists(configPath)) {
        if (!setUp(options, dir, configPath, cameras)) {
            Logger::setStandardError();
            return kExitFailed;
        }
    }
    if (!loadConfiguration(configPath, config, error)) {
        std::fprintf(stderr, "nvr-backup: %s\n", error.c_str());
        Logger::setStandardError();
        return kExitUsage;
    }
    RecordDiskLock diskLock;
    if (!lockDisks(config, "nvr-backup demo", diskLock, error)) {
        std::fprintf(stderr, "nvr-backup: %s\n", error.c_str());
        Logger::setStandardError();
        return kExitUsage;
    }
    std::vector<Supervisor::Job> jobs;
    for (DemoCamera& c : cameras) {
        if (!RecordInventory::loadNodes(expectedPath(dir, c.cameraId), c.expected)) {
            std::fprintf(stderr, "nvr-backup: %s is missing; remove %s to start over\n",
                         expectedPath(dir, c.cameraId).c_str(), dir.c_str());
            Logger::setStandardError();
            return kExitUsage;
        }
        jobs.push_back({kDevice, c.cameraId, kDeviceIP});
    }
    supervise.speed = options.speed;
    supervise.untilEmpty = true;
    supervise.tty = isatty(STDOUT_FILENO) != 0;
    supervise.logPath = logPath;
    supervise.giveUpSeconds = 120;
    Supervisor supervisor(config, supervise);
    if (!supervisor.addJobs(jobs, error)) {
        std::fprintf(stderr, "nvr-backup: %s\n", error.c_str());
        Logger::setStandardError();
        return kExitUsage;
    }
    // Nothing left only when the jobs say so and every folder could be read.
    bool left = false;
    for (const Supervisor::Job& job : jobs) {
        JobSource source;
        if (!JobSource::find(job.deviceId, job.deviceIP, job.cameraId, source, error)) continue;
        const JobSource::Inventory inventory = source.inventory();
        if (inventory.unreadable != 0) {
            std::fprintf(stderr, "nvr-backup: %s cannot be read: %s; see %s\n",
                         inventory.unreadablePath.c_str(),
                         OperatorText::result(inventory.unreadable).c_str(), logPath.c_str());
            Logger::setStandardError();
            return kExitFailed;
        }
        left = left || source.hasFileToMove();
    }
    if (!left) {
        std::printf(
            "Nothing left to move: every recording of %s cameras 1 and 2 is on the backup "
            "disk (%s/backup).\nRemove %s to run the demo from the start.\n",
            kDevice, dir.c_str(), dir.c_str());
        Logger::setStandardError();
        return kExitOk;
    }
    if (const int sig = takePendingSignal(supervise.signals)) {
        std::printf("Interrupted before the move began. Run the demo again on %s.\n", dir.c_str());
        Logger::setStandardError();
        return sig == SIGINT ? kExitSigint : kExitSigterm;
    }

    TaliqTime::setClockSpeed(options.speed);
    if (options.speed == 0) {
        std::printf("Clock: infinitely fast (no pacing waits)\n");
    } else {
        std::printf("Clock: sped up %g times (a job writes a node every %g ms instead of 200 ms)\n",
                    options.speed, 200 / options.speed);
    }
    std::printf("Moving the recordings of %s cameras 1 and 2 to %s/backup\n", kDevice, dir.c_str());
    std::fflush(stdout);
    const Supervisor::Outcome outcome = supervisor.run();
    if (outcome.signal != 0) {
        std::printf(
            "\nInterrupted: the jobs are stopped and their backup files closed. Run the demo "
            "again on %s to move the rest.\n",
            dir.c_str());
        Logger::setStandardError();
        return exitCodeOf(outcome);
    }

    std::printf("\nCheck:\n");
    bool ok = outcome.empty && !outcome.startFailed;
    long long totalRepeats = 0;
    for (const DemoCamera& c : cameras) {
        std::vector<RecordInventory::Node> arrived;
        bool readable = RecordInventory::nodes(config.backupDirs, kDevice, c.cameraId, arrived);
        RecordInventory::Totals backup, local;
        if (RecordInventory::totals(config.backupDirs, kDevice, c.cameraId, backup) != kRecordOk ||
            RecordInventory::totals(config.recordDirs, kDevice, c.cameraId, local) != kRecordOk) {
            readable = false;
        }
        // Every recorded node must have arrived, in order, and nothing else.
        // A move that was cut short (Ctrl-C, or a crash) leaves the nodes it
        // had moved of a record file on the backup disk, and the next run
        // moves that file again from its start: such repeats are counted,
        // and the nodes without them must be exactly the recorded ones.
        const std::vector<RecordInventory::Node> once = RecordInventory::withoutRepeats(arrived);
        const int repeats = RecordInventory::repeats(arrived);
        std::set<std::pair<long long, int>> there;
        for (const RecordInventory::Node& node : once) there.insert({node.time, node.length});
        size_t matched = 0;
        for (const RecordInventory::Node& node : c.expected) {
            matched += there.count({node.time, node.length});
        }
        const bool same = readable && once == c.expected;
        totalRepeats += repeats;
        ok = ok && same && local.files == 0;
        std::printf(
            "  camera %d: %zu of %zu recorded nodes on the backup disk in %d file(s), %s, "
            "%d repeat(s); %d local file(s) left  %s\n",
            c.cameraId, matched, c.expected.size(), backup.files,
            RecordInventory::formatBytes(backup.bytes).c_str(), repeats, local.files,
            same && local.files == 0 ? "OK" : "MISMATCH");
        const RecordDropCounter::Counts drops = RecordDropCounter::counts(kDevice, c.cameraId);
        const int quarantined =
            RecordInventory::quarantined(config.recordDirs, kDevice, c.cameraId);
        if (drops.total() > 0 || quarantined > 0) {
            std::printf("    dropped: %s; quarantined: %d file(s)\n",
                        RecordDropCounter::describe(drops).c_str(), quarantined);
            ok = false;
        }
    }
    if (totalRepeats > 0) {
        std::printf(
            "  %s node(s) are on the backup disk twice: an earlier run was stopped or killed "
            "in the middle of a record file, and a job moves such a file again from its "
            "start.\n",
            RecordInventory::formatCount(totalRepeats).c_str());
    }
    std::printf(ok ? "Check passed: every recorded node arrived, in order, and no local "
                     "recording of the two cameras is left.\n"
                   : "Check FAILED: see above and %s\n",
                logPath.c_str());
    std::printf("Look at the disks with: %s ls --config %s\n", options.program.c_str(),
                configPath.c_str());
    Logger::setStandardError();
    return ok ? kExitOk : kExitFailed;
}
