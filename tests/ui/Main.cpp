#include <gtest/gtest.h>
#include <windows.h>

namespace {

// Under Wine without a window manager, hiding a window that Wine hands to the
// (absent) manager waits two seconds for it. The toolkit tests create and
// destroy many windows, so they ask Wine to keep their windows unmanaged.
// Nothing of this exists on Windows; the key is only read by Wine's X11 driver,
// and it must be in place before the first window loads that driver.
void KeepWineWindowsUnmanaged() {
    if (!GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version")) return;
    wchar_t path[MAX_PATH] = {0};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    const wchar_t* exe = wcsrchr(path, L'\\') ? wcsrchr(path, L'\\') + 1 : path;
    std::wstring key = std::wstring(L"Software\\Wine\\AppDefaults\\") + exe + L"\\X11 Driver";
    HKEY h;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &h, nullptr) ==
        ERROR_SUCCESS) {
        RegSetValueExW(h, L"Managed", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"N"), 2 * sizeof(wchar_t));
        RegCloseKey(h);
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    KeepWineWindowsUnmanaged();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
