#ifndef TOOLS_SUPERVISOR_H
#define TOOLS_SUPERVISOR_H

#include <signal.h>

#include <string>
#include <vector>

#include "JobSource.h"
#include "config/RecorderConfig.h"

// The supervision loop of `run` and `demo`: starts one backup job per camera,
// shows what this run moves, names the cause when a job makes no progress,
// stops on a signal or once every job's source is empty, stops the jobs and
// shuts the module down, and sums up.
//
// On a terminal (and without --verbose) one live line per job is redrawn
// twice a second; otherwise a plain line per job is printed when it changed,
// at most every 10 s. Events (a stalled job and its cause, a job moving again,
// files passed over) are printed as lines of their own and written to the
// log. Every wait is a blocking sigtimedwait on the given signals, whatever
// the clock speed.
//
// Used from one thread; REQUIRES: the signals are blocked in every thread
// (block them before any thread is started) and the configuration is
// installed in the disk manager.
class Supervisor {
  public:
    struct Job {
        std::string deviceId;
        int cameraId = 0;
        std::string deviceIP;
    };
    struct Options {
        double speed = 1;          // the module's clock speed (already set)
        bool untilEmpty = false;   // stop once no job's source has anything left
        bool verbose = false;      // the module prints its console lines
        bool tty = false;          // standard output is a terminal
        std::string logPath;       // the log file; empty: the log goes to standard error
        double giveUpSeconds = 0;  // stop when a job stalls this long (0: never)
        sigset_t signals;          // ends the run (SIGINT, SIGTERM)
    };
    // What the run did.
    struct Outcome {
        int signal = 0;            // the signal that ended the run, or 0
        bool empty = false;        // every job's source had nothing left
        bool gaveUp = false;       // a job stalled for giveUpSeconds
        bool startFailed = false;  // a job's thread could not be started
        // The code of a record folder, day index or data file of a job that
        // could not be read at the end: what is left is not known. 0 if none.
        int unreadable = 0;
        double seconds = 0;
    };

    Supervisor(const RecorderConfig& config, const Options& options);

    // Finds every job's source. False with `error` set when a camera can
    // never be found by its job (no policy; a group without record
    // directory); nothing is started then.
    bool addJobs(const std::vector<Job>& jobs, std::string& error);

    // Runs the jobs until a signal, an empty source (untilEmpty) or a stall of
    // giveUpSeconds, then stops them (BackupServiceManager::unInit) and prints
    // the summary.
    Outcome run();

  private:
    struct State;
    void refresh(State& state, bool force);
    void show(State& state, bool final);
    void event(State& state, const std::string& line, bool error);
    void summary(State& state, const Outcome& outcome);

    RecorderConfig m_config;
    Options m_options;
    std::vector<Job> m_jobs;
    std::vector<JobSource> m_sources;
};

#endif  // TOOLS_SUPERVISOR_H
