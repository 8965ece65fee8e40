#include "fs_reader.h"

#include "device_api.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define DEVICE_PREFIX_LEN 4 /* \\.\ */
#define VOLUME_NAME "HarddiskVolume"
#define VOLUME_NAME_LEN 14
#define LAYOUT_MAX_PARTITIONS 128
#define LAYOUT_BUFFER_SIZE (FS_LAYOUT_HEAD_SIZE + LAYOUT_MAX_PARTITIONS * FS_PARTITION_ENTRY_SIZE)
#define ACCESS_READ 4

/* 7C3457EF-0000-11AA-AA11-00306543ECAC in the on-disk GUID layout, as two little-endian halves. */
#define APFS_GPT_TYPE_LO 0x11AA00007C3457EFull
#define APFS_GPT_TYPE_HI 0xACEC4365300011AAull

void FsReader_Reset(FsReader* reader) {
    reader->descriptor = -1;
    reader->locked = 0;
    reader->failed = 0;
    reader->length = 0;
    reader->path = NULL;
    reader->start = 0;
    reader->units = 0;
    reader->budget = FS_READER_NO_BUDGET;
    reader->attempts = 0;
}

static HANDLE os_handle(const FsReader* reader) {
    return (HANDLE)_get_osfhandle(reader->descriptor);
}

static int is_volume_path(const char* path) {
    size_t len = strlen(path);
    if (len >= 6 && path[5] == ':')
        return 1;
    return len >= 19 && _strnicmp(path + DEVICE_PREFIX_LEN, VOLUME_NAME, VOLUME_NAME_LEN) == 0;
}

static void read_partition_info(FsReader* reader) {
    uint8_t info[FS_PARTITION_ENTRY_SIZE];
    DWORD returned = 0;
    memset(info, 0, sizeof info);
    reader->start = 0;
    if (!DeviceIoControl(os_handle(reader), IOCTL_DISK_GET_PARTITION_INFO_EX, NULL, 0, info, sizeof info,
                         &returned, NULL)) {
        fprintf(stderr, "FsReader_Init: IOCTL_DISK_GET_PARTITION_INFO_EX failed: %u\n",
                (unsigned)GetLastError());
        reader->length = FS_READER_UNKNOWN_LENGTH;
        return;
    }
    reader->length = apfs_le64(info + FS_PARTITION_LENGTH);
}

static int find_apfs_partition(FsReader* reader) {
    uint8_t* layout = calloc(1, LAYOUT_BUFFER_SIZE);
    DWORD returned = 0;
    int ok = 0;
    if (!layout)
        return 0;
    if (!DeviceIoControl(os_handle(reader), IOCTL_DISK_GET_DRIVE_LAYOUT_EX, NULL, 0, layout,
                         LAYOUT_BUFFER_SIZE, &returned, NULL)) {
        fprintf(stderr, "FsReader_Init: IOCTL_DISK_GET_DRIVE_LAYOUT_EX failed: %u\n",
                (unsigned)GetLastError());
        goto out;
    }
    uint32_t style = apfs_le32(layout + FS_LAYOUT_STYLE);
    if (style != FS_PARTITION_STYLE_GPT) {
        fprintf(stderr, "FsReader_Init: unsupported partition style: %u (only GPT lookup is supported).\n",
                (unsigned)style);
        goto out;
    }
    /* The count comes from the driver, but never walk past the buffer that was handed to it. */
    uint32_t count = apfs_le32(layout + FS_LAYOUT_COUNT);
    if (count > LAYOUT_MAX_PARTITIONS)
        count = LAYOUT_MAX_PARTITIONS;
    for (uint32_t i = 0; i < count; i++) {
        const uint8_t* entry = layout + FS_LAYOUT_HEAD_SIZE + (size_t)i * FS_PARTITION_ENTRY_SIZE;
        if (apfs_le64(entry + FS_PARTITION_GPT_TYPE) == APFS_GPT_TYPE_LO &&
            apfs_le64(entry + FS_PARTITION_GPT_TYPE + 8) == APFS_GPT_TYPE_HI) {
            reader->start = apfs_le64(entry + FS_PARTITION_STARTING_OFFSET);
            reader->length = apfs_le64(entry + FS_PARTITION_LENGTH);
            ok = 1;
            goto out;
        }
    }
    fprintf(stderr, "FsReader_Init: APFS partition not found.\n");
out:
    free(layout);
    return ok;
}

