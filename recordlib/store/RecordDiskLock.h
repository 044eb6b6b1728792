#ifndef RECORDLIB_RECORDDISKLOCK_H
#define RECORDLIB_RECORDDISKLOCK_H

#include <string>
#include <vector>

#include "RecordLibExport.h"
#include "config/RecorderConfig.h"

// One process at a time on a set of record disks: the lock of a record root
// is the lock file <root>/record/.nvr-backup.lock, held with flock() (the
// kernel drops it when the holder exits, also when it is killed) and holding
// the holder's pid and command, so that a refused process can name it.
//
// A second process that moved the same cameras would copy every frame twice,
// and its crash recovery would cut back the backup files the first one has
// open. The program takes the lock of every record and backup root of its
// configuration before it starts the module.
//
// Within one process the lock is shared: every RecordDiskLock of the process
// that locks a root holds it, and the file is unlocked when the last of them
// lets go. Thread-safe. The lock files are no record data: they are opened
// directly, not through the FileSystem seam.
class RECORDLIB_EXPORT RecordDiskLock {
  public:
    RecordDiskLock() = default;
    // Lets go of every root it holds.
    ~RecordDiskLock();
    RecordDiskLock(const RecordDiskLock&) = delete;
    RecordDiskLock& operator=(const RecordDiskLock&) = delete;

    // Locks every root of `roots` that exists (its "record" folder is made
    // when missing; a missing root is passed over: nothing is written there),
    // writing this process's pid and `command` into the lock files. Answers 0;
    // kRecordInUse when another process holds one of them, with `error`
    // "<root> is in use by pid N (<its command>)"; or an I/O code with `error`
    // naming the lock file. On failure nothing is held by this call.
    [[nodiscard]] int lock(const std::vector<std::string>& roots, const std::string& command,
                           std::string& error);
    // Lets go of every root it holds.
    void unlock();

    // <root>/record/.nvr-backup.lock
    static std::string lockPath(const std::string& root);
    // The record roots, then the backup roots that are prepared backup disks
    // (BackupDisk), of a configuration.
    static std::vector<std::string> rootsOf(const RecorderConfig& config);

  private:
    std::vector<std::string> m_held;  // lock file paths, one per root locked
};

#endif  // RECORDLIB_RECORDDISKLOCK_H
