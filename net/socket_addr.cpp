#include "socket_addr.h"

#include <ws2tcpip.h>

#include <cstdlib>
#include <cstring>
#include <new>

uint8_t* CBuffer::Resize(uint32_t n) {
    void* block;
    if (m_data == nullptr) {
        block = malloc(n);
    } else if (n == 0) {
        free(m_data);
        m_data = nullptr;
        m_size = 0;
        block = malloc(0);
    } else {
        block = realloc(m_data, n);
    }
    if (block == nullptr)
        throw std::bad_alloc();
    m_data = static_cast<uint8_t*>(block);
    m_size = n;
    return m_data;
}

void CBuffer::Free() {
    if (m_data != nullptr) {
        free(m_data);
        m_data = nullptr;
        m_size = 0;
    }
}

void CBuffer::Assign(const CBuffer& other) {
    if (&other == this)
        return;
    if (other.m_data != nullptr) {
        Resize(other.m_size);
        memcpy(m_data, other.m_data, other.m_size);
    } else {
        Free();
    }
}

void SocketAddrToSockaddr(const SocketAddr& endpoint, CBuffer& out) {
    if (!endpoint.isIpv4) {
        sockaddr_in6* sa = reinterpret_cast<sockaddr_in6*>(out.Resize(sizeof(sockaddr_in6)));
        memset(sa, 0, sizeof *sa);
        sa->sin6_family = AF_INET6;
        sa->sin6_port = htons(endpoint.port);
        memcpy(&sa->sin6_addr, endpoint.address, 16);
        sa->sin6_scope_id = endpoint.scopeId;
    } else {
        sockaddr_in* sa = reinterpret_cast<sockaddr_in*>(out.Resize(sizeof(sockaddr_in)));
        memset(sa, 0, sizeof *sa);
        sa->sin_family = AF_INET;
        sa->sin_port = htons(endpoint.port);
        uint32_t hostOrder;
        memcpy(&hostOrder, endpoint.address, 4);
        sa->sin_addr.s_addr = htonl(hostOrder);
    }
}

bool SockaddrToSocketAddr(const sockaddr* address, int32_t length, SocketAddr& endpoint) {
    if (length < 2)
        return false;
    if (address->sa_family == AF_INET && length >= static_cast<int32_t>(sizeof(sockaddr_in))) {
        const sockaddr_in* sa = reinterpret_cast<const sockaddr_in*>(address);
        memset(&endpoint, 0, sizeof endpoint);
        endpoint.isIpv4 = 1;
        uint32_t hostOrder = ntohl(sa->sin_addr.s_addr);
        memcpy(endpoint.address, &hostOrder, 4);
        endpoint.port = ntohs(sa->sin_port);
        return true;
    }
    if (address->sa_family == AF_INET6 && length >= static_cast<int32_t>(sizeof(sockaddr_in6))) {
        const sockaddr_in6* sa = reinterpret_cast<const sockaddr_in6*>(address);
        endpoint.isIpv4 = 0;
        memcpy(endpoint.address, &sa->sin6_addr, 16);
        endpoint.scopeId = sa->sin6_scope_id;
        endpoint.port = ntohs(sa->sin6_port);
        return true;
    }
    return false;
}
