#include "ht_script.h"
#include "net_errors.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

struct UrlDeleter {
    void operator()(UrlParts* url) const { DeleteUrl(url); }
};

class HtResponse : public ::testing::Test {
  protected:
    void SetUp() override {
        client.m_useTls = 0;
        url.reset(ParseUrl(PeerUrl(peer.port4, "/r").c_str()));
    }
    void TearDown() override {
        client.Close();
        script.Received();
        DeleteFileW(output.c_str());
    }

    bool Get(uint32_t method = kHtGet, HtProgress* progress = nullptr) {
        return client.Request(method, *url, output.c_str(), fields, parts, progress);
    }
    // The peer takes the client's next connection unless the last one is still open.
    void ExpectConnection() {
        if (!Kept())
            script.Accept();
    }
    // One exchange: 0 when the client succeeded, else its error code.
    uint32_t Answer(const std::string& response, uint32_t method = kHtGet) {
        ExpectConnection();
        script.Exchange(response);
        return Get(method) ? 0 : client.LastRequestError();
    }
    // The same after the server closed the connection behind its response.
    uint32_t AnswerAndClose(const std::string& response) {
        ExpectConnection();
        script.Exchange(response);
        script.Close();
        return Get() ? 0 : client.LastRequestError();
    }
    bool Kept() const { return client.m_socket != INVALID_SOCKET; }
    std::string Body() { return ReadWholeFile(output); }

    CTestEnvironment environment;
    CLoopbackPeer peer;
    CPeerScript script{peer};
    CTestGet client;
    std::unique_ptr<UrlParts, UrlDeleter> url;
    HtFormFieldList fields;
    HtMultipartPartList parts;
    std::wstring output = TestFilePath("response");
};

TEST_F(HtResponse, BareLineFeedsEndLinesAndTheHead) {
    EXPECT_EQ(0u, Answer("HTTP/1.1 200 OK\nContent-Length: 3\n\nabc"));
    EXPECT_EQ("abc", Body());
    EXPECT_EQ(200, client.ResponseHead().status);
}

TEST_F(HtResponse, ConnectionTokensDecideWhetherItStaysOpen) {
    struct {
        const char* version;
        const char* connection;
        bool kept;
    } cases[] = {
        {"1.1", nullptr, true},      {"1.1", "close", false},     {"1.1", "Close", false},
        {"1.1", "x, close", false},  {"1.0", nullptr, false},     {"1.0", "keep-alive", true},
        {"1.0", "Keep-Alive", true}, {"2.0", "keep-alive", true}, {"0.9", "keep-alive", false},
    };
    for (const auto& c : cases) {
        std::string response = std::string("HTTP/") + c.version + " 200 OK\r\nContent-Length: 1\r\n";
        if (c.connection != nullptr)
            response += std::string("Connection: ") + c.connection + "\r\n";
        EXPECT_EQ(0u, Answer(response + "\r\nx")) << response;
        EXPECT_EQ(c.kept, Kept()) << response;
    }
}

TEST_F(HtResponse, ChunkedBodyWithExtensionsAndTrailer) {
    std::string data(26, 'q');
    // Beside a Content-Length the chunks still frame the body, but the connection is not kept.
    for (const char* length : {"Content-Length: 1\r\n", ""}) {
        EXPECT_EQ(0u, Answer(std::string("HTTP/1.1 200 OK\r\nTransfer-Encoding: Chunked\r\n") + length +
                             "\r\n1a;name=value\r\n" + data +
                             "\r\n 3 \r\nxyz\r\n0\r\nTrailer: t\r\n\r\nleftover"));
        EXPECT_EQ(data + "xyz", Body());
        EXPECT_EQ(length[0] == '\0', Kept());
    }
    EXPECT_FALSE(client.ResponseHead().GetField("Trailer", data));
    // The bytes past the body were dropped with the reader: the next response is read clean.
    EXPECT_EQ(0u, Answer("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"));
    EXPECT_EQ("ok", Body());
}

