#include "string_helpers.h"

#include "win_api.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>

// MinGW's libstdc++ always defines __USE_MINGW_ANSI_STDIO, which sends the standard names
// (vsnprintf, vswprintf) to MinGW's own C99 printf; there %s in a wide format reads an 8-bit
// string. The underscore names used below are the Microsoft runtime's own (msvcrt.dll), whose
// rules every format string of the service is written for.

namespace {

void FormatStringAV(std::string& out, const char* format, va_list args) {
    va_list measure;
    va_copy(measure, args);
    const int length = _vscprintf(format, measure);
    va_end(measure);
    // A string argument that cannot be converted to the other width fails the whole format.
    if (length < 0) {
        out.clear();
        return;
    }
    const size_t size = static_cast<size_t>(length) + 1;
    std::unique_ptr<char[]> buffer(new char[size]);
    buffer[0] = '\0';
    buffer[length] = '\0';
    va_list formatArgs;
    va_copy(formatArgs, args);
    const int written = _vsnprintf(buffer.get(), size, format, formatArgs);
    va_end(formatArgs);
    if (written < 0)
        out.clear();
    else
        out.assign(buffer.get());
}

} // namespace

void FormatStringA(std::string& out, const char* format, ...) {
    va_list args;
    va_start(args, format);
    FormatStringAV(out, format, args);
    va_end(args);
}

void FormatStringWV(std::wstring& out, const wchar_t* format, va_list args) {
    va_list measure;
    va_copy(measure, args);
    const int length = _vscwprintf(format, measure);
    va_end(measure);
    if (length < 0) {
        out.clear();
        return;
    }
    const size_t size = static_cast<size_t>(length) + 1;
    std::unique_ptr<wchar_t[]> buffer(new wchar_t[size]);
    buffer[0] = L'\0';
    buffer[length] = L'\0';
    va_list formatArgs;
    va_copy(formatArgs, args);
    const int written = _vsnwprintf(buffer.get(), size, format, formatArgs);
    va_end(formatArgs);
    if (written < 0)
        out.clear();
    else
        out.assign(buffer.get());
}

void FormatStringW(std::wstring& out, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    FormatStringWV(out, format, args);
    va_end(args);
}

std::wstring StrFormatW(const wchar_t* format, ...) {
    std::wstring out;
    va_list args;
    va_start(args, format);
    FormatStringWV(out, format, args);
    va_end(args);
    return out;
}

std::wstring FormatTimeW(time_t t, const wchar_t* format) {
    struct tm local;
    if (localtime_s(&local, &t) != 0)
        return std::wstring();
    wchar_t text[128];
    const size_t capacity = sizeof text / sizeof text[0];
    const size_t length = wcsftime(text, capacity, format, &local);
    // Wine's runtime reports a text that fills the whole buffer, leaving no room for the
    // terminator, as a success.
    if (length == 0 || length >= capacity)
        return std::wstring();
    return std::wstring(text, length);
}

char* StrDupA(const char* text) {
    const size_t size = strlen(text) + 1;
    char* copy = new char[size];
    memcpy(copy, text, size);
    return copy;
}

wchar_t* StrDupW(const wchar_t* text, size_t count) {
    if (count == static_cast<size_t>(-1))
        count = wcslen(text);
    wchar_t* copy = new wchar_t[count + 1];
    wmemcpy(copy, text, count);
    copy[count] = L'\0';
    return copy;
}

char* WideToAscii(const wchar_t* text) {
    const size_t length = wcslen(text);
    for (size_t i = 0; i < length; ++i) {
        if (static_cast<uint16_t>(text[i]) >= 128)
            return nullptr;
    }
    char* ascii = new char[length + 1];
    for (size_t i = 0; i <= length; ++i)
        ascii[i] = static_cast<char>(text[i]);
    return ascii;
}

