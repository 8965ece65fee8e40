#include "ht_tokens.h"

#include "base64.h"
#include "string_helpers.h"

#include <cstring>
#include <memory>

namespace {

const char kBlanks[] = " \t\r\n";

} // namespace

void TrimString(std::string& text) {
    size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string::npos) {
        text.clear();
        return;
    }
    text.erase(0, first);
    text.erase(text.find_last_not_of(kBlanks) + 1);
}

void SplitString(const std::string& text, std::vector<std::string>& tokens, char delimiter) {
    tokens.clear();
    size_t length = text.size();
    for (size_t pos = 0; pos < length;) {
        size_t end = text.find(delimiter, pos);
        if (end == std::string::npos)
            end = length;
        std::string piece = text.substr(pos, end - pos);
        TrimString(piece);
        if (!piece.empty())
            tokens.push_back(piece);
        pos = end + 1;
    }
}

bool MakeBasicAuth(const wchar_t* user, const wchar_t* password, std::string& value) {
    std::unique_ptr<char[]> user8(WideToUtf8(user));
    if (!user8)
        return false;
    std::unique_ptr<char[]> password8(WideToUtf8(password));
    if (!password8)
        return false;
    FormatStringA(value, "%s:%s", user8.get(), password8.get());
    std::unique_ptr<char[]> encoded(Base64EncodeAlloc(reinterpret_cast<const uint8_t*>(value.data()),
                                                      static_cast<int32_t>(value.size())));
    FormatStringA(value, "Basic %s", encoded.get());
    return true;
}

int32_t HttpStatusToIndex(int32_t status) {
    if (status >= 400 && status <= 415)
        return status - 399;
    if (status >= 500 && status <= 505)
        return status - 483;
    return 23;
}
