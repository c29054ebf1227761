// The render process's link to its browser: the pipe to the browser process and
// the DevTools session on the page, shared by the render side's objects.
#pragma once

#include <windows.h>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>
#include "include/cef_process_message.h"
#include "include/internal/cef_types.h"
#include "src/engine/devtools.h"
#include "src/api/process_message_wire.h"

namespace cef_internal {

struct FrameInfo {
    std::string id;
    std::string parentId;
    std::string name;
    std::string url;
};

// A stable 64-bit identifier for an engine frame id.
int64 FrameIdentifier(const std::string& id);

// What the render side's objects share: the pipe to the browser process, and the
// DevTools session on the page, which travels over the same pipe (the browser
// process passes it on to the engine; the render process has no line of its own).
//
// Threads: the main thread runs the message loop and the program's handlers, and
// uses the render-side browser, frame and DOM objects, as in any render process.
// The pipe's reader thread hands DevTools messages to the connection (answers and
// the events that update `mainWorlds_`) and queues process messages for the main
// thread. `writeLock_` serialises pipe writes against each other and against
// closing the pipe; `inboxLock_` guards the queue; `worldLock_` guards
// `mainWorlds_` and the one write of `sessionId` (the reader compares it; the main
// thread, its only writer, reads it freely).
class RenderChannel : public MessageCarrier {
public:
    RenderChannel(int browserId, const std::string& targetId, HANDLE parent, DWORD parentPid);
    ~RenderChannel();

    // Connects to the browser process's pipe, waiting while somebody else holds it,
    // and keeps it only when its server is our parent; then starts the reader.
    bool OpenPipe(const std::wstring& name);

    // Opens the DevTools session on the page, through the browser process.
    bool AttachPage();

    bool Attached() const { return !sessionId.empty() && devtools_.IsOpen(); }

    bool Call(const char* method, const nlohmann::json& params, nlohmann::json* result);
    void Post(const char* method, const nlohmann::json& params);

    // Frames of the page, the main frame first; false when the page cannot be reached.
    bool Frames(std::vector<FrameInfo>* out);
    bool FindFrame(const std::string& id, FrameInfo* info);

    int MainWorldOf(const std::string& frameId);

    // Writes one frame to the browser process; waits until the pipe took it.
    bool Write(const std::string& frame);

    // Waits until process messages arrive (true, with `messages` filled) or the
    // browser process or its pipe goes away (false). Main thread only.
    bool Receive(std::vector<CefRefPtr<CefProcessMessage>>* messages);

    void Shutdown();

    // MessageCarrier: the DevTools session's messages go over the pipe.
    bool CarryMessage(const std::string& text) override;
    DWORD CarrierThreadId() const override { return readerId_; }

    const int browserId;
    const std::string targetId;
    std::string sessionId;

private:
    static void CollectFrames(const nlohmann::json& node, std::vector<FrameInfo>* out);
    static DWORD WINAPI ReaderMain(LPVOID self);
    void ReaderLoop();

    void OnRuntimeEvent(const std::string& method, const nlohmann::json& params, const std::string& session);

    DevToolsConnection devtools_;
    HANDLE pipe_ = INVALID_HANDLE_VALUE;
    HANDLE parent_;
    const DWORD parentPid_;
    HANDLE writeEvent_ = nullptr;
    HANDLE stopEvent_ = nullptr;   // manual reset: the reader is to end
    HANDLE inboxEvent_ = nullptr;  // auto reset: the inbox changed
    HANDLE reader_ = nullptr;
    DWORD readerId_ = 0;
    std::mutex writeLock_;
    const DWORD mainThread_ = GetCurrentThreadId();  // the channel is made on the main thread
    std::mutex inboxLock_;
    std::deque<CefRefPtr<CefProcessMessage>> inbox_;
    bool inboxClosed_ = false;
    std::mutex worldLock_;
    std::unordered_map<std::string, int> mainWorlds_;
};

}  // namespace cef_internal
