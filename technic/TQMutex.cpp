#include "TQMutex.h"

void TQMutex::Lock(const char* file, int line) {
    m_mutex.lock();
    m_file.store(file, std::memory_order_relaxed);
    m_line.store(line, std::memory_order_relaxed);
}

void TQMutex::Unlock(const char* /*file*/, int /*line*/) {
    m_file.store(nullptr, std::memory_order_relaxed);
    m_line.store(0, std::memory_order_relaxed);
    m_mutex.unlock();
}

const char* TQMutex::lockedFile() const { return m_file.load(std::memory_order_relaxed); }

int TQMutex::lockedLine() const { return m_line.load(std::memory_order_relaxed); }
