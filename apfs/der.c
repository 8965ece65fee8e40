#include "der.h"

#include <string.h>

#define DER_LONG_FORM 0x80
/* Lengths and integers wider than 64 bits cannot be held, so they are not valid here. */
#define DER_MAX_VALUE_BYTES 8

void apfs_der_reset(apfs_der_cursor* cursor) {
    cursor->pos = NULL;
    cursor->end = NULL;
}

void apfs_der_set(apfs_der_cursor* cursor, const uint8_t* bytes, uint16_t length) {
    cursor->pos = bytes;
    cursor->end = bytes + length;
}

static uint64_t left(const apfs_der_cursor* cursor) {
    return cursor->pos && cursor->pos <= cursor->end ? (uint64_t)(cursor->end - cursor->pos) : 0;
}

uint64_t apfs_der_length(const uint8_t* element, uint32_t* header_length) {
    uint8_t first = element[1];
    if (first < DER_LONG_FORM) {
        *header_length = 2;
        return first;
    }
    uint32_t count = first & 0x7F;
    uint64_t length = 0;
    for (uint32_t i = 0; i < count; i++)
        length = (length << 8) | element[2 + i];
    *header_length = count + 2;
    return length;
}

int apfs_der_enter(apfs_der_cursor* cursor, uint8_t tag) {
    uint64_t avail = left(cursor);
    if (avail < 2 || cursor->pos[0] != tag)
        return 0;
    if (cursor->pos[1] >= DER_LONG_FORM) {
        uint32_t count = cursor->pos[1] & 0x7F;
        if (count > DER_MAX_VALUE_BYTES || avail < 2 + (uint64_t)count)
            return 0;
    }
    uint32_t header = 0;
    uint64_t length = apfs_der_length(cursor->pos, &header);
    if (!apfs_range_ok(header, length, avail))
        return 0;
    cursor->pos += header;
    return 1;
}

int apfs_der_get_uint(apfs_der_cursor* cursor, uint8_t tag, uint64_t* out) {
    uint64_t avail = left(cursor);
    if (avail < 2 || cursor->pos[0] != tag)
        return 0;
    uint32_t count = cursor->pos[1];
    if (count > DER_MAX_VALUE_BYTES || avail < 2 + (uint64_t)count)
        return 0;
    uint64_t value = 0;
    for (uint32_t i = 0; i < count; i++)
        value = (value << 8) | cursor->pos[2 + i];
    *out = value;
    cursor->pos += 2 + count;
    return 1;
}

int apfs_der_get_bytes(apfs_der_cursor* cursor, uint8_t tag, uint8_t* out, uint32_t length) {
    uint64_t avail = left(cursor);
    if (avail < 2 || cursor->pos[0] != tag || cursor->pos[1] != length || avail < 2 + (uint64_t)length)
        return 0;
    memcpy(out, cursor->pos + 2, length);
    cursor->pos += 2 + length;
    return 1;
}

int apfs_der_blob_header(apfs_der_cursor* cursor, apfs_der_header* out) {
    return apfs_der_enter(cursor, 0x30) && apfs_der_get_uint(cursor, 0x80, &out->integer) &&
           apfs_der_get_bytes(cursor, 0x81, out->hmac, sizeof out->hmac) &&
           apfs_der_get_bytes(cursor, 0x82, out->salt, sizeof out->salt);
}

static int key_body(apfs_der_cursor* cursor, uint64_t* integer, uint8_t* uuid, uint8_t* flags,
                    uint8_t* wrapped) {
    return apfs_der_enter(cursor, 0xA3) && apfs_der_get_uint(cursor, 0x80, integer) &&
           apfs_der_get_bytes(cursor, 0x81, uuid, 16) && apfs_der_get_bytes(cursor, 0x82, flags, 8) &&
           apfs_der_get_bytes(cursor, 0x83, wrapped, 40);
}

int apfs_der_vek_blob(apfs_der_cursor* cursor, apfs_der_vek* out) {
    return key_body(cursor, &out->integer, out->uuid, out->flags, out->wrapped_key);
}

int apfs_der_kek_blob(apfs_der_cursor* cursor, apfs_der_kek* out) {
    return key_body(cursor, &out->integer, out->uuid, out->flags, out->wrapped_key) &&
           apfs_der_get_uint(cursor, 0x84, &out->iterations) &&
           apfs_der_get_bytes(cursor, 0x85, out->salt, sizeof out->salt);
}
