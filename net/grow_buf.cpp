#include "grow_buf.h"

uint8_t* CGrowBuf::Reserve(int32_t n) {
    if (m_data != nullptr && m_capacity >= n)
        return m_data;
    delete[] m_data;
    m_data = nullptr;
    m_capacity = 0;
    m_data = new uint8_t[n];
    m_capacity = n;
    return m_data;
}
