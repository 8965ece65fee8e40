/* POSIX stand-in for the Windows device calls of the device reader (see device_api.h). */
#define _GNU_SOURCE
#include "device_api.h"

#include "apfs_common.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#define MBR_SECTOR_SIZE 512
#define GPT_HEADER_LBA 1
/* Bytes of the GPT header read: it is 92, and a sector holds at least this many. */
#define GPT_HEADER_READ 512
#define GPT_SIGNATURE "EFI PART"
#define GPT_ENTRY_MIN_SIZE 128
/* Entry sizes read, up to this; formatters write 128. */
#define GPT_ENTRY_MAX_SIZE 512
/* A GPT entry array larger than this is not a disk layout Windows would report. */
#define GPT_MAX_ENTRIES 4096
#define GPT_HEADER_SIZE_OFFSET 12
#define GPT_HEADER_CRC_OFFSET 16
#define GPT_MY_LBA_OFFSET 24
/* The fields up to the entry array's CRC; a header that claims fewer is not one. */
#define GPT_HEADER_MIN_SIZE 92
#define MBR_SIGNATURE_OFFSET 510
#define MBR_TABLE_OFFSET 446
#define MBR_PROTECTIVE_TYPE 0xEE

static _Thread_local DWORD g_last_error;
static uint64_t g_read_count;
static uint64_t g_read_bytes;

