#ifndef BACKUP_BACKUPRECORDSTORAGE_H
#define BACKUP_BACKUPRECORDSTORAGE_H

#include "IRecordDir.h"
#include "IRecordWriter.h"
#include "NvrBackupExport.h"
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
class NVR_BACKUP_EXPORT BackupRecordStorage {
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
    // `arg` is handed unchanged to the directory's admission check and to the
    // writer (the job passes 0). A frame that may not start the file that is
    // due, whose packets lack the sync byte, or that the writer answers -737
    // for before anything was written since open, is dropped with 0. After a
    // failed write the file is closed and the frame is tried once more in a
    // fresh file. The storage stays open after every failure.
    // REQUIRES: frame is not null.
    int write(int arg, TSAVData* frame);
    // Writes one frame into the current file: 0, -721 no file open, -703 the
    // directory refused it, or the writer's code. Advances the time line
    // before the writer is called.
    int writeData(TSAVData* frame, int arg);
    // Has the disk manager create a new file whose first frame is `frame`,
    // with the current request type, and opens it. 0, or the disk manager's
    // or the writer's code (request type 3 after a failed writer open).
    int createRecordFile(const TSAVData* frame);
    // True when the frame's encoder type or picture size differs from the
    // previous frame's; records the frame's format either way.
    bool isChangeFile(TSAVData* frame);
    // May the frame start a file now: the first file after open starts only at
    // an I-frame of a stream type other than 2; later files at stream type 1.
    bool needCreateFile(TSAVData* frame);
    // True when every 188-byte packet starts with 0x47 (or the frame is empty).
    bool checkTSData(TSAVData* frame);
    // Rewrites the frame's time stamps in place so that it starts at
    // `timeStamp` (microseconds); answers the time stamp of the next frame.
    long long updata(TSAVData* frame, long long timeStamp);
    // Request type for the next file after a write failed with `code`:
    // 2 for -703, 6 for -707, 5 for -737, 0 otherwise.
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
