#include "DiskManagerFactory.h"

#include "RecordDiskManagerImpl.h"
#include "RecordResult.h"
#include "store/FileSystem.h"
#include "store/MoveLedger.h"
#include "store/RecordName.h"

namespace {

// Record disks that hold a file system: a record file is an ordinary file.
class FileDiskManager final : public IDiskManager {
  public:
    int deleteRecordFile(const char* fileName) override {
        if (fileName == nullptr || *fileName == '\0') return 0;
        FileSystem& fs = *RecordDiskManagerImpl::fileSystem();
        const std::string path = fileName;
        // Only a record file in a day folder of a configured root is ever
        // removed: a name built from a hostile entry may point anywhere.
        if (!RecordDiskManagerImpl::isRecordFilePath(path)) {
            RecordName::logOnce("RecordDisk", "delete\n" + path,
                                RecordName::printable(path) +
                                    ": not a record file of a configured root, not removed");
            return 0;
        }
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
