#ifndef RECORDLIB_BACKUPRECORDWRITER_H
#define RECORDLIB_BACKUPRECORDWRITER_H

#include <string>

#include "BackupDisk.h"
#include "IRecordWriter.h"
#include "RecordDirInfoEx.h"
#include "RecordFileWriter.h"
#include "RecordLibExport.h"

class FileSystem;

// The writer of one backup file on a backup directory (see IRecordWriter).
// open() creates <backup root>/record/<device dir>/<date>/<begin ms>.ts and
// lists it as being recorded; write() appends a frame's TS packets and keeps
// its index node; close() makes the data durable, then writes the file's
// complete index entry durably, so that the backup disk can be listed and
// read back with the same query as a record disk.
//
// Source record files of the same camera whose frames this file holds wait
// in the MoveLedger until they are durable here. The writer makes them so at
// a checkpoint (data fsync, then its nodes appended to the day index), taken
// while removals are waiting once kCheckpointBytes have been written since
// the last one or the oldest removal has waited kCheckpointMs, and at close.
// Before a checkpoint or the close counts as durable, the backup disk's
// identity is checked against the one seen at open(): a disk that was
// unmounted, swapped or renamed away makes the checkpoint fail, the writer
// broken (-707 on the next write, so the storage starts a new file) and the
// waiting sources stay on their disk.
//
// Node of a frame: time offset = frame time stamp - file begin time (ms),
// time length = getDataTimeLength(), key frame = frame type 1.
//
// A file ends at a key frame, so that the next one starts playable: a key
// frame is refused with -737 once the file's size plus the margin of one
// group of pictures (the largest seen in this file, or one and a half times
// the one the key frame ends, whichever is more) would pass the directory's
// file segment size; the storage then starts the next file with that key
// frame. A frame that still does not fit is refused with -737 too.
// Codes: -703 the disk is full (ENOSPC), -707 any other I/O error or a write
// after a failure, -737 the file's segment is full (see above). One thread at
// a time.
class RECORDLIB_EXPORT BackupRecordWriter : public IRecordWriter {
  public:
    BackupRecordWriter(FileSystem& fs, const RecordDirInfoEx& dir) : m_writer(fs), m_dir(dir) {}
    ~BackupRecordWriter() override;

    int open(SafePointer<RecordFileInfo>& file, int& startSeconds) override;
    int write(TSAVData* frame, bool lock, int arg) override;
    int close() override;

    // Makes everything written durable now (see above). Answers 0 or a code;
    // on failure the writer is broken.
    int checkpoint();

    const RecordFileWriter& fileWriter() const { return m_writer; }

    // Bytes and age of the oldest waiting removal that trigger a checkpoint.
    static const long long kCheckpointBytes = 16LL << 20;
    static const long long kCheckpointMs = 5000;
    // Replaces both for every writer of the process (tests take a checkpoint
    // at every frame with 0, 0); negative values restore the defaults.
    static void setCheckpointPolicy(long long bytes, long long ms);

  private:
    // True when `frame` is a key frame that should start the next file.
    bool endsFileAt(const TSAVData& frame) const;
    // Answers 0 when the disk at the root is still the one of open().
    int checkDisk();
    void lost();

    RecordFileWriter m_writer;
    RecordDirInfoEx m_dir;
    BackupDiskIdentity m_disk;
    std::string m_cameraKey;
    long long m_sinceCheckpoint = 0;  // bytes written since the last checkpoint
    long long m_gopBytes = 0;         // bytes since this file's last key frame
    long long m_largestGopBytes = 0;  // largest group of pictures of this file
    bool m_registered = false;        // known to the MoveLedger
    bool m_failed = false;            // a checkpoint failed: no more writes
};

#endif  // RECORDLIB_BACKUPRECORDWRITER_H
