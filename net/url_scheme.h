#pragma once
// The case-blind comparison of a URL's scheme, under the process locale.
#include <cstddef>

bool StartsWithNoCase(const wchar_t* text, const wchar_t* prefix, size_t count);
