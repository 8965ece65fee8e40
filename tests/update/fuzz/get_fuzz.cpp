// The update download as servers might answer it: the whole GET with its redirects and kept
// connections, under the update client's body limit, and a stored download read by the
// update-file reader. The socket is a stand-in that plays one scripted server connection after
// another. Input: byte 0 chooses the piece size, byte 1 bit 0 an https start URL; the rest is what
// the server sends on each connection the client opens, the connections separated by "{close}"
// and, within one, the answers to its requests by "{next}", with "{fill:N}" standing for N filler
// bytes so that a body can outgrow the limit. A server that has sent an answer waits for the next
// request; after its last one it closes.
// Every request head must be the client's own lines, with no byte of a Location breaking them;
// nothing beyond the limit may reach the disk; no connection may carry two servers' requests,
// and none may run without TLS once the chain has used it.
#include "fuzz_support.h"
#include "ht_get.h"
#include "net_errors.h"
#include "pud_file.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

const char kNextConnection[] = "{close}";
const char kNextAnswer[] = "{next}";
const char kFillOpen[] = "{fill:";
// Filler one input may ask for: enough for a body to cross the limit, little more, as each byte
// costs time.
const uint64_t kMaxFillBytes = kPudMaxFileSize + 64 * 1024;

// A stretch of what the server sends: input bytes, or filler.
struct CPiece {
    const uint8_t* data;
    uint64_t size;
};

typedef std::vector<CPiece> CAnswer;
typedef std::vector<CAnswer> CConnection;

struct CServer {
    std::vector<CConnection> connections;
    size_t next; // the connection the next connect takes
    CConnection* current;
    size_t asked;          // requests on the current connection; the last one's answer is sent
    size_t piece;          // in that answer
    uint64_t offset;       // in that piece
    size_t receiveSize;    // the most one receive hands out
    std::string firstHost; // of the current connection's first request
    bool sawTls;
    uint32_t requests;
    std::string userAgent;
} g_Server;

std::string g_OutputName;
std::wstring g_OutputPath;

void RemoveOutput() {
    unlink(g_OutputName.c_str());
}

int64_t OutputSize() {
    struct stat info;
    return stat(g_OutputName.c_str(), &info) == 0 ? static_cast<int64_t>(info.st_size) : 0;
}

const uint8_t* Find(const uint8_t* from, const uint8_t* end, const char* text) {
    size_t n = strlen(text);
    for (const uint8_t* p = from; end - p >= static_cast<ptrdiff_t>(n); ++p) {
        if (memcmp(p, text, n) == 0)
            return p;
    }
    return end;
}

// One answer's bytes, "{fill:N}" (N decimal) turned into filler within the input's budget.
CAnswer SplitFill(const uint8_t* data, const uint8_t* end, uint64_t& budget) {
    CAnswer pieces;
    while (data < end) {
        const uint8_t* fill = Find(data, end, kFillOpen);
        if (fill > data)
            pieces.push_back({data, static_cast<uint64_t>(fill - data)});
        if (fill == end)
            break;
        const uint8_t* digit = fill + strlen(kFillOpen);
        uint64_t count = 0;
        for (; digit < end && *digit >= '0' && *digit <= '9'; ++digit)
            count = count > kMaxFillBytes ? count : count * 10 + (*digit - '0');
        if (digit < end && *digit == '}')
            ++digit;
        count = count < budget ? count : budget;
        budget -= count;
        if (count != 0)
            pieces.push_back({nullptr, count});
        data = digit;
    }
    return pieces;
}

// The client's own head lines, in its order; the target and host hold no blank or control byte.
void CheckHead(const std::string& head) {
    FuzzCheck(memchr(head.data(), 0, head.size()) == nullptr);
    std::vector<std::string> lines;
    for (size_t pos = 0; pos < head.size();) {
        size_t end = head.find("\r\n", pos);
        FuzzCheck(end != std::string::npos);
        lines.push_back(head.substr(pos, end - pos));
        pos = end + 2;
    }
    FuzzCheck(lines.size() == 7);
    const std::string& start = lines[0];
    FuzzCheck(start.compare(0, 5, "GET /") == 0 && start.size() >= 14 &&
              start.compare(start.size() - 9, 9, " HTTP/1.1") == 0);
    FuzzCheck(lines[1].compare(0, 6, "Host: ") == 0 && lines[1].size() > 6);
    for (const std::string& text : {start.substr(4, start.size() - 13), lines[1].substr(6)}) {
        for (unsigned char c : text)
            FuzzCheck(c > 0x20 && c < 0x7F);
    }
    FuzzCheck(lines[2] == "Accept: */*" && lines[3] == "Accept-Encoding: " &&
              lines[4] == "User-Agent: " + g_Server.userAgent && lines[5] == "Connection: Keep-Alive" &&
              lines[6].empty());
    // A kept connection serves the server it was opened for.
    std::string host = lines[1].substr(6);
    if (g_Server.firstHost.empty())
        g_Server.firstHost = host;
    FuzzCheck(strcasecmp(g_Server.firstHost.c_str(), host.c_str()) == 0);
}

} // namespace

