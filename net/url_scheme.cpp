#include "url_scheme.h"

#include "environment.h"

#include <cwchar>

bool StartsWithNoCase(const wchar_t* text, const wchar_t* prefix, size_t count) {
    return _wcsnicmp_l(text, prefix, count, g_Locale) == 0;
}
