#include "global_lock.h"
#include "loopback_peer.h"
#include "net_errors.h"
#include "ssl_socket.h"
#include "thrown_code.h"
#include "tls_peer_fixture.h"

#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <thread>

namespace {

class CTestTls : public CSslSocket<CBlockingSocket> {
  public:
    using CSslSocket::AcquireConnection;
    using CSslSocket::COpensslSocket;
    using CSslSocket::m_receiveTimeout;
    using CSslSocket::m_tls;
    using CSslSocket::m_useTls;
};

HANDLE g_inRecv;
decltype(&::recv) g_realRecv;

int WSAAPI SignallingRecv(SOCKET s, char* buffer, int length, int flags) {
    SetEvent(g_inRecv);
    return g_realRecv(s, buffer, length, flags);
}

LONG g_sends;
decltype(&::send) g_realSend;

int WSAAPI CountingSend(SOCKET s, const char* buffer, int length, int flags) {
    InterlockedIncrement(&g_sends);
    return g_realSend(s, buffer, length, flags);
}

// Every test starts with a fresh socket.
class SslSocket : public TlsPeerFixture {
  protected:
    void TearDown() override { sock.CloseConnection(); }

    // Starts the peer's side of a handshake with the named certificate; its answer is read later.
    void ServeTls(const std::string& cert) {
        peer->Post("accept4");
        peer->Post("tls " + certs->TlsArguments(cert));
    }
    std::string PeerResult() {
        std::string accepted = peer->Reply();
        return accepted == "ok" ? peer->Reply() : accepted;
    }

    CTestTls sock;
};

} // namespace

TEST_F(SslSocket, TrustedServerByNameGetsSniAndCarriesData) {
    ServeTls("server");
    sock.Connect(L"localhost", peer->port4);
    EXPECT_EQ("ok localhost", PeerResult());
    sock.SendAll("hello", 5);
    sock.SendAll("", 0);
    EXPECT_EQ("data " + ToHex("hello"), peer->Command("recv 5"));
    ASSERT_EQ("ok", peer->Command("send " + ToHex("world")));
    char buffer[8];
    int32_t got = 0;
    while (got < 5)
        got += sock.Receive(buffer + got, 5 - got);
    EXPECT_EQ("world", std::string(buffer, 5));

    // A close-notify ends a body that runs to the end of the connection.
    ASSERT_EQ("ok", peer->Command("tlsclose"));
    EXPECT_EQ(kErrPeerClosed, CodeOf([&] { sock.Receive(buffer, sizeof buffer); }));
}

TEST_F(SslSocket, AStreamCutWithoutCloseNotifyIsATlsFailure) {
    ServeTls("server");
    sock.Connect(L"localhost", peer->port4);
    EXPECT_EQ("ok localhost", PeerResult());
    ASSERT_EQ("ok", peer->Command("send " + ToHex("part")));
    char buffer[8];
    int32_t got = 0;
    while (got < 4)
        got += sock.Receive(buffer + got, 4 - got);
    ASSERT_EQ("ok", peer->Command("close"));
    const long code = CodeOf([&] { sock.Receive(buffer, sizeof buffer); });
    EXPECT_NE(kErrPeerClosed, code);
    EXPECT_EQ(kTlsErrorBase, code & ~0xFFFFL) << std::hex << code;
}

TEST_F(SslSocket, StalledPeerFailsAtTheReceiveTimeout) {
    ServeTls("server");
    sock.m_receiveTimeout = 1;
    sock.Connect(L"127.0.0.1", peer->port4);
    ASSERT_EQ("ok -", PeerResult());
    // Without a time-out the read would wait for the stop path, which this stands in for.
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread stopper([&] {
        if (WaitForSingleObject(done, 10000) == WAIT_TIMEOUT) {
            CLockHold hold(&g_GlobalLock);
            sock.Cancel();
            sock.CloseConnection();
        }
    });
    char c;
    EXPECT_EQ(kErrTimeout, CodeOf([&] { sock.Receive(&c, 1); }));
    SetEvent(done);
    stopper.join();
    CloseHandle(done);
}

TEST_F(SslSocket, TrustedServerByAddressIsCheckedWithoutSni) {
    ServeTls("server");
    sock.Connect(L"127.0.0.1", peer->port4);
    EXPECT_EQ("ok -", PeerResult());
}

