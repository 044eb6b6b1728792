#ifndef RECORDLIB_RECORDINFO_H
#define RECORDLIB_RECORDINFO_H

#include <string>

// One backup request: device id, device IP, camera id and a time range.
// Copyable. The range's times are seconds since the Unix epoch (unsigned
// 32-bit, as the host passes them); 0 means "from the oldest recording".
class RecordInfo {
  public:
    RecordInfo() = default;

    const char* getDeviceId() const { return m_deviceId.c_str(); }
    void setDeviceId(const char* id) { m_deviceId = id ? id : ""; }
    const char* getDeviceIP() const { return m_deviceIP.c_str(); }
    void setDeviceIP(const char* ip) { m_deviceIP = ip ? ip : ""; }
    int getCameraId() const { return m_cameraId; }
    void setCameraId(int id) { m_cameraId = id; }

    unsigned int getRecordBeginTime() const { return m_beginTime; }
    void setRecordBeginTime(unsigned long t) { m_beginTime = static_cast<unsigned int>(t); }
    unsigned int getRecordEndTime() const { return m_endTime; }
    void setRecordEndTime(unsigned long t) { m_endTime = static_cast<unsigned int>(t); }

  private:
    std::string m_deviceId;
    std::string m_deviceIP;
    int m_cameraId = 0;
    unsigned int m_beginTime = 0;
    unsigned int m_endTime = 0;
};

#endif  // RECORDLIB_RECORDINFO_H
