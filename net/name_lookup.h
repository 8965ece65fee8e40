#pragma once
// Turning a URL's host into an address, and into the ASCII text a request carries.
#include "socket_addr.h"

#include <string>

// A numeric IPv4 or IPv6 text; the port is not touched.
bool ParseNumericAddress(const wchar_t* host, SocketAddr& endpoint);
// The address without its port, as Winsock prints it.
bool SocketAddrToString(const SocketAddr& endpoint, std::wstring& text);
// The IDNA ASCII form (new[]), or null when the host is not a valid name.
char* HostToIdnaAscii(const wchar_t* host);
// The host as a request names it (new[]): numeric text as it stands (IPv6 without its scope id),
// names in their IDNA ASCII form; null when neither applies.
char* HostToAscii(const wchar_t* host);
