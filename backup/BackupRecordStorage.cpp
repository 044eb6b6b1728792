#include "BackupRecordStorage.h"

#include <algorithm>
#include <string>

#include "AVStreamInfo.h"
#include "BasicTool.h"
#include "Logger.h"
#include "MPEG_TS_Packager.h"
#include "RecordDirInfoEx.h"
#include "RecordDiskManagerImpl.h"
#include "RecordDropCounter.h"
#include "RecordFileReader.h"
#include "RecordResult.h"
#include "Singlton.h"
#include "TQRuntimeError.h"
#include "TSAVData.h"
#include "TagNew.h"

namespace {

// First byte of every 188-byte transport-stream packet.
const unsigned char kSyncByte = 0x47;
const int kPacketSize = 188;

// Request types handed to the disk manager with a file creation.
const int kRequestContinue = 0;
const int kRequestFirstFile = 1;
const int kRequestDirFull = 2;
const int kRequestOpenFailed = 3;
const int kRequestSegmentFull = 5;
const int kRequestIOError = 6;

// What every guarded block of write does with a TQRuntimeError: the file is
// closed, the error logged where it was caught, and the job told -739.
int failWrite(BackupRecordStorage& storage, const TQRuntimeError& e, int line) {
    storage.baseClose();
    Logger::writeLog("RecordIOError", e.what(), "BackupRecordStorage", line);
    return kRecordException;
}

// A frame that is not written is never dropped in silence: the log names the
// record file it was read from, its time, why, and how many frames of the
// camera have been dropped so far (also counted for the program's summary).
void logDrop(const RecordInfo& camera, const TSAVData* frame, int reason, const char* why,
             int line) {
    const char* id = camera.getDeviceId();
    const std::string deviceId = id != nullptr ? id : "";
    const long long total = RecordDropCounter::note(deviceId, camera.getCameraId(), reason);
    std::string source = currentRecordSource();
    if (source.empty()) source = "(no record file open for reading)";
    const std::string message = source + ": frame at " + std::to_string(frame->getTimeStamp()) +
                                " ms (" + std::to_string(frame->getDataLength()) +
                                " bytes) dropped, " + why + "; " + std::to_string(total) +
                                " frame(s) of " + deviceId + ":" +
                                std::to_string(camera.getCameraId()) + " dropped so far";
    Logger::writeLog("RecordDrop", message.c_str(), "BackupRecordStorage", line);
}

}  // namespace

BackupRecordStorage::BackupRecordStorage()
    : m_recordInfo(),
      m_recordFileInfo(new (__FILE__, __LINE__) RecordFileInfo()),
      m_recordWriter(),
      m_recordDir(),
      m_isFirstFile(true),
      m_requestType(kRequestFirstFile),
      m_isFileOpen(false),
      m_isOpened(false),
      m_encoderType(0),
      m_imageHeight(0),
      m_imageWidth(0),
      m_timeStamp(0),
      m_isFirstWrite(true) {
    RecordDirInfoEx dirInfo;
    SafePointer<IRecordDir> nullDir(new (__FILE__, __LINE__) NullRecordDir(dirInfo));
    m_recordDir = nullDir;
}

// The members are released in reverse order of declaration: the directory,
// the writer, the record-file description, then the job's RecordInfo.
BackupRecordStorage::~BackupRecordStorage() { close(); }

int BackupRecordStorage::open(const RecordInfo& info) {
    const char* rawIP = info.getDeviceIP();
    std::string deviceIP = rawIP != nullptr ? rawIP : "";
    std::replace(deviceIP.begin(), deviceIP.end(), ':', '-');

    m_recordInfo = info;
    m_recordInfo.setDeviceIP(deviceIP.c_str());

    const char* deviceId = m_recordInfo.getDeviceId();
    const char* storedIP = m_recordInfo.getDeviceIP();
    m_recordFileInfo->setRecordMode(1);
    m_recordFileInfo->setDeviceId(std::string(deviceId != nullptr ? deviceId : ""));
    m_recordFileInfo->setDeviceIP(std::string(storedIP != nullptr ? storedIP : ""));
    m_recordFileInfo->setCameraId(m_recordInfo.getCameraId());
    m_recordFileInfo->setLockFlag(false);
    m_recordFileInfo->setRecordStorageType(1);

    m_requestType = kRequestFirstFile;
    m_isOpened = true;
    m_isFileOpen = false;
    m_isFirstFile = true;
    m_isFirstWrite = true;
    return 0;
}

void BackupRecordStorage::baseClose() {
    if (!m_isFileOpen) return;
    // The file counts as closed whatever the writer answers; the next file
    // creation replaces the writer.
    m_isFileOpen = false;
    try {
        m_recordWriter->close();
    } catch (const TQRuntimeError&) {
        return;
    }
    m_timeStamp = 0;
}

void BackupRecordStorage::close() {
    baseClose();
    m_isOpened = false;
}

