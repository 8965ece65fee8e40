// Hashes two file names and compares them both ways, under the case rule the input picks, and
// decomposes and folds every code point of the first.
//
// Input: a flags byte (bit 0: case-sensitive), the first name's length, then both names.
#include "name.h"

#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    uint32_t case_sensitive = data[0] & 1u;
    size_t split = 2 + static_cast<size_t>(data[1]);
    // The reader never hashes or compares an empty name.
    if (split >= size || split == 2)
        return 0;
    // Each name in a buffer of its own size, so that a read past either one is caught.
    std::vector<uint8_t> a(data + 2, data + split);
    std::vector<uint8_t> b(data + split, data + size);
    uint32_t crc = 0xFFFFFFFFu;
    apfs_name_hash_update(a.data(), a.size(), case_sensitive, &crc);
    crc = 0xFFFFFFFFu;
    apfs_name_hash_update(b.data(), b.size(), case_sensitive, &crc);
    apfs_name_compare(a.data(), a.size(), b.data(), b.size(), case_sensitive);
    apfs_name_compare(b.data(), b.size(), a.data(), a.size(), case_sensitive);
    apfs_name_equal(a.data(), a.size(), b.data(), b.size(), case_sensitive);
    const uint8_t* p = a.data();
    const uint8_t* end = a.data() + a.size();
    while (p < end) {
        uint8_t lead = *p++;
        int32_t cp = apfs_utf8_decode(lead, &p, end);
        if (cp < 0)
            break;
        uint32_t parts[4];
        apfs_unicode_decompose(static_cast<uint32_t>(cp), parts);
        apfs_unicode_fold_delta(static_cast<uint32_t>(cp));
    }
    return 0;
}
