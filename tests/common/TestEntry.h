// What the test executables do around the test framework. Several of them are
// started again as child processes by their own tests, and their entry points
// pick the child's part before running the tests.
#pragma once
#include <string>

namespace testutil {

// Runs every test with unbuffered output (a crash under Wine still leaves the
// test's last words) and OLE initialised, as the program has it.
int RunAllTests(int argc, wchar_t** argv);

// True when the browser layer started this executable as one of the engine's
// sub-processes (a --type switch); RunAsSubProcess then runs the program's own
// start-up for it and returns the exit code, as the program's entry point does.
bool StartedAsSubProcess();
int RunAsSubProcess();

// Under Wine on a bare X server (no window manager) a window Wine hands to the
// manager is hidden only after a two-second wait for it, and a maximised size can
// be reset from a stale configuration. A desktop has a manager, the tests have
// none, so this executable asks Wine to keep its windows to itself. Wine reads the
// setting when its display driver starts (with the first window): call it first.
void KeepWindowsUnmanagedUnderWine();

std::string Utf8(const std::wstring& text);

}  // namespace testutil
