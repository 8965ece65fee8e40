#include "ht_script.h"
#include "net_errors.h"
#include "tls_peer_fixture.h"

#include "global_lock.h"

#include <gtest/gtest.h>

#include <thread>

#include <ws2tcpip.h>

namespace {

const char kEmpty200[] = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";

std::string Redirect(int status, const std::string& location) {
    return "HTTP/1.1 " + std::to_string(status) + " Moved\r\nLocation: " + location +
           "\r\nContent-Length: 0\r\n\r\n";
}

class HtGet : public ::testing::Test {
  protected:
    void TearDown() override { DeleteFileW(output.c_str()); }

    std::wstring Url(const char* path) { return PeerUrl(peer.port4, path); }
    std::string Head(const std::string& target) { return DirectHead("GET", target, peer.port4); }

    CTestEnvironment environment;
    CLoopbackPeer peer;
    CPeerScript script{peer};
    std::wstring output = TestFilePath("get");
};

TEST_F(HtGet, FetchesIntoTheFileAndClosesTheConnection) {
    script.Accept();
    script.Exchange("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello");
    script.Drain();
    CTestGet get(Url("/info.pud?x=1").c_str());
    EXPECT_EQ(1, get.Get(output.c_str()));
    EXPECT_EQ(INVALID_SOCKET, get.m_socket);
    EXPECT_EQ((std::vector<std::string>{Head("/info.pud?x=1"), ""}), script.Received());
    EXPECT_EQ("hello", ReadWholeFile(output));
}

TEST_F(HtGet, HeadOnlySendsHeadAndReadsNoBody) {
    script.Accept();
    script.Exchange("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n");
    CTestGet get(Url("/").c_str());
    get.SetHeadOnly(1);
    EXPECT_EQ(1, get.Get(output.c_str()));
    EXPECT_EQ(std::vector<std::string>{DirectHead("HEAD", "/", peer.port4)}, script.Received());
}

TEST_F(HtGet, SchemeIsTestedBeforeTheUrlIsTidied) {
    script.Accept();
    script.Exchange(kEmpty200);
    std::wstring upper = Url("/a");
    upper.replace(0, 4, L"HTTP");
    CTestGet get(upper.c_str());
    EXPECT_EQ(1, get.Get(output.c_str()));
    EXPECT_EQ(std::vector<std::string>{Head("/a")}, script.Received());

    for (const wchar_t* bad : {L" http://127.0.0.1/", L"ftp://127.0.0.1/", L"http://"}) {
        CTestGet broken(bad);
        EXPECT_EQ(0, broken.Get(output.c_str())) << bad;
        EXPECT_EQ(static_cast<uint32_t>(kErrBadUrl), broken.LastGetError()) << bad;
    }
}

TEST_F(HtGet, RelativeRedirectStaysOnTheKeptConnection) {
    script.Accept();
    script.Exchange("HTTP/1.1 302 Found\r\nLocation: /moved?q\r\nContent-Length: 4\r\n\r\nold!");
    script.Exchange("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nnew");
    HtProgress progress;
    CTestGet get(Url("/first").c_str());
    get.SetProgress(&progress);
    EXPECT_EQ(1, get.Get(output.c_str()));
    EXPECT_EQ((std::vector<std::string>{Head("/first"), Head("/moved?q")}), script.Received());
    // The redirect's body was written and then replaced by the final one.
    EXPECT_EQ("new", ReadWholeFile(output));
    EXPECT_EQ(1u, progress.connectTimes.size());
    EXPECT_EQ(3, progress.total);
}

TEST_F(HtGet, RelativeReferencesResolveAgainstTheRequestUrl) {
    // Each Location against the target before it; what would break the request line is encoded.
    const char* const chain[][2] = {
        {"final/updates.pud", "/dir/sub/final/updates.pud"},
        {"../up?a b\tc", "/dir/sub/up?a%20b%09c"},
        {"?y", "/dir/sub/up?y"},
        {"./x#frag", "/dir/sub/x"},
        {"/../top", "/top"},
    };
    script.Accept();
    std::vector<std::string> expected = {Head("/dir/sub/start?x")};
    for (const auto& step : chain) {
        script.Exchange(Redirect(302, step[0]));
        expected.push_back(Head(step[1]));
    }
    script.Exchange(kEmpty200);
    CTestGet get(Url("/dir/sub/start?x").c_str());
    EXPECT_EQ(1, get.Get(output.c_str())) << std::hex << get.LastGetError();
    EXPECT_EQ(expected, script.Received());
}

TEST_F(HtGet, RedirectToAnotherHostConnectsThere) {
    const std::string v6 = "[::1]:" + std::to_string(peer.port6);
    // A network-path reference names the host and keeps the scheme.
    for (const std::string& location : {"http://" + v6 + "/v6", "//" + v6 + "/v6"}) {
        script.Accept();
        script.Exchange(Redirect(301, location));
        script.Accept6();
        script.Exchange(kEmpty200);
        CTestGet get(Url("/v4").c_str());
        EXPECT_EQ(1, get.Get(output.c_str())) << location;
        std::string v6Head = "GET /v6 HTTP/1.1\r\nHost: " + v6 +
                             "\r\nAccept: */*\r\nAccept-Encoding: \r\nUser-Agent: " + kTestUserAgent +
                             "\r\nConnection: Keep-Alive\r\n\r\n";
        EXPECT_EQ((std::vector<std::string>{Head("/v4"), v6Head}), script.Received()) << location;
    }
}

TEST_F(HtGet, TenRedirectsAreFollowedAndTheEleventhFails) {
    for (int run = 0; run < 2; ++run) {
        bool eleven = run == 1;
        script.Accept();
        const int statuses[] = {301, 302, 303, 307, 308};
        for (int i = 1; i <= 10; ++i)
            script.Exchange(Redirect(statuses[i % 5], "/r" + std::to_string(i)));
        script.Exchange(eleven ? Redirect(300, "/r11") : kEmpty200);
        CTestGet get(Url("/r0").c_str());
        EXPECT_EQ(eleven ? 0 : 1, get.Get(output.c_str()));
        std::vector<std::string> heads = script.Received();
        ASSERT_EQ(11u, heads.size());
        for (int i = 0; i <= 10; ++i)
            EXPECT_EQ(Head("/r" + std::to_string(i)), heads[i]);
        if (eleven) {
            EXPECT_EQ(static_cast<uint32_t>(kErrTooManyRedirects), get.LastGetError());
        }
        EXPECT_EQ(INVALID_SOCKET, get.m_socket);
    }
}

TEST_F(HtGet, RedirectsWithoutAUsableTargetFail) {
    struct {
        std::string response;
        long code;
    } cases[] = {
        {"HTTP/1.1 302 Found\r\nContent-Length: 0\r\n\r\n", kErrNoLocation},
        {Redirect(302, ""), kErrNoLocation},
        {Redirect(302, "ftp://127.0.0.1/"), kErrBadRedirectUrl},
        {Redirect(302, "//bad host/"), kErrBadRedirectUrl},
    };
    for (const auto& c : cases) {
        script.Accept();
        script.Exchange(c.response);
        CTestGet get(Url("/").c_str());
        EXPECT_EQ(0, get.Get(output.c_str()));
        EXPECT_EQ(static_cast<uint32_t>(c.code), get.LastGetError()) << c.response;
        EXPECT_EQ(INVALID_SOCKET, get.m_socket);
        EXPECT_EQ(1u, script.Received().size());
    }
}

TEST_F(HtGet, FinalStatusOtherThan200FailsWithItsIndex) {
    struct {
        int status;
        long code;
    } cases[] = {{304, 0x70017}, {305, 0x70017}, {306, 0x70017},
                 {404, 0x70005}, {600, 0x70017}, {505, 0x70016}};
    for (const auto& c : cases) {
        script.Accept();
        script.Exchange("HTTP/1.1 " + std::to_string(c.status) + " X\r\nContent-Length: 0\r\n\r\n");
        CTestGet get(Url("/").c_str());
        EXPECT_EQ(0, get.Get(output.c_str()));
        EXPECT_EQ(static_cast<uint32_t>(c.code), get.LastGetError()) << c.status;
        script.Received();
    }
}

TEST_F(HtGet, RequestFailureCodeTravelsAndEveryGetStartsFromItsUrl) {
    script.Accept();
    script.ReadHead();
    script.Close();
    CTestGet get(Url("/start").c_str());
    EXPECT_EQ(0, get.Get(output.c_str()));
    EXPECT_EQ(static_cast<uint32_t>(kErrPeerClosed), get.LastGetError());
    EXPECT_EQ(INVALID_SOCKET, get.m_socket);
    script.Received();

    script.Accept();
    script.Exchange(Redirect(302, "/elsewhere"));
    script.Exchange(kEmpty200);
    EXPECT_EQ(1, get.Get(output.c_str()));
    // A later success leaves the failure's code where it was.
    EXPECT_EQ(static_cast<uint32_t>(kErrPeerClosed), get.LastGetError());
    script.Received();
    script.Accept();
    script.Exchange(kEmpty200);
    EXPECT_EQ(1, get.Get(output.c_str()));
    EXPECT_EQ(std::vector<std::string>{Head("/start")}, script.Received());
}

TEST_F(HtGet, CloseFromAnotherThreadEndsTheRunningGet) {
    script.Accept();
    script.ReadHead();
    CTestGet get(Url("/slow").c_str());
    // A bound in case the close did not wake the waiting client; the stop must come far sooner.
    get.m_receiveTimeout = 60;
    std::thread stopper([&] {
        // Once the peer holds the request, the client waits for the answer: the service's stop.
        script.Received();
        EnterCriticalSection(&g_GlobalLock);
        get.Cancel();
        get.Close();
        LeaveCriticalSection(&g_GlobalLock);
    });
    EXPECT_EQ(0, get.Get(output.c_str()));
    stopper.join();
    EXPECT_NE(static_cast<uint32_t>(kErrTimeout), get.LastGetError());
    EXPECT_EQ(INVALID_SOCKET, get.m_socket);
    // Cancelled for good: the next Get cannot even connect.
    EXPECT_EQ(0, get.Get(output.c_str()));
    EXPECT_EQ(static_cast<uint32_t>(kNetCancelled), get.LastGetError());
}

// Redirects that change the scheme: one peer, certificates and a trusted test root for them all.
class HtGetTls : public TlsPeerFixture {
  protected:
    void TearDown() override { DeleteFileW(output.c_str()); }

