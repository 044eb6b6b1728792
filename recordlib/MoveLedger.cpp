#include "MoveLedger.h"

#include <chrono>

#include "BasicTool.h"
#include "FileSystem.h"
#include "Logger.h"
#include "RecordDiskManagerImpl.h"
#include "RecordIndexFile.h"
#include "RecordResult.h"

namespace {

long long steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void logLedger(const std::string& message) {
    Logger::writeLog("RecordMove", message.c_str(), __FILE__, __LINE__);
}

}  // namespace

MoveLedger& MoveLedger::instance() {
    static MoveLedger* ledger = new MoveLedger;  // never destroyed: used until exit
    return *ledger;
}

std::string MoveLedger::cameraKey(const std::string& deviceId, int cameraId) {
    return deviceId + '\n' + std::to_string(cameraId);
}

std::string MoveLedger::cameraKeyOfPath(const std::string& path) {
    // <root>/record/<device dir>/<day>/<file>
    const std::string dayDir = fsutil::dirName(fsutil::normalize(path));
    const std::string deviceDir = fsutil::dirName(dayDir);
    if (fsutil::baseName(fsutil::dirName(deviceDir)) != "record") return std::string();
    std::string id, ip;
    int camera = 0;
    if (!BasicTool::parseDeviceDirString(fsutil::baseName(deviceDir), id, ip, camera)) {
        return std::string();
    }
    return cameraKey(id, camera);
}

void MoveLedger::writerOpened(const void* writer, const std::string& key, const std::string& path) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_writers[writer] = Writer{key, fsutil::normalize(path)};
    m_cameras[key].writers.insert(writer);
}

void MoveLedger::readyAfter(const void* writer, std::vector<Pending>& batch) {
    auto w = m_writers.find(writer);
    if (w == m_writers.end()) return;
    for (Pending& p : m_cameras[w->second.cameraKey].pending) {
        if (p.waitingFor.erase(writer) != 0 && p.waitingFor.empty()) batch.push_back(p);
    }
}

void MoveLedger::released(const std::vector<Pending>& batch) {
    std::lock_guard<std::mutex> guard(m_lock);
    for (const Pending& p : batch) {
        auto key = m_pendingKey.find(p.path);
        if (key == m_pendingKey.end()) continue;
        ++m_counters.released;
        std::vector<Pending>& pending = m_cameras[key->second].pending;
        for (auto it = pending.begin(); it != pending.end(); ++it) {
            if (it->path == p.path) {
                pending.erase(it);
                break;
            }
        }
        m_pendingKey.erase(key);
    }
}

void MoveLedger::writerDurable(const void* writer) {
    std::vector<Pending> batch;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        // They stay listed as pending (hidden from the query) until release()
        // has moved them.
        readyAfter(writer, batch);
    }
    if (batch.empty()) return;
    release(batch);
    released(batch);
}

void MoveLedger::writerLost(const void* writer) {
    std::vector<Pending> cancelled;
    std::string path;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        auto w = m_writers.find(writer);
        if (w == m_writers.end()) return;
        path = w->second.path;
        Camera& camera = m_cameras[w->second.cameraKey];
        ++camera.lossSeq;
        cancelled.swap(camera.pending);
        for (const Pending& p : cancelled) m_pendingKey.erase(p.path);
        m_counters.cancelled += static_cast<long long>(cancelled.size());
    }
    for (const Pending& p : cancelled) {
        logLedger(p.path + ": kept, backup file " + path + " was not made durable");
    }
}

void MoveLedger::writerClosed(const void* writer) {
    std::vector<Pending> batch;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        auto w = m_writers.find(writer);
        if (w == m_writers.end()) return;
        // A writer closed without a durable close was lost, and every removal
        // asked before its loss was cancelled then; one asked since does not
        // hold frames of it, so it no longer waits for it.
        readyAfter(writer, batch);
        m_cameras[w->second.cameraKey].writers.erase(writer);
        m_writers.erase(w);
    }
    if (batch.empty()) return;
    release(batch);
    released(batch);
}

long long MoveLedger::pendingAgeMs(const std::string& key) const {
    std::lock_guard<std::mutex> guard(m_lock);
    auto c = m_cameras.find(key);
    if (c == m_cameras.end() || c->second.pending.empty()) return -1;
    return steadyMs() - c->second.pending.front().askedMs;
}

bool MoveLedger::isWriting(const std::string& path) const {
    const std::string p = fsutil::normalize(path);
    std::lock_guard<std::mutex> guard(m_lock);
    for (const auto& w : m_writers) {
        if (w.second.path == p) return true;
    }
    return false;
}

