#pragma once
// A reference-counted object shared between threads; the count changes only under its lock, and
// the last release destroys the object while still holding it.
#include "win_api.h"

#include <cstdint>

class CCountedRef {
  public:
    explicit CCountedRef(CRITICAL_SECTION* lock) : m_lock(lock) {}
    virtual ~CCountedRef() = default;
    CCountedRef(const CCountedRef&) = delete;
    CCountedRef& operator=(const CCountedRef&) = delete;

    void AddRef();
    // Safe on null.
    static void Release(CCountedRef* object);

  protected:
    CRITICAL_SECTION* m_lock;
    uint32_t m_count = 1;
};

// Holds a critical section for its lifetime.
class CLockHold {
  public:
    explicit CLockHold(CRITICAL_SECTION* lock) : m_lock(lock) { EnterCriticalSection(m_lock); }
    ~CLockHold() { LeaveCriticalSection(m_lock); }
    CLockHold(const CLockHold&) = delete;
    CLockHold& operator=(const CLockHold&) = delete;

  private:
    CRITICAL_SECTION* m_lock;
};
