#ifndef RECORDLIB_BASICTOOL_H
#define RECORDLIB_BASICTOOL_H

#include <string>
#include <vector>

#include "RecordDirInfoEx.h"
#include "RecordLibExport.h"

class RECORDLIB_EXPORT BasicTool {
  public:
    // The day folder name of a time (ms since the epoch, UTC): "YYYYMMDD".
    static std::string getDateString(long long timeMs);
    // The device folder name: "<deviceId>_<deviceIP>_<cameraId>", with every
    // ':' of the IP turned into '-'.
    static std::string getDeviceDirString(const std::string& deviceId, const std::string& deviceIP,
                                          int cameraId);
    // Splits a device folder name back into device id, IP (as in the folder,
    // with '-' for ':') and camera id. False when the name has another form.
    static bool parseDeviceDirString(const std::string& name, std::string& deviceId,
                                     std::string& deviceIP, int& cameraId);
    // Lists into `names` the device folders under <dir root>/<subDir> that
    // exist on disk for the device and camera, whatever IP they carry (a
    // device may change its address). Answers the number appended: non-zero
    // when at least one was found. A folder that cannot be listed or examined
    // (other than one that is not there) is logged ("RecordQuery") and, when
    // `result` is given, its code is put there (0 when all could be read). A
    // device id that is not a plain name (RecordName) finds nothing, is
    // logged once and gives kRecordBadName there.
    static int getMatchDeviceDirList(const RecordDirInfoEx& dir, const std::string& subDir,
                                     const std::string& deviceId, const std::string& deviceIP,
                                     int cameraId, std::vector<std::string>& names,
                                     int* result = nullptr);
};

#endif  // RECORDLIB_BASICTOOL_H
