#include "worker_thread.h"

CWorkerThread::CWorkerThread(LPTHREAD_START_ROUTINE proc, int stackReservation)
    : m_proc(proc), m_stackReservation(stackReservation) {}

CWorkerThread::~CWorkerThread() = default;

void CWorkerThread::Start() {
    // Without the flag a non-zero size would be the committed size, not the reservation.
    const DWORD flags = m_stackReservation != 0 ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0;
    DWORD id = 0;
    thread = CreateThread(nullptr, static_cast<SIZE_T>(m_stackReservation), m_proc, this, flags, &id);
    if (thread == nullptr)
        ExitProcess(1);
}
