// Walks a container keybag and a volume keybag as the password unlock does once they are
// decrypted: every volume's wrapped VEK and keybag location, the unlock record, both key blobs,
// and the unwrap with the fixture's password.
//
// Input: a u16 length, the container keybag of that length, then the volume keybag.
#include "der.h"
#include "keybag.h"

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

const char kPassword[] = "volarix-TEST-pw";
// PBKDF2 rounds one input may cost; records asking for more are parsed but not unwrapped.
constexpr uint64_t kMaxIterations = 16;
// Unwraps per input, so that a keybag of many volumes stays fast.
constexpr int kMaxUnwraps = 4;

bool UnlockRecord(const std::vector<uint8_t>& keybag, apfs_keybag_entry* record) {
    apfs_keybag_walk walk;
    apfs_keybag_walk_init(&walk, keybag.data(), keybag.size());
    while (apfs_keybag_walk_next(&walk, record))
        if (record->tag == APFS_KB_TAG_UNLOCK_RECORD)
            return true;
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    size_t split = 2 + static_cast<size_t>(apfs_le16(data));
    if (split > size)
        split = size;
    // Each keybag in a buffer of its own size, so that a read past either one is caught.
    std::vector<uint8_t> container(data + 2, data + split);
    std::vector<uint8_t> volume(data + split, data + size);
    apfs_keybag_entry record;
    bool have_record = UnlockRecord(volume, &record);
    apfs_keybag_walk walk;
    apfs_keybag_walk_init(&walk, container.data(), container.size());
    apfs_keybag_entry entry, vek_entry, location;
    int unwraps = 0;
    while (apfs_keybag_walk_next(&walk, &entry)) {
        if (!apfs_keybag_find_volume(container.data(), container.size(), entry.uuid, &vek_entry, &location) ||
            !have_record || unwraps >= kMaxUnwraps)
            continue;
        apfs_der_cursor cursor;
        apfs_der_header header;
        apfs_der_vek vek;
        apfs_der_kek kek;
        apfs_der_set(&cursor, vek_entry.keydata, vek_entry.keylen);
        if (!apfs_der_blob_header(&cursor, &header) || !apfs_der_vek_blob(&cursor, &vek))
            continue;
        apfs_der_set(&cursor, record.keydata, record.keylen);
        if (!apfs_der_blob_header(&cursor, &header) || !apfs_der_kek_blob(&cursor, &kek) ||
            kek.iterations > kMaxIterations)
            continue;
        uint8_t key[APFS_VOLUME_KEY_BYTES];
        apfs_unwrap_vek(&vek, &kek, kPassword, sizeof kPassword - 1, key);
        unwraps++;
    }
    return 0;
}
