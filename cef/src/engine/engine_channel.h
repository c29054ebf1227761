// The private line between this process and the engine: the engine's DevTools
// pipe transport, with no listening port anywhere.
//
// Under Wine the engine is a Linux program: it runs under our host program
// (engine_host.py beside the executable), started with one end of a socket pair of
// ours as its standard input and output. Frames on that socket are a letter, the
// payload and a NUL byte: D (DevTools), X (window commands and events) and E (host
// events about the engine process). Closing the socket is the lifeline: the host
// then ends the engine's whole process group and exits, and our end reads EOF
// once it has.
//
// On Windows the engine is started directly with two inheritable pipes as its
// DevTools transport, inside a job object that ends its tree with us.
#pragma once

#include <windows.h>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>
#include "src/engine/devtools.h"

namespace cef_internal {

// The line to the engine host under Wine: two connected loopback sockets of ours
// (SOCKETs), made in a few fresh tries. `afterListen` (tests) runs between a try's
// listen and our own connect, with the listener's port. False when every try failed.
bool MakeLineSocketPair(uintptr_t* mine, uintptr_t* theirs, const std::function<void(int port)>& afterListen = nullptr);

class EngineChannel : public MessageCarrier {
public:
    // Called on the channel's reader thread.
    struct Handlers {
        std::function<void(const char* text, size_t size)> onDevTools;  // one whole DevTools message
        std::function<void(const char* text, size_t size)> onWindowEvent;  // an X frame (embedding)
        // The engine's browser process ended by itself (not by Close); `status` is its
        // exit code, negative for the signal that ended it. The channel ends after it.
        std::function<void(int status)> onEngineExited;
        // The channel ended without a Close of ours (after onEngineExited, or on its own).
        std::function<void()> onClosed;
        // The engine's browser process runs, with this process id (a Linux pid under Wine).
        std::function<void(DWORD pid)> onStarted;
    };

    struct Launch {
        std::wstring engine;            // the engine executable (a Windows path)
        std::vector<std::string> args;  // its arguments, without the DevTools transport's
        std::string language;           // the engine's own language on Linux (LANGUAGE), may be empty
        // Under Wine: the engine's own windows, embedded in ours (the host decides
        // whether the display allows it and tells us first thing, see embed_view.h);
        // the arguments then leave the choice of headless to the host.
        bool embed = false;
        // With embed: the placeholder page of the first window the client will ask
        // for, opened by the engine as it starts (see engine_host.py).
        std::string firstWindow;
    };

    // Starts the engine (through the host under Wine) and the reader thread. Null
    // when it cannot be started; Handlers must be complete before any event comes.
    static std::unique_ptr<EngineChannel> Start(const Launch& launch, Handlers handlers);

    // Ends the engine as Close does (waiting a little) and joins the reader.
    ~EngineChannel();

    // Sends one DevTools message (no NUL inside; JSON text never has one). False
    // once the channel is broken. Any thread; a peer that stops reading for
    // kSendStallMs breaks the channel rather than blocking the caller for longer.
    bool SendDevTools(const std::string& text);
    // Sends a window command (embedding) to the host. Wine only.
    bool SendWindowCommand(const std::string& text);

    // MessageCarrier: the DevTools messages of a DevToolsConnection.
    bool CarryMessage(const std::string& text) override { return SendDevTools(text); }
    DWORD CarrierThreadId() const override { return readerId_; }

    // Waits at most `waitMs` for the engine's browser process to end by itself
    // (after Browser.close); true when it has.
    bool WaitForEngineExit(DWORD waitMs);

    // Lets go of the lifeline: the engine's tree is ended now. Waits at most
    // `waitMs` for it to be gone. Idempotent. Not on the reader thread.
    void Close(DWORD waitMs);

    bool OnReaderThread() const;
    bool IsOpen() const { return open_; }
    // The engine's browser process (a Linux pid under Wine); 0 until known.
    DWORD EnginePid() const { return enginePid_; }
    bool LinuxEngine() const { return linux_; }

    EngineChannel(const EngineChannel&) = delete;
    EngineChannel& operator=(const EngineChannel&) = delete;

    // Largest frame taken from the peer; larger ones are skipped, never buffered.
    static const size_t kMaxFrame = 32u * 1024 * 1024 + 1;
    static const DWORD kSendStallMs = 5000;

private:
    EngineChannel() = default;
    bool StartUnderWine(const Launch& launch);
    bool StartOnWindows(const Launch& launch);
    bool SendFrame(char letter, const std::string& payload);
    bool WriteAll(const char* data, size_t size);
    void ReaderLoop();
    void OnFrame(const char* data, size_t size);
    void OnHostEvent(const char* data, size_t size);
    static DWORD WINAPI ReaderMain(LPVOID self);

    Handlers handlers_;
    bool linux_ = false;
    // Wine: our end of the socket pair (a SOCKET; winsock2.h stays out of this header).
    uintptr_t socket_ = ~(uintptr_t)0;
    // Windows: the engine's pipes, its process and the job that ends its tree.
    HANDLE toEngine_ = nullptr;
    HANDLE fromEngine_ = nullptr;
    HANDLE process_ = nullptr;
    HANDLE job_ = nullptr;

    HANDLE reader_ = nullptr;
    std::atomic<DWORD> readerId_{0};
    HANDLE exited_ = nullptr;  // manual reset: the engine's browser process has ended
    HANDLE stop_ = nullptr;    // manual reset: the reader is to end now
    std::atomic<DWORD> enginePid_{0};
    std::atomic<bool> open_{false};
    std::atomic<bool> closing_{false};  // Close has begun: the end is ours, not reported
    std::atomic<bool> exitReported_{false};
    CRITICAL_SECTION writeLock_;  // one frame at a time on the line
    bool wsaStarted_ = false;

    // Reader thread only: the frame being gathered.
    std::string frame_;
    bool skipping_ = false;
};

}  // namespace cef_internal
