#ifndef TECHNIC_LOGGER_H
#define TECHNIC_LOGGER_H

#include <functional>
#include <string>

// The host's log. One line per entry:
//   2026-12-06 01:02:03.456 [category] message (file:line)
// Thread-safe. Written to standard error by default, or to a file with a size
// cap and rotation (file, file.1, ... file.N).
class Logger {
public:
    static void writeLog(const char* category, const char* message, const char* file, int line);

    // Send entries to `path`, rotating when it would exceed maxBytes and
    // keeping `keep` old files. Returns 0, or a negative code when the file
    // cannot be opened (the log then stays where it was).
    static int setLogFile(const std::string& path, long maxBytes, int keep);
    // Back to standard error.
    static void setStandardError();

    // A hook that sees every entry (category, message, file, line); tests use
    // it to check what was logged. Pass an empty function to remove it.
    using Observer = std::function<void(const std::string&, const std::string&,
                                        const std::string&, int)>;
    static void setObserver(Observer observer);
};

#endif  // TECHNIC_LOGGER_H
