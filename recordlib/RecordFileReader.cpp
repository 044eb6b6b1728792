#include "RecordFileReader.h"

#include <string>
#include <vector>

#include "FileSystem.h"
#include "Logger.h"
#include "MoveLedger.h"
#include "RecordDiskManagerImpl.h"
#include "RecordIndexFile.h"
#include "RecordResult.h"

namespace {

// A record file's data read in sequence through the file-system seam.
class RecordDataFile final : public IFile {
  public:
    RecordDataFile(FileSystem& fs, int fd) : m_fs(fs), m_fd(fd) {}
    ~RecordDataFile() override { close(); }

    int close() override {
        if (m_fd < 0) return kRecordOk;
        int r = m_fs.close(m_fd);
        m_fd = -1;
        return r;
    }

    int read(char* buffer, int count) override {
        if (m_fd < 0) return kRecordNoStream;
        return m_fs.read(m_fd, buffer, count);
    }

  private:
    FileSystem& m_fs;
    int m_fd;
};

void logOpen(const std::string& path, const std::string& what) {
    std::string message = path + ": " + what;
    Logger::writeLog("RecordRead", message.c_str(), __FILE__, __LINE__);
}

}  // namespace

int openRecordFileForRead(const RecordFileInfo& info, SafePointer<IFile>& file,
                          RecordFileIndexNodeInfo& walk) {
    FileSystem& fs = *RecordDiskManagerImpl::fileSystem();
    const std::string path = info.createRecordFileName();
    const std::string indexPath = RecordIndexFile::pathOf(fsutil::dirName(path));

    RecordIndexEntry entry;
    bool found = false;
    {
        std::lock_guard<std::mutex> guard(RecordIndexFile::lockFor(indexPath));
        std::vector<RecordIndexEntry> entries;
        if (RecordIndexFile::load(fs, indexPath, entries) != kRecordOk) {
            logOpen(indexPath, "index cannot be read");
            return kRecordOpenFailed;
        }
        for (RecordIndexEntry& e : entries) {
            if (e.fileName == info.getRecordFileName()) {
                entry = std::move(e);
                found = true;
                break;
            }
        }
    }
    if (!found) {
        logOpen(path, "no index entry");
        return kRecordOpenFailed;
    }
    if (entry.state == RecordFileInfo::kStateDamaged) {
        logOpen(path, "index entry damaged");
        return kRecordOpenFailed;
    }
    FileStat st;
    const int s = fs.stat(path, st);
    if (s != kRecordOk || st.isDir) {
        logOpen(path,
                s == kRecordOk || s == kRecordNotFound
                    ? std::string("data file missing")
                    : std::string("data file cannot be examined (") + resultToString(s) + ")");
        return kRecordOpenFailed;
    }
    if (st.size < entry.fileSize) {
        // The nodes would run past the data: refuse rather than misread.
        logOpen(path, "data file shorter than its index");
        return kRecordOpenFailed;
    }
    int fd = -1;
    if (fs.open(path, FileSystem::kRead, fd) != kRecordOk) {
        logOpen(path, "data file cannot be opened");
        return kRecordOpenFailed;
    }
    // From here on, a backup file of the camera that is lost keeps this
    // source on its disk.
    MoveLedger::instance().sourceOpened(path);
    file = SafePointer<IFile>(new RecordDataFile(fs, fd));
    walk.reset(entry.beginTime, entry.stream.getImageWidth(), entry.stream.getImageHeight(),
               entry.stream.getEncoderType(), std::move(entry.nodes));
    return kRecordOk;
}
