#include "temp_files.h"

#include "string_helpers.h"

#include <windows.h>

#include <cstdint>

bool CreateUniqueTempFile(std::wstring& out) {
    wchar_t folder[MAX_PATH];
    const DWORD length = GetTempPathW(MAX_PATH, folder);
    // A result as large as the buffer is the size the path would need: nothing was written.
    if (length == 0 || length >= MAX_PATH)
        return false;

    std::wstring name;
    for (uint32_t n = GetTickCount() & 0xFFFF;; ++n) {
        FormatStringW(name, L"%s%s%X.%s", folder, L"AUM", n, L"tmp");
        const HANDLE file =
            CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
            out = name;
            return true;
        }
        // CREATE_NEW on an existing folder fails with access denied rather than "exists".
        if (GetLastError() != ERROR_FILE_EXISTS && !IsDirectory(name.c_str()))
            return false;
    }
}

bool IsDirectory(const wchar_t* path) {
    const DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}
