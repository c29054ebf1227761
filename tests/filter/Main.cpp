// The filter tests start copies of this executable as child processes; the
// child modes run before the test framework.
#include <gtest/gtest.h>
#include <windows.h>
#include <string>
#include "common/TestUtil.h"

namespace {

std::string Utf8(const std::wstring& w) {
    int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n - 1 : 0, '\0');
    if (n > 1) WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, &out[0], n, nullptr, nullptr);
    return out;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    // --child-exit N: ends with exit code N.
    if (argc >= 3 && wcscmp(argv[1], L"--child-exit") == 0) return _wtoi(argv[2]);
    // --child-touch FILE: proves it ran by creating FILE; exit code 7.
    if (argc >= 3 && wcscmp(argv[1], L"--child-touch") == 0) {
        testutil::WriteTextFile(argv[2], "ran");
        return 7;
    }
    // --child-report FILE: writes its command line, folder and probe variable; exit code 7.
    if (argc >= 3 && wcscmp(argv[1], L"--child-report") == 0) {
        wchar_t dir[MAX_PATH] = {0}, probe[256] = {0};
        GetCurrentDirectoryW(MAX_PATH, dir);
        GetEnvironmentVariableW(L"VM_FILTER_PROBE", probe, 256);
        testutil::WriteTextFile(argv[2], Utf8(GetCommandLineW()) + "\n" + Utf8(dir) + "\n" + Utf8(probe) + "\n");
        return 7;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
