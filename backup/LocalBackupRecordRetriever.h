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
class LocalBackupRecordRetriever : public IBackupRecordRetriever {
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

    int openFile(SafePointer<RecordFileInfo>& file);
    int updateRecordFileInfo(long long time);
    int locateBeginFilePos();
    void deleteFile(const RecordFileInfo& file);
    void getBackupRecordDirList(const RecordInfo& info, std::vector<RecordDirInfoEx>& list);
    void getMatchDeviceList(std::vector<RecordDirInfoEx>& dirs, const RecordInfo& info,
                            std::set<std::string>& devices);

private:
    RecordInfo m_recordInfo;
    SafePointer<IFile> m_file;
    RetrieverFileQuery m_fileQuery;
    SafePointer<RecordFileInfo> m_recordFileInfo;
    RecordFileIndexNodeInfo m_indexNodeInfo;
    RecordIndexNode m_indexNode;
};

#endif  // BACKUP_LOCALBACKUPRECORDRETRIEVER_H
