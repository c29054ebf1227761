// The command/answer/event protocol of the engine's DevTools, over a carrier of
// whole messages (the engine's pipe transport, a render process's pipe) or over a
// WebSocket to a DevTools endpoint on 127.0.0.1 (tests that start engines of their own).
#pragma once

#include <windows.h>
#include <functional>
#include <string>
#include <nlohmann/json.hpp>

namespace cef_internal {

// The largest message taken from the engine. A screencast picture of a full-screen
// view is a few megabytes of base64; anything far beyond that is a page pushing
// data at us (a huge title, console text) and is dropped before it is buffered,
// as the 32-bit process could not hold several copies of it.
const size_t kMaxDevToolsMessage = 32u * 1024 * 1024;

// Carries whole DevTools messages for a connection (instead of a WebSocket). It
// hands every message it receives to DevToolsConnection::Receive and its own end
// to CarrierClosed, both on one thread of its own.
class MessageCarrier {
public:
    virtual ~MessageCarrier() {}
    // Sends one whole message; false when the carrier is broken. Any thread.
    virtual bool CarryMessage(const std::string& text) = 0;
    // The thread that delivers received messages (running before Attach).
    virtual DWORD CarrierThreadId() const = 0;
};

class DevToolsConnection {
public:
    typedef std::function<void(const std::string& method, const nlohmann::json& params,
                               const std::string& sessionId)>
        EventHandler;
    typedef std::function<void()> CloseHandler;
    // Answer of a command sent with SendAsync: ok is false for an error answer or a
    // connection that closed first (result is then the error object or null).
    typedef std::function<void(bool ok, const nlohmann::json& result)> AnswerHandler;

    DevToolsConnection();
    // Closes the connection and joins the reader thread. Must not run on that thread.
    ~DevToolsConnection();

    // Opens ws://127.0.0.1:port/path and starts the reader thread.
    bool Connect(int port, const std::string& path, DWORD timeoutMs);

    // Speaks over `carrier` instead. The carrier must stay valid until Detach
    // returns; its thread is this connection's reader thread.
    bool Attach(MessageCarrier* carrier);
    // After it returns the carrier is no longer used (sends in flight are waited for).
    void Detach();
    // The carrier's side: a message received, and the carrier's end.
    void Receive(const char* text, size_t size);
    void CarrierClosed();

    // Events of session `sessionId` go to `tap` (on the reader thread) instead of
    // the event handler, until RemoveSessionTap.
    void SetSessionTap(const std::string& sessionId, EventHandler tap);
    void RemoveSessionTap(const std::string& sessionId);

    // Sends a command and waits for its answer: true with *result filled (may be
    // null) on success; false on an error answer, time-out or closed connection.
    // Cross-thread sent window messages are handled while waiting, so a window
    // thread may call it. Calling it on the reader thread (inside a handler) fails
    // at once instead of deadlocking.
    bool Call(const std::string& method, const nlohmann::json& params, nlohmann::json* result,
              const std::string& sessionId = "", DWORD timeoutMs = 5000);

    // Sends a command without waiting; returns its id (0 when not connected).
    int Send(const std::string& method, const nlohmann::json& params, const std::string& sessionId = "");

    // Sends a command; `onAnswer` runs on the reader thread when its answer comes,
    // or with ok = false when the connection closes first. Returns the id (0 when
    // not sent; onAnswer is then not called).
    int SendAsync(const std::string& method, const nlohmann::json& params, AnswerHandler onAnswer,
                  const std::string& sessionId = "");

    // Events, called on the reader thread. Set them before Connect.
    void SetEventHandler(EventHandler handler);
    // Called once on the reader thread when the peer closes or the connection breaks
    // (not after a Close of ours). A send that stalls halfway through a frame breaks it.
    void SetCloseHandler(CloseHandler handler);

    // Closes the socket and joins the reader thread (from the reader thread itself
    // it only closes; the destructor joins). Waiting callers return false. Over a
    // carrier nothing more is sent or delivered; the carrier's owner ends it.
    void Close();

    bool IsOpen() const;
    bool OnReaderThread() const;

private:
    struct Impl;
    Impl* impl_;
    DevToolsConnection(const DevToolsConnection&) = delete;
    DevToolsConnection& operator=(const DevToolsConnection&) = delete;
};

// Reads the engine's DevToolsActivePort file from its profile folder: line 1 the
// port, line 2 the browser endpoint path ("/devtools/browser/<id>").
bool ReadDevToolsActivePort(const std::wstring& profileDir, int* port, std::string* browserPath);

// Small typed readers for protocol objects; they never throw.
std::string JsonString(const nlohmann::json& obj, const char* key);
int JsonInt(const nlohmann::json& obj, const char* key, int fallback = 0);
double JsonDouble(const nlohmann::json& obj, const char* key, double fallback = 0);
bool JsonBool(const nlohmann::json& obj, const char* key, bool fallback = false);
const nlohmann::json& JsonObject(const nlohmann::json& obj, const char* key);

// Decodes base64 text (crypt32); false on malformed input.
bool Base64Decode(const char* text, size_t length, std::string* out);

}  // namespace cef_internal
