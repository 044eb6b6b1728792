#ifndef RECORDLIB_RECORDDEVICE_H
#define RECORDLIB_RECORDDEVICE_H

#include <string>

// A device and camera as the disk manager looks up its directory policy.
// Stream type: 1 main stream.
class RecordDeviceInfo {
  public:
    RecordDeviceInfo(const std::string& deviceId, const std::string& deviceIP, int cameraId,
                     int streamType)
        : m_deviceId(deviceId),
          m_deviceIP(deviceIP),
          m_cameraId(cameraId),
          m_streamType(streamType) {}

    const std::string& getDeviceId() const { return m_deviceId; }
    const std::string& getDeviceIP() const { return m_deviceIP; }
    int getCameraId() const { return m_cameraId; }
    int getStreamType() const { return m_streamType; }

  private:
    std::string m_deviceId;
    std::string m_deviceIP;
    int m_cameraId;
    int m_streamType;
};

// Which directory group records a device and camera.
class RecordDeviceDirPolicy {
  public:
    RecordDeviceDirPolicy() = default;
    int getGroupID() const { return m_groupId; }
    void setGroupID(int g) { m_groupId = g; }

  private:
    int m_groupId = 0;
};

#endif  // RECORDLIB_RECORDDEVICE_H
