#pragma once
// The HTTP client over the (optionally TLS) blocking socket: one exchange per Request, the
// connection kept between exchanges when the server allows it.
#include "cookie_jar.h"
#include "ht_records.h"
#include "http_head.h"
#include "line_reader.h"
#include "ssl_socket.h"
#include "url.h"

#include <cstdint>
#include <memory>
#include <string>

class CDiskFile;
class CGrowBuf;

// Interim (1xx) heads skipped at most: servers send one or two (100, 103), not a stream to stall on.
const uint32_t kMaxInterimHeads = 16;

template <class TSocket> class CHtClient : public TSocket {
  public:
    // Forms the User-Agent from the process environment (product name and version, OS version).
    CHtClient();
    // Neither closes the connection nor touches the hooked records.
    ~CHtClient() = default;

    // One exchange: connect when no connection is open, send the request and its body, read the
    // response head into ResponseHead() and the body into outputPath (not for HEAD). False after
    // a failure, whose code is then in LastRequestError(); only memory exhaustion leaves by an
    // exception. Each file part's content type is written.
    bool Request(uint32_t method, const UrlParts& url, const wchar_t* outputPath,
                 const HtFormFieldList& formFields, HtMultipartPartList& multipartParts,
                 HtProgress* progress);
    // Ends the current connection, if any. Safe from another thread while a request waits.
    void Close();

    static void StoreSetCookie(HtCookieJar* jar, const UrlParts& url, const std::string& value);
    // The cookie pairs that apply to the URL, "; "-separated; true when there is any.
    static bool AddCookieHeader(HtCookieJar* jar, const UrlParts& url, std::string& out);

    const CHtRespHead& ResponseHead() const { return m_responseHead; }
    // The code of the last failed request; a successful request leaves it alone.
    uint32_t LastRequestError() const { return m_lastRequestError; }
    const std::string& UserAgent() const { return m_userAgent; }

    // Hooks, all null by default; the records stay the caller's.
    void SetProxy(HtProxyInfo* proxy) { m_proxy = proxy; }
    void SetCookieJar(HtCookieJar* jar) { m_cookieJar = jar; }
    void SetTrafficCounter(HtTrafficCounter* counter) { m_traffic = counter; }
    // The most bytes one response body may write; a longer body fails the request with
    // kErrBodyTooLarge. Negative: no limit.
    void SetBodyLimit(int64_t limit) { m_bodyLimit = limit; }

  protected:
    // The working state of one Request.
    struct CExchange;

    void ConnectIfClosed(const UrlParts& url, HtProgress* progress);
    void ComposeHead(uint32_t method, const UrlParts& url, const HtFormFieldList& formFields,
                     HtMultipartPartList& multipartParts, CExchange& exchange);
    void SendForm(const HtFormFieldList& formFields);
    void SendMultipart(const HtMultipartPartList& multipartParts, HtProgress* progress, CExchange& exchange);
    void SendFileData(const HtMultipartPart& part, uint64_t length, HtProgress* progress,
                      CExchange& exchange);
    void SendText(const std::string& text);
    void ReadResponse(uint32_t method, const UrlParts& url, const wchar_t* outputPath, HtProgress* progress,
                      CExchange& exchange);
    void DecideConnection(CExchange& exchange);
    void ReadChunkedBody(HtLineReader& reader, HtProgress* progress, CExchange& exchange);
    void ReadCountedBody(HtLineReader& reader, int64_t length, HtProgress* progress, CExchange& exchange);
    void ReadUntilClose(HtLineReader& reader, HtProgress* progress, CExchange& exchange);
    void TakeExactly(HtLineReader& reader, uint8_t* buffer, int32_t count);
    int32_t TakePiece(HtLineReader& reader, uint8_t* buffer);
    void WriteBody(const uint8_t* bytes, int32_t count, int64_t total, HtProgress* progress,
                   CExchange& exchange);
    void CountTraffic(uint64_t bytes, bool received, CExchange& exchange);

    HtProxyInfo* m_proxy = nullptr;
    HtCookieJar* m_cookieJar = nullptr;
    HtTrafficCounter* m_traffic = nullptr;
    std::string m_userAgent;
    uint32_t m_lastRequestError = 0;
    int64_t m_bodyLimit = -1;
    CHtRespHead m_responseHead;
};
