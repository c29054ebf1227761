// Listening sockets on 127.0.0.1 for the tests' own servers and peers. Winsock
// must already be started by the caller.
#pragma once
#include <winsock2.h>

namespace testutil {

// Listens on 127.0.0.1 at `port` (0: any free one) with room for `backlog`
// waiting connections, the address taken exclusively; the port in `boundPort`.
// INVALID_SOCKET when that cannot be done.
SOCKET ListenOnLoopback(int backlog, int* boundPort, unsigned short port = 0);

// A loopback port that nobody listens on: bound, read and let go again.
int UnusedLoopbackPort();

}  // namespace testutil
