#ifndef RECORDLIB_RECORDERCONFIG_H
#define RECORDLIB_RECORDERCONFIG_H

#include <string>
#include <vector>

#include "RecordDirInfoEx.h"
#include "RecordLibExport.h"

// A device and camera and the directory group that records it. A camera id
// of 0 stands for every camera of the device.
struct DevicePolicyConfig {
    std::string deviceId;
    int cameraId = 0;
    int groupId = 0;
};

// The recorder's configuration, loaded by the host before first use of the
// disk manager: the record directories (attribute 4 for local record
// directories), the device directory policies, and the backup directories
// (attribute 8) where new backup files go. See recordlib/README.md for the
// JSON form.
struct RECORDLIB_EXPORT RecorderConfig {
    std::vector<RecordDirInfoEx> recordDirs;
    std::vector<DevicePolicyConfig> policies;
    std::vector<RecordDirInfoEx> backupDirs;
    // Bytes a backup disk keeps free: a frame that would eat into them is
    // refused (IRecordDir::canWrite).
    long long backupReserveBytes = 16LL << 20;
    // How long a removed record file stays in its directory's recycle area
    // before a later removal in that directory purges it, in seconds. A
    // negative value keeps recycled files until the host calls purge().
    long long recycleRetentionSeconds = 24 * 3600;

    // Reads a JSON configuration file. Answers 0, or kRecordBadConfig with
    // `error` naming the file and the field at fault; `out` is changed only
    // on success. Strict: an unknown key at any level, a value of the wrong
    // type or out of range, a key given twice, two policies for one device
    // and camera, and roots that overlap (a backup root inside a record root
    // or the reverse, two roots that are one folder) are all refused. Relative
    // roots are resolved against the working directory for that check, with
    // the symbolic links of their existing part. Never throws.
    [[nodiscard]] static int loadFile(const std::string& path, RecorderConfig& out,
                                      std::string& error);
    // Same, from JSON text; `origin` names the source in errors.
    [[nodiscard]] static int loadText(const std::string& text, const std::string& origin,
                                      RecorderConfig& out, std::string& error);
    // Writes the configuration as JSON (atomically). Answers 0 or a negative
    // code (kRecordBadConfig for a string that is not UTF-8). Never throws.
    int saveFile(const std::string& path) const;
};

#endif  // RECORDLIB_RECORDERCONFIG_H
