#include "CefTestSupport.h"
#include "common/Loopback.h"

#include <tlhelp32.h>
#include <algorithm>
#include <cstdio>
#include "src/engine/devtools.h"
#include "src/browser/browser_impl.h"
#include "src/browser/engine.h"

namespace ceftest {

HANDLE ActivityEvent() {
    static HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    return event;
}

static void Signal() { SetEvent(ActivityEvent()); }

static void PumpPending() {
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&m);
        DispatchMessageW(&m);
    }
}

bool WaitUntil(const std::function<bool()>& done, DWORD ms) {
    DWORD start = GetTickCount();
    for (;;) {
        PumpPending();
        if (done()) return true;
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= ms) return false;
        HANDLE event = ActivityEvent();
        // Conditions that no event reports (window sizes, page state read through the
        // engine) are looked at again at least every 100 ms.
        MsgWaitForMultipleObjectsEx(1, &event, std::min<DWORD>(ms - elapsed, 100), QS_ALLINPUT,
                                    MWMO_INPUTAVAILABLE);
    }
}

void PumpFor(DWORD ms) {
    WaitUntil([] { return false; }, ms);
}

// ---- HTTP server ---------------------------------------------------------------------

HttpServer::HttpServer() {
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
}

HttpServer::~HttpServer() {
    Stop();
    WSACleanup();
}

bool HttpServer::Start() {
    listener_ = testutil::ListenOnLoopback(16, &port_);
    if (listener_ == INVALID_SOCKET) return false;
    acceptThread_ = CreateThread(nullptr, 0, AcceptMain, this, 0, nullptr);
    return acceptThread_ != nullptr;
}

void HttpServer::Stop() {
    {
        std::lock_guard<std::mutex> g(lock_);
        stopping_ = true;
    }
    if (listener_ != INVALID_SOCKET) {
        closesocket(listener_);  // ends accept()
        listener_ = INVALID_SOCKET;
    }
    if (acceptThread_) {
        WaitForSingleObject(acceptThread_, INFINITE);
        CloseHandle(acceptThread_);
        acceptThread_ = nullptr;
    }
    std::vector<HANDLE> threads;
    {
        std::lock_guard<std::mutex> g(lock_);
        threads.swap(connections_);
    }
    for (HANDLE t : threads) {
        WaitForSingleObject(t, INFINITE);
        CloseHandle(t);
    }
}

void HttpServer::Set(const std::string& path, const Response& response) {
    std::lock_guard<std::mutex> g(lock_);
    routes_[path] = response;
}

std::vector<Request> HttpServer::Requests() {
    std::lock_guard<std::mutex> g(lock_);
    return requests_;
}

std::vector<Request> HttpServer::RequestsFor(const std::string& path) {
    std::vector<Request> out;
    for (const Request& r : Requests())
        if (r.path == path) out.push_back(r);
    return out;
}

void HttpServer::ClearRequests() {
    std::lock_guard<std::mutex> g(lock_);
    requests_.clear();
}

struct ConnectionArg {
    HttpServer* server;
    SOCKET socket;
};

DWORD WINAPI HttpServer::AcceptMain(LPVOID self) {
    HttpServer* server = static_cast<HttpServer*>(self);
    for (;;) {
        SOCKET s = accept(server->listener_, nullptr, nullptr);
        if (s == INVALID_SOCKET) return 0;  // Stop closed the listener
        std::lock_guard<std::mutex> g(server->lock_);
        if (server->stopping_) {
            closesocket(s);
            return 0;
        }
        HANDLE t = CreateThread(nullptr, 0, ConnectionMain, new ConnectionArg{server, s}, 0, nullptr);
        if (t) server->connections_.push_back(t);
    }
}

DWORD WINAPI HttpServer::ConnectionMain(LPVOID arg) {
    ConnectionArg* a = static_cast<ConnectionArg*>(arg);
    a->server->Serve(a->socket);
    closesocket(a->socket);
    delete a;
    return 0;
}

