#ifndef RECORDLIB_RECORDINDEXFILEPARSEREX_H
#define RECORDLIB_RECORDINDEXFILEPARSEREX_H

#include <memory>
#include <string>

#include "RecordDirInfoEx.h"
#include "RecordFileInfo.h"
#include "RecordLibExport.h"

// Edits the index file of one device and day.
class RECORDLIB_EXPORT RecordIndexFileParserEx {
  public:
    RecordIndexFileParserEx();
    ~RecordIndexFileParserEx();

    // Opens the index of <dir root>/record/<deviceDir>/<date>. `mode` 1 opens
    // it for editing (changes are written back atomically by close()).
    // Answers non-zero when open, 0 when there is no such index or it cannot
    // be read, or when `deviceDir` or `date` is not a device or day folder
    // name (RecordName).
    int open(const RecordDirInfoEx& dir, const std::string& date, const std::string& deviceDir,
             int storageType, int mode);
    // Removes the entry of `file` (matched by its file name). Answers non-zero
    // when an entry was removed.
    int deleteFile(const RecordFileInfo& file);
    // Writes the changes back (atomically) and closes. 0 on success.
    int close();

  private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

#endif  // RECORDLIB_RECORDINDEXFILEPARSEREX_H
