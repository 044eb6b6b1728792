#ifndef RECORDLIB_AVSTREAMINFO_H
#define RECORDLIB_AVSTREAMINFO_H

#include "RecordLibExport.h"

class TSAVData;

// Stream description of a record file, taken from the file's first frame.
// Encoder types: 1 H.264, 2 H.265 (others are kept as given).
class RECORDLIB_EXPORT AVStreamInfo {
  public:
    AVStreamInfo() = default;
    explicit AVStreamInfo(const TSAVData* frame);

    int getEncoderType() const { return m_encoderType; }
    void setEncoderType(int t) { m_encoderType = t; }
    int getImageWidth() const { return m_imageWidth; }
    void setImageWidth(int w) { m_imageWidth = w; }
    int getImageHeight() const { return m_imageHeight; }
    void setImageHeight(int h) { m_imageHeight = h; }
    int getESStreamType() const { return m_esStreamType; }
    void setESStreamType(int t) { m_esStreamType = t; }

  private:
    int m_encoderType = 0;
    int m_imageWidth = 0;
    int m_imageHeight = 0;
    int m_esStreamType = 0;
};

#endif  // RECORDLIB_AVSTREAMINFO_H
