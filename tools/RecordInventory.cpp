#include "RecordInventory.h"

#include <cstdio>
#include <ctime>
#include <fstream>
#include <set>
#include <utility>

#include "BasicTool.h"
#include "Logger.h"
#include "RecordDiskManagerImpl.h"
#include "RecordFileIndexNodeInfo.h"
#include "RecordFileReader.h"
#include "RecordResult.h"
#include "RetrieverFileQuery.h"
#include "store/FileSystem.h"
#include "store/RecordName.h"
#include "store/RecordQuarantine.h"

namespace RecordInventory {

namespace {

int failed(const std::string& path, const char* what, int code) {
    std::string message = path + ": " + what + " (" + resultToString(code) + ")";
    Logger::writeLog("RecordInventory", message.c_str(), __FILE__, __LINE__);
    return code;
}

// The directories whose root is there: a missing root is an unmounted disk
// and holds nothing, but one that cannot be examined fails the listing.
int present(const std::vector<RecordDirInfoEx>& dirs, std::vector<RecordDirInfoEx>& out) {
    FileSystem& fs = *RecordDiskManagerImpl::fileSystem();
    int result = kRecordOk;
    for (const auto& d : dirs) {
        FileStat st;
        int r = fs.stat(d.getRecordRootDir(), st);
        if (r == kRecordOk && st.isDir) {
            out.push_back(d);
        } else if (r != kRecordOk && r != kRecordNotFound) {
            result = failed(d.getRecordRootDir(), "cannot be examined", r);
        }
    }
    return result;
}

int query(const std::vector<RecordDirInfoEx>& dirs, const std::set<std::string>& deviceDirs,
          std::vector<RecordFileInfo>& out) {
    if (deviceDirs.empty() || dirs.empty()) return kRecordOk;
    RetrieverFileQuery q;
    q.setRecordDirInfo(dirs);
    q.setDeviceList(deviceDirs);
    int r = q.listRecordFiles(out, true);
    return r < 0 ? r : kRecordOk;
}

}  // namespace

int deviceDirs(const std::vector<RecordDirInfoEx>& dirs, std::vector<std::string>& out) {
    FileSystem& fs = *RecordDiskManagerImpl::fileSystem();
    std::vector<RecordDirInfoEx> there;
    int result = present(dirs, there);
    std::set<std::string> names;
    for (const auto& d : there) {
        const std::string recordDir = d.getRecordRootDir() + "/record";
        std::vector<std::string> entries;
        int r = fs.list(recordDir, entries);
        if (r == kRecordNotFound) continue;  // nothing recorded on this disk yet
        if (r != kRecordOk) {
            result = failed(recordDir, "cannot be listed", r);
            continue;
        }
        for (const std::string& name : entries) {
            if (name.empty() || name[0] == '.') continue;
            // A folder whose name is no device folder's ("x\n_1_1") is not
            // listed: it could not be told apart in one line.
            if (RecordName::checkDeviceDir(name) != kRecordOk) {
                (void)RecordName::refuse("RecordName", "device folder", name);
                continue;
            }
            FileStat st;
            r = fs.stat(recordDir + "/" + name, st);
            if (r == kRecordOk && st.isDir && !st.isLink) {
                names.insert(name);
            } else if (r != kRecordOk && r != kRecordNotFound) {
                result = failed(recordDir + "/" + name, "cannot be examined", r);
            }
        }
    }
    out.assign(names.begin(), names.end());
    return result;
}

int files(const std::vector<RecordDirInfoEx>& dirs, const std::string& deviceId, int cameraId,
          std::vector<RecordFileInfo>& out) {
    out.clear();
    std::vector<RecordDirInfoEx> dirsThere;
    int result = present(dirs, dirsThere);
    std::set<std::string> names;
    for (const auto& d : dirsThere) {
        std::vector<std::string> found;
        int listed = kRecordOk;
        if (BasicTool::getMatchDeviceDirList(d, "record", deviceId, "", cameraId, found, &listed)) {
            names.insert(found.begin(), found.end());
        }
        if (listed != kRecordOk) result = listed;
    }
    int r = query(dirsThere, names, out);
    return r != kRecordOk ? r : result;
}

int filesOfDeviceDir(const std::vector<RecordDirInfoEx>& dirs, const std::string& deviceDir,
                     std::vector<RecordFileInfo>& out) {
    out.clear();
    std::vector<RecordDirInfoEx> dirsThere;
    int result = present(dirs, dirsThere);
    int r = query(dirsThere, {deviceDir}, out);
    return r != kRecordOk ? r : result;
}

int totals(const std::vector<RecordDirInfoEx>& dirs, const std::string& deviceId, int cameraId,
           Totals& out) {
    out = Totals();
    std::vector<RecordFileInfo> list;
    int r = files(dirs, deviceId, cameraId, list);
    for (const RecordFileInfo& f : list) {
        ++out.files;
        out.bytes += f.getFileSize();
        out.nodes += f.getNodeCount();
    }
    return r;
}

bool nodes(const std::vector<RecordDirInfoEx>& dirs, const std::string& deviceId, int cameraId,
           std::vector<Node>& out) {
    out.clear();
    std::vector<RecordFileInfo> list;
    if (files(dirs, deviceId, cameraId, list) != kRecordOk) return false;
    for (const RecordFileInfo& info : list) {
        RecordFileIndexNodeInfo walk;
        if (readRecordFileNodes(info, walk) != 0) return false;
        while (walk.seekNext()) {
            RecordIndexNode node;
            walk.getCurrentNodeInfo(node);
            out.push_back({walk.getFileBeginTime() + node.getTimeOffset(), node.getDataLen()});
        }
    }
    return true;
}

int quarantined(const std::vector<RecordDirInfoEx>& dirs, const std::string& deviceId,
                int cameraId) {
    int count = 0;
    std::vector<RecordDirInfoEx> there;
    (void)present(dirs, there);
    for (const auto& d : there) {
        std::vector<std::string> names;
        RecordQuarantine::list(*RecordDiskManagerImpl::fileSystem(), d.getRecordRootDir(), names);
        for (const std::string& name : names) {
            std::string id, ip;
            int camera = 0;
            if (BasicTool::parseDeviceDirString(RecordQuarantine::deviceDirOf(name), id, ip,
                                                camera) &&
                id == deviceId && camera == cameraId) {
                ++count;
            }
        }
    }
    return count;
}

std::vector<Node> withoutRepeats(const std::vector<Node>& nodes) {
    std::set<std::pair<long long, int>> seen;
    std::vector<Node> out;
    out.reserve(nodes.size());
    for (const Node& n : nodes) {
        if (seen.insert({n.time, n.length}).second) out.push_back(n);
    }
    return out;
}

int repeats(const std::vector<Node>& nodes) {
    return static_cast<int>(nodes.size() - withoutRepeats(nodes).size());
}

bool saveNodes(const std::string& path, const std::vector<Node>& nodes) {
    std::ofstream out(path, std::ios::trunc);
    for (const Node& n : nodes) out << n.time << ' ' << n.length << '\n';
    return static_cast<bool>(out);
}

bool loadNodes(const std::string& path, std::vector<Node>& nodes) {
    std::ifstream in(path);
    if (!in) return false;
    nodes.clear();
    Node n;
    while (in >> n.time >> n.length) nodes.push_back(n);
    return true;
}

std::string formatTime(long long ms) {
    const long long seconds = ms / 1000 - (ms % 1000 < 0 ? 1 : 0);  // rounded down
    const std::time_t time = static_cast<std::time_t>(seconds);
    std::tm tm{};
    char text[64];
    if (localtime_r(&time, &tm) == nullptr ||
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm) == 0) {
        return std::to_string(ms) + " ms";
    }
    char millis[8];
    std::snprintf(millis, sizeof millis, ".%03d", static_cast<int>(ms - seconds * 1000));
    return text + std::string(millis);
}

std::string timeZoneText() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    if (localtime_r(&now, &tm) == nullptr || tm.tm_gmtoff == 0) return "UTC";
    char text[64];
    if (std::strftime(text, sizeof text, "%Z, UTC%z", &tm) == 0) return "UTC";
    std::string zone = text;               // "CET, UTC+0100"
    zone.insert(zone.size() - 2, 1, ':');  // "CET, UTC+01:00"
    return zone;
}

std::string formatCount(long long count) {
    std::string digits = std::to_string(count < 0 ? -count : count);
    std::string out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return count < 0 ? "-" + out : out;
}

std::string formatBytes(long long bytes) {
    char text[32];
    if (bytes < 10 * 1024) {
        std::snprintf(text, sizeof(text), "%lld B", bytes);
    } else if (bytes < 10 * 1024 * 1024) {
        std::snprintf(text, sizeof(text), "%.1f KB", bytes / 1024.0);
    } else {
        std::snprintf(text, sizeof(text), "%.1f MB", bytes / (1024.0 * 1024.0));
    }
    return text;
}

}  // namespace RecordInventory
