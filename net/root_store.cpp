#include "root_store.h"

#include <windows.h>
// After windows.h, whose types it uses.
#include <wincrypt.h>

int AddWindowsRootCertificates(X509_STORE* store) {
    HCERTSTORE roots = CertOpenSystemStoreW(0, L"ROOT");
    if (roots == nullptr)
        return 0;
    int added = 0;
    PCCERT_CONTEXT cert = nullptr;
    while ((cert = CertEnumCertificatesInStore(roots, cert)) != nullptr) {
        const unsigned char* der = cert->pbCertEncoded;
        X509* x509 = d2i_X509(nullptr, &der, static_cast<long>(cert->cbCertEncoded));
        // A certificate OpenSSL cannot read simply anchors nothing.
        if (x509 == nullptr)
            continue;
        if (X509_STORE_add_cert(store, x509) == 1)
            ++added;
        X509_free(x509);
    }
    CertCloseStore(roots, 0);
    return added;
}
