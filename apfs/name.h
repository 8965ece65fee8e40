/* Directory-record file names: strict UTF-8 decoding, canonical decomposition, the case rule of
 * a volume, the 22-bit name hash of hashed directory keys and the name comparison. */
#ifndef VOLARIX_APFS_NAME_H
#define VOLARIX_APFS_NAME_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Reflected CRC-32C (Castagnoli) without pre- or post-inversion. */
uint32_t apfs_crc32c_update(uint32_t crc, const void* bytes, size_t n);

/* Decodes the sequence whose lead byte was already taken; *p is the byte after it and advances
 * past the sequence on success. Returns the code point, or -1 for a malformed sequence. */
int32_t apfs_utf8_decode(uint8_t lead, const uint8_t** p, const uint8_t* end);

uint16_t apfs_unicode_decomp_lookup(uint32_t cp);
/* Full canonical decomposition (without reordering); returns the count, 1 to 4. */
int apfs_unicode_decompose(uint32_t cp, uint32_t out[4]);
/* Case-fold delta: the simple lowercase mapping, or case folding's where there is none. */
int32_t apfs_unicode_fold_delta(uint32_t cp);

/* Feeds the code points of a name into *crc; 0, or -1 for a malformed name. A 0 byte ends the
 * name. case_sensitive 0 folds case as the volume's hashed keys expect. */
int apfs_name_hash_update(const uint8_t* name, size_t len, uint32_t case_sensitive, uint32_t* crc);

/* 0 when both names end (at their length or a 0 byte) after the same code points, decoded and,
 * when case_sensitive is 0, case-folded; names are not decomposed here, so canonically equivalent
 * spellings can differ. Otherwise the sign orders a before or after b. */
int32_t apfs_name_compare(const uint8_t* a, size_t a_len, const uint8_t* b, size_t b_len,
                          uint32_t case_sensitive);
int apfs_name_equal(const uint8_t* a, size_t a_len, const uint8_t* b, size_t b_len, uint32_t case_sensitive);

#define APFS_NAME_HASH_MASK 0x3FFFFFu

#ifdef __cplusplus
}
#endif

#endif
