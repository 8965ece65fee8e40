#pragma once
#include "win_api.h"

// Owns one registry key handle and closes it when it goes.
class CRegKeyHolder {
  public:
    explicit CRegKeyHolder(HKEY key = nullptr) : m_key(key) {}
    ~CRegKeyHolder() {
        if (m_key)
            RegCloseKey(m_key);
    }
    CRegKeyHolder(const CRegKeyHolder&) = delete;
    CRegKeyHolder& operator=(const CRegKeyHolder&) = delete;

    HKEY Get() const { return m_key; }
    // For the opening call to fill in; the holder must still be empty.
    HKEY* Receive() { return &m_key; }

  private:
    HKEY m_key;
};
