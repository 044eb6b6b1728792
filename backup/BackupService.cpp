#include "BackupService.h"

#include <cstdio>

#include "BackupRecordRetriever.h"
#include "BackupRecordStorage.h"
#include "GThread.h"
#include "GlobalEnv.h"
#include "RecordResult.h"
#include "TSAVData.h"
#include "TagNew.h"
#include "TaliqTime.h"
#include "WakeEvent.h"
#include "function.h"

namespace {

bool printing() { return GlobalEnv::getInstance()->getPrintFlag() != 0; }

// The waits of a job that has nothing to move (no frame yet, the backup disk
// refused): as TaliqTime::wait at every clock speed but 0, where they end
// when a record file appears, the job is stopped, or a second of real time
// has passed, instead of at once.
void idleWait(long seconds, unsigned long long seen) {
    TaliqTime::wait(TaliqTime(seconds, 0), WakeEvent::work(), seen, WakeEvent::kUnannouncedWorkMs);
}

}  // namespace

BackupService::BackupService(int type, const RecordInfo& info)
    : BackupService(type, info, nullptr) {}

BackupService::BackupService(const SafePointer<IBackupRecordRetriever>& source,
                             const RecordInfo& info)
    : BackupService(0, info, &source) {}

// Allocates the worker thread, then the source (type 0: `source` when given,
// else the local record disks), then the destination, then the frame.
BackupService::BackupService(int type, const RecordInfo& info,
                             const SafePointer<IBackupRecordRetriever>* source)
    : m_recordInfo(info),
      m_recordStorage(nullptr),
      m_recordRetriever(nullptr),
      m_thread(nullptr),
      m_isRetrieverOpen(false),
      m_isStorageOpen(false),
      m_data(nullptr),
      m_isDataWritten(true),
      m_type(type) {
    m_recordInfo.setRecordBeginTime(0);
    m_recordInfo.setRecordEndTime(0);
    function<int> body(bind_funcobj0<int, BackupService>(&BackupService::backupRecord, this));
    function<int> onStart(&GThread::emptyFun);
    function<int> onExit(&GThread::emptyFun);
    m_thread = new ("BackupService", __LINE__) GThread(body, "backupRecord", onStart, onExit);
    if (source != nullptr) {
        m_recordRetriever = new ("BackupService", __LINE__) BackupRecordRetriever(*source);
    } else if (type == 0) {
        m_recordRetriever = new ("BackupService", __LINE__) BackupRecordRetriever(true);
    }
    m_recordStorage = new ("BackupService", __LINE__) BackupRecordStorage();
    m_data = new ("BackupService", __LINE__) TSAVData();
}

BackupService::~BackupService() {
    m_stopHook = nullptr;  // a destructor must not throw
    stopService();
    delete m_recordRetriever;
    delete m_recordStorage;
    delete m_data;
    delete m_thread;
}

int BackupService::backupRecord() {
    // Read before the step looks for frames: work announced meanwhile ends
    // this step's idle wait at once.
    const unsigned long long seen = WakeEvent::work().count();
    if (m_recordRetriever == nullptr) {
        // Only type 0 (the local record disks) has a source; refuse the job
        // rather than dereference a missing one.
        if (printing()) std::printf("backupRecord: job type %d has no record source\n", m_type);
        return -1;
    }

    if (!m_isStorageOpen) {
        if (m_recordStorage->open(m_recordInfo) != 0) return 0;
        m_isStorageOpen = true;
    }

    if (!m_isRetrieverOpen) {
        int ret = m_recordRetriever->open(m_recordInfo);
        if (ret == kRecordNoFrameYet) {
            m_recordRetriever->close();
            if (printing()) std::printf("backupRecordRetriever open failed(%d)\n", ret);
            idleWait(1, seen);
            return 0;
        }
        if (ret != 0) {
            m_recordStorage->close();
            m_isStorageOpen = false;
            m_isRetrieverOpen = false;
            if (printing()) std::printf("backupRecordRetriever open failed(%d)\n", ret);
            return -1;
        }
        m_isRetrieverOpen = true;
    }

    if (m_isDataWritten) {
        int ret = m_recordRetriever->read(m_data);
        if (ret == kRecordNoFrameYet) {
            m_isRetrieverOpen = false;
            m_recordRetriever->close();
            idleWait(1, seen);
            return 0;
        }
        if (ret < 0) {
            m_isRetrieverOpen = false;
            m_isStorageOpen = false;
            m_recordRetriever->close();
            m_recordStorage->close();
            if (printing()) std::printf("BackupRetriever read failed(%d)\n", ret);
            return -1;
        }
    }

    int ret = m_recordStorage->write(0, m_data);
    if (ret >= 0) {
        m_isDataWritten = true;
        TaliqTime::wait(TaliqTime(0, 200000));
        return 0;
    }
    // Keep the frame: the next step writes it again instead of reading on.
    m_isDataWritten = false;
    if (printing()) std::printf("BackupRetriever write failed(%d)\n", ret);
    idleWait(2, seen);
    return 0;
}

int BackupService::startService() {
    if (m_thread->IsRunning()) return 1;
    return m_thread->start();
}

void BackupService::stopService() {
    if (m_thread->IsRunning()) m_thread->stop();
    if (m_isRetrieverOpen) {
        m_recordRetriever->close();
        m_isRetrieverOpen = false;
    }
    if (m_isStorageOpen) {
        m_recordStorage->close();
        m_isStorageOpen = false;
    }
    m_isDataWritten = true;
    if (m_stopHook) m_stopHook();
}

int BackupService::isRunning() const { return m_thread->IsRunning(); }
