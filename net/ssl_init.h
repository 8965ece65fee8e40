#pragma once
// Process-wide start-up and clean-up of OpenSSL, called by the process entry only.
#include <openssl/dh.h>
#include <openssl/x509.h>

// The temporary Diffie-Hellman group every TLS context receives; lives from InitSsl to CleanupSsl.
extern DH* g_DhParams;
// The Windows trusted roots, read once at start, before any thread can take the global lock;
// every TLS context shares them. Lives from InitSsl to CleanupSsl.
extern X509_STORE* g_RootStore;

bool InitSsl();
// The fixed group behind g_DhParams: a new DH object, or null when it cannot be built.
DH* CreateDhParams();
void CleanupSsl();
