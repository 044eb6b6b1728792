#ifndef RECORDLIB_BASICTOOL_H
#define RECORDLIB_BASICTOOL_H

#include <string>
#include <vector>

#include "RecordDirInfoEx.h"

class BasicTool {
public:
    // The day folder name of a time (ms since the epoch, UTC): "YYYYMMDD".
    static std::string getDateString(long long timeMs);
    // The device folder name: "<deviceId>_<deviceIP>_<cameraId>", with every
    // ':' of the IP turned into '-'.
    static std::string getDeviceDirString(const std::string& deviceId, const std::string& deviceIP,
                                          int cameraId);
    // Lists into `names` the device folders under <dir root>/<subDir> that
    // exist on disk for the device and camera. Answers non-zero when at least
    // one was found.
    static int getMatchDeviceDirList(const RecordDirInfoEx& dir, const std::string& subDir,
                                     const std::string& deviceId, const std::string& deviceIP,
                                     int cameraId, std::vector<std::string>& names);
};

#endif  // RECORDLIB_BASICTOOL_H
