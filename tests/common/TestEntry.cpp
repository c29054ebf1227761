#include "common/TestEntry.h"

#include <windows.h>
#include <ole2.h>
#include <gtest/gtest.h>
#include <cstdio>
#include "app/GameApp.h"
#include "include/cef_command_line.h"

namespace testutil {

int RunAllTests(int argc, wchar_t** argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    OleInitialize(nullptr);
    testing::InitGoogleTest(&argc, argv);
    int result = RUN_ALL_TESTS();
    OleUninitialize();
    return result;
}

bool StartedAsSubProcess() { return CefCommandLine::GetGlobalCommandLine()->HasSwitch(L"type"); }

int RunAsSubProcess() {
    if (OleInitialize(nullptr) != S_OK) return 0;
    {
        gameApp app;
        app.Run();
    }
    OleUninitialize();
    return 0;
}

void KeepWindowsUnmanagedUnderWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (!ntdll || !GetProcAddress(ntdll, "wine_get_version")) return;
    wchar_t path[MAX_PATH] = {0};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    const wchar_t* exe = wcsrchr(path, L'\\') ? wcsrchr(path, L'\\') + 1 : path;
    std::wstring key = std::wstring(L"Software\\Wine\\AppDefaults\\") + exe + L"\\X11 Driver";
    HKEY h;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &h, nullptr) !=
        ERROR_SUCCESS)
        return;
    RegSetValueExW(h, L"Managed", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"N"), 2 * sizeof(wchar_t));
    RegCloseKey(h);
}

std::string Utf8(const std::wstring& text) {
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n - 1 : 0, '\0');
    if (n > 1) WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &out[0], n, nullptr, nullptr);
    return out;
}

}  // namespace testutil
