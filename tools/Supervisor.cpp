#include "Supervisor.h"

#include <pthread.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

#include "BackupServiceManager.h"
#include "Logger.h"
#include "MoveMeter.h"
#include "OperatorText.h"
#include "RecordDiskManagerImpl.h"
#include "RecordDropCounter.h"
#include "RecordInfo.h"
#include "RecordInventory.h"
#include "store/FileSystem.h"
#include "store/MoveLedger.h"
#include "store/RecordQuarantine.h"

namespace {

// The category of the program's own log lines.
const char kCategory[] = "BackupRun";
// The record library's categories whose last line names why a job is stuck.
const char* const kCauseCategories[] = {"RecordDisk", "RecordWrite", "RecordMove"};

const long long kTerminalTickMs = 500;
const long long kPlainTickMs = 1000;
const long long kPlainLineMs = 10000;
const long long kRateWindowMs = 5000;
// The job is asked whether anything is left only once it has written
// nothing for this long: while it writes, it has a file.
const long long kIdleMs = 1000;

// What the log hook keeps: the last line of a cause category per camera
// ("" for lines that name no camera), and the count of lines of the record
// library and the module.
struct LogWatch {
    struct Line {
        std::string category;
        std::string message;
        long long ms = -1;
    };
    std::mutex lock;
    std::map<std::string, Line> causes;  // guarded by lock
    long long lines = 0;                 // guarded by lock
    bool onTerminal = false;             // a line went to standard error; guarded by lock
};

// The camera of a log message that starts with a record file's path.
std::string cameraOfMessage(const std::string& message) {
    return MoveLedger::cameraKeyOfPath(message.substr(0, message.find(": ")));
}

// "20231114/1700000000000.ts" of a record file's path.
std::string shortName(const std::string& path) {
    const std::string day = fsutil::baseName(fsutil::dirName(path));
    return day.empty() ? fsutil::baseName(path) : day + "/" + fsutil::baseName(path);
}

std::string plural(long long n, const char* one, const char* many) {
    return RecordInventory::formatCount(n) + " " + (n == 1 ? one : many);
}

// The frames of a job that the backup's storage dropped, as the record
// library counted them with their reasons. (A file that left without all its
// nodes written may also have been quarantined: kept, not dropped.)
std::string droppedText(const Supervisor::Job& job) {
    const RecordDropCounter::Counts c = RecordDropCounter::counts(job.deviceId, job.cameraId);
    std::string why;
    for (int r = 0; r < RecordDropCounter::kReasonCount; ++r) {
        if (c.byReason[r] == 0) continue;
        why += (why.empty() ? "" : ", ") + std::to_string(c.byReason[r]) + " " +
               RecordDropCounter::reasonText(r);
    }
    const std::string text = plural(c.total(), "node", "nodes");
    return why.empty() ? text : text + " (" + why + ")";
}

int terminalColumns() {
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 20) return size.ws_col;
    return 80;
}

}  // namespace

struct Supervisor::State {
    struct Sample {
        long long ms;
        long long nodes;
        long long bytes;
    };
    struct JobState {
        std::string name;  // "device:camera"
        JobSource::Inventory inventory;
        MoveMeter::Camera counts;
        std::deque<Sample> samples;
        long long lastProgressMs = 0;
        bool hasFile = true;     // the job's own answer, asked when it idles
        long long askedMs = -1;  // when it was asked last
        bool departed = false;   // a source file of it left since it was asked
        bool stalled = false;
        std::string stallCause;
        long long stallReportedMs = 0;
        int filesLeft = 0;  // source files that left the local disks
        long long fileBytesLeft = 0;
        long long dropped = 0;  // nodes of those files never written
        int passedOverShown = 0;
        int unreadableShown = 0;
        long long printedNodes = -1;  // the last plain line's figures
        int printedFiles = -1;
    };
    std::vector<JobState> jobs;
    MoveMeter* meter = nullptr;
    std::shared_ptr<LogWatch> watch;
    std::map<std::string, long long> nodesByPath;  // of every source file seen listed
    long long startMs = 0;
    long long inventoryMs = -1;
    long long inventoryCostMs = 0;
    long long plainMs = 0;
    long long stallMs = 10000;
    int drawn = 0;  // lines of the live display now on the terminal
};

