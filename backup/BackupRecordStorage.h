#ifndef BACKUP_BACKUPRECORDSTORAGE_H
#define BACKUP_BACKUPRECORDSTORAGE_H

#include "IRecordDir.h"
#include "IRecordWriter.h"
#include "RecordFileInfo.h"
#include "RecordInfo.h"
#include "SafePointer.h"

class TSAVData;

// The destination end of a backup job: writes frames into record files on
// the backup disk, which the host's disk manager creates. A new file starts at
// the first I-frame after open, at every change of encoder type or picture
// size, and after a failed write; each frame's time stamps are rewritten so
// every file has a continuous time line of its own.
// Not thread-safe: one job's worker thread uses it.
class BackupRecordStorage {
public:
    BackupRecordStorage();
    ~BackupRecordStorage();
    BackupRecordStorage(const BackupRecordStorage&) = delete;
    BackupRecordStorage& operator=(const BackupRecordStorage&) = delete;

    // Prepares the record-file description for the job. Always 0.
    int open(const RecordInfo& info);
    // Closes the current record file, if one is open.
    void baseClose();
    // Closes the current record file and marks the storage closed.
    void close();

    // Writes one frame. 0 written (or deliberately dropped); -703 not open or
    // refused twice by the directory; -739 on TQRuntimeError; otherwise the
    // disk manager's or the writer's failure code.
    int write(int arg, TSAVData* frame);
    int writeData(TSAVData* frame, int arg);
    int createRecordFile(const TSAVData* frame);
    bool isChangeFile(TSAVData* frame);
    bool needCreateFile(TSAVData* frame);
    bool checkTSData(TSAVData* frame);
    long long updata(TSAVData* frame, long long timeStamp);
    void getRequestType(int code);

    // Read access for tests and diagnostics.
    int getRequestTypeValue() const { return m_requestType; }
    bool isFileOpen() const { return m_isFileOpen; }
    bool isOpened() const { return m_isOpened; }
    long long getTimeStampValue() const { return m_timeStamp; }
    const RecordInfo& getRecordInfo() const { return m_recordInfo; }
    const SafePointer<RecordFileInfo>& getRecordFileInfo() const { return m_recordFileInfo; }

private:
    RecordInfo m_recordInfo;
    SafePointer<RecordFileInfo> m_recordFileInfo;
    SafePointer<IRecordWriter> m_recordWriter;
    SafePointer<IRecordDir> m_recordDir;
    bool m_isFirstFile;
    int m_requestType;
    bool m_isFileOpen;
    bool m_isOpened;
    int m_encoderType;
    int m_imageHeight;
    int m_imageWidth;
    long long m_timeStamp;
    bool m_isFirstWrite;
};

#endif  // BACKUP_BACKUPRECORDSTORAGE_H