static BOOL default_ioctl(HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
static fs_posix_ioctl_fn g_ioctl = default_ioctl;

/* \\.\NAME names a device: a file of that (lowercased) name in $VOLARIX_DEVICES. The result is
 * heap-allocated; NULL with errno set when it cannot be formed. */
static char* device_file(const char* path) {
    if (strncmp(path, "\\\\.\\", 4) != 0)
        return strdup(path);
    const char* dir = getenv("VOLARIX_DEVICES");
    const char* name = path + 4;
    if (!dir || !*dir || !*name || strchr(name, '/') || strchr(name, '\\')) {
        errno = ENOENT;
        return NULL;
    }
    size_t dlen = strlen(dir), nlen = strlen(name);
    char* file = malloc(dlen + 1 + nlen + 1);
    if (!file) {
        errno = ENOMEM;
        return NULL;
    }
    memcpy(file, dir, dlen);
    file[dlen] = '/';
    for (size_t i = 0; i < nlen; i++)
        file[dlen + 1 + i] = (char)tolower((unsigned char)name[i]);
    file[dlen + 1 + nlen] = 0;
    return file;
}

int _open(const char* path, int flags, ...) {
    (void)flags;
    char* file = device_file(path);
    if (!file)
        return -1;
    int fd = open(file, O_RDONLY | O_CLOEXEC);
    int saved = errno;
    free(file);
    errno = saved;
    return fd;
}

int _close(int fd) {
    return close(fd);
}

int _read(int fd, void* buffer, unsigned int count) {
    ssize_t n = read(fd, buffer, count);
    if (n > 0) {
        g_read_count++;
        g_read_bytes += (uint64_t)n;
    }
    return (int)n;
}

int64_t _lseeki64(int fd, int64_t offset, int origin) {
    return lseek(fd, offset, origin);
}

int _access(const char* path, int mode) {
    char* file = device_file(path);
    if (!file)
        return -1;
    int rc = access(file, (mode & 4 ? R_OK : 0) | (mode & 2 ? W_OK : 0) | (mode ? 0 : F_OK));
    int saved = errno;
    free(file);
    errno = saved;
    return rc;
}

intptr_t _get_osfhandle(int fd) {
    return fd;
}

char* _strdup(const char* s) {
    return strdup(s);
}

int _strnicmp(const char* a, const char* b, size_t count) {
    return strncasecmp(a, b, count);
}

BOOL FlushFileBuffers(HANDLE handle) {
    (void)handle;
    return TRUE;
}

DWORD GetLastError(void) {
    return g_last_error;
}

void SetLastError(DWORD error) {
    g_last_error = error;
}

fs_posix_ioctl_fn fs_posix_set_ioctl(fs_posix_ioctl_fn fn) {
    fs_posix_ioctl_fn previous = g_ioctl;
    g_ioctl = fn ? fn : default_ioctl;
    return previous;
}

void fs_posix_read_stats(uint64_t* count, uint64_t* bytes) {
    *count = g_read_count;
    *bytes = g_read_bytes;
}

void fs_posix_read_stats_reset(void) {
    g_read_count = g_read_bytes = 0;
}

BOOL DeviceIoControl(HANDLE handle, DWORD code, LPVOID in, DWORD in_size, LPVOID out, DWORD out_size,
                     LPDWORD returned, LPOVERLAPPED overlapped) {
    return g_ioctl(handle, code, in, in_size, out, out_size, returned, overlapped);
}

static int read_exact(int fd, uint64_t offset, void* buffer, size_t size) {
    if (offset > INT64_MAX)
        return 0;
    return pread(fd, buffer, size, (off_t)offset) == (ssize_t)size;
}

static BOOL fail(DWORD error) {
    g_last_error = error;
    return FALSE;
}

static BOOL partition_info(int fd, uint8_t* out, DWORD out_size, LPDWORD returned) {
    struct stat st;
    if (out_size < FS_PARTITION_ENTRY_SIZE)
        return fail(ERROR_INSUFFICIENT_BUFFER);
    if (fstat(fd, &st) != 0)
        return fail(ERROR_INVALID_HANDLE);
    memset(out, 0, FS_PARTITION_ENTRY_SIZE);
    apfs_put_le32(out + FS_PARTITION_STYLE, FS_PARTITION_STYLE_GPT);
    apfs_put_le64(out + FS_PARTITION_LENGTH, (uint64_t)st.st_size);
    apfs_put_le32(out + FS_PARTITION_NUMBER, 1);
    *returned = FS_PARTITION_ENTRY_SIZE;
    return TRUE;
}

static int guid_is_zero(const uint8_t* guid) {
    for (int i = 0; i < 16; i++)
        if (guid[i])
            return 0;
    return 1;
}

/* Sector sizes a GPT header is looked for at, in order: a disk of 4096-byte sectors (as Apple's
 * internal SSDs have) keeps it at byte 4096. Windows answers partitions in bytes whatever the
 * sector size, so the layout below is the same for both. */
static const uint32_t g_gpt_sector_sizes[] = {512, 4096};

/* CRC-32 of IEEE 802.3 (reflected, polynomial 0xEDB88320), the one a GPT header carries. */
static uint32_t crc32_ieee(const uint8_t* bytes, size_t size) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; i++) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; bit++)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

static int mbr_is_protective(const uint8_t* mbr) {
    for (int i = 0; i < 4; i++)
        if (mbr[MBR_TABLE_OFFSET + 16 * i + 4] == MBR_PROTECTIVE_TYPE)
            return 1;
    return 0;
}

/* Whether a header read at LBA 1 of sector-byte sectors is one to go by: signed, whole by its CRC,
 * at the LBA it names as its own, and with its entry array on the device. Stray bytes that merely
 * begin with the signature, such as a 4096-byte-sector header left on a disk of 512-byte ones,
 * fail one of these. */
static int gpt_header_valid(const uint8_t* header, uint32_t sector, uint64_t device_size) {
    if (memcmp(header, GPT_SIGNATURE, 8) != 0)
        return 0;
    uint32_t size = apfs_le32(header + GPT_HEADER_SIZE_OFFSET);
    if (size < GPT_HEADER_MIN_SIZE || size > GPT_HEADER_READ)
        return 0;
    uint8_t copy[GPT_HEADER_READ];
    memcpy(copy, header, size);
    apfs_put_le32(copy + GPT_HEADER_CRC_OFFSET, 0);
    if (crc32_ieee(copy, size) != apfs_le32(header + GPT_HEADER_CRC_OFFSET) ||
        apfs_le64(header + GPT_MY_LBA_OFFSET) != GPT_HEADER_LBA)
        return 0;
    uint64_t entries_lba = apfs_le64(header + 72);
    uint64_t array_size = (uint64_t)apfs_le32(header + 80) * apfs_le32(header + 84);
    return entries_lba <= device_size / sector && array_size <= device_size - entries_lba * sector;
}

