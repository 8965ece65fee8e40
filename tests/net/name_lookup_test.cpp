#include "blocking_socket.h"
#include "loopback_peer.h"
#include "name_lookup.h"
#include "net_errors.h"
#include "thrown_code.h"

#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <thread>

namespace {

class CTestSocket : public CBlockingSocket {
  public:
    using CBlockingSocket::m_resolver;
    using CBlockingSocket::m_resolverContext;
};

std::string Ascii(const wchar_t* host) {
    std::unique_ptr<char[]> text(HostToAscii(host));
    return text ? text.get() : "(null)";
}

sockaddr_in V4(uint32_t hostOrder) {
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(hostOrder);
    return a;
}

sockaddr_in6 V6(uint8_t last) {
    sockaddr_in6 a = {};
    a.sin6_family = AF_INET6;
    a.sin6_addr.s6_addr[0] = 0x20;
    a.sin6_addr.s6_addr[1] = 0x01;
    a.sin6_addr.s6_addr[15] = last;
    return a;
}

// A resolver that reports when it starts, keeps a handle on its thread, and holds on until it is
// released. A test ends only after that thread: one still ending while the process exits can
// bring Wine itself down.
struct HeldLookup {
    HANDLE started = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = nullptr;
    ~HeldLookup() {
        CloseHandle(started);
        CloseHandle(release);
        if (thread != nullptr)
            CloseHandle(thread);
    }
};

uint32_t HeldResolver(const wchar_t*, void* context, uint32_t wantIpv4, SocketAddr* endpoint) {
    HeldLookup* held = static_cast<HeldLookup*>(context);
    if (wantIpv4)
        held->thread = OpenThread(SYNCHRONIZE, FALSE, GetCurrentThreadId());
    SetEvent(held->started);
    WaitForSingleObject(held->release, INFINITE);
    memset(endpoint->address, 0x11, sizeof endpoint->address);
    return 0;
}

} // namespace

TEST(ParseNumericAddress, ReadsBothFamiliesAndLeavesThePort) {
    SocketAddr a = {};
    a.port = 1234;
    ASSERT_TRUE(ParseNumericAddress(L"127.0.0.1", a));
    EXPECT_EQ(1u, a.isIpv4);
    uint32_t host;
    memcpy(&host, a.address, 4);
    EXPECT_EQ(static_cast<uint32_t>(INADDR_LOOPBACK), host);
    EXPECT_EQ(1234, a.port);
    ASSERT_TRUE(ParseNumericAddress(L"::1", a));
    EXPECT_EQ(0u, a.isIpv4);
    EXPECT_EQ(1, a.address[15]);
    EXPECT_FALSE(ParseNumericAddress(L"example.com", a));
}

TEST(HostToAscii, NumericTextStaysAndNamesBecomeIdna) {
    EXPECT_EQ("127.0.0.1", Ascii(L"127.0.0.1"));
    EXPECT_EQ("::1", Ascii(L"::1"));
    EXPECT_EQ("fe80::1", Ascii(L"fe80::1%3"));
    EXPECT_EQ("xn--bcher-kva.example", Ascii(L"b\u00fccher.example"));
    EXPECT_EQ("Update.Example.COM", Ascii(L"Update.Example.COM")) << "ASCII labels stay as written";
    EXPECT_EQ("(null)", Ascii(L"bad\xD800name"));
}

TEST(Resolve, NumericHostsNeedNoLookupAndConnectForReal) {
    CLoopbackPeer peer;
    CTestSocket sock;
    sock.m_resolver = [](const wchar_t*, void*, uint32_t, SocketAddr*) -> uint32_t {
        ADD_FAILURE() << "numeric hosts are not looked up";
        return 0;
    };
    peer.Post("accept6");
    sock.Connect(L"::1", peer.port6);
    ASSERT_EQ("ok", peer.Reply());
    sock.Send("6", 1);
    EXPECT_EQ("data 36", peer.Command("recv 1"));
    sock.Close();

    // The flag is not consulted for numeric text; the following Create refuses instead.
    sock.Cancel();
    SocketAddr a = {};
    sock.Resolve(L"127.0.0.1", a);
    EXPECT_EQ(1u, a.isIpv4);
    EXPECT_EQ(kNetCancelled, CodeOf([&] { sock.Connect(L"127.0.0.1", peer.port4); }));
}

