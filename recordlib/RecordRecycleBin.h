#ifndef RECORDLIB_RECORDRECYCLEBIN_H
#define RECORDLIB_RECORDRECYCLEBIN_H

#include <string>

#include "RecordLibExport.h"

// The recycle area of one record directory (<root>/record/.recycle). A
// removed record file is moved there instead of being destroyed at once, and
// purged later, so it stays recoverable for a while.
class RECORDLIB_EXPORT RecordRecycleBin {
  public:
    RecordRecycleBin(int diskType, const std::string& recordDirPath);
    ~RecordRecycleBin();

    // Prepares the recycle area. Answers 0 or a negative code.
    int init(int fileSystemFormat, long long fileSegmentSize);
    // Moves the file into the recycle area, then purges what has been there
    // longer than the configured retention (RecorderConfig). `builtName` is the full path
    // (RecordFileInfo::createRecordFileName), `heldName` the file's own name.
    // Non-zero when the file was moved; 0 when it was not (not found, or not
    // <device dir>/<day>/<file> of this bin's record folder with every part a
    // plain name, see RecordName).
    int deleteFile(const std::string& builtName, const std::string& heldName);
    // Destroys recycled files older than `maxAgeSeconds`. Answers the count,
    // or the code of a recycle area that cannot be listed (logged).
    int purge(long long maxAgeSeconds);

  private:
    // True when `path` is <record folder>/<device dir>/<day>/<file>.
    bool isRecordFile(const std::string& path) const;

    int m_diskType;
    std::string m_recordDirPath;
    std::string m_recyclePath;
    bool m_ready = false;
};

#endif  // RECORDLIB_RECORDRECYCLEBIN_H
