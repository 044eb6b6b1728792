#ifndef TOOLS_MOVEMETER_H
#define TOOLS_MOVEMETER_H

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "store/FileSystem.h"

// Watches what the backup jobs do on the disks, at the record library's
// file-system seam, and counts it per camera: the index nodes and bytes
// written to backup data files, the source file being read and the backup
// file being written, the last write that failed, and every source record
// file that left a local disk (renamed into the recycle area or deleted).
//
// The record library writes one index node's data with one write() of a
// backup data file, so a successful write is one node moved.
//
// Installed with RecordDiskManagerImpl::setFileSystem for the time the jobs
// run; forwards every call unchanged. Thread-safe (one lock, held only for
// the bookkeeping, never across a forwarded call).
class MoveMeter : public FileSystemWrapper {
  public:
    // `localRoots` and `backupRoots` are the configured root directories.
    MoveMeter(FileSystem* target, const std::vector<std::string>& localRoots,
              const std::vector<std::string>& backupRoots);

    struct Camera {
        long long nodes = 0;  // index nodes written to backup data files
        long long bytes = 0;
        long long lastWriteMs = -1;  // steady clock of the last node written
        std::string reading;         // source file open for reading, last opened
        std::string writing;         // backup data file open for writing
        int lastWriteError = 0;      // code of the last failed data write; 0 after a success
    };
    // The counts of the camera (MoveLedger::cameraKey); zeros when none.
    Camera camera(const std::string& cameraKey) const;

    // A source record file that left its local disk.
    struct Departure {
        std::string cameraKey;
        std::string path;
        long long bytes = 0;
        long long nodesWritten = 0;  // nodes written while it was the camera's source
    };
    // The departures since the last call, oldest first.
    std::vector<Departure> takeDepartures();
    // Called outside the lock on the job's thread after each departure was
    // counted, and after each local file written other than a record file
    // (the day index that lists the removals) was closed: the supervisor
    // wakes on it. An empty function removes it.
    void setDepartureHook(std::function<void()> hook);

    int open(const std::string& path, int mode, int& fd) override;
    int write(int fd, const char* buffer, int count) override;
    int close(int fd) override;
    int rename(const std::string& from, const std::string& to) override;
    int unlink(const std::string& path) override;

    static long long steadyMs();

  private:
    enum Kind { kOther, kSource, kBackup, kLocalWritten };
    // What a path is: a local record file, a backup data file, or else; and
    // the camera it belongs to.
    Kind classify(const std::string& path, std::string& cameraKey) const;
    void departed(const std::string& path, long long bytes);
    bool isLocal(const std::string& path) const;
    void wake();  // calls the departure hook, outside the lock

    std::vector<std::string> m_localPrefixes;   // "<root>/record/"
    std::vector<std::string> m_backupPrefixes;  // "<root>/record/"

    struct Open {
        Kind kind = kOther;
        std::string cameraKey;
        std::string path;
    };
    mutable std::mutex m_lock;
    std::map<int, Open> m_open;                      // guarded by m_lock
    std::map<std::string, Camera> m_cameras;         // guarded by m_lock
    std::map<std::string, long long> m_sourceNodes;  // source path -> nodes; guarded by m_lock
    std::vector<Departure> m_departures;             // guarded by m_lock
    std::function<void()> m_departureHook;           // guarded by m_lock
};

#endif  // TOOLS_MOVEMETER_H
