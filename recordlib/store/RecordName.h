#ifndef RECORDLIB_RECORDNAME_H
#define RECORDLIB_RECORDNAME_H

#include <string>

#include "RecordLibExport.h"

// The checks of every name that the record library turns into a folder or
// file name on the disks, wherever the name comes from: the configuration,
// the host's RecordInfo, an index entry, a folder listed on a disk, the
// command line. A name must be one plain name inside its folder, so that
// nothing is ever read, written or removed outside the configured roots.
//
// Each check answers kRecordOk or kRecordBadName; why() says what is wrong in
// words for messages. Thread-safe.
class RECORDLIB_EXPORT RecordName {
  public:
    // The longest name a folder holds (NAME_MAX of the file systems used).
    static const size_t kMaxLength = 255;

    // One plain name: not empty, not longer than kMaxLength, without "/",
    // "..", a NUL or a control character (below 0x20, or 0x7f).
    static int checkPlain(const std::string& name);
    // A device id: a plain name that does not begin with "." (the library
    // keeps its own folders, such as .recycle, beside the device folders).
    static int checkDeviceId(const std::string& id);
    // A device IP as it goes into a folder name: may be empty; otherwise
    // without "/", "..", a NUL or a control character.
    static int checkDeviceIP(const std::string& ip);
    // A device folder <id>_<ip>_<camera>: a plain name that is not hidden,
    // whose id and IP pass their checks.
    static int checkDeviceDir(const std::string& name);
    // A day folder: eight digits (BasicTool::getDateString).
    static int checkDay(const std::string& name);
    // A record file inside its day folder: a plain name that is not hidden and
    // is neither the day index nor its temporary file.
    static int checkRecordFileName(const std::string& name);

    // What is wrong with a name ("holds a \"/\"", "begins with \".\"", "is the
    // day index"); empty when none of these holds.
    static std::string why(const std::string& name);
    // The name as it can be shown in one line: control characters, NUL and
    // bytes above 0x7e as \xNN, quoted.
    static std::string printable(const std::string& name);

    // Writes `message` to the log under `category` the first time `key` is
    // seen in this process, so that a hostile name met at every look (the job
    // asks again every second) is logged once, not every second.
    static void logOnce(const char* category, const std::string& key, const std::string& message);
    // Logs once that the `what` (e.g. "device id") `name` is refused, and
    // answers kRecordBadName.
    static int refuse(const char* category, const std::string& what, const std::string& name);
};

#endif  // RECORDLIB_RECORDNAME_H
