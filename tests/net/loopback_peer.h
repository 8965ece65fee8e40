#pragma once
// A Python peer on loopback that a test drives command by command (see peer.py), and a stand-in
// for the Winsock name service, which Wine only stubs.
#include "import_patch.h"

#include <winsock2.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

class CLoopbackPeer {
  public:
    CLoopbackPeer();
    // Closing the control connection ends the peer.
    ~CLoopbackPeer();
    CLoopbackPeer(const CLoopbackPeer&) = delete;
    CLoopbackPeer& operator=(const CLoopbackPeer&) = delete;

    // Sends a command and waits for its one-line answer.
    std::string Command(const std::string& line);
    // Sends a command whose answer comes only after the client has acted (an accept, a handshake).
    void Post(const std::string& line);
    std::string Reply();

    uint16_t port4 = 0;
    uint16_t port6 = 0;

  private:
    SOCKET m_control = INVALID_SOCKET;
    std::string m_pending;
};

std::string ToHex(const std::string& bytes);
std::string FromHex(const std::string& hex);

// Answers WSALookupServiceBeginW/NextW/End from a table instead of DNS, for the lifetime of the
// object. Keys are the looked-up name and the family asked for.
class CNameServiceStandIn {
  public:
    CNameServiceStandIn();
    ~CNameServiceStandIn();

    // The answer's first address; another family than asked for is allowed on purpose.
    void Answer(const std::wstring& name, bool ipv4Pass, const sockaddr* address, int length);
    // An answer that does not fit the caller's block: Next fails with WSAEFAULT.
    void AnswerTooLarge(const std::wstring& name, bool ipv4Pass);

    // The queries seen, as "name/4" or "name/6", in order.
    std::wstring queries;

  private:
    std::unique_ptr<CImportPatch> m_begin, m_next, m_end;
};

// The peer's test CA and server certificates in a folder of their own, with the CA in the machine's
// root store and the intermediate of "interstored" in its CA store, for the lifetime of the object.
// Make it before the process's first TLS connection: a chain engine may keep what it read of the
// stores then.
class CTestCertificates {
  public:
    explicit CTestCertificates(CLoopbackPeer& peer);
    ~CTestCertificates();
    CTestCertificates(const CTestCertificates&) = delete;
    CTestCertificates& operator=(const CTestCertificates&) = delete;

    // The arguments of the peer's "tls" command for the named certificate.
    std::string TlsArguments(const std::string& name) const;

    std::string folder;

  private:
    void Remove();

    std::vector<std::wstring> m_storeKeys;
};
