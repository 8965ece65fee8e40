#pragma once
// Keeps a process environment variable as it was when the object was made (or absent) and puts it
// back when the object goes, so that a test leaves the variables as it found them.

#include <windows.h>

#include <string>

class CSavedEnvironmentVariable {
  public:
    explicit CSavedEnvironmentVariable(const wchar_t* name) : m_name(name) {
        const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
        m_present = size > 0;
        if (m_present) {
            m_value.resize(size);
            m_value.resize(GetEnvironmentVariableW(name, &m_value[0], size));
        }
    }
    ~CSavedEnvironmentVariable() {
        SetEnvironmentVariableW(m_name.c_str(), m_present ? m_value.c_str() : nullptr);
    }
    CSavedEnvironmentVariable(const CSavedEnvironmentVariable&) = delete;
    CSavedEnvironmentVariable& operator=(const CSavedEnvironmentVariable&) = delete;

    // The value kept; empty when the variable was absent.
    const std::wstring& Saved() const { return m_value; }

  private:
    std::wstring m_name;
    std::wstring m_value;
    bool m_present = false;
};