void HttpServer::Serve(SOCKET s) {
    DWORD timeout = 5000;  // a preconnected socket that never asks ends here
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, (const char*)&timeout, sizeof(timeout));
    std::string data;
    char buf[4096];
    while (data.find("\r\n\r\n") == std::string::npos) {
        int n = recv(s, buf, sizeof(buf), 0);
        if (n <= 0) return;
        data.append(buf, n);
    }
    Request req;
    size_t lineEnd = data.find("\r\n");
    std::string line = data.substr(0, lineEnd);
    size_t sp1 = line.find(' '), sp2 = line.rfind(' ');
    req.method = line.substr(0, sp1);
    std::string target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    req.path = target.substr(0, target.find('?'));
    size_t pos = lineEnd + 2;
    while (pos < data.size()) {
        size_t end = data.find("\r\n", pos);
        if (end == std::string::npos || end == pos) break;
        std::string h = data.substr(pos, end - pos);
        size_t colon = h.find(':');
        if (colon != std::string::npos) {
            std::string name = h.substr(0, colon);
            std::transform(name.begin(), name.end(), name.begin(), ::tolower);
            std::string value = h.substr(colon + 1);
            value.erase(0, value.find_first_not_of(' '));
            req.headers[name] = value;
        }
        pos = end + 2;
    }
    Response resp;
    bool found = false;
    {
        std::lock_guard<std::mutex> g(lock_);
        requests_.push_back(req);
        auto it = routes_.find(req.path);
        if (it != routes_.end()) {
            resp = it->second;
            found = true;
        }
    }
    Signal();
    if (!found) {
        resp.status = 404;
        resp.body = "<html><head><title>Not found</title></head><body>Not found</body></html>";
    }
    // A conditional request for an unchanged resource gets 304, as a real server answers.
    for (const auto& h : resp.headers) {
        if (h.first == "ETag" && req.Has("if-none-match") && req.headers["if-none-match"] == h.second) {
            resp.status = 304;
            resp.body.clear();
        }
    }
    const char* reason = resp.status == 200 ? "OK" : resp.status == 304 ? "Not Modified" : resp.status == 404 ? "Not Found" : "Status";
    std::string out = "HTTP/1.1 " + std::to_string(resp.status) + " " + reason + "\r\n";
    out += "Content-Type: " + resp.contentType + "\r\n";
    out += "Content-Length: " + std::to_string(resp.body.size()) + "\r\n";
    out += "Connection: close\r\n";
    for (const auto& h : resp.headers) out += h.first + ": " + h.second + "\r\n";
    out += "\r\n";
    out += resp.body;
    send(s, out.data(), (int)out.size(), 0);
    shutdown(s, SD_SEND);
}

// ---- recording client ------------------------------------------------------------------

static std::string Url(CefRefPtr<CefFrame> frame) { return frame ? frame->GetURL().ToString() : std::string(); }

bool RecordingClient::OnBeforePopup(CefRefPtr<CefBrowser> browser, CefRefPtr<CefFrame> frame,
                                    const CefString& target_url, const CefString& target_frame_name,
                                    CefLifeSpanHandler::WindowOpenDisposition disposition, bool user_gesture,
                                    const CefPopupFeatures& features, CefWindowInfo& windowInfo,
                                    CefRefPtr<CefClient>& client, CefBrowserSettings& settings, bool* no_js) {
    Record("popup " + target_url.ToString());
    Record(std::string(user_gesture ? "gesture " : "no gesture ") + target_url.ToString());
    return cancelPopups;
}

void RecordingClient::OnAfterCreated(CefRefPtr<CefBrowser> browser) {
    {
        std::lock_guard<std::mutex> g(lock_);
        browsers_.push_back(browser);
        uiThread = GetCurrentThreadId();
    }
    Record(browser->IsPopup() ? "created popup" : "created");
}

void RecordingClient::OnBeforeClose(CefRefPtr<CefBrowser> browser) { Record("closed"); }

void RecordingClient::OnLoadStart(CefRefPtr<CefBrowser> browser, CefRefPtr<CefFrame> frame) {
    Record(std::string("start ") + (frame->IsMain() ? "main " : "sub ") + Url(frame));
}

