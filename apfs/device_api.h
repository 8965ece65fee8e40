#ifndef VOLARIX_DEVICE_API_H
#define VOLARIX_DEVICE_API_H
/* The platform calls of the device reader. On Windows they are the runtime library's descriptor
 * functions and kernel32's device control; the native build gets a stand-in over POSIX files
 * (device_api_posix.c) with the same names and behaviour, so the reader's code is one source.
 *
 * Stand-in device names: a path \\.\NAME opens the file $VOLARIX_DEVICES/name (NAME lowercased,
 * as Wine's dosdevices folder does). A volume device's partition length is the file's length; a
 * disk device answers its drive layout from the image's own partition table. Any other path is
 * opened as it stands. */
#include <stddef.h>
#include <stdint.h>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <string.h>
#include <windows.h>
#include <winioctl.h>
#else

#ifdef __cplusplus
extern "C" {
#endif

typedef int BOOL;
typedef uint32_t DWORD;
typedef void* HANDLE;
typedef void* LPVOID;
typedef DWORD* LPDWORD;
typedef struct _OVERLAPPED OVERLAPPED;
typedef OVERLAPPED* LPOVERLAPPED;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

#define _O_BINARY 0x8000
#define ERROR_INVALID_FUNCTION 1
#define ERROR_INVALID_HANDLE 6
#define ERROR_READ_FAULT 30
#define ERROR_NOT_SUPPORTED 50
#define ERROR_INSUFFICIENT_BUFFER 122

#define FSCTL_LOCK_VOLUME 0x90018
#define FSCTL_UNLOCK_VOLUME 0x9001C
#define FSCTL_DISMOUNT_VOLUME 0x90020
#define IOCTL_DISK_GET_PARTITION_INFO_EX 0x70048
#define IOCTL_DISK_GET_DRIVE_LAYOUT_EX 0x70050

/* The reader's C code calls the Windows names; C++ code (tests) sees only the fs_posix_ ones, so
 * that no standard header meets these macros. */
#ifndef __cplusplus
#define _open fs_posix_open
#define _close fs_posix_close
#define _read fs_posix_read
#define _lseeki64 fs_posix_lseeki64
#define _access fs_posix_access
#define _get_osfhandle fs_posix_get_osfhandle
#define _strdup fs_posix_strdup
#define _strnicmp fs_posix_strnicmp
#define FlushFileBuffers fs_posix_flush_file_buffers
#define DeviceIoControl fs_posix_device_io_control
#define GetLastError fs_posix_get_last_error
#define SetLastError fs_posix_set_last_error
#endif

int fs_posix_open(const char* path, int flags, ...);
int fs_posix_close(int fd);
int fs_posix_read(int fd, void* buffer, unsigned int count);
int64_t fs_posix_lseeki64(int fd, int64_t offset, int origin);
int fs_posix_access(const char* path, int mode);
intptr_t fs_posix_get_osfhandle(int fd);
char* fs_posix_strdup(const char* s);
int fs_posix_strnicmp(const char* a, const char* b, size_t count);
BOOL fs_posix_flush_file_buffers(HANDLE handle);
BOOL fs_posix_device_io_control(HANDLE handle, DWORD code, LPVOID in, DWORD in_size, LPVOID out,
                                DWORD out_size, LPDWORD returned, LPOVERLAPPED overlapped);
DWORD fs_posix_get_last_error(void);
void fs_posix_set_last_error(DWORD error);

/* Tests put a stand-in in place of the device control, as CImportPatch does on Windows; the
 * previous function is returned so that the stand-in can pass calls on. */
typedef BOOL (*fs_posix_ioctl_fn)(HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
fs_posix_ioctl_fn fs_posix_set_ioctl(fs_posix_ioctl_fn fn);

/* Transfers made through _read since the last reset, for the benchmark. */
void fs_posix_read_stats(uint64_t* count, uint64_t* bytes);
void fs_posix_read_stats_reset(void);

#ifdef __cplusplus
}
#endif
#endif /* _WIN32 */

/* PARTITION_INFORMATION_EX and DRIVE_LAYOUT_INFORMATION_EX, read by offset so that both builds
 * share one parser. */
#define FS_PARTITION_ENTRY_SIZE 144
#define FS_PARTITION_STYLE 0
#define FS_PARTITION_STARTING_OFFSET 8
#define FS_PARTITION_LENGTH 16
#define FS_PARTITION_NUMBER 24
#define FS_PARTITION_GPT_TYPE 32
#define FS_PARTITION_GPT_ID 48
#define FS_PARTITION_GPT_ATTRIBUTES 64
#define FS_PARTITION_GPT_NAME 72
#define FS_LAYOUT_HEAD_SIZE 48
#define FS_LAYOUT_STYLE 0
#define FS_LAYOUT_COUNT 4
#define FS_LAYOUT_GPT_DISK_ID 8
#define FS_LAYOUT_GPT_USABLE_OFFSET 24
#define FS_LAYOUT_GPT_USABLE_LENGTH 32
#define FS_LAYOUT_GPT_MAX_COUNT 40
#define FS_PARTITION_STYLE_MBR 0
#define FS_PARTITION_STYLE_GPT 1
#define FS_PARTITION_STYLE_RAW 2

#endif
