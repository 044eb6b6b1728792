#include "BasicTool.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "Logger.h"
#include "RecordDiskManagerImpl.h"
#include "RecordResult.h"
#include "store/FileSystem.h"
#include "store/RecordName.h"

// Splits "<deviceId>_<ip>_<camera>" from the end, since a device id may
// itself hold '_'.
bool BasicTool::parseDeviceDirString(const std::string& name, std::string& deviceId,
                                     std::string& ip, int& camera) {
    size_t last = name.rfind('_');
    if (last == std::string::npos || last == 0 || last + 1 >= name.size()) return false;
    size_t mid = name.rfind('_', last - 1);
    if (mid == std::string::npos || mid == 0) return false;
    const std::string cam = name.substr(last + 1);
    for (char c : cam) {
        if (c < '0' || c > '9') return false;
    }
    deviceId = name.substr(0, mid);
    ip = name.substr(mid + 1, last - mid - 1);
    if (cam.size() > 9) return false;
    camera = std::atoi(cam.c_str());
    return true;
}

std::string BasicTool::getDateString(long long timeMs) {
    long long seconds = timeMs / 1000;
    if (timeMs < 0 && timeMs % 1000 != 0) --seconds;
    std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[48];
    std::snprintf(text, sizeof text, "%04d%02d%02d", (tm.tm_year + 1900) % 10000, tm.tm_mon + 1,
                  tm.tm_mday);
    return text;
}

std::string BasicTool::getDeviceDirString(const std::string& deviceId, const std::string& deviceIP,
                                          int cameraId) {
    std::string ip = deviceIP;
    for (char& c : ip) {
        if (c == ':') c = '-';
    }
    return deviceId + "_" + ip + "_" + std::to_string(cameraId);
}

int BasicTool::getMatchDeviceDirList(const RecordDirInfoEx& dir, const std::string& subDir,
                                     const std::string& deviceId, const std::string& /*deviceIP*/,
                                     int cameraId, std::vector<std::string>& names, int* result) {
    if (result != nullptr) *result = kRecordOk;
    // A device id that is no plain name ("a/b", "../x") names no folder of
    // this record directory: nothing below or beside it is looked at.
    if (RecordName::checkDeviceId(deviceId) != kRecordOk) {
        if (result != nullptr) *result = kRecordBadName;
        (void)RecordName::refuse("RecordName", "device id", deviceId);
        return 0;
    }
    // Any IP matches: a device keeps its id and cameras when its address
    // changes, and its older recordings stay under the old address.
    FileSystem& fs = *RecordDiskManagerImpl::fileSystem();
    const std::string path = fsutil::join(dir.getRecordRootDir(), subDir);
    // A folder that is not there holds no device; one that cannot be read is
    // logged and told to the caller, never taken for an empty one.
    auto failed = [&](const std::string& path, const char* what, int code) {
        if (code == kRecordNotFound) return;
        std::string message = path + ": " + what + " (" + resultToString(code) + ")";
        Logger::writeLog("RecordQuery", message.c_str(), __FILE__, __LINE__);
        if (result != nullptr && *result == kRecordOk) *result = code;
    };
    std::vector<std::string> entries;
    if (int r = fs.list(path, entries)) {
        failed(path, "cannot be listed", r);
        return 0;
    }
    int found = 0;
    for (const std::string& name : entries) {
        std::string id, ip;
        int camera = 0;
        if (!parseDeviceDirString(name, id, ip, camera)) continue;
        if (id != deviceId || camera != cameraId) continue;
        if (RecordName::checkDeviceDir(name) != kRecordOk) continue;
        FileStat st;
        if (int r = fs.stat(fsutil::join(path, name), st)) {
            failed(fsutil::join(path, name), "cannot be examined", r);
            continue;
        }
        // A link to a folder elsewhere is not followed.
        if (!st.isDir || st.isLink) continue;
        names.push_back(name);
        ++found;
    }
    return found;
}
