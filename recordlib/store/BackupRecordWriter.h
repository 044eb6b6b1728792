#ifndef RECORDLIB_BACKUPRECORDWRITER_H
#define RECORDLIB_BACKUPRECORDWRITER_H

#include <memory>
#include <string>

#include "IRecordWriter.h"
#include "RecordDirInfoEx.h"
#include "RecordLibExport.h"
#include "store/BackupDisk.h"
#include "store/MoveLedger.h"
#include "store/RecordFileWriter.h"

class FileSystem;

// The writer of one backup file on a backup directory (see IRecordWriter).
// open() creates <backup root>/record/<device dir>/<date>/<begin ms>.ts and
// lists it as being recorded; write() appends a frame's TS packets and keeps
// its index node; close() completes the file: its data made durable, then its
// complete index entry written durably, so that the backup disk can be listed
// and read back with the same query as a record disk.
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
// Closing in the background: close() hands the file's last durable work (the
// disk check, data fsync, folder sync, complete entry and its sync, then the
// release of the sources waiting for it) to a flusher of the process and
// returns. Files closed together (a shutdown stopping every job) thus have
// their syncs made at the same time, which the file system joins, instead of
// one file after the other. Until the flusher is done the file still counts
// as open for the MoveLedger, so no source whose frames it holds leaves
// before they are durable; a failure there is logged ("RecordWrite") and the
// sources stay, as when a checkpoint fails. The writer's destructor waits for
// the file it closed last (it was written through a file system its owner may
// take away after), waitForClosedFiles() for every file, and so does the end
// of the process.
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
    BackupRecordWriter(FileSystem& fs, const RecordDirInfoEx& dir);
    ~BackupRecordWriter() override;

    int open(SafePointer<RecordFileInfo>& file, int& startSeconds) override;
    int write(TSAVData* frame, bool lock, int arg) override;
    // Hands the open file to the flusher (see above) and answers 0, also when
    // nothing is open; answers -707 at once, without a flush, for a file that
    // a failed checkpoint broke before (it stays "being recorded", and the
    // sources waiting for it stay on their disks).
    int close() override;

    // Makes everything written durable now (see above). Answers 0 or a code;
    // on failure the writer is broken.
    int checkpoint();

    const RecordFileWriter& fileWriter() const { return *m_writer; }

    // Done once the flusher has finished a closed file (internal).
    struct CloseDone;

    // Blocks until the flusher has done the work of every file closed so far:
    // each is complete and durable, or its failure logged and its sources
    // kept.
    static void waitForClosedFiles();
    // With false, close() does that work itself before it answers, and
    // answers its outcome: 0, or -703/-707 (for tests of the writer's own
    // failures). True by default.
    static void setCloseInBackground(bool background);

    // Bytes after which the writeback of what was written is started (see
    // RecordFileWriter::startWriteback).
    static const long long kWritebackBytes = 1LL << 20;
    // Bytes and age of the oldest waiting removal that trigger a checkpoint.
    static const long long kCheckpointBytes = 16LL << 20;
    static const long long kCheckpointMs = 5000;
    // Replaces both for every writer of the process (tests take a checkpoint
    // at every frame with 0, 0); negative values restore the defaults.
    static void setCheckpointPolicy(long long bytes, long long ms);

  private:
    // True when `frame` is a key frame that should start the next file.
    bool endsFileAt(const TSAVData& frame) const;
    void lost();

    FileSystem& m_fs;
    std::unique_ptr<RecordFileWriter> m_writer;  // handed to the flusher by close()
    RecordDirInfoEx m_dir;
    BackupDiskIdentity m_disk;
    std::string m_cameraKey;
    unsigned long long m_ledgerId = 0;  // this file for the MoveLedger, 0 when not registered
    std::shared_ptr<const MoveLedger::OldestWait> m_oldestWait;  // of the open file
    long long m_sinceCheckpoint = 0;         // bytes written since the last checkpoint
    long long m_sinceWriteback = 0;          // bytes written since writeback was last started
    long long m_gopBytes = 0;                // bytes since this file's last key frame
    long long m_largestGopBytes = 0;         // largest group of pictures of this file
    bool m_failed = false;                   // a checkpoint failed: no more writes
    std::shared_ptr<CloseDone> m_closeDone;  // of the file closed last
};

#endif  // RECORDLIB_BACKUPRECORDWRITER_H