Supervisor::Supervisor(const RecorderConfig& config, const Options& options)
    : m_config(config), m_options(options) {}

bool Supervisor::addJobs(const std::vector<Job>& jobs, std::string& error) {
    for (const Job& job : jobs) {
        JobSource source;
        if (!JobSource::find(job.deviceId, job.deviceIP, job.cameraId, source, error)) return false;
        m_jobs.push_back(job);
        m_sources.push_back(source);
    }
    return true;
}

void Supervisor::event(State& state, const std::string& line, bool error) {
    if (m_options.tty && !m_options.verbose && state.drawn > 0) {
        std::printf("\033[%dA\033[J", state.drawn);
        std::fflush(stdout);
        state.drawn = 0;
    }
    std::FILE* out = error ? stderr : stdout;
    std::fprintf(out, "nvr-backup: %s\n", line.c_str());
    std::fflush(out);
    if (!m_options.logPath.empty()) Logger::writeLog(kCategory, line.c_str(), __FILE__, __LINE__);
}

void Supervisor::refresh(State& state, bool force) {
    const long long now = MoveMeter::steadyMs();

    // What the record query lists, at most about once a second, and less
    // often when listing takes long (a recorder with many days).
    if (force || state.inventoryMs < 0 ||
        now - state.inventoryMs >= std::max(1000LL, 10 * state.inventoryCostMs)) {
        for (size_t i = 0; i < m_jobs.size(); ++i) {
            state.jobs[i].inventory = m_sources[i].inventory();
            for (const auto& entry : state.jobs[i].inventory.nodesByPath) {
                state.nodesByPath[entry.first] = entry.second;
            }
        }
        state.inventoryCostMs = MoveMeter::steadyMs() - now;
        state.inventoryMs = now;
    }

    // Source files that left the local disks since the last look.
    for (const MoveMeter::Departure& d : state.meter->takeDepartures()) {
        for (size_t i = 0; i < m_jobs.size(); ++i) {
            if (m_sources[i].cameraKey() != d.cameraKey) continue;
            State::JobState& job = state.jobs[i];
            ++job.filesLeft;
            job.departed = true;
            job.fileBytesLeft += d.bytes;
            job.lastProgressMs = now;
            auto known = state.nodesByPath.find(d.path);
            std::string text = job.name + ": " + d.path + " left the local disk (" +
                               RecordInventory::formatBytes(d.bytes) + ", " +
                               plural(d.nodesWritten, "node", "nodes") +
                               " written to the backup disk";
            if (known != state.nodesByPath.end() && known->second > d.nodesWritten) {
                job.dropped += known->second - d.nodesWritten;
                text += "; " + plural(known->second - d.nodesWritten, "node", "nodes") +
                        " of it dropped, not written";
            }
            text += ")";
            if (!m_options.logPath.empty()) {
                Logger::writeLog(kCategory, text.c_str(), __FILE__, __LINE__);
            }
        }
    }

    for (size_t i = 0; i < m_jobs.size(); ++i) {
        State::JobState& job = state.jobs[i];
        job.counts = state.meter->camera(m_sources[i].cameraKey());
        job.lastProgressMs = std::max(job.lastProgressMs, job.counts.lastWriteMs);
        job.samples.push_back({now, job.counts.nodes, job.counts.bytes});
        while (job.samples.size() > 2 && now - job.samples[1].ms >= kRateWindowMs) {
            job.samples.pop_front();
        }

        const int passedOver = job.inventory.cutShort.files + job.inventory.damaged.files;
        if (passedOver > job.passedOverShown) {
            std::string why;
            if (job.inventory.cutShort.files > 0) {
                why = std::to_string(job.inventory.cutShort.files) +
                      " missing or shorter than its index says";
            }
            if (job.inventory.damaged.files > 0) {
                why += (why.empty() ? "" : ", ") + std::to_string(job.inventory.damaged.files) +
                       " with a damaged index entry";
            }
            event(state,
                  job.name + ": " + plural(passedOver, "record file is", "record files are") +
                      " passed over and " + (passedOver == 1 ? "stays" : "stay") +
                      " on the local disk (" + why + "; the log names " +
                      (passedOver == 1 ? "it" : "them") + ")",
                  true);
        }
        job.passedOverShown = passedOver;
        if (job.inventory.unreadable != 0 && job.inventory.unreadable != job.unreadableShown) {
            event(state,
                  job.name + ": " + job.inventory.unreadablePath +
                      " cannot be read: " + OperatorText::result(job.inventory.unreadable) +
                      "; what it holds is neither moved nor counted (see the log)",
                  true);
        }
        job.unreadableShown = job.inventory.unreadable;

        // The job's own answer to "anything left?", asked while it idles.
        // Until nothing is left, it is also asked as soon as a source file
        // of it left: the last one leaving is when it may have none left.
        const bool idle = now - job.lastProgressMs >= kIdleMs;
        const bool justLeft = m_options.untilEmpty && job.departed;
        if (force || justLeft || (idle && now - job.askedMs >= kIdleMs)) {
            job.hasFile = m_sources[i].hasFileToMove();
            job.askedMs = now;
            // A source that left is listed until its removal is written: it
            // is asked again at the next wake while removals are pending.
            job.departed =
                justLeft && MoveLedger::instance().pendingAgeMs(m_sources[i].cameraKey()) >= 0;
        } else if (!idle && !(m_options.untilEmpty && job.askedMs >= job.lastProgressMs)) {
            // While it writes, it has a file (until nothing is left: unless
            // it was asked since its last write).
            job.hasFile = true;
        }
        if (force) continue;  // the start and the end judge no stall

        const long long still = now - job.lastProgressMs;
        if (job.stalled && job.lastProgressMs > job.stallReportedMs) {
            event(state, job.name + " moves again", false);
            job.stalled = false;
        }
        if (!job.hasFile || still < state.stallMs) {
            job.stalled = false;
            continue;
        }
        // Stalled: the cause is the last line of the record library about
        // the camera's backup side or the backup disks.
        std::string cause;
        {
            std::lock_guard<std::mutex> guard(state.watch->lock);
            const LogWatch::Line* line = nullptr;
            for (const char* key : {"", m_sources[i].cameraKey().c_str()}) {
                auto it = state.watch->causes.find(key);
                if (it != state.watch->causes.end() &&
                    (line == nullptr || it->second.ms > line->ms)) {
                    line = &it->second;
                }
            }
            if (line != nullptr) {
                cause = OperatorText::logCause(line->category, line->message);
                // A line of the record library may be logged only once (an
                // unprepared disk): an older one is still the best guess.
                if (line->ms < job.lastProgressMs) cause += " (logged before its last progress)";
            }
        }
        if (cause.empty() && job.counts.lastWriteError != 0) {
            cause = "writing the backup file failed: " +
                    OperatorText::result(job.counts.lastWriteError);
        }
        if (cause.empty()) cause = "the log names no cause";
        if (!job.stalled ||
            (cause != job.stallCause && now - job.stallReportedMs >= state.stallMs)) {
            event(state,
                  job.name + " has moved nothing for " + OperatorText::duration(still / 1000.0) +
                      " although record files wait: " + cause,
                  true);
            job.stalled = true;
            job.stallCause = cause;
            job.stallReportedMs = now;
        }
    }
}

