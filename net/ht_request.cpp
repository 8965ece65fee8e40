#include "ht_client.h"

#include "counted_ref.h"
#include "environment.h"
#include "global_lock.h"
#include "ht_exchange.h"
#include "ht_tokens.h"
#include "mime_type.h"
#include "net_errors.h"
#include "path_parts.h"
#include "string_helpers.h"

#include <ctime>
#include <cwchar>

namespace {

const char kOctetStream[] = "application/octet-stream";
// Opens an upload file only to learn its length.
const uint32_t kDiskFileSizeOnly = 4;
const wchar_t kFileWithoutData[] = L":";

// Upload data goes out in pieces of this size through one reused buffer, so that no file is ever
// held in memory whole.
const uint32_t kUploadPiece = 1024;

// The largest piece handed to one send: the socket's length is 32 bits, and TLS records take a
// signed int.
const size_t kMaxSendPiece = 0x40000000;

const size_t kBoundaryLength = 40;

// The fixed bytes of the multipart texts around a 40-character boundary: a whole field part,
// a file part's head with the CR LF after its data, and the closing delimiter line.
const uint64_t kFieldPartBytes = 89;
const uint64_t kFilePartBytes = 118;
const uint64_t kClosingBytes = 46;

const char* MethodText(uint32_t method) {
    switch (method) {
    case kHtGet:
        return "GET";
    case kHtHead:
        return "HEAD";
    default:
        return "POST";
    }
}

// A caller's fixed-size text that may lack its terminator.
std::wstring ProxyText(const wchar_t* text) {
    return std::wstring(text, wcsnlen(text, kHtProxyTextUnits));
}

void MakeFormBody(const HtFormFieldList& fields, std::string& body) {
    body.clear();
    std::string encoded;
    for (const HtFormField& field : fields) {
        UrlEncodeString(field.name, encoded);
        body += encoded;
        body += '=';
        UrlEncodeString(field.value, encoded);
        body += encoded;
        body += '&';
    }
    if (!body.empty())
        body.pop_back();
}

void MakeBoundary(std::string& boundary) {
    std::string unique;
    FormatStringA(unique, "%x%u%u", static_cast<uint32_t>(time(nullptr)),
                  static_cast<uint32_t>(GetCurrentThreadId()), static_cast<uint32_t>(GetCurrentProcessId()));
    boundary.assign(kBoundaryLength - unique.size(), '-');
    boundary += unique;
}

} // namespace

template <class TSocket> CHtClient<TSocket>::CHtClient() {
    FormatStringA(m_userAgent, "%S %d.%d%d.%d %s; Windows NT %u.%u", g_ProductName.c_str(),
                  static_cast<int>(g_ProductVersion[0]), static_cast<int>(g_ProductVersion[1]),
                  static_cast<int>(g_ProductVersion[2]), static_cast<int>(g_ProductVersion[3]), "64-bit",
                  static_cast<unsigned>(g_OsVersion.dwMajorVersion),
                  static_cast<unsigned>(g_OsVersion.dwMinorVersion));
}

template <class TSocket>
bool CHtClient<TSocket>::Request(uint32_t method, const UrlParts& url, const wchar_t* outputPath,
                                 const HtFormFieldList& formFields, HtMultipartPartList& multipartParts,
                                 HtProgress* progress) {
    CExchange exchange;
    bool failed = false;
    try {
        ConnectIfClosed(url, progress);
        ComposeHead(method, url, formFields, multipartParts, exchange);
        SendText(exchange.head);
        if (method == kHtPostForm)
            SendText(exchange.form);
        else if (method == kHtPostMultipart)
            SendMultipart(multipartParts, progress, exchange);
        ReadResponse(method, url, outputPath, progress, exchange);
    } catch (long code) {
        m_lastRequestError = static_cast<uint32_t>(code);
        failed = true;
    } catch (CDiskFileException* error) {
        delete error;
        m_lastRequestError = kErrFile;
        failed = true;
    }
    exchange.file.reset();
    if (failed || exchange.close)
        Close();
    if (failed && m_traffic != nullptr) {
        CLockHold hold(&g_GlobalLock);
        m_traffic->bytes -= exchange.counterShare;
    }
    return !failed;
}

template <class TSocket> void CHtClient<TSocket>::Close() {
    this->CloseConnection();
}

template <class TSocket> void CHtClient<TSocket>::ConnectIfClosed(const UrlParts& url, HtProgress* progress) {
    if (this->m_socket == INVALID_SOCKET) {
        std::wstring host = m_proxy != nullptr ? ProxyText(m_proxy->host) : std::wstring(url.host_w);
        uint32_t port = m_proxy != nullptr ? m_proxy->port : static_cast<uint32_t>(url.port);
        CTickTimer timer;
        if (progress != nullptr)
            progress->state = kHtStateConnecting;
        this->Connect(host.c_str(), port);
        if (progress != nullptr)
            progress->connectTimes.push_back(timer.Elapsed());
    }
    if (progress != nullptr)
        progress->state = kHtStateSending;
}

