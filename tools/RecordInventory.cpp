#include "RecordInventory.h"

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>
#include <utility>

#include "BasicTool.h"
#include "FileSystem.h"
#include "IFile.h"
#include "RecordFileIndexNodeInfo.h"
#include "RecordFileReader.h"
#include "RecordName.h"
#include "RecordQuarantine.h"
#include "RecordResult.h"
#include "RetrieverFileQuery.h"

namespace fs = std::filesystem;

namespace RecordInventory {

namespace {

std::vector<RecordDirInfoEx> present(const std::vector<RecordDirInfoEx>& dirs) {
    std::vector<RecordDirInfoEx> out;
    std::error_code ec;
    for (const auto& d : dirs) {
        if (fs::is_directory(d.getRecordRootDir(), ec)) out.push_back(d);
    }
    return out;
}

std::vector<RecordFileInfo> query(const std::vector<RecordDirInfoEx>& dirs,
                                  const std::set<std::string>& deviceDirs) {
    std::vector<RecordFileInfo> list;
    if (deviceDirs.empty() || dirs.empty()) return list;
    RetrieverFileQuery q;
    q.setRecordDirInfo(dirs);
    q.setDeviceList(deviceDirs);
    q.listRecordFiles(list, true);
    return list;
}

}  // namespace

std::vector<std::string> deviceDirs(const std::vector<RecordDirInfoEx>& dirs) {
    std::set<std::string> names;
    for (const auto& d : present(dirs)) {
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(d.getRecordRootDir() + "/record", ec)) {
            std::string name = entry.path().filename().string();
            if (!entry.is_directory() || entry.is_symlink() || name.empty() || name[0] == '.') {
                continue;
            }
            // A folder whose name is no device folder's ("x\n_1_1") is not
            // listed: it could not be told apart in one line.
            if (RecordName::checkDeviceDir(name) != kRecordOk) {
                (void)RecordName::refuse("RecordName", "device folder", name);
                continue;
            }
            names.insert(name);
        }
    }
    return std::vector<std::string>(names.begin(), names.end());
}

std::vector<RecordFileInfo> files(const std::vector<RecordDirInfoEx>& dirs,
                                  const std::string& deviceId, int cameraId) {
    std::vector<RecordDirInfoEx> dirsThere = present(dirs);
    std::set<std::string> names;
    for (const auto& d : dirsThere) {
        std::vector<std::string> found;
        if (BasicTool::getMatchDeviceDirList(d, "record", deviceId, "", cameraId, found)) {
            names.insert(found.begin(), found.end());
        }
    }
    return query(dirsThere, names);
}

std::vector<RecordFileInfo> filesOfDeviceDir(const std::vector<RecordDirInfoEx>& dirs,
                                             const std::string& deviceDir) {
    return query(present(dirs), {deviceDir});
}

Totals totals(const std::vector<RecordDirInfoEx>& dirs, const std::string& deviceId, int cameraId) {
    Totals t;
    for (const RecordFileInfo& f : files(dirs, deviceId, cameraId)) {
        ++t.files;
        t.bytes += f.getFileSize();
        t.nodes += f.getNodeCount();
    }
    return t;
}

bool nodes(const std::vector<RecordDirInfoEx>& dirs, const std::string& deviceId, int cameraId,
           std::vector<Node>& out) {
    out.clear();
    for (const RecordFileInfo& info : files(dirs, deviceId, cameraId)) {
        SafePointer<IFile> file;
        RecordFileIndexNodeInfo walk;
        if (openRecordFileForRead(info, file, walk) != 0) return false;
        while (walk.seekNext()) {
            RecordIndexNode node;
            walk.getCurrentNodeInfo(node);
            out.push_back({walk.getFileBeginTime() + node.getTimeOffset(), node.getDataLen()});
        }
        if (!file.isNull()) file->close();
    }
    return true;
}

int quarantined(const std::vector<RecordDirInfoEx>& dirs, const std::string& deviceId,
                int cameraId) {
    int count = 0;
    for (const auto& d : present(dirs)) {
        std::vector<std::string> names;
        RecordQuarantine::list(*posixFileSystem(), d.getRecordRootDir(), names);
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
    std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char text[64];
    std::snprintf(text, sizeof(text), "%04d-%02d-%02d %02d:%02d:%02d.%03d", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(ms % 1000));
    return text;
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
