#include "tick_timer.h"

#include "win_api.h"

void CTickTimer::Restart() {
    m_start = GetTickCount();
}

// Unsigned subtraction is modulo 2^32, which is what keeps the result right across the wrap.
uint32_t CTickTimer::Elapsed() const {
    return static_cast<uint32_t>(GetTickCount()) - m_start;
}