TEST_F(SslSocket, UntrustedExpiredOrMisnamedCertificatesFailVerification) {
    for (const char* cert : {"selfsigned", "expired", "otherhost"}) {
        CTestTls fresh;
        ServeTls(cert);
        EXPECT_EQ(kErrTlsProtocol, CodeOf([&] { fresh.Connect(L"127.0.0.1", peer->port4); })) << cert;
        EXPECT_EQ("err", PeerResult().substr(0, 3)) << cert;
        fresh.CloseConnection();
    }
}

TEST_F(SslSocket, SuitesWithoutAuthenticationAreNotOffered) {
    peer->Post("accept4");
    peer->Post("tlsanon");
    EXPECT_EQ(kErrTlsProtocol, CodeOf([&] { sock.Connect(L"127.0.0.1", peer->port4); }));
    EXPECT_EQ("err", PeerResult().substr(0, 3));
}

TEST_F(SslSocket, CancelledSocketRefusesBeforeAnyTlsObject) {
    sock.Cancel();
    EXPECT_EQ(kNetCancelled, CodeOf([&] { sock.Connect(L"127.0.0.1", peer->port4); }));
    EXPECT_EQ(nullptr, sock.m_tls);
}

TEST_F(SslSocket, ConnectionOutlivesACloseWhileACallHoldsIt) {
    ServeTls("server");
    sock.Connect(L"127.0.0.1", peer->port4);
    ASSERT_EQ("ok -", PeerResult());
    CTestTls::COpensslSocket* call = sock.AcquireConnection();
    ASSERT_NE(nullptr, call);
    sock.CloseConnection();
    EXPECT_EQ(call, sock.m_tls) << "the call's reference keeps the connection";
    CCountedRef::Release(call);
    EXPECT_EQ(nullptr, sock.m_tls);
    char c;
    EXPECT_EQ(kErrReceive, CodeOf([&] { sock.Receive(&c, 1); }));
    EXPECT_EQ(kErrSend, CodeOf([&] { sock.SendAll("x", 1); }));
}

TEST_F(SslSocket, StopFromAnotherThreadEndsABlockedRead) {
    ServeTls("server");
    sock.Connect(L"127.0.0.1", peer->port4);
    ASSERT_EQ("ok -", PeerResult());
    g_inRecv = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    CImportPatch watch("ws2_32.dll", "recv", reinterpret_cast<void*>(&SignallingRecv));
    ASSERT_TRUE(watch.Active());
    g_realRecv = watch.Original<decltype(&::recv)>();
    long code = -1;
    std::thread reader([&] {
        char c;
        code = CodeOf([&] { sock.Receive(&c, 1); });
    });
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(g_inRecv, 10000));
    // The service's stop path. The reader is inside OpenSSL on this connection, so the stopper
    // must not write a TLS record on it.
    g_sends = 0;
    CImportPatch sends("ws2_32.dll", "send", reinterpret_cast<void*>(&CountingSend));
    ASSERT_TRUE(sends.Active());
    g_realSend = sends.Original<decltype(&::send)>();
    EnterCriticalSection(&g_GlobalLock);
    sock.Cancel();
    sock.CloseConnection();
    LeaveCriticalSection(&g_GlobalLock);
    reader.join();
    CloseHandle(g_inRecv);
    EXPECT_EQ(0, g_sends);
    EXPECT_EQ(kTlsErrorBase, code & 0xFFFF0000) << std::hex << code;
    EXPECT_EQ(nullptr, sock.m_tls);
    EXPECT_EQ(kNetCancelled, CodeOf([&] { sock.Connect(L"127.0.0.1", peer->port4); }));
}

TEST_F(SslSocket, WithoutTlsEveryCallIsThePlainSocketsOwn) {
    sock.m_useTls = 0;
    peer->Post("accept4");
    sock.Connect(L"127.0.0.1", peer->port4);
    ASSERT_EQ("ok", peer->Reply());
    sock.SendAll("plain", 5);
    EXPECT_EQ("data " + ToHex("plain"), peer->Command("recv 5"));
    sock.m_receiveTimeout = 0;
    char c;
    EXPECT_EQ(kErrTimeout, CodeOf([&] { sock.Receive(&c, 1); }));
    EXPECT_EQ(nullptr, sock.m_tls);
}

TEST(MapSslError, GivesTheTlsDetail) {
    EXPECT_EQ(4, MapSslError(SSL_ERROR_SSL));
    EXPECT_EQ(3, MapSslError(SSL_ERROR_SYSCALL));
    EXPECT_EQ(2, MapSslError(SSL_ERROR_ZERO_RETURN));
    EXPECT_EQ(1, MapSslError(SSL_ERROR_WANT_READ));
    EXPECT_EQ(1, MapSslError(SSL_ERROR_WANT_WRITE));
}
