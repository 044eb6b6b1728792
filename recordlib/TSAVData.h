#ifndef RECORDLIB_TSAVDATA_H
#define RECORDLIB_TSAVDATA_H

#include <algorithm>
#include <vector>

// One frame: a run of 188-byte MPEG-TS packets and its description.
// setData copies the payload into the frame's own buffer, which only grows, so
// a frame object reused for every step allocates only when a frame is larger
// than every frame before it. getData gives that buffer; the backup storage
// rewrites time stamps inside it in place.
//
// Time stamp: milliseconds since the Unix epoch (the record library's unit).
// Frame type: 1 key frame (I-frame), 2 other. ES stream type: 1 video.
class TSAVData {
  public:
    TSAVData() = default;

    void setData(const char* data, unsigned int length);
    char* getData() { return m_data.empty() ? nullptr : m_data.data(); }
    const char* getData() const { return m_data.empty() ? nullptr : m_data.data(); }
    int getDataLength() const { return static_cast<int>(m_length); }

    long long getTimeStamp() const { return m_timeStamp; }
    void setTimeStamp(long long t) { m_timeStamp = t; }
    int getImageWidth() const { return m_imageWidth; }
    void setImageWidth(int w) { m_imageWidth = w; }
    int getImageHeight() const { return m_imageHeight; }
    void setImageHeight(int h) { m_imageHeight = h; }
    int getEncoderType() const { return m_encoderType; }
    void setEncoderType(int t) { m_encoderType = t; }
    int getFrameType() const { return m_frameType; }
    void setFrameType(int t) { m_frameType = t; }
    int getESStreamType() const { return m_esStreamType; }
    void setESStreamType(int t) { m_esStreamType = t; }
    int getDataTimeLength() const { return m_dataTimeLength; }
    void setDataTimeLength(int ms) { m_dataTimeLength = ms; }

  private:
    std::vector<char> m_data;
    unsigned int m_length = 0;
    long long m_timeStamp = 0;
    int m_imageWidth = 0;
    int m_imageHeight = 0;
    int m_encoderType = 0;
    int m_frameType = 0;
    int m_esStreamType = 0;
    int m_dataTimeLength = 0;
};

inline void TSAVData::setData(const char* data, unsigned int length) {
    if (m_data.size() < length) m_data.resize(length);
    if (length > 0) std::copy(data, data + length, m_data.begin());
    m_length = length;
}

#endif  // RECORDLIB_TSAVDATA_H
