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
// entry cannot be read); on failure `file` and `walk` are left as they were.
//
// One reader at a time: a record file whose stream another reader of this
// process holds is refused (kRecordOpenFailed, logged "RecordRead"), so two
// backup jobs of one camera never move the same file. The stream holds its
// file until it is closed or destroyed; a stream read to the end of its data
// holds it until it is destroyed, so that its reader can delete the file
// before any other reader can take it. A file whose removal waits in the
// MoveLedger is refused as well (kRecordOpenFailed), also when the caller's
// query found it just before its reader asked for the removal.
//
// It answers kRecordBadName when the description names no file of a day
// folder.
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

// The index walk of a record file alone, as openRecordFileForRead gives it,
// without a data stream: for those that only look at the nodes, which may do
// so while a reader holds the file. 0 or kRecordOpenFailed.
RECORDLIB_EXPORT int readRecordFileNodes(const RecordFileInfo& info, RecordFileIndexNodeInfo& walk);

// True while a stream of this process holds the record file at `path`.
RECORDLIB_EXPORT bool isRecordFileBeingRead(const std::string& path);

#endif  // RECORDLIB_RECORDFILEREADER_H
