#ifndef TECHNIC_GTHREAD_H
#define TECHNIC_GTHREAD_H

#include <string>

#include "function.h"

// Base of the host's threads: tells whether the thread runs.
class TQThread {
public:
    virtual ~TQThread() {}
    // Non-zero while the thread runs (from start() until stop() returned).
    virtual int IsRunning() const = 0;
};

// A named OS thread that calls its body again and again until stopped.
//
// - start(): starts the thread; non-zero on success, 0 when it already runs or
//   the OS refused the thread.
// - stop(): asks the thread to end and returns only after the body's current
//   call has returned and the thread has been joined. A TaliqTime::wait made on
//   this thread while it is being stopped ends at once.
// - After a body result of -1 the thread waits a back-off (about a second, on
//   the sped-up clock) before calling the body again, so a failing body never
//   spins.
// - setPalpitationTime(n): the thread's heartbeat, in units of 10 ms (900 is 9
//   seconds). A watchdog logs a body call that has not returned within it.
//   0 (the default) disables the watchdog.
// - The two hooks run on the thread: the first once before the first body
//   call, the second once after the last one. GThread::emptyFun does nothing.
//
// The name is given to the OS thread (cut to 15 characters), so that ps -L and
// top -H show it.
class GThread : public TQThread {
public:
    GThread(function<int> body, const std::string& name, function<int> onStart,
            function<int> onExit);
    ~GThread() override;
    GThread(const GThread&) = delete;
    GThread& operator=(const GThread&) = delete;

    int start();
    int stop();
    int IsRunning() const override;
    void setPalpitationTime(int time);
    int getPalpitationTime() const;
    const std::string& getName() const;

    static int emptyFun();

    // True while the calling thread is a GThread that is being stopped.
    static bool currentThreadStopping();

    struct Impl;

private:
    Impl* m_impl;
};

#endif  // TECHNIC_GTHREAD_H
