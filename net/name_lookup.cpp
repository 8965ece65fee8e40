#include "name_lookup.h"

#include "blocking_socket.h"
#include "counted_ref.h"
#include "global_lock.h"
#include "net_errors.h"
#include "string_helpers.h"

#include <idn-free.h>
#include <idna.h>
#include <ws2tcpip.h>

#include <atomic>
#include <cstring>
#include <memory>

namespace {

const int kLookupPollMs = 10;
const SIZE_T kLookupStackReserve = 0x20000;
// Large enough for the query and one answer of a few addresses; a bigger answer is not taken.
const DWORD kLookupBlockSize = 4096;

// Host-address look-up by name (IPv4), and the DNS class of AAAA records (type 28).
const GUID kSvcIdInetHostAddrByName = {0x0002A803, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const GUID kSvcIdDnsTypeAaaa = {0x00090035, 0x0000, 0x001C, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

static_assert(sizeof(WSAQUERYSETW) == 120, "the query set starts the look-up block");

} // namespace

class CBlockingSocket::CLookup : public CCountedRef {
  public:
    CLookup(const wchar_t* host, void* context, HostResolver resolver)
        : CCountedRef(&g_GlobalLock), m_host(host), m_context(context), m_resolver(resolver) {}

    static DWORD WINAPI ThreadProc(void* parameter);

    std::wstring m_host;
    void* m_context;
    HostResolver m_resolver;
    SocketAddr m_result = {};
    // ok is written before done is released; the waiter reads ok only after it has seen done.
    std::atomic<uint32_t> m_done{0};
    uint32_t m_ok = 0;
};

DWORD WINAPI CBlockingSocket::CLookup::ThreadProc(void* parameter) {
    CLookup* lookup = static_cast<CLookup*>(parameter);
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
    const wchar_t* host = lookup->m_host.c_str();
    uint32_t ok = lookup->m_resolver(host, lookup->m_context, 1, &lookup->m_result);
    if (!ok)
        ok = lookup->m_resolver(host, lookup->m_context, 0, &lookup->m_result);
    lookup->m_ok = ok;
    lookup->m_done.store(1, std::memory_order_release);
    CCountedRef::Release(lookup);
    return 0;
}

void CBlockingSocket::Resolve(const wchar_t* host, SocketAddr& endpoint) {
    if (ParseNumericAddress(host, endpoint))
        return;
    if (m_resolveInline) {
        if (!m_resolver(host, m_resolverContext, 1, &endpoint) &&
            !m_resolver(host, m_resolverContext, 0, &endpoint))
            throw kErrLookupFailed;
        return;
    }
    CLookup* lookup = new CLookup(host, m_resolverContext, m_resolver);
    lookup->AddRef(); // the thread's
    HANDLE thread = CreateThread(nullptr, kLookupStackReserve, &CLookup::ThreadProc, lookup,
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread == nullptr) {
        delete lookup;
        throw kErrLookupFailed;
    }
    // Never joined: a slow DNS answer must not hold up a cancelled waiter.
    CloseHandle(thread);
    // The waiter drops its reference on every way out; the thread frees the object when it is last.
    std::unique_ptr<CLookup, void (*)(CLookup*)> waiter(lookup, [](CLookup* l) { CCountedRef::Release(l); });
    if (m_cancelled)
        throw kNetCancelled;
    for (;;) {
        if (lookup->m_done.load(std::memory_order_acquire)) {
            if (!lookup->m_ok)
                throw kErrLookupFailed;
            endpoint.isIpv4 = lookup->m_result.isIpv4;
            memcpy(endpoint.address, lookup->m_result.address, sizeof endpoint.address);
            endpoint.scopeId = lookup->m_result.scopeId;
            return;
        }
        Sleep(kLookupPollMs);
        if (m_cancelled)
            throw kNetCancelled;
    }
}

uint32_t ResolveHostDns(const wchar_t* host, void* context, uint32_t wantIpv4, SocketAddr* endpoint) {
    std::unique_ptr<char[]> ascii(HostToIdnaAscii(host));
    if (!ascii)
        return 0;
    std::unique_ptr<wchar_t[]> wide(AsciiToWide(ascii.get()));
    if (!wide)
        return 0;
    std::unique_ptr<uint8_t[]> block(new uint8_t[kLookupBlockSize]);
    memset(block.get(), 0, sizeof(WSAQUERYSETW));
    WSAQUERYSETW* query = reinterpret_cast<WSAQUERYSETW*>(block.get());
    query->dwSize = sizeof(WSAQUERYSETW);
    query->lpszServiceInstanceName = wide.get();
    GUID serviceClass = wantIpv4 ? kSvcIdInetHostAddrByName : kSvcIdDnsTypeAaaa;
    query->lpServiceClassId = &serviceClass;
    query->dwNameSpace = NS_DNS;
    query->lpNSProviderId = static_cast<GUID*>(context);
    HANDLE lookup;
    if (WSALookupServiceBeginW(query, LUP_RETURN_ADDR, &lookup) != 0)
        return 0;
    DWORD length = kLookupBlockSize;
    int next = WSALookupServiceNextW(lookup, 0, &length, query);
    WSALookupServiceEnd(lookup);
    if (next != 0 || query->dwNumberOfCsAddrs == 0)
        return 0;
    const SOCKET_ADDRESS& remote = query->lpcsaBuffer[0].RemoteAddr;
    SocketAddr found;
    if (!SockaddrToSocketAddr(remote.lpSockaddr, remote.iSockaddrLength, found))
        return 0;
    if ((found.isIpv4 != 0) != (wantIpv4 != 0))
        return 0;
    endpoint->isIpv4 = found.isIpv4;
    memcpy(endpoint->address, found.address, sizeof found.address);
    endpoint->scopeId = found.scopeId;
    return 1;
}

bool ParseNumericAddress(const wchar_t* host, SocketAddr& endpoint) {
    // WSAStringToAddressW takes a non-const string.
    std::wstring text(host);
    sockaddr_in v4 = {};
    INT length = sizeof v4;
    if (WSAStringToAddressW(&text[0], AF_INET, nullptr, reinterpret_cast<sockaddr*>(&v4), &length) == 0) {
        endpoint.isIpv4 = 1;
        memset(endpoint.address, 0, sizeof endpoint.address);
        endpoint.scopeId = 0;
        uint32_t hostOrder = ntohl(v4.sin_addr.s_addr);
        memcpy(endpoint.address, &hostOrder, 4);
        return true;
    }
    sockaddr_in6 v6 = {};
    length = sizeof v6;
    if (WSAStringToAddressW(&text[0], AF_INET6, nullptr, reinterpret_cast<sockaddr*>(&v6), &length) == 0) {
        endpoint.isIpv4 = 0;
        memcpy(endpoint.address, &v6.sin6_addr, 16);
        endpoint.scopeId = v6.sin6_scope_id;
        return true;
    }
    return false;
}

bool SocketAddrToString(const SocketAddr& endpoint, std::wstring& text) {
    SocketAddr bare = endpoint;
    bare.port = 0;
    CBuffer address;
    SocketAddrToSockaddr(bare, address);
    wchar_t buffer[256];
    DWORD length = 256;
    if (WSAAddressToStringW(reinterpret_cast<sockaddr*>(address.Data()), address.Size(), nullptr, buffer,
                            &length) != 0)
        return false;
    text = buffer;
    return true;
}

char* HostToIdnaAscii(const wchar_t* host) {
    std::unique_ptr<uint32_t[]> codePoints(Utf16ToUtf32(host));
    if (!codePoints)
        return nullptr;
    char* output = nullptr;
    int rc = idna_to_ascii_4z(codePoints.get(), &output, IDNA_ALLOW_UNASSIGNED);
    codePoints.reset();
    if (rc != IDNA_SUCCESS)
        return nullptr;
    char* copy;
    try {
        copy = StrDupA(output);
    } catch (...) {
        idn_free(output);
        throw;
    }
    idn_free(output);
    return copy;
}

char* HostToAscii(const wchar_t* host) {
    SocketAddr endpoint = {};
    if (ParseNumericAddress(host, endpoint)) {
        if (!endpoint.isIpv4 && endpoint.scopeId != 0) {
            // The scope id names an interface of this machine; it has no meaning to the server.
            endpoint.scopeId = 0;
            std::wstring text;
            if (!SocketAddrToString(endpoint, text))
                return nullptr;
            return WideToAscii(text.c_str());
        }
        return WideToAscii(host);
    }
    return HostToIdnaAscii(host);
}
