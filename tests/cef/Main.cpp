// Test entry point. The render processes the browser layer starts are this
// executable again, so a launch with a process type runs the product's own
// start-up for it, as the product's entry point does.
#include <windows.h>
#include "common/TestEntry.h"

int RunDemo(int argc, wchar_t** argv);

int wmain(int argc, wchar_t** argv) {
    if (testutil::StartedAsSubProcess()) return testutil::RunAsSubProcess();
    if (argc >= 2 && wcscmp(argv[1], L"--demo") == 0) return RunDemo(argc, argv);
    return testutil::RunAllTests(argc, argv);
}
