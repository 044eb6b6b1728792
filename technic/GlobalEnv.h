#ifndef TECHNIC_GLOBALENV_H
#define TECHNIC_GLOBALENV_H

#include <atomic>

#include "TechnicExport.h"

// Host-wide settings. The print flag turns the diagnostic console lines of the
// system on (non-zero) or off (0, the default).
class TECHNIC_EXPORT GlobalEnv {
  public:
    static GlobalEnv* getInstance();
    int getPrintFlag() const { return m_printFlag.load(std::memory_order_relaxed); }
    void setPrintFlag(int flag) { m_printFlag.store(flag, std::memory_order_relaxed); }

  private:
    GlobalEnv() = default;
    std::atomic<int> m_printFlag{0};
};

#endif  // TECHNIC_GLOBALENV_H
