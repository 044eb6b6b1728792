#include "RecordFileInfo.h"

#include "BasicTool.h"
#include "store/FileSystem.h"

std::string RecordFileInfo::createRecordFileName() const {
    std::string date = m_recordDate.empty() ? BasicTool::getDateString(m_beginTime) : m_recordDate;
    std::string path = fsutil::join(m_dirInfo.getRecordRootDir(), "record");
    path = fsutil::join(path, BasicTool::getDeviceDirString(m_deviceId, m_deviceIP, m_cameraId));
    path = fsutil::join(path, date);
    return fsutil::join(path, m_fileName);
}
