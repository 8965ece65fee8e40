#include "line_reader.h"
#include "loopback_peer.h"
#include "net_errors.h"
#include "thrown_code.h"

#include <gtest/gtest.h>

namespace {

class CPlainConnection : public CSslSocket<CBlockingSocket> {
  public:
    CPlainConnection() { m_useTls = 0; }
};

class LineReader : public ::testing::Test {
  protected:
    void SetUp() override {
        peer.Post("accept4");
        connection.Connect(L"127.0.0.1", peer.port4);
        ASSERT_EQ("ok", peer.Reply());
        reader = {&connection, 0, 0, buffer};
    }
    void TearDown() override { connection.CloseConnection(); }
    void PeerSends(const std::string& bytes) { ASSERT_EQ("ok", peer.Command("send " + ToHex(bytes))); }

    CLoopbackPeer peer;
    CPlainConnection connection;
    uint8_t buffer[kLineReaderBufferSize];
    HtLineReader reader;
};

} // namespace

TEST_F(LineReader, EveryLineEndsInOneCrLfAndLeftoversStay) {
    const std::string block = "HTTP/1.1 200 OK\r\nA: b\n\nbody";
    PeerSends(block);
    // The whole block must be in the buffer before the first line is taken.
    while (reader.filled < static_cast<int32_t>(block.size())) {
        reader.filled += connection.Receive(buffer + reader.filled, kLineReaderBufferSize - reader.filled);
    }
    std::string line;
    ReadHeadLine(reader, line);
    EXPECT_EQ("HTTP/1.1 200 OK\r\n", line);
    ReadHeadLine(reader, line);
    EXPECT_EQ("A: b\r\n", line);
    ReadHeadLine(reader, line);
    EXPECT_EQ("\r\n", line);
    EXPECT_EQ(static_cast<int32_t>(block.size()) - 4, reader.position);
    EXPECT_EQ("body", std::string(reinterpret_cast<char*>(buffer) + reader.position, 4));
}

TEST_F(LineReader, NulBecomesCaretAndInnerCrStays) {
    PeerSends(std::string("X: a\0b\rc\r\n", 10));
    std::string line;
    ReadHeadLine(reader, line);
    EXPECT_EQ("X: a^b\rc\r\n", line);
}

TEST_F(LineReader, LineSpanningReceivesAndPeerCloseMidLine) {
    PeerSends("Long: " + std::string(3000, 'x') + "\r\npartial");
    std::string line;
    ReadHeadLine(reader, line);
    EXPECT_EQ(3008u, line.size());
    ASSERT_EQ("ok", peer.Command("close"));
    EXPECT_EQ(kErrPeerClosed, CodeOf([&] { ReadHeadLine(reader, line); }));
}

TEST_F(LineReader, OverlongLineIsRefused) {
    std::string longest(kMaxHeadLine, 'y');
    peer.Post("send " + ToHex(longest + "\n" + longest + "z\n"));
    std::string line;
    ReadHeadLine(reader, line);
    EXPECT_EQ(kMaxHeadLine + 2, line.size());
    EXPECT_EQ(kErrHeadTooLong, CodeOf([&] { ReadHeadLine(reader, line); }));
}

TEST_F(LineReader, HeadEndsAtTheEmptyLineAndIsCapped) {
    PeerSends("HTTP/1.1 200 OK\r\nA: 1\r\n\r\nrest");
    std::string head;
    ReadHead(reader, head);
    EXPECT_EQ("HTTP/1.1 200 OK\r\nA: 1\r\n\r\n", head);

    std::string field = "F: " + std::string(1000, 'f') + "\r\n";
    std::string endless;
    while (endless.size() <= kMaxHeadSize)
        endless += field;
    // More than the socket buffers may hold: the answer comes once the reader has taken enough.
    peer.Post("send " + ToHex(endless));
    EXPECT_EQ(kErrHeadTooLong, CodeOf([&] { ReadHead(reader, head); }));
}
