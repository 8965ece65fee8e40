#pragma once
// The drive layout a disk stand-in answers for an image that is one APFS partition from its first
// byte to its last: a GPT layout with a single entry of the APFS type.
#include "apfs_common.h"
#include "device_api.h"

#include <cstdint>
#include <cstring>

inline BOOL WriteWholeDiskLayout(void* out, DWORD out_size, uint64_t image_size, LPDWORD returned) {
    if (out_size < FS_LAYOUT_HEAD_SIZE + FS_PARTITION_ENTRY_SIZE)
        return FALSE;
    uint8_t* layout = static_cast<uint8_t*>(out);
    memset(layout, 0, FS_LAYOUT_HEAD_SIZE + FS_PARTITION_ENTRY_SIZE);
    apfs_put_le32(layout + FS_LAYOUT_STYLE, FS_PARTITION_STYLE_GPT);
    apfs_put_le32(layout + FS_LAYOUT_COUNT, 1);
    uint8_t* entry = layout + FS_LAYOUT_HEAD_SIZE;
    apfs_put_le64(entry + FS_PARTITION_LENGTH, image_size);
    static const uint8_t apfs_type[16] = {0xEF, 0x57, 0x34, 0x7C, 0x00, 0x00, 0xAA, 0x11,
                                          0xAA, 0x11, 0x00, 0x30, 0x65, 0x43, 0xEC, 0xAC};
    memcpy(entry + FS_PARTITION_GPT_TYPE, apfs_type, 16);
    if (returned)
        *returned = FS_LAYOUT_HEAD_SIZE + FS_PARTITION_ENTRY_SIZE;
    return TRUE;
}
