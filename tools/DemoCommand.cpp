#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <set>
#include <thread>
#include <utility>

#include "BackupDisk.h"
#include "BackupServiceManager.h"
#include "Commands.h"
#include "FileSystem.h"
#include "GlobalEnv.h"
#include "Logger.h"
#include "RecordDiskManagerImpl.h"
#include "RecordDropCounter.h"
#include "RecordInventory.h"
#include "RecordResult.h"
#include "SyntheticCamera.h"
#include "TaliqTime.h"

namespace fs = std::filesystem;

namespace {

const char* const kDevice = "demo-nvr";
const char* const kDeviceIP = "192.168.1.64";

struct DemoCamera {
    int cameraId;
    int dirIndex;
    bool sizeChange;
    RecordInventory::Totals before;  // on the local disks when the move began
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
            std::fprintf(stderr, "nvr-backup: recording camera %d failed (%s)\n", c.cameraId,
                         resultToString(files));
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

// Tells that the local disks cannot be listed (the log names the folder).
void listingFailed(const std::string& dir, int code) {
    std::fprintf(
        stderr,
        "nvr-backup: the local record directories cannot be listed (%s); see %s/nvr-backup.log\n",
        resultToString(code), dir.c_str());
}

// Shows what is moved and left; answers the local files left of every camera,
// or the code of a listing that failed.
int showProgress(const RecorderConfig& config, std::vector<DemoCamera>& cameras, bool tty,
                 bool final) {
    static bool drawn = false;
    if (tty && drawn) std::printf("\033[%zuA", cameras.size());
    int leftFiles = 0;
    int listed = kRecordOk;
    for (DemoCamera& c : cameras) {
        RecordInventory::Totals left;
        int r = RecordInventory::totals(config.recordDirs, kDevice, c.cameraId, left);
        if (r != kRecordOk) listed = r;
        leftFiles += left.files;
        int moved = c.before.files - left.files;
        long long movedBytes = c.before.bytes - left.bytes;
        std::printf("  job %s:%d  moved %3d file(s) %10s   left %3d file(s) %10s%s\n", kDevice,
                    c.cameraId, moved < 0 ? 0 : moved,
                    RecordInventory::formatBytes(movedBytes < 0 ? 0 : movedBytes).c_str(),
                    left.files, RecordInventory::formatBytes(left.bytes).c_str(),
                    tty ? "\033[K" : "");
    }
    drawn = true;
    (void) final;
    std::fflush(stdout);
    return listed != kRecordOk ? listed : leftFiles;
}

}  // namespace

int demoCommand(const DemoOptions& options) {
    const std::string dir = fs::absolute(options.dir).lexically_normal().string();
    const std::string configPath = dir + "/recorder.json";
    std::vector<DemoCamera> cameras{{1, 0, false, {}, {}}, {2, 1, true, {}, {}}};
    if (options.speed < 0 || options.minutes <= 0) {
        std::fprintf(stderr, "nvr-backup: --speed must be 0 or more and --minutes above 0\n");
        return 2;
    }

    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) {
        std::fprintf(stderr, "nvr-backup: cannot create %s: %s\n", dir.c_str(),
                     ec.message().c_str());
        return 2;
    }
    // The host's log goes to a file, so the console shows the progress.
    Logger::setLogFile(dir + "/nvr-backup.log", 4 << 20, 2);

    RecorderConfig config;
    std::string error;
    if (!fs::exists(configPath)) {
        if (!setUp(options, dir, configPath, cameras)) return 1;
    }
    if (!loadConfiguration(configPath, config, error)) {
        std::fprintf(stderr, "nvr-backup: %s\n", error.c_str());
        return 2;
    }
    for (DemoCamera& c : cameras) {
        int r = RecordInventory::totals(config.recordDirs, kDevice, c.cameraId, c.before);
        if (r != kRecordOk) {
            listingFailed(dir, r);
            return 1;
        }
        if (!RecordInventory::loadNodes(expectedPath(dir, c.cameraId), c.expected)) {
            std::fprintf(stderr, "nvr-backup: %s is missing; remove %s to start over\n",
                         expectedPath(dir, c.cameraId).c_str(), dir.c_str());
            return 2;
        }
    }
    int leftFiles = 0;
    for (const DemoCamera& c : cameras) leftFiles += c.before.files;
    if (leftFiles == 0) {
        std::printf(
            "Nothing left to move: every recording of %s cameras 1 and 2 is on the backup "
            "disk (%s/backup).\nRemove %s to run the demo from the start.\n",
            kDevice, dir.c_str(), dir.c_str());
        return 0;
    }

