#ifndef RECORDLIB_DISKMANAGERFACTORY_H
#define RECORDLIB_DISKMANAGERFACTORY_H

#include "RecordLibExport.h"

// The disk manager of one kind of disk (disk type and file-system format).
class RECORDLIB_EXPORT IDiskManager {
  public:
    virtual ~IDiskManager() {}
    // Removes a record file by its full path. Non-zero when it was removed; 0
    // also for any path that is not <root>/record/<device dir>/<day>/<file>
    // below a configured root (RecordDiskManagerImpl::isRecordFilePath).
    virtual int deleteRecordFile(const char* fileName) = 0;
};

class RECORDLIB_EXPORT DiskManagerFactory {
  public:
    // The process-wide disk manager for the kind of disk; never null, not
    // owned by the caller.
    static IDiskManager* getDiskManager(int diskType, int fileSystemFormat);
};

#endif  // RECORDLIB_DISKMANAGERFACTORY_H
