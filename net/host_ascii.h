#pragma once
// The ASCII text a request names a host by.

// The IDNA ASCII form (new[]), or null when the host is not a valid name.
char* HostToIdnaAscii(const wchar_t* host);
// The host as a request names it (new[]): numeric text as it stands (IPv6 without its scope id),
// names in their IDNA ASCII form; null when neither applies.
char* HostToAscii(const wchar_t* host);