void Supervisor::show(State& state, bool final) {
    const long long now = MoveMeter::steadyMs();
    const bool live = m_options.tty && !m_options.verbose;
    if (!live && !final && now - state.plainMs < kPlainLineMs) return;
    std::vector<std::string> lines;
    for (size_t i = 0; i < m_jobs.size(); ++i) {
        State::JobState& job = state.jobs[i];
        const JobSource::Totals& left = job.inventory.toMove;
        if (!live && !final && job.printedNodes == job.counts.nodes &&
            job.printedFiles == left.files) {
            continue;
        }
        job.printedNodes = job.counts.nodes;
        job.printedFiles = left.files;
        // First what this run moved and how fast, then what is left.
        std::string text = job.name + "  moved " + plural(job.counts.nodes, "node", "nodes") + " " +
                           RecordInventory::formatBytes(job.counts.bytes);
        const State::Sample& first = job.samples.front();
        const double seconds = (now - first.ms) / 1000.0;
        double nodeRate = 0;
        if (seconds > 0.2) {
            nodeRate = (job.counts.nodes - first.nodes) / seconds;
            char rate[64];
            std::snprintf(rate, sizeof rate, ", %.1f nodes/s %s/s", nodeRate,
                          RecordInventory::formatBytes(
                              static_cast<long long>((job.counts.bytes - first.bytes) / seconds))
                              .c_str());
            text += rate;
        }
        std::string rest;
        if (!job.hasFile) {
            rest = m_options.untilEmpty ? "nothing left to move"
                                        : "nothing to move now: waiting for complete record files";
        } else {
            rest = "to move " + plural(left.files, "file", "files") + " " +
                   RecordInventory::formatBytes(left.bytes);
            if (nodeRate > 0 && left.nodes > 0) {
                rest += ", about " + OperatorText::duration(left.nodes / nodeRate);
            }
        }
        if (job.stalled) {
            rest += "; STALLED: " + job.stallCause;
        } else if (!job.counts.reading.empty()) {
            rest += "; reading " + shortName(job.counts.reading);
        }
        if (live) {
            lines.push_back(text);
            text = std::string(job.name.size(), ' ') + "  " + rest;
        } else {
            text += "; " + rest;
        }
        lines.push_back(text);
    }
    if (!live) {
        for (const std::string& line : lines) std::printf("nvr-backup: %s\n", line.c_str());
        std::fflush(stdout);
        state.plainMs = now;
        return;
    }
    bool moved = false;
    {
        std::lock_guard<std::mutex> guard(state.watch->lock);
        moved = state.watch->onTerminal;
        state.watch->onTerminal = false;
    }
    // A log line written to the terminal meanwhile stays: the display is
    // drawn anew below it.
    if (state.drawn > 0 && !moved) std::printf("\033[%dA", state.drawn);
    const size_t columns = static_cast<size_t>(terminalColumns() - 1);
    for (std::string& line : lines) {
        line = "  " + line;
        if (line.size() > columns) line.resize(columns);
        std::printf("\r%s\033[K\n", line.c_str());
    }
    std::fflush(stdout);
    state.drawn = static_cast<int>(lines.size());
}

