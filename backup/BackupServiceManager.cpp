#include "BackupServiceManager.h"

#include <cstring>

namespace {

bool sameJob(const RecordInfo& info, const RecordInfo& job) {
    return std::strcmp(info.getDeviceId(), job.getDeviceId()) == 0 &&
           info.getCameraId() == job.getCameraId();
}

}  // namespace

BackupServiceManager* BackupServiceManager::getInstance() {
    static BackupServiceManager* instance = new BackupServiceManager();
    return instance;
}

BackupServiceManager::BackupServiceManager() : m_services(), m_mutex(), m_stopThread() {}

BackupServiceManager::~BackupServiceManager() {}

int BackupServiceManager::init() {
    m_stopThread.start();
    TQMutexManager guard(m_mutex, "BackupServiceManager", __LINE__);
    m_services.clear();
    return 1;
}

void BackupServiceManager::unInit() {
    m_stopThread.stop();
    TQMutexManager guard(m_mutex, "BackupServiceManager", __LINE__);
    for (SafePointer<BackupService>& service : m_services) service->stopService();
    m_services.clear();
    // Jobs removed but not yet reached by a pass would otherwise run on, and
    // keep their last backup file open, after the module is shut down.
    m_stopThread.stopQueuedServices();
}

int BackupServiceManager::addService(int type, const RecordInfo& info) {
    TQMutexManager guard(m_mutex, "BackupServiceManager", __LINE__);
    SafePointer<BackupService> service;
    if (!findService(info, service)) {
        SafePointer<BackupService> created(new BackupService(type, info));
        m_services.push_back(created);
        service = created;
    }
    return service->startService() != 0 ? 0 : -1;
}

bool BackupServiceManager::findService(const RecordInfo& info, SafePointer<BackupService>& out) {
    for (SafePointer<BackupService>& service : m_services) {
        RecordInfo job = service->getRecordInfo();
        if (sameJob(info, job)) {
            out = service;
            return true;
        }
    }
    return false;
}

int BackupServiceManager::removeService(const RecordInfo& info) {
    TQMutexManager guard(m_mutex, "BackupServiceManager", __LINE__);
    for (auto it = m_services.begin(); it != m_services.end(); ++it) {
        RecordInfo job = (*it)->getRecordInfo();
        if (sameJob(info, job)) {
            m_stopThread.addBackupService(*it);
            m_services.erase(it);
            return 0;
        }
    }
    return -1;
}

int BackupServiceManager::getServiceCount() {
    TQMutexManager guard(m_mutex, "BackupServiceManager", __LINE__);
    return static_cast<int>(m_services.size());
}

std::vector<SafePointer<BackupService>> BackupServiceManager::getServices() {
    TQMutexManager guard(m_mutex, "BackupServiceManager", __LINE__);
    return m_services;
}
