#include "AVStreamInfo.h"

#include "TSAVData.h"

AVStreamInfo::AVStreamInfo(const TSAVData* frame) {
    if (frame == nullptr) return;
    m_encoderType = frame->getEncoderType();
    m_imageWidth = frame->getImageWidth();
    m_imageHeight = frame->getImageHeight();
    m_esStreamType = frame->getESStreamType();
}
