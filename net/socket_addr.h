#pragma once
// An IPv4 or IPv6 endpoint and its conversion to and from Winsock's address structures.
#include "win_api.h"

#include <cstdint>

struct SocketAddr {
    uint32_t isIpv4;     // 1 IPv4, 0 IPv6
    uint8_t address[16]; // IPv4: a host-order u32 in the first four bytes; IPv6: network order
    uint32_t scopeId;    // IPv6 only
    uint16_t port;       // host order
};

// A growable block from the runtime heap; carries Winsock address structures.
class CBuffer {
  public:
    CBuffer() = default;
    ~CBuffer() { Free(); }
    CBuffer(const CBuffer&) = delete;
    CBuffer& operator=(const CBuffer&) = delete;

    // Keeps the bytes up to the smaller of the old and new sizes; throws std::bad_alloc.
    uint8_t* Resize(uint32_t n);
    void Free();
    void Assign(const CBuffer& other);

    uint32_t Size() const { return m_size; }
    uint8_t* Data() const { return m_data; }

  private:
    uint32_t m_size = 0;
    uint8_t* m_data = nullptr;
};

void SocketAddrToSockaddr(const SocketAddr& endpoint, CBuffer& out);
// False for a length too short for its family or a family other than IPv4 and IPv6; the endpoint
// is then unchanged.
bool SockaddrToSocketAddr(const sockaddr* address, int32_t length, SocketAddr& endpoint);
