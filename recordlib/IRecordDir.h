#ifndef RECORDLIB_IRECORDDIR_H
#define RECORDLIB_IRECORDDIR_H

#include "RecordDirInfoEx.h"
#include "RecordLibExport.h"

class TSAVData;

// A record directory as a writer's destination: admits frames while the disk
// has room, and is told what was written.
class RECORDLIB_EXPORT IRecordDir {
  public:
    virtual ~IRecordDir() {}
    // True when the frame may be written (the disk has room for it).
    virtual bool canWrite(TSAVData* frame, int arg) = 0;
    // Accounts `size` bytes written. Answers the bytes written so far.
    virtual long long addWrittenSize(int size) = 0;
};

// The directory of a storage that has no record file yet: admits nothing.
class RECORDLIB_EXPORT NullRecordDir : public IRecordDir {
  public:
    explicit NullRecordDir(const RecordDirInfoEx& info) : m_info(info) {}
    bool canWrite(TSAVData*, int) override { return false; }
    long long addWrittenSize(int) override { return 0; }
    const RecordDirInfoEx& getRecordDirInfo() const { return m_info; }

  private:
    RecordDirInfoEx m_info;
};

#endif  // RECORDLIB_IRECORDDIR_H
