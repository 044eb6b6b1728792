#ifndef BACKUP_LOCALBACKUPRECORDRETRIEVER_H
#define BACKUP_LOCALBACKUPRECORDRETRIEVER_H

#include <set>
#include <string>
#include <vector>

#include "IBackupRecordRetriever.h"
#include "IFile.h"
#include "RecordDirInfoEx.h"
#include "RecordFileIndexNodeInfo.h"
#include "RecordFileInfo.h"
#include "RecordIndexNode.h"
#include "RecordInfo.h"
#include "RetrieverFileQuery.h"
#include "SafePointer.h"

// Reads the recorded frames of one device and camera from the recorder's
// local record disks, file by file in time order, and deletes every record
// file (and its index entry) once all its frames have been delivered.
// Not thread-safe: one job's worker thread uses it, through the facade.
class NVR_BACKUP_EXPORT LocalBackupRecordRetriever : public IBackupRecordRetriever {
  public:
    LocalBackupRecordRetriever();
    ~LocalBackupRecordRetriever() override;

    // 0 when the first record file of the range is open; -734 (bad request),
    // -708 (no record directory), -735 (no device directory), -728 (no file),
    // -705 (the file failed to open).
    int open(const RecordInfo& info) override;
    // The next frame's length, or -728 / -705 / -101 at a file switch.
    int getTSInfo(TSAVData* data) override;
    // At most 1048576 bytes per call; -702 when no data stream is open.
    int readTSData(char* buffer, int length) override;
    // 0 when no data stream is open, otherwise the stream's answer.
    int close() override;

    // Opens the record file `file` describes: on 0 the data stream is at its
    // first frame and the index walk before its first node. -705 when it cannot
    // be opened; the walk is then empty and the file is marked so that
    // getTSInfo never deletes it.
    int openFile(SafePointer<RecordFileInfo>& file);
    // Makes the file the query gives for `time` (ms) current and opens it.
    // 0, -728 (no such file; nothing is closed) or the answer of openFile.
    int updateRecordFileInfo(long long time);
    // Moves the index walk to the range's begin time; the walk's answer.
    int locateBeginFilePos();
    // Removes a record file (recycle bin first, then the disk manager) and,
    // when one of them removed it, its entry in the day index.
    void deleteFile(const RecordFileInfo& file);
    // Appends every local record directory (attribute 4) of the device's
    // directory group. Leaves `list` as it was when the device has no policy.
    void getBackupRecordDirList(const RecordInfo& info, std::vector<RecordDirInfoEx>& list);
    // Inserts the names of the device directories of the device and camera
    // found under "record" in `dirs`.
    void getMatchDeviceList(std::vector<RecordDirInfoEx>& dirs, const RecordInfo& info,
                            std::set<std::string>& devices);

    // Read access for tests and diagnostics.
    const RecordInfo& getRecordInfo() const { return m_recordInfo; }
    const SafePointer<RecordFileInfo>& getRecordFileInfo() const { return m_recordFileInfo; }
    bool isFileOpenFailed() const { return m_fileOpenFailed; }

  private:
    RecordInfo m_recordInfo;
    SafePointer<IFile> m_file;
    RetrieverFileQuery m_fileQuery;
    SafePointer<RecordFileInfo> m_recordFileInfo;
    RecordFileIndexNodeInfo m_indexNodeInfo;
    RecordIndexNode m_indexNode;
    // Set by openFile when the current file could not be opened: such a file
    // was never read, so getTSInfo must not take its empty walk for the end
    // of the file and delete it.
    bool m_fileOpenFailed;
};

#endif  // BACKUP_LOCALBACKUPRECORDRETRIEVER_H