int FsReader_Init(FsReader* reader, const char* path) {
    reader->descriptor = _open(path, _O_BINARY);
    if (reader->descriptor == -1) {
        fprintf(stderr, "FsReader_Init: _open error %s\n", strerror(errno));
        return 0;
    }
    FlushFileBuffers(os_handle(reader));
    DWORD returned = 0;
    if (!DeviceIoControl(os_handle(reader), FSCTL_LOCK_VOLUME, NULL, 0, NULL, 0, &returned, NULL)) {
        fprintf(stderr, "FsReader_Init: FSCTL_LOCK_VOLUME failed\n");
        return 0;
    }
    reader->locked = 1;
    if (is_volume_path(path))
        read_partition_info(reader);
    else if (!find_apfs_partition(reader))
        return 0;
    reader->path = _strdup(path);
    return reader->path != NULL;
}

static int read_units(FsReader* reader, uint64_t offset, uint8_t* buffer, uint64_t size, uint8_t* bounce) {
    uint64_t head = offset & (FS_READER_UNIT - 1);
    while (size > 0) {
        uint64_t n = FS_READER_UNIT - head;
        if (n > size)
            n = size;
        /* A position beyond the signed range turns negative here and fails the seek below. */
        int64_t position = (int64_t)(reader->start + offset - head);
        if (_lseeki64(reader->descriptor, position, SEEK_SET) < 0) {
            fprintf(stderr, "FsReader_Read: _lseeki64 error %d\n", errno);
            if (_access(reader->path, ACCESS_READ) != 0)
                reader->failed = 1;
            return 0;
        }
        int got = _read(reader->descriptor, bounce, FS_READER_UNIT);
        reader->units++;
        if (got < 0) {
            fprintf(stderr, "FsReader_Read: _read error %d\n", errno);
            return 0;
        }
        if ((uint64_t)got < n + head) {
            fprintf(stderr, "FsReader_Read: n < to_read+head\n");
            return 0;
        }
        memcpy(buffer, bounce + head, (size_t)n);
        buffer += n;
        offset += n;
        size -= n;
        head = 0;
    }
    return 1;
}

/* 1 when units more fit the budget; else the budget is spent and the reader fails. */
static int within_budget(FsReader* reader, uint64_t units) {
    if (units <= reader->budget - reader->units)
        return 1;
    fprintf(stderr, "FsReader_Read: read budget spent\n");
    reader->failed = 1;
    return 0;
}

int FsReader_Read(FsReader* reader, uint64_t offset, void* buffer, uint64_t size) {
    reader->attempts++;
    if (!apfs_range_ok(offset, size, reader->length)) {
        fprintf(stderr, "FsReader_Read: size overflow\n");
        if (!reader->failed && within_budget(reader, 1))
            reader->units++;
        return 0;
    }
    if (reader->failed)
        return 0;
    /* Refused whole, before any transfer: a caller never sees part of a read it was denied. */
    uint64_t units =
        size ? ((offset & (FS_READER_UNIT - 1)) + size + FS_READER_UNIT - 1) / FS_READER_UNIT : 0;
    if (!within_budget(reader, units))
        return 0;
    uint8_t* bounce = malloc(FS_READER_UNIT);
    if (!bounce)
        return 0;
    int ok = read_units(reader, offset, buffer, size, bounce);
    free(bounce);
    return ok;
}

void FsReader_SetBudget(FsReader* reader, uint64_t bytes) {
    reader->budget = reader->units + bytes / FS_READER_UNIT;
}

void FsReader_Uninit(FsReader* reader) {
    if (reader->descriptor != -1) {
        if (reader->locked) {
            DWORD returned = 0;
            DeviceIoControl(os_handle(reader), FSCTL_DISMOUNT_VOLUME, NULL, 0, NULL, 0, &returned, NULL);
            DeviceIoControl(os_handle(reader), FSCTL_UNLOCK_VOLUME, NULL, 0, NULL, 0, &returned, NULL);
        }
        _close(reader->descriptor);
    }
    free(reader->path);
    FsReader_Reset(reader);
}