const SocketApi g_Ws2SocketApi = {};

uint32_t ResolveHostDns(const wchar_t*, void*, uint32_t, SocketAddr*) {
    return 0;
}

template <class TSocket> void CSslSocket<TSocket>::Connect(const wchar_t*, uint32_t) {
    FuzzCheck(this->m_socket == INVALID_SOCKET);
    if (m_useTls != 0)
        g_Server.sawTls = true;
    FuzzCheck(m_useTls != 0 || !g_Server.sawTls);
    if (g_Server.next == g_Server.connections.size())
        throw kErrConnect;
    g_Server.current = &g_Server.connections[g_Server.next++];
    g_Server.asked = 0;
    g_Server.firstHost.clear();
    this->m_socket = 1;
}

template <class TSocket> void CSslSocket<TSocket>::SendAll(const void* bytes, uint32_t length) {
    FuzzCheck(this->m_socket != INVALID_SOCKET);
    FuzzCheck(++g_Server.requests <= kMaxRedirects + 1);
    // The file as the previous response left it.
    FuzzCheck(OutputSize() <= kPudMaxFileSize);
    CheckHead(std::string(static_cast<const char*>(bytes), length));
    ++g_Server.asked;
    g_Server.piece = 0;
    g_Server.offset = 0;
}

template <class TSocket> int32_t CSslSocket<TSocket>::Receive(void* buffer, uint32_t length) {
    if (length == 0)
        return 0;
    const CConnection& connection = *g_Server.current;
    FuzzCheck(g_Server.asked != 0);
    // Past its last answer the server closes; before a later one it waits for the request.
    if (g_Server.asked > connection.size())
        throw kErrPeerClosed;
    const CAnswer& pieces = connection[g_Server.asked - 1];
    while (g_Server.piece < pieces.size() && g_Server.offset == pieces[g_Server.piece].size) {
        ++g_Server.piece;
        g_Server.offset = 0;
    }
    if (g_Server.piece == pieces.size())
        throw g_Server.asked == connection.size() ? kErrPeerClosed : kErrTimeout;
    const CPiece& piece = pieces[g_Server.piece];
    uint64_t n = length < g_Server.receiveSize ? length : g_Server.receiveSize;
    if (n > piece.size - g_Server.offset)
        n = piece.size - g_Server.offset;
    if (piece.data != nullptr)
        memcpy(buffer, piece.data + g_Server.offset, n);
    else
        memset(buffer, 'x', n);
    g_Server.offset += n;
    return static_cast<int32_t>(n);
}

template <class TSocket> void CSslSocket<TSocket>::CloseConnection() {
    this->m_socket = INVALID_SOCKET;
}

template void CSslSocket<CBlockingSocket>::Connect(const wchar_t*, uint32_t);
template void CSslSocket<CBlockingSocket>::SendAll(const void*, uint32_t);
template int32_t CSslSocket<CBlockingSocket>::Receive(void*, uint32_t);
template void CSslSocket<CBlockingSocket>::CloseConnection();

namespace {

class CTestGet : public CHtGet<CSslSocket<CBlockingSocket>> {
  public:
    explicit CTestGet(const wchar_t* url) : CHtGet(url) {}
    bool Connected() const { return m_socket != INVALID_SOCKET; }
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_OutputName = FuzzScratchFolder() + "/get_fuzz." + std::to_string(getpid());
    g_OutputPath.assign(g_OutputName.begin(), g_OutputName.end());
    atexit(RemoveOutput);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    g_Server = CServer();
    g_Server.receiveSize = data[0] >= 0xC0 ? kLineReaderBufferSize : 1 + data[0] % 64;
    uint64_t budget = kMaxFillBytes;
    const uint8_t* end = data + size;
    for (const uint8_t* at = data + 2; at < end;) {
        const uint8_t* cut = Find(at, end, kNextConnection);
        CConnection connection;
        for (const uint8_t* from = at; from < cut;) {
            const uint8_t* next = Find(from, cut, kNextAnswer);
            connection.push_back(SplitFill(from, next, budget));
            from = next == cut ? cut : next + strlen(kNextAnswer);
        }
        g_Server.connections.push_back(std::move(connection));
        at = cut == end ? end : cut + strlen(kNextConnection);
    }

    CTestGet get((data[1] & 1) != 0 ? L"https://u.a.test/v/updates.pud" : L"http://u.a.test/v/updates.pud");
    get.SetBodyLimit(kPudMaxFileSize);
    g_Server.userAgent = get.UserAgent();
    const int stored = get.Get(g_OutputPath.c_str());
    FuzzCheck(!get.Connected());
    FuzzCheck(OutputSize() <= kPudMaxFileSize);
    if (stored != 0) {
        FuzzCheck(get.ResponseHead().status == 200);
        std::unique_ptr<PudPackage> package(new PudPackage);
        ReadPudFile(g_OutputPath.c_str(), package.get());
    }
    return 0;
}
