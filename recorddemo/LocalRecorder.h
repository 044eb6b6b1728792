#ifndef RECORDDEMO_LOCALRECORDER_H
#define RECORDDEMO_LOCALRECORDER_H

#include <string>

#include "AVStreamInfo.h"
#include "RecordDirInfoEx.h"
#include "RecordFileInfo.h"
#include "store/RecordFileWriter.h"

// The recorder side: writes the record files of one device and camera into a
// local record directory, with the day index, through the same record library
// that the backup reads with.
//
// startFile() lists the new file as "being recorded"; every addNode() appends
// the node's data and indexes it at once; finishFile() makes the file durable
// and marks it complete. Until then the query never gives the file out.
// One thread at a time (a recorder per camera); the day index is shared with
// other writers and readers under its per-file lock.
class LocalRecorder {
  public:
    LocalRecorder(const RecordDirInfoEx& dir, const std::string& deviceId,
                  const std::string& deviceIP, int cameraId);
    // Finishes an open file.
    ~LocalRecorder();
    LocalRecorder(const LocalRecorder&) = delete;
    LocalRecorder& operator=(const LocalRecorder&) = delete;

    // Starts a new record file beginning at `beginTimeMs` (ms since the
    // epoch); a file still open is finished first. Answers 0, kRecordNoDir
    // when the directory's root does not exist, or an I/O code.
    [[nodiscard]] int startFile(long long beginTimeMs, const AVStreamInfo& stream);
    // Appends one node (whole TS packets). `timeStampMs` is the time of the
    // node's first frame (ms since the epoch); its offset from the file's
    // begin is what the index keeps. Answers 0; kRecordNoFile when no file is
    // open; kRecordSegmentFull when the node would take the file past the
    // directory's file segment size (nothing written: start a new file);
    // or an I/O code.
    [[nodiscard]] int addNode(const char* data, int length, long long timeStampMs, int timeLenMs,
                              bool iFrame);
    // Completes the open file (durable, state complete). 0 when none is open.
    [[nodiscard]] int finishFile();

    bool isFileOpen() const { return m_writer.isOpen(); }
    // The file started last, as the index describes it so far.
    const RecordFileInfo& currentFile() const { return m_info; }
    long long fileSize() const { return m_writer.size(); }

  private:
    RecordDirInfoEx m_dir;
    std::string m_deviceId;
    std::string m_deviceIP;
    int m_cameraId;
    RecordFileWriter m_writer;
    RecordFileInfo m_info;
};

#endif  // RECORDDEMO_LOCALRECORDER_H
