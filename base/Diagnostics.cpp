#include "base/Diagnostics.h"

#include <windows.h>
#include <cstdarg>
#include <cwchar>
#include <mutex>

namespace base {
namespace {

void AppendToFile(const wchar_t* line, int length) {
    wchar_t path[MAX_PATH];
    DWORD n = GetEnvironmentVariableW(kDiagFileVariable, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return;
    HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    char utf8[1536];
    int bytes = WideCharToMultiByte(CP_UTF8, 0, line, length, utf8, sizeof(utf8), nullptr, nullptr);
    DWORD written = 0;
    if (bytes > 0) WriteFile(file, utf8, static_cast<DWORD>(bytes), &written, nullptr);
    CloseHandle(file);
}

}  // namespace

void DiagFailure(const wchar_t* where, const wchar_t* format, ...) {
    wchar_t line[512];
    int head = _snwprintf(line, 200, L"vornmark[%lu:%lu] %ls: ", GetCurrentProcessId(),
                          GetCurrentThreadId(), where ? where : L"?");
    if (head < 0) head = 199;  // cut: keep what fitted
    va_list args;
    va_start(args, format);
    // Leave room for the line break and the terminator; a cut text is still one line.
    const int room = static_cast<int>(sizeof(line) / sizeof(line[0])) - head - 2;
    int body = _vsnwprintf(line + head, room, format, args);
    va_end(args);
    if (body < 0 || body >= room) body = room - 1;
    int length = head + body;
    line[length++] = L'\n';
    line[length] = L'\0';
    OutputDebugStringW(line);
    AppendToFile(line, length);
}

namespace {
LARGE_INTEGER startupZero = {};
double beforeEntryMs = -1;
// Guards the steps seen so far (literals, compared by text) and the first line.
std::mutex startupLock;
const wchar_t* startupSeen[32];
int startupCount = 0;
}  // namespace

void StartupBegin() {
    QueryPerformanceCounter(&startupZero);
    FILETIME created, exited, kernel, user, now;
    if (GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) {
        GetSystemTimeAsFileTime(&now);
        ULARGE_INTEGER c = {{created.dwLowDateTime, created.dwHighDateTime}};
        ULARGE_INTEGER n = {{now.dwLowDateTime, now.dwHighDateTime}};
        if (n.QuadPart >= c.QuadPart) beforeEntryMs = (n.QuadPart - c.QuadPart) / 10000.0;
    }
}

void StartupStep(const wchar_t* step) {
    if (!startupZero.QuadPart || !step) return;
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    const double ms = (now.QuadPart - startupZero.QuadPart) * 1000.0 / frequency.QuadPart;
    bool first = false;
    {
        std::lock_guard<std::mutex> guard(startupLock);
        for (int i = 0; i < startupCount; ++i)
            if (wcscmp(startupSeen[i], step) == 0) return;
        if (startupCount == sizeof(startupSeen) / sizeof(startupSeen[0])) return;
        first = startupCount == 0;
        startupSeen[startupCount++] = step;
    }
    if (first && beforeEntryMs >= 0)
        DiagFailure(L"startup", L"process made %.0f ms before wWinMain", beforeEntryMs);
    DiagFailure(L"startup", L"%ls +%.0f ms", step, ms);
}

}  // namespace base
