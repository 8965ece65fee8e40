#include "url.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

struct UrlDeleter {
    void operator()(UrlParts* parts) const {
        parts->FreeStrings();
        delete parts;
    }
};
typedef std::unique_ptr<UrlParts, UrlDeleter> UrlPtr;

UrlPtr Parse(const wchar_t* url) {
    return UrlPtr(ParseUrl(url));
}

std::wstring Normalized(const wchar_t* url) {
    std::wstring text(url);
    NormalizeUrlInput(text);
    return text;
}

} // namespace

TEST(ParseUrl, SchemesAndDefaultPorts) {
    UrlPtr u = Parse(L"HTTPS://h/a");
    ASSERT_TRUE(u);
    EXPECT_EQ(1u, u->https);
    EXPECT_EQ(443, u->port);
    EXPECT_STREQ(L"h", u->host_w);
    EXPECT_STREQ("h", u->host);
    EXPECT_STREQ("/a", u->path);
    EXPECT_EQ(nullptr, u->query);
    EXPECT_EQ("https://h/a", u->ToString());

    u = Parse(L"http://h/");
    ASSERT_TRUE(u);
    EXPECT_EQ(0u, u->https);
    EXPECT_EQ(80, u->port);
    EXPECT_EQ("h", u->HostPort());
    u = Parse(L"http://h:80/");
    ASSERT_TRUE(u);
    EXPECT_EQ("h", u->HostPort());
    u = Parse(L"https://h:80/");
    ASSERT_TRUE(u);
    EXPECT_EQ("h:80", u->HostPort());
    EXPECT_EQ("https://h:80/", u->ToString());
}

TEST(ParseUrl, RejectsWhatIsNotAnAbsoluteHttpUrl) {
    for (const wchar_t* bad :
         {L"ftp://h/", L"http:/h/", L"http://h", L"http:///x", L"http://:8080/", L"http://[]/",
          L"http://[::1/x", L"http://[::1]x/", L"http://h:/", L"http://h:0/", L"http://h:65536/",
          L"http://h:8o/", L"http://h:\u0661/", L"http://user:pass@h/", L"http://h/?q=\u00e9",
          L"http://bad\xD800host/",
          // Negative or wider than 32 bits, yet 80 or 65535 once cut to 16 or 32.
          L"http://h:-18446744073709486081/", L"http://h:-4294901761/", L"http://h:4294967376/"}) {
        EXPECT_FALSE(Parse(bad)) << std::wstring(bad).c_str();
    }
}

TEST(ParseUrl, BracketedIpv6WithPort) {
    UrlPtr u = Parse(L"http://[::1]:8080/x");
    ASSERT_TRUE(u);
    EXPECT_STREQ(L"::1", u->host_w);
    EXPECT_STREQ("::1", u->host);
    EXPECT_EQ(1u, u->host_is_ipv6_literal);
    EXPECT_EQ(8080, u->port);
    EXPECT_EQ("[::1]:8080", u->HostPort());
    u = Parse(L"http://h:65535/");
    ASSERT_TRUE(u);
    EXPECT_EQ(65535, u->port);
}

TEST(ParseUrl, InternationalHostIsSentInIdnaForm) {
#ifndef _WIN32
    GTEST_SKIP() << "the native build has no libidn; its host stand-in takes ASCII names alone";
#endif
    UrlPtr u = Parse(L"http://b\u00fccher.example/");
    ASSERT_TRUE(u);
    EXPECT_STREQ(L"b\u00fccher.example", u->host_w);
    EXPECT_EQ("xn--bcher-kva.example", u->HostPort());
}

TEST(ParseUrl, QueryAndFragmentRules) {
    UrlPtr u = Parse(L"http://h/p?");
    ASSERT_TRUE(u);
    EXPECT_EQ(nullptr, u->query);
    EXPECT_EQ("/p", u->PathAndQuery());
    u = Parse(L"http://h/p?#f");
    ASSERT_TRUE(u);
    ASSERT_NE(nullptr, u->query);
    EXPECT_STREQ("", u->query);
    EXPECT_EQ("/p?", u->PathAndQuery());
    u = Parse(L"http://h/p?q=1#f");
    ASSERT_TRUE(u);
    EXPECT_STREQ("q=1", u->query);
    u = Parse(L"http://h/p#f?x");
    ASSERT_TRUE(u);
    EXPECT_STREQ("x", u->query) << "the first '?' after the path's start begins the query";
    u = Parse(L"http://h/p#frag");
    ASSERT_TRUE(u);
    EXPECT_EQ(nullptr, u->query);
    EXPECT_STREQ("/p", u->path);
    u = Parse(L"http://h/a?b c");
    ASSERT_TRUE(u);
    EXPECT_STREQ("b c", u->query) << "the query is sent as written";
}

