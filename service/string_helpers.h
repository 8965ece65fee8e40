#pragma once
// Formatting, duplication, conversion and parsing helpers shared by every part of the service.
//
// Format strings follow the Microsoft runtime's printf rules, whatever MinGW's own printf does:
// in a wide format %s takes a UTF-16 string and %S an 8-bit one, in a narrow format the other way
// round; %I64d and the ll modifier take 64-bit integers.
//
// Helpers that return a raw buffer allocate it with new[]; the caller frees it with delete[].
// Conversions report failure by a null result; number parsers return a fixed default instead.
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

void FormatStringA(std::string& out, const char* format, ...) __attribute__((format(ms_printf, 2, 3)));
void FormatStringW(std::wstring& out, const wchar_t* format, ...);
void FormatStringWV(std::wstring& out, const wchar_t* format, va_list args);
std::wstring StrFormatW(const wchar_t* format, ...);

// The local time of t through wcsftime, at most 127 units; empty when the time cannot be
// converted or the text does not fit.
std::wstring FormatTimeW(time_t t, const wchar_t* format);

char* StrDupA(const char* text);
// Copies the first count units of text and a terminator; the source needs no terminator within
// count. The default (all bits set) copies up to the terminator.
wchar_t* StrDupW(const wchar_t* text, size_t count = static_cast<size_t>(-1));

// Null when any unit or byte is 128 or more.
char* WideToAscii(const wchar_t* text);
wchar_t* AsciiToWide(const char* text);
// Through code page 65001; null when the conversion yields nothing.
char* WideToUtf8(const wchar_t* text);
wchar_t* Utf8ToWide(const char* text);
// Code points ending in 0; null for a broken surrogate pair.
uint32_t* Utf16ToUtf32(const wchar_t* text);

// The whole text must be the number (strtol's leading blanks, sign and, in base 16, 0x prefix
// allowed); empty text, anything left over, or a value out of range gives the default.
int32_t ParseLong(const char* text, int base, int32_t fallback);
// Base 10; 0 when the text is not wholly an unsigned 32-bit number.
uint32_t ParseULong(const char* text);
// Base 10; the smallest 64-bit value when the text is not wholly a signed 64-bit number.
int64_t ParseInt64(const char* text);

// tolower of c taken as a signed byte; the runtime's locale is never changed, so only A-Z change.
int ToLowerChar(char c);

// Removes blanks, tabs, carriage returns and line feeds from both ends.
void TrimW(std::wstring& text);

// Bob Jenkins' one-at-a-time hash of exactly 16 bytes (a digest folded to 32 bits).
uint32_t HashOneAtATime16(const uint8_t* bytes);
