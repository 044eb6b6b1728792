#include "store/RecordName.h"

#include <cstdio>
#include <mutex>
#include <set>

#include "BasicTool.h"
#include "Logger.h"
#include "RecordResult.h"
#include "store/RecordIndexFile.h"

namespace {

bool isControl(char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7f;
}

// The first fault of a name as a path component, or nullptr.
const char* fault(const std::string& name, bool allowEmpty) {
    if (name.empty()) return allowEmpty ? nullptr : "is empty";
    if (name.size() > RecordName::kMaxLength) return "is longer than 255 bytes";
    if (name.find('/') != std::string::npos) return "holds a \"/\"";
    if (name.find("..") != std::string::npos) return "holds \"..\"";
    if (name.find('\0') != std::string::npos) return "holds a NUL character";
    for (char c : name) {
        if (isControl(c)) return "holds a control character";
    }
    if (name == ".") return "is \".\"";
    return nullptr;
}

}  // namespace

int RecordName::checkPlain(const std::string& name) {
    return fault(name, false) == nullptr ? kRecordOk : kRecordBadName;
}

int RecordName::checkDeviceId(const std::string& id) {
    if (checkPlain(id) != kRecordOk || id[0] == '.') return kRecordBadName;
    return kRecordOk;
}

int RecordName::checkDeviceIP(const std::string& ip) {
    return fault(ip, true) == nullptr ? kRecordOk : kRecordBadName;
}

int RecordName::checkDeviceDir(const std::string& name) {
    if (checkPlain(name) != kRecordOk || name[0] == '.') return kRecordBadName;
    std::string id, ip;
    int camera = 0;
    if (!BasicTool::parseDeviceDirString(name, id, ip, camera)) return kRecordBadName;
    if (checkDeviceId(id) != kRecordOk || checkDeviceIP(ip) != kRecordOk) return kRecordBadName;
    return kRecordOk;
}

int RecordName::checkDay(const std::string& name) {
    if (name.size() != 8) return kRecordBadName;
    for (char c : name) {
        if (c < '0' || c > '9') return kRecordBadName;
    }
    return kRecordOk;
}

int RecordName::checkRecordFileName(const std::string& name) {
    if (checkPlain(name) != kRecordOk || name[0] == '.') return kRecordBadName;
    const std::string index = RecordIndexFile::kFileName;
    if (name.compare(0, index.size(), index) == 0) return kRecordBadName;
    return kRecordOk;
}

std::string RecordName::why(const std::string& name) {
    if (const char* f = fault(name, false)) return f;
    if (name[0] == '.') return "begins with \".\"";
    const std::string index = RecordIndexFile::kFileName;
    if (name.compare(0, index.size(), index) == 0) return "is the day index";
    return std::string();
}

int RecordName::refuse(const char* category, const std::string& what, const std::string& name) {
    std::string reason = why(name);
    if (reason.empty()) reason = "is not one";
    logOnce(category, what + '\n' + name,
            what + " " + printable(name) + " " + reason + ": refused (" +
                resultToString(kRecordBadName) + ")");
    return kRecordBadName;
}

std::string RecordName::printable(const std::string& name) {
    std::string out = "\"";
    for (char c : name) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u > 0x7e || c == '"' || c == '\\') {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", u);
            out += hex;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

void RecordName::logOnce(const char* category, const std::string& key, const std::string& message) {
    static std::mutex lock;
    static std::set<std::string>* seen = new std::set<std::string>;  // used until exit
    {
        std::lock_guard<std::mutex> guard(lock);
        if (!seen->insert(std::string(category) + '\n' + key).second) return;
    }
    Logger::writeLog(category, message.c_str(), __FILE__, __LINE__);
}
