#include "Logger.h"

#include <spdlog/details/log_msg.h>
#include <spdlog/sinks/rotating_file_sink.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <exception>
#include <memory>
#include <mutex>

namespace {

struct LogState {
    std::mutex mutex;
    // The file, or null for standard error. Guarded by mutex.
    std::unique_ptr<spdlog::sinks::rotating_file_sink_st> file;
    Logger::Observer observer;  // guarded by mutex
};

LogState& state() {
    // Never destroyed: threads may still log while the process exits.
    static LogState* const instance = new LogState();
    return *instance;
}

// "2026-12-06 01:02:03.456 [category] message (file:line)"
std::string formatEntry(const char* category, const char* message, const char* file, int line) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const long millis = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000);
    std::tm local{};
    localtime_r(&seconds, &local);
    char stamp[40];
    const std::size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(stamp + n, sizeof stamp - n, ".%03ld", millis);

    std::string entry = stamp;
    entry += " [";
    entry += category;
    entry += "] ";
    entry += message;
    entry += " (";
    entry += file;
    entry += ':';
    entry += std::to_string(line);
    entry += ')';
    return entry;
}

void writeStandardError(const std::string& entry) {
    std::string text = entry;
    text += '\n';
    std::fwrite(text.data(), 1, text.size(), stderr);
}

}  // namespace

void Logger::writeLog(const char* category, const char* message, const char* file, int line) {
    if (category == nullptr) category = "";
    if (message == nullptr) message = "";
    if (file == nullptr) file = "";
    const std::string entry = formatEntry(category, message, file, line);

    LogState& log = state();
    std::lock_guard<std::mutex> guard(log.mutex);
    if (log.file) {
        try {
            log.file->log(spdlog::details::log_msg(spdlog::source_loc{}, "", spdlog::level::info,
                                                   spdlog::string_view_t(entry)));
            log.file->flush();
        } catch (const std::exception& e) {
            // A full or failing disk must not lose the entry without a trace.
            writeStandardError(std::string("log file failed: ") + e.what());
            writeStandardError(entry);
        }
    } else {
        writeStandardError(entry);
    }
    if (log.observer) log.observer(category, message, file, line);
}

int Logger::setLogFile(const std::string& path, long maxBytes, int keep) {
    if (path.empty() || maxBytes <= 0 || keep < 0) return -1;
    std::unique_ptr<spdlog::sinks::rotating_file_sink_st> sink;
    try {
        sink = std::make_unique<spdlog::sinks::rotating_file_sink_st>(
            path, static_cast<std::size_t>(maxBytes), static_cast<std::size_t>(keep));
        sink->set_pattern("%v");
    } catch (const std::exception& e) {
        writeStandardError(std::string("cannot open log file ") + path + ": " + e.what());
        return -2;
    }
    LogState& log = state();
    std::lock_guard<std::mutex> guard(log.mutex);
    log.file = std::move(sink);
    return 0;
}

void Logger::setStandardError() {
    LogState& log = state();
    std::lock_guard<std::mutex> guard(log.mutex);
    log.file.reset();
}

void Logger::setObserver(Observer observer) {
    LogState& log = state();
    std::lock_guard<std::mutex> guard(log.mutex);
    log.observer = std::move(observer);
}
