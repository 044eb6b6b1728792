#include "RecordIndexFileParserEx.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "FileSystem.h"
#include "Logger.h"
#include "MoveLedger.h"
#include "RecordDiskManagerImpl.h"
#include "RecordIndexFile.h"
#include "RecordName.h"
#include "RecordResult.h"

struct RecordIndexFileParserEx::Impl {
    std::string indexPath;
    bool open = false;
    bool edit = false;
    std::vector<RecordIndexEntry> entries;
    std::vector<std::string> removed;
};

RecordIndexFileParserEx::RecordIndexFileParserEx() : m_impl(new Impl) {}

RecordIndexFileParserEx::~RecordIndexFileParserEx() = default;

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
    FileSystem& fs = *RecordDiskManagerImpl::fileSystem();
    std::string path = fsutil::join(fsutil::join(dir.getRecordRootDir(), "record"), deviceDir);
    path = RecordIndexFile::pathOf(fsutil::join(path, date));
    std::vector<RecordIndexEntry> entries;
    int r;
    {
        std::lock_guard<std::mutex> guard(RecordIndexFile::lockFor(path));
        r = RecordIndexFile::load(fs, path, entries);
    }
    if (r != kRecordOk) {
        if (r != kRecordNotFound) {
            std::string message =
                path + ": cannot be read (" + std::string(resultToString(r)) + ")";
            Logger::writeLog("RecordIndex", message.c_str(), __FILE__, __LINE__);
        }
        return 0;
    }
    m_impl->indexPath = path;
    m_impl->entries = std::move(entries);
    m_impl->removed.clear();
    m_impl->open = true;
    m_impl->edit = mode == 1;
    return 1;
}

int RecordIndexFileParserEx::deleteFile(const RecordFileInfo& file) {
    if (!m_impl->open || !m_impl->edit) return 0;
    const std::string& name = file.getRecordFileName();
    auto it = std::find_if(m_impl->entries.begin(), m_impl->entries.end(),
                           [&name](const RecordIndexEntry& e) { return e.fileName == name; });
    if (it == m_impl->entries.end()) return 0;
    m_impl->entries.erase(it);
    m_impl->removed.push_back(name);
    return 1;
}

int RecordIndexFileParserEx::close() {
    if (!m_impl->open) return kRecordOk;
    m_impl->open = false;
    if (m_impl->removed.empty()) return kRecordOk;
    // An entry whose file is still waiting to leave (its frames are not yet
    // durable on the backup disk) goes together with the file; the others go
    // now, as removal entries appended to the log with one write and one sync.
    std::vector<std::string> now;
    for (const std::string& name : m_impl->removed) {
        if (!MoveLedger::instance().attachIndexRemoval(m_impl->indexPath, name)) {
            now.push_back(name);
        }
    }
    m_impl->removed.clear();
    if (now.empty()) return kRecordOk;
    FileSystem& fs = *RecordDiskManagerImpl::fileSystem();
    int r;
    {
        std::lock_guard<std::mutex> guard(RecordIndexFile::lockFor(m_impl->indexPath));
        r = RecordIndexFile::appendRemoves(fs, m_impl->indexPath, now, true);
    }
    if (r != kRecordOk) {
        std::string message =
            m_impl->indexPath + ": removal not written (" + resultToString(r) + ")";
        Logger::writeLog("RecordIndex", message.c_str(), __FILE__, __LINE__);
    }
    return r;
}
