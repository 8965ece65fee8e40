#pragma once
// Fetches one URL into a file with GET (or HEAD), following redirects, over TCP or TLS as each
// URL's scheme says.
#include "ht_client.h"

#include <cstdint>
#include <string>

// Redirects one Get follows; the next redirect response fails it. Enough for any real chain of
// moved resources, few enough that a server cannot keep the client busy in a loop.
const uint32_t kMaxRedirects = 10;

// Frees a parsed URL record and empties its holder; safe on an empty holder.
void DeleteUrl(UrlParts*& url);

template <class TSocket> class CHtGet : public CHtClient<TSocket> {
  public:
    explicit CHtGet(const wchar_t* url) : m_url(url) {}
    // Does not close the connection: Get has closed it, and the stop path closes it otherwise.
    ~CHtGet() = default;

    // 1 when the final response was a 200 and its body is in outputPath; 0 otherwise, with the
    // failure's code in LastGetError(). The connection is closed either way.
    int Get(const wchar_t* outputPath);

    uint32_t LastGetError() const { return m_lastGetError; }
    void SetHeadOnly(uint32_t headOnly) { m_headOnly = headOnly; }
    // Not owned; reset on every redirect.
    void SetProgress(HtProgress* progress) { m_progress = progress; }

  private:
    std::wstring m_url;
    HtProgress* m_progress = nullptr;
    uint32_t m_headOnly = 0;
    uint32_t m_lastGetError = 0;
};
