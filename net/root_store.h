#pragma once
// The Windows trusted root certificates as OpenSSL trust anchors.
#include <openssl/x509.h>

// Adds every certificate of the system's "ROOT" store that OpenSSL can read; the count added.
int AddWindowsRootCertificates(X509_STORE* store);
