#include "disk_file.h"

namespace {

[[noreturn]] void ThrowLastError() {
    throw new CDiskFileException(GetLastError());
}

DWORD AccessOf(uint32_t mode) {
    switch (mode & 0x7) {
    case kDiskFileRead:
        return GENERIC_READ;
    case kDiskFileWrite:
        return GENERIC_WRITE;
    case kDiskFileReadWrite:
        return GENERIC_READ | GENERIC_WRITE;
    default:
        return 0;
    }
}

DWORD ShareOf(uint32_t mode) {
    switch (mode & 0x70) {
    case kDiskFileShareRead:
        return FILE_SHARE_READ;
    case kDiskFileShareWrite:
        return FILE_SHARE_WRITE;
    case kDiskFileShareReadWrite:
        return FILE_SHARE_READ | FILE_SHARE_WRITE;
    default:
        return 0;
    }
}

DWORD DispositionOf(uint32_t mode) {
    if (mode & kDiskFileCreateNew)
        return CREATE_NEW;
    if (!(mode & kDiskFileCreate))
        return OPEN_EXISTING;
    return (mode & kDiskFileNoTruncate) ? OPEN_ALWAYS : CREATE_ALWAYS;
}

DWORD AttributesOf(uint32_t mode) {
    DWORD attributes = FILE_ATTRIBUTE_NORMAL;
    if (mode & kDiskFileNoBuffering)
        attributes |= FILE_FLAG_NO_BUFFERING;
    if (mode & kDiskFileWriteThrough)
        attributes |= FILE_FLAG_WRITE_THROUGH;
    if (mode & kDiskFileRandomAccess)
        attributes |= FILE_FLAG_RANDOM_ACCESS;
    if (mode & kDiskFileSequentialScan)
        attributes |= FILE_FLAG_SEQUENTIAL_SCAN;
    return attributes;
}

// SetFilePointer and GetFileSize return 0xFFFFFFFF both for failure and for a valid low part; only
// the last error tells them apart. It is cleared first, so that an error left by an earlier call
// cannot turn a position or size of 0xFFFFFFFF into a failure.
int64_t CombineOrThrow(DWORD low, LONG high) {
    if (low == INVALID_SET_FILE_POINTER) {
        const DWORD error = GetLastError();
        if (error != NO_ERROR)
            throw new CDiskFileException(error);
    }
    return static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(high)) << 32) | low);
}

} // namespace

int64_t CDiskFile::GetPosition() {
    LONG high = 0;
    SetLastError(NO_ERROR);
    const DWORD low = SetFilePointer(m_handle, 0, &high, FILE_CURRENT);
    return CombineOrThrow(low, high);
}

void CDiskFile::Open(const wchar_t* path, uint32_t mode) {
    // A handle still held would otherwise leak.
    if (m_handle != INVALID_HANDLE_VALUE)
        Close();
    m_handle = INVALID_HANDLE_VALUE;
    m_open = 0;

    SECURITY_ATTRIBUTES security = {};
    security.nLength = sizeof security;
    security.lpSecurityDescriptor = nullptr;
    security.bInheritHandle = (mode & kDiskFileNoInherit) ? FALSE : TRUE;

    const HANDLE handle = CreateFileW(path, AccessOf(mode), ShareOf(mode), &security, DispositionOf(mode),
                                      AttributesOf(mode), nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        ThrowLastError();
    m_handle = handle;
    m_open = 1;
}

int64_t CDiskFile::Seek(int64_t offset, uint32_t origin) {
    LONG high = static_cast<LONG>(static_cast<uint64_t>(offset) >> 32);
    SetLastError(NO_ERROR);
    const DWORD low = SetFilePointer(m_handle, static_cast<LONG>(offset & 0xFFFFFFFF), &high, origin);
    return CombineOrThrow(low, high);
}

void CDiskFile::SetLength(int64_t length) {
    Seek(length, FILE_BEGIN);
    if (!SetEndOfFile(m_handle))
        ThrowLastError();
}

uint64_t CDiskFile::GetLength() {
    DWORD high = 0;
    SetLastError(NO_ERROR);
    const DWORD low = GetFileSize(m_handle, &high);
    return static_cast<uint64_t>(CombineOrThrow(low, static_cast<LONG>(high)));
}

uint32_t CDiskFile::Read(void* buffer, uint32_t count) {
    if (count == 0)
        return 0;
    DWORD read = 0;
    if (!ReadFile(m_handle, buffer, count, &read, nullptr))
        ThrowLastError();
    return read;
}

void CDiskFile::Write(const void* buffer, uint32_t count) {
    if (count == 0)
        return;
    DWORD written = 0;
    if (!WriteFile(m_handle, buffer, count, &written, nullptr))
        ThrowLastError();
    if (written != count)
        throw new CDiskFileException(ERROR_HANDLE_DISK_FULL);
}

void CDiskFile::Flush() {
    if (m_handle == INVALID_HANDLE_VALUE)
        return;
    if (!FlushFileBuffers(m_handle))
        ThrowLastError();
}

bool CDiskFile::Close() {
    bool closed = true;
    if (m_handle != INVALID_HANDLE_VALUE)
        closed = CloseHandle(m_handle) != FALSE;
    m_handle = INVALID_HANDLE_VALUE;
    m_open = 0;
    return closed;
}

CDiskFile::~CDiskFile() {
    if (m_handle != INVALID_HANDLE_VALUE && m_open == 1)
        Close();
}
