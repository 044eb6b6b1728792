#ifndef RECORDDEMO_SYNTHETICCAMERA_H
#define RECORDDEMO_SYNTHETICCAMERA_H

#include <functional>
#include <string>
#include <vector>

#include "RecordDirInfoEx.h"
#include "RecordFileInfo.h"
#include "TsStream.h"

// Makes recordings for tests, the demo and users: a synthetic camera, or an
// imported .ts file, written as record files with their day index into a
// local record directory, through LocalRecorder.
//
// Times: the recording is placed at the wall-clock-like begin time it is
// given (ms since the epoch), so recordings "in the past" are made at once.
// A node's time is that begin plus its DTS distance from the stream's first
// DTS. Files are cut at the first key-frame node at least `fileSeconds`
// after the file's begin, at every change of picture size or encoder type,
// and when the directory's file segment size would be exceeded. Nodes before
// the first key frame are skipped (a file always starts decodable).
// One thread at a time.
class SyntheticCamera {
  public:
    SyntheticCamera(const RecordDirInfoEx& dir, const std::string& deviceId,
                    const std::string& deviceIP, int cameraId);

    // Records `seconds` of a synthetic stream beginning at `beginTimeMs`.
    // Answers the number of files completed by this call, or a negative code.
    [[nodiscard]] int record(const SyntheticStreamOptions& options, double seconds,
                             long long beginTimeMs, int fileSeconds);
    // Imports the whole .ts file as recorded from `beginTimeMs`. Answers the
    // number of files completed (at least 1), or a negative code:
    // kRecordNotFound no such file, kRecordCorrupt no 188-byte packet stream,
    // kRecordNoVideo nothing to record (no H.264 or H.265 stream, or no key
    // frame in it), or a code of the recorder.
    [[nodiscard]] int importFile(const std::string& tsPath, long long beginTimeMs, int fileSeconds);

    // Every file completed so far, in order.
    const std::vector<RecordFileInfo>& files() const { return m_files; }

  private:
    int recordNodes(const std::function<bool(TsNode&)>& next, double seconds, long long beginTimeMs,
                    int fileSeconds);

    RecordDirInfoEx m_dir;
    std::string m_deviceId;
    std::string m_deviceIP;
    int m_cameraId;
    std::vector<RecordFileInfo> m_files;
};

#endif  // RECORDDEMO_SYNTHETICCAMERA_H