    std::string SecureUrl(const char* path) {
        return "https://localhost:" + std::to_string(peer->port4) + path;
    }
    std::string SecureHead(const char* path) {
        return std::string("GET ") + path + " HTTP/1.1\r\nHost: localhost:" + std::to_string(peer->port4) +
               "\r\nAccept: */*\r\nAccept-Encoding: \r\nUser-Agent: " + kTestUserAgent +
               "\r\nConnection: Keep-Alive\r\n\r\n";
    }

    CTestEnvironment environment;
    CPeerScript script{*peer};
    std::wstring output = TestFilePath("get-tls");
};

TEST_F(HtGetTls, RedirectToHttpsReconnectsWithTlsForTheNewHost) {
    script.Accept();
    script.Exchange(Redirect(302, SecureUrl("/b")));
    script.Accept();
    script.Tls(certs->TlsArguments("server"));
    script.Exchange("HTTP/1.1 301 Moved\r\nLocation: /c\r\nContent-Length: 0\r\n\r\n");
    script.Exchange(Redirect(302, "//localhost:" + std::to_string(peer->port4) + "/d"));
    script.Exchange("HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nsecret");
    CTestGet get(PeerUrl(peer->port4, "/a").c_str());
    EXPECT_EQ(1, get.Get(output.c_str())) << std::hex << get.LastGetError();
    // The relative redirects kept the scheme and the TLS connection.
    EXPECT_EQ((std::vector<std::string>{DirectHead("GET", "/a", peer->port4), "ok localhost",
                                        SecureHead("/b"), SecureHead("/c"), SecureHead("/d")}),
              script.Received());
    EXPECT_EQ("secret", ReadWholeFile(output));
    EXPECT_EQ(INVALID_SOCKET, get.m_socket);
}

TEST_F(HtGetTls, StepFromHttpsToHttpIsRefused) {
    script.Accept();
    script.Tls(certs->TlsArguments("server"));
    script.Exchange(Redirect(301, "http://localhost:" + std::to_string(peer->port4) + "/plain"));
    const std::string first = SecureUrl("/a");
    CTestGet get(std::wstring(first.begin(), first.end()).c_str());
    // Bounds the wait of a client that sent the request anyway.
    get.m_receiveTimeout = 5;
    EXPECT_EQ(0, get.Get(output.c_str()));
    EXPECT_EQ(static_cast<uint32_t>(kErrBadRedirectUrl), get.LastGetError());
    // No plain connection was asked for.
    EXPECT_EQ((std::vector<std::string>{"ok localhost", SecureHead("/a")}), script.Received());
    EXPECT_EQ(INVALID_SOCKET, get.m_socket);
}

TEST_F(HtGetTls, RedirectTargetMustProveItsName) {
    script.Accept();
    script.Exchange(Redirect(302, SecureUrl("/b")));
    script.Accept();
    script.Tls(certs->TlsArguments("otherhost"));
    CTestGet get(PeerUrl(peer->port4, "/a").c_str());
    EXPECT_EQ(0, get.Get(output.c_str()));
    EXPECT_EQ(static_cast<uint32_t>(kTlsErrorBase), get.LastGetError() & 0xFFFF0000)
        << std::hex << get.LastGetError();
    std::vector<std::string> seen = script.Received();
    ASSERT_EQ(2u, seen.size());
    EXPECT_EQ("err", seen[1].substr(0, 3));
}

} // namespace
