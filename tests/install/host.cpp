// The smallest host of the backup module, built against an installed copy of
// the libraries (check_install.sh): it starts the module on a recorder in a
// temporary folder, adds a camera's job, removes it and shuts the module down.
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
    RecorderConfig config;  // one local disk, one backup disk, the camera in group 1
    config.recordDirs.push_back(makeRecordDir(root + "/rec", RecordDirInfoEx::kAttributeLocal));
    config.backupDirs.push_back(makeRecordDir(root + "/backup", RecordDirInfoEx::kAttributeBackup));
    config.policies.push_back(DevicePolicyConfig{"host-cam", 1, 1});
    RecordDiskManagerImpl::setConfiguration(config);

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
    // removeService() hands the job to the stop thread; unInit() stops it.
    backup->unInit();
    if (failed == nullptr && job->isRunning() != 0) failed = "the job runs after unInit";
    fs::remove_all(root);
    std::fprintf(failed ? stderr : stdout, "nvr-host: %s\n", failed ? failed : "ok");
    return failed ? 1 : 0;
}
