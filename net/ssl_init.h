#pragma once
// Process-wide start-up and clean-up of OpenSSL, called by the process entry only.
#include <openssl/dh.h>

// The temporary Diffie-Hellman group every TLS context receives; lives from InitSsl to CleanupSsl.
extern DH* g_DhParams;

bool InitSsl();
// The fixed group behind g_DhParams: a new DH object, or null when it cannot be built.
DH* CreateDhParams();
void CleanupSsl();
