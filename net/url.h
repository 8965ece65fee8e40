#pragma once
// The parsed form of an absolute http or https URL, its parser and composers, and the
// percent-encoder that the parser and form bodies share.
#include <cstdint>
#include <string>

struct UrlParts {
    UrlParts() = default;
    UrlParts(const UrlParts&) = delete;
    UrlParts& operator=(const UrlParts&) = delete;

    // Frees the four texts; the owner calls it before deleting the record.
    void FreeStrings();

    // The request target without a proxy: path, and "?" with the query when there is one.
    std::string PathAndQuery() const;
    // The Host field: the ASCII host (bracketed for IPv6), and the port unless it is the default.
    std::string HostPort() const;
    // The request target through a proxy.
    std::string ToString() const;

    uint32_t https;
    wchar_t* host_w = nullptr; // as written in the URL, without brackets
    char* host = nullptr;      // ASCII form of host_w
    uint32_t host_is_ipv6_literal;
    int32_t port;
    char* path = nullptr;  // UTF-8, percent-encoded, from the first "/"
    char* query = nullptr; // ASCII, as written; null when the URL has none
};

// Tidies URL text in place before it is parsed: outer blanks and every CR and LF go, and an
// http or https URL without a path gets "/".
void NormalizeUrlInput(std::wstring& url);
// A new record (owned by the caller), or null when the text is not an absolute http or https URL
// this client accepts.
UrlParts* ParseUrl(const wchar_t* url);

// Resolves a URI reference, such as a Location value, against the absolute http or https URL base
// (RFC 3986 section 5.2, dot segments removed) into an absolute URL without its fragment, every
// byte of its path and query that may not stand in a request target percent-encoded. False when
// the reference names another scheme, an http URL without a host, or an authority with a byte that
// no host or port holds.
bool ResolveUrlReference(const std::string& base, const std::string& reference, std::string& target);

// Percent-encodes bytes (blank as "+"); bytes of passThrough are copied as they are. A new[]
// buffer; outLength, when given, receives its length without the terminator.
char* UrlEncode(const uint8_t* bytes, int32_t count, uint32_t* outLength, const char* passThrough);
void UrlEncodeString(const std::string& in, std::string& out);
