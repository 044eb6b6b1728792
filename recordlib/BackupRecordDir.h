#ifndef RECORDLIB_BACKUPRECORDDIR_H
#define RECORDLIB_BACKUPRECORDDIR_H

#include <atomic>

#include "IRecordDir.h"

class FileSystem;

// A backup directory as the destination of one backup file. canWrite asks
// the file system for the free space of the directory's root and admits a
// frame only when the space left after it stays above the reserve.
// Thread-safe (the written count is atomic).
class BackupRecordDir : public IRecordDir {
  public:
    BackupRecordDir(FileSystem& fs, const RecordDirInfoEx& info, long long reserveBytes)
        : m_fs(fs), m_info(info), m_reserve(reserveBytes) {}

    // False when the free space cannot be read or is below reserve + frame.
    bool canWrite(TSAVData* frame, int arg) override;
    long long addWrittenSize(int size) override;

    const RecordDirInfoEx& getRecordDirInfo() const { return m_info; }
    long long getWrittenSize() const { return m_written.load(); }

  private:
    FileSystem& m_fs;
    RecordDirInfoEx m_info;
    long long m_reserve;
    std::atomic<long long> m_written{0};
};

#endif  // RECORDLIB_BACKUPRECORDDIR_H
