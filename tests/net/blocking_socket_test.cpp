#include "blocking_socket.h"
#include "loopback_peer.h"
#include "net_errors.h"
#include "thrown_code.h"

#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

namespace {

// Opens the socket's settings to the tests; the product never changes them.
class CTestSocket : public CBlockingSocket {
  public:
    using CBlockingSocket::m_api;
    using CBlockingSocket::m_bytesReceived;
    using CBlockingSocket::m_bytesSent;
    using CBlockingSocket::m_cancelled;
    using CBlockingSocket::m_receiveTimeout;
    using CBlockingSocket::m_sendTimeout;
    using CBlockingSocket::m_socket;
};

SocketAddr Loopback4(uint16_t port) {
    SocketAddr a = {};
    a.isIpv4 = 1;
    uint32_t host = INADDR_LOOPBACK;
    memcpy(a.address, &host, 4);
    a.port = port;
    return a;
}

SocketAddr Loopback6(uint16_t port) {
    SocketAddr a = {};
    a.address[15] = 1;
    a.port = port;
    return a;
}

// A Winsock table whose entries record what the socket asked for.
struct Recorder {
    SocketApi api = g_Ws2SocketApi;
    int closes = 0;
    int sockets = 0;
    bool sawTimeval = false;
    timeval limit = {};
    int sendShortBy = 0;
    int selectError = 0;
    HANDLE inSelect = nullptr;
};
Recorder* g_rec;

SOCKET WSAAPI RecSocket(int af, int type, int protocol) {
    ++g_rec->sockets;
    return g_Ws2SocketApi.socket(af, type, protocol);
}
int WSAAPI RecClose(SOCKET s) {
    ++g_rec->closes;
    return g_Ws2SocketApi.closesocket(s);
}
int WSAAPI RecSelect(int n, fd_set* r, fd_set* w, fd_set* e, PTIMEVAL t) {
    if (g_rec->inSelect != nullptr)
        SetEvent(g_rec->inSelect);
    g_rec->sawTimeval = t != nullptr;
    if (t != nullptr)
        g_rec->limit = *t;
    if (g_rec->selectError != 0) {
        WSASetLastError(g_rec->selectError);
        return SOCKET_ERROR;
    }
    return g_Ws2SocketApi.select(n, r, w, e, t);
}
int WSAAPI RecSend(SOCKET s, const char* bytes, int length, int flags) {
    return g_Ws2SocketApi.send(s, bytes, length - g_rec->sendShortBy, flags);
}

class BlockingSocket : public ::testing::Test {
  protected:
    void SetUp() override {
        g_rec = &rec;
        rec.api.socket = &RecSocket;
        rec.api.closesocket = &RecClose;
        rec.api.select = &RecSelect;
        rec.api.send = &RecSend;
        sock.m_api = &rec.api;
    }
    void TearDown() override { sock.Close(); }

    void ConnectToPeer() {
        peer.Post("accept4");
        sock.Create(true);
        sock.ConnectAddr(Loopback4(peer.port4));
        ASSERT_EQ("ok", peer.Reply());
    }

    CLoopbackPeer peer;
    Recorder rec;
    CTestSocket sock;
};

} // namespace

TEST_F(BlockingSocket, ExchangesExactBytesOverIpv4AndCountsThem) {
    uint64_t sent = 0, received = 0;
    sock.m_bytesSent = &sent;
    sock.m_bytesReceived = &received;
    ConnectToPeer();
    sock.Send("GET /\r\n", 7);
    EXPECT_EQ("data " + ToHex("GET /\r\n"), peer.Command("recv 7"));
    ASSERT_EQ("ok", peer.Command("send " + ToHex(std::string("ab\0c", 4))));
    char buffer[16];
    int32_t total = 0;
    while (total < 4)
        total += sock.Receive(buffer + total, sizeof buffer - total);
    EXPECT_EQ(std::string("ab\0c", 4), std::string(buffer, 4));
    EXPECT_EQ(7u, sent);
    EXPECT_EQ(4u, received);
}

TEST_F(BlockingSocket, ConnectsOverIpv6) {
    peer.Post("accept6");
    sock.Create(false);
    sock.ConnectAddr(Loopback6(peer.port6));
    ASSERT_EQ("ok", peer.Reply());
    sock.Send("x", 1);
    EXPECT_EQ("data 78", peer.Command("recv 1"));
}

