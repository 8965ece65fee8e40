#pragma once
// Turning a URL's host into an address, and into the ASCII text a request carries.
#include "host_ascii.h"
#include "socket_addr.h"

#include <string>

// A numeric IPv4 or IPv6 text; the port is not touched.
bool ParseNumericAddress(const wchar_t* host, SocketAddr& endpoint);
// The address without its port, as Winsock prints it.
bool SocketAddrToString(const SocketAddr& endpoint, std::wstring& text);
