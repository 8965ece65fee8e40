#include "string_helpers.h"
#include "win_api.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <memory>
#include <regex>

namespace {

std::wstring FormatThroughList(const wchar_t* format, ...) {
    std::wstring out = L"stale";
    va_list args;
    va_start(args, format);
    FormatStringWV(out, format, args);
    va_end(args);
    return out;
}

} // namespace

TEST(FormatString, WideFormatTakesWideForLowerSAndNarrowForUpperS) {
    std::wstring out = L"previous text";
    FormatStringW(out, L"%s|%S|%c|%C", L"wide", "narrow", L'w', 'n');
    EXPECT_EQ(L"wide|narrow|w|n", out);
    EXPECT_EQ(L"wide|narrow", StrFormatW(L"%s|%S", L"wide", "narrow"));
    EXPECT_EQ(L"wide|narrow", FormatThroughList(L"%s|%S", L"wide", "narrow"));
    EXPECT_EQ(L"%tmp", StrFormatW(L"%%%s", L"tmp"));
}

TEST(FormatString, NarrowFormatTakesNarrowForLowerSAndWideForUpperS) {
    std::string out = "previous text";
    FormatStringA(out, "%s|%S", "narrow", L"wide");
    EXPECT_EQ("narrow|wide", out);
}

TEST(FormatString, SixtyFourBitModifiersConsumeWholeArguments) {
    std::string narrow;
    FormatStringA(narrow, "%I64d %llX %d %I64u", static_cast<int64_t>(INT64_MIN), 0x123456789ABCDEF0ULL, 7,
                  static_cast<uint64_t>(UINT64_MAX));
    EXPECT_EQ("-9223372036854775808 123456789ABCDEF0 7 18446744073709551615", narrow);

    // The crash report's file name: a misread 64-bit field shifts every later argument.
    std::wstring name;
    FormatStringW(name, L"%d%d%d%d_%s_%s_%08X_%016llX_%08X_%08X_%s.txt", 1, 0, 2, 0, L"volarixsvc.exe",
                  L"x64", 0xABCu, 0x00007FF612340000ULL, 0xC0000005u, 0x1234u, L"20261207230225");
    EXPECT_EQ(L"1020_volarixsvc.exe_x64_00000ABC_00007FF612340000_C0000005_00001234_20261207230225.txt",
              name);
}

TEST(FormatString, LongOutputIsNotCut) {
    const std::wstring wide(10000, L'w');
    std::wstring out;
    FormatStringW(out, L"<%s>", wide.c_str());
    EXPECT_EQ(L"<" + wide + L">", out);

    const std::string narrow(10000, 'n');
    std::string narrow_out;
    FormatStringA(narrow_out, "<%s>", narrow.c_str());
    EXPECT_EQ("<" + narrow + ">", narrow_out);
}

TEST(FormatString, TextEndsAtAFormattedNul) {
    EXPECT_EQ(L"ab", StrFormatW(L"ab%cd", 0));
}

TEST(FormatString, UnconvertibleArgumentGivesEmptyTextNotStaleText) {
    // The runtime cannot narrow U+0100 in its C locale and fails the whole format.
    std::string out = "stale";
    FormatStringA(out, "x%Sy", L"\u0100");
    EXPECT_EQ("", out);
}

TEST(FormatTime, UsesLocalTimeAndEnglishMonthNames) {
    const time_t t = 1796684545;
    struct tm local;
    ASSERT_EQ(0, localtime_s(&local, &t));
    static const wchar_t* const kMonths[] = {L"Jan", L"Feb", L"Mar", L"Apr", L"May", L"Jun",
                                             L"Jul", L"Aug", L"Sep", L"Oct", L"Nov", L"Dec"};
    const std::wstring expected =
        StrFormatW(L"%02d-%s-%02d %02d:%02d:%02d", local.tm_mday, kMonths[local.tm_mon], local.tm_year % 100,
                   local.tm_hour, local.tm_min, local.tm_sec);
    EXPECT_EQ(expected, FormatTimeW(t, L"%d-%b-%y %H:%M:%S"));

    const std::wstring stamp = FormatTimeW(t, L"%Y%m%d%H%M%S");
    EXPECT_TRUE(std::regex_match(std::string(stamp.begin(), stamp.end()), std::regex("[0-9]{14}")));
}

