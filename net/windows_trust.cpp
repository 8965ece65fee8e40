// The chain parameters' retrieval time-out is declared only with this set before wincrypt.h.
#define CERT_CHAIN_PARA_HAS_EXTRA_FIELDS
#include <windows.h>
// After windows.h, whose types they use, and before the first OpenSSL header, which takes back the
// names wincrypt.h gives its own structure kinds (X509_NAME among them).
#include <wincrypt.h>
#include <wininet.h>

#include "windows_trust.h"

#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <memory>

namespace {

struct CStoreClose {
    void operator()(HCERTSTORE store) const { CertCloseStore(store, 0); }
};
struct CCertificateFree {
    void operator()(PCCERT_CONTEXT certificate) const { CertFreeCertificateContext(certificate); }
};
struct CChainFree {
    void operator()(PCCERT_CHAIN_CONTEXT chain) const { CertFreeCertificateChain(chain); }
};
struct CX509Free {
    void operator()(X509* certificate) const { X509_free(certificate); }
};

using UniqueStore = std::unique_ptr<void, CStoreClose>;
using UniqueCertificate = std::unique_ptr<const CERT_CONTEXT, CCertificateFree>;
using UniqueChain = std::unique_ptr<const CERT_CHAIN_CONTEXT, CChainFree>;

// Adds a certificate to the store in its DER form; the store's context for it when asked for.
bool AddEncoded(HCERTSTORE store, X509* certificate, PCCERT_CONTEXT* added) {
    unsigned char* der = nullptr;
    const int length = i2d_X509(certificate, &der);
    if (length <= 0)
        return false;
    const BOOL stored = CertAddEncodedCertificateToStore(
        store, X509_ASN_ENCODING, der, static_cast<DWORD>(length), CERT_STORE_ADD_USE_EXISTING, added);
    OPENSSL_free(der);
    return stored != FALSE;
}

// The chain the machine's engine builds for the peer's certificate, with the other certificates the
// peer sent on offer as intermediates; null when it builds none.
UniqueChain BuildMachineChain(X509_STORE_CTX* context) {
    UniqueStore sent(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
    if (!sent)
        return nullptr;
    PCCERT_CONTEXT added = nullptr;
    if (!AddEncoded(sent.get(), X509_STORE_CTX_get0_cert(context), &added))
        return nullptr;
    UniqueCertificate leaf(added);
    STACK_OF(X509)* offered = X509_STORE_CTX_get0_untrusted(context);
    // One that Windows cannot read is simply not on offer; the chain's status says if it was needed.
    for (int i = 0; i < sk_X509_num(offered); ++i)
        AddEncoded(sent.get(), sk_X509_value(offered, i), nullptr);

    LPSTR serverAuth[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
    CERT_CHAIN_PARA para = {};
    para.cbSize = sizeof para;
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = serverAuth;
    para.dwUrlRetrievalTimeout = kChainUrlRetrievalTimeoutMs;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    // The service runs as LocalSystem, whose trust is the machine's.
    if (!CertGetCertificateChain(HCCE_LOCAL_MACHINE, leaf.get(), nullptr, sent.get(), &para, 0, nullptr,
                                 &chain))
        return nullptr;
    return UniqueChain(chain);
}

// The chain's own status and the SSL policy must both be clean: the policy alone passes a chain that
// ends short of any root (Wine's does).
bool MachineTrusts(PCCERT_CHAIN_CONTEXT chain) {
    if (chain->TrustStatus.dwErrorStatus != CERT_TRUST_NO_ERROR)
        return false;
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA server = {};
    server.cbSize = sizeof server;
    server.dwAuthType = AUTHTYPE_SERVER;
    // The name or address is OpenSSL's to check, against the host the socket was asked for.
    server.fdwChecks = SECURITY_FLAG_IGNORE_CERT_CN_INVALID;
    CERT_CHAIN_POLICY_PARA para = {};
    para.cbSize = sizeof para;
    para.pvExtraPolicyPara = &server;
    CERT_CHAIN_POLICY_STATUS status = {};
    status.cbSize = sizeof status;
    return CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &para, &status) &&
           status.dwError == 0;
}

// The connection's security level over the chain Windows built, as OpenSSL's own chain check
// applies it: every key, and the signature on every certificate but the anchor, strong enough.
int CheckSecurityLevel(X509_STORE_CTX* context, PCCERT_CHAIN_CONTEXT chain) {
    SSL* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(context, SSL_get_ex_data_X509_STORE_CTX_idx()));
    const auto allows = SSL_get_security_callback(ssl);
    void* allowsData = SSL_get0_security_ex_data(ssl);
    for (DWORD c = 0; c < chain->cChain; ++c) {
        const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[c];
        for (DWORD e = 0; e < simple->cElement; ++e) {
            PCCERT_CONTEXT element = simple->rgpElement[e]->pCertContext;
            const unsigned char* der = element->pbCertEncoded;
            std::unique_ptr<X509, CX509Free> certificate(
                d2i_X509(nullptr, &der, static_cast<long>(element->cbCertEncoded)));
            EVP_PKEY* key = certificate ? X509_get0_pubkey(certificate.get()) : nullptr;
            const bool leaf = c == 0 && e == 0;
            const int keyUse = SSL_SECOP_PEER | (leaf ? SSL_SECOP_EE_KEY : SSL_SECOP_CA_KEY);
            if (key == nullptr || !allows(ssl, nullptr, keyUse, EVP_PKEY_get_security_bits(key), 0,
                                          certificate.get(), allowsData))
                return leaf ? X509_V_ERR_EE_KEY_TOO_SMALL : X509_V_ERR_CA_KEY_TOO_SMALL;
            // The anchor is trusted for itself, not for its signature.
            if (c + 1 == chain->cChain && e + 1 == simple->cElement)
                break;
            int digest = 0;
            int bits = 0;
            if (!X509_get_signature_info(certificate.get(), &digest, nullptr, &bits, nullptr) ||
                !allows(ssl, nullptr, SSL_SECOP_PEER | SSL_SECOP_CA_MD, bits, digest, certificate.get(),
                        allowsData))
                return X509_V_ERR_CA_MD_TOO_WEAK;
        }
    }
    return X509_V_OK;
}

// The host name or address that the socket set into the verification parameters.
int CheckName(X509_STORE_CTX* context) {
    X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(context);
    X509* leaf = X509_STORE_CTX_get0_cert(context);
    if (X509_VERIFY_PARAM_get0_host(param, 0) != nullptr) {
        const unsigned int flags = X509_VERIFY_PARAM_get_hostflags(param);
        for (int i = 0; const char* host = X509_VERIFY_PARAM_get0_host(param, i); ++i) {
            if (X509_check_host(leaf, host, 0, flags, nullptr) == 1)
                return X509_V_OK;
        }
        return X509_V_ERR_HOSTNAME_MISMATCH;
    }
    char* address = X509_VERIFY_PARAM_get1_ip_asc(param);
    const bool matches = address != nullptr && X509_check_ip_asc(leaf, address, 0) == 1;
    OPENSSL_free(address);
    return matches ? X509_V_OK : X509_V_ERR_IP_ADDRESS_MISMATCH;
}

} // namespace

int VerifyPeerWithWindows(X509_STORE_CTX* context, void*) {
    // The name first: a peer that is not the host asked for costs Windows no fetch.
    int error = CheckName(context);
    if (error == X509_V_OK) {
        UniqueChain chain = BuildMachineChain(context);
        error = chain && MachineTrusts(chain.get()) ? CheckSecurityLevel(context, chain.get())
                                                    : X509_V_ERR_CERT_UNTRUSTED;
    }
    X509_STORE_CTX_set_error(context, error);
    return error == X509_V_OK ? 1 : 0;
}
