#ifndef TECHNIC_TALIQTIME_H
#define TECHNIC_TALIQTIME_H

#include <functional>

#include "TechnicExport.h"

// A span of time, seconds and microseconds, and the host's wait.
//
// TaliqTime::wait blocks the calling thread for the span divided by the
// process-wide clock speed (1 by default). A wait made on a GThread that is
// being stopped ends at once, so stopping a thread never waits out its pacing.
class TECHNIC_EXPORT TaliqTime {
  public:
    TaliqTime(long sec, long usec) : m_sec(sec), m_usec(usec) {}

    long getSec() const { return m_sec; }
    long getUsec() const { return m_usec; }
    long long totalMicroseconds() const { return m_sec * 1000000LL + m_usec; }

    static void wait(const TaliqTime& span);

    // Process-wide clock speed: every wait lasts span / speed. A speed of 0
    // makes every wait return at once (an infinitely fast clock). Default 1.
    static void setClockSpeed(double speed);
    static double getClockSpeed();

    // A hook that sees the span of every wait, on the waiting thread, before it
    // waits (also when the clock speed makes the wait return at once); tests use
    // it to check the pacing. Pass an empty function to remove it; once
    // setWaitObserver returns, the old hook is not called again. The hook runs
    // under the observer's lock and must not wait.
    using WaitObserver = std::function<void(const TaliqTime&)>;
    static void setWaitObserver(WaitObserver observer);

  private:
    long m_sec;
    long m_usec;
};

#endif  // TECHNIC_TALIQTIME_H
