#include "config/RecorderConfig.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "RecordDiskManagerImpl.h"
#include "RecordResult.h"
#include "store/FileSystem.h"
#include "store/RecordIndexFile.h"
#include "store/RecordName.h"

using nlohmann::json;

namespace {

const long long kDefaultSegmentSize = 256LL << 20;
// A record file takes at least a few seconds of video.
const long long kMinSegmentSize = 1LL << 20;
// The largest file whose day-index entry the index can hold even when every
// node is a single packet: rewrite() puts all of a file's nodes in one entry,
// and load() refuses an entry above RecordIndexFile::kMaxEntryBytes. Rounded
// down to whole MiB.
const long long kMaxSegmentSize = (static_cast<long long>(RecordIndexFile::kMaxEntryBytes) - 4096) /
                                  RecordIndexFile::kNodeBytes * 188 / (1 << 20) * (1 << 20);
const std::size_t kMaxFileBytes = 1 << 20;  // a configuration is a few KiB
const std::size_t kMaxDepth = 8;            // the configuration nests 3 deep

// Thrown inside the parser only; turned into the error text.
struct FieldError {
    std::string field;
    std::string what;
};

// Builds the document from the parser's events, like json::parse, and in
// addition knows where the parser is, so that an error names the field:
// a number too large for a double ("1e400") or a key given twice.
class DocumentBuilder : public nlohmann::json_sax<json> {
  public:
    json root;
    std::string field;  // set when the document was refused
    std::string what;

    bool null() override { return value(json()); }
    bool boolean(bool v) override { return value(v); }
    bool number_integer(number_integer_t v) override { return value(v); }
    bool number_unsigned(number_unsigned_t v) override { return value(v); }
    bool number_float(number_float_t v, const string_t&) override { return value(v); }
    bool string(string_t& v) override { return value(std::move(v)); }
    bool binary(binary_t&) override { return refuse("binary data"); }
    bool start_object(std::size_t) override { return open(json::object()); }
    bool start_array(std::size_t) override { return open(json::array()); }
    bool end_object() override { return close(); }
    bool end_array() override { return close(); }
    bool key(string_t& k) override {
        if (m_stack.back().node->contains(k)) {
            m_stack.back().key = k;
            return refuse("given twice");
        }
        m_stack.back().key = std::move(k);
        return true;
    }
    bool parse_error(std::size_t position, const std::string& token,
                     const nlohmann::detail::exception& e) override {
        if (e.id == 406) return refuse("out of range (" + token + ")");  // number overflow
        field.clear();
        what = "not valid JSON (byte " + std::to_string(position) + ")";
        return false;
    }

  private:
    struct Level {
        json* node;
        std::string key;  // the current key of an object
    };

    std::string path() const {
        std::string p;
        for (std::size_t i = 0; i < m_stack.size(); ++i) {
            const Level& l = m_stack[i];
            if (l.node->is_array()) {
                // The innermost array is about to get its next element.
                const std::size_t n = l.node->size();
                p += "[" + std::to_string(i + 1 == m_stack.size() || n == 0 ? n : n - 1) + "]";
            } else {
                p += (p.empty() ? "" : ".") + l.key;
            }
        }
        return p.empty() ? "(top level)" : p;
    }
    bool refuse(const std::string& reason) {
        field = path();
        what = reason;
        return false;
    }
    // Places a value where the parser is; answers it.
    json* place(json&& v) {
        if (m_stack.empty()) {
            root = std::move(v);
            return &root;
        }
        json& parent = *m_stack.back().node;
        if (parent.is_array()) {
            parent.push_back(std::move(v));
            return &parent.back();
        }
        json& slot = parent[m_stack.back().key];
        slot = std::move(v);
        return &slot;
    }
    bool value(json&& v) {
        place(std::move(v));
        return true;
    }
    bool open(json&& container) {
        if (m_stack.size() >= kMaxDepth) return refuse("nested too deeply");
        json* node = place(std::move(container));
        m_stack.push_back(Level{node, std::string()});
        return true;
    }
    bool close() {
        m_stack.pop_back();
        return true;
    }

