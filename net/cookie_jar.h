#pragma once
// A small cookie store an HTTP client may keep across requests: name, value, domain and path,
// matched by suffix and prefix, never expired.
#include "win_api.h"

#include <list>
#include <string>

// A jar is fed by servers, so it is bounded: RFC 6265 asks a client to hold at least 3000 cookies
// of at least 4096 bytes (name and value together); more than that only serves a peer that wants
// the client's memory. Beyond it new cookies are dropped; replacing a stored one is always allowed.
const size_t kMaxJarCookies = 3000;
const size_t kMaxCookieBytes = 4096;

struct HtCookie {
    std::string name;
    std::string value;
    std::string path;
    std::string domain; // lower case
};

class HtCookieJar {
  public:
    HtCookieJar() { InitializeCriticalSection(&lock); }
    // After every client that uses the jar is done with it.
    ~HtCookieJar() { DeleteCriticalSection(&lock); }
    HtCookieJar(const HtCookieJar&) = delete;
    HtCookieJar& operator=(const HtCookieJar&) = delete;

    std::list<HtCookie> cookies; // in the order first stored
    CRITICAL_SECTION lock;       // the jar's own; no other lock is taken while it is held
};

// Same name, domain and path, byte for byte; the value does not count.
bool HtCookieEquals(const HtCookie& a, const HtCookie& b);
// ASCII letters only.
void StrToLower(std::string& text);
