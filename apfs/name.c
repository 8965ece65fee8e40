#include "name.h"

#include "unicode_tables.h"

static uint32_t crc32c_table[256];
static int crc32c_ready;

static void crc32c_init(void) {
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t c = i;
        for (int k = 0; k < 8; k++)
            c = (c & 1) ? (c >> 1) ^ 0x82F63B78u : c >> 1;
        crc32c_table[i] = c;
    }
    crc32c_ready = 1;
}

uint32_t apfs_crc32c_update(uint32_t crc, const void* bytes, size_t n) {
    const uint8_t* p = bytes;
    if (!crc32c_ready)
        crc32c_init();
    for (size_t i = 0; i < n; i++)
        crc = crc32c_table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
    return crc;
}

static int is_continuation(uint8_t b) {
    return (b & 0xC0) == 0x80;
}

int32_t apfs_utf8_decode(uint8_t lead, const uint8_t** p, const uint8_t* end) {
    /* Smallest value each length may encode, indexed by the number of continuation bytes. */
    static const uint32_t min_value[4] = {0, 0x80, 0x800, 0x10000};
    const uint8_t* s = *p;
    uint32_t cp;
    int extra;

    if (lead < 0x80)
        return lead;
    if (lead >= 0xC2 && lead <= 0xDF) {
        extra = 1;
        cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        extra = 2;
        cp = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF7) {
        extra = 3;
        cp = lead & 0x07;
    } else {
        return -1;
    }
    if (end - s < extra)
        return -1;
    for (int i = 0; i < extra; i++) {
        if (!is_continuation(s[i]))
            return -1;
        cp = (cp << 6) | (s[i] & 0x3F);
        if (i == 0 && extra == 2 && (cp & ~0x1Fu) == 0x360)
            return -1; /* a UTF-16 surrogate */
        if (i == 0 && extra == 3 && cp > 0x10F)
            return -1; /* beyond U+10FFFF */
    }
    if (cp < min_value[extra])
        return -1;
    *p = s + extra;
    return (int32_t)cp;
}

uint16_t apfs_unicode_decomp_lookup(uint32_t cp) {
    if (cp >= apfs_decomp_limit)
        return 0;
    return apfs_decomp_stage2[(uint32_t)apfs_decomp_stage1[cp >> 6] * 64 + (cp & 63)];
}

int apfs_unicode_decompose(uint32_t cp, uint32_t out[4]) {
    /* Hangul syllables decompose arithmetically into their conjoining jamo. */
    if (cp >= 0xAC00 && cp < 0xAC00 + 11172) {
        uint32_t s = cp - 0xAC00, t = s % 28;
        out[0] = 0x1100 + s / 588;
        out[1] = 0x1161 + (s % 588) / 28;
        if (t == 0)
            return 2;
        out[2] = 0x11A7 + t;
        return 3;
    }
    uint16_t v = apfs_unicode_decomp_lookup(cp);
    if (v == 0) {
        out[0] = cp;
        return 1;
    }
    int count = (v >> 14) + 1;
    const uint16_t* run = apfs_decomp_sequence + (v & 0x3FFF);
    for (int i = 0; i < count; i++)
        out[i] = apfs_decomp_codepoints[run[i]];
    return count;
}

static int32_t fold_only_delta(uint32_t cp) {
    uint32_t lo = 0, hi = apfs_fold_only_count;
    if (cp < apfs_fold_only[0][0] || cp > apfs_fold_only[hi - 1][0])
        return 0;
    while (lo < hi) {
        uint32_t mid = lo + (hi - lo) / 2;
        if (apfs_fold_only[mid][0] < cp)
            lo = mid + 1;
        else
            hi = mid;
    }
    return apfs_fold_only[lo][0] == cp ? (int32_t)apfs_fold_only[lo][1] - (int32_t)cp : 0;
}

int32_t apfs_unicode_fold_delta(uint32_t cp) {
    if (cp < apfs_lower_limit) {
        uint8_t i = apfs_lower_stage2[(uint32_t)apfs_lower_stage1[cp >> 6] * 64 + (cp & 63)];
        if (i != 0)
            return apfs_lower_deltas[i];
    }
    return fold_only_delta(cp);
}

static uint32_t ascii_fold(uint32_t c, uint32_t case_sensitive) {
    return (!case_sensitive && c >= 'A' && c <= 'Z') ? c + 0x20 : c;
}

int apfs_name_hash_update(const uint8_t* name, size_t len, uint32_t case_sensitive, uint32_t* crc) {
    const uint8_t *p = name, *end = name + len;

    while (p < end && *p != 0) {
        uint8_t lead = *p++;
        uint32_t cps[4];
        int n = 1;

        if (lead < 0x80) {
            cps[0] = ascii_fold(lead, case_sensitive);
        } else {
            int32_t cp = apfs_utf8_decode(lead, &p, end);
            if (cp < 0)
                return -1;
            n = apfs_unicode_decompose((uint32_t)cp, cps);
            if (!case_sensitive) {
                /* Where folding the first code point is not the fold the hashes were made with. */
                if (cp == 0x1FC2) {
                    cps[2] = 0x03B9;
                } else if (cp == 0x00DF) {
                    cps[0] = cps[1] = 0x73;
                    n = 2;
                } else {
                    cps[0] = (uint32_t)((int32_t)cps[0] + apfs_unicode_fold_delta(cps[0]));
                }
            }
        }
        for (int i = 0; i < n; i++) {
            uint8_t le[4] = {(uint8_t)cps[i], (uint8_t)(cps[i] >> 8), (uint8_t)(cps[i] >> 16),
                             (uint8_t)(cps[i] >> 24)};
            *crc = apfs_crc32c_update(*crc, le, 4);
        }
    }
    return 0;
}

/* One code point of a name for comparison, or -1 when malformed; *p advances. */
static int32_t next_compare_cp(const uint8_t** p, const uint8_t* end, uint32_t case_sensitive) {
    uint8_t lead = *(*p)++;
    if (lead < 0x80)
        return (int32_t)ascii_fold(lead, case_sensitive);
    int32_t cp = apfs_utf8_decode(lead, p, end);
    if (cp < 1)
        return -1;
    if (!case_sensitive)
        cp += apfs_unicode_fold_delta((uint32_t)cp);
    return cp;
}

int32_t apfs_name_compare(const uint8_t* a, size_t a_len, const uint8_t* b, size_t b_len,
                          uint32_t case_sensitive) {
    const uint8_t *pa = a, *ea = a + a_len, *pb = b, *eb = b + b_len;

    for (;;) {
        /* A 0 byte ends a name as it ends the hash; an ended name sorts first, as its
         * terminator does in the directory tree. */
        int a_ended = pa == ea || *pa == 0, b_ended = pb == eb || *pb == 0;
        if (a_ended || b_ended)
            return b_ended - a_ended;
        int32_t ca = next_compare_cp(&pa, ea, case_sensitive);
        int32_t cb = next_compare_cp(&pb, eb, case_sensitive);
        if (ca < 1 || cb < 1)
            return -1;
        if (ca != cb)
            return ca - cb;
    }
}

int apfs_name_equal(const uint8_t* a, size_t a_len, const uint8_t* b, size_t b_len, uint32_t case_sensitive) {
    return apfs_name_compare(a, a_len, b, b_len, case_sensitive) == 0;
}
