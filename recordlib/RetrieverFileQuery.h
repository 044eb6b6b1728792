#ifndef RECORDLIB_RETRIEVERFILEQUERY_H
#define RECORDLIB_RETRIEVERFILEQUERY_H

#include <map>
#include <set>
#include <string>
#include <vector>

#include "RecordDirInfoEx.h"
#include "RecordFileInfo.h"
#include "RecordLibExport.h"
#include "SafePointer.h"

struct RecordIndexSummary;

// Finds record files by time over chosen record directories and device
// directory names, by reading the day index files on disk.
//
// A query object keeps what it found out about the folders (the day folders
// of each device folder, listed again whenever the device folder changed)
// and reuses its buffers, so that asking again allocates little; the day
// indexes themselves are kept by RecordIndexFile::summaries. One thread at a
// time per object.
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
    // listings), appended to `out`, once the backup files being closed in the
    // background are complete (BackupRecordWriter::waitForClosedFiles).
    // Answers the number found, or the negative code of a device folder or
    // day index that could not be read (logged; `out` then holds the files of
    // the others), so that a listing that failed is never taken for an empty
    // one.
    int listRecordFiles(std::vector<RecordFileInfo>& out, bool complete);

  private:
    // The day folders of a device folder as last listed, and when.
    struct Days {
        long long mtimeSeconds = 0;
        long mtimeNanos = 0;
        long long listedAt = 0;  // wall-clock seconds
        std::vector<std::string> names;
    };
    // The day folders of the device folder `deviceDirName` below `recordDir`,
    // oldest first (see the .cpp); `result` takes the code of a failure.
    const std::vector<std::string>& listDays(const std::string& recordDir,
                                             const std::string& deviceDirName, int& result);

    std::set<std::string> m_deviceDirs;
    std::vector<RecordDirInfoEx> m_dirs;
    bool m_iFrameFlag = false;

    std::map<std::string, Days> m_days;  // by device folder path
    std::vector<std::string> m_listed;   // reused by listDays
    // Reused paths and the best file so far.
    std::string m_recordDir, m_devicePath, m_dayDir, m_filePath;
    std::vector<std::string> m_shorter;  // data files found shorter than their index
    RecordFileInfo m_best;
};

#endif  // RECORDLIB_RETRIEVERFILEQUERY_H
