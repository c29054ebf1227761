// The toolkit tests create and destroy many windows: they keep them away from
// the (absent) window manager.
#include "common/TestEntry.h"

int wmain(int argc, wchar_t** argv) {
    testutil::KeepWindowsUnmanagedUnderWine();
    return testutil::RunAllTests(argc, argv);
}
