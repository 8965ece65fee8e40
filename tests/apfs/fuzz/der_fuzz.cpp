// Parses a key blob as the unlock does, once as a wrapped VEK and once as a password-wrapped KEK,
// and reads its first element bare.
#include "der.h"

#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Key data lengths are 16-bit in a keybag entry.
    uint16_t length = size > UINT16_MAX ? UINT16_MAX : static_cast<uint16_t>(size);
    apfs_der_cursor cursor;
    apfs_der_header header;
    apfs_der_vek vek;
    apfs_der_kek kek;
    apfs_der_reset(&cursor);
    apfs_der_set(&cursor, data, length);
    if (apfs_der_blob_header(&cursor, &header))
        apfs_der_vek_blob(&cursor, &vek);
    apfs_der_set(&cursor, data, length);
    if (apfs_der_blob_header(&cursor, &header))
        apfs_der_kek_blob(&cursor, &kek);
    if (length == 0)
        return 0;
    uint64_t value = 0;
    uint8_t bytes[255];
    apfs_der_set(&cursor, data, length);
    apfs_der_get_uint(&cursor, data[0], &value);
    apfs_der_set(&cursor, data, length);
    if (length >= 2)
        apfs_der_get_bytes(&cursor, data[0], bytes, data[1]);
    apfs_der_set(&cursor, data, length);
    if (apfs_der_enter(&cursor, data[0]))
        apfs_der_enter(&cursor, data[0]);
    return 0;
}
