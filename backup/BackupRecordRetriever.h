#ifndef BACKUP_BACKUPRECORDRETRIEVER_H
#define BACKUP_BACKUPRECORDRETRIEVER_H

#include "IBackupRecordRetriever.h"
#include "SafePointer.h"

class RecordInfo;
class TSAVData;

// The source end of a backup job. Reads whole frames from an
// IBackupRecordRetriever: the description first, then the payload in as many
// pieces as the source gives, into a buffer that grows to the largest frame
// and never shrinks. Every TQRuntimeError from the source (or from a misused
// handle) becomes one "BackupIOError" log entry and the result -739.
// Not thread-safe: one job's worker thread uses it.
class NVR_BACKUP_EXPORT BackupRecordRetriever {
  public:
    // With `local` true the source is a LocalBackupRecordRetriever; with false
    // there is no source and every operation answers -739.
    explicit BackupRecordRetriever(bool local);
    // Uses the given source (tests and other hosts).
    explicit BackupRecordRetriever(const SafePointer<IBackupRecordRetriever>& source);
    // Frees the buffer and releases the source; does not close it.
    ~BackupRecordRetriever();
    BackupRecordRetriever(const BackupRecordRetriever&) = delete;
    BackupRecordRetriever& operator=(const BackupRecordRetriever&) = delete;

    // 0 when open; the source's negative code; -739 on TQRuntimeError.
    int open(const RecordInfo& info);
    // 0 with a whole frame in `data`; the source's negative code from
    // getTSInfo (-101: no frame now); -1 when the payload ended early; -739.
    int read(TSAVData* data);
    void close();

    int getBufferSize() const { return m_bufferSize; }

  private:
    SafePointer<IBackupRecordRetriever> m_source;
    char* m_buffer;
    int m_bufferSize;
};

#endif  // BACKUP_BACKUPRECORDRETRIEVER_H
