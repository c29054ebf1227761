#pragma once
// Waiting on a thread that owns windows.
//
// A window thread that blocks in a plain wait while another thread sends a
// message to one of its windows (SendMessage, SetWindowPos on a child, ...)
// deadlocks both: the sender waits for the reply, the waiter for the sender.
// This wait delivers such sent messages as they arrive; posted messages and
// input stay queued for the thread's own loop.

#include <windows.h>

namespace base {

// Waits until one of `handles` (1 to MAXIMUM_WAIT_OBJECTS - 1) is signalled or
// `timeoutMs` has passed, serving sent messages meanwhile. Returns the index of
// the signalled handle; -1 on time-out or when the wait itself fails, so that a
// broken handle never hangs the caller.
int WaitServingSentMessages(const HANDLE* handles, DWORD count, DWORD timeoutMs = INFINITE);

}  // namespace base
