#ifndef VOLARIX_DER_H
#define VOLARIX_DER_H
/* The DER blobs in the key data of keybag entries: exactly the elements the unlock needs, in their
 * fixed order; anything else is rejected. */
#include "apfs_common.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct apfs_der_cursor {
    const uint8_t* pos;
    const uint8_t* end; /* one past the last byte */
} apfs_der_cursor;

typedef struct apfs_der_header {
    uint64_t integer;
    uint8_t hmac[32]; /* not verified */
    uint8_t salt[8];
} apfs_der_header;

typedef struct apfs_der_vek {
    uint64_t integer;
    uint8_t uuid[16];
    uint8_t flags[8];
    uint8_t wrapped_key[40]; /* RFC 3394: 8-byte A, then the key data */
} apfs_der_vek;

typedef struct apfs_der_kek {
    uint64_t integer;
    uint8_t uuid[16];
    uint8_t flags[8];
    uint8_t wrapped_key[40];
    uint64_t iterations; /* of the password derivation */
    uint8_t salt[16];
} apfs_der_kek;

void apfs_der_reset(apfs_der_cursor* cursor);
void apfs_der_set(apfs_der_cursor* cursor, const uint8_t* bytes, uint16_t length);
/* Content length of the element whose tag is at element[0]; its length bytes must be readable. */
uint64_t apfs_der_length(const uint8_t* element, uint32_t* header_length);
int apfs_der_enter(apfs_der_cursor* cursor, uint8_t tag);
int apfs_der_get_uint(apfs_der_cursor* cursor, uint8_t tag, uint64_t* out);
int apfs_der_get_bytes(apfs_der_cursor* cursor, uint8_t tag, uint8_t* out, uint32_t length);
int apfs_der_blob_header(apfs_der_cursor* cursor, apfs_der_header* out);
int apfs_der_vek_blob(apfs_der_cursor* cursor, apfs_der_vek* out);
int apfs_der_kek_blob(apfs_der_cursor* cursor, apfs_der_kek* out);

#ifdef __cplusplus
}
#endif
#endif