TEST_F(HtResponse, OnlyALastChunkedCodingFramesTheBody) {
    const char kChunked[] = "\r\n2\r\nok\r\n0\r\n\r\n";
    struct {
        const char* head;
        uint32_t code;
        bool kept;
    } cases[] = {
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n", 0, true},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n", 0, true},
        // Faulty framing in HTTP/1.0: read, then the connection goes.
        {"HTTP/1.0 200 OK\r\nConnection: keep-alive\r\nTransfer-Encoding: chunked\r\n", 0, false},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked, gzip\r\n", kErrBadTransferCoding, false},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\n", kErrBadTransferCoding, false},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nTransfer-Encoding: gzip\r\n",
         kErrBadTransferCoding, false},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: \r\n", kErrBadTransferCoding, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.code, Answer(std::string(c.head) + kChunked)) << c.head;
        EXPECT_EQ(c.code == 0 ? "ok" : "", Body()) << c.head;
        EXPECT_EQ(c.kept, Kept()) << c.head;
    }
}

TEST_F(HtResponse, MalformedChunksFail) {
    const char* bodies[] = {
        "zz\r\n",                   // not hexadecimal
        "-5\r\nabcde\r\n0\r\n\r\n", // negative
        "80000000\r\n",             // beyond a signed 32-bit size
        "3\r\nabcX\r\n0\r\n\r\n",   // data not followed by CR LF
    };
    for (const char* body : bodies) {
        EXPECT_EQ(static_cast<uint32_t>(kErrBadChunk),
                  Answer(std::string("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n") + body))
            << body;
        EXPECT_FALSE(Kept());
    }
}

TEST_F(HtResponse, CutStreamsFail) {
    // The largest chunk a server can announce, then the end of the stream: the client must
    // neither try to hold it at once nor take the cut for success.
    EXPECT_EQ(static_cast<uint32_t>(kErrPeerClosed),
              AnswerAndClose("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n7fffffff\r\nabc"));
    EXPECT_EQ(static_cast<uint32_t>(kErrPeerClosed),
              AnswerAndClose("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n12345"));
    EXPECT_EQ(static_cast<uint32_t>(kErrPeerClosed), AnswerAndClose("HTTP/1.1 200 OK\r\nContent"));
    EXPECT_FALSE(Kept());
}

TEST_F(HtResponse, CountedBodies) {
    std::string large;
    for (int i = 0; i < 3000; ++i)
        large += static_cast<char>('a' + i % 26);
    EXPECT_EQ(0u, Answer("HTTP/1.1 200 OK\r\nContent-Length: 3000\r\n\r\n" + large));
    EXPECT_EQ(large, Body());
    EXPECT_EQ(0u, Answer("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"));
    EXPECT_EQ("", Body());
    EXPECT_EQ(0u, Answer("HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 2\r\n\r\nok"));
    EXPECT_EQ("ok", Body());
    EXPECT_TRUE(Kept());
    // Digits alone: the body after the head would satisfy a lenient reading.
    for (const char* length : {"-1", "12abc", "", "1\r\nContent-Length: 2", "+5", "-0", "\v5", "0x5"}) {
        EXPECT_EQ(static_cast<uint32_t>(kErrBadContentLength),
                  Answer(std::string("HTTP/1.1 200 OK\r\nContent-Length: ") + length + "\r\n\r\n12345"))
            << length;
        // Created, and empty.
        EXPECT_EQ(0, _waccess(output.c_str(), 0));
        EXPECT_EQ("", Body());
        EXPECT_FALSE(Kept());
    }
}

TEST_F(HtResponse, UntilCloseBodyEndsWithTheServersClose) {
    EXPECT_EQ(0u, AnswerAndClose("HTTP/1.1 200 OK\r\n\r\nuntil the end"));
    EXPECT_EQ("until the end", Body());
    EXPECT_FALSE(Kept());

    // A server that keeps it open: the receive time-out ends it, and what came stays.
    client.m_receiveTimeout = 1;
    EXPECT_EQ(static_cast<uint32_t>(kErrTimeout), Answer("HTTP/1.1 200 OK\r\n\r\npartial"));
    EXPECT_EQ("partial", Body());
    EXPECT_FALSE(Kept());
}

