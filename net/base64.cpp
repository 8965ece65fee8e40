#include "base64.h"

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

} // namespace

int32_t Base64EncodedSize(int32_t count) {
    return 4 * ((count + 2) / 3) + 1;
}

int32_t Base64Encode(const uint8_t* bytes, int32_t count, char* out) {
    char* p = out;
    int32_t i = 0;
    for (; count - i >= 3; i += 3) {
        uint32_t group = bytes[i] << 16 | bytes[i + 1] << 8 | bytes[i + 2];
        *p++ = kAlphabet[group >> 18];
        *p++ = kAlphabet[(group >> 12) & 63];
        *p++ = kAlphabet[(group >> 6) & 63];
        *p++ = kAlphabet[group & 63];
    }
    if (count - i == 1) {
        *p++ = kAlphabet[bytes[i] >> 2];
        *p++ = kAlphabet[(bytes[i] & 3) << 4];
        *p++ = '=';
        *p++ = '=';
    } else if (count - i == 2) {
        *p++ = kAlphabet[bytes[i] >> 2];
        *p++ = kAlphabet[(bytes[i] & 3) << 4 | bytes[i + 1] >> 4];
        *p++ = kAlphabet[(bytes[i + 1] & 15) << 2];
        *p++ = '=';
    }
    *p = '\0';
    return static_cast<int32_t>(p - out);
}

char* Base64EncodeAlloc(const uint8_t* bytes, int32_t count) {
    char* out = new char[Base64EncodedSize(count)];
    Base64Encode(bytes, count, out);
    return out;
}
