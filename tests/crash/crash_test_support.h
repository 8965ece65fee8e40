#pragma once
// Helpers shared by the crash reporting tests.
#include <windows.h>

#include <string>
#include <vector>

// A Linux path as Wine's Z: drive shows it.
inline std::wstring WinePath(const char* linuxPath) {
    std::wstring path = L"Z:";
    for (const char* c = linuxPath; *c; ++c)
        path += *c == '/' ? L'\\' : static_cast<wchar_t>(*c);
    return path;
}

inline std::string Narrow(const std::wstring& text) {
    return std::string(text.begin(), text.end());
}

// Keeps HKLM "Software\qrepcli.dll" (64-bit view) as the test found it: the values named here
// are put back, and the key goes again when it did not exist before.
class CSavedReportKey {
  public:
    explicit CSavedReportKey(std::vector<std::wstring> names) {
        HKEY key;
        m_existed = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPath, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) == 0;
        for (auto& name : names) {
            Saved saved{name, false, 0, {}};
            DWORD size = 0;
            if (m_existed && RegQueryValueExW(key, name.c_str(), nullptr, &saved.type, nullptr, &size) == 0) {
                saved.data.resize(size);
                saved.present =
                    RegQueryValueExW(key, name.c_str(), nullptr, &saved.type, saved.data.data(), &size) == 0;
            }
            m_values.push_back(saved);
        }
        if (m_existed)
            RegCloseKey(key);
    }
    ~CSavedReportKey() {
        if (!m_existed) {
            RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kPath, KEY_WOW64_64KEY, 0);
            return;
        }
        HKEY key;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kPath, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY,
                            nullptr, &key, nullptr) != 0)
            return;
        for (auto& saved : m_values) {
            if (saved.present)
                RegSetValueExW(key, saved.name.c_str(), 0, saved.type, saved.data.data(),
                               static_cast<DWORD>(saved.data.size()));
            else
                RegDeleteValueW(key, saved.name.c_str());
        }
        RegCloseKey(key);
    }
    CSavedReportKey(const CSavedReportKey&) = delete;
    CSavedReportKey& operator=(const CSavedReportKey&) = delete;

    static constexpr const wchar_t* kPath = L"Software\\qrepcli.dll";

    static bool Set(const wchar_t* name, DWORD type, const void* data, DWORD size) {
        HKEY key;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kPath, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY,
                            nullptr, &key, nullptr) != 0)
            return false;
        const bool done = RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size) == 0;
        RegCloseKey(key);
        return done;
    }
    static bool SetDword(const wchar_t* name, DWORD value) {
        return Set(name, REG_DWORD, &value, sizeof(value));
    }
    static void Remove(const wchar_t* name) {
        HKEY key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPath, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, &key) != 0)
            return;
        RegDeleteValueW(key, name);
        RegCloseKey(key);
    }
    // Type and bytes of a value; false when it is missing.
    static bool Get(const wchar_t* name, DWORD* type, std::vector<BYTE>* data) {
        HKEY key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPath, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) != 0)
            return false;
        DWORD size = 0;
        bool found = RegQueryValueExW(key, name, nullptr, type, nullptr, &size) == 0;
        if (found) {
            data->resize(size);
            found = RegQueryValueExW(key, name, nullptr, type, data->data(), &size) == 0;
        }
        RegCloseKey(key);
        return found;
    }

  private:
    struct Saved {
        std::wstring name;
        bool present;
        DWORD type;
        std::vector<BYTE> data;
    };
    bool m_existed = false;
    std::vector<Saved> m_values;
};
