#include "BackupRecordWriter.h"

#include "RecordFileInfo.h"
#include "RecordResult.h"
#include "TSAVData.h"

namespace {

// The storage tells a full disk (-703) from other write failures (-707).
int writerCode(int code) {
    if (code == kRecordNoSpace) return kRecordDirRefused;
    if (code == kRecordNoDir) return kRecordNoDir;
    return kRecordIOError;
}

}  // namespace

BackupRecordWriter::~BackupRecordWriter() {
    // A writer dropped without close() leaves its file "being recorded".
    m_writer.abandon();
}

int BackupRecordWriter::open(SafePointer<RecordFileInfo>& file, int& startSeconds) {
    if (m_writer.isOpen()) return kRecordIOError;
    RecordFileInfo& info = *file;
    info.setRecordDirInfo(m_dir);
    int r = m_writer.create(info);
    if (r != kRecordOk) return writerCode(r);
    startSeconds = RecordFileWriter::kStartSeconds;
    return kRecordOk;
}

int BackupRecordWriter::write(TSAVData* frame, bool /*lock*/, int /*arg*/) {
    if (!m_writer.isOpen() || m_writer.isBroken() || frame == nullptr) return kRecordIOError;
    const int length = frame->getDataLength();
    const long long segment = m_dir.getFileSegmentSize();
    if (segment > 0 && m_writer.size() + length > segment) return kRecordSegmentFull;
    long long offset = frame->getTimeStamp() - m_writer.entry().beginTime;
    if (offset > 0x7fffffffLL || offset < -0x7fffffffLL) return kRecordSegmentFull;
    RecordIndexNode node(length, frame->getDataTimeLength(), static_cast<int>(offset),
                         frame->getFrameType() == 1);
    int r = m_writer.append(frame->getData(), length, node, false);
    return r == kRecordOk ? kRecordOk : writerCode(r);
}

int BackupRecordWriter::close() {
    if (!m_writer.isOpen()) return kRecordOk;
    int r = m_writer.finish();
    return r == kRecordOk ? kRecordOk : writerCode(r);
}
