// Browser-process end of a render process: starts it, carries process messages
// to it over a named pipe and hands those it sends back to the engine UI thread.
#pragma once

#include <windows.h>
#include <functional>
#include <string>
#include "include/cef_process_message.h"

namespace cef_internal {

class RenderHost {
public:
    // Starts the program's own executable as the render process of browser
    // `browserId`, attached to page target `targetId` of the engine reachable at
    // ws://127.0.0.1:devtoolsPort/browserWsPath. `onMessage` runs on the engine
    // UI thread for every message the render process sends. nullptr on failure
    // (including a launch the process-launch filter refused).
    static RenderHost* Start(int browserId, int devtoolsPort, const std::string& browserWsPath,
                             const std::string& targetId,
                             std::function<void(CefRefPtr<CefProcessMessage>)> onMessage);

    // Queues `message` for the render process; any thread. False once the
    // render process has gone.
    bool Send(CefRefPtr<CefProcessMessage> message);

    // Ends the render process (by its handle), closes the pipe and joins the reader.
    ~RenderHost();

    RenderHost(const RenderHost&) = delete;
    RenderHost& operator=(const RenderHost&) = delete;

    // Process id of the render process (tests check it ends).
    DWORD ProcessId() const { return pid_; }

private:
    RenderHost() = default;
    struct Impl;
    Impl* impl_ = nullptr;
    DWORD pid_ = 0;
};

}  // namespace cef_internal
