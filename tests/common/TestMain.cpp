// Entry point of the C++ test executables that bring none of their own (a folder
// with its own wmain keeps this object out of the link).
#include <windows.h>
#include <ole2.h>
#include <gtest/gtest.h>

int wmain(int argc, wchar_t** argv) {
    // Unbuffered output so a crash under Wine still leaves the test's last words.
    setvbuf(stdout, nullptr, _IONBF, 0);
    OleInitialize(nullptr);
    ::testing::InitGoogleTest(&argc, argv);
    int result = RUN_ALL_TESTS();
    OleUninitialize();
    return result;
}