TEST(FormatTime, EmptyWhenTooLongOrNotConvertible) {
    const time_t kDay2 = 2 * 86400;
    EXPECT_EQ(std::wstring(127, L'x'), FormatTimeW(kDay2, std::wstring(127, L'x').c_str()));
    EXPECT_EQ(L"", FormatTimeW(kDay2, std::wstring(128, L'x').c_str()));
    EXPECT_EQ(L"", FormatTimeW(-1, L"%Y"));
}

TEST(StrDup, CopiesWithTerminator) {
    std::unique_ptr<char[]> narrow(StrDupA("abc"));
    EXPECT_STREQ("abc", narrow.get());

    std::unique_ptr<wchar_t[]> whole(StrDupW(L"abcdef"));
    EXPECT_STREQ(L"abcdef", whole.get());
    std::unique_ptr<wchar_t[]> prefix(StrDupW(L"abcdef", 3));
    EXPECT_STREQ(L"abc", prefix.get());
    const wchar_t unterminated[2] = {L'x', L'y'};
    std::unique_ptr<wchar_t[]> exact(StrDupW(unterminated, 2));
    EXPECT_STREQ(L"xy", exact.get());
}

TEST(AsciiConversion, RejectsUnitsOfOneHundredTwentyEightOrMore) {
    EXPECT_EQ(nullptr, std::unique_ptr<char[]>(WideToAscii(L"caf\u00e9")).get());
    EXPECT_EQ(nullptr, std::unique_ptr<char[]>(WideToAscii(L"\u0180")).get());
    EXPECT_EQ(nullptr, std::unique_ptr<wchar_t[]>(AsciiToWide("caf\xc3\xa9")).get());
    EXPECT_EQ(nullptr, std::unique_ptr<wchar_t[]>(AsciiToWide("\x80")).get());

    std::unique_ptr<char[]> ascii(WideToAscii(L"text/plain\x7f"));
    EXPECT_STREQ("text/plain\x7f", ascii.get());
    std::unique_ptr<wchar_t[]> wide(AsciiToWide("Content-Type\x7f"));
    EXPECT_STREQ(L"Content-Type\x7f", wide.get());
}

TEST(AsciiConversion, EmptyTextGivesOnlyTheTerminator) {
    std::unique_ptr<char[]> ascii(WideToAscii(L""));
    ASSERT_NE(nullptr, ascii.get());
    EXPECT_EQ('\0', ascii[0]);
    std::unique_ptr<wchar_t[]> wide(AsciiToWide(""));
    ASSERT_NE(nullptr, wide.get());
    EXPECT_EQ(L'\0', wide[0]);
}

TEST(Utf8Conversion, RoundTripsEveryPlane) {
    // The last character as its surrogate pair: the native build holds UTF-16 in 32-bit units too.
    const wchar_t* text = L"a\u00e9\u20ac\xD83D\xDE00";
    std::unique_ptr<char[]> utf8(WideToUtf8(text));
    ASSERT_NE(nullptr, utf8.get());
    EXPECT_STREQ("a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", utf8.get());
    std::unique_ptr<wchar_t[]> back(Utf8ToWide(utf8.get()));
    ASSERT_NE(nullptr, back.get());
    EXPECT_STREQ(text, back.get());
}

TEST(Utf8Conversion, EmptyTextGivesOnlyTheTerminator) {
    std::unique_ptr<char[]> utf8(WideToUtf8(L""));
    ASSERT_NE(nullptr, utf8.get());
    EXPECT_EQ('\0', utf8[0]);
    std::unique_ptr<wchar_t[]> wide(Utf8ToWide(""));
    ASSERT_NE(nullptr, wide.get());
    EXPECT_EQ(L'\0', wide[0]);
}

