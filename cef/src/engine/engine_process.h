// The engine's process: its profile folder and command line, starting it on its
// private line (EngineChannel: a Windows program in a job object, or a Linux
// program under our host under Wine), and ending its whole process tree. Used by
// Engine on the engine UI thread.
#pragma once

#include <windows.h>
#include <memory>
#include <string>
#include <vector>
#include "src/engine/engine_channel.h"

namespace cef_internal {

// Finds the engine executable: VORNMARK_ENGINE first (an explicit choice, even when
// the file is missing), then the known places. Empty when there is none.
std::wstring FindEngineExecutable();

// Converts a Windows path for a Linux engine (under Wine); unchanged elsewhere.
std::string EnginePath(const std::wstring& windowsPath, bool linuxEngine);

// True when this process runs under Wine.
bool UnderWine();
// True when `exe` runs as a Linux program (under Wine, anything but a .exe).
bool IsLinuxEngine(const std::wstring& exe);

class EngineProcess {
public:
    EngineProcess() = default;
    ~EngineProcess() { End(0); }

    // What the engine's owner decides about a launch.
    struct Choices {
        bool windowed = false;  // the engine's own windows show the pages (else headless)
        std::vector<std::string> extraArgs;  // switches of the layer's other parts
        std::string firstWindow;  // windowed: the page the engine's first window opens on
    };

    // Prepares the profile folder and starts `exe` with the settings' options, its
    // DevTools on the private line of an EngineChannel with `handlers`. False when
    // it did not start; End then lets go of whatever was made.
    bool Launch(const std::wstring& exe, const Choices& choices, EngineChannel::Handlers handlers);
    // Ends the engine's process tree (it may already be ending on its own, asked
    // politely) and waits at most `waitMs` for it to be gone. Safe to call again.
    void End(DWORD waitMs);
    // Removes a throw-away profile; after End.
    void RemoveTempProfile();

    // The line to the engine; null before Launch and after End.
    EngineChannel* Channel() { return channel_.get(); }
    const std::string& AcceptLanguage() const { return acceptLanguage_; }
    const std::wstring& ProfileDir() const { return profileDir_; }
    bool IsLinux() const { return channel_ && channel_->LinuxEngine(); }
    // The host was asked for the engine's own windows (it may still run it headless).
    bool EmbedAsked() const { return embed_; }

private:
    std::vector<std::string> Arguments(const std::string& lang, bool linuxEngine, const Choices& choices);

    std::string acceptLanguage_;
    std::wstring profileDir_;
    bool tempProfile_ = false;  // profileDir_ is ours alone and goes at shutdown
    bool embed_ = false;
    std::unique_ptr<EngineChannel> channel_;

    EngineProcess(const EngineProcess&) = delete;
    EngineProcess& operator=(const EngineProcess&) = delete;
};

}  // namespace cef_internal
