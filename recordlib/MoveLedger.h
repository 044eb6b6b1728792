#ifndef RECORDLIB_MOVELEDGER_H
#define RECORDLIB_MOVELEDGER_H

#include <map>
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
// not be on the backup disk), closed. The source side asks it before a record
// file is removed (the recycle bin and the disk manager's delete) and before
// its index entry is removed (the index parser):
// - no backup file of the camera is open: the source goes now;
// - one is open: the removal waits (the file stays in its folder, hidden from
//   the record query) until that writer's next checkpoint or close makes the
//   frames durable; then the ledger moves the file to the recycle area and
//   removes its index entry, in that order, with one folder sync per day
//   folder and one index sync per day index for the whole batch. When several
//   backup files of the camera are open (a job being stopped while the
//   camera's next job starts), the removal waits for every one of them;
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

    // --- The backup side. `writer` only identifies the caller.
    void writerOpened(const void* writer, const std::string& cameraKey, const std::string& path);
    // Everything the writer has taken is durable: releases the camera's
    // pending removals (file operations on the caller's thread).
    void writerDurable(const void* writer);
    // Some frames the writer took may not be durable: the camera's pending
    // removals are cancelled (their files stay), and every source opened
    // before now is kept when its removal is asked.
    void writerLost(const void* writer);
    void writerClosed(const void* writer);
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
    // The index entry of a file whose removal is pending goes with it: true
    // when attached; false when nothing is pending (remove the entry now).
    bool attachIndexRemoval(const std::string& indexPath, const std::string& fileName);
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
        // The camera's writers open when the removal was asked (one of them
        // holds the frames) that have not been durable since.
        std::set<const void*> waitingFor;
    };
    struct Camera {
        long long lossSeq = 0;
        std::set<const void*> writers;
        std::vector<Pending> pending;
    };
    struct Writer {
        std::string cameraKey;
        std::string path;
    };

    static void release(std::vector<Pending>& batch);
    // Takes `writer` off the waits of its camera's pending removals and moves
    // those that wait for nothing more into `batch`, keeping them listed as
    // pending until released. REQUIRES: m_lock held.
    void readyAfter(const void* writer, std::vector<Pending>& batch);
    void released(const std::vector<Pending>& batch);

    mutable std::mutex m_lock;
    std::map<std::string, Camera> m_cameras;          // guarded by m_lock
    std::map<const void*, Writer> m_writers;          // guarded by m_lock
    std::map<std::string, long long> m_openSeq;       // source path -> lossSeq at open
    std::map<std::string, std::string> m_pendingKey;  // source path -> camera key
    Counters m_counters;                              // guarded by m_lock
};

#endif  // RECORDLIB_MOVELEDGER_H