    std::vector<Level> m_stack;
};

std::size_t editDistance(const std::string& a, const std::string& b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t up = row[j];
            const bool same = std::tolower(static_cast<unsigned char>(a[i - 1])) ==
                              std::tolower(static_cast<unsigned char>(b[j - 1]));
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
            diagonal = up;
        }
    }
    return row[b.size()];
}

// Refuses a key that is not one of `known`; a misspelt key would otherwise
// leave its field at the default without a word.
void onlyKnownKeys(const json& object, std::initializer_list<const char*> known,
                   const std::string& where) {
    for (auto it = object.begin(); it != object.end(); ++it) {
        const std::string& key = it.key();
        const char* closest = nullptr;
        std::size_t best = std::max<std::size_t>(2, key.size() / 4) + 1;
        bool found = false;
        for (const char* k : known) {
            if (key == k) found = true;
            const std::size_t d = editDistance(key, k);
            if (d < best) {
                best = d;
                closest = k;
            }
        }
        if (found) continue;
        throw FieldError{where + key,
                         closest ? std::string("unknown (did you mean \"") + closest + "\"?)"
                                 : std::string("unknown")};
    }
}

const json* member(const json& object, const char* name, const std::string& where, bool required) {
    auto it = object.find(name);
    if (it == object.end()) {
        if (required) throw FieldError{where + name, "missing"};
        return nullptr;
    }
    return &*it;
}

std::string range(long long min, long long max) {
    return "out of range [" + std::to_string(min) + ", " + std::to_string(max) + "]";
}

// An integer in [min, max]. A number written with a fraction or an exponent
// counts when its value is a whole number ("1e6").
long long integer(const json& object, const char* name, const std::string& where, bool required,
                  long long fallback, long long min, long long max) {
    const json* v = member(object, name, where, required);
    if (v == nullptr) return fallback;
    long long n = 0;
    if (v->is_number_unsigned()) {
        const unsigned long long u = v->get<unsigned long long>();
        if (u > static_cast<unsigned long long>(max))
            throw FieldError{where + name, range(min, max)};
        n = static_cast<long long>(u);
    } else if (v->is_number_integer()) {
        n = v->get<long long>();
    } else if (v->is_number_float()) {
        const double d = v->get<double>();
        if (std::floor(d) != d) throw FieldError{where + name, "not an integer"};
        if (d < static_cast<double>(min) || d > static_cast<double>(max)) {
            throw FieldError{where + name, range(min, max)};
        }
        n = static_cast<long long>(d);
    } else {
        throw FieldError{where + name, "not an integer"};
    }
    if (n < min || n > max) throw FieldError{where + name, range(min, max)};
    return n;
}

std::string text(const json& object, const char* name, const std::string& where) {
    const json* v = member(object, name, where, true);
    if (!v->is_string()) throw FieldError{where + name, "not a string"};
    std::string s = v->get<std::string>();
    if (s.empty()) throw FieldError{where + name, "empty"};
    if (s.find('\0') != std::string::npos) throw FieldError{where + name, "holds a NUL character"};
    return s;
}

const json& array(const json& root, const char* name, bool required) {
    static const json empty = json::array();
    const json* v = member(root, name, "", required);
    if (v == nullptr) return empty;
    if (!v->is_array()) throw FieldError{name, "not an array"};
    return *v;
}

const json& object(const json& v, const std::string& where) {
    if (!v.is_object()) throw FieldError{where.substr(0, where.size() - 1), "not an object"};
    return v;
}

RecordDirInfoEx dir(const json& d, const std::string& where, int attribute) {
    object(d, where);
    onlyKnownKeys(
        d, {"root", "diskType", "fileSystemFormat", "fileSegmentSize", "groupId", "attribute"},
        where);
    RecordDirInfoEx info;
    info.setRecordRootDir(text(d, "root", where));
    info.setDiskType(static_cast<int>(integer(d, "diskType", where, false, 1, 1, 3)));
    info.setFileSystemFormat(
        static_cast<int>(integer(d, "fileSystemFormat", where, false, 1, 0, 1)));
    info.setFileSegmentSize(integer(d, "fileSegmentSize", where, false, kDefaultSegmentSize,
                                    kMinSegmentSize, kMaxSegmentSize));
    info.setGroupId(static_cast<int>(integer(d, "groupId", where, false, 1, 0, 1 << 30)));
    // The attribute says which list the directory is in; it cannot say otherwise.
    info.setAttribute(
        static_cast<int>(integer(d, "attribute", where, false, attribute, attribute, attribute)));
    return info;
}

