#ifndef BACKUP_BACKUPSERVICESTOPTHREAD_H
#define BACKUP_BACKUPSERVICESTOPTHREAD_H

#include <vector>

#include "BackupService.h"
#include "GThread.h"
#include "NvrBackupExport.h"
#include "SafePointer.h"
#include "TQMutex.h"

// Stops and releases the jobs that the manager has removed, on a thread of its
// own ("BackupServiceStopThread"), so that removing a job neither waits for
// its worker nor destroys it on the host's thread.
//
// Each pass of the thread takes the whole queue in one batch under the queue's
// lock, then stops each job of the batch with no lock held, and drops the
// batch: a job whose last handle that was is destroyed on this thread.
//
// Thread safety: addBackupService() may be called from any thread (the manager
// calls it under its own lock; lock order: manager's lock, then the queue's
// lock). start() and stop() are called by one thread at a time.
class NVR_BACKUP_EXPORT BackupServiceStopThread {
  public:
    // Builds the thread (palpitation time 900), not started; the queue is empty.
    BackupServiceStopThread();
    // Stops the thread, then releases the queued jobs from the last to the
    // first (destroying those nobody else holds), the lock and the thread.
    ~BackupServiceStopThread();
    BackupServiceStopThread(const BackupServiceStopThread&) = delete;
    BackupServiceStopThread& operator=(const BackupServiceStopThread&) = delete;

    // 1 when the thread already runs; otherwise the result of GThread::start().
    int start();
    // Stops the thread if it runs. Queued jobs stay queued (and keep running)
    // until the thread is started again.
    void stop();
    // Queues a copy of `service`; it is stopped and released by a later pass.
    void addBackupService(const SafePointer<BackupService>& service);

    // One pass, the thread's body: waits 2 s when the queue is empty;
    // otherwise stops every queued job in the order queued and releases them.
    // A TQRuntimeError from one stop is logged ("BackupServiceStopThread") and
    // the pass goes on. Always 0.
    int stopBackupService();

    // Takes the whole queue as one batch, stops every job of it in the order
    // queued on the calling thread (a TQRuntimeError is logged as in a pass)
    // and releases the batch, so a job nobody else holds is destroyed before
    // this returns. For the manager's unInit, after the thread has been
    // stopped: no removed job outlives the module. Answers the jobs stopped.
    int stopQueuedServices();

    // Jobs queued now (for tests and diagnostics).
    int getQueuedCount();

  private:
    // Stops every job of `batch` in order with no lock held, logging a
    // TQRuntimeError and going on with the next.
    static void stopBatch(std::vector<SafePointer<BackupService>>& batch);

    SafePointer<GThread> m_thread;
    TQMutex m_mutex;
    std::vector<SafePointer<BackupService>> m_services;  // guarded by m_mutex
};

#endif  // BACKUP_BACKUPSERVICESTOPTHREAD_H
