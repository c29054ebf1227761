// Helpers shared by the C++ tests: temporary folders, the real executable,
// child processes and windows found by process.
#pragma once

#include <windows.h>
#include <functional>
#include <string>
#include <vector>

namespace testutil {

// A fresh folder under %TEMP%, removed with its content on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::wstring& path() const { return path_; }
    std::wstring file(const std::wstring& name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};

std::wstring ModuleDir();
// The built vornmark.exe (one folder above the tests).
std::wstring ProductExe();
bool CopyProductTo(const std::wstring& folder, std::wstring* exeOut);

void WriteTextFile(const std::wstring& path, const std::string& bytes);
std::string ReadTextFile(const std::wstring& path);
// A text file as UTF-8: UTF-16 with a byte-order mark, or else the ANSI code page.
std::string ReadTextAsUtf8(const std::wstring& path);
std::wstring ReadIni(const std::wstring& path, const wchar_t* section, const wchar_t* key);

// A child process started by the test; it is ended by handle if still running
// when the object goes away.
class Child {
public:
    Child() = default;
    ~Child();
    bool Start(const std::wstring& exe, const std::wstring& args, const std::wstring& dir = L"");
    DWORD pid() const { return pi_.dwProcessId; }
    HANDLE handle() const { return pi_.hProcess; }
    // Waits for the exit; returns false on time-out.
    bool Wait(DWORD ms, DWORD* exitCode = nullptr);
    void Kill();

private:
    PROCESS_INFORMATION pi_ = {};
};

// Top-level windows of a process with the given class (empty: any class).
std::vector<HWND> WindowsOfProcess(DWORD pid, const wchar_t* className = nullptr, bool visibleOnly = true);
// Waits until such a window exists; null on time-out.
HWND WaitForWindow(DWORD pid, const wchar_t* className, DWORD ms);

// Runs `body` on this thread inside a registered application manager (GDI+ up),
// the way the program's own run does.
void RunWithManager(const std::function<void()>& body);

// Pumps this thread's messages for `ms` milliseconds (waits on the queue, no spinning).
void PumpFor(DWORD ms);
// Pumps until `done()` is true or `ms` passed; returns done().
bool PumpUntil(const std::function<bool()>& done, DWORD ms);

}  // namespace testutil
