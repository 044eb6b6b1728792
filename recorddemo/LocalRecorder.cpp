#include "LocalRecorder.h"

#include "RecordDiskManagerImpl.h"
#include "RecordResult.h"

LocalRecorder::LocalRecorder(const RecordDirInfoEx& dir, const std::string& deviceId,
                             const std::string& deviceIP, int cameraId)
    : m_dir(dir),
      m_deviceId(deviceId),
      m_deviceIP(deviceIP),
      m_cameraId(cameraId),
      m_writer(*RecordDiskManagerImpl::fileSystem()) {}

LocalRecorder::~LocalRecorder() { (void)finishFile(); }

int LocalRecorder::startFile(long long beginTimeMs, const AVStreamInfo& stream) {
    int r = finishFile();
    if (r != kRecordOk) return r;
    RecordFileInfo info;
    info.setDeviceId(m_deviceId);
    info.setDeviceIP(m_deviceIP);
    info.setCameraId(m_cameraId);
    info.setRecordBeginTime(beginTimeMs);
    info.setRecordMode(0);
    info.setRecordStorageType(1);
    info.setAVStreamInfo(stream);
    info.setRecordDirInfo(m_dir);
    r = m_writer.create(info);
    if (r != kRecordOk) return r;
    m_info = info;
    return kRecordOk;
}

int LocalRecorder::addNode(const char* data, int length, long long timeStampMs, int timeLenMs,
                           bool iFrame) {
    if (!m_writer.isOpen()) return kRecordNoFile;
    const long long segment = m_dir.getFileSegmentSize();
    if (segment > 0 && m_writer.size() + length > segment && m_writer.nodeCount() > 0) {
        return kRecordSegmentFull;
    }
    const long long offset = timeStampMs - m_info.getRecordBeginTime();
    if (offset > 0x7fffffffLL || offset < -0x7fffffffLL) return kRecordSegmentFull;
    RecordIndexNode node(length, timeLenMs, static_cast<int>(offset), iFrame);
    int r = m_writer.append(data, length, node, true);
    if (r != kRecordOk) return r;
    m_info.setRecordEndTime(m_writer.entry().endTime);
    m_info.setFileSize(m_writer.size());
    m_info.setNodeCount(m_writer.nodeCount());
    return kRecordOk;
}

int LocalRecorder::finishFile() {
    if (!m_writer.isOpen()) return kRecordOk;
    int r = m_writer.finish();
    if (r == kRecordOk) m_info.setState(RecordFileInfo::kStateComplete);
    return r;
}
