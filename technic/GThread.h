#ifndef TECHNIC_GTHREAD_H
#define TECHNIC_GTHREAD_H

#include <string>

#include "TechnicExport.h"
#include "function.h"

// Base of the host's threads: tells whether the thread runs.
class TECHNIC_EXPORT TQThread {
  public:
    virtual ~TQThread() {}
    // Non-zero while the thread runs (from start() until stop() returned).
    virtual int IsRunning() const = 0;
};

// A named OS thread that calls its body again and again until stopped.
//
// - start(): starts the thread; 1 on success, 0 when it already runs or the OS
//   refused the thread. A stopped thread may be started again.
// - stop(): asks the thread to end and returns only after the body's current
//   call has returned and the thread has been joined; 0 then. A
//   TaliqTime::wait made on this thread while it is being stopped ends at once,
//   so a body that sits in its pacing wait does not hold stop() up. Returns -1
//   when the thread does not run, and when called from the thread's own body
//   (which cannot wait for itself: the thread then ends after the current call,
//   and a later stop() from another thread joins it).
// - The body's result: after -1 the thread waits a back-off (1 second, on the
//   sped-up clock of TaliqTime) before calling the body again, so a failing
//   body never spins; any other result calls it again at once. On the
//   infinitely fast clock (speed 0) the back-off lasts until new work is
//   announced (WakeEvent::work()) after the call began, or at most 1 second
//   of real time (TaliqTime::wait with an event). A
//   TQRuntimeError or other exception leaving the body is logged (category
//   "GThread") and counts as -1.
// - setPalpitationTime(n): the thread's heartbeat, in units of 10 ms (900 is 9
//   seconds of real time). While it is non-zero at start(), a watchdog thread
//   runs beside the thread and logs (category "GThread") each body call that
//   has not returned within it, once per call; time the body spent idle in
//   TaliqTime::wait with an event is not counted. 0 (the default) means no
//   watchdog.
// - The two hooks run on the thread, once per run: the first (onStart) before
//   the first body call, the second (onExit) after the last one, before stop()
//   returns. They are for setting up and tearing down what belongs to the
//   thread itself; their results are ignored. GThread::emptyFun does nothing.
//
// The name is given to the OS thread (cut to the 15 characters the OS allows),
// so that ps -L and top -H show it.
//
// Thread safety: start(), stop() and the destructor may be called from any
// thread; they are serialised. Destroying a running GThread stops it first;
// destroying it from its own body lets the thread end after the current call.
class TECHNIC_EXPORT GThread : public TQThread {
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
