#include "BackupRecordDir.h"

#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "FileSystem.h"
#include "RecordResult.h"
#include "TSAVData.h"

struct BackupRecordDir::Space {
    std::mutex lock;
    bool known = false;          // guarded by lock: `free` holds an answer
    long long free = 0;          // guarded by lock: the last answer of the file system
    long long writtenSince = 0;  // guarded by lock: bytes written below the root since
};

namespace {

// One Space per file system and root, for the life of the process.
std::shared_ptr<BackupRecordDir::Space> spaceOf(FileSystem* fs, const std::string& root) {
    static std::mutex lock;
    static auto* spaces =
        new std::map<std::pair<FileSystem*, std::string>, std::shared_ptr<BackupRecordDir::Space>>;
    std::lock_guard<std::mutex> guard(lock);
    std::shared_ptr<BackupRecordDir::Space>& space = (*spaces)[{fs, root}];
    if (!space) space = std::make_shared<BackupRecordDir::Space>();
    return space;
}

}  // namespace

BackupRecordDir::BackupRecordDir(FileSystem& fs, const RecordDirInfoEx& info,
                                 long long reserveBytes)
    : m_fs(fs),
      m_info(info),
      m_reserve(reserveBytes),
      m_space(spaceOf(&fs, info.getRecordRootDir())) {
    // A new file starts from a fresh answer: the disk may have been swapped
    // or filled by others since the last file.
    std::lock_guard<std::mutex> guard(m_space->lock);
    m_space->known = false;
}

bool BackupRecordDir::canWrite(TSAVData* frame, int /*arg*/) {
    const long long need =
        frame != nullptr && frame->getDataLength() > 0 ? frame->getDataLength() : 0;
    Space& space = *m_space;
    std::lock_guard<std::mutex> guard(space.lock);
    if (!space.known || space.writtenSince >= kFreeSpaceRefreshBytes ||
        space.free - space.writtenSince - m_reserve - need < kFreeSpaceMargin) {
        long long free = 0;
        if (m_fs.freeSpace(m_info.getRecordRootDir(), free) != kRecordOk) {
            space.known = false;
            return false;
        }
        space.known = true;
        space.free = free;
        space.writtenSince = 0;
    }
    return space.free - space.writtenSince - m_reserve >= need;
}

long long BackupRecordDir::addWrittenSize(int size) {
    if (size <= 0) return m_written.load();
    {
        std::lock_guard<std::mutex> guard(m_space->lock);
        m_space->writtenSince += size;
    }
    return m_written.fetch_add(size) + size;
}
