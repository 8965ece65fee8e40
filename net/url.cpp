#include "url.h"

#include "host_ascii.h"
#include "string_helpers.h"
#include "url_scheme.h"

#include <cstring>
#include <memory>

namespace {

const int kHttpPort = 80;
const int kHttpsPort = 443;

// The length of an "http://" or "https://" prefix; 0 when the text has neither.
size_t SchemePrefixLength(const wchar_t* text, uint32_t* https) {
    if (StartsWithNoCase(text, L"http://", 7)) {
        *https = 0;
        return 7;
    }
    if (StartsWithNoCase(text, L"https://", 8)) {
        *https = 1;
        return 8;
    }
    return 0;
}

// The record under construction; freed with its texts unless released.
struct CUrlBuild {
    std::unique_ptr<UrlParts> parts{new UrlParts};
    ~CUrlBuild() {
        if (parts)
            parts->FreeStrings();
    }
};

char* AsciiOf(const std::wstring& text) {
    return WideToAscii(text.c_str());
}

// A URI reference split as RFC 3986 appendix B splits it.
struct CReference {
    std::string scheme;
    bool hasAuthority = false;
    std::string authority;
    std::string path;
    bool hasQuery = false;
    std::string query;
};

bool IsAlpha(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool IsDigit(unsigned char c) {
    return c >= '0' && c <= '9';
}

// RFC 3986 section 3.1; text before a colon that is not one starts a relative path instead.
bool IsScheme(const std::string& text) {
    if (text.empty() || !IsAlpha(text[0]))
        return false;
    for (unsigned char c : text) {
        if (!IsAlpha(c) && !IsDigit(c) && c != '+' && c != '-' && c != '.')
            return false;
    }
    return true;
}

CReference SplitReference(const std::string& text) {
    CReference ref;
    size_t pos = 0;
    size_t mark = text.find_first_of(":/?#");
    if (mark != std::string::npos && text[mark] == ':' && IsScheme(text.substr(0, mark))) {
        ref.scheme = text.substr(0, mark);
        pos = mark + 1;
    }
    if (text.compare(pos, 2, "//") == 0) {
        size_t end = text.find_first_of("/?#", pos + 2);
        if (end == std::string::npos)
            end = text.size();
        ref.hasAuthority = true;
        ref.authority = text.substr(pos + 2, end - pos - 2);
        pos = end;
    }
    size_t end = text.find_first_of("?#", pos);
    if (end == std::string::npos)
        end = text.size();
    ref.path = text.substr(pos, end - pos);
    if (end < text.size() && text[end] == '?') {
        size_t fragment = text.find('#', end + 1);
        ref.hasQuery = true;
        ref.query =
            text.substr(end + 1, fragment == std::string::npos ? std::string::npos : fragment - end - 1);
    }
    return ref;
}

void DropLastSegment(std::string& out) {
    size_t slash = out.rfind('/');
    out.erase(slash == std::string::npos ? 0 : slash);
}

// RFC 3986 section 5.2.4.
std::string RemoveDotSegments(const std::string& path) {
    std::string out;
    const size_t n = path.size();
    size_t i = 0;
    auto at = [&](const char* text) { return path.compare(i, strlen(text), text) == 0; };
    auto rest = [&](const char* text) { return n - i == strlen(text) && at(text); };
    while (i < n) {
        if (at("../")) {
            i += 3;
        } else if (at("./") || at("/./")) {
            i += 2;
        } else if (rest("/.")) {
            out += '/';
            i = n;
        } else if (at("/../")) {
            DropLastSegment(out);
            i += 3;
        } else if (rest("/..")) {
            DropLastSegment(out);
            out += '/';
            i = n;
        } else if (rest(".") || rest("..")) {
            i = n;
        } else {
            size_t next = path.find('/', i + 1);
            if (next == std::string::npos)
                next = n;
            out.append(path, i, next - i);
            i = next;
        }
    }
    return out;
}

// The bytes a path segment or a query may hold as they are (RFC 3986 sections 3.3 and 3.4): the
// unreserved ones, the sub-delimiters, ":" and "@", and "%", which already-encoded text keeps.
bool MayStandInTarget(unsigned char c, const char* extra) {
    return IsAlpha(c) || IsDigit(c) || (c != 0 && strchr("-._~!$&'()*+,;=:@%", c) != nullptr) ||
           (c != 0 && strchr(extra, c) != nullptr);
}

void AppendEncoded(std::string& out, const std::string& text, const char* extra) {
    static const char kHex[] = "0123456789ABCDEF";
    for (unsigned char c : text) {
        if (MayStandInTarget(c, extra)) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
}

// Blanks, control bytes and the delimiters RFC 3986 excludes never belong to a host or port;
// bytes from 0x80 on may, for an international name.
bool IsAuthorityText(const std::string& text) {
    for (unsigned char c : text) {
        if (c <= 0x20 || c == 0x7F || strchr("\"<>\\^`{|}", c) != nullptr)
            return false;
    }
    return true;
}

} // namespace

void UrlParts::FreeStrings() {
    delete[] host_w;
    delete[] host;
    delete[] path;
    delete[] query;
    host_w = nullptr;
    host = nullptr;
    path = nullptr;
    query = nullptr;
}

std::string UrlParts::PathAndQuery() const {
    std::string text = path;
    if (query != nullptr) {
        text += '?';
        text += query;
    }
    return text;
}

std::string UrlParts::HostPort() const {
    std::string text;
    if (host_is_ipv6_literal)
        FormatStringA(text, "[%s]", host);
    else
        text = host;
    if (port != (https ? kHttpsPort : kHttpPort)) {
        std::string suffix;
        FormatStringA(suffix, ":%d", port);
        text += suffix;
    }
    return text;
}

std::string UrlParts::ToString() const {
    return std::string(https ? "https://" : "http://") + HostPort() + PathAndQuery();
}

void NormalizeUrlInput(std::wstring& url) {
    TrimW(url);
    for (wchar_t removed : {L'\r', L'\n'}) {
        size_t at;
        while ((at = url.find(removed)) != std::wstring::npos)
            url.erase(at, 1);
    }
    uint32_t https;
    size_t start = SchemePrefixLength(url.c_str(), &https);
    if (start == 0)
        return;
    size_t end = url.find(L'?', start);
    if (end == std::wstring::npos)
        end = url.find(L'#', start);
    if (end == std::wstring::npos)
        end = url.size();
    if (url.find(L'/', start) >= end)
        url.insert(end, 1, L'/');
}

UrlParts* ParseUrl(const wchar_t* url) {
    const std::wstring text(url);
    CUrlBuild build;
    UrlParts& parts = *build.parts;
    size_t start = SchemePrefixLength(text.c_str(), &parts.https);
    if (start == 0)
        return nullptr;
    size_t slash = text.find(L'/', start);
    if (slash == std::wstring::npos)
        return nullptr;

    size_t hostBegin, hostEnd, afterHost;
    if (text[start] == L'[') {
        hostBegin = start + 1;
        hostEnd = text.find(L']', hostBegin);
        if (hostEnd == std::wstring::npos || hostEnd >= slash)
            return nullptr;
        afterHost = hostEnd + 1;
        parts.host_is_ipv6_literal = 1;
    } else {
        if (slash == start)
            return nullptr;
        hostBegin = start;
        hostEnd = text.find(L':', start);
        if (hostEnd == std::wstring::npos || hostEnd > slash)
            hostEnd = slash;
        afterHost = hostEnd;
        parts.host_is_ipv6_literal = 0;
    }
    if (hostEnd == hostBegin)
        return nullptr;
    parts.host_w = StrDupW(text.c_str() + hostBegin, hostEnd - hostBegin);
    parts.host = HostToAscii(parts.host_w);
    if (parts.host == nullptr)
        return nullptr;

    if (afterHost == slash) {
        parts.port = parts.https ? kHttpsPort : kHttpPort;
    } else {
        if (text[afterHost] != L':')
            return nullptr;
        std::unique_ptr<char[]> portText(AsciiOf(text.substr(afterHost + 1, slash - afterHost - 1)));
        if (!portText)
            return nullptr;
        uint32_t port = ParseULong(portText.get());
        if (port < 1 || port > 65535)
            return nullptr;
        parts.port = static_cast<int32_t>(port);
    }

    size_t pathEnd;
    size_t question = text.find(L'?', slash);
    if (question != std::wstring::npos && question + 1 < text.size()) {
        size_t fragment = text.find(L'#', question + 1);
        parts.query = AsciiOf(text.substr(
            question + 1, fragment == std::wstring::npos ? std::wstring::npos : fragment - question - 1));
        if (parts.query == nullptr)
            return nullptr;
        pathEnd = question;
    } else if (question != std::wstring::npos) {
        pathEnd = question;
    } else {
        pathEnd = text.find(L'#', slash);
        if (pathEnd == std::wstring::npos)
            pathEnd = text.size();
    }

    std::unique_ptr<char[]> path8(WideToUtf8(text.substr(slash, pathEnd - slash).c_str()));
    if (!path8)
        return nullptr;
    parts.path = UrlEncode(reinterpret_cast<const uint8_t*>(path8.get()),
                           static_cast<int32_t>(strlen(path8.get())), nullptr, "/%+");
    return build.parts.release();
}

bool ResolveUrlReference(const std::string& base, const std::string& reference, std::string& target) {
    const CReference from = SplitReference(base);
    const CReference ref = SplitReference(reference);
    CReference to;
    if (!ref.scheme.empty()) {
        to = ref;
        for (char& c : to.scheme)
            c = static_cast<char>(ToLowerChar(c));
        if ((to.scheme != "http" && to.scheme != "https") || !ref.hasAuthority)
            return false;
        to.path = RemoveDotSegments(ref.path);
    } else {
        to.scheme = from.scheme;
        to.hasAuthority = true;
        to.authority = ref.hasAuthority ? ref.authority : from.authority;
        to.hasQuery = ref.hasQuery;
        to.query = ref.query;
        if (ref.hasAuthority || (!ref.path.empty() && ref.path[0] == '/')) {
            to.path = RemoveDotSegments(ref.path);
        } else if (ref.path.empty()) {
            to.path = from.path;
            if (!ref.hasQuery) {
                to.hasQuery = from.hasQuery;
                to.query = from.query;
            }
        } else {
            // Merged with the base's path up to its last "/" (RFC 3986 section 5.2.3).
            std::string directory = from.path.empty() ? "/" : from.path.substr(0, from.path.rfind('/') + 1);
            to.path = RemoveDotSegments(directory + ref.path);
        }
    }
    if (!IsAuthorityText(to.authority))
        return false;
    target = to.scheme + "://" + to.authority;
    AppendEncoded(target, to.path, "/");
    if (to.hasQuery) {
        target += '?';
        AppendEncoded(target, to.query, "/?");
    }
    return true;
}

char* UrlEncode(const uint8_t* bytes, int32_t count, uint32_t* outLength, const char* passThrough) {
    static const char kHex[] = "0123456789ABCDEF";
    size_t n = count > 0 ? static_cast<size_t>(count) : 0;
    char* out = new char[3 * n + 1];
    char* p = out;
    for (size_t i = 0; i < n; ++i) {
        uint8_t c = bytes[i];
        if (passThrough != nullptr && c != 0 && strchr(passThrough, c) != nullptr) {
            *p++ = static_cast<char>(c);
        } else if (c == ' ') {
            *p++ = '+';
        } else if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                   c == '.' || c == '_') {
            *p++ = static_cast<char>(c);
        } else {
            *p++ = '%';
            *p++ = kHex[c >> 4];
            *p++ = kHex[c & 15];
        }
    }
    *p = '\0';
    if (outLength != nullptr)
        *outLength = static_cast<uint32_t>(p - out);
    return out;
}

void UrlEncodeString(const std::string& in, std::string& out) {
    uint32_t length;
    std::unique_ptr<char[]> encoded(UrlEncode(reinterpret_cast<const uint8_t*>(in.data()),
                                              static_cast<int32_t>(in.size()), &length, nullptr));
    out.assign(encoded.get(), length);
}
