#pragma once
// Milliseconds over the system tick count, right across its wrap after about 49.7 days.
#include <cstdint>

class CTickTimer {
  public:
    CTickTimer() { Restart(); }
    void Restart();
    uint32_t Elapsed() const;

  protected:
    uint32_t m_start;
};
