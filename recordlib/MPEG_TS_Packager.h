#ifndef RECORDLIB_MPEG_TS_PACKAGER_H
#define RECORDLIB_MPEG_TS_PACKAGER_H

#include "RecordLibExport.h"

namespace MPEG_TS {

class RECORDLIB_EXPORT MPEG_TS_Packager {
  public:
    // Rewrites in place the PCR, PTS and DTS of one frame's 188-byte packets so
    // that the frame starts at `base` (90 kHz ticks): the frame's first DTS (PTS
    // where a PES has no DTS) becomes `base`, and every time stamp of every PID
    // is shifted by that one offset (33-bit wrap-around). Answers the base for
    // the next frame: the end of this frame's span in decode order.
    // Packets that cannot be parsed are left untouched.
    //
    // The rules in detail:
    // - Anchor: the first video PES (stream_id 0xE0-0xEF) with a time stamp;
    //   in a frame without video, the first PES with a time stamp.
    // - Answer: base + (largest DTS of the anchor's PID - anchor) + one frame
    //   duration, the duration being the smallest positive DTS step between
    //   that PID's PES in the frame, or 3600 ticks (40 ms) when the frame has
    //   one PES of it only, rounded up to a multiple of 9 ticks (100 us) so
    //   that it survives a round trip through microseconds without moving
    //   back into this frame (a gap of at most 8 ticks). The answer is not
    //   wrapped; packets get it modulo 2^33 (PCR: its 33-bit base moves, its
    //   extension stays).
    // - A frame without any time stamp answers `base`.
    // - Untouched: the packets that ts/TsReader.h refuses (no sync byte, the
    //   transport error flag, an adaptation field longer than the packet),
    //   the time stamps of the PES headers it does not take (broken start
    //   code, stream id, '10' or marker bits; a header split across packets),
    //   and a trailing partial packet.
    // One pass over the packets after a short look-ahead for the anchor: a
    // block of packets at a time, the headers are tested without a branch and
    // only packets that start a PES or carry an adaptation field are parsed.
    // No allocation; never reads or writes outside [data, data + length).
    static unsigned long long adjustTimeStamp(unsigned char* data, unsigned int length,
                                              unsigned long long base);
};

}  // namespace MPEG_TS

#endif  // RECORDLIB_MPEG_TS_PACKAGER_H
