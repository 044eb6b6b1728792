#ifndef RECORDLIB_MOVELEDGER_H
#define RECORDLIB_MOVELEDGER_H

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "RecordLibExport.h"

// Decides when a source record file may leave its day folder during a move
// to a backup disk, so that no frame is ever lost: a source goes only once
// every frame read from it is durable and findable on the backup disk (data
// fsynced, the backup file's name durable in its folder, its nodes listed in
// the backup day index).
//
// The backup writers report to the ledger per camera (device id and camera
// id): opened, durable (a checkpoint or the close made everything written so
// far durable), lost (a checkpoint or the close failed, so some frames may
// not be on the backup disk), closed. A writer whose close is still being
// made durable in the background stays open for the ledger until it reports.
// The source side asks it before a record file is removed (the recycle bin
// and the disk manager's delete) and before its index entry is removed (the
// index parser):
// - no backup file of the camera is open: the source goes now;
// - some are open (the one being written, one being closed in the
//   background, or those of a job being stopped while the camera's next job
//   starts): the removal waits (the file stays in its folder, hidden from the
//   record query) until each of them has made the frames it took durable
//   (its next checkpoint or its close); then the ledger moves the file to the
//   recycle area and removes its index entry, in that order, with one folder
//   sync per day folder for the whole batch;
// - a backup file of the camera was lost since the source was opened: the
//   source stays where it is and is moved again later.
// Pending removals live only in this process: after a crash the sources are
// still in their folders with their index entries, and are moved again.
//
// Thread-safe; every operation takes the ledger's one lock briefly, and file
// operations run outside it.
class RECORDLIB_EXPORT MoveLedger {
  public:
    static MoveLedger& instance();

    // The camera a file belongs to: from the device id and camera id, or from
    // a path <root>/record/<device dir>/<day>/<file> (empty when the path has
    // no such form).
    static std::string cameraKey(const std::string& deviceId, int cameraId);
    static std::string cameraKeyOfPath(const std::string& path);

    // --- The backup side. `writer` identifies one opened backup file, from
    // newWriterId(), unique for the process.
    static unsigned long long newWriterId();
    // When the oldest removal that waits for a writer was asked (steady ms),
    // or -1 when none waits: kept up to date by the ledger, read by the
    // writer at every frame without taking the ledger's lock.
    using OldestWait = std::atomic<long long>;
    std::shared_ptr<const OldestWait> writerOpened(unsigned long long writer,
                                                   const std::string& cameraKey,
                                                   const std::string& path);
    // Everything the writer has taken is durable: releases the camera's
    // pending removals that wait for no other writer (file operations on the
    // caller's thread).
    void writerDurable(unsigned long long writer);
    // Some frames the writer took may not be durable: the pending removals
    // that wait for it are cancelled (their files and index entries stay),
    // and every source of the camera opened before now is kept when its
    // removal is asked.
    void writerLost(unsigned long long writer);
    // The writer is gone. It reported durable or lost before (the removals
    // waiting for it then were released or cancelled); one asked since holds
    // no frame of it and waits for it no more.
    void writerClosed(unsigned long long writer);
    // The close of the writer is done, durable or not: writerDurable or
    // writerLost, then writerClosed, as one step, so that no removal asked
    // meanwhile waits for a writer that will not report again.
    void writerFinished(unsigned long long writer, bool durable);
    // Milliseconds (steady clock) since the oldest pending removal that waits
    // for a writer was asked (from its OldestWait), or -1 when none waits.
    static long long pendingAgeMs(const OldestWait& oldest);
    // Milliseconds (steady clock) since the oldest pending removal of the
    // camera was asked, or -1 when none is pending.
    long long pendingAgeMs(const std::string& cameraKey) const;
    // True when a backup writer of this process has `path` open.
    bool isWriting(const std::string& path) const;

