#ifndef RECORDLIB_RECORDQUARANTINE_H
#define RECORDLIB_RECORDQUARANTINE_H

#include <string>
#include <vector>

#include "RecordLibExport.h"

class FileSystem;

// Record files that the backup cannot open or read (a file without read
// permission, an I/O error of the disk, data cut short under its index).
// Such a file would otherwise be handed out again at every new start of the
// camera's backup, and hold back every file after it for good.
//
// The backup's reads (openRecordFileForRead with forMove) report each failed
// open or read here, keyed by the file's path. At the kMaxFailures-th failure
// the file is given up on: it is moved into the quarantine folder of its
// record folder, <root>/record/.quarantine/<seconds>#<device dir>#<day>#<file>,
// its day folder synced, then its index entry removed with an appended,
// fsynced removal (the order the MoveLedger keeps: the file leaves before its
// entry). It is never deleted. From then on the record query passes over it
// (also when the move itself failed), and the camera's backup goes on with the
// next file. The counts live in this process: after a restart a file that is
// still in place gets kMaxFailures new tries.
//
// Thread-safe: one lock guards the counts; file operations run outside it.
class RECORDLIB_EXPORT RecordQuarantine {
  public:
    static const char* const kDirName;  // ".quarantine", beside the device folders
    static constexpr int kMaxFailures = 3;

    // Notes a failed open or read of the record file at `path` (`what` says
    // which, for the log). Answers true when the file is given up on (now, or
    // before).
    static bool noteFailure(const std::string& path, const std::string& what);
    // True when the file at `path` has been given up on in this process.
    static bool isQuarantined(const std::string& path);
    // Moves the record file at `path` (<root>/record/<device dir>/<day>/<file>
    // below a configured root) into quarantine now, as above, and logs it
    // ("RecordQuarantine") with `why`. Answers 0 or a code; the file counts as
    // given up on either way.
    static int quarantine(const std::string& path, const std::string& why);

    // The names in the quarantine folder of a record root, appended to `names`.
    // Answers their count (0 when there is no such folder).
    static int list(FileSystem& fs, const std::string& root, std::vector<std::string>& names);
    // The device folder a quarantined file's name comes from ("" when the name
    // has another form).
    static std::string deviceDirOf(const std::string& quarantinedName);
    // Files given up on by this process.
    static long long count();
    // Forgets the failure counts and the files given up on (tests).
    static void reset();
};

#endif  // RECORDLIB_RECORDQUARANTINE_H
