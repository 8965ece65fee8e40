#include "block.h"

#include "container.h"
#include "crypto.h"
#include "fs_reader.h"
#include "volume.h"

#include <stdlib.h>
#include <string.h>

int apfs_read_bytes(apfs_container* container, uint64_t offset, void* buffer, uint64_t size) {
    return FsReader_Read(container->reader, offset, buffer, size);
}

int apfs_read_blocks(apfs_container* container, uint64_t block, void* buffer, uint64_t count) {
    uint32_t shift = container->block_shift;
    /* Block numbers come from disk: one too large for a byte offset must not wrap to a small one. */
    if (shift >= 64 || block > (UINT64_MAX >> shift) || count > (UINT64_MAX >> shift))
        return 0;
    return apfs_read_bytes(container, block << shift, buffer, count << shift);
}

int apfs_block_buffer(const apfs_container* container, uint8_t** buffer, uint32_t* held) {
    if (*buffer && *held == container->block_size)
        return 1;
    free(*buffer);
    *buffer = malloc(container->block_size);
    *held = container->block_size;
    return *buffer != NULL;
}

int apfs_volume_read_blocks(apfs_volume* volume, uint64_t offset, void* buffer, uint64_t size) {
    apfs_container* container = volume->container;
    if (!volume->encrypted)
        return apfs_read_bytes(container, offset, buffer, size);
    if (!volume->key)
        return 0;
    if (!apfs_read_bytes(container, offset, buffer, size))
        return 0;
    uint32_t shift = container->block_shift;
    return apfs_decrypt_blocks(container, volume->key, offset >> shift, buffer, size >> shift);
}

int apfs_read_object(apfs_container* container, uint64_t offset, void* buffer, uint64_t size,
                     uint8_t volume_index, int allow) {
    if (volume_index == APFS_VOLUME_CONTAINER)
        return apfs_read_bytes(container, offset, buffer, size);
    if (!allow || volume_index >= container->volume_count || !container->volumes)
        return 0;
    apfs_volume* volume = &container->volumes[volume_index];
    if (!volume->mounted)
        return 0;
    return apfs_volume_read_blocks(volume, offset, buffer, size);
}

void apfs_block_init(apfs_block* holder) {
    holder->data = NULL;
    holder->volume_index = 0;
    holder->refcount = 0;
    holder->container = NULL;
    holder->reload = 0;
    holder->block = 0;
    holder->size = 0;
}

static int ensure_data(apfs_block* holder, uint32_t size) {
    if (holder->data)
        return size <= holder->size;
    holder->data = calloc(1, size ? size : 1);
    if (!holder->data)
        return 0;
    holder->size = size;
    return 1;
}

int apfs_block_read(apfs_block* holder, apfs_container* container, uint64_t block, uint32_t size,
                    uint8_t volume_index, uint32_t reload) {
    holder->container = container;
    holder->block = block;
    holder->volume_index = volume_index;
    holder->reload = reload;
    if (size == 0)
        size = container->block_size;
    if (!ensure_data(holder, size))
        return 0;
    uint32_t shift = container->block_shift;
    if (shift >= 64 || block > (UINT64_MAX >> shift))
        return 0;
    if (!apfs_read_object(container, block << shift, holder->data, size, volume_index, 1))
        return 0;
    holder->refcount++;
    return 1;
}

int apfs_block_copy(apfs_block* holder, const apfs_block* source, uint32_t size) {
    holder->container = source->container;
    holder->block = source->block;
    holder->volume_index = source->volume_index;
    holder->reload = source->reload;
    if (size == 0)
        size = source->container->block_size;
    if (size > source->size || !ensure_data(holder, size))
        return 0;
    memcpy(holder->data, source->data, size);
    holder->refcount++;
    return 1;
}

int apfs_block_get(apfs_container* container, uint64_t block, apfs_block** out, uint32_t size,
                   uint8_t volume_index, uint32_t reload) {
    apfs_block* holder = malloc(sizeof *holder);
    if (!holder)
        return 0;
    apfs_block_init(holder);
    if (!apfs_block_read(holder, container, block, size, volume_index, reload)) {
        apfs_block_free(holder);
        return 0;
    }
    *out = holder;
    return 1;
}

int apfs_block_clone(apfs_container* container, const apfs_block* source, apfs_block** out, uint32_t size) {
    (void)container;
    apfs_block* holder = malloc(sizeof *holder);
    if (!holder)
        return 0;
    apfs_block_init(holder);
    if (!apfs_block_copy(holder, source, size)) {
        apfs_block_free(holder);
        return 0;
    }
    *out = holder;
    return 1;
}

void apfs_block_release(apfs_block* holder) {
    if (holder->refcount <= 1) {
        apfs_block_free(holder);
        return;
    }
    holder->refcount--;
}

void apfs_block_free(apfs_block* holder) {
    if (!holder)
        return;
    free(holder->data);
    free(holder);
}

int apfs_block_acquire(apfs_block** slot, apfs_container* container, uint64_t block, uint32_t size,
                       uint8_t volume_index, uint32_t reload) {
    if (!container)
        return 0;
    apfs_block_slot_clear(slot);
    return apfs_block_get(container, block, slot, size, volume_index, reload);
}

int apfs_block_acquire_clone(apfs_block** slot, apfs_container* container, apfs_block* const* source,
                             uint32_t size) {
    if (!container || !*source)
        return 0;
    /* The source may be this very slot: take a reference before the slot lets go of it. */
    apfs_block* from = *source;
    from->refcount++;
    apfs_block_slot_clear(slot);
    int ok = apfs_block_clone(container, from, slot, size);
    apfs_block_release(from);
    return ok;
}

void apfs_block_slot_clear(apfs_block** slot) {
    if (*slot) {
        apfs_block_release(*slot);
        *slot = NULL;
    }
}

void apfs_block_slot_release(apfs_block** slot) {
    if (*slot)
        apfs_block_release(*slot);
}

uint8_t* apfs_block_slot_data(apfs_block* const* slot) {
    return *slot ? (*slot)->data : NULL;
}
