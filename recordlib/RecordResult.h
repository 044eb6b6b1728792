#ifndef RECORDLIB_RECORDRESULT_H
#define RECORDLIB_RECORDRESULT_H

#include "RecordLibExport.h"

// Result codes of the record library and of the backup module. 0 or a
// positive value is success; negative values are told apart by value.
enum RecordResult {
    kRecordOk = 0,
    kRecordFailed = -1,         // generic failure; facade: payload incomplete
    kRecordNoFrameYet = -101,   // the file reached has no index node yet
    kRecordNoStream = -702,     // read with no open data stream
    kRecordDirRefused = -703,   // storage not open / directory refused (disk full)
    kRecordOpenFailed = -705,   // a record file failed to open
    kRecordIOError = -707,      // I/O error while writing a record file
    kRecordNoDir = -708,        // no qualifying record directory
    kRecordNotFound = -710,     // file, folder or entry does not exist
    kRecordBadConfig = -711,    // configuration missing or malformed
    kRecordCorrupt = -712,      // a checksum or format check failed
    kRecordNoSpace = -713,      // the disk is full (ENOSPC, EDQUOT)
    kRecordExists = -714,       // the file or folder already exists (EEXIST)
    kRecordNoVideo = -715,      // an import found no H.264/H.265 video with a key frame
    kRecordNotPrepared = -716,  // a backup root that is not a prepared backup disk
    kRecordDiskChanged = -717,  // the backup disk under an open file is gone or another
    kRecordInUse = -718,        // another process holds the record disks (RecordDiskLock)
    kRecordBadName = -719,      // a device id, IP, folder or file name that is not one plain
                                // name ("/", "..", NUL, a control character, hidden, too long)
    kRecordNoFile = -721,       // no record file open (storage internal)
    kRecordNoMoreFile = -728,   // no (further) record file
    kRecordBadRequest = -734,   // device id empty or camera id 0
    kRecordNoDevice = -735,     // no matching device directory
    kRecordSegmentFull = -737,  // frame does not fit in the file's segment
    kRecordException = -739,    // a TQRuntimeError was caught at a boundary
};

// A short name of a result code, for logs and test messages.
RECORDLIB_EXPORT const char* resultToString(int code);

#endif  // RECORDLIB_RECORDRESULT_H
