#include "cookie_jar.h"
#include "ht_script.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

typedef CHtClient<CSslSocket<CBlockingSocket>> CClient;

struct UrlDeleter {
    void operator()(UrlParts* url) const { DeleteUrl(url); }
};
typedef std::unique_ptr<UrlParts, UrlDeleter> UrlPtr;

UrlPtr Url(const wchar_t* text) {
    return UrlPtr(ParseUrl(text));
}

class CookieJar : public ::testing::Test {
  protected:
    void Store(const wchar_t* url, const std::string& value) {
        CClient::StoreSetCookie(&jar, *Url(url), value);
    }
    std::string Header(const wchar_t* url) {
        std::string out = "stale";
        bool any = CClient::AddCookieHeader(&jar, *Url(url), out);
        EXPECT_EQ(!out.empty(), any);
        return out;
    }
    std::string Stored() {
        std::string all;
        for (const HtCookie& c : jar.cookies)
            all += "(" + c.name + "|" + c.value + "|" + c.path + "|" + c.domain + ")";
        return all;
    }

    HtCookieJar jar;
};

TEST_F(CookieJar, DefaultsComeFromTheRequestAndPathsMatchByPrefix) {
    Store(L"http://h/x/y?q=1", "a=b");
    EXPECT_EQ("(a|b|/x/y|h)", Stored());
    EXPECT_EQ("a=b", Header(L"http://h/x/y/z"));
    EXPECT_EQ("a=b", Header(L"http://h/x/yz"));
    EXPECT_EQ("", Header(L"http://h/x"));
    EXPECT_EQ("", Header(L"http://other/x/y"));
    EXPECT_EQ("", Header(L"http://oh/x/y"));
}

TEST_F(CookieJar, AttributeNamesIgnoreCaseAndDomainsAreLowerCased) {
    Store(L"http://XY/", "a=b; PATH=/; DOMAIN=XY");
    Store(L"http://h/", "c=d; secure; expires=Thu, 01 Jan 2099 00:00:00 GMT; Path=/p; path=/q");
    EXPECT_EQ("(a|b|/|xy)(c|d|/q|h)", Stored());
    EXPECT_EQ("a=b", Header(L"http://A.XY/"));
    EXPECT_EQ("a=b", Header(L"http://xy/"));
    // The domain must end at a label boundary of the host.
    EXPECT_EQ("", Header(L"http://proxy/"));
    EXPECT_EQ("", Header(L"http://y/"));
}

TEST_F(CookieJar, ADomainAttributeMustCoverTheRequestHost) {
    for (const char* value :
         {"s=1; domain=victim.test", "s=1; domain=test.a", "s=1; domain=.", "s=1; domain=b.a.test"})
        Store(L"http://a.test/", value);
    // An address matches only itself.
    for (const char* value : {"s=1; domain=0.0.1", "s=1; domain=.0.0.1", "s=1; domain=1"})
        Store(L"http://127.0.0.1/", value);
    Store(L"http://[::ffff:10.0.0.1]/", "s=1; domain=0.1");
    EXPECT_EQ("", Stored());
    Store(L"http://www.A.test/", "s=2; domain=a.test");
    Store(L"http://a.test/", "s=3; domain=.A.TEST");
    Store(L"http://127.0.0.1/", "s=4; domain=127.0.0.1");
    EXPECT_EQ("(s|2|/|a.test)(s|3|/|.a.test)(s|4|/|127.0.0.1)", Stored());

    // Nor is a cookie held for part of an address sent to one.
    jar.cookies.push_back({"t", "5", "/", "0.0.1"});
    jar.cookies.push_back({"u", "6", "/", ".0.0.1"});
    EXPECT_EQ("s=4", Header(L"http://127.0.0.1/"));
    EXPECT_EQ("", Header(L"http://10.0.0.1/"));
}

TEST_F(CookieJar, ControlBytesCannotReachTheCookieLine) {
    for (const char* value : {"s=1\rX-Injected: yes", "s\n=1", "s=1\x7f", "s=\t1"})
        Store(L"http://a.test/", value);
    EXPECT_EQ("", Stored());
}

