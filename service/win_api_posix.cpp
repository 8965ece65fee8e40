// POSIX stand-in for the Windows calls of the portable sources (see win_api.h).
#include "win_api.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

thread_local DWORD t_lastError = NO_ERROR;

// glibc's vswprintf cannot measure: it only says that a buffer was too small. A wide text longer
// than this is taken as a failed format rather than grown into without end.
const size_t kMaxWideFormatUnits = 1 << 20;
const size_t kFirstWideFormatUnits = 256;

const uint32_t kReplacement = 0xFFFD;

// The Microsoft runtime's time functions refuse times before 1970 and after the year 3000.
const time_t kLatestTime = 32535215999;

DWORD ErrorOfErrno(int error) {
    switch (error) {
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
    case ENAMETOOLONG:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
        return ERROR_ACCESS_DENIED;
    case EEXIST:
        return ERROR_FILE_EXISTS;
    case ENOSPC:
    case EFBIG:
        return ERROR_HANDLE_DISK_FULL;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    default:
        return ERROR_INVALID_FUNCTION;
    }
}

BOOL FailWithErrno() {
    t_lastError = ErrorOfErrno(errno);
    return FALSE;
}

int FdOf(HANDLE handle) {
    return static_cast<int>(reinterpret_cast<intptr_t>(handle));
}

// Rewrites a format from the Microsoft runtime's rules to glibc's. In both runtimes an l (or w)
// makes a string or character conversion wide and an h narrow; without either, Microsoft takes
// %s and %c as the format's own width and %S and %C as the other one, where glibc always takes
// them as narrow. The I64, I32 and I size prefixes become ll, nothing and z.
template <class Char> std::basic_string<Char> GlibcFormat(const Char* format, bool wideFormat) {
    std::basic_string<Char> out;
    for (const Char* p = format; *p != 0;) {
        out += *p;
        if (*p++ != '%')
            continue;
        if (*p == '%') {
            out += *p++;
            continue;
        }
        while (*p != 0 && (*p == '-' || *p == '+' || *p == ' ' || *p == '#' || *p == '0' || *p == '*' ||
                           *p == '.' || (*p >= '1' && *p <= '9')))
            out += *p++;
        int width = 0; // -1 narrow, 1 wide, 0 as the conversion letter says
        std::basic_string<Char> size;
        if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
            size = {'l', 'l'};
            p += 3;
        } else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') {
            p += 3;
        } else if (p[0] == 'I') {
            size = {'z'};
            ++p;
        } else if (p[0] == 'h' && p[1] == 'h') {
            size = {'h', 'h'};
            p += 2;
        } else if (p[0] == 'l' && p[1] == 'l') {
            size = {'l', 'l'};
            p += 2;
        } else if (*p == 'h') {
            size = {'h'};
            width = -1;
            ++p;
        } else if (*p == 'l' || *p == 'w') {
            size = {'l'};
            width = 1;
            ++p;
        } else if (*p == 'L' || *p == 'z' || *p == 'j' || *p == 't') {
            size = {*p++};
        }
        const Char conversion = *p;
        if (conversion == 's' || conversion == 'c' || conversion == 'S' || conversion == 'C') {
            if (width == 0)
                width = ((conversion == 's' || conversion == 'c') == wideFormat) ? 1 : -1;
            if (width > 0)
                out += 'l';
            out += (conversion == 's' || conversion == 'S') ? 's' : 'c';
        } else if (conversion != 0) {
            out += size;
            out += conversion;
        }
        if (conversion != 0)
            ++p;
    }
    return out;
}

// The whole text of a wide format, or -1.
int FormatWide(std::wstring& out, const wchar_t* format, va_list args) {
    const std::wstring glibc = GlibcFormat(format, true);
    for (size_t units = kFirstWideFormatUnits; units <= kMaxWideFormatUnits; units *= 2) {
        std::unique_ptr<wchar_t[]> buffer(new wchar_t[units]);
        va_list attempt;
        va_copy(attempt, args);
        const int length = vswprintf(buffer.get(), units, glibc.c_str(), attempt);
        va_end(attempt);
        if (length >= 0) {
            out.assign(buffer.get(), static_cast<size_t>(length));
            return length;
        }
    }
    return -1;
}

