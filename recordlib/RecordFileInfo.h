#ifndef RECORDLIB_RECORDFILEINFO_H
#define RECORDLIB_RECORDFILEINFO_H

#include <string>

#include "AVStreamInfo.h"
#include "RecordDirInfoEx.h"
#include "RecordLibExport.h"

// One record file: who recorded it, when, how, and where it lies.
// Held through SafePointer<RecordFileInfo>; its destructor is not virtual.
//
// Times are milliseconds since the Unix epoch. The record date is the day
// folder name (BasicTool::getDateString of the begin time).
// Record mode: 1 backup copy, 0 the recorder's own recording.
// Storage type: 1 MPEG-TS record file.
// State: 0 being recorded, 1 complete, 2 damaged (its index entry lost nodes).
// The query never gives out a file that is being recorded or damaged.
class RECORDLIB_EXPORT RecordFileInfo {
  public:
    enum { kStateRecording = 0, kStateComplete = 1, kStateDamaged = 2 };

    RecordFileInfo() = default;

    const std::string& getDeviceId() const { return m_deviceId; }
    void setDeviceId(const std::string& id) { m_deviceId = id; }
    const std::string& getDeviceIP() const { return m_deviceIP; }
    void setDeviceIP(const std::string& ip) { m_deviceIP = ip; }
    int getCameraId() const { return m_cameraId; }
    void setCameraId(int id) { m_cameraId = id; }

    long long getRecordBeginTime() const { return m_beginTime; }
    void setRecordBeginTime(long long t) { m_beginTime = t; }
    long long getRecordEndTime() const { return m_endTime; }
    void setRecordEndTime(long long t) { m_endTime = t; }
    const std::string& getRecordDate() const { return m_recordDate; }
    void setRecordDate(const std::string& date) { m_recordDate = date; }

    bool getLockFlag() const { return m_lockFlag; }
    void setLockFlag(bool lock) { m_lockFlag = lock; }
    int getRecordMode() const { return m_recordMode; }
    void setRecordMode(int mode) { m_recordMode = mode; }
    int getRecordStorageType() const { return m_storageType; }
    void setRecordStorageType(int type) { m_storageType = type; }
    int getState() const { return m_state; }
    void setState(int state) { m_state = state; }

    const AVStreamInfo& getAVStreamInfo() const { return m_streamInfo; }
    void setAVStreamInfo(const AVStreamInfo& info) { m_streamInfo = info; }

    const RecordDirInfoEx& getRecordDirInfo() const { return m_dirInfo; }
    void setRecordDirInfo(const RecordDirInfoEx& dir) { m_dirInfo = dir; }

    // The file name (without folder) the recorder gave the file.
    const std::string& getRecordFileName() const { return m_fileName; }
    void setRecordFileName(const std::string& name) { m_fileName = name; }
    // The full path of the file, built from the directory, device, day and
    // file name: <root>/record/<device dir>/<date>/<file name>.
    std::string createRecordFileName() const;

    // Bytes and index nodes in the file (as listed in the index).
    long long getFileSize() const { return m_fileSize; }
    void setFileSize(long long size) { m_fileSize = size; }
    int getNodeCount() const { return m_nodeCount; }
    void setNodeCount(int n) { m_nodeCount = n; }

  private:
    std::string m_deviceId;
    std::string m_deviceIP;
    int m_cameraId = 0;
    long long m_beginTime = 0;
    long long m_endTime = 0;
    std::string m_recordDate;
    bool m_lockFlag = false;
    int m_recordMode = 0;
    int m_storageType = 0;
    int m_state = kStateRecording;
    AVStreamInfo m_streamInfo;
    RecordDirInfoEx m_dirInfo;
    std::string m_fileName;
    long long m_fileSize = 0;
    int m_nodeCount = 0;
};

#endif  // RECORDLIB_RECORDFILEINFO_H
