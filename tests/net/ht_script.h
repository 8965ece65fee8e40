#pragma once
// What the HTTP client tests share: a client with its protected state in reach, a fixed process
// environment for the User-Agent, and the server's side of an exchange written as a script for
// the loopback peer, posted before the client runs and checked after it returns.
#include "environment.h"
#include "ht_get.h"
#include "loopback_peer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

class CTestGet : public CHtGet<CSslSocket<CBlockingSocket>> {
  public:
    explicit CTestGet(const wchar_t* url = L"") : CHtGet(url) {}
    using CHtGet::m_receiveTimeout;
    using CHtGet::m_socket;
    using CHtGet::m_useTls;
};

// The User-Agent of a client made after SetTestEnvironment.
const char kTestUserAgent[] = "Volarix 1.02.0 64-bit; Windows NT 10.0";

inline void SetTestEnvironment() {
    g_ProductName = L"Volarix";
    const uint32_t version[4] = {1, 0, 2, 0};
    for (int i = 0; i < 4; ++i)
        g_ProductVersion[i] = version[i];
    g_OsVersion.dwMajorVersion = 10;
    g_OsVersion.dwMinorVersion = 0;
}

// A fixture member declared before any client, so that every client sees the environment.
struct CTestEnvironment {
    CTestEnvironment() { SetTestEnvironment(); }
};

inline std::string ReadWholeFile(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::wstring TestFilePath(const char* name) {
    std::string path =
        std::string(VOLARIX_NET_BINARY_DIR "/") + name + "-" + std::to_string(GetCurrentProcessId());
    return std::wstring(path.begin(), path.end());
}

class CPeerScript {
  public:
    explicit CPeerScript(CLoopbackPeer& peer) : m_peer(peer) {}

    void Accept() { Post("accept4"); }
    void Accept6() { Post("accept6"); }
    // Reads the client's next request head; Received() returns it.
    void ReadHead() { Post("recvhead"); }
    void Read(size_t count) { Post("recv " + std::to_string(count)); }
    // Everything up to the client's close.
    void Drain() { Post("drain"); }
    void Send(const std::string& bytes) { Post("send " + ToHex(bytes)); }
    void Fill(size_t count) { Post("fill " + std::to_string(count)); }
    void Close() { Post("close"); }
    // The server's side of a TLS handshake; Received() shows "ok" and the server name sent.
    void Tls(const std::string& arguments) { Post("tls " + arguments); }
    // The server's side of one plain exchange on the current connection.
    void Exchange(const std::string& response) {
        ReadHead();
        Send(response);
    }

    // Waits for every posted command; what the reading commands received, in order, and every
    // answer other than a plain "ok" (a handshake's, or a failure's) as it stands.
    std::vector<std::string> Received() {
        std::vector<std::string> received;
        for (; m_posted != 0; --m_posted) {
            std::string answer = m_peer.Reply();
            if (answer.compare(0, 5, "data ") == 0)
                received.push_back(FromHex(answer.substr(5)));
            else if (answer != "ok")
                received.push_back(answer);
        }
        return received;
    }

  private:
    void Post(const std::string& command) {
        m_peer.Post(command);
        ++m_posted;
    }

    CLoopbackPeer& m_peer;
    size_t m_posted = 0;
};

// The head a direct GET sends to 127.0.0.1 on the peer's port.
inline std::string DirectHead(const char* method, const std::string& target, uint16_t port) {
    return std::string(method) + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
           "\r\nAccept: */*\r\nAccept-Encoding: \r\nUser-Agent: " + kTestUserAgent +
           "\r\nConnection: Keep-Alive\r\n\r\n";
}

inline std::wstring PeerUrl(uint16_t port, const char* path) {
    std::string url = "http://127.0.0.1:" + std::to_string(port) + path;
    return std::wstring(url.begin(), url.end());
}
