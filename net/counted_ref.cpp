#include "counted_ref.h"

void CCountedRef::AddRef() {
    CLockHold hold(m_lock);
    ++m_count;
}

void CCountedRef::Release(CCountedRef* object) {
    if (object == nullptr)
        return;
    CRITICAL_SECTION* lock = object->m_lock;
    CLockHold hold(lock);
    if (--object->m_count == 0)
        delete object;
}
