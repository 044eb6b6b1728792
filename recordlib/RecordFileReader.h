#ifndef RECORDLIB_RECORDFILEREADER_H
#define RECORDLIB_RECORDFILEREADER_H

#include <string>

#include "IFile.h"
#include "RecordFileIndexNodeInfo.h"
#include "RecordFileInfo.h"
#include "RecordLibExport.h"
#include "SafePointer.h"

// Opens a record file for reading: `file` receives the file's data stream
// positioned at its first frame, `walk` the file's index nodes (cursor before
// the first node) with the file's begin time, picture size and encoder type.
// Answers 0, or a negative code (kRecordOpenFailed when the file or its index
// entry cannot be read, kRecordBadName when the description names no file of
// a day folder); on failure `file` and `walk` are left as they were.
//
// With `forMove` (the backup's reading side) a data file that fails to open,
// and a stream that fails to read, counts towards giving the file up
// (RecordQuarantine); a file already given up on is not opened.
RECORDLIB_EXPORT int openRecordFileForRead(const RecordFileInfo& info, SafePointer<IFile>& file,
                                           RecordFileIndexNodeInfo& walk, bool forMove = false);

// The path of the record file whose data stream this thread opened last and
// has not closed yet; empty when there is none. Lets the writing side of a
// backup name the source file of a frame that it drops.
RECORDLIB_EXPORT std::string currentRecordSource();

#endif  // RECORDLIB_RECORDFILEREADER_H
