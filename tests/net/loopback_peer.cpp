#include "loopback_peer.h"

#include <wincrypt.h>
#include <ws2tcpip.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <vector>

namespace {

const int kPeerStartSeconds = 30;

std::string ReadLineFrom(SOCKET s, std::string& pending) {
    for (;;) {
        size_t nl = pending.find('\n');
        if (nl != std::string::npos) {
            std::string line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            return line;
        }
        char buffer[4096];
        int n = recv(s, buffer, sizeof buffer, 0);
        if (n <= 0)
            throw std::runtime_error("loopback peer went away");
        pending.append(buffer, n);
    }
}

} // namespace

CLoopbackPeer::CLoopbackPeer() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    SOCKET listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("no control listener");
    // Wine starts a Unix program directly and hands back no handles for it, only what its stack
    // held: closing those would close handles of this process (a socket, a thread's event), so
    // they are left alone, and the peer reports back over the control connection instead.
    std::wstring command =
        L"/usr/bin/python3 " VOLARIX_NET_PEER_W L" " + std::to_wstring(ntohs(address.sin_port));
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (!CreateProcessW(L"/usr/bin/python3", &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
        throw std::runtime_error("cannot start the loopback peer");
    fd_set set;
    FD_ZERO(&set);
    FD_SET(listener, &set);
    timeval limit = {kPeerStartSeconds, 0};
    if (select(0, &set, nullptr, nullptr, &limit) != 1)
        throw std::runtime_error("the loopback peer did not call back");
    m_control = accept(listener, nullptr, nullptr);
    closesocket(listener);
    std::string ports = Reply();
    if (sscanf(ports.c_str(), "ports %hu %hu", &port4, &port6) != 2)
        throw std::runtime_error("unexpected greeting: " + ports);
}

CLoopbackPeer::~CLoopbackPeer() {
    if (m_control != INVALID_SOCKET)
        closesocket(m_control);
    WSACleanup();
}

void CLoopbackPeer::Post(const std::string& line) {
    std::string text = line + "\n";
    if (send(m_control, text.data(), static_cast<int>(text.size()), 0) != static_cast<int>(text.size()))
        throw std::runtime_error("control connection broken");
}

std::string CLoopbackPeer::Reply() {
    return ReadLineFrom(m_control, m_pending);
}

std::string CLoopbackPeer::Command(const std::string& line) {
    Post(line);
    return Reply();
}

std::string ToHex(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : bytes) {
        hex += kDigits[c >> 4];
        hex += kDigits[c & 15];
    }
    return hex;
}

std::string FromHex(const std::string& hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return bytes;
}

