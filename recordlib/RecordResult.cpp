#include "RecordResult.h"

const char* resultToString(int code) {
    if (code >= 0) return "ok";
    switch (code) {
        case kRecordFailed:
            return "failed";
        case kRecordNoFrameYet:
            return "no frame yet";
        case kRecordNoStream:
            return "no open data stream";
        case kRecordDirRefused:
            return "directory refused (full)";
        case kRecordOpenFailed:
            return "record file open failed";
        case kRecordIOError:
            return "I/O error";
        case kRecordNoDir:
            return "no record directory";
        case kRecordNotFound:
            return "not found";
        case kRecordBadConfig:
            return "bad configuration";
        case kRecordCorrupt:
            return "corrupt data";
        case kRecordNoSpace:
            return "no space left";
        case kRecordExists:
            return "already exists";
        case kRecordNoVideo:
            return "no H.264 or H.265 video";
        case kRecordNotPrepared:
            return "not a prepared backup disk";
        case kRecordDiskChanged:
            return "backup disk gone or changed";
        case kRecordInUse:
            return "in use by another process";
        case kRecordBadName:
            return "unsafe name";
        case kRecordNoFile:
            return "no record file open";
        case kRecordNoMoreFile:
            return "no further record file";
        case kRecordBadRequest:
            return "bad request";
        case kRecordNoDevice:
            return "no matching device directory";
        case kRecordSegmentFull:
            return "segment full";
        case kRecordException:
            return "exception caught";
        default:
            return "unknown result";
    }
}
