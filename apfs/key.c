#include "key.h"

#include <stdlib.h>
#include <string.h>

#include "name.h"

/* Read in place of a missing data pointer, so that a key never dereferences NULL. */
static const uint8_t no_bytes[APFS_DREC_HASHED_KEY_MAX];

static const uint8_t* key_data(const apfs_key* k) {
    return k->data ? k->data : no_bytes;
}

static int inline_kind(const apfs_key* k) {
    return k->kind == APFS_KEY_JKEY || k->kind == APFS_KEY_JKEY2;
}

/* First u64 of the key: obj_id_and_type for the file-system kinds. */
static uint64_t first_u64(const apfs_key* k) {
    return inline_kind(k) ? k->u.id : apfs_le64(key_data(k));
}

static uint64_t second_u64(const apfs_key* k) {
    return apfs_le64(key_data(k) + 8);
}

int apfs_key_make(uint32_t kind, const void* data, apfs_key** slot) {
    if (kind == APFS_KEY_JKEY2)
        kind = APFS_KEY_JKEY;
    if (*slot && (*slot)->kind == kind) {
        apfs_key_set_data(*slot, data);
        return 1;
    }
    if (*slot) {
        apfs_key_free(*slot);
        *slot = NULL;
    }
    if (kind > APFS_KEY_KIND_MAX)
        return 0;
    apfs_key* k = calloc(1, sizeof *k);
    if (!k)
        return 0;
    k->kind = kind;
    k->case_sensitive = 1;
    apfs_key_set_data(k, data);
    *slot = k;
    return 1;
}

void apfs_key_free(apfs_key* key) {
    if (!key)
        return;
    if (key->kind == APFS_KEY_XATTR && key->u.owns_data)
        free((void*)key->data);
    free(key);
}

void apfs_key_set_data(apfs_key* key, const void* p) {
    if (inline_kind(key)) {
        key->u.id = p ? apfs_le64(p) : 0;
        key->data = NULL;
    } else {
        key->data = p;
    }
}

/* j_xattr_key_t and j_drec_key_t: a u16 name length, then the name. */
#define U16_NAME_LEN_OFF 8
#define U16_NAME_OFF 10

/* The other records of a file-system tree met by an unhashed directory-record search carry no
 * name length: their j_key_t head alone orders them. */
static int has_u16_name(const apfs_key* k) {
    return k->kind != APFS_KEY_DREC || apfs_key_type(k) == APFS_TYPE_DIR_REC;
}

static uint16_t u16_name_len(const apfs_key* k) {
    return has_u16_name(k) ? apfs_le16(key_data(k) + U16_NAME_LEN_OFF) : 0;
}

uint32_t apfs_key_size(const apfs_key* key) {
    switch (key->kind) {
    case APFS_KEY_JKEY:
    case APFS_KEY_JKEY2:
        return 8;
    case APFS_KEY_DREC_HASHED:
        return (apfs_le32(key_data(key) + 8) & APFS_DREC_NAME_LEN_MASK) + 12;
    case APFS_KEY_XATTR:
    case APFS_KEY_DREC:
        return has_u16_name(key) ? u16_name_len(key) + (uint32_t)U16_NAME_OFF : 8u;
    default:
        return 16;
    }
}

uint32_t apfs_key_head_size(uint32_t kind) {
    if (kind == APFS_KEY_DREC_HASHED)
        return 12;
    if (kind == APFS_KEY_XATTR || kind == APFS_KEY_DREC)
        return U16_NAME_OFF;
    return 8;
}

const uint8_t* apfs_key_bytes(const apfs_key* key) {
    return inline_kind(key) ? (const uint8_t*)&key->u.id : key->data;
}

uint32_t apfs_key_type(const apfs_key* key) {
    return (uint32_t)(first_u64(key) >> APFS_OBJ_TYPE_SHIFT);
}

uint64_t apfs_key_object_id(const apfs_key* key) {
    return inline_kind(key) ? key->u.id : first_u64(key) & APFS_OBJ_ID_MASK;
}

int apfs_bytes_compare(const uint8_t* a, uint16_t alen, const uint8_t* b, uint16_t blen) {
    uint16_t n = alen < blen ? alen : blen;
    for (uint16_t i = 0; i < n; i++) {
        if (a[i] > b[i])
            return i + 1;
        if (a[i] < b[i])
            return -(i + 1);
    }
    return (int)alen - (int)blen;
}

static int cmp_u64(uint64_t a, uint64_t b) {
    return a < b ? -1 : a > b;
}

/* Object id, then record type: the leading fields of every file-system key. */
static int cmp_oid_type(uint64_t a, uint64_t b) {
    int c = cmp_u64(a & APFS_OBJ_ID_MASK, b & APFS_OBJ_ID_MASK);
    return c ? c : cmp_u64(a >> APFS_OBJ_TYPE_SHIFT, b >> APFS_OBJ_TYPE_SHIFT);
}

static uint32_t drec_name_len(const apfs_key* k) {
    return apfs_le32(key_data(k) + 8) & APFS_DREC_NAME_LEN_MASK;
}

