#include "path_parts.h"

#include <cwchar>

const wchar_t* PathFileNamePart(const wchar_t* path) {
    const wchar_t* slash = wcsrchr(path, L'\\');
    return slash ? slash + 1 : path;
}

const wchar_t* PathExtensionPart(const wchar_t* name) {
    const wchar_t* dot = wcsrchr(name, L'.');
    if (!dot || dot == name)
        return name + wcslen(name);
    return dot + 1;
}
