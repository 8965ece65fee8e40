// The chain parameters' retrieval time-out is declared only with this set before wincrypt.h.
#define CERT_CHAIN_PARA_HAS_EXTRA_FIELDS
#include "global_lock.h"
#include "loopback_peer.h"
#include "net_errors.h"
#include "ssl_socket.h"
#include "thrown_code.h"
#include "tls_peer_fixture.h"
#include "windows_trust.h"

#include <wincrypt.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

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

// What the chain engine and the SSL policy were asked, and what the stand-ins add to their answers
// in place of a Windows rule that Wine does not enforce.
struct ChainCall {
    HCERTCHAINENGINE engine = nullptr;
    std::vector<std::string> usages;
    DWORD retrievalTimeout = 0;
    bool underGlobalLock = true;
    LPCSTR policy = nullptr;
    DWORD authType = 0;
};
ChainCall g_chainCall;
DWORD g_addedChainStatus;
DWORD g_policyError;
decltype(&::CertGetCertificateChain) g_realGetChain;
decltype(&::CertVerifyCertificateChainPolicy) g_realVerifyPolicy;

BOOL WINAPI WatchedGetChain(HCERTCHAINENGINE engine, PCCERT_CONTEXT leaf, LPFILETIME time, HCERTSTORE offered,
                            PCERT_CHAIN_PARA para, DWORD flags, LPVOID reserved,
                            PCCERT_CHAIN_CONTEXT* chain) {
    g_chainCall.engine = engine;
    const CERT_ENHKEY_USAGE& usage = para->RequestedUsage.Usage;
    g_chainCall.usages.assign(usage.rgpszUsageIdentifier,
                              usage.rgpszUsageIdentifier + usage.cUsageIdentifier);
    g_chainCall.retrievalTimeout = para->dwUrlRetrievalTimeout;
    g_chainCall.underGlobalLock =
        g_GlobalLock.OwningThread == reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(GetCurrentThreadId()));
    const BOOL built = g_realGetChain(engine, leaf, time, offered, para, flags, reserved, chain);
    if (built)
        const_cast<CERT_CHAIN_CONTEXT*>(*chain)->TrustStatus.dwErrorStatus |= g_addedChainStatus;
    return built;
}

BOOL WINAPI WatchedVerifyPolicy(LPCSTR policy, PCCERT_CHAIN_CONTEXT chain, PCERT_CHAIN_POLICY_PARA para,
                                PCERT_CHAIN_POLICY_STATUS status) {
    g_chainCall.policy = policy;
    g_chainCall.authType =
        static_cast<SSL_EXTRA_CERT_CHAIN_POLICY_PARA*>(para->pvExtraPolicyPara)->dwAuthType;
    const BOOL verified = g_realVerifyPolicy(policy, chain, para, status);
    if (verified && g_policyError != 0)
        status->dwError = g_policyError;
    return verified;
}

// Every test starts with a fresh socket.
class SslSocket : public TlsPeerFixture {
  protected:
    void TearDown() override { sock.CloseConnection(); }

    // Starts the peer's side of a handshake with the named certificate and the peer's options
    // after it; its answer is read later.
    void ServeTls(const std::string& certAndOptions) {
        const size_t blank = certAndOptions.find(' ');
        const std::string options = blank == std::string::npos ? "" : certAndOptions.substr(blank);
        peer->Post("accept4");
        peer->Post("tls " + certs->TlsArguments(certAndOptions.substr(0, blank)) + options);
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

TEST_F(SslSocket, ChainsTheMachineTrustsWithStrongKeysConnect) {
    for (const char* served : {"rsa2048 tls1.2", "rsa2048 tls1.3", "rsa4096 tls1.2", "rsa4096 tls1.3",
                               "server tls1.2", "server tls1.3",
                               // the intermediate in the machine's CA store, not sent
                               "interstored",
                               // the intermediate sent, though in no store
                               "intersent"}) {
        CTestTls fresh;
        ServeTls(served);
        EXPECT_EQ(-1, CodeOf([&] { fresh.Connect(L"localhost", peer->port4); })) << served;
        EXPECT_EQ("ok localhost", PeerResult()) << served;
        fresh.CloseConnection();
    }
}

TEST_F(SslSocket, UntrustedMisnamedOrWeakServersFailTheHandshake) {
    for (const char* served : {"selfsigned", "expired", "notyet", "otherhost",
                               // the intermediate neither sent nor in any store
                               "intermissing",
                               // under the security level: the certificate's key, the DH group
                               "rsa1024", "rsa2048 dhe1024"}) {
        CTestTls fresh;
        ServeTls(served);
        EXPECT_EQ(kErrTlsProtocol, CodeOf([&] { fresh.Connect(L"127.0.0.1", peer->port4); })) << served;
        EXPECT_EQ("err", PeerResult().substr(0, 3)) << served;
        fresh.CloseConnection();
    }
}

// Windows refuses a chain through a certificate of its Disallowed store, which Wine ignores: the
// stand-ins report the refusal as Windows would, once from the chain and once from the policy.
TEST_F(SslSocket, WindowsChainEngineAndSslPolicyBothDecide) {
    CImportPatch chainPatch("crypt32.dll", "CertGetCertificateChain",
                            reinterpret_cast<void*>(&WatchedGetChain));
    CImportPatch policyPatch("crypt32.dll", "CertVerifyCertificateChainPolicy",
                             reinterpret_cast<void*>(&WatchedVerifyPolicy));
    ASSERT_TRUE(chainPatch.Active());
    ASSERT_TRUE(policyPatch.Active());
    g_realGetChain = chainPatch.Original<decltype(&::CertGetCertificateChain)>();
    g_realVerifyPolicy = policyPatch.Original<decltype(&::CertVerifyCertificateChainPolicy)>();
    const struct {
        const char* what;
        DWORD chainStatus;
        DWORD policyError;
        long code;
    } rows[] = {
        {"as trusted", 0, 0, -1},
        {"the chain distrusted", CERT_TRUST_IS_EXPLICIT_DISTRUST, 0, kErrTlsProtocol},
        {"the policy refusing", 0, static_cast<DWORD>(TRUST_E_EXPLICIT_DISTRUST), kErrTlsProtocol},
    };
    for (const auto& row : rows) {
        g_chainCall = ChainCall();
        g_addedChainStatus = row.chainStatus;
        g_policyError = row.policyError;
        CTestTls fresh;
        ServeTls("server");
        EXPECT_EQ(row.code, CodeOf([&] { fresh.Connect(L"localhost", peer->port4); })) << row.what;
        EXPECT_EQ(row.code == -1, PeerResult() == "ok localhost") << row.what;
        fresh.CloseConnection();

        EXPECT_EQ(HCCE_LOCAL_MACHINE, g_chainCall.engine) << row.what;
        EXPECT_EQ(std::vector<std::string>{szOID_PKIX_KP_SERVER_AUTH}, g_chainCall.usages) << row.what;
        EXPECT_EQ(kChainUrlRetrievalTimeoutMs, g_chainCall.retrievalTimeout) << row.what;
        // A stop takes the global lock; a chain engine fetching inside it would hold the stop up.
        EXPECT_FALSE(g_chainCall.underGlobalLock) << row.what;
        // A chain with an error needs no policy's word.
        if (row.chainStatus != 0)
            continue;
        EXPECT_EQ(CERT_CHAIN_POLICY_SSL, g_chainCall.policy) << row.what;
        EXPECT_EQ(static_cast<DWORD>(AUTHTYPE_SERVER), g_chainCall.authType) << row.what;
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
