// Test entry point. The render processes the browser layer starts are this
// executable again, so a launch with a process type runs the product's own
// start-up for it, as the product's entry point does.
#include <windows.h>
#include <ole2.h>
#include <gtest/gtest.h>
#include <cstdio>
#include "app/GameApp.h"
#include "include/cef_command_line.h"

int RunDemo(int argc, wchar_t** argv);

int wmain(int argc, wchar_t** argv) {
    if (CefCommandLine::GetGlobalCommandLine()->HasSwitch(L"type")) {
        if (OleInitialize(nullptr) != S_OK) return 0;
        {
            gameApp app;
            app.Run();
        }
        OleUninitialize();
        return 0;
    }
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc >= 2 && wcscmp(argv[1], L"--demo") == 0) return RunDemo(argc, argv);
    OleInitialize(nullptr);
    testing::InitGoogleTest(&argc, argv);
    int result = RUN_ALL_TESTS();
    OleUninitialize();
    return result;
}
