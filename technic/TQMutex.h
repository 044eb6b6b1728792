#ifndef TECHNIC_TQMUTEX_H
#define TECHNIC_TQMUTEX_H

#include <atomic>
#include <mutex>

#include "TechnicExport.h"

// The host's lock. The file and line passed to Lock and Unlock only identify
// the caller (they are kept for diagnostics: the holder of a lock can be shown
// when a lock is held for long). Not recursive.
class TECHNIC_EXPORT TQMutex {
  public:
    TQMutex() = default;
    TQMutex(const TQMutex&) = delete;
    TQMutex& operator=(const TQMutex&) = delete;

    void Lock(const char* file, int line);
    void Unlock(const char* file, int line);

    // Where the lock is held from (file, line); null and 0 while it is free.
    // For diagnostics and tests.
    const char* lockedFile() const;
    int lockedLine() const;

  private:
    std::mutex m_mutex;
    // Written by the holder, read by anyone for diagnostics.
    std::atomic<const char*> m_file{nullptr};
    std::atomic<int> m_line{0};
};

// Scoped guard over one TQMutex: the constructor locks with the caller's file
// and line, the destructor unlocks with the unlock file and line given.
class TQMutexManager {
  public:
    TQMutexManager(TQMutex& mutex, const char* file, int line,
                   const char* unlockFile = "../../technic/TQMutex", int unlockLine = 71)
        : m_mutex(mutex), m_unlockFile(unlockFile), m_unlockLine(unlockLine) {
        m_mutex.Lock(file, line);
    }
    ~TQMutexManager() { m_mutex.Unlock(m_unlockFile, m_unlockLine); }
    TQMutexManager(const TQMutexManager&) = delete;
    TQMutexManager& operator=(const TQMutexManager&) = delete;

  private:
    TQMutex& m_mutex;
    const char* m_unlockFile;
    int m_unlockLine;
};

#endif  // TECHNIC_TQMUTEX_H
