// Browser-process end of a render process: starts it, carries process messages
// to it over a named pipe and hands those it sends back to the engine UI thread.
// The render process's DevTools session on its page goes through this end too,
// over the same pipe, onto the browser process's own line to the engine: the
// engine has no other door.
//
// The pipe is ours alone: its name carries 128 random bits of the system's
// generator, it is made as the first and only instance of that name, and only the
// process we started is let speak on it (a client with another process id is
// disconnected and the pipe waits for ours). The render side in turn talks only
// to a pipe whose server is its parent.
#pragma once

#include <windows.h>
#include <functional>
#include <memory>
#include <string>
#include "include/cef_process_message.h"

namespace cef_internal {

class DevToolsConnection;

class RenderHost {
public:
    // Starts the program's own executable as the render process of browser
    // `browserId`, for page target `targetId` of the engine behind `engine`.
    // `onMessage` runs on the engine UI thread for every message the render process
    // sends. nullptr on failure (including a launch the process-launch filter refused).
    static RenderHost* Start(int browserId, std::shared_ptr<DevToolsConnection> engine, const std::string& targetId,
                             std::function<void(CefRefPtr<CefProcessMessage>)> onMessage);

    // The browser end of a pipe made elsewhere (overlapped, now the host's), whose
    // client must be process `clientPid`; no process is started or ended. Tests run
    // a render side on a thread of their own this way.
    static RenderHost* Serve(HANDLE pipe, DWORD clientPid, std::shared_ptr<DevToolsConnection> engine,
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
    // The pipe's name (tests try to take it over).
    const std::wstring& PipeName() const { return pipeName_; }

    struct Impl;

private:
    RenderHost() = default;
    static RenderHost* Run(HANDLE pipe, HANDLE process, DWORD pid, std::shared_ptr<DevToolsConnection> engine,
                           const std::string& targetId, std::function<void(CefRefPtr<CefProcessMessage>)> onMessage);
    std::shared_ptr<Impl> impl_;
    DWORD pid_ = 0;
    std::wstring pipeName_;
};

// A pipe name no other process can know before we make the pipe: 128 random bits
// from the system's generator. Empty when the generator fails.
std::wstring NewRenderPipeName();

}  // namespace cef_internal
