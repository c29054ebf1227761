// The filter tests start copies of this executable as child processes; the
// child modes run before the test framework.
#include <windows.h>
#include <string>
#include "common/TestEntry.h"
#include "common/TestUtil.h"

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
        testutil::WriteTextFile(argv[2], testutil::Utf8(GetCommandLineW()) + "\n" + testutil::Utf8(dir) + "\n" +
                                             testutil::Utf8(probe) + "\n");
        return 7;
    }
    return testutil::RunAllTests(argc, argv);
}
