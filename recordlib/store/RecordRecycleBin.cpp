#include "RecordRecycleBin.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <map>
#include <mutex>
#include <vector>

#include "Logger.h"
#include "RecordDiskManagerImpl.h"
#include "RecordResult.h"
#include "store/FileSystem.h"
#include "store/MoveLedger.h"
#include "store/RecordName.h"

namespace {

const char kRecycleDir[] = ".recycle";

// Per recycle area: the oldest time (seconds) that a name in it can carry, as
// far as this process knows: the oldest name left by the last purge, or the
// time of that purge for names recycled since. A removal lists the area only
// once something in it may have outlived the retention.
std::mutex g_oldestLock;
std::map<std::string, long long>& oldestRecycled() {
    static auto* oldest = new std::map<std::string, long long>;  // guarded by g_oldestLock
    return *oldest;
}

bool purgeDue(const std::string& recyclePath, long long retention, long long now) {
    std::lock_guard<std::mutex> guard(g_oldestLock);
    auto it = oldestRecycled().find(recyclePath);
    return it == oldestRecycled().end() || now - it->second >= retention;
}

void logBin(const std::string& path, const char* what, int code) {
    std::string message = path + ": " + what + " (" + resultToString(code) + ")";
    Logger::writeLog("RecordRecycleBin", message.c_str(), __FILE__, __LINE__);
}

}  // namespace

RecordRecycleBin::RecordRecycleBin(int diskType, const std::string& recordDirPath)
    : m_diskType(diskType), m_recordDirPath(fsutil::normalize(recordDirPath)) {
    m_recyclePath = fsutil::join(m_recordDirPath, kRecycleDir);
}

RecordRecycleBin::~RecordRecycleBin() = default;

int RecordRecycleBin::init(int /*fileSystemFormat*/, long long /*fileSegmentSize*/) {
    FileSystem& fs = *RecordDiskManagerImpl::fileSystem();
    m_ready = false;
    // The record folder must be there already: a missing one means the disk
    // is not mounted, and nothing is created in its place.
    int r = fsutil::makeDirsBelow(fs, m_recordDirPath, kRecycleDir);
    if (r != kRecordOk) {
        logBin(m_recyclePath, "recycle area cannot be made", r);
        return r;
    }
    m_ready = true;
    return kRecordOk;
}

int RecordRecycleBin::deleteFile(const std::string& builtName, const std::string& heldName) {
    if (!m_ready) return 0;
    const std::string prefix = m_recordDirPath + "/";
    if (fsutil::normalize(builtName).compare(0, prefix.size(), prefix) != 0) return 0;
    // Only <device dir>/<day>/<file> of this record folder, every part a plain
    // name: "dev/day/../../../x" starts with the prefix and still lies outside.
    if (!isRecordFile(builtName) ||
        (!heldName.empty() && RecordName::checkRecordFileName(heldName) != kRecordOk)) {
        RecordName::logOnce("RecordRecycleBin", builtName + '\n' + heldName,
                            RecordName::printable(builtName) + " (" +
                                RecordName::printable(heldName) + "): not a record file of " +
                                m_recordDirPath + ", not moved");
        return 0;
    }
    FileSystem& fs = *RecordDiskManagerImpl::fileSystem();
    std::string source = fsutil::normalize(builtName);
    FileStat st;
    int s = fs.stat(source, st);
    if (s != kRecordOk && s != kRecordNotFound) logBin(source, "cannot be examined", s);
    if (s != kRecordOk && !heldName.empty()) {
        source = fsutil::join(fsutil::dirName(source), heldName);
        s = fs.stat(source, st);
        if (s != kRecordOk) {
            if (s != kRecordNotFound) logBin(source, "cannot be examined", s);
            return 0;
        }
    }
    if (st.isDir) return 0;
    // <recycled at, seconds>#<device dir>#<date>#<file name>: unique per
    // file, and the age for purge() is in the name.
    std::string relative = source.substr(prefix.size());
    if (relative.compare(0, sizeof kRecycleDir, std::string(kRecycleDir) + "/") == 0) return 0;
    for (char& c : relative) {
        if (c == '/') c = '#';
    }
    const std::string target = fsutil::join(
        m_recyclePath, std::to_string(static_cast<long long>(std::time(nullptr))) + "#" + relative);
    // A source whose frames are still on their way to the backup disk leaves
    // once they are durable there (the ledger moves it then), or not at all.
    const int held = MoveLedger::instance().holdRemoval(source, target);
    if (held >= 0) return held;
    int r = fs.rename(source, target);
    if (r != kRecordOk) {
        logBin(source, "cannot be moved to the recycle area", r);
        return 0;
    }
    // The name leaving the day folder is what must be durable before the
    // index entry goes; the recycled copy is a courtesy.
    (void)fs.syncDir(fsutil::dirName(source));
    // The recycle area must not fill the record disk: what has been there for
    // longer than the retention goes now.
    const long long retention = RecordDiskManagerImpl::recycleRetentionSeconds();
    if (retention >= 0 &&
        purgeDue(m_recyclePath, retention, static_cast<long long>(std::time(nullptr)))) {
        purge(retention);
    }
    return 1;
}

bool RecordRecycleBin::isRecordFile(const std::string& path) const {
    const std::string p = fsutil::normalize(path);
    const std::string dayDir = fsutil::dirName(p);
    const std::string deviceDir = fsutil::dirName(dayDir);
    return fsutil::dirName(deviceDir) == m_recordDirPath &&
           RecordName::checkRecordFileName(fsutil::baseName(p)) == kRecordOk &&
           RecordName::checkDay(fsutil::baseName(dayDir)) == kRecordOk &&
           RecordName::checkDeviceDir(fsutil::baseName(deviceDir)) == kRecordOk;
}

int RecordRecycleBin::purge(long long maxAgeSeconds) {
    FileSystem& fs = *RecordDiskManagerImpl::fileSystem();
    std::vector<std::string> names;
    if (int r = fs.list(m_recyclePath, names)) {
        if (r == kRecordNotFound) return 0;  // nothing was ever recycled here
        logBin(m_recyclePath, "cannot be listed", r);
        return r;
    }
    const long long now = static_cast<long long>(std::time(nullptr));
    long long oldestLeft = now;
    int count = 0;
    for (const std::string& name : names) {
        size_t hash = name.find('#');
        if (hash == std::string::npos || hash == 0) continue;
        long long at = std::atoll(name.substr(0, hash).c_str());
        if (now - at < maxAgeSeconds) {
            oldestLeft = std::min(oldestLeft, at);
            continue;
        }
        const std::string path = fsutil::join(m_recyclePath, name);
        int r = fs.unlink(path);
        if (r == kRecordOk) {
            ++count;
        } else {
            oldestLeft = std::min(oldestLeft, at);
            logBin(path, "cannot be purged", r);
        }
    }
    {
        std::lock_guard<std::mutex> guard(g_oldestLock);
        oldestRecycled()[m_recyclePath] = oldestLeft;
    }
    if (count > 0) (void)fs.syncDir(m_recyclePath);
    return count;
}
