#ifndef RECORDLIB_RECORDDROPCOUNTER_H
#define RECORDLIB_RECORDDROPCOUNTER_H

#include <string>

#include "RecordLibExport.h"

// Frames that the backup's writing side drops instead of writing them to the
// backup disk, counted per camera (device id and camera id) and reason, for
// the program's summaries. Process-wide; thread-safe.
class RECORDLIB_EXPORT RecordDropCounter {
  public:
    enum Reason {
        kBadPackets = 0,      // a 188-byte packet without the sync byte 0x47
        kFirstWriteFull = 1,  // the first write of a file did not fit its segment
        kNoFileToStart = 2,   // no file open and the frame may not start one
                              // (before the first key frame)
        kReasonCount = 3,
    };
    // "failed the packet check", ...
    static const char* reasonText(int reason);

    struct Counts {
        long long byReason[kReasonCount] = {0, 0, 0};
        long long total() const { return byReason[0] + byReason[1] + byReason[2]; }
    };

    // Counts one dropped frame of the camera; answers the camera's total of
    // dropped frames so far.
    static long long note(const std::string& deviceId, int cameraId, int reason);
    static Counts counts(const std::string& deviceId, int cameraId);
    // "75 frame(s) (75 failed the packet check)", or "0 frame(s)".
    static std::string describe(const Counts& counts);
    // Forgets every count (tests).
    static void reset();
};

#endif  // RECORDLIB_RECORDDROPCOUNTER_H
