#include "store/RecordFileWriter.h"

#include <mutex>

#include "BasicTool.h"
#include "Logger.h"
#include "RecordResult.h"
#include "store/FileSystem.h"
#include "store/RecordName.h"

namespace {

void logWrite(const std::string& path, const std::string& what, int code) {
    std::string message = path + ": " + what + " (" + resultToString(code) + ")";
    Logger::writeLog("RecordWrite", message.c_str(), __FILE__, __LINE__);
}

}  // namespace

int RecordFileWriter::create(RecordFileInfo& info) {
    abandon();
    m_broken = false;
    const std::string root = info.getRecordDirInfo().getRecordRootDir();
    if (root.empty() || !fsutil::isDir(m_fs, root)) return kRecordNoDir;
    // The device id, IP and date become folder names: "a/b" or "../../x" would
    // put the file elsewhere than its own device folder of this root.
    if (RecordName::checkDeviceId(info.getDeviceId()) != kRecordOk) {
        return RecordName::refuse("RecordWrite", "device id", info.getDeviceId());
    }
    if (RecordName::checkDeviceIP(info.getDeviceIP()) != kRecordOk) {
        return RecordName::refuse("RecordWrite", "device IP", info.getDeviceIP());
    }
    if (info.getRecordDate().empty()) {
        info.setRecordDate(BasicTool::getDateString(info.getRecordBeginTime()));
    }
    if (RecordName::checkDay(info.getRecordDate()) != kRecordOk) {
        return RecordName::refuse("RecordWrite", "day folder", info.getRecordDate());
    }
    const std::string deviceDir =
        BasicTool::getDeviceDirString(info.getDeviceId(), info.getDeviceIP(), info.getCameraId());
    const std::string relative = "record/" + deviceDir + "/" + info.getRecordDate();
    int r = fsutil::makeDirsBelow(m_fs, root, relative);
    if (r != kRecordOk) {
        logWrite(fsutil::join(root, relative), "day folder cannot be made", r);
        return r == kRecordNotFound ? kRecordNoDir : r;
    }
    const std::string dayDir = fsutil::join(root, relative);

    // "<begin ms>.ts", or "<begin ms>_<n>.ts" when a file began at the same
    // millisecond (a retry in a fresh file starts with the same frame).
    const std::string stem = std::to_string(info.getRecordBeginTime());
    int fd = -1;
    std::string name;
    for (int n = 0;; ++n) {
        name = n == 0 ? stem + ".ts" : stem + "_" + std::to_string(n) + ".ts";
        r = m_fs.open(fsutil::join(dayDir, name), FileSystem::kCreateNew, fd);
        if (r != kRecordExists || n >= 999) break;
    }
    if (r != kRecordOk) {
        logWrite(fsutil::join(dayDir, name), "record file cannot be created", r);
        return r;
    }

    info.setRecordFileName(name);
    info.setState(RecordFileInfo::kStateRecording);
    info.setRecordEndTime(info.getRecordBeginTime());
    info.setFileSize(0);
    info.setNodeCount(0);

    m_entry = RecordIndexEntry();
    // Room for the nodes of a typical file, so that appending a node does not
    // allocate (the list doubles only past this).
    m_entry.nodes.reserve(kReservedNodes);
    m_entry.fileName = name;
    m_entry.beginTime = info.getRecordBeginTime();
    m_entry.endTime = info.getRecordBeginTime();
    m_entry.storageType = info.getRecordStorageType();
    m_entry.recordMode = info.getRecordMode();
    m_entry.lockFlag = info.getLockFlag();
    m_entry.state = RecordFileInfo::kStateRecording;
    m_entry.stream = info.getAVStreamInfo();
    m_path = fsutil::join(dayDir, name);
    m_indexPath = RecordIndexFile::pathOf(dayDir);

    {
        std::lock_guard<std::mutex> guard(RecordIndexFile::lockFor(m_indexPath));
        r = RecordIndexFile::appendFile(m_fs, m_indexPath, m_entry, false);
    }
    if (r != kRecordOk) {
        logWrite(m_indexPath, "index entry cannot be written", r);
        m_fs.close(fd);
        (void)m_fs.unlink(m_path);
        return r;
    }
    m_fd = fd;
    m_nameDurable = false;
    m_indexedNodes = 0;
    m_writtenBack = 0;
    return kRecordOk;
}

