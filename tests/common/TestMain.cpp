// Entry point of the C++ test executables that bring none of their own (a folder
// with its own wmain keeps this object out of the link).
#include "common/TestEntry.h"

int wmain(int argc, wchar_t** argv) { return testutil::RunAllTests(argc, argv); }
