#include "seh_guard.h"

#include <windows.h>

extern "C" {
int VolarixGuardedCall(GuardedRoutine routine, void* context);
int VolarixGuardFrame(GuardedRoutine routine, void* context);
void VolarixGuardResume();
EXCEPTION_DISPOSITION VolarixGuardHandler(EXCEPTION_RECORD* record, void* frame, CONTEXT* context,
                                          DISPATCHER_CONTEXT* dispatch);
}

// VolarixGuardFrame calls VolarixGuardedCall(routine, context) and returns its result. Its unwind data names
// VolarixGuardHandler, which unwinds every frame above it and resumes at VolarixGuardResume with 0
// in rax, as an __except block with the filter EXCEPTION_EXECUTE_HANDLER would.
asm(R"(
    .text
    .globl VolarixGuardFrame
    .def VolarixGuardFrame; .scl 2; .type 32; .endef
    .seh_proc VolarixGuardFrame
VolarixGuardFrame:
    subq $40, %rsp
    .seh_stackalloc 40
    .seh_endprologue
    .seh_handler VolarixGuardHandler, @except
    callq VolarixGuardedCall
    nop
    .globl VolarixGuardResume
VolarixGuardResume:
    addq $40, %rsp
    ret
    .seh_endproc
)");

extern "C" EXCEPTION_DISPOSITION VolarixGuardHandler(EXCEPTION_RECORD* record, void* frame, CONTEXT*,
                                                     DISPATCHER_CONTEXT* dispatch) {
    // The unwind pass that this handler itself starts comes through here again.
    if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND))
        return ExceptionContinueSearch;
    RtlUnwindEx(frame, reinterpret_cast<void*>(&VolarixGuardResume), record, nullptr, dispatch->ContextRecord,
                dispatch->HistoryTable);
    return ExceptionContinueSearch;
}

// A C++ throw is caught here in C++: the compiler's own unwinder resumes only in frames that it
// found in its search, so it must never be handed to the structured handler above.
extern "C" int VolarixGuardedCall(GuardedRoutine routine, void* context) {
    try {
        routine(context);
    } catch (...) {
        return 0;
    }
    return 1;
}

bool RunGuarded(GuardedRoutine routine, void* context) {
    return VolarixGuardFrame(routine, context) != 0;
}
