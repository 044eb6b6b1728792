#include "store/MoveLedger.h"

#include <algorithm>
#include <atomic>
#include <chrono>

#include "BasicTool.h"
#include "Logger.h"
#include "RecordDiskManagerImpl.h"
#include "RecordResult.h"
#include "WakeEvent.h"
#include "store/FileSystem.h"
#include "store/RecordIndexFile.h"

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

unsigned long long MoveLedger::newWriterId() {
    static std::atomic<unsigned long long> next{1};
    return next.fetch_add(1);
}

std::shared_ptr<const MoveLedger::OldestWait> MoveLedger::writerOpened(unsigned long long writer,
                                                                       const std::string& key,
                                                                       const std::string& path) {
    std::shared_ptr<OldestWait> oldest = std::make_shared<OldestWait>(-1);
    std::lock_guard<std::mutex> guard(m_lock);
    Camera& camera = m_cameras[key];
    m_writers[writer] = Writer{key, fsutil::normalize(path), &camera, oldest};
    camera.writers.insert(writer);
    return oldest;
}

std::vector<MoveLedger::Pending> MoveLedger::takeReady(Camera& camera, unsigned long long writer) {
    std::vector<Pending> batch;
    for (Pending& p : camera.pending) {
        auto it = std::find(p.waitingFor.begin(), p.waitingFor.end(), writer);
        if (it != p.waitingFor.end()) p.waitingFor.erase(it);
        if (p.waitingFor.empty() && !p.releasing) {
            // It stays listed as pending (hidden from the query) until
            // release() has moved it.
            p.releasing = true;
            batch.push_back(p);
        }
    }
    return batch;
}

void MoveLedger::cancelWaiting(Camera& camera, unsigned long long writer,
                               std::vector<Pending>& cancelled) {
    ++camera.lossSeq;
    for (auto it = camera.pending.begin(); it != camera.pending.end();) {
        const bool waits =
            std::find(it->waitingFor.begin(), it->waitingFor.end(), writer) != it->waitingFor.end();
        if (!waits || it->releasing) {
            ++it;
            continue;
        }
        m_pendingKey.erase(it->path);
        // Its index entry stays too, also when the parser asks only later.
        if (it->indexPath.empty()) m_kept.insert(it->path);
        cancelled.push_back(std::move(*it));
        it = camera.pending.erase(it);
    }
    m_counters.cancelled += static_cast<long long>(cancelled.size());
}

void MoveLedger::reportCancelled(const std::vector<Pending>& cancelled,
                                 const std::string& writerPath) {
    for (const Pending& p : cancelled) {
        logLedger(p.path + ": kept, backup file " + writerPath + " was not made durable");
    }
    // The kept sources are to be moved again.
    if (!cancelled.empty()) WakeEvent::work().notify();
}

void MoveLedger::writerDurable(unsigned long long writer) { settle(writer, true, false); }

void MoveLedger::writerLost(unsigned long long writer) { settle(writer, false, false); }

// A writer closed without a durable close was lost, and every removal waiting
// for it then was cancelled; one asked since does not hold frames of it (a
// lost writer takes none), so it is released like after a durable close.
void MoveLedger::writerClosed(unsigned long long writer) { settle(writer, true, true); }

void MoveLedger::writerFinished(unsigned long long writer, bool durable) {
    settle(writer, durable, true);
}

void MoveLedger::settle(unsigned long long writer, bool durable, bool closed) {
    Camera* camera = nullptr;
    std::vector<Pending> batch, cancelled;
    std::string path;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        auto w = m_writers.find(writer);
        if (w == m_writers.end()) return;
        camera = w->second.camera;
        path = w->second.path;
        // Released or cancelled, no removal waits for this writer any more.
        w->second.oldestWait->store(-1);
        if (durable) {
            batch = takeReady(*camera, writer);
        } else {
            cancelWaiting(*camera, writer, cancelled);
        }
        if (closed) {
            camera->writers.erase(writer);
            m_writers.erase(w);
        }
    }
    reportCancelled(cancelled, path);
    if (!batch.empty()) release(*camera, std::move(batch));
}

