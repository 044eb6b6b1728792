#include "RecordFileReader.h"

#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "BasicTool.h"
#include "Logger.h"
#include "RecordDiskManagerImpl.h"
#include "RecordResult.h"
#include "store/FileSystem.h"
#include "store/MoveLedger.h"
#include "store/RecordIndexFile.h"
#include "store/RecordName.h"
#include "store/RecordQuarantine.h"

namespace {

// The record files that a stream of this process holds (normalised paths).
std::mutex g_readersLock;
std::set<std::string> g_beingRead;  // guarded by g_readersLock

// The source this thread reads (currentRecordSource).
thread_local std::string t_source;

bool claimFile(const std::string& path) {
    std::lock_guard<std::mutex> guard(g_readersLock);
    return g_beingRead.insert(path).second;
}

void releaseFile(const std::string& path) {
    std::lock_guard<std::mutex> guard(g_readersLock);
    g_beingRead.erase(path);
}

// A record file's data read in sequence through the file-system seam. Holds
// its file (see openRecordFileForRead) until closed before the end of its
// `size` bytes, or destroyed. With `forMove`, a failed read, or data that end
// before the index says, counts towards giving the file up.
class RecordDataFile final : public IFile {
  public:
    RecordDataFile(FileSystem& fs, int fd, std::string path, long long size, bool forMove)
        : m_fs(fs), m_fd(fd), m_path(std::move(path)), m_size(size), m_forMove(forMove) {
        t_source = m_path;
    }
    ~RecordDataFile() override {
        close();
        release();
    }

    int close() override {
        if (m_fd < 0) return kRecordOk;
        if (t_source == m_path) t_source.clear();
        int r = m_fs.close(m_fd);
        m_fd = -1;
        // Read to its end, the file is about to be deleted by this reader:
        // it stays held until the stream goes, or another reader would take
        // it up again in between.
        if (m_read < m_size) release();
        return r;
    }

    int read(char* buffer, int count) override {
        if (m_fd < 0) return kRecordNoStream;
        const int n = m_fs.read(m_fd, buffer, count);
        if (n > 0) m_read += n;
        if (m_forMove && count > 0 && (n < 0 || (n == 0 && m_read < m_size))) {
            RecordQuarantine::noteFailure(
                m_path,
                n < 0 ? std::string("read failed (") + resultToString(n) + ")"
                      : "data end at byte " + std::to_string(m_read) + ", before the index says");
        }
        return n;
    }

  private:
    void release() {
        if (!m_held) return;
        m_held = false;
        releaseFile(m_path);
    }

    FileSystem& m_fs;
    int m_fd;
    const std::string m_path;
    const long long m_size;  // bytes the index lists
    const bool m_forMove;
    long long m_read = 0;
    bool m_held = true;
};

void logOpen(const std::string& path, const std::string& what) {
    std::string message = path + ": " + what;
    Logger::writeLog("RecordRead", message.c_str(), __FILE__, __LINE__);
}

// Every part of the path must be a plain name of its kind: a description made
// from a hostile entry or folder reads nothing outside its day folder.
int checkNames(const RecordFileInfo& info) {
    const std::string deviceDir =
        BasicTool::getDeviceDirString(info.getDeviceId(), info.getDeviceIP(), info.getCameraId());
    if (RecordName::checkRecordFileName(info.getRecordFileName()) != kRecordOk) {
        return RecordName::refuse("RecordRead", "record file", info.getRecordFileName());
    }
    if (RecordName::checkDeviceDir(deviceDir) != kRecordOk) {
        return RecordName::refuse("RecordRead", "device folder", deviceDir);
    }
    if (!info.getRecordDate().empty() && RecordName::checkDay(info.getRecordDate()) != kRecordOk) {
        return RecordName::refuse("RecordRead", "day folder", info.getRecordDate());
    }
    return kRecordOk;
}

// What the index lists of one record file, its nodes aside.
struct Listed {
    long long beginTime = 0;
    long long fileSize = 0;
    AVStreamInfo stream;
};

// The index entry of the record file `info` names, checked against its data
// file (there, a regular file of its own, and not shorter than the entry
// says), its nodes in `nodes` (replaced; the index is read through the
// summaries the process keeps of it). With `forMove`, a data file that cannot
// even be looked at counts towards giving it up.
int readEntry(FileSystem& fs, const RecordFileInfo& info, Listed& entry,
              std::vector<RecordIndexNode>& nodes, bool forMove) {
    const std::string path = info.createRecordFileName();
    const std::string indexPath = RecordIndexFile::pathOf(fsutil::dirName(path));
    bool found = false;
    int state = RecordFileInfo::kStateRecording;
    {
        std::lock_guard<std::mutex> guard(RecordIndexFile::lockFor(indexPath));
        const std::vector<RecordIndexSummary>* files = nullptr;
        if (RecordIndexFile::summaries(fs, indexPath, files) != kRecordOk) {
            logOpen(indexPath, "index cannot be read");
            return kRecordOpenFailed;
        }
        for (const RecordIndexSummary& e : *files) {
            if (e.fileName != info.getRecordFileName()) continue;
            found = true;
            state = e.state;
            entry.beginTime = e.beginTime;
            entry.fileSize = e.fileSize;
            entry.stream = e.stream;
            if (state != RecordFileInfo::kStateDamaged &&
                RecordIndexFile::readNodes(fs, indexPath, e, nodes) != kRecordOk) {
                logOpen(indexPath, "index cannot be read");
                return kRecordOpenFailed;
            }
            break;
        }
    }
    if (!found) {
        logOpen(path, "no index entry");
        return kRecordOpenFailed;
    }
    if (state == RecordFileInfo::kStateDamaged) {
        logOpen(path, "index entry damaged");
        return kRecordOpenFailed;
    }
    FileStat st;
    const int s = fs.stat(path, st);
    if (s == kRecordOk && (st.isLink || st.isOther)) {
        // A link may lead out of the root, and a pipe would block the reader.
        logOpen(path, "data file is not a regular file of its own");
        if (forMove) RecordQuarantine::noteFailure(path, "not a regular file of its own");
        return kRecordOpenFailed;
    }
    if (s != kRecordOk || st.isDir) {
        logOpen(path,
                s == kRecordOk || s == kRecordNotFound
                    ? std::string("data file missing")
                    : std::string("data file cannot be examined (") + resultToString(s) + ")");
        // Gone is gone (a race with a removal); a disk that cannot even say
        // is a failure of this file.
        if (forMove && s != kRecordOk && s != kRecordNotFound) {
            RecordQuarantine::noteFailure(
                path, std::string("cannot be looked at (") + resultToString(s) + ")");
        }
        return kRecordOpenFailed;
    }
    if (st.size < entry.fileSize) {
        // The nodes would run past the data: refuse rather than misread.
        logOpen(path, "data file shorter than its index");
        return kRecordOpenFailed;
    }
    return kRecordOk;
}

// The nodes are read into a buffer of the thread's (its capacity kept from
// file to file), so that a walk is left as it was when the file is refused.
std::vector<RecordIndexNode>& nodeBuffer() {
    static thread_local std::vector<RecordIndexNode> nodes;
    return nodes;
}

void resetWalk(const Listed& entry, const std::vector<RecordIndexNode>& nodes,
               RecordFileIndexNodeInfo& walk) {
    walk.assign(entry.beginTime, entry.stream.getImageWidth(), entry.stream.getImageHeight(),
                entry.stream.getEncoderType(), nodes);
}

}  // namespace