TEST(ResolveHostDns, AsksIpv4FirstThenIpv6) {
    CNameServiceStandIn dns;
    sockaddr_in6 only6 = V6(7);
    dns.Answer(L"six.example", false, reinterpret_cast<sockaddr*>(&only6), sizeof only6);
    CBlockingSocket sock;
    SocketAddr a = {};
    a.port = 99;
    sock.Resolve(L"six.example", a);
    EXPECT_EQ(0u, a.isIpv4);
    EXPECT_EQ(0, memcmp(&only6.sin6_addr, a.address, 16));
    EXPECT_EQ(99, a.port);
    EXPECT_EQ(L"six.example/4 six.example/6 ", dns.queries);

    sockaddr_in four = V4(0x0A000001);
    dns.Answer(L"xn--bcher-kva.example", true, reinterpret_cast<sockaddr*>(&four), sizeof four);
    sock.Resolve(L"b\u00fccher.example", a);
    EXPECT_EQ(1u, a.isIpv4);
    uint32_t host;
    memcpy(&host, a.address, 4);
    EXPECT_EQ(0x0A000001u, host);
}

TEST(ResolveHostDns, WrongFamilyAndOversizedAnswersFindNothing) {
    CNameServiceStandIn dns;
    sockaddr_in6 six = V6(1);
    sockaddr_in four = V4(0x0A000002);
    dns.Answer(L"swapped.example", true, reinterpret_cast<sockaddr*>(&six), sizeof six);
    dns.Answer(L"swapped.example", false, reinterpret_cast<sockaddr*>(&four), sizeof four);
    dns.AnswerTooLarge(L"big.example", true);
    dns.Answer(L"big.example", false, reinterpret_cast<sockaddr*>(&six), sizeof six);
    CBlockingSocket sock;
    SocketAddr a = {};
    EXPECT_EQ(kErrLookupFailed, CodeOf([&] { sock.Resolve(L"swapped.example", a); }));
    EXPECT_EQ(kErrLookupFailed, CodeOf([&] { sock.Resolve(L"nowhere.example", a); }));
    sock.Resolve(L"big.example", a);
    EXPECT_EQ(0u, a.isIpv4) << "the IPv4 pass found nothing, the IPv6 pass the address";
}

TEST(Resolve, CancelDuringPollingReturnsAtOnceAndTheThreadFinishesAlone) {
    HeldLookup held;
    CTestSocket sock;
    sock.m_resolver = &HeldResolver;
    sock.m_resolverContext = &held;
    long code = -1;
    DWORD endedAt = 0;
    std::thread waiter([&] {
        SocketAddr a;
        code = CodeOf([&] { sock.Resolve(L"slow.example", a); });
        endedAt = GetTickCount();
    });
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(held.started, 10000));
    DWORD cancelledAt = GetTickCount();
    sock.Cancel();
    waiter.join();
    EXPECT_EQ(kNetCancelled, code);
    EXPECT_LT(endedAt - cancelledAt, 2000u);
    // The lookup thread still holds the object and writes its result into it after the waiter left.
    SetEvent(held.release);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(held.thread, 10000));
}

TEST(Resolve, CancelBeforehandStillStartsTheLookupForANameThenGivesUp) {
    HeldLookup held;
    CTestSocket sock;
    sock.m_resolver = &HeldResolver;
    sock.m_resolverContext = &held;
    sock.Cancel();
    SocketAddr a;
    EXPECT_EQ(kNetCancelled, CodeOf([&] { sock.Resolve(L"slow.example", a); }));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(held.started, 10000));
    SetEvent(held.release);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(held.thread, 10000));
}

TEST(Resolve, ThreadThatCannotStartMeansNotFound) {
    CImportPatch noThreads(
        "kernel32.dll", "CreateThread",
        reinterpret_cast<void*>(+[](LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD,
                                    LPDWORD) -> HANDLE { return nullptr; }));
    ASSERT_TRUE(noThreads.Active());
    CBlockingSocket sock;
    SocketAddr a;
    EXPECT_EQ(kErrLookupFailed, CodeOf([&] { sock.Resolve(L"any.example", a); }));
}
