#include "ht_client.h"

#include "ht_exchange.h"
#include "ht_tokens.h"
#include "net_errors.h"
#include "string_helpers.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace {

// Counted and until-close bodies go from the socket to the file in pieces of this size.
const int32_t kBodyPiece = 1024;

// A chunk may announce up to 0x7FFFFFFF bytes. It is copied in pieces of at most this size, so
// that what a server announces never decides how much memory the client takes.
const int32_t kChunkPiece = 64 * 1024;

const uint32_t kOutputFileMode = kDiskFileWrite | kDiskFileShareRead | kDiskFileCreate;

const uint32_t kHttp10 = 0x10000;

const int32_t kSwitchingProtocols = 101;

bool HasToken(const std::vector<std::string>& tokens, const char* token) {
    for (const std::string& candidate : tokens) {
        if (_stricmp(candidate.c_str(), token) == 0)
            return true;
    }
    return false;
}

// Digits alone (RFC 9110 section 8.6): a sign or a control byte is no length. -1 for anything
// else, a value beyond 64 bits included.
int64_t ParseLength(const std::string& text) {
    if (text.empty())
        return -1;
    int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return -1;
        const int digit = c - '0';
        if (value > (INT64_MAX - digit) / 10)
            return -1;
        value = value * 10 + digit;
    }
    return value;
}

// Repeated Content-Length fields must agree (RFC 9112 section 6.3): with two lengths the end of
// the body cannot be known.
int64_t ContentLength(const HtHeaderFieldList& fields) {
    int64_t length = -1;
    for (const HtHeaderField& field : fields) {
        if (_stricmp(field.name.c_str(), "content-length") != 0)
            continue;
        int64_t value = ParseLength(field.value);
        if (value < 0 || (length >= 0 && value != length))
            throw kErrBadContentLength;
        length = value;
    }
    return length;
}

// Only a last coding of chunked frames the body (RFC 9112 section 6.3); after any other the body
// would run to the close, in a coding this client never asked for and cannot undo. The fields
// together are one list.
bool EndsInChunked(const HtHeaderFieldList& fields) {
    std::vector<std::string> codings;
    std::vector<std::string> pieces;
    for (const HtHeaderField& field : fields) {
        if (_stricmp(field.name.c_str(), "transfer-encoding") != 0)
            continue;
        SplitString(field.value, pieces, ',');
        codings.insert(codings.end(), pieces.begin(), pieces.end());
    }
    return !codings.empty() && _stricmp(codings.back().c_str(), "chunked") == 0;
}

} // namespace

template <class TSocket>
void CHtClient<TSocket>::ReadResponse(uint32_t method, const UrlParts& url, const wchar_t* outputPath,
                                      HtProgress* progress, CExchange& exchange) {
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[kLineReaderBufferSize]);
    HtLineReader reader = {this, 0, 0, buffer.get()};
    // Any request may be answered by interim heads before its final one (RFC 9110 section 15.2);
    // they carry no body. A 101 switches to a protocol this client never asks for.
    for (uint32_t skipped = 0;; ++skipped) {
        ReadHead(reader, exchange.head);
        CHtHead::UnfoldLines(exchange.head);
        if (!m_responseHead.Parse(exchange.head) || m_responseHead.status == kSwitchingProtocols)
            throw kErrBadResponseHead;
        if (m_responseHead.status < 100 || m_responseHead.status >= 200)
            break;
        if (skipped == kMaxInterimHeads)
            throw kErrHeadTooLong;
    }
    DecideConnection(exchange);
    if (m_cookieJar != nullptr) {
        for (const HtHeaderField& field : m_responseHead.fields) {
            if (_stricmp(field.name.c_str(), "Set-Cookie") == 0)
                StoreSetCookie(m_cookieJar, url, field.value);
        }
    }
    if (method == kHtHead)
        return;
    exchange.file.reset(new CDiskFile);
    exchange.file->Open(outputPath, kOutputFileMode);
    exchange.bodyBytes = 0;
    bool following = progress != nullptr && progress->direction != 0;
    if (following) {
        progress->state = kHtStateReceiving;
        progress->phaseStart.Restart();
    }
    // 204 and 304 answers never carry a body, whatever their head says; waiting for one would hold
    // the connection until the server closes it.
    const int32_t status = m_responseHead.status;
    const bool bodiless = status == 204 || status == 304;
    std::string value;
    if (bodiless) {
        // Nothing follows the head; the connection stays usable as its fields say.
    } else if (m_responseHead.GetField("transfer-encoding", value)) {
        if (!EndsInChunked(m_responseHead.fields))
            throw kErrBadTransferCoding;
        // A Content-Length beside it puts the framing in doubt, the mark of smuggling: the chunks
        // frame this body, and the connection takes no further exchange (RFC 9112 section 6.3).
        if (m_responseHead.GetField("content-length", value))
            exchange.close = true;
        ReadChunkedBody(reader, progress, exchange);
    } else if (m_responseHead.GetField("content-length", value)) {
        int64_t length = ContentLength(m_responseHead.fields);
        // Refused before any of it is received.
        if (m_bodyLimit >= 0 && length > m_bodyLimit)
            throw kErrBodyTooLarge;
        ReadCountedBody(reader, length, progress, exchange);
    } else {
        ReadUntilClose(reader, progress, exchange);
    }
    if (following)
        progress->total = progress->done = exchange.bodyBytes;
}

