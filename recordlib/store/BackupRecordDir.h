#ifndef RECORDLIB_BACKUPRECORDDIR_H
#define RECORDLIB_BACKUPRECORDDIR_H

#include <atomic>
#include <memory>

#include "IRecordDir.h"

class FileSystem;

// A backup directory as the destination of one backup file. canWrite admits a
// frame only when the space left after it stays above the reserve.
//
// The free space of the root is not asked for every frame: the file system
// (statvfs) is asked once kFreeSpaceRefreshBytes have been written below that
// root by this process since the last answer, and in between the free space
// is the last answer less the bytes written since (every directory object of
// the same root and file system shares that count). Once that estimate comes
// within kFreeSpaceMargin of the reserve plus the frame, the file system is
// asked again for every frame, so the decision near the reserve is the one
// the file system's own answer gives.
//
// Thread-safe.
class BackupRecordDir : public IRecordDir {
  public:
    BackupRecordDir(FileSystem& fs, const RecordDirInfoEx& info, long long reserveBytes);

    // False when the free space cannot be read or is below reserve + frame.
    bool canWrite(TSAVData* frame, int arg) override;
    long long addWrittenSize(int size) override;

    const RecordDirInfoEx& getRecordDirInfo() const { return m_info; }
    long long getWrittenSize() const { return m_written.load(); }

    static const long long kFreeSpaceRefreshBytes = 4LL << 20;
    static const long long kFreeSpaceMargin = 16LL << 20;

    // The free space known of one root, shared by its directory objects.
    struct Space;

  private:
    FileSystem& m_fs;
    RecordDirInfoEx m_info;
    long long m_reserve;
    std::atomic<long long> m_written{0};
    std::shared_ptr<Space> m_space;
};

#endif  // RECORDLIB_BACKUPRECORDDIR_H
