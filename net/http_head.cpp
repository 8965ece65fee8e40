#include "http_head.h"

#include "ht_tokens.h"
#include "string_helpers.h"

#include <cstring>

namespace {

const int32_t kNoNumber = INT32_MIN;

bool EqualsIgnoringAsciiCase(const std::string& a, const char* b) {
    size_t n = strlen(b);
    if (a.size() != n)
        return false;
    for (size_t i = 0; i < n; ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

// A version number: decimal, at most 0xFFFF; false otherwise.
bool ParseVersionPart(const std::string& text, uint32_t* value) {
    uint32_t n = static_cast<uint32_t>(ParseLong(text.c_str(), 10, kNoNumber));
    if (n > 0xFFFF)
        return false;
    *value = n;
    return true;
}

} // namespace

void StrReplaceAll(std::string& text, const char* from, const char* to) {
    size_t fromLength = strlen(from);
    if (fromLength == 0)
        return;
    size_t at = text.find(from);
    if (at == std::string::npos)
        return;
    std::string out;
    size_t pos = 0;
    for (; at != std::string::npos; at = text.find(from, pos)) {
        out.append(text, pos, at - pos);
        out += to;
        pos = at + fromLength;
    }
    out.append(text, pos, std::string::npos);
    text.swap(out);
}

void CHtHead::UnfoldLines(std::string& head) {
    StrReplaceAll(head, "\r\n ", " ");
    StrReplaceAll(head, "\r\n\t", "\t");
}

bool CHtHead::Parse(const std::string& head) {
    fields.clear();
    size_t end = head.find("\r\n");
    if (!ParseFirstLine(head.substr(0, end).c_str()))
        return false;
    if (end == std::string::npos)
        return true;
    return ParseFields(head, end + 2, fields);
}

// A line without a colon is refused (RFC 9112 section 5): read as the start of the next name it
// would hide that field, and with a Content-Length the framing of the body.
bool CHtHead::ParseFields(const std::string& head, size_t start, HtHeaderFieldList& fields) {
    fields.clear();
    for (size_t pos = start; pos < head.size();) {
        size_t end = head.find("\r\n", pos);
        if (end == std::string::npos || end == pos)
            break;
        size_t colon = head.find(':', pos);
        if (colon > end)
            return false;
        size_t valueStart = colon + 1;
        if (valueStart < end && head[valueStart] == ' ')
            ++valueStart;
        HtHeaderField field;
        field.name.assign(head, pos, colon - pos);
        field.value.assign(head, valueStart, end - valueStart);
        TrimString(field.value);
        fields.push_back(std::move(field));
        pos = end + 2;
    }
    return true;
}

bool CHtHead::GetField(const char* name, std::string& value) const {
    return FindField(fields, name, value);
}

bool CHtHead::FindField(const HtHeaderFieldList& fields, const char* name, std::string& value) {
    for (const HtHeaderField& field : fields) {
        if (EqualsIgnoringAsciiCase(field.name, name)) {
            if (&value != &field.value)
                value = field.value;
            return true;
        }
    }
    return false;
}

bool CHtRespHead::ParseFirstLine(const char* line) {
    const std::string text(line);
    if (text.size() < 5 || !EqualsIgnoringAsciiCase(text.substr(0, 5), "http/"))
        return false;
    size_t dot = text.find('.', 5);
    if (dot == std::string::npos)
        return false;
    uint32_t major, minor;
    if (!ParseVersionPart(text.substr(5, dot - 5), &major))
        return false;
    size_t blank = text.find(' ', dot + 1);
    if (blank == std::string::npos)
        return false;
    if (!ParseVersionPart(text.substr(dot + 1, blank - dot - 1), &minor))
        return false;
    version = major << 16 | minor;
    size_t statusEnd = text.find(' ', blank + 1);
    status = ParseLong(
        text.substr(blank + 1, statusEnd == std::string::npos ? std::string::npos : statusEnd - blank - 1)
            .c_str(),
        10, kNoNumber);
    if (status < 0)
        return false;
    reason = statusEnd == std::string::npos ? std::string() : text.substr(statusEnd + 1);
    return true;
}

void CHtRespHead::FormatFirstLine(std::string& line) const {
    unsigned short major = static_cast<unsigned short>(version >> 16);
    unsigned short minor = static_cast<unsigned short>(version & 0xFFFF);
    if (!reason.empty())
        FormatStringA(line, "HTTP/%hu.%hu %d %s", major, minor, status, reason.c_str());
    else
        FormatStringA(line, "HTTP/%hu.%hu %d", major, minor, status);
}