DevicePolicyConfig policy(const json& p, const std::string& where) {
    object(p, where);
    onlyKnownKeys(p, {"deviceId", "cameraId", "groupId"}, where);
    DevicePolicyConfig policy;
    policy.deviceId = text(p, "deviceId", where);
    // The device id names folders on the disks (<id>_<ip>_<camera>): one
    // plain name, not hidden (RecordName).
    if (RecordName::checkDeviceId(policy.deviceId) != kRecordOk) {
        throw FieldError{where + "deviceId", RecordName::why(policy.deviceId)};
    }
    policy.cameraId = static_cast<int>(integer(p, "cameraId", where, false, 0, 0, 1 << 30));
    policy.groupId = static_cast<int>(integer(p, "groupId", where, true, 0, 0, 1 << 30));
    return policy;
}

// --- Roots that overlap ------------------------------------------------------

struct Root {
    std::string field;  // e.g. recordDirs[0].root
    bool backup;
    std::filesystem::path path;  // absolute, normalised, symbolic links resolved
    FileStat st;
    bool exists;
};

// The folder as the file system sees it: made absolute and normalised, with
// "." and ".." and the symbolic links of its existing part resolved.
std::filesystem::path resolve(const std::string& root) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path p = fs::absolute(fs::path(root), ec);
    if (ec) p = fs::path(root);
    fs::path canonical = fs::weakly_canonical(p, ec);
    p = (ec ? p : canonical).lexically_normal();
    // No trailing separator: "/a/b/" is "/a/b".
    std::string s = p.string();
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return fs::path(s);
}

// True when `inner` is `outer` or lies below it.
bool within(const std::filesystem::path& inner, const std::filesystem::path& outer) {
    auto o = outer.begin();
    auto i = inner.begin();
    for (; o != outer.end(); ++o, ++i) {
        if (i == inner.end() || *i != *o) return false;
    }
    return true;
}

// A backup root inside a record root (or the reverse) would have the job read
// back what it writes; two record roots that are one folder would list every
// file twice.
void checkRoots(const RecorderConfig& config) {
    std::vector<Root> roots;
    auto add = [&roots](const std::vector<RecordDirInfoEx>& dirs, const char* list, bool backup) {
        for (std::size_t i = 0; i < dirs.size(); ++i) {
            Root r;
            r.field = std::string(list) + "[" + std::to_string(i) + "].root";
            r.backup = backup;
            r.path = resolve(dirs[i].getRecordRootDir());
            r.exists =
                RecordDiskManagerImpl::fileSystem()->stat(r.path.string(), r.st) == kRecordOk;
            roots.push_back(r);
        }
    };
    add(config.recordDirs, "recordDirs", false);
    add(config.backupDirs, "backupDirs", true);
    for (std::size_t j = 1; j < roots.size(); ++j) {
        const Root& b = roots[j];
        for (std::size_t i = 0; i < j; ++i) {
            const Root& a = roots[i];
            // Also one folder under two names that no link explains (a bind mount).
            const bool same =
                b.path == a.path ||
                (a.exists && b.exists && a.st.device == b.st.device && a.st.inode == b.st.inode);
            if (same) throw FieldError{b.field, "is the same folder as " + a.field};
            if (a.backup == b.backup) continue;
            if (within(b.path, a.path)) {
                throw FieldError{b.field, "lies inside " + a.field + " (" + a.path.string() + ")"};
            }
            if (within(a.path, b.path)) {
                throw FieldError{b.field, "contains " + a.field + " (" + a.path.string() + ")"};
            }
        }
    }
}

