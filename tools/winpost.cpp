// Test helper: posts one message to the first top-level window of a class, the
// way the shell would (for example a notification-area click), for system tests
// on displays that have no notification area.
// Usage: winpost.exe CLASS MESSAGE WPARAM LPARAM   (numbers decimal or 0x...)
#include <windows.h>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    if (argc != 5) return 2;
    HWND target = FindWindowW(argv[1], nullptr);
    if (!target) return 1;
    UINT msg = (UINT)wcstoul(argv[2], nullptr, 0);
    WPARAM wp = (WPARAM)wcstoul(argv[3], nullptr, 0);
    LPARAM lp = (LPARAM)wcstoul(argv[4], nullptr, 0);
    return PostMessageW(target, msg, wp, lp) ? 0 : 3;
}