static BOOL gpt_layout(int fd, const uint8_t* header, uint32_t sector, uint8_t* out, DWORD out_size,
                       LPDWORD returned) {
    uint64_t entries_lba = apfs_le64(header + 72);
    uint32_t count = apfs_le32(header + 80);
    uint32_t entry_size = apfs_le32(header + 84);
    uint64_t first_usable = apfs_le64(header + 40), last_usable = apfs_le64(header + 48);
    if (entry_size < GPT_ENTRY_MIN_SIZE || entry_size > GPT_ENTRY_MAX_SIZE || count > GPT_MAX_ENTRIES)
        return fail(ERROR_READ_FAULT);
    apfs_put_le32(out + FS_LAYOUT_STYLE, FS_PARTITION_STYLE_GPT);
    memcpy(out + FS_LAYOUT_GPT_DISK_ID, header + 56, 16);
    apfs_put_le64(out + FS_LAYOUT_GPT_USABLE_OFFSET, first_usable * sector);
    apfs_put_le64(out + FS_LAYOUT_GPT_USABLE_LENGTH, (last_usable - first_usable + 1) * sector);
    apfs_put_le32(out + FS_LAYOUT_GPT_MAX_COUNT, count);
    uint32_t used = 0;
    uint8_t entry[GPT_ENTRY_MAX_SIZE];
    for (uint32_t i = 0; i < count; i++) {
        if (!read_exact(fd, entries_lba * sector + (uint64_t)i * entry_size, entry, entry_size))
            return fail(ERROR_READ_FAULT);
        if (guid_is_zero(entry))
            continue;
        uint64_t place = FS_LAYOUT_HEAD_SIZE + (uint64_t)used * FS_PARTITION_ENTRY_SIZE;
        if (place + FS_PARTITION_ENTRY_SIZE > out_size)
            return fail(ERROR_INSUFFICIENT_BUFFER);
        uint8_t* p = out + place;
        uint64_t first = apfs_le64(entry + 32), last = apfs_le64(entry + 40);
        apfs_put_le32(p + FS_PARTITION_STYLE, FS_PARTITION_STYLE_GPT);
        apfs_put_le64(p + FS_PARTITION_STARTING_OFFSET, first * sector);
        apfs_put_le64(p + FS_PARTITION_LENGTH, last >= first ? (last - first + 1) * sector : 0);
        apfs_put_le32(p + FS_PARTITION_NUMBER, i + 1);
        memcpy(p + FS_PARTITION_GPT_TYPE, entry, 16);
        memcpy(p + FS_PARTITION_GPT_ID, entry + 16, 16);
        memcpy(p + FS_PARTITION_GPT_ATTRIBUTES, entry + 48, 8);
        memcpy(p + FS_PARTITION_GPT_NAME, entry + 56, 72);
        used++;
    }
    apfs_put_le32(out + FS_LAYOUT_COUNT, used);
    *returned = FS_LAYOUT_HEAD_SIZE + used * FS_PARTITION_ENTRY_SIZE;
    return TRUE;
}

