#include "ssl_socket.h"

#include "global_lock.h"
#include "name_lookup.h"
#include "net_errors.h"
#include "ssl_init.h"
#include "windows_trust.h"

#include <openssl/err.h>
#include <openssl/x509v3.h>

#include <memory>

namespace {

// "ALL" would also offer suites without authentication, which need no certificate at all.
const char kCipherList[] = "ALL:!aNULL:!eNULL";

// As the Linux distributions set it: no RSA or DH key under 2048 bits, no EC key under 224 bits and
// no SHA-1 signature, on the server's certificates and its key exchange alike.
const int kSecurityLevel = 2;

} // namespace

int MapSslError(int error) {
    switch (error) {
    case SSL_ERROR_SSL:
        return kErrTlsProtocol - kTlsErrorBase;
    case SSL_ERROR_SYSCALL:
        return kErrTlsSyscall - kTlsErrorBase;
    case SSL_ERROR_ZERO_RETURN:
        return kErrTlsClosed - kTlsErrorBase;
    default:
        return kErrTlsSetup - kTlsErrorBase;
    }
}

void ThrowSslError(SSL* ssl, int result) {
    const int error = SSL_get_error(ssl, result);
    // OpenSSL keeps the socket's error for a failed socket call; a receive that outlasted the
    // receive time-out fails as the plain socket's does.
    const long code = error == SSL_ERROR_SYSCALL && WSAGetLastError() == WSAETIMEDOUT
                          ? kErrTimeout
                          : kTlsErrorBase | MapSslError(error);
    // Left on the thread's queue, these would colour the next TLS call's SSL_get_error.
    ERR_clear_error();
    throw code;
}

template <class TSocket>
CSslSocket<TSocket>::COpensslSocket::COpensslSocket(SSL* ssl, CSslSocket* owner)
    : CCountedRef(&g_GlobalLock), m_ssl(ssl), m_owner(owner) {}

template <class TSocket> CSslSocket<TSocket>::COpensslSocket::~COpensslSocket() {
    m_owner->m_tls = nullptr;
    SSL_free(m_ssl);
}

template <class TSocket>
typename CSslSocket<TSocket>::COpensslSocket* CSslSocket<TSocket>::AcquireConnection() {
    CLockHold hold(&g_GlobalLock);
    if (m_tls != nullptr)
        m_tls->AddRef();
    return m_tls;
}

namespace {

// Releases a TLS call's reference on every way out.
template <class T> struct CCallReference {
    explicit CCallReference(T* object) : m_object(object) {}
    ~CCallReference() { CCountedRef::Release(m_object); }
    CCallReference(const CCallReference&) = delete;
    CCallReference& operator=(const CCallReference&) = delete;
    T* m_object;
};

// The context of one connection: TLS 1.2 at the least, the security level above, the fixed DH
// group, no unauthenticated suites, and the peer's chain judged by Windows. Null on failure.
SSL_CTX* NewClientContext() {
    SSL_CTX* context = SSL_CTX_new(TLS_method());
    if (context == nullptr)
        return nullptr;
    SSL_CTX_set_security_level(context, kSecurityLevel);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    bool ok = SSL_CTX_set_tmp_dh(context, g_DhParams) != 0;
#pragma GCC diagnostic pop
    ok = ok && SSL_CTX_set_cipher_list(context, kCipherList) != 0;
    ok = ok && SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION) != 0;
    if (!ok) {
        SSL_CTX_free(context);
        return nullptr;
    }
    SSL_CTX_set_cert_verify_callback(context, VerifyPeerWithWindows, nullptr);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    return context;
}

// The name (or address) the peer's certificate must carry, and the server name sent for names.
bool SetExpectedPeer(SSL* ssl, const wchar_t* host) {
    std::unique_ptr<char[]> ascii(HostToAscii(host));
    if (!ascii)
        return false;
    SocketAddr numeric;
    if (ParseNumericAddress(host, numeric))
        return X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), ascii.get()) == 1;
    SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    return SSL_set1_host(ssl, ascii.get()) == 1 && SSL_set_tlsext_host_name(ssl, ascii.get()) == 1;
}

} // namespace

