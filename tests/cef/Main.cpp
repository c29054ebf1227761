// Test entry point. The render processes the browser layer starts are this
// executable again, so a launch with a process type runs the product's own
// start-up for it, as the product's entry point does.
#include <windows.h>
#include "common/TestEntry.h"

int wmain(int argc, wchar_t** argv) {
    if (testutil::StartedAsSubProcess()) return testutil::RunAsSubProcess();
    return testutil::RunAllTests(argc, argv);
}
