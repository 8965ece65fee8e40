#pragma once
// One peer, one set of certificates and the test root in the Windows root store for a whole test
// program; in every test "localhost" answers as 127.0.0.1.
#include "loopback_peer.h"
#include "ssl_init.h"

#include <gtest/gtest.h>

class TlsPeerFixture : public ::testing::Test {
  protected:
    // The test root is trusted before InitSsl reads the root store.
    static void SetUpTestSuite() {
        peer = new CLoopbackPeer;
        certs = new CTestCertificates(*peer);
        ASSERT_TRUE(InitSsl());
    }
    static void TearDownTestSuite() {
        delete certs;
        delete peer;
        CleanupSsl();
    }
    void SetUp() override {
        sockaddr_in loopback = {};
        loopback.sin_family = AF_INET;
        loopback.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        dns.Answer(L"localhost", true, reinterpret_cast<sockaddr*>(&loopback), sizeof loopback);
    }

    static inline CLoopbackPeer* peer;
    static inline CTestCertificates* certs;
    CNameServiceStandIn dns;
};