void RecordingClient::OnLoadEnd(CefRefPtr<CefBrowser> browser, CefRefPtr<CefFrame> frame, int status) {
    Record(std::string("end ") + (frame->IsMain() ? "main " : "sub ") + std::to_string(status) + " " + Url(frame));
}

void RecordingClient::OnLoadError(CefRefPtr<CefBrowser> browser, CefRefPtr<CefFrame> frame, ErrorCode code,
                                  const CefString& text, const CefString& url) {
    Record("error " + std::to_string(code) + " " + url.ToString());
}

void RecordingClient::OnTitleChange(CefRefPtr<CefBrowser> browser, const CefString& title) {
    Record("title " + title.ToString());
}

void RecordingClient::OnBeforeContextMenu(CefRefPtr<CefBrowser> browser, CefRefPtr<CefFrame> frame,
                                          CefRefPtr<CefContextMenuParams> params, CefRefPtr<CefMenuModel> model) {
    {
        std::lock_guard<std::mutex> g(lock_);
        menuItems = model->GetCount();
    }
    if (clearMenu) model->Clear();
    Record("menu " + std::to_string(params->GetTypeFlags()));
}

void RecordingClient::OnContextMenuDismissed(CefRefPtr<CefBrowser> browser, CefRefPtr<CefFrame> frame) {
    Record("dismissed");
}

void RecordingClient::OnRenderProcessTerminated(CefRefPtr<CefBrowser> browser, TerminationStatus status) {
    Record("terminated " + std::to_string(status));
}

bool RecordingClient::OnProcessMessageReceived(CefRefPtr<CefBrowser> browser, CefProcessId source,
                                               CefRefPtr<CefProcessMessage> message) {
    std::string line = "message " + message->GetName().ToString();
    CefRefPtr<CefListValue> args = message->GetArgumentList();
    for (size_t i = 0; args && i < args->GetSize(); ++i) line += " " + args->GetString((int)i).ToString();
    Record(line);
    return true;
}

void RecordingClient::Record(const std::string& line) {
    {
        std::lock_guard<std::mutex> g(lock_);
        lines_.push_back(line);
    }
    Signal();
}

std::vector<std::string> RecordingClient::Lines() {
    std::lock_guard<std::mutex> g(lock_);
    return lines_;
}

bool RecordingClient::Has(const std::string& line) {
    std::lock_guard<std::mutex> g(lock_);
    return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
}

std::vector<std::string> RecordingClient::With(const std::string& prefix) {
    std::vector<std::string> out;
    for (const std::string& l : Lines())
        if (l.compare(0, prefix.size(), prefix) == 0) out.push_back(l);
    return out;
}

bool RecordingClient::WaitFor(const std::string& line, DWORD ms) {
    return WaitUntil([&] { return Has(line); }, ms);
}

void RecordingClient::Clear() {
    std::lock_guard<std::mutex> g(lock_);
    lines_.clear();
}

CefRefPtr<CefBrowser> RecordingClient::Browser() {
    std::lock_guard<std::mutex> g(lock_);
    return browsers_.empty() ? nullptr : browsers_.front();
}

std::vector<CefRefPtr<CefBrowser>> RecordingClient::Browsers() {
    std::lock_guard<std::mutex> g(lock_);
    return browsers_;
}

// ---- windows, engine and processes --------------------------------------------------------

HostWindow::HostWindow(int width, int height) {
    WNDCLASSEXW wc = {sizeof(wc)};
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hbrBackground = (HBRUSH)GetStockObject(GRAY_BRUSH);
    wc.lpszClassName = L"CefTestHost";
    RegisterClassExW(&wc);
    RECT r = {0, 0, width, height};
    AdjustWindowRect(&r, WS_OVERLAPPEDWINDOW, FALSE);
    hwnd_ = CreateWindowExW(0, L"CefTestHost", L"browser test", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN | WS_VISIBLE, 0,
                            0, r.right - r.left, r.bottom - r.top, nullptr, nullptr, wc.hInstance, nullptr);
    SetForegroundWindow(hwnd_);
    PumpFor(50);
}

