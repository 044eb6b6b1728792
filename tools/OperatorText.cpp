#include "OperatorText.h"

#include <cstdio>

#include "RecordResult.h"

namespace OperatorText {

namespace {

std::string bracket(int code) { return " [" + std::to_string(code) + "]"; }

bool contains(const std::string& text, const char* part) {
    return text.find(part) != std::string::npos;
}

// The code whose name closes the message in parentheses, as the record
// library writes it ("...: write failed (no space left)"); 0 when none.
int trailingCode(const std::string& message) {
    if (message.empty() || message.back() != ')') return 0;
    const size_t open = message.rfind('(');
    if (open == std::string::npos) return 0;
    const std::string name = message.substr(open + 1, message.size() - open - 2);
    for (int code = -700; code >= -740; --code) {
        if (name == resultToString(code) && name != resultToString(-1000)) return code;
    }
    if (name == resultToString(kRecordNoFrameYet)) return kRecordNoFrameYet;
    return 0;
}

}  // namespace

std::string result(int code) { return std::string(resultToString(code)) + bracket(code); }

std::string logCause(const std::string& category, const std::string& message) {
    if (contains(message, "is not a prepared backup disk")) {
        return message + bracket(kRecordNotPrepared);
    }
    if (category == "RecordDisk" && contains(message, "every backup directory is full")) {
        return "every backup disk is full: the space left is within the configured reserve "
               "(backupReserveBytes)" +
               bracket(kRecordDirRefused);
    }
    if (category == "RecordDisk" && contains(message, "no backup directory is mounted")) {
        return "no backup disk is mounted: no configured backup root is there" +
               bracket(kRecordNoDir);
    }
    const int code = trailingCode(message);
    return code != 0 ? message + bracket(code) : message;
}

std::string duration(double seconds) {
    if (seconds < 0) seconds = 0;
    const long long s = static_cast<long long>(seconds + 0.5);
    char text[32];
    if (s < 60) {
        std::snprintf(text, sizeof text, "%llds", s);
    } else if (s < 3600) {
        std::snprintf(text, sizeof text, "%lldm%02llds", s / 60, s % 60);
    } else {
        std::snprintf(text, sizeof text, "%lldh%02lldm", s / 3600, (s % 3600) / 60);
    }
    return text;
}

}  // namespace OperatorText
