#ifndef BACKUP_IBACKUPRECORDRETRIEVER_H
#define BACKUP_IBACKUPRECORDRETRIEVER_H

#include "NvrBackupExport.h"

class RecordInfo;
class TSAVData;

// The source of a backup job: the recorded frames of one device and camera,
// delivered in two stages per frame (its description and length, then its
// payload). BackupRecordRetriever is the one caller.
// Not thread-safe: used by one thread at a time (the job's worker).
class NVR_BACKUP_EXPORT IBackupRecordRetriever {
  public:
    // noexcept(false): implementations hold SafePointer members, whose release
    // reports a stale handle by throwing TQRuntimeError.
    virtual ~IBackupRecordRetriever() noexcept(false) {}

    // Prepares reading of the request's range. 0 on success, a negative code
    // otherwise.
    virtual int open(const RecordInfo& info) = 0;
    // Takes the next frame, writes its attributes into `data` (not its payload)
    // and answers the payload length in bytes (0 or more), or a negative code.
    virtual int getTSInfo(TSAVData* data) = 0;
    // Reads at most `length` payload bytes of the frame getTSInfo announced.
    // Answers the bytes read; below 1 means nothing more can be read.
    virtual int readTSData(char* buffer, int length) = 0;
    // Ends reading and releases what open took; also called on a source whose
    // open failed. Callers do not rely on the answer.
    virtual int close() = 0;
};

#endif  // BACKUP_IBACKUPRECORDRETRIEVER_H
