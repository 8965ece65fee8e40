// A response as a server might send it (head, Set-Cookie fields, chunked, counted or until-close
// body) read by the HTTP client's own response code. The socket is a stand-in that hands out the
// input in pieces. Input: byte 0 chooses the piece size, byte 1 the method (bits 0-1), a cookie jar
// (bit 2) and a traffic counter (bit 3); the rest is what the server sends before it closes.
#include "ht_client.h"
#include "fuzz_support.h"
#include "ht_exchange.h"
#include "net_errors.h"
#include "url.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct CFeed {
    const uint8_t* data;
    size_t size;
    size_t piece;
} g_Feed;

std::string g_OutputName;
std::wstring g_OutputPath;
UrlParts* g_Url;

void RemoveOutput() {
    unlink(g_OutputName.c_str());
}

class CResponseReader : public CHtClient<CSslSocket<CBlockingSocket>> {
  public:
    // The body length written to the output file; -1 when the exchange failed.
    int64_t Read(uint32_t method, const UrlParts& url) {
        CExchange exchange;
        HtProgress progress;
        try {
            ReadResponse(method, url, g_OutputPath.c_str(), &progress, exchange);
        } catch (long) {
            return -1;
        } catch (CDiskFileException* error) {
            delete error;
            return -1;
        }
        exchange.file.reset();
        if (method != kHtHead)
            FuzzCheck(progress.done == exchange.bodyBytes);
        return exchange.bodyBytes;
    }
};

// RFC 6265's domain match; a stored domain may keep the leading dot the server wrote.
bool EndsWithDomain(const std::string& host, std::string domain) {
    if (!domain.empty() && domain[0] == '.')
        domain.erase(0, 1);
    if (domain.empty())
        return false;
    return host == domain || (host.size() > domain.size() &&
                              host.compare(host.size() - domain.size(), domain.size(), domain) == 0 &&
                              host[host.size() - domain.size() - 1] == '.');
}

} // namespace

// The stand-in socket: never connected, nothing sent, the input received.
const SocketApi g_Ws2SocketApi = {};

uint32_t ResolveHostDns(const wchar_t*, void*, uint32_t, SocketAddr*) {
    return 0;
}

template <class TSocket> void CSslSocket<TSocket>::Connect(const wchar_t*, uint32_t) {
    throw kErrConnect;
}

template <class TSocket> void CSslSocket<TSocket>::SendAll(const void*, uint32_t) {
    throw kErrSend;
}

template <class TSocket> int32_t CSslSocket<TSocket>::Receive(void* buffer, uint32_t length) {
    if (length == 0)
        return 0;
    if (g_Feed.size == 0)
        throw kErrPeerClosed;
    size_t n = length < g_Feed.piece ? length : g_Feed.piece;
    if (n > g_Feed.size)
        n = g_Feed.size;
    memcpy(buffer, g_Feed.data, n);
    g_Feed.data += n;
    g_Feed.size -= n;
    return static_cast<int32_t>(n);
}

template <class TSocket> void CSslSocket<TSocket>::CloseConnection() {}

template void CSslSocket<CBlockingSocket>::Connect(const wchar_t*, uint32_t);
template void CSslSocket<CBlockingSocket>::SendAll(const void*, uint32_t);
template int32_t CSslSocket<CBlockingSocket>::Receive(void*, uint32_t);
template void CSslSocket<CBlockingSocket>::CloseConnection();

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_OutputName = FuzzScratchFolder() + "/ht_response_fuzz." + std::to_string(getpid());
    g_OutputPath.assign(g_OutputName.begin(), g_OutputName.end());
    atexit(RemoveOutput);
    g_Url = ParseUrl(L"http://www.a.test/p/q");
    FuzzCheck(g_Url != nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    g_Feed = {data + 2, size - 2, 1 + static_cast<size_t>(data[0] % 64)};
    if (data[0] >= 0xC0)
        g_Feed.piece = kLineReaderBufferSize;
    const uint32_t method = data[1] & 3;

    HtCookieJar jar;
    HtTrafficCounter traffic = {0, 0, 1};
    int64_t body;
    {
        CResponseReader reader;
        if (data[1] & 4)
            reader.SetCookieJar(&jar);
        if (data[1] & 8)
            reader.SetTrafficCounter(&traffic);
        body = reader.Read(method, *g_Url);
        if (body >= 0) {
            std::string length;
            if (method != kHtHead && !reader.ResponseHead().GetField("transfer-encoding", length) &&
                reader.ResponseHead().GetField("content-length", length) &&
                reader.ResponseHead().status >= 200 && reader.ResponseHead().status != 204 &&
                reader.ResponseHead().status != 304)
                FuzzCheck(body == strtoll(length.c_str(), nullptr, 10));
        }
    }
    if (body >= 0 && method != kHtHead) {
        struct stat info;
        FuzzCheck(stat(g_OutputName.c_str(), &info) == 0 && info.st_size == body);
        if (data[1] & 8)
            FuzzCheck(traffic.bytes == static_cast<uint64_t>(body));
    }
    FuzzCheck(jar.cookies.size() <= kMaxJarCookies);
    for (const HtCookie& cookie : jar.cookies) {
        FuzzCheck(EndsWithDomain("www.a.test", cookie.domain));
        FuzzCheck(cookie.name.size() + cookie.value.size() + cookie.domain.size() + cookie.path.size() <=
              kMaxCookieBytes);
        for (unsigned char c : cookie.name + cookie.value)
            FuzzCheck(c >= 0x20 && c != 0x7F);
    }
    return 0;
}