// Connection tokens are compared without regard to case, as HTTP defines them: a server that
// writes "Close" means it, and a connection kept against its word fails the next request.
template <class TSocket> void CHtClient<TSocket>::DecideConnection(CExchange& exchange) {
    std::vector<std::string> tokens;
    std::string value;
    if (m_responseHead.GetField(m_proxy != nullptr ? "Proxy-Connection" : "Connection", value))
        SplitString(value, tokens, ',');
    // Transfer-Encoding in an HTTP/1.0 message makes its framing faulty (RFC 9112 section 6.1): it
    // is read, and the connection goes with it.
    uint32_t version = m_responseHead.version;
    if (version < kHttp10)
        exchange.close = true;
    else if (version == kHttp10)
        exchange.close =
            !HasToken(tokens, "keep-alive") || m_responseHead.GetField("transfer-encoding", value);
    else
        exchange.close = HasToken(tokens, "close");
}

template <class TSocket>
void CHtClient<TSocket>::ReadChunkedBody(HtLineReader& reader, HtProgress* progress, CExchange& exchange) {
    std::string line;
    for (;;) {
        ReadHeadLine(reader, line);
        size_t cut = line.find(';');
        line.erase(cut != std::string::npos ? cut : line.size() - 2);
        TrimString(line);
        int32_t size = ParseLong(line.c_str(), 16, INT32_MIN);
        if (size < 0)
            throw kErrBadChunk;
        if (size == 0) {
            // The trailer is read up to its empty line under the head's limits, and dropped.
            ReadHead(reader, line);
            return;
        }
        for (int32_t left = size; left > 0;) {
            int32_t piece = left < kChunkPiece ? left : kChunkPiece;
            uint8_t* buffer = exchange.scratch.Reserve(piece);
            TakeExactly(reader, buffer, piece);
            WriteBody(buffer, piece, -1, progress, exchange);
            left -= piece;
        }
        ReadHeadLine(reader, line);
        if (line != "\r\n")
            throw kErrBadChunk;
    }
}

template <class TSocket>
void CHtClient<TSocket>::ReadCountedBody(HtLineReader& reader, int64_t length, HtProgress* progress,
                                         CExchange& exchange) {
    uint8_t* buffer = exchange.scratch.Reserve(kBodyPiece);
    while (exchange.bodyBytes <= length - kBodyPiece)
        WriteBody(buffer, TakePiece(reader, buffer), length, progress, exchange);
    if (exchange.bodyBytes < length) {
        int32_t rest = static_cast<int32_t>(length - exchange.bodyBytes);
        TakeExactly(reader, buffer, rest);
        WriteBody(buffer, rest, length, progress, exchange);
    }
}

template <class TSocket>
void CHtClient<TSocket>::ReadUntilClose(HtLineReader& reader, HtProgress* progress, CExchange& exchange) {
    exchange.close = true;
    uint8_t* buffer = exchange.scratch.Reserve(kBodyPiece);
    for (;;) {
        int32_t n;
        try {
            n = TakePiece(reader, buffer);
        } catch (long code) {
            if (code == kErrPeerClosed)
                return;
            throw;
        }
        WriteBody(buffer, n, -1, progress, exchange);
    }
}

// The bytes the line reader still holds come first: they were received after the head.
template <class TSocket>
void CHtClient<TSocket>::TakeExactly(HtLineReader& reader, uint8_t* buffer, int32_t count) {
    int32_t have = 0;
    int32_t held = reader.filled - reader.position;
    if (held > 0) {
        have = held < count ? held : count;
        memcpy(buffer, reader.buffer + reader.position, have);
        reader.position += have;
    }
    while (have < count)
        have += this->Receive(buffer + have, static_cast<uint32_t>(count - have));
}

template <class TSocket> int32_t CHtClient<TSocket>::TakePiece(HtLineReader& reader, uint8_t* buffer) {
    int32_t held = reader.filled - reader.position;
    if (held <= 0)
        return this->Receive(buffer, kBodyPiece);
    int32_t n = held < kBodyPiece ? held : kBodyPiece;
    memcpy(buffer, reader.buffer + reader.position, n);
    reader.position += n;
    return n;
}

template <class TSocket>
void CHtClient<TSocket>::WriteBody(const uint8_t* bytes, int32_t count, int64_t total, HtProgress* progress,
                                   CExchange& exchange) {
    if (m_bodyLimit >= 0 && count > m_bodyLimit - exchange.bodyBytes)
        throw kErrBodyTooLarge;
    exchange.file->Write(bytes, static_cast<uint32_t>(count));
    CountTraffic(static_cast<uint64_t>(count), true, exchange);
    exchange.bodyBytes += count;
    if (progress != nullptr && progress->direction != 0) {
        progress->total = total;
        progress->done = exchange.bodyBytes;
    }
}

template void CHtClient<CSslSocket<CBlockingSocket>>::ReadResponse(uint32_t, const UrlParts&, const wchar_t*,
                                                                   HtProgress*, CExchange&);
