// What the render tests run against: a headless engine started by the test with
// its own profile, a small HTTP server for the pages, and the browser-process
// side of a render process (RenderHost) whose answers are collected here.
#pragma once

#include <windows.h>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>
#include "common/TestUtil.h"
#include "include/cef_process_message.h"
#include "src/engine/devtools.h"
#include "src/render/render_host.h"

namespace rendertest {

// Serves fixed pages on 127.0.0.1 (any port) from its own thread; one thread per
// connection, all joined on destruction.
class PageServer {
public:
    PageServer();
    ~PageServer();
    bool Start();
    void Add(const std::string& path, const std::string& html);
    std::string Url(const std::string& path) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// A headless engine process with a browser-level DevTools connection.
class Engine {
public:
    Engine();
    ~Engine();
    bool Start();
    void Stop();
    int port() const { return port_; }
    const std::string& browserPath() const { return browserPath_; }
    // The test's browser-level connection: what a RenderHost carries its render
    // process's DevTools session over.
    std::shared_ptr<cef_internal::DevToolsConnection> connection() const { return devtools_; }

    // A new page target; the test keeps its own session on it to navigate.
    bool NewPage(std::string* targetId, std::string* sessionId);
    void ClosePage(const std::string& targetId);
    // Navigates and waits for the page's load event.
    bool Navigate(const std::string& sessionId, const std::string& url, DWORD timeoutMs = 10000);
    bool Evaluate(const std::string& sessionId, const std::string& expression, nlohmann::json* value);

private:
    void OnEvent(const std::string& method, const nlohmann::json& params, const std::string& sessionId);

    testutil::TempDir profile_;
    PROCESS_INFORMATION process_ = {};
    std::shared_ptr<cef_internal::DevToolsConnection> devtools_ = std::make_shared<cef_internal::DevToolsConnection>();
    int port_ = 0;
    std::string browserPath_;

    // Load events by session, written on the DevTools reader thread.
    std::mutex lock_;
    std::condition_variable loaded_;
    std::map<std::string, int> loadCount_;
};

// Messages a render process sent, as the engine UI thread delivered them.
class Inbox {
public:
    void Put(CefRefPtr<CefProcessMessage> message);
    // Waits for the next message; null on time-out.
    CefRefPtr<CefProcessMessage> Take(DWORD timeoutMs);
    size_t Pending();

private:
    std::mutex lock_;
    std::condition_variable arrived_;
    std::deque<CefRefPtr<CefProcessMessage>> messages_;
};

// Starts a render process for `targetId` whose messages land in `inbox`.
std::unique_ptr<cef_internal::RenderHost> StartRenderer(Engine& engine, const std::string& targetId, Inbox* inbox,
                                                        int browserId = 1);

CefRefPtr<CefProcessMessage> Message(const std::wstring& name, const std::vector<std::wstring>& args);
// "name[arg0,arg1,...]" for readable assertions.
std::wstring Describe(CefRefPtr<CefProcessMessage> message);

// Makes the browser layer start no engine of its own (before CefInitialize); the
// tests start theirs, with a profile and switches they control.
void KeepLayerEngineOff();

// The process-wide engine layer (UI thread) and the engine, shared by every test.
Engine* SharedEngine();
PageServer* SharedServer();

}  // namespace rendertest