TEST(Utf16ToUtf32, JoinsPairsAndRejectsBrokenOnes) {
    std::unique_ptr<uint32_t[]> points(Utf16ToUtf32(L"a\xD83D\xDE00z\xDBFF\xDFFF"));
    ASSERT_NE(nullptr, points.get());
    const uint32_t expected[] = {0x61, 0x1F600, 0x7A, 0x10FFFF, 0};
    EXPECT_EQ(0, memcmp(expected, points.get(), sizeof expected));

    const wchar_t* const broken[] = {L"\xD800",       L"ab\xD800", L"\xD800\x0041", L"\xD800\xD800\xDC00",
                                     L"\xDC00\xDC00", L"\xDFFF"};
    for (const wchar_t* text : broken)
        EXPECT_EQ(nullptr, std::unique_ptr<uint32_t[]>(Utf16ToUtf32(text)).get())
            << "unit " << std::hex << text[0];

    std::unique_ptr<uint32_t[]> empty(Utf16ToUtf32(L""));
    ASSERT_NE(nullptr, empty.get());
    EXPECT_EQ(0u, empty[0]);
}

TEST(ParseLong, ReturnsTheDefaultUnlessTheWholeTextIsANumber) {
    const int32_t none = INT32_MIN;
    struct Case {
        const char* text;
        int base;
        int32_t expected;
    };
    const Case cases[] = {
        {"", 10, none},
        {"12a", 10, none},
        {"12 ", 10, none},
        {"99999999999", 10, none},
        {"-99999999999", 10, none},
        {"-5", 10, -5},
        {"1a", 16, 26},
        {"0x1A", 16, 26},
        {" 42", 10, 42},
        {"+7", 10, 7},
        {"-", 10, none},
        {" ", 10, none},
        {"2147483647", 10, INT32_MAX},
        {"-2147483647", 10, -INT32_MAX},
        {"ffffffff", 16, none},
        {"7fffffff", 16, INT32_MAX},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.expected, ParseLong(c.text, c.base, none)) << '"' << c.text << "\" base " << c.base;
    EXPECT_EQ(-1, ParseLong("x", 10, -1));
}

TEST(ParseULong, ReturnsZeroUnlessTheWholeTextIsAnUnsignedNumber) {
    struct Case {
        const char* text;
        uint32_t expected;
    };
    const Case cases[] = {
        {"", 0},   {"4294967295", 0xFFFFFFFF}, {"4294967296", 0}, {"65535", 65535}, {"80/", 0},
        {"-1", 0}, {"-4294901761", 0},         {" -1", 0},        {"0x10", 0},      {"+443", 443},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.expected, ParseULong(c.text)) << '"' << c.text << '"';
}

TEST(ParseInt64, ReturnsTheSmallestValueUnlessTheWholeTextIsANumber) {
    struct Case {
        const char* text;
        int64_t expected;
    };
    const Case cases[] = {
        {"", INT64_MIN},
        {"9223372036854775808", INT64_MIN},
        {"-9223372036854775809", INT64_MIN},
        {"9223372036854775807", INT64_MAX},
        {"4294967296", 4294967296LL},
        {"-17", -17},
        {"12 ", INT64_MIN},
        {"1e3", INT64_MIN},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.expected, ParseInt64(c.text)) << '"' << c.text << '"';
}

TEST(TrimW, RemovesOnlyOuterBlanks) {
    struct Case {
        const wchar_t* text;
        const wchar_t* expected;
    };
    const Case cases[] = {
        {L" \t\r\n \n", L""}, {L"", L""},     {L" a b ", L"a b"},
        {L"\r\nx", L"x"},     {L"x\t", L"x"}, {L"\vx\f", L"\vx\f"},
    };
    for (const Case& c : cases) {
        std::wstring text = c.text;
        TrimW(text);
        EXPECT_EQ(c.expected, text);
    }
}

TEST(HashOneAtATime16, MatchesTheReferenceHash) {
    uint8_t counting[16];
    for (int i = 0; i < 16; ++i)
        counting[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(0x44A029ADu, HashOneAtATime16(counting));
    uint8_t ones[16];
    memset(ones, 0xFF, sizeof ones);
    EXPECT_EQ(0xFF2FBCDCu, HashOneAtATime16(ones));
}
