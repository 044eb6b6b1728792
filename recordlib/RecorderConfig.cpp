#include "RecorderConfig.h"

#include <nlohmann/json.hpp>

#include "FileSystem.h"
#include "RecordDiskManagerImpl.h"
#include "RecordResult.h"

using nlohmann::json;

namespace {

const long long kDefaultSegmentSize = 256LL << 20;

// Thrown inside the parser only; turned into the error text.
struct FieldError {
    std::string field;
    std::string what;
};

const json* member(const json& object, const char* name, const std::string& where, bool required) {
    auto it = object.find(name);
    if (it == object.end()) {
        if (required) throw FieldError{where + name, "missing"};
        return nullptr;
    }
    return &*it;
}

long long integer(const json& object, const char* name, const std::string& where, bool required,
                  long long fallback, long long min, long long max) {
    const json* v = member(object, name, where, required);
    if (v == nullptr) return fallback;
    if (!v->is_number_integer()) throw FieldError{where + name, "not an integer"};
    long long n = v->get<long long>();
    if (n < min || n > max) {
        throw FieldError{where + name,
                         "out of range [" + std::to_string(min) + ", " + std::to_string(max) + "]"};
    }
    return n;
}

std::string text(const json& object, const char* name, const std::string& where) {
    const json* v = member(object, name, where, true);
    if (!v->is_string()) throw FieldError{where + name, "not a string"};
    std::string s = v->get<std::string>();
    if (s.empty()) throw FieldError{where + name, "empty"};
    return s;
}

const json& array(const json& root, const char* name, bool required) {
    static const json empty = json::array();
    const json* v = member(root, name, "", required);
    if (v == nullptr) return empty;
    if (!v->is_array()) throw FieldError{name, "not an array"};
    return *v;
}

RecordDirInfoEx dir(const json& d, const std::string& where, int attribute) {
    if (!d.is_object()) throw FieldError{where.substr(0, where.size() - 1), "not an object"};
    RecordDirInfoEx info;
    info.setRecordRootDir(text(d, "root", where));
    info.setDiskType(static_cast<int>(integer(d, "diskType", where, false, 1, 0, 1000)));
    info.setFileSystemFormat(
        static_cast<int>(integer(d, "fileSystemFormat", where, false, 1, 0, 1000)));
    info.setFileSegmentSize(
        integer(d, "fileSegmentSize", where, false, kDefaultSegmentSize, 188 * 16, 1LL << 40));
    info.setGroupId(static_cast<int>(integer(d, "groupId", where, false, 1, 0, 1 << 30)));
    info.setAttribute(
        static_cast<int>(integer(d, "attribute", where, false, attribute, 0, 1 << 30)));
    return info;
}

void dumpDir(const RecordDirInfoEx& d, bool withAttribute, json& out) {
    out = json{{"root", d.getRecordRootDir()},
               {"diskType", d.getDiskType()},
               {"fileSystemFormat", d.getFileSystemFormat()},
               {"fileSegmentSize", d.getFileSegmentSize()},
               {"groupId", d.getGroupId()}};
    if (withAttribute) out["attribute"] = d.getAttribute();
}

}  // namespace

int RecorderConfig::loadText(const std::string& source, const std::string& origin,
                             RecorderConfig& out, std::string& error) {
    json root;
    try {
        root = json::parse(source);
    } catch (const json::parse_error& e) {
        error = origin + ": not valid JSON (byte " + std::to_string(e.byte) + ")";
        return kRecordBadConfig;
    }
    RecorderConfig config;
    try {
        if (!root.is_object()) throw FieldError{"(top level)", "not an object"};
        const json& dirs = array(root, "recordDirs", true);
        for (size_t i = 0; i < dirs.size(); ++i) {
            config.recordDirs.push_back(dir(dirs[i], "recordDirs[" + std::to_string(i) + "].",
                                            RecordDirInfoEx::kAttributeLocal));
        }
        const json& policies = array(root, "policies", true);
        for (size_t i = 0; i < policies.size(); ++i) {
            const std::string where = "policies[" + std::to_string(i) + "].";
            const json& p = policies[i];
            if (!p.is_object())
                throw FieldError{where.substr(0, where.size() - 1), "not an object"};
            DevicePolicyConfig policy;
            policy.deviceId = text(p, "deviceId", where);
            policy.cameraId = static_cast<int>(integer(p, "cameraId", where, false, 0, 0, 1 << 30));
            policy.groupId = static_cast<int>(integer(p, "groupId", where, true, 0, 0, 1 << 30));
            config.policies.push_back(policy);
        }
        const json& backups = array(root, "backupDirs", false);
        for (size_t i = 0; i < backups.size(); ++i) {
            RecordDirInfoEx d = dir(backups[i], "backupDirs[" + std::to_string(i) + "].",
                                    RecordDirInfoEx::kAttributeBackup);
            // A backup directory is always listed as one, whatever was written.
            d.setAttribute(RecordDirInfoEx::kAttributeBackup);
            config.backupDirs.push_back(d);
        }
        config.backupReserveBytes =
            integer(root, "backupReserveBytes", "", false, config.backupReserveBytes, 0, 1LL << 50);
        config.recycleRetentionSeconds = integer(root, "recycleRetentionSeconds", "", false,
                                                 config.recycleRetentionSeconds, -1, 1LL << 40);
    } catch (const FieldError& e) {
        error = origin + ": field \"" + e.field + "\" " + e.what;
        return kRecordBadConfig;
    }
    out = config;
    error.clear();
    return kRecordOk;
}

int RecorderConfig::loadFile(const std::string& path, RecorderConfig& out, std::string& error) {
    std::string data;
    int r = fsutil::readFile(*RecordDiskManagerImpl::fileSystem(), path, data);
    if (r != kRecordOk) {
        error = path + ": cannot be read (" + resultToString(r) + ")";
        return kRecordBadConfig;
    }
    return loadText(data, path, out, error);
}

int RecorderConfig::saveFile(const std::string& path) const {
    json root;
    root["recordDirs"] = json::array();
    for (const RecordDirInfoEx& d : recordDirs) {
        json j;
        dumpDir(d, true, j);
        root["recordDirs"].push_back(j);
    }
    root["policies"] = json::array();
    for (const DevicePolicyConfig& p : policies) {
        root["policies"].push_back(
            json{{"deviceId", p.deviceId}, {"cameraId", p.cameraId}, {"groupId", p.groupId}});
    }
    root["backupDirs"] = json::array();
    for (const RecordDirInfoEx& d : backupDirs) {
        json j;
        dumpDir(d, false, j);
        root["backupDirs"].push_back(j);
    }
    root["backupReserveBytes"] = backupReserveBytes;
    root["recycleRetentionSeconds"] = recycleRetentionSeconds;
    return fsutil::writeFileAtomic(*RecordDiskManagerImpl::fileSystem(), path, root.dump(2) + "\n");
}
