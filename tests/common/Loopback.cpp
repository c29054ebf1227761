#include "common/Loopback.h"

namespace testutil {

SOCKET ListenOnLoopback(int backlog, int* boundPort, unsigned short port) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return INVALID_SOCKET;
    BOOL exclusive = TRUE;
    setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, (const char*)&exclusive, sizeof(exclusive));
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    int len = sizeof(addr);
    if (bind(s, (sockaddr*)&addr, sizeof(addr)) != 0 || listen(s, backlog) != 0 ||
        getsockname(s, (sockaddr*)&addr, &len) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    if (boundPort) *boundPort = ntohs(addr.sin_port);
    return s;
}

int UnusedLoopbackPort() {
    int port = 0;
    SOCKET s = ListenOnLoopback(1, &port);
    if (s == INVALID_SOCKET) return 0;
    closesocket(s);
    return port;
}

}  // namespace testutil