int FormatNarrow(std::string& out, const char* format, va_list args) {
    const std::string glibc = GlibcFormat(format, false);
    va_list measure;
    va_copy(measure, args);
    const int length = vsnprintf(nullptr, 0, glibc.c_str(), measure);
    va_end(measure);
    if (length < 0)
        return -1;
    std::unique_ptr<char[]> buffer(new char[static_cast<size_t>(length) + 1]);
    va_list attempt;
    va_copy(attempt, args);
    vsnprintf(buffer.get(), static_cast<size_t>(length) + 1, glibc.c_str(), attempt);
    va_end(attempt);
    out.assign(buffer.get(), static_cast<size_t>(length));
    return length;
}

// The Microsoft runtime's _vsnprintf: at most count units and a terminator only when there is room;
// -1 when the text is longer than count.
template <class Char> int CopyBounded(const std::basic_string<Char>& text, Char* buffer, size_t count) {
    const size_t taken = text.size() < count ? text.size() : count;
    std::char_traits<Char>::copy(buffer, text.data(), taken);
    if (taken < count)
        buffer[taken] = 0;
    return text.size() <= count ? static_cast<int>(text.size()) : -1;
}

int FoldAscii(int c) {
    return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c;
}

void AppendUtf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | c >> 6);
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | c >> 12);
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | c >> 18);
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

void AppendUtf16(std::wstring& out, uint32_t c) {
    if (c < 0x10000) {
        out += static_cast<wchar_t>(c);
    } else {
        out += static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
        out += static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    }
}

// One code point from a UTF-8 sequence at text[i]; a byte that does not start a valid, shortest
// sequence of a scalar value becomes U+FFFD, as Windows makes it, and is skipped alone.
uint32_t DecodeUtf8(const unsigned char* text, size_t count, size_t& i) {
    const unsigned char lead = text[i++];
    if (lead < 0x80)
        return lead;
    size_t extra;
    uint32_t c, least;
    if (lead >= 0xC2 && lead <= 0xDF) {
        extra = 1, c = lead & 0x1F, least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        extra = 2, c = lead & 0x0F, least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        extra = 3, c = lead & 0x07, least = 0x10000;
    } else {
        return kReplacement;
    }
    if (count - i < extra)
        return kReplacement;
    for (size_t k = 0; k < extra; ++k) {
        if ((text[i + k] & 0xC0) != 0x80)
            return kReplacement;
        c = c << 6 | (text[i + k] & 0x3F);
    }
    if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        return kReplacement;
    i += extra;
    return c;
}

template <class Char> int DeliverConverted(const std::basic_string<Char>& text, Char* out, int size) {
    if (size == 0)
        return static_cast<int>(text.size());
    if (static_cast<size_t>(size) < text.size()) {
        t_lastError = ERROR_INSUFFICIENT_BUFFER;
        return 0;
    }
    std::char_traits<Char>::copy(out, text.data(), text.size());
    return static_cast<int>(text.size());
}

std::string FileName(const wchar_t* path) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, path, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        return std::string();
    std::string name(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, path, -1, &name[0], size, nullptr, nullptr);
    name.resize(static_cast<size_t>(size) - 1);
    return name;
}

} // namespace

void InitializeCriticalSection(CRITICAL_SECTION* section) {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&section->mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

void DeleteCriticalSection(CRITICAL_SECTION* section) {
    pthread_mutex_destroy(&section->mutex);
}

void EnterCriticalSection(CRITICAL_SECTION* section) {
    pthread_mutex_lock(&section->mutex);
}

void LeaveCriticalSection(CRITICAL_SECTION* section) {
    pthread_mutex_unlock(&section->mutex);
}

DWORD GetLastError() {
    return t_lastError;
}

void SetLastError(DWORD error) {
    t_lastError = error;
}

DWORD GetTickCount() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<DWORD>(static_cast<uint64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000);
}

DWORD GetCurrentThreadId() {
    return static_cast<DWORD>(gettid());
}

DWORD GetCurrentProcessId() {
    return static_cast<DWORD>(getpid());
}

int _vscprintf(const char* format, va_list args) {
    std::string text;
    return FormatNarrow(text, format, args);
}

int _vsnprintf(char* buffer, size_t count, const char* format, va_list args) {
    std::string text;
    if (FormatNarrow(text, format, args) < 0)
        return -1;
    return CopyBounded(text, buffer, count);
}

int _vscwprintf(const wchar_t* format, va_list args) {
    std::wstring text;
    return FormatWide(text, format, args);
}

