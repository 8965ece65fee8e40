#include "ht_get.h"

#include "environment.h"
#include "ht_tokens.h"
#include "net_errors.h"
#include "string_helpers.h"

#include <cstring>
#include <cwchar>
#include <memory>

namespace {

const wchar_t kHttpPrefix[] = L"http://";
const wchar_t kHttpsPrefix[] = L"https://";

// Before any clean-up of the text, so a URL with a leading blank is not one.
bool HasHttpScheme(const std::wstring& url) {
    return _wcsnicmp_l(url.c_str(), kHttpPrefix, wcslen(kHttpPrefix), g_Locale) == 0 ||
           _wcsnicmp_l(url.c_str(), kHttpsPrefix, wcslen(kHttpsPrefix), g_Locale) == 0;
}

// 308 (RFC 9110 section 15.4.9) is followed as 307 is: nginx and CDNs send it for moved files.
bool IsRedirect(int32_t status) {
    return status == 300 || status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

class CUrlHolder {
  public:
    explicit CUrlHolder(UrlParts* url) : m_url(url) {}
    ~CUrlHolder() { DeleteUrl(m_url); }
    CUrlHolder(const CUrlHolder&) = delete;
    CUrlHolder& operator=(const CUrlHolder&) = delete;

    UrlParts* operator->() const { return m_url; }
    UrlParts& operator*() const { return *m_url; }
    explicit operator bool() const { return m_url != nullptr; }

  private:
    UrlParts* m_url;
};

} // namespace

void DeleteUrl(UrlParts*& url) {
    if (url == nullptr)
        return;
    url->FreeStrings();
    delete url;
    url = nullptr;
}

template <class TSocket> int CHtGet<TSocket>::Get(const wchar_t* outputPath) {
    std::wstring working = m_url;
    std::string lastHostPort;
    uint32_t lastHttps = 0;
    const HtFormFieldList noFields;
    HtMultipartPartList noParts;
    try {
        for (uint32_t pass = 1;; ++pass) {
            const long badUrl = pass == 1 ? kErrBadUrl : kErrBadRedirectUrl;
            if (!HasHttpScheme(working))
                throw badUrl;
            NormalizeUrlInput(working);
            CUrlHolder url(ParseUrl(working.c_str()));
            if (!url)
                throw badUrl;
            // The file's digests guard against accidents, not against whoever is on the path: a
            // step down to plain HTTP would hand the download to them.
            if (pass > 1 && lastHttps != 0 && url->https == 0)
                throw kErrBadRedirectUrl;
            std::string hostPort = url->HostPort();
            if (this->m_socket != INVALID_SOCKET &&
                (_stricmp(hostPort.c_str(), lastHostPort.c_str()) != 0 || url->https != lastHttps))
                this->Close();
            if (this->m_socket == INVALID_SOCKET)
                this->m_useTls = url->https;
            if (!this->Request(m_headOnly != 0 ? kHtHead : kHtGet, *url, outputPath, noFields, noParts,
                               m_progress))
                throw static_cast<long>(this->m_lastRequestError);
            int32_t status = this->m_responseHead.status;
            if (status == 200) {
                this->Close();
                return 1;
            }
            if (!IsRedirect(status))
                throw kErrHttpStatusBase | HttpStatusToIndex(status);
            if (pass > kMaxRedirects)
                throw kErrTooManyRedirects;
            std::string location;
            if (!this->m_responseHead.GetField("Location", location) || location.empty())
                throw kErrNoLocation;
            lastHostPort = hostPort;
            lastHttps = url->https;
            // Servers send any URI reference (RFC 9110 section 10.2.2), "final/x.pud" and
            // "//host/x" among them; resolving it also encodes what would break the request line.
            std::string target;
            if (!ResolveUrlReference(url->ToString(), location, target))
                throw kErrBadRedirectUrl;
            std::unique_ptr<wchar_t[]> wide(Utf8ToWide(target.c_str()));
            if (!wide)
                throw kErrBadLocation;
            working = wide.get();
            if (m_progress != nullptr) {
                m_progress->state = kHtStateIdle;
                m_progress->total = -1;
                m_progress->done = 0;
            }
        }
    } catch (long code) {
        m_lastGetError = static_cast<uint32_t>(code);
        this->Close();
        return 0;
    }
}

template class CHtGet<CSslSocket<CBlockingSocket>>;