    TaliqTime::setClockSpeed(options.speed);
    if (options.speed == 0) {
        std::printf("Clock: infinitely fast (no pacing waits)\n");
    } else {
        std::printf(
            "Clock: sped up %g times (a job writes a frame every %g ms instead of 200 ms)\n",
            options.speed, 200 / options.speed);
    }
    std::printf("Moving the recordings of %s cameras 1 and 2 to %s/backup\n", kDevice, dir.c_str());

    // Ctrl-C (or SIGTERM) ends the demo cleanly: taken by this thread only,
    // every thread started from here on inherits the blocked mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    const bool tty = isatty(STDOUT_FILENO) != 0;
    BackupServiceManager* manager = BackupServiceManager::getInstance();
    manager->init();
    for (const DemoCamera& c : cameras) {
        RecordInfo info;
        info.setDeviceId(kDevice);
        info.setDeviceIP(kDeviceIP);
        info.setCameraId(c.cameraId);
        if (manager->addService(0, info) != 0) {
            std::fprintf(stderr, "nvr-backup: the job of camera %d did not start\n", c.cameraId);
        }
    }
    const auto start = std::chrono::steady_clock::now();
    auto lastChange = start;
    int lastLeft = -1;
    bool done = false;
    bool interrupted = false;
    while (!done) {
        const timespec poll = tty ? timespec{0, 100 * 1000 * 1000L} : timespec{1, 0};
        if (sigtimedwait(&signals, nullptr, &poll) > 0) {
            interrupted = true;
            break;
        }
        const int left = showProgress(config, cameras, tty, false);
        if (left < 0) {
            listingFailed(dir, left);
            break;
        }
        done = left == 0;
        auto now = std::chrono::steady_clock::now();
        if (left != lastLeft) {
            lastLeft = left;
            lastChange = now;
        } else if (now - lastChange > std::chrono::seconds(120)) {
            std::fprintf(stderr, "nvr-backup: no progress for 2 minutes; see %s/nvr-backup.log\n",
                         dir.c_str());
            break;
        }
    }
    manager->unInit();  // closes the last backup file of every job
    if (interrupted) {
        showProgress(config, cameras, tty, true);
        std::printf(
            "\nInterrupted: the jobs are stopped and their backup files closed. Run the demo "
            "again on %s to move the rest.\n",
            dir.c_str());
        return 130;
    }
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    showProgress(config, cameras, tty, true);

    std::printf("\nSummary (%.1f s):\n", elapsed);
    bool ok = done;
    long long totalRepeats = 0;
    for (const DemoCamera& c : cameras) {
        std::vector<RecordInventory::Node> arrived;
        bool readable = RecordInventory::nodes(config.backupDirs, kDevice, c.cameraId, arrived);
        RecordInventory::Totals backup, local;
        if (RecordInventory::totals(config.backupDirs, kDevice, c.cameraId, backup) != kRecordOk ||
            RecordInventory::totals(config.recordDirs, kDevice, c.cameraId, local) != kRecordOk) {
            readable = false;
        }
        // Every recorded frame must have arrived, in order, and nothing else.
        // A move that was cut short (Ctrl-C, or a crash) leaves the frames it
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
            "  camera %d: %zu of %zu recorded frames on the backup disk in %d file(s), %s, "
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
            "  %s frame(s) are on the backup disk twice: an earlier run was stopped or killed "
            "in the middle of a record file, and a job moves such a file again from its "
            "start.\n",
            RecordInventory::formatCount(totalRepeats).c_str());
    }
    std::printf(ok ? "Check passed: every recorded frame arrived, in order, and no local "
                     "recording of the two cameras is left.\n"
                   : "Check FAILED: see above and %s/nvr-backup.log\n",
                dir.c_str());
    std::printf("Look at the disks with: nvr-backup ls --config %s\n", configPath.c_str());
    return ok ? 0 : 1;
}