int BackupRecordStorage::write(int arg, TSAVData* frame) {
    if (!m_isOpened) return kRecordDirRefused;

    // Every frame records its format, whether or not it is written.
    bool changed = isChangeFile(frame);
    if (changed || m_isFirstFile) {
        baseClose();
        try {
            if (!needCreateFile(frame)) {
                logDrop(m_recordInfo, frame, RecordDropCounter::kNoFileToStart,
                        m_isFirstFile ? "it comes before the first key frame"
                                      : "it may not start the new file",
                        __LINE__);
                return 0;
            }
            int r = createRecordFile(frame);
            if (r != 0) {
                if (m_isFirstFile) m_requestType = kRequestFirstFile;
                return r;
            }
        } catch (const TQRuntimeError& e) {
            return failWrite(*this, e, __LINE__);
        }
        m_isFirstFile = false;
    }

    try {
        int r = writeData(frame, arg);
        if (r == 0) return 0;
        baseClose();
        getRequestType(r);
    } catch (const TQRuntimeError& e) {
        return failWrite(*this, e, __LINE__);
    }

    // One more attempt in a fresh file.
    try {
        if (!needCreateFile(frame)) {
            logDrop(m_recordInfo, frame, RecordDropCounter::kNoFileToStart,
                    "its write failed and it may not start a new file", __LINE__);
            return 0;
        }
        int r = createRecordFile(frame);
        if (r != 0) return r;
        r = writeData(frame, arg);
        if (r == 0) return 0;
        baseClose();
        getRequestType(r);
        return r;
    } catch (const TQRuntimeError& e) {
        return failWrite(*this, e, __LINE__);
    }
}

int BackupRecordStorage::writeData(TSAVData* frame, int arg) {
    if (!m_isFileOpen) return kRecordNoFile;
    if (!m_recordDir->canWrite(frame, arg)) return kRecordDirRefused;
    if (!checkTSData(frame)) {
        logDrop(m_recordInfo, frame, RecordDropCounter::kBadPackets,
                "a 188-byte packet lacks the sync byte 0x47", __LINE__);
        return 0;
    }

    // Moved before the write: a frame whose write fails has still advanced
    // the file's time line.
    m_timeStamp = updata(frame, m_timeStamp);

    int r = m_recordWriter->write(frame, m_recordFileInfo->getLockFlag(), arg);
    if (r == 0) {
        m_isFirstWrite = false;
        m_recordDir->addWrittenSize(frame->getDataLength());
        return 0;
    }
    // A segment too small for the very first frame: drop the frame, keep the
    // file.
    if (m_isFirstWrite && r == kRecordSegmentFull) {
        logDrop(m_recordInfo, frame, RecordDropCounter::kFirstWriteFull,
                "the writer answered -737 (segment full) to the first write since open", __LINE__);
        return 0;
    }
    return r;
}

int BackupRecordStorage::createRecordFile(const TSAVData* frame) {
    baseClose();

    long long beginTime = frame->getTimeStamp();
    m_recordFileInfo->setRecordBeginTime(beginTime);
    std::string date = BasicTool::getDateString(beginTime);
    m_recordFileInfo->setRecordDate(date);

    RecordDiskManagerImpl* manager = Singlton<RecordDiskManagerImpl>::getInstance();

    m_recordFileInfo->setAVStreamInfo(AVStreamInfo(frame));

    int r =
        manager->createRecordFile(m_recordFileInfo, m_requestType, 0, m_recordWriter, m_recordDir);
    if (r != 0) {
        m_isFileOpen = false;
        return r;
    }

    int startSeconds = 0;
    r = m_recordWriter->open(m_recordFileInfo, startSeconds);
    if (r != 0) {
        m_isFileOpen = false;
        m_requestType = kRequestOpenFailed;
        return r;
    }

    m_isFileOpen = true;
    m_isOpened = true;
    m_timeStamp = static_cast<long long>(startSeconds) * 1000000LL;
    return 0;
}

bool BackupRecordStorage::isChangeFile(TSAVData* frame) {
    int encoderType = frame->getEncoderType();
    int imageHeight = frame->getImageHeight();
    int imageWidth = frame->getImageWidth();
    if (encoderType == m_encoderType && imageHeight == m_imageHeight &&
        imageWidth == m_imageWidth) {
        return false;
    }
    m_encoderType = encoderType;
    m_imageHeight = imageHeight;
    m_imageWidth = imageWidth;
    return true;
}

bool BackupRecordStorage::needCreateFile(TSAVData* frame) {
    if (m_isFirstFile) {
        if (frame->getESStreamType() == 2) return false;
        return frame->getFrameType() == 1;
    }
    return frame->getESStreamType() == 1;
}

bool BackupRecordStorage::checkTSData(TSAVData* frame) {
    int length = frame->getDataLength();
    const char* data = frame->getData();
    if (length <= 0) return true;
    for (int offset = 0; offset < length; offset += kPacketSize) {
        if (static_cast<unsigned char>(data[offset]) != kSyncByte) return false;
    }
    return true;
}

long long BackupRecordStorage::updata(TSAVData* frame, long long timeStamp) {
    char* data = frame->getData();
    int length = frame->getDataLength();
    // 64-bit conversions between microseconds and 90 kHz ticks. The products
    // are formed in unsigned arithmetic, which wraps modulo 2^64 as the time
    // line requires, and then divided as signed values (truncating to zero).
    long long base =
        static_cast<long long>(static_cast<unsigned long long>(timeStamp) * 9ULL) / 100;
    unsigned long long next = MPEG_TS::MPEG_TS_Packager::adjustTimeStamp(
        reinterpret_cast<unsigned char*>(data), static_cast<unsigned int>(length),
        static_cast<unsigned long long>(base));
    return static_cast<long long>(next * 100ULL) / 9;
}

void BackupRecordStorage::getRequestType(int code) {
    switch (code) {
        case kRecordDirRefused:
            m_requestType = kRequestDirFull;
            break;
        case kRecordIOError:
            m_requestType = kRequestIOError;
            break;
        case kRecordSegmentFull:
            m_requestType = kRequestSegmentFull;
            break;
        default:
            m_requestType = kRequestContinue;
            break;
    }
}
