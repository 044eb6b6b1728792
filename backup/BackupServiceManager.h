#ifndef BACKUP_BACKUPSERVICEMANAGER_H
#define BACKUP_BACKUPSERVICEMANAGER_H

#include <vector>

#include "BackupService.h"
#include "BackupServiceStopThread.h"
#include "NvrBackupExport.h"
#include "RecordInfo.h"
#include "SafePointer.h"
#include "TQMutex.h"

// The one process-wide owner of all backup jobs and the host's entry point.
//
// The host calls getInstance(), init() once, addService() for each backup
// request, removeService() to end one, and unInit() when it shuts the module
// down. A job is identified by the device id (compared byte for byte with
// strcmp) and the camera id of its RecordInfo; the device IP and the times take
// no part. A removed job is handed to the stop thread, which stops and
// releases it later, so removeService() does not wait for the job.
//
// Thread safety: init(), unInit(), addService() and removeService() may be
// called from any thread; the manager's lock guards the job list and is taken
// before the stop thread's lock, never after it.
class NVR_BACKUP_EXPORT BackupServiceManager {
  public:
    // The one instance, created on the first call and never deleted.
    static BackupServiceManager* getInstance();

    // Starts the stop thread and empties the job list (a job whose last
    // handle that was is destroyed, and thereby stopped, here). Always 1.
    int init();
    // Stops the stop thread, then stops every listed job in list order and
    // empties the list, then stops and releases the removed jobs still queued
    // for the stop thread: no job runs once it returns. Holds the manager's
    // lock while the jobs stop.
    void unInit();

    // Starts the job of info's device and camera, creating it first when there
    // is none (`type` 0: the local record disks are its source). 0 when the
    // job runs afterwards; -1 when its thread could not be started (the job
    // stays listed, and a later call tries again).
    [[nodiscard]] int addService(int type, const RecordInfo& info);
    // Hands the first matching job to the stop thread and takes it off the
    // list. 0 when a job matched; -1 when none did.
    [[nodiscard]] int removeService(const RecordInfo& info);
    // Sets `out` to the first matching job and answers true; answers false and
    // leaves `out` untouched when none matches.
    // REQUIRES: the caller holds the manager's lock (addService does), or no
    // other thread changes the job list meanwhile.
    bool findService(const RecordInfo& info, SafePointer<BackupService>& out);

    // Jobs listed now (takes the lock; for tools and tests).
    int getServiceCount();
    // Copies of the listed jobs' handles, in list order (takes the lock).
    std::vector<SafePointer<BackupService>> getServices();
    // The stop thread (for tests and diagnostics).
    BackupServiceStopThread& getStopThread() { return m_stopThread; }

    BackupServiceManager();
    ~BackupServiceManager();
    BackupServiceManager(const BackupServiceManager&) = delete;
    BackupServiceManager& operator=(const BackupServiceManager&) = delete;

  private:
    std::vector<SafePointer<BackupService>> m_services;  // guarded by m_mutex
    TQMutex m_mutex;
    BackupServiceStopThread m_stopThread;
};

#endif  // BACKUP_BACKUPSERVICEMANAGER_H
