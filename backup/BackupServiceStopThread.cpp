#include "BackupServiceStopThread.h"

#include "Logger.h"
#include "TQRuntimeError.h"
#include "TaliqTime.h"
#include "function.h"

namespace STLHelp {

// Clears `to`, then appends a copy of every element of `from`, in order.
template <class T>
void copyVector(const std::vector<T>& from, std::vector<T>& to) {
    to.clear();
    for (const T& item : from) to.push_back(item);
}

}  // namespace STLHelp

BackupServiceStopThread::BackupServiceStopThread() : m_thread(), m_mutex(), m_services() {
    function<int> body(bind_funcobj0<int, BackupServiceStopThread>(
        &BackupServiceStopThread::stopBackupService, this));
    function<int> onStart(&GThread::emptyFun);
    function<int> onExit(&GThread::emptyFun);
    m_thread = SafePointer<GThread>(new GThread(body, "BackupServiceStopThread", onStart, onExit));
    m_thread->setPalpitationTime(900);
}

BackupServiceStopThread::~BackupServiceStopThread() {
    // The body uses the queue and the lock: it must have ended before they go.
    stop();
    while (!m_services.empty()) m_services.pop_back();
}

int BackupServiceStopThread::start() {
    if (m_thread->IsRunning()) return 1;
    return m_thread->start();
}

void BackupServiceStopThread::stop() {
    if (m_thread->IsRunning()) m_thread->stop();
}

void BackupServiceStopThread::addBackupService(const SafePointer<BackupService>& service) {
    {
        TQMutexManager guard(m_mutex, "BackupServiceStopThread", __LINE__);
        m_services.push_back(service);
    }
    m_queued.notify();
}

int BackupServiceStopThread::getQueuedCount() {
    TQMutexManager guard(m_mutex, "BackupServiceStopThread", __LINE__);
    return static_cast<int>(m_services.size());
}

int BackupServiceStopThread::stopBackupService() {
    // Read before the queue is looked at: a job queued after that ends the
    // wait below at once.
    const unsigned long long seen = m_queued.count();
    size_t count = 0;
    {
        TQMutexManager guard(m_mutex, "BackupServiceStopThread", __LINE__);
        count = m_services.size();
    }
    if (count == 0) {
        // On the infinitely fast clock the thread sleeps until a job is
        // queued or it is stopped, instead of passing again at once (its
        // watchdog does not count that wait).
        TaliqTime::wait(TaliqTime(2, 0), m_queued, seen, 0);
        return 0;
    }

    std::vector<SafePointer<BackupService>> batch;
    {
        TQMutexManager guard(m_mutex, "BackupServiceStopThread", __LINE__);
        STLHelp::copyVector(m_services, batch);
        m_services.clear();
    }
    stopBatch(batch);
    // Leaving the scope releases the batch; a job whose last handle that was
    // is destroyed here, on this thread.
    return 0;
}

int BackupServiceStopThread::stopQueuedServices() {
    std::vector<SafePointer<BackupService>> batch;
    {
        TQMutexManager guard(m_mutex, "BackupServiceStopThread", __LINE__);
        batch.swap(m_services);
    }
    stopBatch(batch);
    return static_cast<int>(batch.size());
}

void BackupServiceStopThread::stopBatch(std::vector<SafePointer<BackupService>>& batch) {
    for (SafePointer<BackupService>& service : batch) {
        try {
            service->stopService();
        } catch (TQRuntimeError& e) {
            Logger::writeLog("BackupServiceStopThread", e.what(), "BackupServiceStopThread", 73);
        }
    }
}