long long MoveLedger::pendingAgeMs(const std::string& key) const {
    std::lock_guard<std::mutex> guard(m_lock);
    auto c = m_cameras.find(key);
    if (c == m_cameras.end() || c->second.pending.empty()) return -1;
    return steadyMs() - c->second.pending.front().askedMs;
}

long long MoveLedger::pendingAgeMs(const OldestWait& oldest) {
    const long long asked = oldest.load();
    return asked < 0 ? -1 : steadyMs() - asked;
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
    const std::string normal = fsutil::normalize(path);
    std::lock_guard<std::mutex> guard(m_lock);
    m_openSeq[normal] = m_cameras[key].lossSeq;
    m_kept.erase(normal);
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
            WakeEvent::work().notify();  // it is to be moved again
            return kKeep;
        }
        m_openSeq.erase(opened);
    }
    if (camera.writers.empty()) {
        ++m_counters.removedNow;
        return kRemoveNow;
    }
    Pending pending{path, recycleTarget, std::string(), std::string(), steadyMs(), {}, false};
    pending.waitingFor.assign(camera.writers.begin(), camera.writers.end());
    for (unsigned long long writer : camera.writers) {
        auto w = m_writers.find(writer);
        long long none = -1;
        if (w != m_writers.end())
            w->second.oldestWait->compare_exchange_strong(none, pending.askedMs);
    }
    camera.pending.push_back(std::move(pending));
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

MoveLedger::IndexDecision MoveLedger::attachIndexRemoval(const std::string& indexPath,
                                                         const std::string& fileName) {
    const std::string path = fsutil::join(fsutil::dirName(fsutil::normalize(indexPath)), fileName);
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_kept.erase(path) != 0) return kIndexKeep;
    auto k = m_pendingKey.find(path);
    if (k == m_pendingKey.end()) return kIndexNow;
    for (Pending& p : m_cameras[k->second].pending) {
        if (p.path == path) {
            p.indexPath = fsutil::normalize(indexPath);
            p.fileName = fileName;
            return kIndexAttached;
        }
    }
    return kIndexNow;
}

bool MoveLedger::isPending(const std::string& path) const {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_pendingKey.empty()) return false;
    // The record query asks with paths that are normal already: no copy.
    if (fsutil::isNormal(path)) return m_pendingKey.count(path) != 0;
    return m_pendingKey.count(fsutil::normalize(path)) != 0;
}

void MoveLedger::reset() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_cameras.clear();
    m_writers.clear();
    m_openSeq.clear();
    m_pendingKey.clear();
    m_kept.clear();
}

MoveLedger::Counters MoveLedger::counters() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_counters;
}

void MoveLedger::release(Camera& camera, std::vector<Pending> batch) {
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
    // 2. They are no longer pending. Their index entries, attached by now or
    //    not (the parser then removes the entry itself, the file having
    //    left), are taken in the same step.
    std::map<std::string, std::vector<std::string>> removals;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        for (const Pending& done : batch) {
            m_pendingKey.erase(done.path);
            ++m_counters.released;
            for (auto it = camera.pending.begin(); it != camera.pending.end(); ++it) {
                if (it->path != done.path) continue;
                if (stayed.count(it->path) != 0) {
                    if (it->indexPath.empty()) m_kept.insert(it->path);
                } else if (!it->indexPath.empty()) {
                    removals[it->indexPath].push_back(it->fileName);
                }
                camera.pending.erase(it);
                break;
            }
        }
    }
    // 3. One append per day index, not synced: the files have left durably,
    //    and an entry whose file is gone is dropped by recovery after a crash
    //    that lost its removal.
    for (const auto& index : removals) {
        int r;
        {
            std::lock_guard<std::mutex> guard(RecordIndexFile::lockFor(index.first));
            r = RecordIndexFile::appendRemoves(fs, index.first, index.second, false);
        }
        if (r != kRecordOk) {
            logLedger(index.first + ": removals not written (" + resultToString(r) + ")");
        }
    }
}