TEST_F(HtResponse, UnreadableHeadsFail) {
    for (const char* head : {"SMTP ready\r\n\r\n", "HTTP/1.1 101 Switching\r\nUpgrade: h2c\r\n\r\n",
                             "HTTP/1.1 200 OK\r\nX-Bad\r\nContent-Length: 2\r\n\r\nok"}) {
        EXPECT_EQ(static_cast<uint32_t>(kErrBadResponseHead), Answer(head)) << head;
        EXPECT_FALSE(Kept()) << head;
    }
    EXPECT_EQ(static_cast<uint32_t>(kErrHeadTooLong),
              Answer("HTTP/1.1 200 OK\r\nX: " + std::string(kMaxHeadLine, 'x') + "\r\n\r\n"));
    EXPECT_FALSE(Kept());
}

TEST_F(HtResponse, InterimHeadsAreSkippedForEveryMethod) {
    const std::string early = "HTTP/1.1 103 Early Hints\r\nLink: </s>\r\n\r\n";
    std::string limit;
    for (uint32_t i = 0; i < kMaxInterimHeads; ++i)
        limit += early;
    struct {
        uint32_t method;
        std::string interim;
    } cases[] = {
        {kHtPostForm, "HTTP/1.1 100 Continue\r\n\r\n"},
        // Interim heads carry no body, whatever length they announce.
        {kHtGet, "HTTP/1.1 100 Continue\r\nContent-Length: 5\r\n\r\n"},
        {kHtGet, early},
        {kHtGet, "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 102 Processing\r\n\r\n" + early},
        {kHtGet, limit},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(0u, Answer(c.interim + "HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nz", c.method));
        EXPECT_EQ(200, client.ResponseHead().status) << c.interim;
        EXPECT_EQ("z", Body()) << c.interim;
        // The next request on the connection reads its own answer.
        EXPECT_EQ(0u, Answer("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"));
        EXPECT_EQ("ok", Body()) << c.interim;
    }
    EXPECT_EQ(static_cast<uint32_t>(kErrHeadTooLong), Answer(limit + early + "HTTP/1.1 200 OK\r\n\r\n"));
    EXPECT_FALSE(Kept());
}

TEST_F(HtResponse, AnswersWithoutABodyEndAtTheirHead) {
    for (const char* status : {"204 No Content", "304 Not Modified"}) {
        EXPECT_EQ(0u, Answer(std::string("HTTP/1.1 ") + status + "\r\nContent-Length: 3\r\n\r\n")) << status;
        EXPECT_EQ("", Body()) << status;
        EXPECT_TRUE(Kept()) << status;
    }
}

TEST_F(HtResponse, HeadReadsNoBodyAndLeavesTheFileAlone) {
    EXPECT_EQ(0u, Answer("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n", kHtHead));
    EXPECT_NE(0, _waccess(output.c_str(), 0));
    EXPECT_TRUE(Kept());
}

TEST_F(HtResponse, OutputFileErrorsFailWithTheFileCode) {
    output = TestFilePath("missing-folder") + L"\\out";
    EXPECT_EQ(static_cast<uint32_t>(kErrFile), Answer("HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nx"));
    EXPECT_FALSE(Kept());
}

TEST_F(HtResponse, ProgressAndTrafficFollowTheBodyAndFailuresGiveBackTheirShare) {
    HtProgress progress;
    HtTrafficCounter traffic = {0, 1000, 1};
    client.SetTrafficCounter(&traffic);
    ExpectConnection();
    script.Exchange("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nabcd\r\n0\r\n\r\n");
    EXPECT_TRUE(Get(kHtGet, &progress));
    EXPECT_EQ(static_cast<uint32_t>(kHtStateReceiving), progress.state);
    EXPECT_EQ(4, progress.total);
    EXPECT_EQ(4, progress.done);
    EXPECT_EQ(1004u, traffic.bytes);

    EXPECT_EQ(static_cast<uint32_t>(kErrPeerClosed),
              AnswerAndClose("HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\n1234"));
    EXPECT_EQ(1004u, traffic.bytes);
    EXPECT_EQ(0u, Answer("HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\n1"));
    EXPECT_EQ(1005u, traffic.bytes);
    // A success leaves the code of the earlier failure.
    EXPECT_EQ(static_cast<uint32_t>(kErrPeerClosed), client.LastRequestError());
}

} // namespace
