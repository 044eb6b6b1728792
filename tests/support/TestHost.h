// What every test folder stands on: a temporary folder, the log and events it
// watches, and the programs it judges with (a shell command, ffmpeg).
#ifndef TESTS_SUPPORT_TESTHOST_H
#define TESTS_SUPPORT_TESTHOST_H

#include <stdio.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "Logger.h"

namespace rectest {

// A fresh folder for one test under the temporary folder, removed afterwards.
class TempDir {
  public:
    TempDir() : m_path((std::filesystem::temp_directory_path() / "nvr-test-XXXXXX").string()) {
        if (mkdtemp(m_path.data()) == nullptr) m_path.clear();
    }
    ~TempDir() {
        std::error_code ec;
        if (!m_path.empty()) std::filesystem::remove_all(m_path, ec);
    }
    const std::string& path() const { return m_path; }
    std::string sub(const std::string& name) const { return m_path + "/" + name; }

  private:
    std::string m_path;
};

// Things in the order they happened; any thread may add.
class EventLog {
  public:
    void add(const std::string& event) {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_events.push_back(event);
        }
        m_changed.notify_all();
    }
    std::vector<std::string> peek() const {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_events;
    }
    std::vector<std::string> take() {
        std::lock_guard<std::mutex> guard(m_lock);
        return std::move(m_events);
    }
    std::string joined() {
        std::string out;
        for (const std::string& e : take()) out += (out.empty() ? "" : "; ") + e;
        return out;
    }
    bool contains(const std::string& part) const {
        for (const std::string& e : peek()) {
            if (e.find(part) != std::string::npos) return true;
        }
        return false;
    }
    // Waits (a minute at most) for `enough` of the events not yet taken.
    bool waitFor(const std::function<bool(const std::vector<std::string>&)>& enough) {
        std::unique_lock<std::mutex> lock(m_lock);
        return m_changed.wait_for(lock, std::chrono::seconds(60), [&] { return enough(m_events); });
    }

  private:
    mutable std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<std::string> m_events;
};

// Every log entry written while it lives, as "category|message"; with a
// category, only that category's messages.
struct LogCapture : EventLog {
    explicit LogCapture(const std::string& category = "") {
        Logger::setObserver(
            [this, category](const std::string& c, const std::string& m, const std::string&, int) {
                if (category.empty())
                    add(c + "|" + m);
                else if (c == category)
                    add(m);
            });
    }
    ~LogCapture() { Logger::setObserver(Logger::Observer()); }
};

// Runs a shell command; answers what it printed on both outputs.
inline std::string run(const std::string& command) {
    std::string out;
    FILE* p = popen((command + " 2>&1").c_str(), "r");
    if (p == nullptr) return "popen failed";
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
    pclose(p);
    return out;
}

inline bool haveFfmpeg() {
    return system("ffmpeg -version >/dev/null 2>&1 && ffprobe -version >/dev/null 2>&1") == 0;
}

// The decoder's complaints about a file: empty when it plays cleanly.
inline std::string decodeWarnings(const std::string& path) {
    return run("ffmpeg -nostdin -v warning -i '" + path + "' -f null -");
}

}  // namespace rectest

#endif  // TESTS_SUPPORT_TESTHOST_H
