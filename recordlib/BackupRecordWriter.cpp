#include "BackupRecordWriter.h"

#include <atomic>

#include "Logger.h"
#include "MoveLedger.h"
#include "RecordDiskManagerImpl.h"
#include "RecordFileInfo.h"
#include "RecordResult.h"
#include "TSAVData.h"

namespace {

// The storage tells a full disk (-703) from other write failures (-707).
int writerCode(int code) {
    if (code == kRecordNoSpace) return kRecordDirRefused;
    if (code == kRecordNoDir) return kRecordNoDir;
    if (code == kRecordBadName) return kRecordBadName;
    return kRecordIOError;
}

// Frame type of a key frame (an I-frame) in TSAVData.
const int kFrameTypeKey = 1;

std::atomic<long long> g_checkpointBytes{BackupRecordWriter::kCheckpointBytes};
std::atomic<long long> g_checkpointMs{BackupRecordWriter::kCheckpointMs};

}  // namespace

void BackupRecordWriter::setCheckpointPolicy(long long bytes, long long ms) {
    g_checkpointBytes.store(bytes >= 0 ? bytes : kCheckpointBytes);
    g_checkpointMs.store(ms >= 0 ? ms : kCheckpointMs);
}

BackupRecordWriter::~BackupRecordWriter() {
    // A writer dropped without close() leaves its file "being recorded": what
    // it holds is not durable, so the sources waiting for it stay.
    if (m_writer.isOpen()) lost();
    m_writer.abandon();
    if (m_registered) MoveLedger::instance().writerClosed(this);
}

int BackupRecordWriter::open(SafePointer<RecordFileInfo>& file, int& startSeconds) {
    if (m_writer.isOpen()) return kRecordIOError;
    RecordFileInfo& info = *file;
    info.setRecordDirInfo(m_dir);
    FileSystem& fs = *RecordDiskManagerImpl::fileSystem();
    int r = BackupDisk::identify(fs, m_dir.getRecordRootDir(), m_disk);
    if (r != kRecordOk) {
        if (r == kRecordNotPrepared) {
            const std::string message = BackupDisk::notPreparedMessage(m_dir.getRecordRootDir());
            Logger::writeLog("RecordWrite", message.c_str(), __FILE__, __LINE__);
        }
        return kRecordNoDir;
    }
    r = m_writer.create(info);
    if (r != kRecordOk) return writerCode(r);
    m_cameraKey = MoveLedger::cameraKey(info.getDeviceId(), info.getCameraId());
    m_sinceCheckpoint = 0;
    m_gopBytes = m_largestGopBytes = 0;
    m_failed = false;
    if (m_registered) MoveLedger::instance().writerClosed(this);
    MoveLedger::instance().writerOpened(this, m_cameraKey, m_writer.path());
    m_registered = true;
    startSeconds = RecordFileWriter::kStartSeconds;
    return kRecordOk;
}

int BackupRecordWriter::write(TSAVData* frame, bool /*lock*/, int /*arg*/) {
    if (!m_writer.isOpen() || m_writer.isBroken() || m_failed || frame == nullptr) {
        return kRecordIOError;
    }
    const int length = frame->getDataLength();
    const long long segment = m_dir.getFileSegmentSize();
    if (segment > 0 && m_writer.size() + length > segment) return kRecordSegmentFull;
    if (endsFileAt(*frame)) return kRecordSegmentFull;
    long long offset = frame->getTimeStamp() - m_writer.entry().beginTime;
    if (offset > 0x7fffffffLL || offset < -0x7fffffffLL) return kRecordSegmentFull;
    const bool key = frame->getFrameType() == kFrameTypeKey;
    RecordIndexNode node(length, frame->getDataTimeLength(), static_cast<int>(offset), key);
    int r = m_writer.append(frame->getData(), length, node, false);
    if (r != kRecordOk) return writerCode(r);
    if (key) {
        if (m_gopBytes > m_largestGopBytes) m_largestGopBytes = m_gopBytes;
        m_gopBytes = 0;
    }
    m_gopBytes += length;
    m_sinceCheckpoint += length;
    // Sources of this camera wait for their frames to be durable here.
    const long long waited = MoveLedger::instance().pendingAgeMs(m_cameraKey);
    if (waited >= 0 &&
        (m_sinceCheckpoint >= g_checkpointBytes.load() || waited >= g_checkpointMs.load())) {
        // The frame itself is written; a failed checkpoint breaks the writer,
        // and the next frame starts a new file.
        (void)checkpoint();
    }
    return kRecordOk;
}

bool BackupRecordWriter::endsFileAt(const TSAVData& frame) const {
    const long long segment = m_dir.getFileSegmentSize();
    if (segment <= 0 || frame.getFrameType() != kFrameTypeKey || m_writer.nodeCount() == 0) {
        return false;
    }
    // The group of pictures that this key frame opens is about as large as
    // the one it ends (m_gopBytes) or the largest before it; half a group
    // more leaves room for one that grows.
    long long margin = m_gopBytes + m_gopBytes / 2;
    if (m_largestGopBytes > margin) margin = m_largestGopBytes;
    return m_writer.size() + margin > segment;
}

int BackupRecordWriter::checkDisk() {
    BackupDiskIdentity now;
    int r =
        BackupDisk::identify(*RecordDiskManagerImpl::fileSystem(), m_dir.getRecordRootDir(), now);
    if (r == kRecordOk && now != m_disk) r = kRecordDiskChanged;
    if (r != kRecordOk) {
        const std::string message = m_writer.path() + ": backup disk " + m_dir.getRecordRootDir() +
                                    " gone or changed (" + resultToString(r) + ")";
        Logger::writeLog("RecordWrite", message.c_str(), __FILE__, __LINE__);
    }
    return r;
}

void BackupRecordWriter::lost() {
    m_failed = true;
    if (m_registered) MoveLedger::instance().writerLost(this);
}

int BackupRecordWriter::checkpoint() {
    if (!m_writer.isOpen() || m_failed) return kRecordIOError;
    int r = checkDisk();
    if (r == kRecordOk) r = m_writer.checkpoint();
    // The disk may have gone while the data were synced.
    if (r == kRecordOk) r = checkDisk();
    if (r != kRecordOk) {
        lost();
        return kRecordIOError;
    }
    m_sinceCheckpoint = 0;
    MoveLedger::instance().writerDurable(this);
    return kRecordOk;
}

int BackupRecordWriter::close() {
    if (!m_writer.isOpen()) return kRecordOk;
    int r = m_failed ? kRecordIOError : checkDisk();
    if (r == kRecordOk) {
        r = m_writer.finish();
        if (r == kRecordOk) r = checkDisk();
    } else {
        m_writer.abandon();
    }
    if (r != kRecordOk) {
        lost();
    } else {
        MoveLedger::instance().writerDurable(this);
    }
    if (m_registered) {
        MoveLedger::instance().writerClosed(this);
        m_registered = false;
    }
    return r == kRecordOk ? kRecordOk : writerCode(r);
}
