#ifndef RECORDLIB_RECORDFILEREADER_H
#define RECORDLIB_RECORDFILEREADER_H

#include "IFile.h"
#include "RecordFileIndexNodeInfo.h"
#include "RecordFileInfo.h"
#include "RecordLibExport.h"
#include "SafePointer.h"

// Opens a record file for reading: `file` receives the file's data stream
// positioned at its first frame, `walk` the file's index nodes (cursor before
// the first node) with the file's begin time, picture size and encoder type.
// Answers 0, or a negative code (kRecordOpenFailed when the file or its index
// entry cannot be read); on failure `file` and `walk` are left as they were.
RECORDLIB_EXPORT int openRecordFileForRead(const RecordFileInfo& info, SafePointer<IFile>& file,
                                           RecordFileIndexNodeInfo& walk);

#endif  // RECORDLIB_RECORDFILEREADER_H
