#pragma once
// The Windows calls of the portable service and transport sources. The product takes them from the
// Windows headers; the native Linux build (sanitizers, fuzzing) gets a stand-in of the same names
// over POSIX (win_api_posix.cpp), so that those sources are compiled from one text.
//
// Wide text is UTF-16 held one unit per wchar_t, as on Windows, although wchar_t has 32 bits here.
// Formats follow the Microsoft runtime's printf rules in both builds. The stand-in has no registry:
// every key is missing. Paths are taken as UTF-8 file names; sharing modes and file attributes other
// than the ones named here are not modelled.
#ifdef _WIN32
// Winsock 2 first: windows.h would otherwise bring in the first Winsock's clashing declarations.
#include <winsock2.h>

#include <windows.h>
#else

#include <pthread.h>
#include <sys/select.h>
#include <sys/socket.h>

#include <cstdarg>
#include <cstdint>
#include <ctime>

typedef int BOOL;
typedef uint8_t BYTE;
typedef uint32_t DWORD;
typedef uint32_t UINT;
typedef int32_t LONG;
typedef void* HANDLE;
typedef struct CPosixKey* HKEY;
typedef DWORD REGSAM;
typedef struct CPosixAcl* PACL;
typedef void* PSID;
typedef struct CPosixLocale* _locale_t;
typedef int SOCKET;

#define WINAPI
#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

const SOCKET INVALID_SOCKET = -1;
const int SOCKET_ERROR = -1;

const UINT CP_UTF8 = 65001;

const DWORD NO_ERROR = 0;
const LONG ERROR_SUCCESS = 0;
const DWORD ERROR_INVALID_FUNCTION = 1;
const DWORD ERROR_FILE_NOT_FOUND = 2;
const DWORD ERROR_PATH_NOT_FOUND = 3;
const DWORD ERROR_ACCESS_DENIED = 5;
const DWORD ERROR_INVALID_HANDLE = 6;
const DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
const DWORD ERROR_HANDLE_DISK_FULL = 39;
const DWORD ERROR_FILE_EXISTS = 80;
const DWORD ERROR_INVALID_PARAMETER = 87;
const DWORD ERROR_INSUFFICIENT_BUFFER = 122;

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))
const DWORD INVALID_SET_FILE_POINTER = 0xFFFFFFFF;
const DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;

const DWORD GENERIC_READ = 0x80000000;
const DWORD GENERIC_WRITE = 0x40000000;
const DWORD FILE_SHARE_READ = 1;
const DWORD FILE_SHARE_WRITE = 2;
const DWORD CREATE_NEW = 1;
const DWORD CREATE_ALWAYS = 2;
const DWORD OPEN_EXISTING = 3;
const DWORD OPEN_ALWAYS = 4;
const DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
const DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
const DWORD FILE_ATTRIBUTE_REPARSE_POINT = 0x400;
const DWORD FILE_FLAG_WRITE_THROUGH = 0x80000000;
const DWORD FILE_FLAG_NO_BUFFERING = 0x20000000;
const DWORD FILE_FLAG_RANDOM_ACCESS = 0x10000000;
const DWORD FILE_FLAG_SEQUENTIAL_SCAN = 0x08000000;
const DWORD FILE_BEGIN = 0;
const DWORD FILE_CURRENT = 1;
const DWORD MOVEFILE_REPLACE_EXISTING = 1;
const DWORD MOVEFILE_WRITE_THROUGH = 8;

#define HKEY_CLASSES_ROOT (reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000000)))
const REGSAM KEY_QUERY_VALUE = 1;

struct SECURITY_ATTRIBUTES {
    DWORD nLength;
    void* lpSecurityDescriptor;
    BOOL bInheritHandle;
};

// Only the fields the portable sources read.
struct OSVERSIONINFOEXW {
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
};

// Recursive, as a critical section is to its owner.
struct CRITICAL_SECTION {
    pthread_mutex_t mutex;
};

void InitializeCriticalSection(CRITICAL_SECTION* section);
void DeleteCriticalSection(CRITICAL_SECTION* section);
void EnterCriticalSection(CRITICAL_SECTION* section);
void LeaveCriticalSection(CRITICAL_SECTION* section);

DWORD GetLastError();
void SetLastError(DWORD error);
DWORD GetTickCount();
DWORD GetCurrentThreadId();
DWORD GetCurrentProcessId();

int _vscprintf(const char* format, va_list args);
int _vsnprintf(char* buffer, size_t count, const char* format, va_list args);
int _vscwprintf(const wchar_t* format, va_list args);
int _vsnwprintf(wchar_t* buffer, size_t count, const wchar_t* format, va_list args);
int _stricmp(const char* a, const char* b);
int _strnicmp(const char* a, const char* b, size_t count);
int _wcsnicmp_l(const wchar_t* a, const wchar_t* b, size_t count, _locale_t locale);
int64_t _strtoi64(const char* text, char** end, int base);
int localtime_s(struct tm* out, const time_t* t);

int WideCharToMultiByte(UINT codePage, DWORD flags, const wchar_t* text, int units, char* out, int size,
                        const char* defaultChar, BOOL* usedDefault);
int MultiByteToWideChar(UINT codePage, DWORD flags, const char* text, int bytes, wchar_t* out, int size);

HANDLE CreateFileW(const wchar_t* path, DWORD access, DWORD share, SECURITY_ATTRIBUTES* security,
                   DWORD disposition, DWORD attributes, HANDLE templateFile);
BOOL ReadFile(HANDLE file, void* buffer, DWORD count, DWORD* read, void* overlapped);
BOOL WriteFile(HANDLE file, const void* buffer, DWORD count, DWORD* written, void* overlapped);
DWORD SetFilePointer(HANDLE file, LONG low, LONG* high, DWORD origin);
DWORD GetFileSize(HANDLE file, DWORD* high);
BOOL SetEndOfFile(HANDLE file);
BOOL FlushFileBuffers(HANDLE file);
BOOL CloseHandle(HANDLE handle);
DWORD GetFileAttributesW(const wchar_t* path);
BOOL DeleteFileW(const wchar_t* path);
BOOL MoveFileExW(const wchar_t* from, const wchar_t* to, DWORD flags);

LONG RegOpenKeyExW(HKEY key, const wchar_t* subKey, DWORD options, REGSAM access, HKEY* result);
LONG RegQueryValueExW(HKEY key, const wchar_t* name, DWORD* reserved, DWORD* type, BYTE* data, DWORD* size);
LONG RegCloseKey(HKEY key);

int closesocket(SOCKET s);

#endif
