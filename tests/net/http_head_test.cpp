#include "http_head.h"

#include <gtest/gtest.h>

TEST(CHtRespHead, AcceptsStatusLines) {
    struct Case {
        const char* line;
        uint32_t version;
        int32_t status;
        const char* reason;
    } cases[] = {
        {"HTTP/1.1 200 OK", 0x00010001, 200, "OK"},
        {"http/1.0 404 Not Found", 0x00010000, 404, "Not Found"},
        {"HTTP/1.1 200", 0x00010001, 200, ""},
        {"HTTP/1.1 200 ", 0x00010001, 200, ""},
        {"HTTP/1.1 301  Moved", 0x00010001, 301, " Moved"},
        {"HTTP/65535.0 200 OK", 0xFFFF0000, 200, "OK"},
    };
    for (const Case& c : cases) {
        CHtRespHead head;
        ASSERT_TRUE(head.ParseFirstLine(c.line)) << c.line;
        EXPECT_EQ(c.version, head.version) << c.line;
        EXPECT_EQ(c.status, head.status) << c.line;
        EXPECT_EQ(c.reason, head.reason) << c.line;
    }
}

TEST(CHtRespHead, RejectsMalformedStatusLines) {
    for (const char* line :
         {"HTTP/1 200 OK", "HTTP/1.1", "HTTP/1.1  200 OK", "HTTP/70000.0 200 OK", "HTTP/1.1 -1 X",
          "ICY 200 OK", "HTTP/", "", "HTTP/1.x 200 OK", "HTTP/-1.1 200 OK", "HTTP/1.1 2x0 OK"}) {
        CHtRespHead head;
        EXPECT_FALSE(head.ParseFirstLine(line)) << line;
    }
}

TEST(CHtRespHead, FormatsTheStatusLine) {
    CHtRespHead head;
    ASSERT_TRUE(head.ParseFirstLine("HTTP/1.1 404 Not Found"));
    std::string line;
    head.FormatFirstLine(line);
    EXPECT_EQ("HTTP/1.1 404 Not Found", line);
    ASSERT_TRUE(head.ParseFirstLine("HTTP/1.0 204"));
    head.FormatFirstLine(line);
    EXPECT_EQ("HTTP/1.0 204", line);
}

TEST(CHtHead, ParsesFieldsInOrderAndLooksThemUpWithoutCase) {
    CHtRespHead head;
    ASSERT_TRUE(head.Parse("HTTP/1.1 302 Found\r\n"
                           "Content-Length:42\r\n"
                           "Location: http://h:81/\r\n"
                           "Set-Cookie: a=1\r\n"
                           "Name : v\r\n"
                           "X-Pad:   padded  \r\n"
                           "Set-Cookie: b=2\r\n"
                           "\r\n"));
    ASSERT_EQ(6u, head.fields.size());
    std::string value;
    ASSERT_TRUE(head.GetField("content-length", value));
    EXPECT_EQ("42", value);
    ASSERT_TRUE(head.GetField("LOCATION", value));
    EXPECT_EQ("http://h:81/", value);
    ASSERT_TRUE(head.GetField("X-Pad", value));
    EXPECT_EQ("padded", value);
    ASSERT_TRUE(head.GetField("Set-Cookie", value));
    EXPECT_EQ("a=1", value);
    EXPECT_EQ("b=2", head.fields.back().value);
    value = "untouched";
    EXPECT_FALSE(head.GetField("Name", value));
    EXPECT_EQ("untouched", value);
    EXPECT_TRUE(head.GetField("Name ", value));
}

TEST(CHtHead, LineWithoutColonRejectsTheHead) {
    CHtRespHead head;
    EXPECT_FALSE(head.Parse("HTTP/1.1 200 OK\r\nGarbage\r\nA: 1\r\n\r\n"));
    EXPECT_FALSE(head.Parse("HTTP/1.1 200 OK\r\nA: 1\r\nGarbage\r\n\r\n"));
}

TEST(CHtHead, StartLineAloneAndRejectedStartLine) {
    CHtRespHead head;
    ASSERT_TRUE(head.Parse("HTTP/1.1 200 OK"));
    EXPECT_TRUE(head.fields.empty());
    EXPECT_FALSE(head.Parse("SSH-2.0-x\r\nA: 1\r\n\r\n"));
    EXPECT_TRUE(head.fields.empty());
}

TEST(CHtHead, UnfoldsContinuationLines) {
    std::string text = "HTTP/1.1 200 OK\r\nX: a\r\n\tb\r\nY: c\r\n  d\r\n\r\n";
    CHtHead::UnfoldLines(text);
    EXPECT_EQ("HTTP/1.1 200 OK\r\nX: a\tb\r\nY: c  d\r\n\r\n", text);
    CHtRespHead head;
    ASSERT_TRUE(head.Parse(text));
    std::string value;
    ASSERT_TRUE(head.GetField("X", value));
    EXPECT_EQ("a\tb", value);
    ASSERT_TRUE(head.GetField("Y", value));
    EXPECT_EQ("c  d", value);
}

TEST(StrReplaceAll, NeverRescansReplacedText) {
    std::string s = "aaa";
    StrReplaceAll(s, "a", "aa");
    EXPECT_EQ("aaaaaa", s);
    s = "abab";
    StrReplaceAll(s, "aba", "x");
    EXPECT_EQ("xb", s);
    StrReplaceAll(s, "", "y");
    EXPECT_EQ("xb", s);
}
