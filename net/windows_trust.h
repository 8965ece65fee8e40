#pragma once
// The peer's certificate chain judged as Windows judges it: by the machine's chain engine and the
// SSL policy, which also consult the roots Windows fetches on demand, the intermediates it holds or
// fetches, and the certificates it distrusts. The name or address and the security level stay
// OpenSSL's to check.
#include <openssl/types.h>

// Each retrieval Windows may make while it builds a chain (an intermediate the server did not send,
// a root it fetches on demand), in milliseconds. A stop waits for the update thread in the control
// handler, which the Service Control Manager gives 30 s: a chain that needs a few fetches still ends
// well inside that.
const unsigned long kChainUrlRetrievalTimeoutMs = 5000;

// For SSL_CTX_set_cert_verify_callback: 1 when the peer's chain is trusted, else 0 with the reason
// in the store context's error.
int VerifyPeerWithWindows(X509_STORE_CTX* context, void* unused);