TEST_F(BlockingSocket, RefusedConnectIsMappedFromTheTable) {
    // A bound socket that does not listen: nothing on loopback accepts at its port.
    SOCKET idle = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    ASSERT_EQ(0, bind(idle, reinterpret_cast<sockaddr*>(&address), sizeof address));
    getsockname(idle, reinterpret_cast<sockaddr*>(&address), &length);
    sock.Create(true);
    EXPECT_EQ(0x10007, CodeOf([&] { sock.ConnectAddr(Loopback4(ntohs(address.sin_port))); }));
    closesocket(idle);
}

TEST_F(BlockingSocket, ZeroTimeoutPollsOnceAndNegativeWaitsWithoutLimit) {
    ConnectToPeer();
    sock.m_receiveTimeout = 0;
    EXPECT_EQ(kErrTimeout, CodeOf([&] {
                  char c;
                  sock.Receive(&c, 1);
              }));
    ASSERT_TRUE(rec.sawTimeval);
    EXPECT_EQ(0, rec.limit.tv_sec);
    EXPECT_EQ(0, rec.limit.tv_usec);

    sock.m_sendTimeout = -1;
    sock.Send("y", 1);
    EXPECT_FALSE(rec.sawTimeval);

    sock.m_receiveTimeout = 7;
    ASSERT_EQ("ok", peer.Command("send 7a"));
    char c;
    EXPECT_EQ(1, sock.Receive(&c, 1));
    EXPECT_EQ(7, rec.limit.tv_sec);
}

TEST_F(BlockingSocket, ShortSendFailsThoughTheBytesWentOut) {
    uint64_t sent = 0;
    sock.m_bytesSent = &sent;
    ConnectToPeer();
    rec.sendShortBy = 1;
    EXPECT_EQ(kErrSend, CodeOf([&] { sock.Send("abc", 3); }));
    EXPECT_EQ("data " + ToHex("ab"), peer.Command("recv 2"));
    EXPECT_EQ(0u, sent);
}

TEST_F(BlockingSocket, PeerCloseAndEmptyReceive) {
    ConnectToPeer();
    ASSERT_EQ("ok", peer.Command("send 41"));
    // Readable with a byte waiting; a receive of 0 bytes is no error.
    EXPECT_EQ(0, sock.Receive(nullptr, 0));
    char c;
    EXPECT_EQ(1, sock.Receive(&c, 1));
    ASSERT_EQ("ok", peer.Command("close"));
    EXPECT_EQ(kErrPeerClosed, CodeOf([&] { sock.Receive(&c, 1); }));
}

TEST_F(BlockingSocket, SelectErrorOutsideTheTableNamesTheOperation) {
    ConnectToPeer();
    rec.selectError = WSAEBADF;
    EXPECT_EQ(0x20005, CodeOf([&] { sock.Send("a", 1); }));
    rec.selectError = WSAENOTSOCK;
    EXPECT_EQ(0x10019, CodeOf([&] { sock.Send("a", 1); }));
}

TEST_F(BlockingSocket, CancelClosesOnceAndBarsEveryLaterCreate) {
    sock.Close();
    sock.Cancel();
    EXPECT_EQ(0, rec.closes) << "nothing to close";
    EXPECT_EQ(1u, sock.m_cancelled);

    EXPECT_EQ(kNetCancelled, CodeOf([&] { sock.Create(true); }));
    EXPECT_EQ(1, rec.sockets);
    EXPECT_EQ(1, rec.closes) << "the new socket is closed, not stored";
    EXPECT_EQ(INVALID_SOCKET, sock.m_socket);
}

TEST_F(BlockingSocket, CancelOfAnOpenSocketClosesItOnce) {
    ConnectToPeer();
    sock.Cancel();
    sock.Cancel();
    EXPECT_EQ(1, rec.closes);
    EXPECT_EQ(INVALID_SOCKET, sock.m_socket);
    EXPECT_EQ("data ", peer.Command("drain"));
}

