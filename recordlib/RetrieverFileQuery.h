#ifndef RECORDLIB_RETRIEVERFILEQUERY_H
#define RECORDLIB_RETRIEVERFILEQUERY_H

#include <set>
#include <string>
#include <vector>

#include "RecordDirInfoEx.h"
#include "RecordFileInfo.h"
#include "RecordLibExport.h"
#include "SafePointer.h"

// Finds record files by time over chosen record directories and device
// directory names, by reading the day index files on disk.
class RECORDLIB_EXPORT RetrieverFileQuery {
  public:
    RetrieverFileQuery() = default;

    void setDeviceList(const std::set<std::string>& deviceDirs) { m_deviceDirs = deviceDirs; }
    void setRecordDirInfo(const std::vector<RecordDirInfoEx>& dirs) { m_dirs = dirs; }
    // When set, only files whose first node is a key frame are given out.
    void setIFrameFlag(bool flag) { m_iFrameFlag = flag; }

    // Finds the oldest complete record file of the devices in the directories
    // that ends after `time` (ms since the epoch). When `complete` is true,
    // files still being recorded are never given out (the backup always asks
    // so). On success replaces `out` with a new description and answers
    // non-zero; answers 0 when there is none. Never given out: a file whose
    // removal is pending (MoveLedger), a file given up on (RecordQuarantine),
    // a file whose data are shorter than its index (with `complete`, each such
    // look counts as a failed read towards its quarantine). A device folder,
    // day index or data file that cannot be read is logged ("RecordQuery")
    // and passed over.
    int getRecordFileInfo(long long time, SafePointer<RecordFileInfo>& out, bool complete);

    // Every record file of the devices in the directories, oldest first (for
    // listings), appended to `out`. Answers the number found, or the negative
    // code of a device folder or day index that could not be read (logged;
    // `out` then holds the files of the others), so that a listing that
    // failed is never taken for an empty one.
    int listRecordFiles(std::vector<RecordFileInfo>& out, bool complete);

  private:
    std::set<std::string> m_deviceDirs;
    std::vector<RecordDirInfoEx> m_dirs;
    bool m_iFrameFlag = false;
};

#endif  // RECORDLIB_RETRIEVERFILEQUERY_H
