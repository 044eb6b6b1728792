#ifndef RECORDLIB_BACKUPRECORDWRITER_H
#define RECORDLIB_BACKUPRECORDWRITER_H

#include "IRecordWriter.h"
#include "RecordDirInfoEx.h"
#include "RecordFileWriter.h"

class FileSystem;

// The writer of one backup file on a backup directory (see IRecordWriter).
// open() creates <backup root>/record/<device dir>/<date>/<begin ms>.ts and
// lists it as being recorded; write() appends a frame's TS packets and keeps
// its index node; close() makes the data durable, then writes the file's
// complete index entry durably, so that the backup disk can be listed and
// read back with the same query as a record disk.
//
// Node of a frame: time offset = frame time stamp - file begin time (ms),
// time length = getDataTimeLength(), key frame = frame type 1.
// Codes: -703 the disk is full (ENOSPC), -707 any other I/O error or a write
// after a failure, -737 the frame would take the file past the directory's
// file segment size. One thread at a time.
class BackupRecordWriter : public IRecordWriter {
  public:
    BackupRecordWriter(FileSystem& fs, const RecordDirInfoEx& dir) : m_writer(fs), m_dir(dir) {}
    ~BackupRecordWriter() override;

    int open(SafePointer<RecordFileInfo>& file, int& startSeconds) override;
    int write(TSAVData* frame, bool lock, int arg) override;
    int close() override;

    const RecordFileWriter& fileWriter() const { return m_writer; }

  private:
    RecordFileWriter m_writer;
    RecordDirInfoEx m_dir;
};

#endif  // RECORDLIB_BACKUPRECORDWRITER_H
