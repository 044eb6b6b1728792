#ifndef RECORDLIB_BACKUPDISK_H
#define RECORDLIB_BACKUPDISK_H

#include <string>

#include "RecordLibExport.h"

class FileSystem;

// What makes a folder a backup disk: the marker file ROOT/.nvr-backup-disk,
// written once by `nvr-backup prepare-disk ROOT` (or prepare()), holding the
// disk's id. The record library writes backup files only below a root that
// carries a valid marker, so a bare mount point (the disk not mounted) or an
// empty folder put in its place is never taken for the disk.
//
// While a backup file is open, the identity seen when it was opened (the id,
// and the device and inode of the root) is checked again before any source
// record file whose frames it holds is let go: a disk unmounted (also
// lazily), swapped or renamed away in the middle of a file is noticed there.
//
// Stateless; safe for concurrent use.
struct BackupDiskIdentity {
    std::string id;  // 32 hex digits, from the marker
    unsigned long long device = 0;
    unsigned long long inode = 0;

    bool operator==(const BackupDiskIdentity& other) const {
        return id == other.id && device == other.device && inode == other.inode;
    }
    bool operator!=(const BackupDiskIdentity& other) const { return !(*this == other); }
};

class RECORDLIB_EXPORT BackupDisk {
  public:
    // The marker's name below a backup root.
    static const char* const kMarkerName;

    // Makes `root` (an existing folder) a backup disk: writes a new marker
    // durably, or keeps the one there (its id survives re-plugging and a
    // second prepare). `id` receives the disk's id. Answers 0, kRecordNotFound
    // when the root is missing or not a folder, or an I/O code.
    [[nodiscard]] static int prepare(FileSystem& fs, const std::string& root, std::string& id);

    // Reads the identity of the disk mounted at `root`. Answers 0,
    // kRecordNotFound when the root is missing, kRecordNotPrepared when it
    // carries no valid marker, or an I/O code.
    [[nodiscard]] static int identify(FileSystem& fs, const std::string& root,
                                      BackupDiskIdentity& out);

    // The message an operator reads when `root` is not prepared.
    static std::string notPreparedMessage(const std::string& root);
};

#endif  // RECORDLIB_BACKUPDISK_H
