// The engine's process: its profile folder and command line, starting it (a
// Windows program in a job object, or a Linux program under Wine held by a
// lifeline), waiting for it to announce its DevTools port, and ending its whole
// process tree. Used by Engine on the engine UI thread.
#pragma once

#include <windows.h>
#include <string>
#include <vector>

namespace cef_internal {

// Finds the engine executable: VORNMARK_ENGINE first (an explicit choice, even when
// the file is missing), then the known places. Empty when there is none.
std::wstring FindEngineExecutable();

// Converts a Windows path for a Linux engine (under Wine); unchanged elsewhere.
std::string EnginePath(const std::wstring& windowsPath, bool linuxEngine);

class EngineProcess {
public:
    EngineProcess() = default;
    ~EngineProcess() { End(); }

    // Prepares the profile folder and starts `exe` with the settings' options.
    // False when it did not start; End then lets go of whatever was made.
    bool Launch(const std::wstring& exe);
    // Waits until the engine names its DevTools port (true), ends first or the
    // time is up (false).
    bool WaitForPort(DWORD timeoutMs);
    // Ends the engine's process tree: it may already be ending on its own (asked
    // politely), otherwise it is ended by force. Safe to call again.
    void End();
    // Removes a throw-away profile; after End.
    void RemoveTempProfile();

    int Port() const { return port_; }
    const std::string& BrowserWsPath() const { return browserWsPath_; }
    const std::string& AcceptLanguage() const { return acceptLanguage_; }
    DWORD Pid() const { return pid_; }
    bool IsLinux() const { return linux_; }

private:
    std::vector<std::string> Arguments(const std::string& lang);
    bool LaunchWindows(const std::wstring& exe, const std::vector<std::string>& args);
    bool LaunchUnderWine(const std::wstring& exe, const std::vector<std::string>& args, const std::string& lang);
    static DWORD WINAPI LifelineMain(LPVOID self);

    int port_ = 0;
    std::string browserWsPath_;
    std::string acceptLanguage_;
    std::wstring profileDir_;
    bool tempProfile_ = false;  // profileDir_ is ours alone and goes at shutdown

    // A Windows process handle (and a job that ends its tree), or, for a Linux
    // engine under Wine, a lifeline socket to the shell that runs it.
    HANDLE process_ = nullptr;
    HANDLE job_ = nullptr;
    uintptr_t lifeline_ = ~(uintptr_t)0;  // a SOCKET; winsock2.h stays out of this header
    HANDLE lifelineThread_ = nullptr;
    HANDLE exited_ = nullptr;  // set when the engine process (tree) has ended
    DWORD pid_ = 0;
    bool linux_ = false;

    EngineProcess(const EngineProcess&) = delete;
    EngineProcess& operator=(const EngineProcess&) = delete;
};

}  // namespace cef_internal