HostWindow::~HostWindow() {
    if (hwnd_) DestroyWindow(hwnd_);
    PumpFor(50);
}

namespace {
class TestApp : public CefApp {
public:
    void OnBeforeCommandLineProcessing(const CefString& type, CefRefPtr<CefCommandLine> line) override {
        line->AppendSwitchWithValue("lang", "zh_cn");
        line->AppendSwitch("disable-web-security");
    }
    IMPLEMENT_REFCOUNTING(TestApp);
};
}  // namespace

bool EmbeddedRoute() {
    wchar_t value[32] = {0};
    DWORD n = GetEnvironmentVariableW(L"VORNMARK_ENGINE_VIEW", value, 32);
    return n > 0 && n < 32 && wcscmp(value, L"embedded") == 0;
}

bool InitializeEngine(const std::wstring& cachePath) {
    CefSettings settings;
    settings.no_sandbox = 1;
    settings.multi_threaded_message_loop = 1;
    settings.command_line_args_disabled = 1;
    settings.ignore_certificate_errors = 1;
    CefString(&settings.cache_path) = cachePath;
    return CefInitialize(CefMainArgs(GetModuleHandleW(nullptr)), settings, new TestApp(), nullptr);
}

bool CreateChildBrowser(HWND parent, CefRefPtr<CefClient> client, const std::string& url) {
    RECT rc;
    GetClientRect(parent, &rc);
    CefWindowInfo info;
    info.SetAsChild(parent, rc);
    CefBrowserSettings settings;
    return CefBrowserHost::CreateBrowser(info, client, url, settings, nullptr);
}

namespace {

std::string ReadProcFile(const std::wstring& path) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (f == INVALID_HANDLE_VALUE) return std::string();
    std::string out;
    char buf[4096];
    DWORD got = 0;
    while (ReadFile(f, buf, sizeof(buf), &got, nullptr) && got) out.append(buf, got);
    CloseHandle(f);
    return out;
}

}  // namespace

std::vector<EngineProcessState> EngineGroup(DWORD pid) {
    std::vector<EngineProcessState> out;
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW(L"Z:\\proc\\*", &fd);
    if (find == INVALID_HANDLE_VALUE) return out;
    do {
        if (fd.cFileName[0] < L'0' || fd.cFileName[0] > L'9') continue;
        std::wstring dir = std::wstring(L"Z:\\proc\\") + fd.cFileName;
        std::string stat = ReadProcFile(dir + L"\\stat");
        size_t close = stat.rfind(')');
        if (close == std::string::npos) continue;
        char state = 0;
        unsigned long ppid = 0, pgrp = 0;
        unsigned long self = wcstoul(fd.cFileName, nullptr, 10);
        // A zombie has ended; reaping it is its parent's business.
        if (sscanf(stat.c_str() + close + 1, " %c %lu %lu", &state, &ppid, &pgrp) == 3 &&
            (pgrp == pid || self == pid) && state != 'Z' && state != 'X') {
            std::string cmdline = ReadProcFile(dir + L"\\cmdline");
            std::replace(cmdline.begin(), cmdline.end(), '\0', ' ');
            out.push_back(EngineProcessState{(DWORD)self, state, cmdline});
        }
    } while (FindNextFileW(find, &fd));
    FindClose(find);
    return out;
}

bool ProcessTreeGone(DWORD pid, bool report) {
    // Neither the engine's own process nor any of its process group may still run.
    if (GetFileAttributesW(L"Z:\\proc\\self") == INVALID_FILE_ATTRIBUTES) return false;  // cannot tell: not gone
    std::vector<EngineProcessState> left = EngineGroup(pid);
    if (report)
        for (const auto& p : left)
            printf("  process %lu (state %c) is still in the engine's group\n", p.pid, p.state);
    return left.empty();
}

