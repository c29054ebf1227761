// What the browser-layer tests run against: a small HTTP server inside the test
// that records every request, a client that records every notification, a
// top-level window to host browsers, and waits that pump this thread's messages
// (the browser windows are children of ours) until something is signalled.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>
#include "include/cef_app.h"
#include "include/cef_client.h"

namespace ceftest {

// Set whenever a server request or a client notification is recorded; waits wake on it.
HANDLE ActivityEvent();

// Pumps messages until `done()` holds or `ms` pass; returns done(). Wakes on
// messages and on ActivityEvent, never spins.
bool WaitUntil(const std::function<bool()>& done, DWORD ms);
// Pumps messages for `ms` (for the negative checks that must give something time to happen).
void PumpFor(DWORD ms);

struct Request {
    std::string method;
    std::string path;
    std::map<std::string, std::string> headers;  // names lower-cased
    bool Has(const std::string& name) const { return headers.count(name) != 0; }
};

struct Response {
    int status = 200;
    std::string contentType = "text/html; charset=utf-8";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
};

class HttpServer {
public:
    HttpServer();
    ~HttpServer();
    bool Start();
    void Stop();
    int port() const { return port_; }
    std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }

    void Set(const std::string& path, const Response& response);
    void SetHtml(const std::string& path, const std::string& html) {
        Response r;
        r.body = html;
        Set(path, r);
    }
    std::vector<Request> Requests();
    std::vector<Request> RequestsFor(const std::string& path);
    void ClearRequests();

private:
    static DWORD WINAPI AcceptMain(LPVOID self);
    static DWORD WINAPI ConnectionMain(LPVOID arg);
    void Serve(SOCKET s);

    SOCKET listener_ = INVALID_SOCKET;
    HANDLE acceptThread_ = nullptr;
    int port_ = 0;
    std::mutex lock_;  // routes, requests and connection threads: shared with the server threads
    std::map<std::string, Response> routes_;
    std::vector<Request> requests_;
    std::vector<HANDLE> connections_;
    bool stopping_ = false;
};

// An HTTPS server on 127.0.0.1 with a self-signed certificate made afresh for it
// (python3 and openssl outside Wine), answering every GET with a page titled
// `title` that sets a Secure cookie "tls=1". It lives while this object does: its
// one line to us closing ends it.
class TlsServer {
public:
    ~TlsServer();
    bool Start(const std::string& title);
    std::string Url(const std::string& path) const { return "https://127.0.0.1:" + std::to_string(port_) + path; }
    // Base64 SHA-256 of the certificate's public key, as the engine's pin list takes it.
    const std::string& Spki() const { return spki_; }

private:
    SOCKET line_ = INVALID_SOCKET;
    int port_ = 0;
    std::string spki_;
    std::wstring script_;
};

// Public-key hashes the engine of the next InitializeEngine accepts without an
// authority (the program's build setting does the same); empty: none.
void SetPinnedKeys(const std::string& spkiList);

