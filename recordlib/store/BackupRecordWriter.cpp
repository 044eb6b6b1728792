#include "store/BackupRecordWriter.h"

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

#include "Logger.h"
#include "RecordDiskManagerImpl.h"
#include "RecordFileInfo.h"
#include "RecordResult.h"
#include "TSAVData.h"
#include "store/MoveLedger.h"

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

std::atomic<bool> g_closeInBackground{true};
std::atomic<long long> g_checkpointBytes{BackupRecordWriter::kCheckpointBytes};
std::atomic<long long> g_checkpointMs{BackupRecordWriter::kCheckpointMs};

// Answers 0 when the disk at the writer's root is still the one of open().
int checkDisk(const RecordDirInfoEx& dir, const BackupDiskIdentity& disk, const std::string& path) {
    BackupDiskIdentity now;
    int r = BackupDisk::identify(*RecordDiskManagerImpl::fileSystem(), dir.getRecordRootDir(), now);
    if (r == kRecordOk && now != disk) r = kRecordDiskChanged;
    if (r != kRecordOk) {
        const std::string message = path + ": backup disk " + dir.getRecordRootDir() +
                                    " gone or changed (" + resultToString(r) + ")";
        Logger::writeLog("RecordWrite", message.c_str(), __FILE__, __LINE__);
    }
    return r;
}

}  // namespace

// Done once the flusher has finished a closed file.
struct BackupRecordWriter::CloseDone {
    std::mutex lock;
    std::condition_variable changed;
    bool done = false;  // guarded by lock

    void set() {
        {
            std::lock_guard<std::mutex> guard(lock);
            done = true;
        }
        changed.notify_all();
    }
    void wait() {
        std::unique_lock<std::mutex> guard(lock);
        changed.wait(guard, [this] { return done; });
    }
};

namespace {

// One closed file whose last durable work is left to do.
struct ClosingFile {
    std::unique_ptr<RecordFileWriter> file;
    RecordDirInfoEx dir;
    BackupDiskIdentity disk;
    unsigned long long ledgerId = 0;
    std::shared_ptr<BackupRecordWriter::CloseDone> done;

    // The disk checked, the file completed durably, the disk checked again;
    // then the ledger told, which releases the sources waiting for the file.
    // Answers 0 or the failure's code.
    int finish() {
        int r = checkDisk(dir, disk, file->path());
        if (r == kRecordOk) {
            r = file->finish();
            if (r == kRecordOk) r = checkDisk(dir, disk, file->path());
        } else {
            file->abandon();
        }
        MoveLedger::instance().writerFinished(ledgerId, r == kRecordOk);
        // The file is no longer used: its writer object may go.
        file.reset();
        done->set();
        return r;
    }
};

// Runs the work of closed files on threads of its own, started as files
// arrive (up to kThreads at a time) and ended when none is left, so that the
// syncs of files closed together are made at the same time.
class Flusher {
  public:
    static Flusher& instance() {
        static Flusher* flusher = [] {
            Flusher* f = new Flusher;  // used until the process ends
            // Files closed before the end are made durable before it.
            std::atexit([] { Flusher::instance().waitIdle(); });
            return f;
        }();
        return *flusher;
    }

    void add(std::unique_ptr<ClosingFile> closing) {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_queue.push_back(std::move(closing));
            if (m_idleThreads > 0 || m_threads >= kThreads) {
                m_wake.notify_one();
                return;
            }
            ++m_threads;
        }
        try {
            std::thread(&Flusher::run, this).detach();
        } catch (const std::system_error&) {
            // No thread to spare: the caller does the work.
            std::unique_ptr<ClosingFile> work;
            {
                std::lock_guard<std::mutex> guard(m_lock);
                --m_threads;
                if (m_queue.empty()) return;
                work = std::move(m_queue.front());
                m_queue.pop_front();
                ++m_running;
            }
            work->finish();
            done();
        }
    }

    void waitIdle() {
        std::unique_lock<std::mutex> lock(m_lock);
        m_idle.wait(lock, [this] { return m_queue.empty() && m_running == 0; });
    }

  private:
    static const int kThreads = 16;

    void run() {
        pthread_setname_np(pthread_self(), "BackupFlush");
        for (;;) {
            std::unique_ptr<ClosingFile> work;
            {
                std::unique_lock<std::mutex> lock(m_lock);
                if (m_queue.empty()) {
                    // Wait a little for the next file of a burst, then end.
                    ++m_idleThreads;
                    m_wake.wait_for(lock, std::chrono::milliseconds(50),
                                    [this] { return !m_queue.empty(); });
                    --m_idleThreads;
                    if (m_queue.empty()) {
                        --m_threads;
                        return;
                    }
                }
                work = std::move(m_queue.front());
                m_queue.pop_front();
                ++m_running;
            }
            work->finish();
            done();
        }
    }

    void done() {
        std::lock_guard<std::mutex> guard(m_lock);
        --m_running;
        if (m_queue.empty() && m_running == 0) m_idle.notify_all();
    }

    std::mutex m_lock;
    std::condition_variable m_wake;                    // a file queued for an idle thread
    std::condition_variable m_idle;                    // nothing queued or running
    std::deque<std::unique_ptr<ClosingFile>> m_queue;  // guarded by m_lock
    int m_threads = 0;                                 // guarded by m_lock
    int m_idleThreads = 0;                             // guarded by m_lock
    int m_running = 0;                                 // guarded by m_lock
};

}  // namespace

void BackupRecordWriter::setCheckpointPolicy(long long bytes, long long ms) {
    g_checkpointBytes.store(bytes >= 0 ? bytes : kCheckpointBytes);
    g_checkpointMs.store(ms >= 0 ? ms : kCheckpointMs);
}

