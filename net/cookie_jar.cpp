#include "cookie_jar.h"

#include "counted_ref.h"
#include "ht_client.h"
#include "ht_tokens.h"
#include "string_helpers.h"

#include <cstring>
#include <vector>

namespace {

bool StartsWithNoCase(const std::string& text, const char* prefix) {
    return _strnicmp(text.c_str(), prefix, strlen(prefix)) == 0;
}

bool EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// A control byte (a bare CR among them) would end or split the Cookie line it is sent in.
bool HasControlBytes(const std::string& text) {
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7F)
            return true;
    }
    return false;
}

// An address has no subdomains: 0.0.1 is no parent of 10.0.0.1. Only an IPv6 address holds a
// colon, and a host whose last label is a number is IPv4 to the address parser (127.1 and
// 0x7f.0.0.1 too), while no top-level domain is one. The host is already lower-cased.
bool IsIpAddress(const std::string& host) {
    if (host.find(':') != std::string::npos)
        return true;
    std::string label = host;
    if (!label.empty() && label.back() == '.')
        label.pop_back();
    label.erase(0, label.rfind('.') + 1);
    if (label.compare(0, 2, "0x") == 0)
        return label.find_first_not_of("0123456789abcdef", 2) == std::string::npos;
    return !label.empty() && label.find_first_not_of("0123456789") == std::string::npos;
}

// The host ends in suffix with more before it; an address never does, having no subdomains.
bool LongerWithSuffix(const std::string& host, const std::string& suffix) {
    return !IsIpAddress(host) && host.size() > suffix.size() && EndsWith(host, suffix);
}

// The request host must be the domain or one of its subdomains; otherwise any server could set
// cookies that are sent to every other site.
bool DomainMatches(const std::string& host, std::string domain) {
    if (!domain.empty() && domain[0] == '.')
        domain.erase(0, 1);
    if (domain.empty())
        return false;
    return host == domain || (LongerWithSuffix(host, domain) && host[host.size() - domain.size() - 1] == '.');
}

// A stored domain with a leading dot covers its subdomains only; any other covers itself too.
// Either way the match ends at a label boundary, so a cookie of a.test never reaches evila.test.
bool CookieCoversHost(const std::string& host, const std::string& domain) {
    if (!domain.empty() && domain[0] == '.')
        return LongerWithSuffix(host, domain);
    return DomainMatches(host, domain);
}

} // namespace

bool HtCookieEquals(const HtCookie& a, const HtCookie& b) {
    return a.name == b.name && a.domain == b.domain && a.path == b.path;
}

void StrToLower(std::string& text) {
    for (char& c : text)
        c = static_cast<char>(ToLowerChar(c));
}

template <class TSocket>
void CHtClient<TSocket>::StoreSetCookie(HtCookieJar* jar, const UrlParts& url, const std::string& value) {
    std::vector<std::string> pieces;
    SplitString(value, pieces, ';');
    if (pieces.empty())
        return;
    HtCookie cookie;
    for (size_t i = 1; i < pieces.size(); ++i) {
        const std::string& piece = pieces[i];
        if (StartsWithNoCase(piece, "domain="))
            cookie.domain = piece.substr(7);
        else if (StartsWithNoCase(piece, "path="))
            cookie.path = piece.substr(5);
        else if (_stricmp(piece.c_str(), "secure") != 0 && !StartsWithNoCase(piece, "expires="))
            return; // an attribute this jar cannot honour: better no cookie than a wrong one
    }
    std::string host = url.host;
    StrToLower(host);
    StrToLower(cookie.domain);
    if (cookie.domain.empty())
        cookie.domain = host;
    else if (!DomainMatches(host, cookie.domain))
        return;
    if (cookie.path.empty())
        cookie.path = url.path;
    size_t equals = pieces[0].find('=');
    if (equals == std::string::npos || equals == 0)
        return;
    cookie.name = pieces[0].substr(0, equals);
    cookie.value = pieces[0].substr(equals + 1);
    if (HasControlBytes(cookie.name) || HasControlBytes(cookie.value))
        return;
    if (cookie.name.size() + cookie.value.size() + cookie.domain.size() + cookie.path.size() >
        kMaxCookieBytes)
        return;
    CLockHold hold(&jar->lock);
    for (HtCookie& stored : jar->cookies) {
        if (HtCookieEquals(stored, cookie)) {
            stored = std::move(cookie);
            return;
        }
    }
    if (jar->cookies.size() < kMaxJarCookies)
        jar->cookies.push_back(std::move(cookie));
}

template <class TSocket>
bool CHtClient<TSocket>::AddCookieHeader(HtCookieJar* jar, const UrlParts& url, std::string& out) {
    std::string host = url.host;
    StrToLower(host);
    std::string path = url.path;
    out.clear();
    CLockHold hold(&jar->lock);
    for (const HtCookie& cookie : jar->cookies) {
        if (!CookieCoversHost(host, cookie.domain) || path.compare(0, cookie.path.size(), cookie.path) != 0)
            continue;
        if (!out.empty())
            out += "; ";
        out += cookie.name + "=" + cookie.value;
    }
    return !out.empty();
}

template void CHtClient<CSslSocket<CBlockingSocket>>::StoreSetCookie(HtCookieJar*, const UrlParts&,
                                                                     const std::string&);
template bool CHtClient<CSslSocket<CBlockingSocket>>::AddCookieHeader(HtCookieJar*, const UrlParts&,
                                                                      std::string&);