namespace {

struct Answer {
    std::vector<uint8_t> address;
    bool tooLarge = false;
};

CNameServiceStandIn* g_standIn;
std::map<std::wstring, Answer> g_answers;
std::wstring g_current;

const GUID kHostAddrByName = {0x0002A803, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

std::wstring Key(const std::wstring& name, bool ipv4Pass) {
    return name + (ipv4Pass ? L"/4" : L"/6");
}

INT WSAAPI StandInBegin(LPWSAQUERYSETW query, DWORD, LPHANDLE handle) {
    bool ipv4Pass = memcmp(query->lpServiceClassId, &kHostAddrByName, sizeof(GUID)) == 0;
    g_current = Key(query->lpszServiceInstanceName, ipv4Pass);
    g_standIn->queries += g_current + L" ";
    *handle = reinterpret_cast<HANDLE>(0x5151);
    return 0;
}

INT WSAAPI StandInNext(HANDLE, DWORD, LPDWORD length, LPWSAQUERYSETW results) {
    auto found = g_answers.find(g_current);
    if (found == g_answers.end()) {
        WSASetLastError(WSA_E_NO_MORE);
        return SOCKET_ERROR;
    }
    if (found->second.tooLarge) {
        *length = 8192;
        WSASetLastError(WSAEFAULT);
        return SOCKET_ERROR;
    }
    // The result set overwrites the query in the caller's block, as the name service does.
    uint8_t* block = reinterpret_cast<uint8_t*>(results);
    memset(block, 0, *length);
    CSADDR_INFO* info = reinterpret_cast<CSADDR_INFO*>(block + sizeof(WSAQUERYSETW));
    uint8_t* address = reinterpret_cast<uint8_t*>(info + 1);
    memcpy(address, found->second.address.data(), found->second.address.size());
    info->RemoteAddr.lpSockaddr = reinterpret_cast<sockaddr*>(address);
    info->RemoteAddr.iSockaddrLength = static_cast<INT>(found->second.address.size());
    info->iSocketType = SOCK_STREAM;
    results->dwSize = sizeof(WSAQUERYSETW);
    results->dwNumberOfCsAddrs = 1;
    results->lpcsaBuffer = info;
    return 0;
}

INT WSAAPI StandInEnd(HANDLE) {
    return 0;
}

} // namespace

CNameServiceStandIn::CNameServiceStandIn() {
    g_standIn = this;
    g_answers.clear();
    m_begin.reset(
        new CImportPatch("ws2_32.dll", "WSALookupServiceBeginW", reinterpret_cast<void*>(&StandInBegin)));
    m_next.reset(
        new CImportPatch("ws2_32.dll", "WSALookupServiceNextW", reinterpret_cast<void*>(&StandInNext)));
    m_end.reset(new CImportPatch("ws2_32.dll", "WSALookupServiceEnd", reinterpret_cast<void*>(&StandInEnd)));
    if (!m_begin->Active() || !m_next->Active() || !m_end->Active())
        throw std::runtime_error("name service imports not found");
}

CNameServiceStandIn::~CNameServiceStandIn() {
    g_standIn = nullptr;
}

void CNameServiceStandIn::Answer(const std::wstring& name, bool ipv4Pass, const sockaddr* address,
                                 int length) {
    ::Answer& answer = g_answers[Key(name, ipv4Pass)];
    answer.address.assign(reinterpret_cast<const uint8_t*>(address),
                          reinterpret_cast<const uint8_t*>(address) + length);
}

void CNameServiceStandIn::AnswerTooLarge(const std::wstring& name, bool ipv4Pass) {
    g_answers[Key(name, ipv4Pass)].tooLarge = true;
}

namespace {

// Puts the certificate of the DER file into a store of the machine, as Windows keeps one: a
// serialized store element under its SHA-1 thumbprint. Wine keeps a certificate added through
// CertAddEncodedCertificateToStore only in the store object at hand, while its chain engine reads
// the registry, as Windows' does. The key made, below HKEY_LOCAL_MACHINE.
std::wstring AddToMachineStore(const std::string& derPath, const wchar_t* store) {
    std::ifstream in(derPath, std::ios::binary);
    std::string der((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    PCCERT_CONTEXT cert = CertCreateCertificateContext(
        X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()), static_cast<DWORD>(der.size()));
    if (cert == nullptr)
        throw std::runtime_error("unreadable test certificate " + derPath);
    BYTE thumbprint[20];
    DWORD length = sizeof thumbprint;
    if (!CertGetCertificateContextProperty(cert, CERT_SHA1_HASH_PROP_ID, thumbprint, &length)) {
        CertFreeCertificateContext(cert);
        throw std::runtime_error("no thumbprint for " + derPath);
    }
    std::wstring path =
        std::wstring(L"Software\\Microsoft\\SystemCertificates\\") + store + L"\\Certificates\\";
    for (BYTE b : thumbprint) {
        wchar_t hex[3];
        swprintf(hex, 3, L"%02X", b);
        path += hex;
    }
    length = 0;
    CertSerializeCertificateStoreElement(cert, 0, nullptr, &length);
    std::string blob(length, '\0');
    CertSerializeCertificateStoreElement(cert, 0, reinterpret_cast<BYTE*>(&blob[0]), &length);
    CertFreeCertificateContext(cert);
    HKEY key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        throw std::runtime_error("cannot store " + derPath);
    LONG stored =
        RegSetValueExW(key, L"Blob", 0, REG_BINARY, reinterpret_cast<const BYTE*>(blob.data()), length);
    RegCloseKey(key);
    if (stored != ERROR_SUCCESS) {
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str());
        throw std::runtime_error("cannot store " + derPath);
    }
    return path;
}

} // namespace

CTestCertificates::CTestCertificates(CLoopbackPeer& peer) {
    folder = std::string(VOLARIX_NET_BINARY_DIR "/certs-") + std::to_string(GetCurrentProcessId());
    if (peer.Command("certs " + folder) != "ok")
        throw std::runtime_error("the peer made no certificates");
    try {
        m_storeKeys.push_back(AddToMachineStore(folder + "/ca.der", L"Root"));
        m_storeKeys.push_back(AddToMachineStore(folder + "/interstored-ca.der", L"CA"));
    } catch (...) {
        Remove();
        throw;
    }
}

CTestCertificates::~CTestCertificates() {
    Remove();
}

void CTestCertificates::Remove() {
    for (const std::wstring& key : m_storeKeys)
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, key.c_str());
    m_storeKeys.clear();
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}

std::string CTestCertificates::TlsArguments(const std::string& name) const {
    return folder + "/" + name + ".pem " + folder + "/" + name + ".key";
}
