#ifndef VOLARIX_FS_READER_H
#define VOLARIX_FS_READER_H
/* The reader's only access to the disk: opens a volume or disk device, locks it, finds the APFS
 * partition and reads byte ranges of it in whole 4096-byte units. */
#include "apfs_common.h"

#ifdef __cplusplus
extern "C" {
#endif

#define FS_READER_UNIT 4096
#define FS_READER_UNKNOWN_LENGTH 0x7FFFFFFFFFFFFFFFull
#define FS_READER_NO_BUDGET UINT64_MAX
/* Device bytes one probe of a volume may read. Real containers take 12 to 16 units, one of a
 * hundred volumes about a hundred more; a crafted disk, whatever its size, holds the prober for no longer. */
#define FS_READER_PROBE_BUDGET (4u << 20)

struct FsReader {
    int descriptor;    /* -1 when none */
    uint32_t locked;   /* the volume lock was taken */
    uint32_t failed;   /* the device went away or the budget is spent; every later read fails */
    uint64_t length;   /* readable bytes of the partition */
    char* path;        /* heap copy of the device path */
    uint64_t start;    /* byte offset of the partition on the device */
    uint64_t units;    /* FS_READER_UNIT transfers since the reset, and reads refused as out of range */
    uint64_t budget;   /* units allowed in all, or FS_READER_NO_BUDGET */
    uint64_t attempts; /* FsReader_Read calls since the reset, refused ones included */
};

void FsReader_Reset(FsReader* reader);
/* Must be followed by FsReader_Uninit whatever its result: a failed open may hold the lock. */
int FsReader_Init(FsReader* reader, const char* path);
int FsReader_Read(FsReader* reader, uint64_t offset, void* buffer, uint64_t size);
/* Bounds what the reader may transfer from now on to bytes, rounded down to whole units: a read
 * that would pass the bound fails, and so does every read after it. A read refused as out of range
 * costs one unit, so that no run of refused reads goes on without end either. */
void FsReader_SetBudget(FsReader* reader, uint64_t bytes);
void FsReader_Uninit(FsReader* reader);

#ifdef __cplusplus
}
#endif
#endif