template <class TSocket>
void CHtClient<TSocket>::ComposeHead(uint32_t method, const UrlParts& url, const HtFormFieldList& formFields,
                                     HtMultipartPartList& multipartParts, CExchange& exchange) {
    std::string& head = exchange.head;
    std::string line;
    if (m_proxy != nullptr) {
        FormatStringA(head, "%s %s HTTP/1.0\r\nAccept: */*\r\nUser-Agent: %s\r\n", MethodText(method),
                      url.ToString().c_str(), m_userAgent.c_str());
        if (m_proxy->useCredentials != 0) {
            std::string credentials;
            if (!MakeBasicAuth(ProxyText(m_proxy->user).c_str(), ProxyText(m_proxy->password).c_str(),
                               credentials))
                throw kErrProxyCredentials;
            head += "Proxy-Authorization: " + credentials + "\r\n";
        }
    } else {
        FormatStringA(
            head, "%s %s HTTP/1.1\r\nHost: %s\r\nAccept: */*\r\nAccept-Encoding: \r\nUser-Agent: %s\r\n",
            MethodText(method), url.PathAndQuery().c_str(), url.HostPort().c_str(), m_userAgent.c_str());
    }
    if (method == kHtPostForm) {
        MakeFormBody(formFields, exchange.form);
        FormatStringA(line, "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: %I64u\r\n",
                      static_cast<uint64_t>(exchange.form.size()));
        head += line;
    } else if (method == kHtPostMultipart) {
        MakeBoundary(exchange.boundary);
        FormatStringA(line, "Content-Type: multipart/form-data; boundary=%s\r\n", exchange.boundary.c_str());
        head += line;
        uint64_t total = kClosingBytes;
        for (HtMultipartPart& part : multipartParts) {
            uint64_t texts = part.name.size() + part.value.size();
            if (part.path.empty()) {
                total += kFieldPartBytes + texts;
                continue;
            }
            uint64_t length = 0;
            if (part.path == kFileWithoutData) {
                part.contentType = kOctetStream;
            } else {
                try {
                    CDiskFile file;
                    file.Open(part.path.c_str(), kDiskFileSizeOnly | kDiskFileShareReadWrite);
                    length = file.GetLength();
                } catch (CDiskFileException* error) {
                    delete error;
                    throw kErrUploadMissing;
                }
                GetMimeTypeForExtension(PathExtensionPart(PathFileNamePart(part.path.c_str())),
                                        part.contentType);
                exchange.fileLengths.push_back(length);
            }
            total += kFilePartBytes + texts + part.contentType.size() + length;
        }
        FormatStringA(line, "Content-Length: %I64u\r\n", total);
        head += line;
    }
    std::string cookies;
    if (m_cookieJar != nullptr && AddCookieHeader(m_cookieJar, url, cookies))
        head += "Cookie: " + cookies + "\r\n";
    head += m_proxy != nullptr ? "Proxy-Connection: Keep-Alive\r\n" : "Connection: Keep-Alive\r\n";
    head += "\r\n";
}

template <class TSocket> void CHtClient<TSocket>::SendText(const std::string& text) {
    const char* bytes = text.data();
    for (size_t left = text.size(); left != 0;) {
        size_t piece = left < kMaxSendPiece ? left : kMaxSendPiece;
        this->SendAll(bytes, static_cast<uint32_t>(piece));
        bytes += piece;
        left -= piece;
    }
}

template <class TSocket>
void CHtClient<TSocket>::SendMultipart(const HtMultipartPartList& multipartParts, HtProgress* progress,
                                       CExchange& exchange) {
    std::string text;
    size_t fileIndex = 0;
    for (const HtMultipartPart& part : multipartParts) {
        if (part.path.empty()) {
            FormatStringA(text, "--%s\r\nContent-Disposition: form-data; name=\"%s\"\r\n\r\n%s\r\n",
                          exchange.boundary.c_str(), part.name.c_str(), part.value.c_str());
            SendText(text);
            continue;
        }
        FormatStringA(text,
                      "--%s\r\nContent-Disposition: form-data; name=\"%s\"; filename=\"%s\"\r\nContent-Type: "
                      "%s\r\n\r\n",
                      exchange.boundary.c_str(), part.name.c_str(), part.value.c_str(),
                      part.contentType.c_str());
        SendText(text);
        if (part.path != kFileWithoutData)
            SendFileData(part, exchange.fileLengths[fileIndex++], progress, exchange);
        SendText("\r\n");
    }
    FormatStringA(text, "--%s--\r\n", exchange.boundary.c_str());
    SendText(text);
}

// Sends exactly the length the head announced: a file that changed size in between would
// otherwise make the body disagree with its Content-Length and corrupt the connection.
template <class TSocket>
void CHtClient<TSocket>::SendFileData(const HtMultipartPart& part, uint64_t length, HtProgress* progress,
                                      CExchange& exchange) {
    exchange.file.reset(new CDiskFile);
    exchange.file->Open(part.path.c_str(), kDiskFileRead | kDiskFileShareRead);
    if (exchange.file->GetLength() != length)
        throw kErrFile;
    bool following = progress != nullptr && progress->direction == 0;
    if (following) {
        progress->state = kHtStateUploading;
        progress->phaseStart.Restart();
    }
    uint8_t* buffer = exchange.scratch.Reserve(kUploadPiece);
    for (uint64_t done = 0; done < length;) {
        uint64_t left = length - done;
        uint32_t n =
            exchange.file->Read(buffer, left < kUploadPiece ? static_cast<uint32_t>(left) : kUploadPiece);
        if (n == 0)
            throw kErrFile;
        this->SendAll(buffer, n);
        done += n;
        CountTraffic(n, false, exchange);
        if (following) {
            progress->total = static_cast<int64_t>(length);
            progress->done = static_cast<int64_t>(done);
        }
    }
    exchange.file.reset();
}

template <class TSocket>
void CHtClient<TSocket>::CountTraffic(uint64_t bytes, bool received, CExchange& exchange) {
    if (m_traffic == nullptr || (m_traffic->direction != 0) != received)
        return;
    CLockHold hold(&g_GlobalLock);
    m_traffic->bytes += bytes;
    exchange.counterShare += bytes;
}

template class CHtClient<CSslSocket<CBlockingSocket>>;