/* The order of keys of a's kind: < 0, 0 or > 0. */
static int key_order(const apfs_key* a, const apfs_key* b) {
    int c;
    switch (a->kind) {
    case APFS_KEY_JKEY:
    case APFS_KEY_JKEY2:
        return cmp_oid_type(a->u.id, apfs_key_object_id(b));
    case APFS_KEY_DREC_HASHED: {
        if ((c = cmp_oid_type(first_u64(a), first_u64(b))) != 0)
            return c;
        uint32_t ha = apfs_le32(key_data(a) + 8), hb = apfs_le32(key_data(b) + 8);
        if ((c = cmp_u64(ha >> APFS_DREC_HASH_SHIFT, hb >> APFS_DREC_HASH_SHIFT)) != 0)
            return c;
        uint16_t la = (uint16_t)drec_name_len(a), lb = (uint16_t)drec_name_len(b);
        if (la == 0 || lb == 0)
            return 0;
        return apfs_bytes_compare(key_data(a) + 12, la, key_data(b) + 12, lb);
    }
    case APFS_KEY_XATTR:
    case APFS_KEY_DREC:
        if ((c = cmp_oid_type(first_u64(a), first_u64(b))) != 0)
            return c;
        return apfs_bytes_compare(key_data(a) + U16_NAME_OFF, u16_name_len(a), key_data(b) + U16_NAME_OFF,
                                  u16_name_len(b));
    case APFS_KEY_FILE_EXTENT:
    case APFS_KEY_JKEY_U64:
        if ((c = cmp_oid_type(first_u64(a), first_u64(b))) != 0)
            return c;
        return cmp_u64(second_u64(a), second_u64(b));
    default:
        if ((c = cmp_u64(first_u64(a), first_u64(b))) != 0)
            return c;
        return cmp_u64(second_u64(a), second_u64(b));
    }
}

int apfs_key_equal(const apfs_key* a, const apfs_key* b) {
    switch (a->kind) {
    case APFS_KEY_JKEY:
    case APFS_KEY_JKEY2:
        return a->u.id == apfs_key_object_id(b);
    case APFS_KEY_DREC_HASHED: {
        if (first_u64(a) != first_u64(b))
            return 0;
        /* Only the hash must agree: the name lengths are compared below. */
        uint32_t ha = apfs_le32(key_data(a) + 8), hb = apfs_le32(key_data(b) + 8);
        if ((ha ^ hb) >> APFS_DREC_HASH_SHIFT)
            return 0;
        uint32_t la = drec_name_len(a), lb = drec_name_len(b);
        if (la == 0 || lb == 0)
            return 1;
        if (la != lb)
            return 0;
        return apfs_name_compare(key_data(a) + 12, la - 1, key_data(b) + 12, lb - 1, a->case_sensitive) == 0;
    }
    case APFS_KEY_XATTR:
    case APFS_KEY_DREC: {
        uint16_t la = u16_name_len(a);
        return first_u64(a) == first_u64(b) && la == u16_name_len(b) &&
               apfs_bytes_compare(key_data(a) + U16_NAME_OFF, la, key_data(b) + U16_NAME_OFF, la) == 0;
    }
    case APFS_KEY_U64_PAIR2:
        return second_u64(a) == second_u64(b) && first_u64(a) == first_u64(b);
    default:
        return first_u64(a) == first_u64(b) && second_u64(a) == second_u64(b);
    }
}

int apfs_key_greater(const apfs_key* a, const apfs_key* b) {
    return key_order(a, b) > 0;
}

int apfs_key_less_equal(const apfs_key* a, const apfs_key* b) {
    return key_order(a, b) <= 0;
}

void apfs_omap_key_make(apfs_key* key, uint64_t oid, uint32_t type) {
    memset(key, 0, sizeof *key);
    key->kind = APFS_KEY_JKEY;
    key->case_sensitive = 1;
    key->u.id = (uint64_t)type << APFS_OBJ_TYPE_SHIFT | oid;
}

void apfs_extent_key_make(apfs_key* key, uint64_t oid, uint64_t logical) {
    memset(key, 0, sizeof *key);
    key->kind = APFS_KEY_FILE_EXTENT;
    key->case_sensitive = 1;
    apfs_put_le64(key->u.bytes, oid | (uint64_t)APFS_TYPE_FILE_EXTENT << APFS_OBJ_TYPE_SHIFT);
    apfs_put_le64(key->u.bytes + 8, logical);
    key->data = key->u.bytes;
}

void apfs_drec_key_make(apfs_key* key, uint64_t dir_oid, uint32_t case_sensitive, uint32_t hash) {
    memset(key, 0, sizeof *key);
    key->kind = APFS_KEY_DREC_HASHED;
    key->case_sensitive = case_sensitive;
    apfs_put_le64(key->u.bytes, dir_oid | (uint64_t)APFS_TYPE_DIR_REC << APFS_OBJ_TYPE_SHIFT);
    apfs_put_le32(key->u.bytes + 8, hash << APFS_DREC_HASH_SHIFT);
    key->data = key->u.bytes;
}

int apfs_drec_name_key_make(apfs_key* key, uint64_t dir_oid, const uint8_t* name, uint32_t name_len) {
    if (name_len >= sizeof key->u.bytes - U16_NAME_OFF)
        return 0;
    memset(key, 0, sizeof *key);
    key->kind = APFS_KEY_DREC;
    key->case_sensitive = 1;
    apfs_put_le64(key->u.bytes, dir_oid | (uint64_t)APFS_TYPE_DIR_REC << APFS_OBJ_TYPE_SHIFT);
    apfs_put_le16(key->u.bytes + U16_NAME_LEN_OFF, (uint16_t)(name_len + 1));
    memcpy(key->u.bytes + U16_NAME_OFF, name, name_len);
    key->data = key->u.bytes;
    return 1;
}
