#ifndef RECORDLIB_RECORDDISKMANAGERIMPL_H
#define RECORDLIB_RECORDDISKMANAGERIMPL_H

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "IRecordDir.h"
#include "IRecordWriter.h"
#include "RecordDevice.h"
#include "RecordDirInfoEx.h"
#include "RecordFileInfo.h"
#include "SafePointer.h"
#include "config/RecorderConfig.h"

class FileSystem;
struct RecoveryReport;

// The recorder's disk manager: the record directories, the device directory
// policies and the creation of new record files on the backup directories.
// Process-wide through Singlton<RecordDiskManagerImpl>. Thread-safe.
//
// The host configures it with setConfiguration() before first use (the
// instance takes the configuration that is current when it is created, and a
// later setConfiguration() replaces that of an existing instance).
//
// Default visibility, so that Singlton<RecordDiskManagerImpl> is one instance
// across shared libraries built with hidden symbols.
class __attribute__((visibility("default"))) RecordDiskManagerImpl {
  public:
    static RecordDiskManagerImpl* createInstance();

    static void setConfiguration(const RecorderConfig& config);
    // The file system every record-library access goes through; POSIX by
    // default. Tests install a fault-injecting one. Not owned.
    static void setFileSystem(FileSystem* fs);
    static FileSystem* fileSystem();
    // The configured retention of recycled record files, in seconds
    // (RecorderConfig::recycleRetentionSeconds).
    static long long recycleRetentionSeconds();

    // Mends what a crash left on the configured disks (RecordRecovery), as
    // the first use of the disk manager does, once the backup files being
    // closed in the background are complete; `report` (may be null) counts
    // the mends. Answers 0 or the first failure's code.
    static int recover(RecoveryReport* report);

    // True when `path` is <root>/record/<device dir>/<day>/<file> below a
    // configured root (record or backup), every part a plain name
    // (RecordName): the only files the library's deletes may remove.
    static bool isRecordFilePath(const std::string& path);

    // Copies every record directory (local and backup) into `out`. Answers 0.
    int getRecordDirInfoList(std::vector<RecordDirInfoEx>& out);
    // Fills `policy` for the device and camera. Non-zero when a policy exists,
    // 0 when the device is not configured.
    int getRecordDeviceDirPolicy(const RecordDeviceInfo& device, RecordDeviceDirPolicy& policy);

    // Creates a new record file for `file` (device, camera, begin time, date
    // and stream description set by the caller) on the first backup directory
    // that is a prepared backup disk (BackupDisk) and has room, and fills `writer` and `dir` for
    // it. The file is created by the writer's open. `requestType` says why a new file is wanted (1
    // first file, 0 continuation, 2 directory full, 3 writer open failed, 5 segment full, 6 I/O
    // error); after 2 or 6 the directory that failed last is tried after the others. Answers 0, or
    // a negative code: kRecordBadName when the file's device id or IP is not a plain name
    // (RecordName), kRecordNoDir when no backup root is a prepared backup disk (a root that is
    // missing or unprepared, as when the disk is not mounted, is never written; an unprepared one
    // is logged once with how to prepare it), kRecordDirRefused when every mounted one has no room
    // beyond the reserve.
    int createRecordFile(SafePointer<RecordFileInfo>& file, int requestType, int reserved,
                         SafePointer<IRecordWriter>& writer, SafePointer<IRecordDir>& dir);

    // Replaces the creation of record files by `hook` while it is set (an
    // empty function restores the real creation). Lets tests hand the storage
    // a fake writer and directory where a real failure cannot be produced.
    using CreateRecordFileHook =
        std::function<int(SafePointer<RecordFileInfo>&, int, int, SafePointer<IRecordWriter>&,
                          SafePointer<IRecordDir>&)>;
    static void setCreateRecordFileHook(CreateRecordFileHook hook);

    ~RecordDiskManagerImpl();

  private:
    RecordDiskManagerImpl();
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

#endif  // RECORDLIB_RECORDDISKMANAGERIMPL_H
