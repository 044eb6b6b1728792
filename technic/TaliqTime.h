#ifndef TECHNIC_TALIQTIME_H
#define TECHNIC_TALIQTIME_H

// A span of time, seconds and microseconds, and the host's wait.
//
// TaliqTime::wait blocks the calling thread for the span divided by the
// process-wide clock speed (1 by default). A wait made on a GThread that is
// being stopped ends at once, so stopping a thread never waits out its pacing.
class TaliqTime {
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

  private:
    long m_sec;
    long m_usec;
};

#endif  // TECHNIC_TALIQTIME_H
