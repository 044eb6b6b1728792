#include "MoveMeter.h"

#include <chrono>

#include "store/MoveLedger.h"

namespace {

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::vector<std::string> recordPrefixes(const std::vector<std::string>& roots) {
    std::vector<std::string> out;
    for (const std::string& root : roots) {
        out.push_back(fsutil::join(fsutil::normalize(root), "record") + "/");
    }
    return out;
}

}  // namespace

MoveMeter::MoveMeter(FileSystem* target, const std::vector<std::string>& localRoots,
                     const std::vector<std::string>& backupRoots)
    : FileSystemWrapper(target),
      m_localPrefixes(recordPrefixes(localRoots)),
      m_backupPrefixes(recordPrefixes(backupRoots)) {}

long long MoveMeter::steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

MoveMeter::Kind MoveMeter::classify(const std::string& path, std::string& cameraKey) const {
    const std::string normal = fsutil::normalize(path);
    if (!endsWith(normal, ".ts")) return kOther;
    Kind kind = kOther;
    for (const std::string& prefix : m_localPrefixes) {
        if (startsWith(normal, prefix) && !startsWith(normal, prefix + ".recycle/")) kind = kSource;
    }
    for (const std::string& prefix : m_backupPrefixes) {
        if (startsWith(normal, prefix)) kind = kBackup;
    }
    if (kind == kOther) return kOther;
    cameraKey = MoveLedger::cameraKeyOfPath(normal);
    return cameraKey.empty() ? kOther : kind;
}

MoveMeter::Camera MoveMeter::camera(const std::string& cameraKey) const {
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_cameras.find(cameraKey);
    return it == m_cameras.end() ? Camera() : it->second;
}

std::vector<MoveMeter::Departure> MoveMeter::takeDepartures() {
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<Departure> out;
    out.swap(m_departures);
    return out;
}

int MoveMeter::open(const std::string& path, int mode, int& fd) {
    const int r = FileSystemWrapper::open(path, mode, fd);
    if (r != 0) return r;
    Open file;
    file.kind = classify(path, file.cameraKey);
    // Only a source opened for reading and a backup file opened for writing
    // are a job's ends; anything else (a listing reading a backup file) is not.
    if ((file.kind == kSource && mode != kRead) || (file.kind == kBackup && mode == kRead)) {
        file.kind = kOther;
    }
    if (file.kind == kOther) {
        if (mode == kRead || !isLocal(path)) return r;
        file.kind = kLocalWritten;
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_departureHook) m_open[fd] = file;
        return r;
    }
    file.path = fsutil::normalize(path);
    std::lock_guard<std::mutex> guard(m_lock);
    Camera& camera = m_cameras[file.cameraKey];
    if (file.kind == kSource) {
        camera.reading = file.path;
        m_sourceNodes[file.path] = 0;  // a file read again counts from its start
    } else {
        camera.writing = file.path;
    }
    m_open[fd] = file;
    return r;
}

int MoveMeter::write(int fd, const char* buffer, int count) {
    const int r = FileSystemWrapper::write(fd, buffer, count);
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_open.find(fd);
    if (it == m_open.end() || it->second.kind != kBackup) return r;
    Camera& camera = m_cameras[it->second.cameraKey];
    if (r < 0) {
        camera.lastWriteError = r;
        return r;
    }
    ++camera.nodes;
    camera.bytes += count;
    camera.lastWriteMs = steadyMs();
    camera.lastWriteError = 0;
    if (!camera.reading.empty()) ++m_sourceNodes[camera.reading];
    return r;
}

int MoveMeter::close(int fd) {
    bool localWritten = false;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        auto it = m_open.find(fd);
        if (it != m_open.end() && it->second.kind == kLocalWritten) {
            localWritten = true;
            m_open.erase(it);
        } else if (it != m_open.end()) {
            Camera& camera = m_cameras[it->second.cameraKey];
            if (it->second.kind == kBackup && camera.writing == it->second.path) {
                camera.writing.clear();
            }
            m_open.erase(it);
        }
    }
    const int r = FileSystemWrapper::close(fd);
    if (localWritten) wake();
    return r;
}

void MoveMeter::setDepartureHook(std::function<void()> hook) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_departureHook = std::move(hook);
}

void MoveMeter::wake() {
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        hook = m_departureHook;
    }
    if (hook) hook();
}

bool MoveMeter::isLocal(const std::string& path) const {
    const std::string normal = fsutil::normalize(path);
    for (const std::string& prefix : m_localPrefixes) {
        if (startsWith(normal, prefix)) return true;
    }
    return false;
}

void MoveMeter::departed(const std::string& path, long long bytes) {
    std::string key;
    if (classify(path, key) != kSource) return;
    const std::string normal = fsutil::normalize(path);
    std::lock_guard<std::mutex> guard(m_lock);
    Departure d;
    d.cameraKey = key;
    d.path = normal;
    d.bytes = bytes;
    auto it = m_sourceNodes.find(normal);
    if (it != m_sourceNodes.end()) {
        d.nodesWritten = it->second;
        m_sourceNodes.erase(it);
    }
    Camera& camera = m_cameras[key];
    if (camera.reading == normal) camera.reading.clear();
    m_departures.push_back(d);
}

int MoveMeter::rename(const std::string& from, const std::string& to) {
    std::string key;
    FileStat st;
    const bool source = classify(from, key) == kSource && target()->stat(from, st) == 0;
    const int r = FileSystemWrapper::rename(from, to);
    if (r == 0 && source) {
        departed(from, st.size);
        wake();
    }
    return r;
}

int MoveMeter::unlink(const std::string& path) {
    std::string key;
    FileStat st;
    const bool source = classify(path, key) == kSource && target()->stat(path, st) == 0;
    const int r = FileSystemWrapper::unlink(path);
    if (r == 0 && source) {
        departed(path, st.size);
        wake();
    }
    return r;
}