// Records every notification of the engine as a line of text.
class RecordingClient : public CefClient,
                        public CefLifeSpanHandler,
                        public CefLoadHandler,
                        public CefDisplayHandler,
                        public CefContextMenuHandler,
                        public CefRequestHandler {
public:
    CefRefPtr<CefLifeSpanHandler> GetLifeSpanHandler() override { return this; }
    CefRefPtr<CefLoadHandler> GetLoadHandler() override { return this; }
    CefRefPtr<CefDisplayHandler> GetDisplayHandler() override { return this; }
    CefRefPtr<CefContextMenuHandler> GetContextMenuHandler() override { return this; }
    CefRefPtr<CefRequestHandler> GetRequestHandler() override { return this; }

    bool OnBeforePopup(CefRefPtr<CefBrowser> browser, CefRefPtr<CefFrame> frame, const CefString& target_url,
                       const CefString& target_frame_name, CefLifeSpanHandler::WindowOpenDisposition disposition,
                       bool user_gesture, const CefPopupFeatures& features, CefWindowInfo& windowInfo,
                       CefRefPtr<CefClient>& client, CefBrowserSettings& settings, bool* no_js) override;
    void OnAfterCreated(CefRefPtr<CefBrowser> browser) override;
    void OnBeforeClose(CefRefPtr<CefBrowser> browser) override;
    void OnLoadStart(CefRefPtr<CefBrowser> browser, CefRefPtr<CefFrame> frame) override;
    void OnLoadEnd(CefRefPtr<CefBrowser> browser, CefRefPtr<CefFrame> frame, int status) override;
    void OnLoadError(CefRefPtr<CefBrowser> browser, CefRefPtr<CefFrame> frame, ErrorCode code,
                     const CefString& text, const CefString& url) override;
    void OnTitleChange(CefRefPtr<CefBrowser> browser, const CefString& title) override;
    void OnBeforeContextMenu(CefRefPtr<CefBrowser> browser, CefRefPtr<CefFrame> frame,
                             CefRefPtr<CefContextMenuParams> params, CefRefPtr<CefMenuModel> model) override;
    void OnContextMenuDismissed(CefRefPtr<CefBrowser> browser, CefRefPtr<CefFrame> frame) override;
    void OnRenderProcessTerminated(CefRefPtr<CefBrowser> browser, TerminationStatus status) override;
    bool OnProcessMessageReceived(CefRefPtr<CefBrowser> browser, CefProcessId source,
                                  CefRefPtr<CefProcessMessage> message) override;

    // Behaviour the tests choose.
    bool cancelPopups = true;
    bool clearMenu = false;

    void Record(const std::string& line);
    std::vector<std::string> Lines();
    bool Has(const std::string& line);
    // Lines that start with `prefix`.
    std::vector<std::string> With(const std::string& prefix);
    bool WaitFor(const std::string& line, DWORD ms);
    void Clear();
    CefRefPtr<CefBrowser> Browser();  // the first created
    std::vector<CefRefPtr<CefBrowser>> Browsers();
    int menuItems = -1;  // items the default model had at the last menu
    DWORD uiThread = 0;  // the thread notifications came on

private:
    std::mutex lock_;  // written on the engine UI thread, read on the test thread
    std::vector<std::string> lines_;
    std::vector<CefRefPtr<CefBrowser>> browsers_;
    IMPLEMENT_REFCOUNTING(RecordingClient);
};

// A visible top-level window whose client area hosts a browser.
class HostWindow {
public:
    HostWindow(int width, int height);
    ~HostWindow();
    HWND hwnd() const { return hwnd_; }

private:
    HWND hwnd_ = nullptr;
};

// Engine start-up with the settings the program uses; false when it could not start.
bool InitializeEngine(const std::wstring& cachePath);
// The route the harness runs the layer on: the engine's own window in ours
// (VORNMARK_ENGINE_VIEW=embedded), or screencast pictures.
bool EmbeddedRoute();
// A child browser filling `parent`'s client area.
bool CreateChildBrowser(HWND parent, CefRefPtr<CefClient> client, const std::string& url);

// The live processes of the engine's process group (Linux pids under Wine).
struct EngineProcessState {
    DWORD pid;
    char state;  // as in /proc: R, S, T (stopped) ...
    std::string cmdline;
};
std::vector<EngineProcessState> EngineGroup(DWORD enginePid);
// Kills every render process of the running engine, as a crash would end them;
// returns how many there were.
int KillEngineRenderers();
COLORREF PixelAt(HWND window, int x, int y);
// Within a few steps of `want` in every channel (pictures arrive as JPEG).
bool PixelNear(HWND window, int x, int y, COLORREF want);

// The engine's process ended, with every process of its group (Linux pid under Wine).
// Names the processes still running unless told to keep quiet.
bool ProcessTreeGone(DWORD pid, bool report = true);
// Starts a Linux program under Wine, fire and forget. Wine hands back stale handle
// values for such a launch, so none is kept or closed (testutil::Child would close them).
bool StartLinuxProgram(const std::wstring& program, const std::wstring& args);
// Child processes of this process that still run.
std::vector<DWORD> LiveChildProcesses();
int ThreadCount();

// A page target of the engine whose address contains `part` (through a connection of our own).
int CountEnginePages(const std::string& part);

// Top-level windows of this process with the given class, visible ones only.
std::vector<HWND> ProcessWindows(const wchar_t* className);

}  // namespace ceftest
