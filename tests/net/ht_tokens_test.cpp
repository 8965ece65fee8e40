#include "grow_buf.h"
#include "ht_tokens.h"
#include "import_patch.h"
#include "tick_timer.h"

#include <gtest/gtest.h>

TEST(SplitString, DropsBlankPiecesAndTrimsTheRest) {
    std::vector<std::string> tokens = {"stale"};
    SplitString(" keep-alive ,\tclose ,", tokens, ',');
    EXPECT_EQ((std::vector<std::string>{"keep-alive", "close"}), tokens);
    SplitString(" , ,\r\n,", tokens, ',');
    EXPECT_TRUE(tokens.empty());
    SplitString("", tokens, ',');
    EXPECT_TRUE(tokens.empty());
    SplitString("a=b; expires=Thu, 01 Jan 2099", tokens, ';');
    EXPECT_EQ((std::vector<std::string>{"a=b", "expires=Thu, 01 Jan 2099"}), tokens);
}

TEST(TrimString, StripsOnlyTheOuterBlanks) {
    std::string s = " \t\r\n";
    TrimString(s);
    EXPECT_EQ("", s);
    s = "\ta b \r\n";
    TrimString(s);
    EXPECT_EQ("a b", s);
}

TEST(MakeBasicAuth, EncodesUtf8UserAndPassword) {
    std::string value;
    ASSERT_TRUE(MakeBasicAuth(L"Aladdin", L"open sesame", value));
    EXPECT_EQ("Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ==", value);
    ASSERT_TRUE(MakeBasicAuth(L"j\u00f6rg", L"", value));
    EXPECT_EQ("Basic asO2cmc6", value);
}

TEST(HttpStatusToIndex, MapsClientAndServerErrors) {
    EXPECT_EQ(1, HttpStatusToIndex(400));
    EXPECT_EQ(2, HttpStatusToIndex(401));
    EXPECT_EQ(5, HttpStatusToIndex(404));
    EXPECT_EQ(16, HttpStatusToIndex(415));
    EXPECT_EQ(17, HttpStatusToIndex(500));
    EXPECT_EQ(20, HttpStatusToIndex(503));
    EXPECT_EQ(22, HttpStatusToIndex(505));
    for (int other : {0, 200, 302, 399, 416, 499, 506, -404})
        EXPECT_EQ(23, HttpStatusToIndex(other)) << other;
}

namespace {
DWORD g_tick;
DWORD WINAPI FakeTick() {
    return g_tick;
}
} // namespace

TEST(CTickTimer, ElapsedSurvivesTheWrap) {
    CImportPatch tick("kernel32.dll", "GetTickCount", reinterpret_cast<void*>(&FakeTick));
    ASSERT_TRUE(tick.Active());
    g_tick = 0xFFFFFFF0;
    CTickTimer timer;
    g_tick = 0x10;
    EXPECT_EQ(32u, timer.Elapsed());
    timer.Restart();
    g_tick = 0x15;
    EXPECT_EQ(5u, timer.Elapsed());
}

TEST(CGrowBuf, KeepsTheBlockUntilMoreIsAsked) {
    CGrowBuf buffer;
    uint8_t* first = buffer.Reserve(16);
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(first, buffer.Reserve(16));
    EXPECT_EQ(first, buffer.Reserve(1));
    uint8_t* bigger = buffer.Reserve(4096);
    ASSERT_NE(nullptr, bigger);
    EXPECT_EQ(bigger, buffer.Reserve(17));
}
