#include "global_lock.h"

CRITICAL_SECTION g_GlobalLock;

namespace {

// Static initialisation in this file makes the lock usable by every other static initialiser
// and thread of the process; nothing can take it before main.
struct GlobalLockLifetime {
    GlobalLockLifetime() { InitializeCriticalSection(&g_GlobalLock); }
    ~GlobalLockLifetime() { DeleteCriticalSection(&g_GlobalLock); }
} g_GlobalLockLifetime;

} // namespace
