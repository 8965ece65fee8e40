#pragma once
// The HTTP client's scratch buffer: grows on demand, keeps nothing when it does.
#include <cstdint>

class CGrowBuf {
  public:
    CGrowBuf() = default;
    ~CGrowBuf() { delete[] m_data; }
    CGrowBuf(const CGrowBuf&) = delete;
    CGrowBuf& operator=(const CGrowBuf&) = delete;

    // At least n bytes; the old contents are not carried over when the buffer grows.
    uint8_t* Reserve(int32_t n);

  private:
    int32_t m_capacity = 0;
    uint8_t* m_data = nullptr;
};
