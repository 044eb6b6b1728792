#ifndef RECORDLIB_RECORDRECOVERY_H
#define RECORDLIB_RECORDRECOVERY_H

#include <string>

#include "RecordLibExport.h"

class FileSystem;
struct RecorderConfig;

// What one recovery pass mended.
struct RecoveryReport {
    int backupFilesCompleted = 0;  // left "being recorded": cut back to their listed nodes
    int backupFilesRemoved = 0;    // left "being recorded" with no listed node: removed
    long long bytesCut = 0;        // data past the last listed node, cut off
    int unlistedRemoved = 0;       // backup data files no index lists, removed
    int entriesDropped = 0;        // index entries whose data file is gone, dropped
    int leftoversRemoved = 0;      // temporary files of interrupted index rewrites
    int errors = 0;                // mends that failed (logged)
};

// Turns every state a crash (of the process or of the machine) can leave on
// the record and backup disks into a good one, before any backup job reads.
// Each step is idempotent, so a crash during recovery is one more crash
// state that the next pass mends.
//
// On a backup root:
// - a file left "being recorded" is cut back to the nodes its day index lists
//   (those were made durable, data first) and completed; with no listed node
//   it is removed. Its frames past the last listed node belong to source
//   files that never left their disks, so they are moved again;
// - a data file no index entry lists is removed, for the same reason;
// On every root: an index entry whose data file is gone is dropped, and the
// temporary file of an interrupted index rewrite is removed.
//
// Files that a backup writer of this process has open are left alone.
// Every mend is logged (category "RecordRecovery").
class RECORDLIB_EXPORT RecordRecovery {
  public:
    [[nodiscard]] static int recoverBackupRoot(FileSystem& fs, const std::string& root,
                                               RecoveryReport& report);
    [[nodiscard]] static int recoverRecordRoot(FileSystem& fs, const std::string& root,
                                               RecoveryReport& report);
    // Every record root of the configuration, and every backup root that is
    // a prepared backup disk. Answers 0, or the first failure's code.
    [[nodiscard]] static int recoverAll(FileSystem& fs, const RecorderConfig& config,
                                        RecoveryReport& report);
};

#endif  // RECORDLIB_RECORDRECOVERY_H
