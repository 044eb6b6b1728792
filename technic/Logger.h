#ifndef TECHNIC_LOGGER_H
#define TECHNIC_LOGGER_H

#include <functional>
#include <string>

#include "TechnicExport.h"

// The host's log. One line per entry:
//   2026-12-06 01:02:03.456 [category] message (file:line)
// Thread-safe: entries of different threads never mix within a line. Written
// to standard error by default, or to a file with a size cap and rotation: when
// an entry would take the file past the cap, the file is renamed to the first
// old file and a new one begun ("backup.log" -> "backup.1.log" ->
// "backup.2.log" ...; the oldest beyond `keep` is dropped). Every entry is
// flushed as it is written. When the file cannot be written, the entry goes to
// standard error.
class TECHNIC_EXPORT Logger {
  public:
    static void writeLog(const char* category, const char* message, const char* file, int line);

    // Send entries to `path` (appending to it), rotating when it would exceed
    // maxBytes and keeping `keep` old files. Returns 0; -1 for a bad argument
    // (empty path, maxBytes <= 0, keep < 0); -2 when the file cannot be opened.
    // On failure the log stays where it was.
    static int setLogFile(const std::string& path, long maxBytes, int keep);
    // Back to standard error.
    static void setStandardError();

    // A hook that sees every entry (category, message, file, line) after it was
    // written; tests use it to check what was logged. Pass an empty function to
    // remove it; once setObserver returns, the old hook is not called again.
    // The hook runs under the log's lock and must not log.
    using Observer =
        std::function<void(const std::string&, const std::string&, const std::string&, int)>;
    static void setObserver(Observer observer);
};

#endif  // TECHNIC_LOGGER_H
