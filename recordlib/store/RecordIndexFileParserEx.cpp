#include "RecordIndexFileParserEx.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "Logger.h"
#include "RecordDiskManagerImpl.h"
#include "RecordResult.h"
#include "store/FileSystem.h"
#include "store/MoveLedger.h"
#include "store/RecordIndexFile.h"
#include "store/RecordName.h"

struct RecordIndexFileParserEx::Impl {
    std::string indexPath;
    bool open = false;
    bool edit = false;
    std::vector<std::string> removed;
};

RecordIndexFileParserEx::RecordIndexFileParserEx() : m_impl(new Impl) {}

RecordIndexFileParserEx::~RecordIndexFileParserEx() = default;

namespace {

// The files the index lists now (null when it cannot be read; logged).
// REQUIRES: lockFor(path) held.
const std::vector<RecordIndexSummary>* listed(const std::string& path) {
    const std::vector<RecordIndexSummary>* files = nullptr;
    int r = RecordIndexFile::summaries(*RecordDiskManagerImpl::fileSystem(), path, files);
    if (r == kRecordOk) return files;
    if (r != kRecordNotFound) {
        std::string message = path + ": cannot be read (" + std::string(resultToString(r)) + ")";
        Logger::writeLog("RecordIndex", message.c_str(), __FILE__, __LINE__);
    }
    return nullptr;
}

}  // namespace

int RecordIndexFileParserEx::open(const RecordDirInfoEx& dir, const std::string& date,
                                  const std::string& deviceDir, int /*storageType*/, int mode) {
    // Only the index of a day folder of a device folder is ever edited.
    if (RecordName::checkDeviceDir(deviceDir) != kRecordOk) {
        (void)RecordName::refuse("RecordIndex", "device folder", deviceDir);
        return 0;
    }
    if (RecordName::checkDay(date) != kRecordOk) {
        (void)RecordName::refuse("RecordIndex", "day folder", date);
        return 0;
    }
    std::string path = fsutil::join(fsutil::join(dir.getRecordRootDir(), "record"), deviceDir);
    path = RecordIndexFile::pathOf(fsutil::join(path, date));
    {
        std::lock_guard<std::mutex> guard(RecordIndexFile::lockFor(path));
        if (listed(path) == nullptr) return 0;
    }
    m_impl->indexPath = path;
    m_impl->removed.clear();
    m_impl->open = true;
    m_impl->edit = mode == 1;
    return 1;
}

int RecordIndexFileParserEx::deleteFile(const RecordFileInfo& file) {
    if (!m_impl->open || !m_impl->edit) return 0;
    const std::string& name = file.getRecordFileName();
    if (std::find(m_impl->removed.begin(), m_impl->removed.end(), name) != m_impl->removed.end()) {
        return 0;
    }
    {
        // The index is kept by the process and read only where it grew, so
        // it is looked up as it is now rather than copied at open().
        std::lock_guard<std::mutex> guard(RecordIndexFile::lockFor(m_impl->indexPath));
        const std::vector<RecordIndexSummary>* files = listed(m_impl->indexPath);
        if (files == nullptr ||
            std::none_of(files->begin(), files->end(),
                         [&name](const RecordIndexSummary& e) { return e.fileName == name; })) {
            return 0;
        }
    }
    m_impl->removed.push_back(name);
    return 1;
}

int RecordIndexFileParserEx::close() {
    if (!m_impl->open) return kRecordOk;
    m_impl->open = false;
    if (m_impl->removed.empty()) return kRecordOk;
    // An entry whose file is still waiting to leave (its frames are not yet
    // durable on the backup disk) goes together with the file, one whose
    // file was kept after all stays; the others go now, as removal entries
    // appended to the log with one write. It is not synced: their files have
    // left durably before, and recovery drops an entry whose file is gone.
    std::vector<std::string> now;
    for (const std::string& name : m_impl->removed) {
        if (MoveLedger::instance().attachIndexRemoval(m_impl->indexPath, name) ==
            MoveLedger::kIndexNow) {
            now.push_back(name);
        }
    }
    m_impl->removed.clear();
    if (now.empty()) return kRecordOk;
    FileSystem& fs = *RecordDiskManagerImpl::fileSystem();
    int r;
    {
        std::lock_guard<std::mutex> guard(RecordIndexFile::lockFor(m_impl->indexPath));
        r = RecordIndexFile::appendRemoves(fs, m_impl->indexPath, now, false);
    }
    if (r != kRecordOk) {
        std::string message =
            m_impl->indexPath + ": removal not written (" + resultToString(r) + ")";
        Logger::writeLog("RecordIndex", message.c_str(), __FILE__, __LINE__);
    }
    return r;
}