int _vsnwprintf(wchar_t* buffer, size_t count, const wchar_t* format, va_list args) {
    std::wstring text;
    if (FormatWide(text, format, args) < 0)
        return -1;
    return CopyBounded(text, buffer, count);
}

int _stricmp(const char* a, const char* b) {
    return _strnicmp(a, b, static_cast<size_t>(-1));
}

int _strnicmp(const char* a, const char* b, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        const int x = FoldAscii(static_cast<unsigned char>(a[i]));
        const int y = FoldAscii(static_cast<unsigned char>(b[i]));
        if (x != y || x == 0)
            return x - y;
    }
    return 0;
}

// The stand-in has no locales: ASCII letters alone fold.
int _wcsnicmp_l(const wchar_t* a, const wchar_t* b, size_t count, _locale_t) {
    for (size_t i = 0; i < count; ++i) {
        const int x = FoldAscii(static_cast<int>(a[i]));
        const int y = FoldAscii(static_cast<int>(b[i]));
        if (x != y || x == 0)
            return x - y;
    }
    return 0;
}

int64_t _strtoi64(const char* text, char** end, int base) {
    return strtoll(text, end, base);
}

int localtime_s(struct tm* out, const time_t* t) {
    if (*t < 0 || *t > kLatestTime)
        return EINVAL;
    return localtime_r(t, out) != nullptr ? 0 : EINVAL;
}

// UTF-16 units to UTF-8; a lone surrogate (or a value no UTF-16 unit has) becomes U+FFFD, as
// Windows makes it without WC_ERR_INVALID_CHARS.
int WideCharToMultiByte(UINT codePage, DWORD flags, const wchar_t* text, int units, char* out, int size,
                        const char* defaultChar, BOOL* usedDefault) {
    if (codePage != CP_UTF8 || flags != 0 || defaultChar != nullptr || usedDefault != nullptr || units == 0 ||
        size < 0 || (size > 0 && out == nullptr)) {
        t_lastError = ERROR_INVALID_PARAMETER;
        return 0;
    }
    const size_t count = units < 0 ? wcslen(text) + 1 : static_cast<size_t>(units);
    std::string utf8;
    for (size_t i = 0; i < count; ++i) {
        uint32_t c = static_cast<uint32_t>(text[i]);
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < count && static_cast<uint32_t>(text[i + 1]) >= 0xDC00 &&
            static_cast<uint32_t>(text[i + 1]) <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<uint32_t>(text[++i]) - 0xDC00);
        } else if ((c >= 0xD800 && c <= 0xDFFF) || c > 0xFFFF) {
            c = kReplacement;
        }
        AppendUtf8(utf8, c);
    }
    return DeliverConverted(utf8, out, size);
}

int MultiByteToWideChar(UINT codePage, DWORD flags, const char* text, int bytes, wchar_t* out, int size) {
    if (codePage != CP_UTF8 || flags != 0 || bytes == 0 || size < 0 || (size > 0 && out == nullptr)) {
        t_lastError = ERROR_INVALID_PARAMETER;
        return 0;
    }
    const size_t count = bytes < 0 ? strlen(text) + 1 : static_cast<size_t>(bytes);
    const unsigned char* in = reinterpret_cast<const unsigned char*>(text);
    std::wstring utf16;
    for (size_t i = 0; i < count;)
        AppendUtf16(utf16, DecodeUtf8(in, count, i));
    return DeliverConverted(utf16, out, size);
}

