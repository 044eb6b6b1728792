#ifndef RECORDLIB_IRECORDWRITER_H
#define RECORDLIB_IRECORDWRITER_H

#include "RecordLibExport.h"
#include "SafePointer.h"

class RecordFileInfo;
class TSAVData;

// Writes one new record file on a backup directory, frame by frame, with the
// file's index. Used by one thread at a time.
//
// Failure codes of write (see RecordResult.h):
//   -703 the record directory is full (the frame does not fit on the disk),
//   -707 an I/O error while writing the data or the index,
//   -737 the frame does not fit in the file's segment (file size limit).
class RECORDLIB_EXPORT IRecordWriter {
  public:
    virtual ~IRecordWriter() {}
    // Creates the file described by `file`. On success answers 0 and sets
    // startSeconds to the stream time, in seconds, at which the file's first
    // frame is to be placed (so its first PCR and DTS are above 0).
    virtual int open(SafePointer<RecordFileInfo>& file, int& startSeconds) = 0;
    // Appends one frame. `lock` marks the file locked against recycling; `arg`
    // is the caller's argument, unused here. 0 on success.
    virtual int write(TSAVData* frame, bool lock, int arg) = 0;
    // Completes the file, data and index durable (fsync): before it answers,
    // or, for the backup disk's writer (BackupRecordWriter), in the
    // background, with the sources whose frames it holds kept until then.
    // 0 on success.
    virtual int close() = 0;
};

#endif  // RECORDLIB_IRECORDWRITER_H
