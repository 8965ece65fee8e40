#include "winsock_init.h"

#include <winsock2.h>

bool InitWinsock() {
    WSADATA data;
    if (WSAStartup(MAKEWORD(1, 1), &data) != 0)
        return false;
    // Only 1.1 is used; a stack that negotiates anything else is not one this client was made for.
    if (LOBYTE(data.wVersion) != 1 || HIBYTE(data.wVersion) != 1) {
        WSACleanup();
        return false;
    }
    return true;
}

void CleanupWinsock() {
    WSACleanup();
}
