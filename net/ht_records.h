#pragma once
// The optional records a caller of the HTTP client may hand it: form fields, multipart parts, a
// proxy, a progress record and a traffic counter. The client never owns any of them.
#include "tick_timer.h"

#include <cstdint>
#include <list>
#include <string>
#include <vector>

// Method codes of CHtClient::Request; any other code is sent as a bodiless "POST".
enum HtMethod : uint32_t {
    kHtGet = 0,
    kHtPostForm = 1,      // application/x-www-form-urlencoded
    kHtPostMultipart = 2, // multipart/form-data
    kHtHead = 3,
};

struct HtFormField {
    std::string name;
    std::string value;
};

typedef std::list<HtFormField> HtFormFieldList;

struct HtMultipartPart {
    std::string name;
    std::string value; // a field's value, or the file name a file part shows
    // Empty: a field part; ":" a file part without data; otherwise the file whose data is sent.
    std::wstring path;
    std::string contentType; // written by the request for a file part
};

typedef std::list<HtMultipartPart> HtMultipartPartList;

const size_t kHtProxyTextUnits = 256;

struct HtProxyInfo {
    wchar_t host[kHtProxyTextUnits];
    uint32_t port;
    uint8_t useCredentials; // nonzero: send Proxy-Authorization Basic
    wchar_t user[kHtProxyTextUnits];
    wchar_t password[kHtProxyTextUnits];
};

// Progress states.
enum HtProgressState : uint32_t {
    kHtStateIdle = 0,
    kHtStateConnecting = 2,
    kHtStateSending = 3,
    kHtStateReceiving = 4,
    kHtStateUploading = 5,
};

struct HtProgress {
    uint8_t direction = 1; // nonzero: total and done follow the response body; zero: each upload
    uint32_t state = kHtStateIdle;
    int64_t total = -1; // -1 while the sender has not announced it
    int64_t done = 0;
    std::vector<uint32_t> connectTimes; // milliseconds, one per connection opened
    CTickTimer phaseStart;
};

struct HtTrafficCounter {
    uint64_t reserved;
    uint64_t bytes;    // changed only under the global lock
    uint8_t direction; // nonzero: received body bytes count; zero: sent file data counts
};
