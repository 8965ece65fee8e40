#pragma once
// A structured-exception frame for code that must not let anything escape: the crash filter runs
// where a second fault would otherwise end the process without a report. MinGW's compiler has no
// __try/__except, so the frame is a small routine of its own with an exception handler that takes
// every exception and unwinds back into it.

typedef void (*GuardedRoutine)(void* context);

// True when routine returned; false when an exception (a processor fault, a raised code or a C++
// throw that nothing inside caught) ended it.
bool RunGuarded(GuardedRoutine routine, void* context);