void BackupRecordWriter::waitForClosedFiles() { Flusher::instance().waitIdle(); }

void BackupRecordWriter::setCloseInBackground(bool background) {
    g_closeInBackground.store(background);
}

BackupRecordWriter::BackupRecordWriter(FileSystem& fs, const RecordDirInfoEx& dir)
    : m_fs(fs), m_writer(new RecordFileWriter(fs)), m_dir(dir) {}

BackupRecordWriter::~BackupRecordWriter() {
    // The file closed last is finished with the file system it was written
    // through, which its owner may take away once this writer is gone.
    if (m_closeDone) m_closeDone->wait();
    // A writer dropped without close() leaves its file "being recorded": what
    // it holds is not durable, so the sources waiting for it stay.
    if (m_writer->isOpen()) lost();
    m_writer->abandon();
    if (m_ledgerId != 0) MoveLedger::instance().writerClosed(m_ledgerId);
}

int BackupRecordWriter::open(SafePointer<RecordFileInfo>& file, int& startSeconds) {
    if (m_writer->isOpen()) return kRecordIOError;
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
    r = m_writer->create(info);
    if (r != kRecordOk) return writerCode(r);
    m_cameraKey = MoveLedger::cameraKey(info.getDeviceId(), info.getCameraId());
    m_sinceCheckpoint = 0;
    m_sinceWriteback = 0;
    m_gopBytes = m_largestGopBytes = 0;
    m_failed = false;
    if (m_ledgerId != 0) MoveLedger::instance().writerClosed(m_ledgerId);
    m_ledgerId = MoveLedger::newWriterId();
    m_oldestWait = MoveLedger::instance().writerOpened(m_ledgerId, m_cameraKey, m_writer->path());
    startSeconds = RecordFileWriter::kStartSeconds;
    return kRecordOk;
}

int BackupRecordWriter::write(TSAVData* frame, bool /*lock*/, int /*arg*/) {
    if (!m_writer->isOpen() || m_writer->isBroken() || m_failed || frame == nullptr) {
        return kRecordIOError;
    }
    const int length = frame->getDataLength();
    const long long segment = m_dir.getFileSegmentSize();
    if (segment > 0 && m_writer->size() + length > segment) return kRecordSegmentFull;
    if (endsFileAt(*frame)) return kRecordSegmentFull;
    long long offset = frame->getTimeStamp() - m_writer->entry().beginTime;
    if (offset > 0x7fffffffLL || offset < -0x7fffffffLL) return kRecordSegmentFull;
    const bool key = frame->getFrameType() == kFrameTypeKey;
    RecordIndexNode node(length, frame->getDataTimeLength(), static_cast<int>(offset), key);
    int r = m_writer->append(frame->getData(), length, node, false);
    if (r != kRecordOk) return writerCode(r);
    if (key) {
        if (m_gopBytes > m_largestGopBytes) m_largestGopBytes = m_gopBytes;
        m_gopBytes = 0;
    }
    m_gopBytes += length;
    m_sinceCheckpoint += length;
    m_sinceWriteback += length;
    if (m_sinceWriteback >= kWritebackBytes) {
        // The disk writes while the job moves on: a checkpoint or the close
        // then waits only for the rest.
        m_writer->startWriteback();
        m_sinceWriteback = 0;
    }
    // Sources of this camera wait for their frames to be durable here.
    const long long waited = MoveLedger::pendingAgeMs(*m_oldestWait);
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
    if (segment <= 0 || frame.getFrameType() != kFrameTypeKey || m_writer->nodeCount() == 0) {
        return false;
    }
    // The group of pictures that this key frame opens is about as large as
    // the one it ends (m_gopBytes) or the largest before it; half a group
    // more leaves room for one that grows.
    long long margin = m_gopBytes + m_gopBytes / 2;
    if (m_largestGopBytes > margin) margin = m_largestGopBytes;
    return m_writer->size() + margin > segment;
}

void BackupRecordWriter::lost() {
    m_failed = true;
    if (m_ledgerId != 0) MoveLedger::instance().writerLost(m_ledgerId);
}

int BackupRecordWriter::checkpoint() {
    if (!m_writer->isOpen() || m_failed) return kRecordIOError;
    int r = checkDisk(m_dir, m_disk, m_writer->path());
    if (r == kRecordOk) r = m_writer->checkpoint();
    // The disk may have gone while the data were synced.
    if (r == kRecordOk) r = checkDisk(m_dir, m_disk, m_writer->path());
    if (r != kRecordOk) {
        lost();
        return kRecordIOError;
    }
    m_sinceCheckpoint = 0;
    MoveLedger::instance().writerDurable(m_ledgerId);
    return kRecordOk;
}

int BackupRecordWriter::close() {
    if (!m_writer->isOpen()) return kRecordOk;
    if (m_failed) {
        m_writer->abandon();
        lost();
        MoveLedger::instance().writerClosed(m_ledgerId);
        m_ledgerId = 0;
        return kRecordIOError;
    }
    std::unique_ptr<ClosingFile> closing(new ClosingFile);
    closing->file = std::move(m_writer);
    closing->dir = m_dir;
    closing->disk = m_disk;
    closing->ledgerId = m_ledgerId;
    closing->done = std::make_shared<CloseDone>();
    m_closeDone = closing->done;
    m_writer.reset(new RecordFileWriter(m_fs));
    m_ledgerId = 0;  // the flusher tells the ledger now
    if (!g_closeInBackground.load()) {
        const int r = closing->finish();
        return r == kRecordOk ? kRecordOk : writerCode(r);
    }
    Flusher::instance().add(std::move(closing));
    return kRecordOk;
}
