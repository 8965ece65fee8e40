#pragma once
// Keeps one value of a key under HKLM as it was when the object was made (or absent, with its key when
// that was absent too) and puts it back when the object goes: the registry lives in the Wine prefix that
// every test shares.
#include <windows.h>

#include <string>
#include <vector>

class CSavedRegistryValue {
  public:
    CSavedRegistryValue(const wchar_t* key, const wchar_t* name) : m_key(key), m_name(name) {
        HKEY opened;
        m_keyExisted = RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_QUERY_VALUE, &opened) == ERROR_SUCCESS;
        if (!m_keyExisted)
            return;
        DWORD size = 0;
        m_hadValue = RegQueryValueExW(opened, name, nullptr, &m_type, nullptr, &size) == ERROR_SUCCESS;
        m_value.resize(size);
        if (m_hadValue)
            RegQueryValueExW(opened, name, nullptr, nullptr, m_value.data(), &size);
        RegCloseKey(opened);
    }
    ~CSavedRegistryValue() {
        if (!m_keyExisted)
            RegDeleteKeyW(HKEY_LOCAL_MACHINE, m_key.c_str());
        else if (m_hadValue)
            RegSetKeyValueW(HKEY_LOCAL_MACHINE, m_key.c_str(), m_name.c_str(), m_type, m_value.data(),
                            static_cast<DWORD>(m_value.size()));
        else
            RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, m_key.c_str(), m_name.c_str());
    }
    CSavedRegistryValue(const CSavedRegistryValue&) = delete;
    CSavedRegistryValue& operator=(const CSavedRegistryValue&) = delete;

  private:
    std::wstring m_key, m_name;
    bool m_keyExisted = false, m_hadValue = false;
    DWORD m_type = 0;
    std::vector<BYTE> m_value;
};
