#include "report_line.h"

#include "disk_file.h"
#include "string_helpers.h"

#include <cstdarg>
#include <cwchar>

void WriteReportLine(const std::wstring& line, CDiskFile& file) {
    static const wchar_t kLineEnd[] = L"\r\n";
    file.Write(line.data(), static_cast<uint32_t>(line.size() * sizeof(wchar_t)));
    file.Write(kLineEnd, 2 * sizeof(wchar_t));
}

void FormatReportLine(std::wstring& line, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    va_list attempt;
    va_copy(attempt, args);
    line.resize(line.capacity());
    // The Microsoft runtime's formatter (see string_helpers.h); -1 when the text does not fit.
    const int length = _vsnwprintf(&line[0], line.size(), format, attempt);
    va_end(attempt);
    if (length >= 0 && static_cast<size_t>(length) < line.size())
        line.resize(static_cast<size_t>(length));
    else
        FormatStringWV(line, format, args);
    va_end(args);
}
