#pragma once
#include "win_api.h"

// The one process-wide lock: socket handles and their cancel flags, reference counts of shared
// connection and lookup objects, and the closing of the update client's connection at stop. It
// is entered recursively (a critical section allows that to its owner). It is ready before main
// runs and lives until the runtime's exit processing.
extern CRITICAL_SECTION g_GlobalLock;
