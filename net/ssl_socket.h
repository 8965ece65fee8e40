#pragma once
// Optional TLS over the blocking socket. The SSL object lives in a reference-counted connection
// object so that the stop path can close the connection from another thread while a TLS call
// blocks, without either thread freeing the SSL object under the other.
#include "blocking_socket.h"
#include "counted_ref.h"

#include <openssl/ssl.h>

#include <cstdint>

// The TLS family's detail for an SSL_get_error value.
int MapSslError(int error);
[[noreturn]] void ThrowSslError(SSL* ssl, int result);

template <class TSocket> class CSslSocket : public TSocket {
  public:
    CSslSocket() = default;

    void Connect(const wchar_t* host, uint32_t port);
    void SendAll(const void* bytes, uint32_t length);
    int32_t Receive(void* buffer, uint32_t length);
    // Ends the connection: for TLS, under the global lock, the TLS shut-down, the release of the
    // owner's reference and the socket's close; without TLS the socket's close alone.
    void CloseConnection();

  protected:
    class COpensslSocket : public CCountedRef {
      public:
        COpensslSocket(SSL* ssl, CSslSocket* owner);
        ~COpensslSocket() override;

        SSL* m_ssl;
        CSslSocket* m_owner;
    };

    // Takes a reference on the current connection under the global lock; null when there is none.
    COpensslSocket* AcquireConnection();

    uint32_t m_useTls = 1;
    COpensslSocket* m_tls = nullptr;
};

extern template class CSslSocket<CBlockingSocket>;