TEST_F(CookieJar, LeadingDotDomainNeedsASubdomain) {
    Store(L"http://a.st/", "k=v; domain=.st");
    EXPECT_EQ("k=v", Header(L"http://a.st/"));
    EXPECT_EQ("", Header(L"http://st/"));
    EXPECT_EQ("", Header(L"http://host/"));
}

TEST_F(CookieJar, RejectedValuesChangeNothing) {
    for (const char* value : {"a=b; HttpOnly", "a=b; Max-Age=0", "=b", "ab", "", " ; ;", "a=b; Version=1"})
        Store(L"http://h/", value);
    EXPECT_EQ("", Stored());
    Store(L"http://h/", "a=");
    Store(L"http://h/", "c=d;;");
    Store(L"http://h/", " e = f ; ");
    EXPECT_EQ("(a||/|h)(c|d|/|h)(e | f|/|h)", Stored());
    EXPECT_EQ("a=; c=d; e = f", Header(L"http://h/"));
}

TEST_F(CookieJar, SameNameDomainAndPathReplacesInPlace) {
    Store(L"http://h/", "a=b");
    Store(L"http://h/", "c=d");
    Store(L"http://h/", "a=c");
    Store(L"http://h/", "a=e; path=/sub");
    EXPECT_EQ("(a|c|/|h)(c|d|/|h)(a|e|/sub|h)", Stored());
    EXPECT_EQ("a=c; c=d; a=e", Header(L"http://h/sub"));
}

TEST_F(CookieJar, AServerCannotGrowTheJarWithoutBound) {
    // Name, value, domain "h" and path "/" together.
    Store(L"http://h/", "big=" + std::string(kMaxCookieBytes - 4, 'v'));
    Store(L"http://h/", "fit=" + std::string(kMaxCookieBytes - 5, 'v'));
    ASSERT_EQ(1u, jar.cookies.size());
    EXPECT_EQ("fit", jar.cookies.front().name);
    for (size_t i = 1; i < kMaxJarCookies + 10; ++i)
        Store(L"http://h/", "n" + std::to_string(i) + "=v");
    EXPECT_EQ(kMaxJarCookies, jar.cookies.size());
    // A stored cookie may still be replaced when the jar is full.
    Store(L"http://h/", "n1=new");
    EXPECT_EQ("new", (++jar.cookies.begin())->value);
}

class CookieExchange : public ::testing::Test {
  protected:
    CTestEnvironment environment;
    CLoopbackPeer peer;
    CPeerScript script{peer};
    CTestGet client;
    HtCookieJar jar;
    std::wstring output = TestFilePath("cookies");
};

TEST_F(CookieExchange, CookiesFromEveryResponseGoBackInTheCookieLine) {
    client.m_useTls = 0;
    client.SetCookieJar(&jar);
    UrlPtr url(ParseUrl(PeerUrl(peer.port4, "/c").c_str()));
    HtFormFieldList fields;
    HtMultipartPartList parts;
    script.Accept();
    script.Exchange("HTTP/1.1 404 Not Found\r\nSet-Cookie: a=1\r\nset-cookie: b=2; Max-Age=9\r\n"
                    "SET-COOKIE: c=3; path=/\r\nContent-Length: 0\r\n\r\n");
    script.Exchange("HTTP/1.1 200 OK\r\nSet-Cookie: a=4\r\nContent-Length: 1\r\n\r\n");
    script.Exchange("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    EXPECT_TRUE(client.Request(kHtGet, *url, output.c_str(), fields, parts, nullptr));
    EXPECT_TRUE(client.Request(kHtHead, *url, output.c_str(), fields, parts, nullptr));
    EXPECT_TRUE(client.Request(kHtGet, *url, output.c_str(), fields, parts, nullptr));
    client.Close();
    std::string plain = DirectHead("GET", "/c", peer.port4);
    std::string withCookies = plain;
    withCookies.insert(withCookies.find("Connection: Keep-Alive"), "Cookie: a=1; c=3\r\n");
    std::string headCookies = DirectHead("HEAD", "/c", peer.port4);
    headCookies.insert(headCookies.find("Connection: Keep-Alive"), "Cookie: a=1; c=3\r\n");
    withCookies.replace(withCookies.find("a=1"), 3, "a=4");
    EXPECT_EQ((std::vector<std::string>{plain, headCookies, withCookies}), script.Received());
    DeleteFileW(output.c_str());
}

} // namespace
