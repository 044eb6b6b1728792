#ifndef TOOLS_JOBSOURCE_H
#define TOOLS_JOBSOURCE_H

#include <map>
#include <set>
#include <string>
#include <vector>

#include "RecordDirInfoEx.h"

// What one backup job can still read, asked the way the job itself asks: its
// record directories are the local ones (attribute 4) of the group that the
// camera's policy names, its device folders those of the device id and camera
// on them (any IP), and its next file is what the record query gives out.
//
// Used by one thread at a time. Reads day indexes and stats data files; opens
// no record file, so asking never changes what the move ledger knows.
class JobSource {
  public:
    // The job's record directories for the camera, from the disk manager's
    // policy (the configuration must be installed). False with `reason` set
    // when the job can never find a recording: no policy covers the camera,
    // or the policy's group has no local record directory the job reads.
    static bool find(const std::string& deviceId, const std::string& deviceIP, int cameraId,
                     JobSource& source, std::string& reason);

    const std::vector<RecordDirInfoEx>& dirs() const { return m_dirs; }
    const std::string& cameraKey() const { return m_cameraKey; }

    // The job's own answer to "is anything left?": true while the record
    // query gives out a file over the job's directories and device folders
    // (complete, not damaged, not cut short, not leaving), or a removal of a
    // source of the camera still waits in the move ledger.
    bool hasFileToMove() const;

    // What the job's directories hold for the camera, by file.
    struct Totals {
        int files = 0;
        long long bytes = 0;
        long long nodes = 0;
    };
    struct Inventory {
        Totals toMove;     // what the record query gives out, in turn
        Totals leaving;    // read to the end; leaves once its frames are durable
        Totals recording;  // still being recorded
        Totals damaged;    // its index lost nodes: never read
        Totals cutShort;   // data file missing, unreadable or shorter than its index
        // The code of the first device folder, day index or data file that
        // could not be read (not one that is not there), and its path: what
        // it holds is neither moved nor counted. 0 when all could be read.
        int unreadable = 0;
        std::string unreadablePath;
        // Index nodes of every listed complete file, by path.
        std::map<std::string, long long> nodesByPath;
    };
    Inventory inventory() const;

  private:
    // The camera's device folders on the job's directories; `unreadable`
    // and `path` take the code and the path of the first record folder that
    // could not be listed (left as they are when all could).
    std::set<std::string> deviceDirs(int& unreadable, std::string& path) const;

    std::string m_deviceId;
    std::string m_deviceIP;
    int m_cameraId = 0;
    std::string m_cameraKey;
    std::vector<RecordDirInfoEx> m_dirs;
};

#endif  // TOOLS_JOBSOURCE_H
