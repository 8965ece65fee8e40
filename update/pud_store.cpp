#include "pud_file.h"

#include "data_folder.h"
#include "environment.h"
#include "reg_key_holder.h"

#include <string>

int SavePudPackage(const PudPackage& package) {
    const std::wstring path = g_DataFolder + L"updates.dat";
    CRegKeyHolder key;
    if (OpenSettingsKey(KEY_SET_VALUE, 1, key.Receive()) != ERROR_SUCCESS)
        return 0;
    // Only into the folder the service made itself, which no one but an administrator can move before the
    // value names the file.
    CDataFolderLock folder;
    if (!folder.Acquire())
        return 0;
    if (!WritePudFile(path.c_str(), package))
        return 0;
    const DWORD size = static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t));
    if (RegSetValueExW(key.Get(), L"UPD", 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()), size) !=
        ERROR_SUCCESS)
        return 0;
    return 1;
}