std::string currentRecordSource() { return t_source; }

int openRecordFileForRead(const RecordFileInfo& info, SafePointer<IFile>& file,
                          RecordFileIndexNodeInfo& walk, bool forMove) {
    const int named = checkNames(info);
    if (named != kRecordOk) return named;
    FileSystem& fs = *RecordDiskManagerImpl::fileSystem();
    const std::string path = info.createRecordFileName();
    if (forMove && RecordQuarantine::isQuarantined(path)) {
        logOpen(path, "given up on (quarantined)");
        return kRecordOpenFailed;
    }
    Listed entry;
    std::vector<RecordIndexNode>& nodes = nodeBuffer();
    if (readEntry(fs, info, entry, nodes, forMove) != kRecordOk) return kRecordOpenFailed;
    const std::string held = fsutil::normalize(path);
    if (!claimFile(held)) {
        logOpen(path, "being read by another reader");
        return kRecordOpenFailed;
    }
    // The reader that held it until now may have read it to its end and
    // asked for its removal after this caller's query had found it: such a
    // file is leaving (hidden from the query) and is not read again.
    if (MoveLedger::instance().isPending(path)) {
        releaseFile(held);
        logOpen(path, "leaving the disk");
        return kRecordOpenFailed;
    }
    int fd = -1;
    const int opened = fs.open(path, FileSystem::kRead, fd);
    if (opened != kRecordOk) {
        releaseFile(held);
        logOpen(path, "data file cannot be opened");
        // Gone is gone: the reader that held it until now has just moved it
        // away after this caller's query had found it.
        if (forMove && opened != kRecordNotFound) {
            RecordQuarantine::noteFailure(
                path, std::string("cannot be opened (") + resultToString(opened) + ")");
        }
        return kRecordOpenFailed;
    }
    // From here on, a backup file of the camera that is lost keeps this
    // source on its disk.
    MoveLedger::instance().sourceOpened(path);
    file = SafePointer<IFile>(new RecordDataFile(fs, fd, held, entry.fileSize, forMove));
    resetWalk(entry, nodes, walk);
    return kRecordOk;
}

int readRecordFileNodes(const RecordFileInfo& info, RecordFileIndexNodeInfo& walk) {
    const int named = checkNames(info);
    if (named != kRecordOk) return named;
    Listed entry;
    std::vector<RecordIndexNode>& nodes = nodeBuffer();
    if (readEntry(*RecordDiskManagerImpl::fileSystem(), info, entry, nodes, false) != kRecordOk) {
        return kRecordOpenFailed;
    }
    resetWalk(entry, nodes, walk);
    return kRecordOk;
}

bool isRecordFileBeingRead(const std::string& path) {
    std::lock_guard<std::mutex> guard(g_readersLock);
    return g_beingRead.count(fsutil::normalize(path)) != 0;
}