void checkPolicies(const RecorderConfig& config) {
    for (std::size_t j = 1; j < config.policies.size(); ++j) {
        for (std::size_t i = 0; i < j; ++i) {
            const DevicePolicyConfig& a = config.policies[i];
            const DevicePolicyConfig& b = config.policies[j];
            if (a.deviceId == b.deviceId && a.cameraId == b.cameraId) {
                throw FieldError{
                    "policies[" + std::to_string(j) + "]",
                    "names the device and camera of policies[" + std::to_string(i) + "]"};
            }
        }
    }
}

RecorderConfig parse(const std::string& source) {
    DocumentBuilder builder;
    if (!json::sax_parse(source, &builder)) throw FieldError{builder.field, builder.what};
    const json& root = builder.root;
    if (!root.is_object()) throw FieldError{"(top level)", "not an object"};
    onlyKnownKeys(
        root,
        {"recordDirs", "policies", "backupDirs", "backupReserveBytes", "recycleRetentionSeconds"},
        "");
    RecorderConfig config;
    const json& dirs = array(root, "recordDirs", true);
    for (std::size_t i = 0; i < dirs.size(); ++i) {
        config.recordDirs.push_back(dir(dirs[i], "recordDirs[" + std::to_string(i) + "].",
                                        RecordDirInfoEx::kAttributeLocal));
    }
    const json& policies = array(root, "policies", true);
    for (std::size_t i = 0; i < policies.size(); ++i) {
        config.policies.push_back(policy(policies[i], "policies[" + std::to_string(i) + "]."));
    }
    const json& backups = array(root, "backupDirs", false);
    for (std::size_t i = 0; i < backups.size(); ++i) {
        config.backupDirs.push_back(dir(backups[i], "backupDirs[" + std::to_string(i) + "].",
                                        RecordDirInfoEx::kAttributeBackup));
    }
    config.backupReserveBytes =
        integer(root, "backupReserveBytes", "", false, config.backupReserveBytes, 0, 1LL << 50);
    config.recycleRetentionSeconds = integer(root, "recycleRetentionSeconds", "", false,
                                             config.recycleRetentionSeconds, -1, 1LL << 40);
    checkPolicies(config);
    checkRoots(config);
    return config;
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
    // Nothing thrown in here leaves the library: a host calling the loader
    // gets a result code and a message.
    try {
        RecorderConfig config = parse(source);
        out = std::move(config);
        error.clear();
        return kRecordOk;
    } catch (const FieldError& e) {
        error = e.field.empty() ? origin + ": " + e.what
                                : origin + ": field \"" + e.field + "\" " + e.what;
    } catch (const std::exception& e) {  // json's own errors, bad_alloc
        error = origin + ": " + e.what();
    } catch (...) {
        error = origin + ": unreadable";
    }
    return kRecordBadConfig;
}

int RecorderConfig::loadFile(const std::string& path, RecorderConfig& out, std::string& error) {
    try {
        FileSystem& fs = *RecordDiskManagerImpl::fileSystem();
        FileStat st;
        int r = fs.stat(path, st);
        if (r == kRecordOk && st.isDir) r = kRecordIOError;
        if (r == kRecordOk && st.size > static_cast<long long>(kMaxFileBytes)) {
            error = path + ": larger than " + std::to_string(kMaxFileBytes) + " bytes";
            return kRecordBadConfig;
        }
        std::string data;
        if (r == kRecordOk) r = fsutil::readFile(fs, path, data);
        if (r != kRecordOk) {
            error = path + ": cannot be read (" + resultToString(r) + ")";
            return kRecordBadConfig;
        }
        return loadText(data, path, out, error);
    } catch (const std::exception& e) {
        error = path + ": " + e.what();
    }
    return kRecordBadConfig;
}

int RecorderConfig::saveFile(const std::string& path) const {
    std::string text;
    try {
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
        text = root.dump(2) + "\n";
    } catch (const std::exception&) {  // a string that is not UTF-8
        return kRecordBadConfig;
    }
    return fsutil::writeFileAtomic(*RecordDiskManagerImpl::fileSystem(), path, text);
}
