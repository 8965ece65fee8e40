#pragma once
// The blocking TCP client socket under the HTTP(S) transport. Every failure is thrown as an error
// code (net_errors.h); a cancel from another thread closes the socket and bars it for good.
#include "socket_addr.h"
#include "win_api.h"

#include <cstdint>
#include <string>

// The Winsock entry points the socket calls, in one table so that a different set can stand in.
struct SocketApi {
    decltype(&::socket) socket;
    decltype(&::closesocket) closesocket;
    decltype(&::connect) connect;
    decltype(&::recv) recv;
    decltype(&::recvfrom) recvfrom;
    decltype(&::send) send;
    decltype(&::sendto) sendto;
    decltype(&::select) select;
    decltype(&::bind) bind;
    decltype(&::listen) listen;
    decltype(&::accept) accept;
    decltype(&::getsockopt) getsockopt;
    decltype(&::setsockopt) setsockopt;
};

extern const SocketApi g_Ws2SocketApi;

// Looks a host name up for one address family; 1 found (is-IPv4, address and scope id filled), 0 not.
typedef uint32_t (*HostResolver)(const wchar_t* host, void* context, uint32_t wantIpv4, SocketAddr* endpoint);

uint32_t ResolveHostDns(const wchar_t* host, void* context, uint32_t wantIpv4, SocketAddr* endpoint);

// The error code for the calling thread's last Winsock error.
long MapSocketError(uint16_t operation);

class CBlockingSocket {
  public:
    CBlockingSocket() = default;
    // Does not close a stored socket: the owner closes or cancels first.
    ~CBlockingSocket() = default;
    CBlockingSocket(const CBlockingSocket&) = delete;
    CBlockingSocket& operator=(const CBlockingSocket&) = delete;

    void Create(bool ipv4);
    void ConnectAddr(const SocketAddr& endpoint);
    // Resolve, then Create and ConnectAddr with the found address and the port.
    void Connect(const wchar_t* host, uint32_t port);
    // Fills is-IPv4, address and scope id; the port is left alone.
    void Resolve(const wchar_t* host, SocketAddr& endpoint);
    void Send(const void* bytes, uint32_t length);
    // Between 1 and length bytes, or 0 for a length of 0.
    int32_t Receive(void* buffer, uint32_t length);
    void WaitReady(bool reading);
    // For reads that do not wait through WaitReady (TLS): every recv on the stored socket then
    // gives up after the receive time-out, failing with WSAETIMEDOUT.
    void LimitBlockingReceives();
    void Close();
    // Meant for another thread: closes the socket and makes every later Create and lookup throw 0.
    void Cancel();

  protected:
    class CLookup;

    uint64_t* m_bytesSent = nullptr;
    uint64_t* m_bytesReceived = nullptr;
    int32_t m_receiveTimeout = 200; // seconds; negative waits without limit
    int32_t m_sendTimeout = 200;
    const SocketApi* m_api = &g_Ws2SocketApi;
    SOCKET m_socket = INVALID_SOCKET;
    uint32_t m_cancelled = 0;
    uint32_t m_resolveInline = 0;
    void* m_resolverContext = nullptr;
    HostResolver m_resolver = &ResolveHostDns;
};
