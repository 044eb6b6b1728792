#ifndef TOOLS_COMMANDS_H
#define TOOLS_COMMANDS_H

#include <string>
#include <vector>

#include "RecorderConfig.h"

// The sub-commands of nvr-backup. Each answers the process exit code: 0 on
// success, 1 when the work failed or a check did not hold, 2 for a usage or
// configuration error (with a message on standard error).

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

// Loads and checks a configuration: readable, well-formed, every backup
// directory present and a prepared backup disk. Installs it in the disk manager. False with `error`
// set.
bool loadConfiguration(const std::string& path, RecorderConfig& config, std::string& error);

// True when a policy covers the device and camera.
bool hasPolicy(const RecorderConfig& config, const std::string& deviceId, int cameraId);

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

struct DemoOptions {
    std::string dir = "nvr-demo";
    double speed = 25;
    double minutes = 3;
};
int demoCommand(const DemoOptions& options);

#endif  // TOOLS_COMMANDS_H
