#pragma once
#include <string>

// The registry's "Content Type" for an extension given without its dot, from HKEY_CLASSES_ROOT;
// "application/octet-stream" when there is none or it is not plain ASCII.
void GetMimeTypeForExtension(const wchar_t* extension, std::string& out);