TEST_F(BlockingSocket, CancelFromAnotherThreadEndsABlockedWaitWithItsOwnCode) {
    ConnectToPeer();
    sock.m_receiveTimeout = -1;
    rec.inSelect = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    long code = -1;
    std::thread reader([&] {
        char c;
        code = CodeOf([&] { sock.Receive(&c, 1); });
    });
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(rec.inSelect, 10000));
    sock.Cancel();
    reader.join();
    CloseHandle(rec.inSelect);
    EXPECT_NE(kNetCancelled, code);
    EXPECT_NE(-1, code);
}

TEST(MapSocketError, FollowsTheFixedTable) {
    const int errors[] = {10013, 10048, 10049, 10047, 10037, 10053, 10061, 10054, 10039, 10014, 10064,
                          10065, 10036, 10004, 10022, 10056, 10024, 10040, 10050, 10052, 10051, 10055,
                          10042, 10057, 10038, 10045, 10067, 10043, 10041, 10058, 10044, 10060, 10035,
                          11001, 10093, 11004, 11003, 10091, 11002, 10092, 10101};
    for (int i = 0; i < 41; ++i) {
        WSASetLastError(errors[i]);
        EXPECT_EQ(0x10000 | (i + 1), MapSocketError(kOpSend)) << errors[i];
    }
    for (int other : {0, 10009, 10100, 11005}) {
        WSASetLastError(other);
        EXPECT_EQ(0x20008, MapSocketError(kOpReceive)) << other;
    }
}

TEST(SocketAddr, ConvertsBothFamiliesAndRejectsShortStructures) {
    CBuffer buffer;
    SocketAddr v4 = Loopback4(8080);
    SocketAddrToSockaddr(v4, buffer);
    ASSERT_EQ(16u, buffer.Size());
    const sockaddr_in* sin = reinterpret_cast<const sockaddr_in*>(buffer.Data());
    EXPECT_EQ(AF_INET, sin->sin_family);
    EXPECT_EQ(htons(8080), sin->sin_port);
    EXPECT_EQ(htonl(INADDR_LOOPBACK), sin->sin_addr.s_addr);

    SocketAddr back;
    memset(&back, 0xEE, sizeof back);
    ASSERT_TRUE(SockaddrToSocketAddr(reinterpret_cast<const sockaddr*>(buffer.Data()), 16, back));
    EXPECT_EQ(0, memcmp(&v4, &back, sizeof back));

    SocketAddr untouched;
    memset(&untouched, 0xEE, sizeof untouched);
    SocketAddr probe = untouched;
    EXPECT_FALSE(SockaddrToSocketAddr(reinterpret_cast<const sockaddr*>(buffer.Data()), 15, probe));
    EXPECT_FALSE(SockaddrToSocketAddr(reinterpret_cast<const sockaddr*>(buffer.Data()), 1, probe));
    EXPECT_EQ(0, memcmp(&untouched, &probe, sizeof probe));

    SocketAddr v6 = Loopback6(443);
    v6.scopeId = 3;
    SocketAddrToSockaddr(v6, buffer);
    ASSERT_EQ(28u, buffer.Size());
    EXPECT_FALSE(SockaddrToSocketAddr(reinterpret_cast<const sockaddr*>(buffer.Data()), 27, probe));
    ASSERT_TRUE(SockaddrToSocketAddr(reinterpret_cast<const sockaddr*>(buffer.Data()), 28, probe));
    EXPECT_EQ(0u, probe.isIpv4);
    EXPECT_EQ(0, memcmp(v6.address, probe.address, 16));
    EXPECT_EQ(3u, probe.scopeId);
    EXPECT_EQ(443, probe.port);

    sockaddr other = {};
    other.sa_family = AF_UNIX;
    EXPECT_FALSE(SockaddrToSocketAddr(&other, sizeof other, probe));
}

TEST(CBuffer, ResizeKeepsBytesAndAssignCopies) {
    CBuffer a, b;
    memcpy(a.Resize(4), "abcd", 4);
    memcpy(a.Resize(6) + 4, "ef", 2);
    EXPECT_EQ(0, memcmp(a.Data(), "abcdef", 6));
    b.Assign(a);
    EXPECT_EQ(6u, b.Size());
    EXPECT_EQ(0, memcmp(b.Data(), "abcdef", 6));
    a.Free();
    b.Assign(a);
    EXPECT_EQ(nullptr, b.Data());
    EXPECT_EQ(0u, b.Size());
}
