// The native build's stand-in for the host conversions, which need Winsock's address parser and
// libidn: ASCII hosts pass as written, anything else is refused.
#include "host_ascii.h"

#include "string_helpers.h"

char* HostToIdnaAscii(const wchar_t* host) {
    return WideToAscii(host);
}

char* HostToAscii(const wchar_t* host) {
    return HostToIdnaAscii(host);
}