template <class TSocket> void CSslSocket<TSocket>::Connect(const wchar_t* host, uint32_t port) {
    if (!m_useTls) {
        TSocket::Connect(host, port);
        return;
    }
    SocketAddr endpoint;
    this->Resolve(host, endpoint);
    endpoint.port = static_cast<uint16_t>(port);
    {
        CLockHold hold(&g_GlobalLock);
        this->Create(endpoint.isIpv4 != 0);
        this->LimitBlockingReceives();
        SSL_CTX* context = NewClientContext();
        if (context == nullptr)
            throw kErrTlsSetup;
        std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(context), &SSL_free);
        SSL_CTX_free(context);
        if (!ssl)
            throw kErrTlsSetup;
        BIO* bio = SetExpectedPeer(ssl.get(), host)
                       ? BIO_new_socket(static_cast<int>(this->m_socket), BIO_NOCLOSE)
                       : nullptr;
        if (bio == nullptr)
            throw kErrTlsSetup;
        SSL_set_bio(ssl.get(), bio, bio);
        m_tls = new COpensslSocket(ssl.get(), this);
        ssl.release();
    }
    this->ConnectAddr(endpoint);
    COpensslSocket* connection = AcquireConnection();
    if (connection == nullptr)
        throw kErrConnect;
    CCallReference<COpensslSocket> hold(connection);
    ERR_clear_error();
    int r = SSL_connect(connection->m_ssl);
    if (r <= 0)
        ThrowSslError(connection->m_ssl, r);
}

template <class TSocket> void CSslSocket<TSocket>::SendAll(const void* bytes, uint32_t length) {
    if (!m_useTls) {
        this->Send(bytes, length);
        return;
    }
    COpensslSocket* connection = AcquireConnection();
    if (connection == nullptr)
        throw kErrSend;
    CCallReference<COpensslSocket> hold(connection);
    ERR_clear_error();
    int r = SSL_write(connection->m_ssl, bytes, static_cast<int>(length));
    if (r < 0)
        ThrowSslError(connection->m_ssl, r);
    if (static_cast<uint32_t>(r) != length)
        throw kErrSend;
    if (this->m_bytesSent != nullptr)
        *this->m_bytesSent += static_cast<uint32_t>(r);
}

template <class TSocket> int32_t CSslSocket<TSocket>::Receive(void* buffer, uint32_t length) {
    if (!m_useTls)
        return TSocket::Receive(buffer, length);
    COpensslSocket* connection = AcquireConnection();
    if (connection == nullptr)
        throw kErrReceive;
    CCallReference<COpensslSocket> hold(connection);
    ERR_clear_error();
    int r = SSL_read(connection->m_ssl, buffer, static_cast<int>(length));
    if (r < 0)
        ThrowSslError(connection->m_ssl, r);
    if (r == 0 && length != 0) {
        // Only the server's close-notify ends the stream cleanly; a bare end of the TCP stream may
        // be a network or an attacker cutting a body short, and is a TLS failure.
        if (SSL_get_error(connection->m_ssl, r) != SSL_ERROR_ZERO_RETURN)
            ThrowSslError(connection->m_ssl, r);
        throw kErrPeerClosed;
    }
    if (this->m_bytesReceived != nullptr)
        *this->m_bytesReceived += static_cast<uint32_t>(r);
    return r;
}

template <class TSocket> void CSslSocket<TSocket>::CloseConnection() {
    if (!m_useTls) {
        this->Close();
        return;
    }
    CLockHold hold(&g_GlobalLock);
    if (m_tls != nullptr) {
        // One close-notify and no wait for the server's: that wait would read from the socket
        // inside the global lock, for as long as a server keeping the connection open chooses.
        // A cancelled socket sends none: it is closed already, and the thread it was cancelled
        // for may still be inside an OpenSSL call on this connection, which no second thread
        // may enter.
        if (!this->m_cancelled)
            SSL_shutdown(m_tls->m_ssl);
        ERR_clear_error();
        CCountedRef::Release(m_tls);
    }
    this->Close();
}

template class CSslSocket<CBlockingSocket>;
