#include "mime_type.h"

#include "reg_key_holder.h"
#include "string_helpers.h"

#include <memory>

namespace {

const char kDefaultType[] = "application/octet-stream";
// The value is read into a fixed buffer; a longer one is taken as no type.
const DWORD kValueBytes = 512;

} // namespace

void GetMimeTypeForExtension(const wchar_t* extension, std::string& out) {
    if (*extension == L'\0') {
        out = kDefaultType;
        return;
    }
    std::wstring keyName;
    FormatStringW(keyName, L".%s", extension);
    CRegKeyHolder key;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, keyName.c_str(), 0, KEY_QUERY_VALUE, key.Receive()) ==
        ERROR_SUCCESS) {
        // One unit more than is read, so that a value stored without its terminator still ends.
        wchar_t value[kValueBytes / sizeof(wchar_t) + 1];
        DWORD size = kValueBytes;
        if (RegQueryValueExW(key.Get(), L"Content Type", nullptr, nullptr, reinterpret_cast<BYTE*>(value),
                             &size) == ERROR_SUCCESS) {
            value[size / sizeof(wchar_t)] = L'\0';
            std::unique_ptr<char[]> ascii(WideToAscii(value));
            // An empty value would give an upload an empty Content-Type field.
            if (ascii && ascii[0] != '\0') {
                out = ascii.get();
                return;
            }
        }
    }
    out = kDefaultType;
}
