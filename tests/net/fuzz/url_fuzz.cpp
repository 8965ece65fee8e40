// NormalizeUrlInput and ParseUrl on arbitrary UTF-16 text. Input bytes below 0xF0 are units of
// their own value, so the seeds stay readable; 0xF0 to 0xFF bring in a unit from the next two bytes.
#include "url.h"

#include <cstdint>
#include <cstring>
#include <string>

namespace {

void Check(bool condition) {
    if (!condition)
        __builtin_trap();
}

void Exercise(const std::wstring& text) {
    UrlParts* parts = ParseUrl(text.c_str());
    if (parts == nullptr)
        return;
    Check(parts->port >= 1 && parts->port <= 65535);
    Check(parts->path != nullptr && parts->path[0] == '/');
    Check(parts->host != nullptr && parts->host[0] != 0);
    for (const char* p = parts->path; *p; ++p)
        Check(*p != ' ' && static_cast<unsigned char>(*p) < 0x80);
    std::string target = parts->ToString();
    Check(target.compare(0, parts->https ? 8 : 7, parts->https ? "https://" : "http://") == 0);
    Check(target.size() == (parts->https ? 8 : 7) + parts->HostPort().size() + parts->PathAndQuery().size());
    parts->FreeStrings();
    delete parts;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::wstring text;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] < 0xF0) {
            text.push_back(data[i]);
        } else if (i + 2 < size) {
            text.push_back(static_cast<wchar_t>(data[i + 1] | data[i + 2] << 8));
            i += 2;
        }
    }
    text = text.c_str(); // the parsers take NUL-terminated text
    Exercise(text);
    std::wstring normalized = text;
    NormalizeUrlInput(normalized);
    Exercise(normalized);
    std::wstring again = normalized;
    NormalizeUrlInput(again);
    Check(again == normalized);

    std::string encoded;
    UrlEncodeString(std::string(reinterpret_cast<const char*>(data), size), encoded);
    Check(encoded.size() <= 3 * size);
    Check(strspn(encoded.c_str(), "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._+%") ==
          encoded.size());
    return 0;
}
