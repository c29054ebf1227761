#pragma once
// Debug-build checks that a member runs on the thread it belongs to.
//
// A window, and the objects and managers of the toolkit, belong to the thread
// that made them: their lists are not locked, and a window moved or repainted
// from another thread works by chance, if at all. A member meant for that
// thread only starts with one of the checks below. Without NDEBUG a failed
// check writes one diagnostics line (base::DiagFailure) naming the place and
// stops the program, as an assertion does; release builds compile them away.

#include <windows.h>

namespace base {

// True on the thread that made `window`, and when there is nothing to check:
// no window yet, or one already gone.
inline bool OnWindowThread(HWND window) {
    DWORD owner = window ? GetWindowThreadProcessId(window, nullptr) : 0;
    return owner == 0 || owner == GetCurrentThreadId();
}

// True on the thread `threadId`, and while it is 0 (not bound yet).
inline bool OnThread(DWORD threadId) { return threadId == 0 || threadId == GetCurrentThreadId(); }

// Writes "<file>:<line>: off the thread of <what>" and aborts.
[[noreturn]] void ThreadCheckFailed(const char* file, int line, const char* what);

}  // namespace base

#ifdef NDEBUG
#define BASE_DCHECK_WINDOW_THREAD(window) ((void)0)
#define BASE_DCHECK_THREAD(threadId) ((void)0)
#else
// The calling thread is the one that made `window` (an HWND).
#define BASE_DCHECK_WINDOW_THREAD(window) \
    (base::OnWindowThread(window) ? (void)0 : base::ThreadCheckFailed(__FILE__, __LINE__, #window))
// The calling thread is `threadId` (a thread id recorded by the object).
#define BASE_DCHECK_THREAD(threadId) \
    (base::OnThread(threadId) ? (void)0 : base::ThreadCheckFailed(__FILE__, __LINE__, #threadId))
#endif
