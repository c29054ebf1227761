// Test entry point. The render processes the browser layer starts are this
// executable again, so a launch with a process type runs the product's own
// start-up for it, as the product's entry point does. The test windows stay
// unmanaged, as the program's own are in the system tests: each closing window
// would otherwise wait two seconds for the absent window manager.
#include <windows.h>
#include "common/TestEntry.h"

int wmain(int argc, wchar_t** argv) {
    if (testutil::StartedAsSubProcess()) return testutil::RunAsSubProcess();
    testutil::KeepWindowsUnmanagedUnderWine();
    return testutil::RunAllTests(argc, argv);
}
