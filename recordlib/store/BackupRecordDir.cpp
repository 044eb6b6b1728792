#include "store/BackupRecordDir.h"

#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "RecordResult.h"
#include "TSAVData.h"
#include "store/FileSystem.h"

// Written under `lock` (an answer of the file system), read without it by
// the frames that the estimate admits far from the reserve.
struct BackupRecordDir::Space {
    std::mutex lock;
    std::atomic<bool> known{false};          // `free` holds an answer
    std::atomic<long long> free{0};          // the last answer of the file system
    std::atomic<long long> writtenSince{0};  // bytes written below the root since
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
    m_space->known = false;
}

bool BackupRecordDir::canWrite(TSAVData* frame, int /*arg*/) {
    const long long need =
        frame != nullptr && frame->getDataLength() > 0 ? frame->getDataLength() : 0;
    Space& space = *m_space;
    auto estimateServes = [&] {
        const long long since = space.writtenSince.load();
        return space.known.load() && since < kFreeSpaceRefreshBytes &&
               space.free.load() - since - m_reserve - need >= kFreeSpaceMargin;
    };
    if (estimateServes()) return true;  // the frame fits with the margin to spare
    std::lock_guard<std::mutex> guard(space.lock);
    if (!estimateServes()) {
        long long free = 0;
        if (m_fs.freeSpace(m_info.getRecordRootDir(), free) != kRecordOk) {
            space.known = false;
            return false;
        }
        space.free = free;
        space.writtenSince = 0;
        space.known = true;
    }
    return space.free.load() - space.writtenSince.load() - m_reserve >= need;
}

long long BackupRecordDir::addWrittenSize(int size) {
    if (size <= 0) return m_written.load();
    m_space->writtenSince.fetch_add(size);
    return m_written.fetch_add(size) + size;
}
