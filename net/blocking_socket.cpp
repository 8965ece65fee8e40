#include "blocking_socket.h"

#include "global_lock.h"
#include "net_errors.h"

const SocketApi g_Ws2SocketApi = {
    &::socket, &::closesocket, &::connect, &::recv,   &::recvfrom,   &::send,       &::sendto,
    &::select, &::bind,        &::listen,  &::accept, &::getsockopt, &::setsockopt,
};

namespace {

// Detail n of code 0x10000 | n is the index + 1 in this table.
const int kKnownWinsockErrors[] = {
    WSAEACCES,          WSAEADDRINUSE,   WSAEADDRNOTAVAIL,   WSAEAFNOSUPPORT,   WSAEALREADY,
    WSAECONNABORTED,    WSAECONNREFUSED, WSAECONNRESET,      WSAEDESTADDRREQ,   WSAEFAULT,
    WSAEHOSTDOWN,       WSAEHOSTUNREACH, WSAEINPROGRESS,     WSAEINTR,          WSAEINVAL,
    WSAEISCONN,         WSAEMFILE,       WSAEMSGSIZE,        WSAENETDOWN,       WSAENETRESET,
    WSAENETUNREACH,     WSAENOBUFS,      WSAENOPROTOOPT,     WSAENOTCONN,       WSAENOTSOCK,
    WSAEOPNOTSUPP,      WSAEPROCLIM,     WSAEPROTONOSUPPORT, WSAEPROTOTYPE,     WSAESHUTDOWN,
    WSAESOCKTNOSUPPORT, WSAETIMEDOUT,    WSAEWOULDBLOCK,     WSAHOST_NOT_FOUND, WSANOTINITIALISED,
    WSANO_DATA,         WSANO_RECOVERY,  WSASYSNOTREADY,     WSATRY_AGAIN,      WSAVERNOTSUPPORTED,
    WSAEDISCON,
};

// Closes a new socket on every exit by exception until it is stored.
class CNewSocket {
  public:
    CNewSocket(SOCKET s, decltype(&::closesocket) close) : m_socket(s), m_close(close) {}
    ~CNewSocket() {
        if (m_socket != INVALID_SOCKET)
            m_close(m_socket);
    }
    CNewSocket(const CNewSocket&) = delete;
    CNewSocket& operator=(const CNewSocket&) = delete;
    SOCKET Release() {
        SOCKET s = m_socket;
        m_socket = INVALID_SOCKET;
        return s;
    }

  private:
    SOCKET m_socket;
    decltype(&::closesocket) m_close;
};

} // namespace

long MapSocketError(uint16_t operation) {
    int error = WSAGetLastError();
    for (size_t i = 0; i < sizeof kKnownWinsockErrors / sizeof kKnownWinsockErrors[0]; ++i) {
        if (kKnownWinsockErrors[i] == error)
            return kWinsockErrorBase | static_cast<long>(i + 1);
    }
    return kSocketErrorBase | operation;
}

void CBlockingSocket::Create(bool ipv4) {
    SOCKET s = m_api->socket(ipv4 ? AF_INET : AF_INET6, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET)
        throw MapSocketError(kOpCreate);
    CNewSocket fresh(s, m_api->closesocket);
    EnterCriticalSection(&g_GlobalLock);
    if (m_cancelled) {
        LeaveCriticalSection(&g_GlobalLock);
        throw kNetCancelled;
    }
    m_socket = fresh.Release();
    LeaveCriticalSection(&g_GlobalLock);
}

void CBlockingSocket::ConnectAddr(const SocketAddr& endpoint) {
    CBuffer address;
    SocketAddrToSockaddr(endpoint, address);
    if (m_api->connect(m_socket, reinterpret_cast<const sockaddr*>(address.Data()),
                       static_cast<int>(address.Size())) == SOCKET_ERROR)
        throw MapSocketError(kOpConnect);
}

void CBlockingSocket::Connect(const wchar_t* host, uint32_t port) {
    SocketAddr endpoint;
    Resolve(host, endpoint);
    endpoint.port = static_cast<uint16_t>(port);
    Create(endpoint.isIpv4 != 0);
    ConnectAddr(endpoint);
}

void CBlockingSocket::WaitReady(bool reading) {
    fd_set set;
    set.fd_count = 1;
    set.fd_array[0] = m_socket;
    int32_t seconds = reading ? m_receiveTimeout : m_sendTimeout;
    timeval limit = {seconds, 0};
    int ready = m_api->select(0, reading ? &set : nullptr, reading ? nullptr : &set, nullptr,
                              seconds >= 0 ? &limit : nullptr);
    if (ready == SOCKET_ERROR)
        throw MapSocketError(kOpSelect);
    if (ready == 0)
        throw kErrTimeout;
}

void CBlockingSocket::LimitBlockingReceives() {
    if (m_receiveTimeout < 0)
        return;
    // The option takes 0 for no limit; its shortest wait stands in for WaitReady's poll.
    const DWORD milliseconds = m_receiveTimeout == 0 ? 1 : static_cast<DWORD>(m_receiveTimeout) * 1000;
    if (m_api->setsockopt(m_socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&milliseconds),
                          sizeof milliseconds) == SOCKET_ERROR)
        throw MapSocketError(kOpCreate);
}

void CBlockingSocket::Send(const void* bytes, uint32_t length) {
    WaitReady(false);
    int sent = m_api->send(m_socket, static_cast<const char*>(bytes), static_cast<int>(length), 0);
    if (sent == SOCKET_ERROR)
        throw MapSocketError(kOpSend);
    // The rest of a short send is not retried: the request would go out torn.
    if (static_cast<uint32_t>(sent) != length)
        throw kErrSend;
    if (m_bytesSent != nullptr)
        *m_bytesSent += static_cast<uint32_t>(sent);
}

int32_t CBlockingSocket::Receive(void* buffer, uint32_t length) {
    WaitReady(true);
    int count = m_api->recv(m_socket, static_cast<char*>(buffer), static_cast<int>(length), 0);
    if (count == SOCKET_ERROR)
        throw MapSocketError(kOpReceive);
    if (count == 0 && length != 0)
        throw kErrPeerClosed;
    if (m_bytesReceived != nullptr)
        *m_bytesReceived += static_cast<uint32_t>(count);
    return count;
}

void CBlockingSocket::Close() {
    EnterCriticalSection(&g_GlobalLock);
    SOCKET s = m_socket;
    m_socket = INVALID_SOCKET;
    LeaveCriticalSection(&g_GlobalLock);
    if (s != INVALID_SOCKET)
        m_api->closesocket(s);
}

void CBlockingSocket::Cancel() {
    SOCKET s = INVALID_SOCKET;
    EnterCriticalSection(&g_GlobalLock);
    if (!m_cancelled) {
        m_cancelled = 1;
        s = m_socket;
        m_socket = INVALID_SOCKET;
    }
    LeaveCriticalSection(&g_GlobalLock);
    if (s != INVALID_SOCKET)
        m_api->closesocket(s);
}