Supervisor::Outcome Supervisor::run() {
    Outcome outcome;
    State state;
    state.startMs = MoveMeter::steadyMs();
    // A job's longest own pause is 2 s of its clock (after a failed write);
    // five of them without a node written is a stall.
    state.stallMs = m_options.speed > 0
                        ? std::max(5000LL, static_cast<long long>(10000 / m_options.speed))
                        : 5000LL;
    for (const Job& job : m_jobs) {
        State::JobState js;
        js.name = job.deviceId + ":" + std::to_string(job.cameraId);
        js.lastProgressMs = state.startMs;
        state.jobs.push_back(js);
    }

    std::vector<std::string> localRoots;
    std::vector<std::string> backupRoots;
    for (const RecordDirInfoEx& d : m_config.recordDirs) localRoots.push_back(d.getRecordRootDir());
    for (const RecordDirInfoEx& d : m_config.backupDirs)
        backupRoots.push_back(d.getRecordRootDir());
    FileSystem* previous = RecordDiskManagerImpl::fileSystem();
    MoveMeter meter(previous, localRoots, backupRoots);
    RecordDiskManagerImpl::setFileSystem(&meter);
    state.meter = &meter;

    state.watch = std::make_shared<LogWatch>();
    const bool toTerminal = m_options.logPath.empty();
    Logger::setObserver([watch = state.watch, toTerminal](const std::string& category,
                                                          const std::string& message,
                                                          const std::string&, int) {
        if (category == kCategory) return;
        std::lock_guard<std::mutex> guard(watch->lock);
        ++watch->lines;
        watch->onTerminal = watch->onTerminal || toTerminal;
        for (const char* wanted : kCauseCategories) {
            if (category == wanted) {
                watch->causes[cameraOfMessage(message)] = {category, message,
                                                           MoveMeter::steadyMs()};
            }
        }
    });

    refresh(state, true);
    bool empty = true;
    for (const State::JobState& job : state.jobs) empty = empty && !job.hasFile;
    auto anyUnreadable = [&state] {
        for (const State::JobState& job : state.jobs) {
            if (job.inventory.unreadable != 0) return true;
        }
        return false;
    };
    BackupServiceManager* manager = BackupServiceManager::getInstance();
    if (m_options.untilEmpty && empty) {
        outcome.empty = true;
        const bool unreadable = anyUnreadable();
        event(state,
              unreadable ? "nothing to move that can be read; what else is left is unknown"
                         : "nothing to move: no job's local disks hold a record file it would move",
              unreadable);
    } else {
        // Until nothing is left, a source file leaving wakes this thread (a
        // signal of its own, blocked here and taken by the wait below), so
        // the end is seen when the last one left, not at a later tick.
        sigset_t waits = m_options.signals;
        sigset_t wake;
        sigemptyset(&wake);
        const int wakeSignal = SIGRTMIN;
        if (m_options.untilEmpty) {
            sigaddset(&wake, wakeSignal);
            sigaddset(&waits, wakeSignal);
            pthread_sigmask(SIG_BLOCK, &wake, nullptr);
            const pthread_t supervisor = pthread_self();
            meter.setDepartureHook(
                [supervisor, wakeSignal] { pthread_kill(supervisor, wakeSignal); });
        }
        manager->init();
        for (size_t i = 0; i < m_jobs.size(); ++i) {
            RecordInfo info;
            info.setDeviceId(m_jobs[i].deviceId.c_str());
            info.setDeviceIP(m_jobs[i].deviceIP.c_str());
            info.setCameraId(m_jobs[i].cameraId);
            if (manager->addService(0, info) != 0) {
                event(state, "the job of " + state.jobs[i].name + " could not be started [-1]",
                      true);
                outcome.startFailed = true;
            }
        }
        char speed[32];
        std::snprintf(speed, sizeof speed, "%g", m_options.speed);
        event(state,
              plural(static_cast<long long>(m_jobs.size()), "job", "jobs") +
                  " running, clock speed " + speed +
                  (m_options.untilEmpty ? ", until nothing is left to move" : "") +
                  "; Ctrl-C stops",
              false);
        if (m_options.verbose) {
            std::printf(
                "nvr-backup: the module's own lines follow. \"open failed(-728)\" and \"read "
                "failed(-728)\" mean that the job has no further record file yet (it looks "
                "again after 1 s of its clock); \"(-735)\" that no folder of the camera exists "
                "yet.\n");
            std::fflush(stdout);
        }
        show(state, false);

        const long long tickMs = m_options.tty ? kTerminalTickMs : kPlainTickMs;
        long long nextTickMs = MoveMeter::steadyMs() + tickMs;
        while (true) {
            const long long left = std::max(0LL, nextTickMs - MoveMeter::steadyMs());
            const timespec wait{static_cast<time_t>(left / 1000),
                                static_cast<long>(left % 1000) * 1000000L};
            const int sig = sigtimedwait(&waits, nullptr, &wait);
            if (sig > 0 && sig != wakeSignal) {
                outcome.signal = sig;
                break;
            }
            const bool tick = sig != wakeSignal;
            if (tick) nextTickMs = MoveMeter::steadyMs() + tickMs;
            refresh(state, false);
            if (tick) show(state, false);
            bool allEmpty = true;
            for (const State::JobState& job : state.jobs) {
                allEmpty = allEmpty && !job.hasFile;
                if (m_options.giveUpSeconds > 0 && job.stalled &&
                    MoveMeter::steadyMs() - job.lastProgressMs >= m_options.giveUpSeconds * 1000) {
                    outcome.gaveUp = true;
                }
            }
            if (outcome.gaveUp) break;
            if (m_options.untilEmpty && allEmpty) {
                outcome.empty = true;
                break;
            }
        }
        if (outcome.signal != 0) {
            event(state,
                  std::string(outcome.signal == SIGINT ? "SIGINT" : "SIGTERM") +
                      ": stopping the jobs; each closes its backup file, and a later run "
                      "moves the rest",
                  false);
        } else if (outcome.gaveUp) {
            event(state, "giving up: a job has moved nothing for too long", true);
        } else {
            event(state,
                  anyUnreadable() ? "nothing left to move that can be read: stopping the jobs"
                                  : "nothing left to move: stopping the jobs",
                  false);
        }
        // Stops every job (its thread, then its source, then its backup
        // file, which makes the last frames durable) and the stop thread.
        manager->unInit();
        if (m_options.untilEmpty) {
            meter.setDepartureHook(nullptr);
            const timespec now{0, 0};
            while (sigtimedwait(&wake, nullptr, &now) > 0) {
            }
            // The signal stays blocked: a wake sent just before the hook was
            // removed may still arrive, and must not end the process.
        }
        refresh(state, true);
        if (m_options.tty && !m_options.verbose) show(state, true);
    }
    outcome.seconds = (MoveMeter::steadyMs() - state.startMs) / 1000.0;
    for (const State::JobState& job : state.jobs) {
        if (job.inventory.unreadable != 0) outcome.unreadable = job.inventory.unreadable;
    }

    Logger::setObserver(Logger::Observer());
    RecordDiskManagerImpl::setFileSystem(previous);
    summary(state, outcome);
    return outcome;
}