int KillEngineRenderers() {
    DWORD engine = cef_internal::GetEngineInfo().processId;
    if (!engine) return 0;
    std::wstring args = L"-KILL";
    int n = 0;
    for (const auto& p : EngineGroup(engine))
        if (p.cmdline.find("--type=renderer") != std::string::npos) {
            args += L" " + std::to_wstring(p.pid);
            ++n;
        }
    if (n) StartLinuxProgram(L"Z:\\bin\\kill", args);
    return n;
}

COLORREF PixelAt(HWND window, int x, int y) {
    HDC dc = GetDC(window);
    COLORREF c = GetPixel(dc, x, y);
    ReleaseDC(window, dc);
    return c;
}

bool PixelNear(HWND window, int x, int y, COLORREF want) {
    COLORREF c = PixelAt(window, x, y);
    if (c == CLR_INVALID) return false;
    return abs(GetRValue(c) - GetRValue(want)) <= 12 && abs(GetGValue(c) - GetGValue(want)) <= 12 &&
           abs(GetBValue(c) - GetBValue(want)) <= 12;
}

bool StartLinuxProgram(const std::wstring& program, const std::wstring& args) {
    std::wstring cmd = L"\"" + program + L"\" " + args;
    std::vector<wchar_t> buf(cmd.begin(), cmd.end());
    buf.push_back(0);
    STARTUPINFOW si = {sizeof(si)};
    PROCESS_INFORMATION pi = {};
    return CreateProcessW(program.c_str(), buf.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi) != FALSE;
}

std::vector<DWORD> LiveChildProcesses() {
    // Children running this executable (the render processes); Wine's own helpers
    // (its desktop process) are not ours to end.
    wchar_t self[MAX_PATH] = {0};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    const wchar_t* selfName = wcsrchr(self, L'\\') ? wcsrchr(self, L'\\') + 1 : self;
    std::vector<DWORD> out;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE) return out;
    PROCESSENTRY32W pe = {sizeof(pe)};
    for (BOOL ok = Process32FirstW(snap, &pe); ok; ok = Process32NextW(snap, &pe))
        if (pe.th32ParentProcessID == GetCurrentProcessId() && _wcsicmp(pe.szExeFile, selfName) == 0)
            out.push_back(pe.th32ProcessID);
    CloseHandle(snap);
    return out;
}

int ThreadCount() {
    int count = 0;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snap == INVALID_HANDLE_VALUE) return -1;
    THREADENTRY32 te = {sizeof(te)};
    for (BOOL ok = Thread32First(snap, &te); ok; ok = Thread32Next(snap, &te))
        if (te.th32OwnerProcessID == GetCurrentProcessId()) ++count;
    CloseHandle(snap);
    return count;
}

int CountEnginePages(const std::string& part) {
    // Through the layer's own line: the engine has no other.
    std::shared_ptr<cef_internal::DevToolsConnection> c = cef_internal::EngineConnection();
    nlohmann::json result;
    if (!c || !c->Call("Target.getTargets", nlohmann::json::object(), &result)) return -1;
    int n = 0;
    const nlohmann::json& infos = cef_internal::JsonObject(result, "targetInfos");
    for (const auto& t : infos)
        if (cef_internal::JsonString(t, "type") == "page" &&
            cef_internal::JsonString(t, "url").find(part) != std::string::npos)
            ++n;
    return n;
}

namespace {
struct WindowSearch {
    const wchar_t* cls;
    std::vector<HWND> out;
};
BOOL CALLBACK CollectWindow(HWND h, LPARAM p) {
    WindowSearch* c = reinterpret_cast<WindowSearch*>(p);
    DWORD pid = 0;
    GetWindowThreadProcessId(h, &pid);
    wchar_t cls[64] = {0};
    GetClassNameW(h, cls, 64);
    if (pid == GetCurrentProcessId() && IsWindowVisible(h) && wcscmp(cls, c->cls) == 0) c->out.push_back(h);
    return TRUE;
}
}  // namespace

std::vector<HWND> ProcessWindows(const wchar_t* className) {
    WindowSearch ctx{className, {}};
    EnumWindows(CollectWindow, (LPARAM)&ctx);
    return ctx.out;
}

}  // namespace ceftest
