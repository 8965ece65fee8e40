#pragma once
#include <windows.h>

// Base of the service's long-lived workers: an object that owns one thread, started with the
// object itself as the thread's argument. Stopping is the owner's business: it sets its own stop
// event, waits for `thread` without a time limit and closes it before deleting the object.
class CWorkerThread {
  public:
    // stackReservation: bytes of stack to reserve for the thread, 0 for the process's default.
    CWorkerThread(LPTHREAD_START_ROUTINE proc, int stackReservation);
    // Neither stops the thread nor closes its handle: the owner has done both by then.
    virtual ~CWorkerThread();
    CWorkerThread(const CWorkerThread&) = delete;
    CWorkerThread& operator=(const CWorkerThread&) = delete;

    // Creates the thread, once per object. A thread that cannot be created ends the process
    // with exit code 1.
    void Start();

    HANDLE thread = nullptr;

  private:
    LPTHREAD_START_ROUTINE m_proc;
    int m_stackReservation;
};
