#ifndef BACKUP_BACKUPSERVICE_H
#define BACKUP_BACKUPSERVICE_H

#include <functional>

#include "IBackupRecordRetriever.h"
#include "NvrBackupExport.h"
#include "RecordInfo.h"
#include "SafePointer.h"

class BackupRecordRetriever;
class BackupRecordStorage;
class GThread;
class TSAVData;

// One backup job: moves the recordings of one device and camera from the
// local record disks (the source) to the backup disk (the destination), one
// frame per step, on a worker thread of its own named "backupRecord".
//
// The job keeps an open flag per end, so every step knows which end it still
// has to open; a failure closes what has to be closed and clears the flags, and
// a later step starts again from the first end that is not open. A third flag
// keeps a frame whose write failed: the next step writes that frame again
// instead of reading a new one, so a missing or full backup disk holds the
// source back instead of making it read, drop and delete the recordings.
//
// Thread safety: backupRecord() runs only on the job's worker thread, and the
// ends, the frame and the flags belong to that thread while it runs.
// startService() and stopService() are called by one thread at a time (the
// manager under its lock, the stop thread, or the last releasing handle);
// stopService() stops the worker before it touches the ends.
//
// Held only through SafePointer<BackupService>; the last release destroys the
// job, and the destructor stops it first.
class NVR_BACKUP_EXPORT BackupService {
  public:
    // Builds the job for `info` (its begin and end times are set to 0); does not
    // start it. `type` 0 reads the local record disks; any other type has no
    // source, and the job refuses to run (every step answers -1).
    BackupService(int type, const RecordInfo& info);
    // Builds a job that reads from `source` instead of the local record disks
    // (tests and hosts with other sources).
    BackupService(const SafePointer<IBackupRecordRetriever>& source, const RecordInfo& info);
    // Stops the job, then deletes the source, the destination, the frame and
    // the worker thread.
    ~BackupService();
    BackupService(const BackupService&) = delete;
    BackupService& operator=(const BackupService&) = delete;

    // One step, the worker thread's body. 0 when the job goes on (the step
    // waited as its outcome demands: 0.2 s after a written frame, 1 s while the
    // source has nothing, 2 s after a failed write); -1 after a failure that
    // closed both ends and cleared both flags, or for a job without source.
    int backupRecord();
    // 1 when the worker already runs; otherwise the result of GThread::start()
    // (non-zero when started).
    int startService();
    // Stops the worker if it runs, then closes the source, then the
    // destination, whichever is open. A frame held after a failed write is
    // given up (the source delivers it again when it is reopened).
    void stopService();

    // The job's record information (begin and end times 0).
    const RecordInfo& getRecordInfo() const { return m_recordInfo; }

    // Non-zero while the worker thread runs.
    int isRunning() const;

    // Test seam: called last by stopService() while set (the worker has been
    // stopped and both ends closed), so a test can make a stop fail (by
    // throwing TQRuntimeError) or watch the order of completed stops.
    void setStopHook(std::function<void()> hook) { m_stopHook = std::move(hook); }

  private:
    BackupService(int type, const RecordInfo& info,
                  const SafePointer<IBackupRecordRetriever>* source);

    RecordInfo m_recordInfo;
    BackupRecordStorage* m_recordStorage;
    BackupRecordRetriever* m_recordRetriever;
    GThread* m_thread;
    bool m_isRetrieverOpen;
    bool m_isStorageOpen;
    TSAVData* m_data;
    // The frame in m_data has been written (or there is none to write): the
    // next step reads a new one. Cleared by a failed write.
    bool m_isDataWritten;
    int m_type;
    std::function<void()> m_stopHook;
};

#endif  // BACKUP_BACKUPSERVICE_H
