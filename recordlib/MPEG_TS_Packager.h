#ifndef RECORDLIB_MPEG_TS_PACKAGER_H
#define RECORDLIB_MPEG_TS_PACKAGER_H

namespace MPEG_TS {

class MPEG_TS_Packager {
public:
    // Rewrites in place the PCR, PTS and DTS of one frame's 188-byte packets so
    // that the frame starts at `base` (90 kHz ticks): the frame's first DTS (PTS
    // where a PES has no DTS) becomes `base`, and every time stamp of every PID
    // is shifted by that one offset (33-bit wrap-around). Answers the base for
    // the next frame: the end of this frame's span in decode order.
    // Packets that cannot be parsed are left untouched.
    static unsigned long long adjustTimeStamp(unsigned char* data, unsigned int length,
                                              unsigned long long base);
};

}  // namespace MPEG_TS

#endif  // RECORDLIB_MPEG_TS_PACKAGER_H