int RecordFileWriter::append(const char* data, int length, const RecordIndexNode& node,
                             bool indexNow) {
    if (m_fd < 0 || m_broken) return kRecordIOError;
    int n = length > 0 ? m_fs.write(m_fd, data, length) : 0;
    if (n != length) {
        int r = n < 0 ? n : kRecordIOError;
        m_broken = true;
        logWrite(m_path, "write failed", r);
        // Keep the data file to the nodes that are listed, so that it plays to
        // its end and its size matches the index.
        (void)m_fs.truncate(m_fd, m_entry.fileSize);
        return r;
    }
    const int first = static_cast<int>(m_entry.nodes.size());
    m_entry.nodes.push_back(node);
    m_entry.fileSize += length;
    long long end = m_entry.beginTime + node.getTimeOffset() + node.getTimeLen();
    if (end > m_entry.endTime) m_entry.endTime = end;
    if (indexNow) {
        int r;
        {
            std::lock_guard<std::mutex> guard(RecordIndexFile::lockFor(m_indexPath));
            r = RecordIndexFile::appendNodes(m_fs, m_indexPath, m_entry.fileName, first, {node},
                                             false);
        }
        if (r != kRecordOk) {
            // The data are there; the complete entry of finish() lists them.
            logWrite(m_indexPath, "node not indexed", r);
        } else if (m_indexedNodes == first) {
            m_indexedNodes = first + 1;
        }
    }
    return kRecordOk;
}

void RecordFileWriter::startWriteback() {
    if (m_fd < 0 || m_entry.fileSize <= m_writtenBack) return;
    (void)m_fs.startWriteback(m_fd, m_writtenBack, m_entry.fileSize - m_writtenBack);
    m_writtenBack = m_entry.fileSize;
}

int RecordFileWriter::checkpoint() {
    if (m_fd < 0) return kRecordIOError;
    int r = m_fs.fsync(m_fd);
    if (r == kRecordOk && !m_nameDurable) {
        r = m_fs.syncDir(fsutil::dirName(m_path));
        if (r == kRecordOk) m_nameDurable = true;
    }
    if (r != kRecordOk) {
        logWrite(m_path, "data not durable", r);
        return r;
    }
    const int count = static_cast<int>(m_entry.nodes.size());
    if (m_indexedNodes == count) return kRecordOk;
    std::vector<RecordIndexNode> nodes(m_entry.nodes.begin() + m_indexedNodes, m_entry.nodes.end());
    {
        std::lock_guard<std::mutex> guard(RecordIndexFile::lockFor(m_indexPath));
        r = RecordIndexFile::appendNodes(m_fs, m_indexPath, m_entry.fileName, m_indexedNodes, nodes,
                                         true);
    }
    if (r != kRecordOk) {
        logWrite(m_indexPath, "nodes not indexed", r);
        return r;
    }
    m_indexedNodes = count;
    return kRecordOk;
}

int RecordFileWriter::finish() {
    if (m_fd < 0) return kRecordOk;
    const int fd = m_fd;
    m_fd = -1;
    if (m_entry.nodes.empty()) {
        m_fs.close(fd);
        (void)m_fs.unlink(m_path);
        std::lock_guard<std::mutex> guard(RecordIndexFile::lockFor(m_indexPath));
        int r = RecordIndexFile::appendRemove(m_fs, m_indexPath, m_entry.fileName, true);
        if (r != kRecordOk) logWrite(m_indexPath, "removal of an empty file not indexed", r);
        return r;
    }
    int r = m_fs.fsync(fd);
    int c = m_fs.close(fd);
    if (r == kRecordOk) r = c;
    if (r == kRecordOk && !m_nameDurable) r = m_fs.syncDir(fsutil::dirName(m_path));
    if (r != kRecordOk) {
        logWrite(m_path, "data not durable", r);
        return r;
    }
    m_entry.state = RecordFileInfo::kStateComplete;
    {
        std::lock_guard<std::mutex> guard(RecordIndexFile::lockFor(m_indexPath));
        r = RecordIndexFile::appendFile(m_fs, m_indexPath, m_entry, true);
    }
    if (r != kRecordOk) logWrite(m_indexPath, "complete entry not written", r);
    return r;
}

void RecordFileWriter::abandon() {
    if (m_fd < 0) return;
    m_fs.close(m_fd);
    m_fd = -1;
}