static BOOL mbr_layout(const uint8_t* mbr, uint8_t* out, DWORD out_size, LPDWORD returned) {
    uint32_t used = 0;
    apfs_put_le32(out + FS_LAYOUT_STYLE, FS_PARTITION_STYLE_MBR);
    for (int i = 0; i < 4; i++) {
        const uint8_t* e = mbr + MBR_TABLE_OFFSET + 16 * i;
        if (e[4] == 0)
            continue;
        uint64_t place = FS_LAYOUT_HEAD_SIZE + (uint64_t)used * FS_PARTITION_ENTRY_SIZE;
        if (place + FS_PARTITION_ENTRY_SIZE > out_size)
            return fail(ERROR_INSUFFICIENT_BUFFER);
        uint8_t* p = out + place;
        apfs_put_le32(p + FS_PARTITION_STYLE, FS_PARTITION_STYLE_MBR);
        apfs_put_le64(p + FS_PARTITION_STARTING_OFFSET, (uint64_t)apfs_le32(e + 8) * MBR_SECTOR_SIZE);
        apfs_put_le64(p + FS_PARTITION_LENGTH, (uint64_t)apfs_le32(e + 12) * MBR_SECTOR_SIZE);
        apfs_put_le32(p + FS_PARTITION_NUMBER, (uint32_t)i + 1);
        used++;
    }
    apfs_put_le32(out + FS_LAYOUT_COUNT, used);
    *returned = FS_LAYOUT_HEAD_SIZE + used * FS_PARTITION_ENTRY_SIZE;
    return TRUE;
}

static BOOL drive_layout(int fd, uint8_t* out, DWORD out_size, LPDWORD returned) {
    uint8_t mbr[MBR_SECTOR_SIZE], header[GPT_HEADER_READ];
    struct stat st;
    if (out_size < FS_LAYOUT_HEAD_SIZE)
        return fail(ERROR_INSUFFICIENT_BUFFER);
    if (fstat(fd, &st) != 0)
        return fail(ERROR_INVALID_HANDLE);
    memset(out, 0, out_size);
    int has_mbr = read_exact(fd, 0, mbr, sizeof mbr) && mbr[MBR_SIGNATURE_OFFSET] == 0x55 &&
                  mbr[MBR_SIGNATURE_OFFSET + 1] == 0xAA;
    /* As Windows does: a GPT counts only behind a protective MBR and with a sound header; any
     * other disk with an MBR is read by its MBR. */
    if (has_mbr && mbr_is_protective(mbr)) {
        for (size_t i = 0; i < sizeof g_gpt_sector_sizes / sizeof *g_gpt_sector_sizes; i++) {
            uint32_t sector = g_gpt_sector_sizes[i];
            if (read_exact(fd, GPT_HEADER_LBA * sector, header, sizeof header) &&
                gpt_header_valid(header, sector, (uint64_t)st.st_size))
                return gpt_layout(fd, header, sector, out, out_size, returned);
        }
    }
    if (has_mbr)
        return mbr_layout(mbr, out, out_size, returned);
    apfs_put_le32(out + FS_LAYOUT_STYLE, FS_PARTITION_STYLE_RAW);
    *returned = FS_LAYOUT_HEAD_SIZE;
    return TRUE;
}

static BOOL default_ioctl(HANDLE handle, DWORD code, LPVOID in, DWORD in_size, LPVOID out, DWORD out_size,
                          LPDWORD returned, LPOVERLAPPED overlapped) {
    (void)in;
    (void)in_size;
    (void)overlapped;
    int fd = (int)(intptr_t)handle;
    DWORD ignored;
    if (!returned)
        returned = &ignored;
    *returned = 0;
    switch (code) {
    case FSCTL_LOCK_VOLUME:
    case FSCTL_UNLOCK_VOLUME:
    case FSCTL_DISMOUNT_VOLUME:
        return fcntl(fd, F_GETFD) != -1 ? TRUE : fail(ERROR_INVALID_HANDLE);
    case IOCTL_DISK_GET_PARTITION_INFO_EX:
        return partition_info(fd, out, out_size, returned);
    case IOCTL_DISK_GET_DRIVE_LAYOUT_EX:
        return drive_layout(fd, out, out_size, returned);
    default:
        return fail(ERROR_INVALID_FUNCTION);
    }
}
