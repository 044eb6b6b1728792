#ifndef TECHNIC_BASICMUTEX_H
#define TECHNIC_BASICMUTEX_H

#include <mutex>

// The host's plain lock, used where no caller position is wanted (singleton
// creation). Constant-initialised, so it is usable before dynamic
// initialisation of the library has run.
class BasicMutex {
  public:
    constexpr BasicMutex() noexcept = default;
    BasicMutex(const BasicMutex&) = delete;
    BasicMutex& operator=(const BasicMutex&) = delete;

    void B_Lock() { m_mutex.lock(); }
    void B_Unlock() { m_mutex.unlock(); }

  private:
    std::mutex m_mutex;
};

#endif  // TECHNIC_BASICMUTEX_H
