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