HANDLE CreateFileW(const wchar_t* path, DWORD access, DWORD, SECURITY_ATTRIBUTES* security, DWORD disposition,
                   DWORD, HANDLE) {
    const std::string name = FileName(path);
    if (name.empty()) {
        t_lastError = ERROR_PATH_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    int flags = (access & GENERIC_WRITE) ? ((access & GENERIC_READ) ? O_RDWR : O_WRONLY) : O_RDONLY;
    switch (disposition) {
    case CREATE_NEW:
        flags |= O_CREAT | O_EXCL;
        break;
    case CREATE_ALWAYS:
        flags |= O_CREAT | O_TRUNC;
        break;
    case OPEN_ALWAYS:
        flags |= O_CREAT;
        break;
    default:
        break;
    }
    if (security == nullptr || !security->bInheritHandle)
        flags |= O_CLOEXEC;
    const int fd = open(name.c_str(), flags, 0644);
    if (fd < 0) {
        FailWithErrno();
        return INVALID_HANDLE_VALUE;
    }
    // Windows opens no folder as a file.
    struct stat info;
    if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        close(fd);
        t_lastError = ERROR_ACCESS_DENIED;
        return INVALID_HANDLE_VALUE;
    }
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd));
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD count, DWORD* read, void*) {
    uint8_t* out = static_cast<uint8_t*>(buffer);
    DWORD done = 0;
    while (done < count) {
        const ssize_t n = ::read(FdOf(file), out + done, count - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return FailWithErrno();
        if (n == 0)
            break;
        done += static_cast<DWORD>(n);
    }
    *read = done;
    return TRUE;
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD count, DWORD* written, void*) {
    const uint8_t* in = static_cast<const uint8_t*>(buffer);
    DWORD done = 0;
    while (done < count) {
        const ssize_t n = ::write(FdOf(file), in + done, count - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return FailWithErrno();
        done += static_cast<DWORD>(n);
    }
    *written = done;
    return TRUE;
}

DWORD SetFilePointer(HANDLE file, LONG low, LONG* high, DWORD origin) {
    const int64_t offset =
        high != nullptr ? static_cast<int64_t>(static_cast<uint64_t>(static_cast<uint32_t>(*high)) << 32 |
                                               static_cast<uint32_t>(low))
                        : low;
    const int whence = origin == FILE_BEGIN ? SEEK_SET : origin == FILE_CURRENT ? SEEK_CUR : SEEK_END;
    const off_t at = lseek(FdOf(file), offset, whence);
    if (at < 0) {
        t_lastError = errno == EINVAL ? ERROR_INVALID_PARAMETER : ErrorOfErrno(errno);
        return INVALID_SET_FILE_POINTER;
    }
    if (high != nullptr)
        *high = static_cast<LONG>(static_cast<uint64_t>(at) >> 32);
    return static_cast<DWORD>(at);
}

DWORD GetFileSize(HANDLE file, DWORD* high) {
    struct stat info;
    if (fstat(FdOf(file), &info) != 0) {
        FailWithErrno();
        return INVALID_SET_FILE_POINTER;
    }
    if (high != nullptr)
        *high = static_cast<DWORD>(static_cast<uint64_t>(info.st_size) >> 32);
    return static_cast<DWORD>(info.st_size);
}

BOOL SetEndOfFile(HANDLE file) {
    const off_t at = lseek(FdOf(file), 0, SEEK_CUR);
    if (at < 0 || ftruncate(FdOf(file), at) != 0)
        return FailWithErrno();
    return TRUE;
}

BOOL FlushFileBuffers(HANDLE file) {
    return fsync(FdOf(file)) == 0 ? TRUE : FailWithErrno();
}

BOOL CloseHandle(HANDLE handle) {
    return close(FdOf(handle)) == 0 ? TRUE : FailWithErrno();
}

DWORD GetFileAttributesW(const wchar_t* path) {
    struct stat info;
    if (lstat(FileName(path).c_str(), &info) != 0) {
        FailWithErrno();
        return INVALID_FILE_ATTRIBUTES;
    }
    if (S_ISLNK(info.st_mode))
        return FILE_ATTRIBUTE_REPARSE_POINT;
    return S_ISDIR(info.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
}

BOOL DeleteFileW(const wchar_t* path) {
    return unlink(FileName(path).c_str()) == 0 ? TRUE : FailWithErrno();
}

BOOL MoveFileExW(const wchar_t* from, const wchar_t* to, DWORD flags) {
    const std::string target = FileName(to);
    struct stat info;
    if (!(flags & MOVEFILE_REPLACE_EXISTING) && lstat(target.c_str(), &info) == 0) {
        t_lastError = ERROR_FILE_EXISTS;
        return FALSE;
    }
    return rename(FileName(from).c_str(), target.c_str()) == 0 ? TRUE : FailWithErrno();
}

LONG RegOpenKeyExW(HKEY, const wchar_t*, DWORD, REGSAM, HKEY*) {
    return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
}

LONG RegQueryValueExW(HKEY, const wchar_t*, DWORD*, DWORD*, BYTE*, DWORD*) {
    return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
}

LONG RegCloseKey(HKEY) {
    return ERROR_SUCCESS;
}

int closesocket(SOCKET s) {
    return close(s);
}
