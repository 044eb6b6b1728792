// The smallest host of the backup module, built against an installed copy of
// the libraries (check_install.sh): it configures a recorder in a temporary
// folder, starts the module, adds a camera's job, removes it and shuts the
// module down. Exit code 0 when every call answered as a host expects.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "BackupServiceManager.h"
#include "RecordDiskManagerImpl.h"
#include "config/RecorderConfig.h"

int main() {
    namespace fs = std::filesystem;
    std::string root = (fs::temp_directory_path() / "nvr-host-XXXXXX").string();
    if (mkdtemp(root.data()) == nullptr) return 1;
    fs::create_directories(root + "/rec");
    fs::create_directories(root + "/backup");

    // One local record disk, one backup disk, and the policy that the
    // camera is recorded by group 1.
    RecorderConfig config;
    config.recordDirs.push_back(makeRecordDir(root + "/rec", RecordDirInfoEx::kAttributeLocal));
    config.backupDirs.push_back(makeRecordDir(root + "/backup", RecordDirInfoEx::kAttributeBackup));
    config.policies.push_back(DevicePolicyConfig{"host-cam", 1, 1});
    RecordDiskManagerImpl::setConfiguration(config);

    // init() once, then addService() per camera (0: from the local disks).
    BackupServiceManager* backup = BackupServiceManager::getInstance();
    RecordInfo camera;
    camera.setDeviceId("host-cam");
    camera.setDeviceIP("10.0.0.7");
    camera.setCameraId(1);
    SafePointer<BackupService> job;
    const char* failed = backup->init() != 1                  ? "init"
                         : backup->addService(0, camera) != 0 ? "addService"
                         : !backup->findService(camera, job)  ? "findService"
                         : backup->removeService(camera) != 0 ? "removeService"
                         : backup->getServiceCount() != 0     ? "a removed job is still listed"
                                                              : nullptr;
    // removeService() hands the job to the stop thread and returns at once;
    // unInit() stops the stop thread and every job it still holds.
    backup->unInit();
    if (failed == nullptr && job->isRunning() != 0) failed = "the job runs after unInit";
    fs::remove_all(root);
    if (failed != nullptr) {
        std::fprintf(stderr, "nvr-host: %s\n", failed);
        return 1;
    }
    std::printf("nvr-host: init, addService, removeService, unInit: ok\n");
    return 0;
}
