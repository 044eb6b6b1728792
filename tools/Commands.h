#ifndef TOOLS_COMMANDS_H
#define TOOLS_COMMANDS_H

#include <string>
#include <vector>

#include "Supervisor.h"
#include "config/RecorderConfig.h"

// The sub-commands of nvr-backup. Each answers the process exit code (with a
// message on standard error for every code but 0):
enum ExitCode {
    kExitOk = 0,
    kExitFailed = 1,     // the work failed or a check did not hold
    kExitUsage = 2,      // a usage or configuration error
    kExitSigint = 130,   // `run` and `demo` stopped by SIGINT (128 + 2)
    kExitSigterm = 143,  // `run` and `demo` stopped by SIGTERM (128 + 15)
};

// One backup job of the command line: DEVICE:CAMERA[:IP].
struct JobSpec {
    std::string deviceId;
    int cameraId = 0;
    std::string deviceIP;
};

// Parses "DEVICE:CAMERA[:IP]" (the IP may itself contain ':'). False with
// `error` set when it does not parse.
bool parseJobSpec(const std::string& text, JobSpec& job, std::string& error);

// False with `error` set when the device id or IP is not a plain folder name
// (RecordName: "/", "..", NUL, a control character; a device id also may not
// begin with ".").
bool checkDeviceNames(const std::string& deviceId, const std::string& deviceIP, std::string& error);

// Checks the folder of a log file (it must exist: it is never created) and
// sends the log there. False with `error` set.
bool openLogFile(const std::string& path, std::string& error);

// Loads and checks a configuration: readable, well-formed, every backup
// directory present and a prepared backup disk. Installs it in the disk manager. False with `error`
// set.
bool loadConfiguration(const std::string& path, RecorderConfig& config, std::string& error);

// True when a policy covers the device and camera.
bool hasPolicy(const RecorderConfig& config, const std::string& deviceId, int cameraId);

// Takes the lock of every record and backup root of `config` for this
// process, as `command` ("nvr-backup run"). False with `error` naming the
// holder ("<root> is in use by pid N (nvr-backup run)") when another process
// holds one of them.
class RecordDiskLock;
bool lockDisks(const RecorderConfig& config, const std::string& command, RecordDiskLock& lock,
               std::string& error);

struct RunOptions {
    std::string configPath;
    std::vector<std::string> jobs;
    double speed = 1;
    bool verbose = false;
    std::string logPath;
    bool untilEmpty = false;
};
int runCommand(const RunOptions& options);

struct RecordOptions {
    std::string configPath;
    std::string deviceId;
    int cameraId = 1;
    std::string deviceIP = "192.168.1.10";
    int dirIndex = 0;
    double seconds = 60;
    int fileSeconds = 30;
    double sizeChangeAt = -1;
    bool hevc = false;
    std::string importPath;
    long long beginMs = -1;  // -1: so that the recording ends now
};
int recordCommand(const RecordOptions& options);

struct ListOptions {
    std::string configPath;
    bool nodes = false;
};
int listCommand(const ListOptions& options);

// Makes a folder (the mount point of a mounted disk) a backup disk, by
// writing its identity marker; a disk prepared before keeps its id.
struct PrepareDiskOptions {
    std::string root;
};
int prepareDiskCommand(const PrepareDiskOptions& options);

// The exit code of a supervised run: 130 or 143 after SIGINT or SIGTERM, 1
// when a job could not be started, stalled past the give-up time or a folder
// of its source could not be read, else 0.
int exitCodeOf(const Supervisor::Outcome& outcome);

struct DemoOptions {
    std::string program = "nvr-backup";  // how the program was called, for the hints
    std::string dir = "nvr-demo";
    double speed = 25;
    double minutes = 3;
};
int demoCommand(const DemoOptions& options);

#endif  // TOOLS_COMMANDS_H
