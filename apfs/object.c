/* The object header shared by every on-disk object: its Fletcher-64 checksum and the checks
 * made on objects that span several blocks. */
#include "container.h"

#define FLETCHER_MODULUS 0xFFFFFFFFull

static uint64_t fletcher64(const uint8_t* object, uint32_t length) {
    if (length <= 8)
        return 0x00000000FFFFFFFFull;
    uint64_t c1 = 0, c2 = 0;
    for (uint32_t i = 2; i < length / 4; i++) {
        c1 += apfs_le32(object + 4 * i);
        if (c1 >= FLETCHER_MODULUS)
            c1 -= FLETCHER_MODULUS;
        c2 += c1;
    }
    uint32_t s2 = apfs_fletcher_fold(c2);
    uint32_t low = ~apfs_fletcher_fold((uint64_t)s2 + c1);
    return (uint64_t)low | ((uint64_t)s2 << 32);
}

uint32_t apfs_fletcher_fold(uint64_t value) {
    uint32_t folded = (uint32_t)(value >> 32) + (uint32_t)value;
    return folded == 0xFFFFFFFFu ? 0 : folded;
}

uint64_t apfs_fletcher64(void* object, uint32_t length) {
    uint64_t sum = fletcher64(object, length);
    if (length >= 8)
        apfs_put_le64((uint8_t*)object + APFS_OBJ_CKSUM, sum);
    return sum;
}

int apfs_obj_checksum_ok(const void* object, uint32_t length) {
    if (length < 8)
        return 0;
    return apfs_le64((const uint8_t*)object + APFS_OBJ_CKSUM) == fletcher64(object, length);
}

int apfs_obj_verify(const apfs_container* container, const void* object, uint32_t block_count,
                    uint32_t type) {
    const uint8_t* obj = object;
    if (block_count == 0 || container->block_size == 0 || block_count > UINT32_MAX / container->block_size)
        return 0;
    return apfs_obj_checksum_ok(obj, block_count * container->block_size) &&
           apfs_le32(obj + APFS_OBJ_TYPE) == type &&
           apfs_le64(obj + APFS_OBJ_XID) <= apfs_container_xid(container) &&
           apfs_le64(obj + APFS_OBJ_OID) == 0 && apfs_le32(obj + APFS_OBJ_SUBTYPE) == 0;
}

uint8_t apfs_log2(uint32_t value) {
    for (uint8_t shift = 0; shift <= 25; shift++)
        if (value == (1u << shift))
            return shift;
    return 9;
}
