// The native Linux build of the URL and head parsers, for sanitizers and fuzzing: these stand in
// for what the Windows build takes from the runtime library, Winsock and libidn. Wide text is
// UTF-16 held in wchar_t units, as on Windows.
#include "host_ascii.h"
#include "string_helpers.h"
#include "url_scheme.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

bool StartsWithNoCase(const wchar_t* text, const wchar_t* prefix, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        wchar_t a = text[i], b = prefix[i];
        if (a >= L'A' && a <= L'Z')
            a += L'a' - L'A';
        if (b >= L'A' && b <= L'Z')
            b += L'a' - L'A';
        if (a != b)
            return false;
        if (a == 0)
            break;
    }
    return true;
}

// ASCII hosts pass as written; names beyond ASCII are left to the Windows build, which has libidn.
char* HostToIdnaAscii(const wchar_t* host) {
    return WideToAscii(host);
}

char* HostToAscii(const wchar_t* host) {
    return HostToIdnaAscii(host);
}

void FormatStringA(std::string& out, const char* format, ...) {
    va_list args, measure;
    va_start(args, format);
    va_copy(measure, args);
    int length = vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0)
        vsnprintf(&text[0], static_cast<size_t>(length) + 1, format, args);
    va_end(args);
    out.swap(text);
}

wchar_t* StrDupW(const wchar_t* text, size_t count) {
    if (count == static_cast<size_t>(-1))
        count = wcslen(text);
    wchar_t* copy = new wchar_t[count + 1];
    wmemcpy(copy, text, count);
    copy[count] = 0;
    return copy;
}

char* WideToAscii(const wchar_t* text) {
    size_t n = wcslen(text);
    char* out = new char[n + 1];
    for (size_t i = 0; i <= n; ++i) {
        if (static_cast<uint32_t>(text[i]) >= 128) {
            delete[] out;
            return nullptr;
        }
        out[i] = static_cast<char>(text[i]);
    }
    return out;
}

// UTF-16 units to UTF-8; a lone surrogate becomes U+FFFD, as WideCharToMultiByte makes it.
char* WideToUtf8(const wchar_t* text) {
    std::string out;
    for (size_t i = 0; text[i] != 0; ++i) {
        uint32_t c = static_cast<uint32_t>(text[i]) & 0xFFFF;
        if (c >= 0xD800 && c <= 0xDBFF && (static_cast<uint32_t>(text[i + 1]) & 0xFC00) == 0xDC00) {
            c = 0x10000 + ((c - 0xD800) << 10) + ((static_cast<uint32_t>(text[++i]) & 0xFFFF) - 0xDC00);
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | c >> 12);
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | c >> 18);
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    char* copy = new char[out.size() + 1];
    memcpy(copy, out.c_str(), out.size() + 1);
    return copy;
}

int32_t ParseLong(const char* text, int base, int32_t fallback) {
    if (*text == 0)
        return fallback;
    errno = 0;
    char* end;
    long value = strtol(text, &end, base);
    if (*end != 0 || errno == ERANGE || value > INT32_MAX || value < INT32_MIN)
        return fallback;
    return static_cast<int32_t>(value);
}

uint32_t ParseULong(const char* text) {
    if (*text == 0)
        return 0;
    errno = 0;
    char* end;
    unsigned long value = strtoul(text, &end, 10);
    if (*end != 0 || errno == ERANGE || value > UINT32_MAX)
        return 0;
    return static_cast<uint32_t>(value);
}

void TrimW(std::wstring& text) {
    const wchar_t* blanks = L" \t\r\n";
    size_t first = text.find_first_not_of(blanks);
    if (first == std::wstring::npos) {
        text.clear();
        return;
    }
    text.erase(0, first);
    text.erase(text.find_last_not_of(blanks) + 1);
}
