#pragma once
// Diagnostics for the developer, never for the player.
//
// A failure that would otherwise leave the player a blank window with no trace
// (the engine not found, a pipe that broke, a report that timed out) is written
// as one line where it happens: always to the debugger (OutputDebugStringW, which
// costs nothing when no debugger listens) and, when the environment variable
// VORNMARK_DIAG_FILE names a file, appended to that file. Nothing is shown and
// nothing is written by default.
//
// Safe from any thread: each line is formatted on the caller's stack and written
// with one append-mode WriteFile, which the system keeps whole.

namespace base {

// Environment variable naming the file that diagnostics lines are appended to.
constexpr wchar_t kDiagFileVariable[] = L"VORNMARK_DIAG_FILE";

// Writes "vornmark[pid:tid] <where>: <printf-formatted text>" as one line.
// Text longer than a line's buffer is cut, never overflowed.
void DiagFailure(const wchar_t* where, const wchar_t* format, ...);

// Start-up as a chain of steps, timed from the program's entry: StartupBegin at
// wWinMain, then StartupStep at each step writes "startup: <step> +<ms> ms" as a
// diagnostics line, the first time that step is reached in the process (a later
// engine restart adds nothing). The first line also tells how long the process
// existed before wWinMain (Wine's own start). Safe from any thread.
void StartupBegin();
void StartupStep(const wchar_t* step);

}  // namespace base
