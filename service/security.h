#pragma once
#include <windows.h>

// Frees one SID with FreeSid when set, also when an exception passes.
class SidHolder {
  public:
    SidHolder() = default;
    ~SidHolder();
    SidHolder(const SidHolder&) = delete;
    SidHolder& operator=(const SidHolder&) = delete;

    PSID sid = nullptr;
};

// Fills the absolute descriptor sd so that `mask` is denied to anonymous logons and allowed to
// everyone else, with an untrusted integrity label from Windows 6.0 on (so that processes of any
// integrity level get the access). Returns the block holding the ACLs that sd points to (free it
// with delete[] once sd has been used), or null on failure.
BYTE* BuildSecurityDescriptor(SECURITY_DESCRIPTOR* sd, DWORD mask);

// Creates the signalled "Global\VOLARIX_SR_EVENT" that tells other processes the service runs.
// The handle is kept open until the process ends. 1 when the event exists, 0 otherwise.
int CreateServiceRunningEvent();
