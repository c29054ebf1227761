// Inside DevToolsConnection: the state its reader thread and its callers share.
// devtools.cpp holds the connection, the commands and the reader; websocket.cpp
// the WebSocket frames going out and coming in.
#pragma once

#include <winsock2.h>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include "src/engine/devtools.h"

namespace cef_internal {

// Shared by the caller and the reader: a caller that timed out may let go of it
// while the reader, which took it out of `pending` just before, still sets `done`.
// The event therefore lives as long as the call does.
struct PendingCall {
    HANDLE done = nullptr;  // set when answered or failed (synchronous calls only)
    bool ok = false;
    nlohmann::json result;
    DevToolsConnection::AnswerHandler onAnswer;  // asynchronous calls only

    PendingCall() = default;
    PendingCall(const PendingCall&) = delete;
    PendingCall& operator=(const PendingCall&) = delete;
    ~PendingCall() {
        if (done) CloseHandle(done);
    }
};

// A mask key for the frames we send; the endpoint is loopback, so it only has to vary.
uint32_t NextMask();

struct DevToolsConnection::Impl {
    SOCKET sock = INVALID_SOCKET;
    WSAEVENT sockEvent = WSA_INVALID_EVENT;
    HANDLE stopEvent = nullptr;
    HANDLE reader = nullptr;
    std::atomic<DWORD> readerId{0};
    std::atomic<bool> open{false};
    std::atomic<bool> closedByUs{false};
    bool wsaStarted = false;

    std::mutex writeLock;  // one frame at a time on the socket
    std::mutex stateLock;  // pending calls, `failed` and handlers
    std::map<int, std::shared_ptr<PendingCall>> pending;
    bool failed = false;  // FailAll has run: nothing added to `pending` now would be answered
    std::atomic<int> nextId{1};
    EventHandler onEvent;
    CloseHandler onClose;
    std::map<std::string, EventHandler> taps;  // by session id

    // Set while a carrier carries the messages; guarded by writeLock.
    MessageCarrier* carrier = nullptr;
    bool carried = false;  // Attach was used: no socket, no reader thread of our own

    std::string inbuf;  // reader thread only
    size_t inpos = 0;
    std::string message;  // reassembly of fragmented messages
    bool messageActive = false;
    bool dropMessage = false;  // the fragmented message under way is too large and is dropped
    uint64_t skipping = 0;     // bytes of a too large frame still to be thrown away

    bool SendFrame(int opcode, const char* data, size_t size);
    // Sends one message over the carrier or as a WebSocket text frame.
    bool SendText(const std::string& text);
    bool SendAll(const char* data, size_t size, size_t* sent = nullptr);
    void ReaderLoop();
    bool Consume(const char* data, size_t size);
    bool ParseFrames();
    void Deliver(const char* text, size_t size);
    void HandleText(const char* text, size_t size);
    void FailAll();
    static DWORD WINAPI ReaderMain(LPVOID self);
};

}  // namespace cef_internal
