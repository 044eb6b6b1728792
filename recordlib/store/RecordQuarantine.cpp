#include "store/RecordQuarantine.h"

#include <ctime>
#include <map>
#include <mutex>
#include <set>

#include "Logger.h"
#include "RecordDiskManagerImpl.h"
#include "RecordResult.h"
#include "store/FileSystem.h"
#include "store/RecordIndexFile.h"

const char* const RecordQuarantine::kDirName = ".quarantine";

namespace {

struct State {
    std::mutex lock;
    std::map<std::string, int> failures;  // guarded by lock: path -> failed opens and reads
    std::set<std::string> givenUp;        // guarded by lock
    long long count = 0;                  // guarded by lock
};

State& state() {
    static State* s = new State;  // used until exit
    return *s;
}

void logQuarantine(const std::string& message) {
    Logger::writeLog("RecordQuarantine", message.c_str(), __FILE__, __LINE__);
}

}  // namespace

bool RecordQuarantine::noteFailure(const std::string& rawPath, const std::string& what) {
    const std::string path = fsutil::normalize(rawPath);
    int failures = 0;
    {
        std::lock_guard<std::mutex> guard(state().lock);
        if (state().givenUp.count(path) != 0) return true;
        failures = ++state().failures[path];
    }
    if (failures < kMaxFailures) {
        logQuarantine(path + ": " + what + " (failure " + std::to_string(failures) + " of " +
                      std::to_string(kMaxFailures) + ")");
        return false;
    }
    (void)quarantine(path, what + ", " + std::to_string(failures) + " times");
    return true;
}

bool RecordQuarantine::isQuarantined(const std::string& path) {
    std::lock_guard<std::mutex> guard(state().lock);
    if (state().givenUp.empty()) return false;
    return state().givenUp.count(fsutil::normalize(path)) != 0;
}

int RecordQuarantine::quarantine(const std::string& rawPath, const std::string& why) {
    const std::string path = fsutil::normalize(rawPath);
    {
        std::lock_guard<std::mutex> guard(state().lock);
        state().failures.erase(path);
        if (!state().givenUp.insert(path).second) return kRecordOk;
        ++state().count;
    }
    if (!RecordDiskManagerImpl::isRecordFilePath(path)) {
        logQuarantine(path + ": " + why +
                      "; not a record file of a configured root, left in place");
        return kRecordBadName;
    }
    FileSystem& fs = *RecordDiskManagerImpl::fileSystem();
    const std::string fileName = fsutil::baseName(path);
    const std::string dayDir = fsutil::dirName(path);
    const std::string deviceDir = fsutil::dirName(dayDir);
    const std::string recordDir = fsutil::dirName(deviceDir);
    const std::string folder = fsutil::join(recordDir, kDirName);
    int r = fsutil::makeDirsBelow(fs, recordDir, kDirName);
    const std::string target = fsutil::join(
        folder, std::to_string(static_cast<long long>(std::time(nullptr))) + "#" +
                    fsutil::baseName(deviceDir) + "#" + fsutil::baseName(dayDir) + "#" + fileName);
    if (r == kRecordOk) r = fs.rename(path, target);
    if (r != kRecordOk) {
        logQuarantine(path + ": " + why + "; cannot be moved to " + folder + " (" +
                      resultToString(r) + "), passed over in place");
        return r;
    }
    // The file leaves its day folder durably before its entry goes, so that a
    // crash never leaves an entry-less file behind.
    r = fs.syncDir(dayDir);
    (void)fs.syncDir(folder);
    if (r == kRecordOk) {
        const std::string indexPath = RecordIndexFile::pathOf(dayDir);
        std::lock_guard<std::mutex> guard(RecordIndexFile::lockFor(indexPath));
        r = RecordIndexFile::appendRemove(fs, indexPath, fileName, true);
    }
    logQuarantine(path + ": " + why + "; moved to " + target + " (kept, not backed up)" +
                  (r == kRecordOk
                       ? std::string()
                       : "; index entry not removed (" + std::string(resultToString(r)) + ")"));
    return r;
}

int RecordQuarantine::list(FileSystem& fs, const std::string& root,
                           std::vector<std::string>& names) {
    std::vector<std::string> found;
    if (fs.list(fsutil::join(fsutil::join(root, "record"), kDirName), found) != kRecordOk) return 0;
    names.insert(names.end(), found.begin(), found.end());
    return static_cast<int>(found.size());
}

std::string RecordQuarantine::deviceDirOf(const std::string& name) {
    const size_t first = name.find('#');
    if (first == std::string::npos) return std::string();
    const size_t second = name.find('#', first + 1);
    if (second == std::string::npos) return std::string();
    return name.substr(first + 1, second - first - 1);
}

long long RecordQuarantine::count() {
    std::lock_guard<std::mutex> guard(state().lock);
    return state().count;
}

void RecordQuarantine::reset() {
    std::lock_guard<std::mutex> guard(state().lock);
    state().failures.clear();
    state().givenUp.clear();
    state().count = 0;
}
