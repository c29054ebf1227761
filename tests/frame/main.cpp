// Test entry point. Besides running the tests, the executable doubles as the
// "web browser" some tests register with the shell: started as
//   test_frame.exe --record-url FILE URL
// it appends URL and a line break to FILE (UTF-8) and exits.
#include <windows.h>
#include "common/TestEntry.h"

#include <cstring>
#include <string>

namespace {
int RecordUrl(const wchar_t* file, const wchar_t* url) {
    HANDLE f = CreateFileW(file, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return 1;
    std::string line = testutil::Utf8(url) + "\n";
    DWORD written = 0;
    WriteFile(f, line.data(), (DWORD)line.size(), &written, nullptr);
    CloseHandle(f);
    return 0;
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 4 && wcscmp(argv[1], L"--record-url") == 0) return RecordUrl(argv[2], argv[3]);
    testutil::KeepWindowsUnmanagedUnderWine();
    return testutil::RunAllTests(argc, argv);
}
