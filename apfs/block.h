#ifndef VOLARIX_BLOCK_H
#define VOLARIX_BLOCK_H
/* Reference-counted holders of object blocks, the slots in which nodes keep them, and the read
 * path beneath: container objects straight from the device, volume objects through their volume,
 * decrypted when the volume is encrypted. */
#include "apfs_common.h"

#ifdef __cplusplus
extern "C" {
#endif

struct apfs_block {
    uint8_t* data;
    uint8_t volume_index; /* APFS_VOLUME_CONTAINER for container objects */
    uint32_t refcount;
    apfs_container* container; /* not owned */
    uint32_t reload;           /* kept and cloned; does not change how the block is read */
    uint64_t block;
    uint32_t size; /* bytes allocated for data; a later read into the holder may not exceed it */
};

int apfs_read_blocks(apfs_container* container, uint64_t block, void* buffer, uint64_t count);
int apfs_read_bytes(apfs_container* container, uint64_t offset, void* buffer, uint64_t size);
int apfs_read_object(apfs_container* container, uint64_t offset, void* buffer, uint64_t size,
                     uint8_t volume_index, int allow);
/* Makes *buffer hold one block, dropping one made for another block size (*held, set here): the
 * container may have been opened again with other blocks since. */
int apfs_block_buffer(const apfs_container* container, uint8_t** buffer, uint32_t* held);
int apfs_volume_read_blocks(apfs_volume* volume, uint64_t offset, void* buffer, uint64_t size);

void apfs_block_init(apfs_block* holder);
int apfs_block_read(apfs_block* holder, apfs_container* container, uint64_t block, uint32_t size,
                    uint8_t volume_index, uint32_t reload);
int apfs_block_copy(apfs_block* holder, const apfs_block* source, uint32_t size);
int apfs_block_get(apfs_container* container, uint64_t block, apfs_block** out, uint32_t size,
                   uint8_t volume_index, uint32_t reload);
int apfs_block_clone(apfs_container* container, const apfs_block* source, apfs_block** out, uint32_t size);
void apfs_block_release(apfs_block* holder);
void apfs_block_free(apfs_block* holder);

int apfs_block_acquire(apfs_block** slot, apfs_container* container, uint64_t block, uint32_t size,
                       uint8_t volume_index, uint32_t reload);
int apfs_block_acquire_clone(apfs_block** slot, apfs_container* container, apfs_block* const* source,
                             uint32_t size);
void apfs_block_slot_clear(apfs_block** slot);
/* Releases without emptying the slot: for owners that go away themselves. */
void apfs_block_slot_release(apfs_block** slot);
uint8_t* apfs_block_slot_data(apfs_block* const* slot);

#ifdef __cplusplus
}
#endif
#endif