wchar_t* AsciiToWide(const char* text) {
    const size_t length = strlen(text);
    for (size_t i = 0; i < length; ++i) {
        if (static_cast<unsigned char>(text[i]) >= 128)
            return nullptr;
    }
    wchar_t* wide = new wchar_t[length + 1];
    for (size_t i = 0; i <= length; ++i)
        wide[i] = static_cast<wchar_t>(text[i]);
    return wide;
}

char* WideToUtf8(const wchar_t* text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        return nullptr;
    char* utf8 = new char[size];
    if (WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, size, nullptr, nullptr) <= 0) {
        delete[] utf8;
        return nullptr;
    }
    return utf8;
}

wchar_t* Utf8ToWide(const char* text) {
    const int size = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    if (size <= 0)
        return nullptr;
    wchar_t* wide = new wchar_t[size];
    if (MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, size) <= 0) {
        delete[] wide;
        return nullptr;
    }
    return wide;
}

uint32_t* Utf16ToUtf32(const wchar_t* text) {
    const size_t length = wcslen(text);
    std::unique_ptr<uint32_t[]> points(new uint32_t[length + 1]);
    size_t count = 0;
    for (size_t i = 0; i < length; ++i) {
        const uint32_t unit = static_cast<uint16_t>(text[i]);
        if (unit < 0xD800 || unit > 0xDFFF) {
            points[count++] = unit;
            continue;
        }
        // A low surrogate cannot open a pair: taken as a high one it would make a value past
        // U+10FFFF.
        if (unit > 0xDBFF)
            return nullptr;
        const uint32_t low = static_cast<uint16_t>(text[i + 1]);
        if (low < 0xDC00 || low > 0xDFFF)
            return nullptr;
        points[count++] = (unit - 0xD800) * 0x400 + (low - 0xDC00) + 0x10000;
        ++i;
    }
    points[count] = 0;
    return points.release();
}

int32_t ParseLong(const char* text, int base, int32_t fallback) {
    if (*text == '\0')
        return fallback;
    // Parsed at 64 bits and range-checked here, so that the result is the same where long has 64.
    errno = 0;
    char* end = nullptr;
    const long long value = strtoll(text, &end, base);
    if (*end != '\0')
        return fallback;
    if (errno == ERANGE || value < INT32_MIN || value > INT32_MAX)
        return fallback;
    return static_cast<int32_t>(value);
}

uint32_t ParseULong(const char* text) {
    if (*text == '\0')
        return 0;
    // strtoul negates a text with a minus sign in unsigned arithmetic, which would turn
    // "-4294901761" into 65535; a negative text is no unsigned number.
    const char* first = text;
    while (isspace(static_cast<unsigned char>(*first)))
        ++first;
    if (*first == '-')
        return 0;
    errno = 0;
    char* end = nullptr;
    const unsigned long long value = strtoull(text, &end, 10);
    if (*end != '\0')
        return 0;
    if (errno == ERANGE || value > UINT32_MAX)
        return 0;
    return static_cast<uint32_t>(value);
}

int64_t ParseInt64(const char* text) {
    const int64_t fallback = INT64_MIN;
    if (*text == '\0')
        return fallback;
    errno = 0;
    char* end = nullptr;
    const int64_t value = _strtoi64(text, &end, 10);
    if (*end != '\0')
        return fallback;
    if ((value == INT64_MAX || value == INT64_MIN) && errno == ERANGE)
        return fallback;
    return value;
}

int ToLowerChar(char c) {
    return tolower(static_cast<signed char>(c));
}

void TrimW(std::wstring& text) {
    static const wchar_t kBlanks[] = L" \t\r\n";
    const size_t first = text.find_first_not_of(kBlanks);
    if (first == std::wstring::npos) {
        text.clear();
        return;
    }
    text.erase(0, first);
    text.erase(text.find_last_not_of(kBlanks) + 1);
}

uint32_t HashOneAtATime16(const uint8_t* bytes) {
    uint32_t hash = 0;
    for (int i = 0; i < 16; ++i) {
        hash += bytes[i];
        hash += hash << 10;
        hash ^= hash >> 6;
    }
    hash += hash << 3;
    hash ^= hash >> 11;
    hash += hash << 15;
    return hash;
}