void Supervisor::summary(State& state, const Outcome& outcome) {
    std::vector<std::string> lines;
    lines.push_back("This run (" + OperatorText::duration(outcome.seconds) + "):");
    for (size_t i = 0; i < state.jobs.size(); ++i) {
        const State::JobState& job = state.jobs[i];
        const JobSource::Inventory& inv = job.inventory;
        std::string text = job.name + "  moved " + plural(job.counts.nodes, "node", "nodes") +
                           " (" + RecordInventory::formatBytes(job.counts.bytes) + ")";
        if (outcome.seconds > 0 && job.counts.nodes > 0) {
            char rate[32];
            std::snprintf(rate, sizeof rate, ", %.1f nodes/s", job.counts.nodes / outcome.seconds);
            text += rate;
        }
        text += "; " + plural(job.filesLeft, "record file", "record files") +
                " done and off the local disks; dropped " + droppedText(m_jobs[i]) +
                "; still to move " + plural(inv.toMove.files + inv.leaving.files, "file", "files") +
                " (" + RecordInventory::formatBytes(inv.toMove.bytes + inv.leaving.bytes) + ", " +
                plural(inv.toMove.nodes + inv.leaving.nodes, "node", "nodes") + ")";
        if (inv.recording.files > 0) {
            text += ", " + plural(inv.recording.files, "file", "files") + " being recorded";
        }
        if (inv.unreadable != 0) {
            text += "; what else is left is unknown: " + inv.unreadablePath +
                    " cannot be read: " + OperatorText::result(inv.unreadable);
        }
        const int passedOver = inv.cutShort.files + inv.damaged.files;
        if (passedOver > 0) {
            text += ", " + plural(passedOver, "file", "files") +
                    " passed over (missing, cut short or damaged: they stay on the disk)";
        }
        const int quarantined = RecordInventory::quarantined(
            m_config.recordDirs, m_jobs[i].deviceId, m_jobs[i].cameraId);
        if (quarantined > 0) {
            text += "; " + plural(quarantined, "file", "files") +
                    " quarantined (could not be read: kept in record/" +
                    RecordQuarantine::kDirName + ", see ls)";
        }
        lines.push_back("  " + text);
    }
    long long libraryLines = 0;
    {
        std::lock_guard<std::mutex> guard(state.watch->lock);
        libraryLines = state.watch->lines;
    }
    const std::string where =
        m_options.logPath.empty() ? "standard error (--log FILE keeps it)" : m_options.logPath;
    lines.push_back("Log: " + where +
                    (libraryLines > 0 ? "; " + plural(libraryLines, "line", "lines") +
                                            " of the record library and the jobs in this run"
                                      : ""));
    for (const std::string& line : lines) {
        std::printf("%s\n", line.c_str());
        if (!m_options.logPath.empty()) {
            Logger::writeLog(kCategory, line.c_str(), __FILE__, __LINE__);
        }
    }
    std::fflush(stdout);
}