TEST(ParseUrl, PathIsUtf8AndPercentEncodedKeepingSlashPercentPlus) {
    UrlPtr u = Parse(L"http://h/a b/%41~");
    ASSERT_TRUE(u);
    EXPECT_STREQ("/a+b/%41%7E", u->path);
    u = Parse(L"http://h/\u00e9+x");
    ASSERT_TRUE(u);
    EXPECT_STREQ("/%C3%A9+x", u->path);
}

TEST(NormalizeUrlInput, TrimsRemovesLineBreaksAndSuppliesThePath) {
    EXPECT_EQ(L"http://h/a", Normalized(L" http://h/a\r\n"));
    EXPECT_EQ(L"http://h/a b", Normalized(L"http://h/a\r\n b"));
    EXPECT_EQ(L"http://h/", Normalized(L"http://h"));
    EXPECT_EQ(L"http://h/?x=1", Normalized(L"http://h?x=1"));
    EXPECT_EQ(L"http://h/#top", Normalized(L"http://h#top"));
    EXPECT_EQ(L"HTTPS://h/x", Normalized(L"HTTPS://h/x"));
    EXPECT_EQ(L"https:///", Normalized(L"https://"));
    EXPECT_EQ(L"ftp://h", Normalized(L"ftp://h"));
    EXPECT_EQ(L"http:/h", Normalized(L"http:/h"));
    UrlPtr u = Parse(Normalized(L"http://h").c_str());
    ASSERT_TRUE(u);
    EXPECT_STREQ("/", u->path);
}

TEST(UrlEncode, EncodesEverythingOutsideTheUnreservedSet) {
    std::string out;
    UrlEncodeString("a b&c=/%+", out);
    EXPECT_EQ("a+b%26c%3D%2F%25%2B", out);
    UrlEncodeString("", out);
    EXPECT_EQ("", out);
    UrlEncodeString(std::string("~\0\xff-._", 6), out);
    EXPECT_EQ("%7E%00%FF-._", out);

    uint32_t length = 99;
    const uint8_t bytes[] = {'a', 0, '/'};
    std::unique_ptr<char[]> encoded(UrlEncode(bytes, 3, &length, "/"));
    EXPECT_STREQ("a%00/", encoded.get()) << "a NUL byte is never passed through";
    EXPECT_EQ(5u, length);
    encoded.reset(UrlEncode(bytes, -1, &length, nullptr));
    EXPECT_STREQ("", encoded.get());
    EXPECT_EQ(0u, length);
}

TEST(ResolveUrlReference, EveryReferenceFormAgainstTheRequestUrl) {
    // RFC 3986 section 5.4, with the fragment dropped: it is never sent.
    const char* const cases[][2] = {
        {"g", "http://a/b/c/g"},
        {"./g", "http://a/b/c/g"},
        {"/g", "http://a/g"},
        {"//g", "http://g"},
        {"?y", "http://a/b/c/d;p?y"},
        {"g?y", "http://a/b/c/g?y"},
        {"#s", "http://a/b/c/d;p?q"},
        {";x", "http://a/b/c/;x"},
        {".", "http://a/b/c/"},
        {"..", "http://a/b/"},
        {"../g", "http://a/b/g"},
        {"../..", "http://a/"},
        {"../../../../g", "http://a/g"},
        {"/../g", "http://a/g"},
        {"g.", "http://a/b/c/g."},
        {"..g", "http://a/b/c/..g"},
        {"./g/.", "http://a/b/c/g/"},
        {"g;x=1/../y", "http://a/b/c/y"},
        {"g?y/../x", "http://a/b/c/g?y/../x"},
        {"g#s/../x", "http://a/b/c/g"},
        {"HTTPS://h:8443/x/./y", "https://h:8443/x/y"},
        // What may not stand in a request target is encoded; escapes already there stay.
        {"a b/\xC3\xA9?q=1 2\t\r\x01\x7F\"#f", "http://a/b/c/a%20b/%C3%A9?q=1%202%09%0D%01%7F%22"},
        {"/%41?%7e<>", "http://a/%41?%7e%3C%3E"},
        {"a b:c", "http://a/b/c/a%20b:c"},
    };
    for (const auto& c : cases) {
        std::string target;
        EXPECT_TRUE(ResolveUrlReference("http://a/b/c/d;p?q", c[0], target)) << c[0];
        EXPECT_EQ(c[1], target) << c[0];
    }
    for (const char* bad :
         {"g:h", "ftp://a/", "http:g", "https:/g", "//a b/", "//a\r/", "//h\x01/", "//{h}/"}) {
        std::string target;
        EXPECT_FALSE(ResolveUrlReference("http://a/b", bad, target)) << bad;
    }
}
