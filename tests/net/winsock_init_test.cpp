#include "winsock_init.h"

#include "import_patch.h"

#include <winsock2.h>

#include <gtest/gtest.h>

namespace {

int g_cleanups;
WORD g_offeredVersion;

int WSAAPI StartupOffering(WORD, LPWSADATA data) {
    data->wVersion = g_offeredVersion;
    data->wHighVersion = g_offeredVersion;
    return 0;
}

int WSAAPI StartupFailing(WORD, LPWSADATA) {
    return WSASYSNOTREADY;
}

int WSAAPI CountingCleanup() {
    ++g_cleanups;
    return 0;
}

} // namespace

TEST(InitWinsock, GetsVersionOneOneAndSocketsWork) {
    ASSERT_TRUE(InitWinsock());
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_NE(INVALID_SOCKET, s);
    closesocket(s);
    CleanupWinsock();
}

TEST(InitWinsock, OtherNegotiatedVersionIsUndoneAndFails) {
    for (WORD version : {MAKEWORD(2, 2), MAKEWORD(1, 0), MAKEWORD(0, 1)}) {
        g_offeredVersion = version;
        g_cleanups = 0;
        CImportPatch startup("ws2_32.dll", "WSAStartup", reinterpret_cast<void*>(&StartupOffering));
        CImportPatch cleanup("ws2_32.dll", "WSACleanup", reinterpret_cast<void*>(&CountingCleanup));
        ASSERT_TRUE(startup.Active() && cleanup.Active());
        EXPECT_FALSE(InitWinsock()) << std::hex << version;
        EXPECT_EQ(1, g_cleanups) << std::hex << version;
    }
}

TEST(InitWinsock, FailedStartupNeedsNoCleanup) {
    g_cleanups = 0;
    CImportPatch startup("ws2_32.dll", "WSAStartup", reinterpret_cast<void*>(&StartupFailing));
    CImportPatch cleanup("ws2_32.dll", "WSACleanup", reinterpret_cast<void*>(&CountingCleanup));
    ASSERT_TRUE(startup.Active() && cleanup.Active());
    EXPECT_FALSE(InitWinsock());
    EXPECT_EQ(0, g_cleanups);
}
