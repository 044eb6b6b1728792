#include "DiskManagerFactory.h"

#include "FileSystem.h"
#include "MoveLedger.h"
#include "RecordDiskManagerImpl.h"
#include "RecordResult.h"

namespace {

// Record disks that hold a file system: a record file is an ordinary file.
class FileDiskManager final : public IDiskManager {
  public:
    int deleteRecordFile(const char* fileName) override {
        if (fileName == nullptr || *fileName == '\0') return 0;
        FileSystem& fs = *RecordDiskManagerImpl::fileSystem();
        const std::string path = fileName;
        const int held = MoveLedger::instance().holdRemoval(path, std::string());
        if (held >= 0) return held;
        if (fs.unlink(path) != kRecordOk) return 0;
        (void)fs.syncDir(fsutil::dirName(path));
        return 1;
    }
};

}  // namespace

IDiskManager* DiskManagerFactory::getDiskManager(int /*diskType*/, int /*fileSystemFormat*/) {
    // Every kind of disk of this recorder holds a file system.
    static FileDiskManager manager;
    return &manager;
}
