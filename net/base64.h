#pragma once
// Standard Base64 (RFC 4648, section 4) without line breaks, NUL-terminated.
#include <cstdint>

// The buffer size an encoding of count bytes needs, terminator included.
int32_t Base64EncodedSize(int32_t count);
// The characters written, without the terminator.
int32_t Base64Encode(const uint8_t* bytes, int32_t count, char* out);
// A new[] buffer holding the encoding.
char* Base64EncodeAlloc(const uint8_t* bytes, int32_t count);
