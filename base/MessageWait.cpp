#include "base/MessageWait.h"

namespace base {

int WaitServingSentMessages(const HANDLE* handles, DWORD count, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        DWORD remaining = INFINITE;
        if (timeoutMs != INFINITE) {
            DWORD elapsed = GetTickCount() - start;
            remaining = elapsed >= timeoutMs ? 0 : timeoutMs - elapsed;
        }
        DWORD woken = MsgWaitForMultipleObjectsEx(count, handles, remaining, QS_SENDMESSAGE, 0);
        if (woken < WAIT_OBJECT_0 + count) return static_cast<int>(woken - WAIT_OBJECT_0);
        if (woken != WAIT_OBJECT_0 + count) return -1;  // time-out or failure
        // Delivers what other threads are sending to this thread's windows; removes nothing.
        MSG msg;
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

}  // namespace base
