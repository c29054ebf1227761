// Test entry point. Besides running the tests, the executable doubles as the
// "web browser" some tests register with the shell: started as
//   test_frame.exe --record-url FILE URL
// it appends URL and a line break to FILE (UTF-8) and exits.
#include <windows.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {
int RecordUrl(const wchar_t* file, const wchar_t* url) {
    HANDLE f = CreateFileW(file, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return 1;
    int bytes = WideCharToMultiByte(CP_UTF8, 0, url, -1, nullptr, 0, nullptr, nullptr);
    std::string line(bytes > 0 ? bytes - 1 : 0, '\0');
    if (bytes > 1) WideCharToMultiByte(CP_UTF8, 0, url, -1, &line[0], bytes, nullptr, nullptr);
    line += "\n";
    DWORD written = 0;
    WriteFile(f, line.data(), (DWORD)line.size(), &written, nullptr);
    CloseHandle(f);
    return 0;
}
// Under Wine on a bare X server (Xvfb, no window manager) windows that Wine
// hands to the window manager are hidden only after a two-second wait for it,
// and their size can be reset from a stale X configuration after maximising.
// A desktop has a window manager; the tests have none, so this executable asks
// Wine to keep its windows to itself. Wine reads the setting when its display
// driver starts, which happens with the first window, after this.
void UnmanagedWindowsUnderWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (!ntdll || !GetProcAddress(ntdll, "wine_get_version")) return;
    HKEY key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Wine\\AppDefaults\\test_frame.exe\\X11 Driver", 0, nullptr,
                        0, KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return;
    RegSetValueExW(key, L"Managed", 0, REG_SZ, (const BYTE*)L"N", 2 * sizeof(wchar_t));
    RegCloseKey(key);
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 4 && wcscmp(argv[1], L"--record-url") == 0) return RecordUrl(argv[2], argv[3]);
    UnmanagedWindowsUnderWine();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