void MoveLedger::sourceOpened(const std::string& path) {
    const std::string key = cameraKeyOfPath(path);
    if (key.empty()) return;
    std::lock_guard<std::mutex> guard(m_lock);
    m_openSeq[fsutil::normalize(path)] = m_cameras[key].lossSeq;
}

MoveLedger::Decision MoveLedger::requestRemoval(const std::string& rawPath,
                                                const std::string& recycleTarget) {
    const std::string path = fsutil::normalize(rawPath);
    const std::string key = cameraKeyOfPath(path);
    if (key.empty()) return kRemoveNow;
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_pendingKey.count(path) != 0) return kDeferred;
    Camera& camera = m_cameras[key];
    auto opened = m_openSeq.find(path);
    if (opened != m_openSeq.end()) {
        if (opened->second != camera.lossSeq) {
            // Stays so until the file is opened again: the disk manager's
            // delete, asked next, gets the same answer.
            ++m_counters.kept;
            logLedger(path + ": kept, a backup file that held its frames was not made durable");
            return kKeep;
        }
        m_openSeq.erase(opened);
    }
    if (camera.writers.empty()) {
        ++m_counters.removedNow;
        return kRemoveNow;
    }
    camera.pending.push_back(
        Pending{path, recycleTarget, std::string(), std::string(), steadyMs(), camera.writers});
    m_pendingKey[path] = key;
    ++m_counters.deferred;
    return kDeferred;
}

int MoveLedger::holdRemoval(const std::string& path, const std::string& recycleTarget) {
    switch (requestRemoval(path, recycleTarget)) {
        case kKeep:
            return 0;
        case kDeferred:
            return 1;
        case kRemoveNow:
            break;
    }
    return -1;
}

bool MoveLedger::attachIndexRemoval(const std::string& indexPath, const std::string& fileName) {
    const std::string path = fsutil::join(fsutil::dirName(fsutil::normalize(indexPath)), fileName);
    std::lock_guard<std::mutex> guard(m_lock);
    auto k = m_pendingKey.find(path);
    if (k == m_pendingKey.end()) return false;
    for (Pending& p : m_cameras[k->second].pending) {
        if (p.path == path) {
            p.indexPath = fsutil::normalize(indexPath);
            p.fileName = fileName;
            return true;
        }
    }
    return false;
}

bool MoveLedger::isPending(const std::string& path) const {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_pendingKey.empty()) return false;
    return m_pendingKey.count(fsutil::normalize(path)) != 0;
}

void MoveLedger::reset() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_cameras.clear();
    m_writers.clear();
    m_openSeq.clear();
    m_pendingKey.clear();
}

MoveLedger::Counters MoveLedger::counters() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_counters;
}

void MoveLedger::release(std::vector<Pending>& batch) {
    FileSystem& fs = *RecordDiskManagerImpl::fileSystem();
    // 1. The data files leave their day folders, and the folders are synced
    //    once each: a removal entry must never be durable before the file
    //    it names has left (that would leave an unlisted file behind).
    std::set<std::string> folders;
    std::set<std::string> stayed;
    for (const Pending& p : batch) {
        int r = p.recycleTarget.empty() ? fs.unlink(p.path) : fs.rename(p.path, p.recycleTarget);
        if (r != kRecordOk && r != kRecordNotFound) {
            // Its entry stays too, so the file is moved again later.
            logLedger(p.path + ": cannot be removed (" + resultToString(r) + ")");
            stayed.insert(p.path);
            continue;
        }
        folders.insert(fsutil::dirName(p.path));
    }
    for (const std::string& folder : folders) {
        int r = fs.syncDir(folder);
        if (r != kRecordOk) logLedger(folder + ": folder sync failed (" + resultToString(r) + ")");
    }
    // 2. Their index entries, one append and one sync per day index.
    std::map<std::string, std::vector<std::string>> removals;
    for (const Pending& p : batch) {
        if (!p.indexPath.empty() && stayed.count(p.path) == 0) {
            removals[p.indexPath].push_back(p.fileName);
        }
    }
    for (const auto& index : removals) {
        int r;
        {
            std::lock_guard<std::mutex> guard(RecordIndexFile::lockFor(index.first));
            r = RecordIndexFile::appendRemoves(fs, index.first, index.second, true);
        }
        if (r != kRecordOk) {
            logLedger(index.first + ": removals not written (" + resultToString(r) + ")");
        }
    }
}
