#ifndef TECHNIC_TALIQTIME_H
#define TECHNIC_TALIQTIME_H

#include <functional>

#include "TechnicExport.h"

class WakeEvent;

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

    // The wait of a thread that has nothing to do until something appears:
    // exactly wait(span) at every clock speed above 0. On the infinitely fast
    // clock (speed 0) the span sets no limit, so that an idle thread does not
    // spin: on a GThread the wait ends when `event` has been notified since
    // its count was `seen`, when the thread is being stopped, or, with
    // `idleLimitMs` above 0, after that much real time (for what appears
    // without a notification, such as files written by another process). On
    // a thread that is not a GThread, which nothing could stop, it returns at
    // once like wait(span). The observer sees `span` as for wait(span).
    static void wait(const TaliqTime& span, WakeEvent& event, unsigned long long seen,
                     long idleLimitMs);

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