    // --- The source side.
    void sourceOpened(const std::string& path);
    enum Decision {
        kRemoveNow = 0,  // no backup file is waiting: remove it now
        kDeferred = 1,   // the ledger removes it once its frames are durable
        kKeep = 2,       // its frames may be lost on the backup side: keep it
    };
    // Asks to remove the record file at `path`, moving it to `recycleTarget`
    // (empty: unlink it).
    Decision requestRemoval(const std::string& path, const std::string& recycleTarget);
    // The same, as the answer of a delete operation: -1 when the caller is
    // to remove the file now, otherwise what it answers at once (0 kept,
    // 1 removed later by the ledger).
    int holdRemoval(const std::string& path, const std::string& recycleTarget);
    // What becomes of the index entry of a file whose removal was asked.
    enum IndexDecision {
        kIndexNow = 0,       // the file has left (or was never held): remove the entry now
        kIndexAttached = 1,  // it goes with the file, once the file has left
        kIndexKeep = 2,      // the file stays (its removal was cancelled): keep the entry
    };
    IndexDecision attachIndexRemoval(const std::string& indexPath, const std::string& fileName);
    // True while the removal of `path` is pending (the query passes over it).
    bool isPending(const std::string& path) const;

    // Forgets every pending removal and loss, as a restart of the process
    // does (the files stay where they are). REQUIRES: no backup writer open.
    void reset();

    struct Counters {
        long long removedNow = 0;
        long long deferred = 0;
        long long released = 0;
        long long kept = 0;       // refused: a backup file was lost meanwhile
        long long cancelled = 0;  // pending when a backup file was lost
    };
    Counters counters() const;

  private:
    MoveLedger() = default;

    struct Pending {
        std::string path;
        std::string recycleTarget;
        std::string indexPath;  // empty until the index parser attaches
        std::string fileName;
        long long askedMs = 0;
        // The writers of the camera open when the removal was asked that have
        // not been durable since; released when none is left.
        std::vector<unsigned long long> waitingFor;
        bool releasing = false;  // being moved by release()
    };
    struct Camera {
        long long lossSeq = 0;
        std::set<unsigned long long> writers;
        std::vector<Pending> pending;
    };
    struct Writer {
        std::string cameraKey;
        std::string path;
        Camera* camera = nullptr;  // in m_cameras (map nodes stay put)
        std::shared_ptr<OldestWait> oldestWait;
    };
    // The one body of the four writer reports: a durable writer releases the
    // pendings that wait for it only, a lost one cancels those that wait for
    // it; a closed one then leaves the ledger. REQUIRES: m_lock not held.
    void settle(unsigned long long writer, bool durable, bool closed);

    // Moves a batch of pendings that wait for nothing any more (marked
    // releasing) off their disks, then their index entries. REQUIRES: m_lock
    // not held.
    void release(Camera& camera, std::vector<Pending> batch);
    // Cancels the pendings of `camera` that wait for `writer`; their paths
    // join `cancelled`. REQUIRES: m_lock held.
    void cancelWaiting(Camera& camera, unsigned long long writer, std::vector<Pending>& cancelled);
    // Takes `writer` off what the pendings of `camera` wait for, then the
    // pendings that wait for nothing any more. REQUIRES: m_lock held.
    static std::vector<Pending> takeReady(Camera& camera, unsigned long long writer);
    // Logs and announces cancelled removals. REQUIRES: m_lock not held.
    static void reportCancelled(const std::vector<Pending>& cancelled,
                                const std::string& writerPath);

    mutable std::mutex m_lock;
    std::map<std::string, Camera> m_cameras;          // guarded by m_lock
    std::map<unsigned long long, Writer> m_writers;   // guarded by m_lock
    std::map<std::string, long long> m_openSeq;       // source path -> lossSeq at open
    std::map<std::string, std::string> m_pendingKey;  // source path -> camera key
    // Sources whose pending removal was cancelled (or whose move failed)
    // before their index entry was asked about: the entry stays.
    std::set<std::string> m_kept;  // guarded by m_lock
    Counters m_counters;           // guarded by m_lock
};

#endif  // RECORDLIB_MOVELEDGER_H
