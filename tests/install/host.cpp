// The smallest host of the backup module, built against an installed copy of
// the libraries (see check_install.sh): it configures a recorder in a
// temporary folder, starts the module, adds the job of one camera, removes it,
// waits until the stop thread has stopped it, and shuts the module down.
// Exit code 0 when every call answered as a host expects.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "BackupServiceManager.h"
#include "RecordDiskManagerImpl.h"
#include "config/RecorderConfig.h"

namespace {

int fail(const char* what) {
    std::fprintf(stderr, "nvr-host: %s\n", what);
    return 1;
}

// Set by the job's stop hook once the stop thread has stopped the job.
struct Stopped {
    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;
};

}  // namespace

int main() {
    namespace fs = std::filesystem;
    std::string root = (fs::temp_directory_path() / "nvr-host-XXXXXX").string();
    if (mkdtemp(root.data()) == nullptr) return fail("no temporary folder");
    fs::create_directories(root + "/rec");
    fs::create_directories(root + "/backup");

    // One local record disk, one backup disk, and the policy that the
    // camera is recorded by group 1.
    RecorderConfig config;
    config.recordDirs.push_back(makeRecordDir(root + "/rec", RecordDirInfoEx::kAttributeLocal));
    config.backupDirs.push_back(makeRecordDir(root + "/backup", RecordDirInfoEx::kAttributeBackup));
    config.policies.push_back(DevicePolicyConfig{"host-cam", 1, 1});
    RecordDiskManagerImpl::setConfiguration(config);

    // Start: init() once, then addService() per camera (0: from the local
    // record disks).
    BackupServiceManager* backup = BackupServiceManager::getInstance();
    if (backup->init() != 1) return fail("init");
    RecordInfo camera;
    camera.setDeviceId("host-cam");
    camera.setDeviceIP("10.0.0.7");
    camera.setCameraId(1);
    int result = backup->addService(0, camera) == 0 ? 0 : fail("addService");

    // removeService() hands the job to the stop thread and returns at once; a
    // host that shuts down next keeps a handle and waits for that stop.
    SafePointer<BackupService> job;
    if (result == 0 && !backup->findService(camera, job)) result = fail("findService");
    if (result == 0) {
        auto stopped = std::make_shared<Stopped>();
        job->setStopHook([stopped] {
            std::lock_guard<std::mutex> guard(stopped->mutex);
            stopped->done = true;
            stopped->changed.notify_all();
        });
        if (backup->removeService(camera) != 0) {
            result = fail("removeService");
        } else {
            std::unique_lock<std::mutex> lock(stopped->mutex);
            if (!stopped->changed.wait_for(lock, std::chrono::seconds(60),
                                           [&] { return stopped->done; })) {
                result = fail("the removed job was not stopped");
            }
        }
    }
    if (result == 0 && job->isRunning() != 0) result = fail("the removed job still runs");
    if (result == 0 && backup->getServiceCount() != 0) result = fail("a job is still listed");

    // Shutdown: unInit() stops the stop thread and every job still listed.
    backup->unInit();

    fs::remove_all(root);
    if (result == 0) std::printf("nvr-host: init, addService, removeService, unInit: ok\n");
    return result;
}
