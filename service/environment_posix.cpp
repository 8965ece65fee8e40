// The process facts that the natively built sources read. Windows fills them at start from the
// version resource and the OS; the native build has neither, so they stay empty.
#include "environment.h"

_locale_t g_Locale = nullptr;
OSVERSIONINFOEXW g_OsVersion = {};
uint32_t g_ProductVersion[4] = {};
std::wstring g_ProductName;
