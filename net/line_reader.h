#pragma once
// Reads the response head line by line out of a 1024-byte receive buffer.
#include "ssl_socket.h"

#include <cstdint>
#include <string>

// The longest line, and the longest head, a server may send: well beyond the largest fields real
// servers send (long cookies and policies run to some KiB), yet small enough that a hostile peer
// cannot make the client grow without bound.
const size_t kMaxHeadLine = 64 * 1024;
const size_t kMaxHeadSize = 256 * 1024;

struct HtLineReader {
    CSslSocket<CBlockingSocket>* connection;
    int32_t position; // next unread byte
    int32_t filled;   // valid bytes in buffer
    uint8_t* buffer;  // 1024 bytes, owned by the request engine
};

const uint32_t kLineReaderBufferSize = 1024;

// One line, ending in exactly one CR LF whatever the peer ended it with; NUL bytes arrive as '^'.
// A line longer than kMaxHeadLine throws kErrHeadTooLong.
void ReadHeadLine(HtLineReader& reader, std::string& line);
// The whole head: lines appended to head, each with its CR LF, up to and including the empty line
// that ends it. A head longer than kMaxHeadSize throws kErrHeadTooLong.
void ReadHead(HtLineReader& reader, std::string& head);
