#include <winsock2.h>
#include <ws2tcpip.h>

#include "render/RenderTestEnv.h"
#include "common/Loopback.h"

#include <chrono>
#include <cstdio>
#include "src/api/cef_context.h"

using nlohmann::json;

namespace rendertest {

// ---- PageServer ------------------------------------------------------------

// Threads: the accept thread and one worker per connection. `lock` guards the
// page table, the worker handles and the open client sockets.
struct PageServer::Impl {
    SOCKET listener = INVALID_SOCKET;
    WSAEVENT acceptEvent = WSA_INVALID_EVENT;
    HANDLE stopEvent = nullptr;
    HANDLE acceptThread = nullptr;
    int port = 0;
    bool wsa = false;

    std::mutex lock;
    std::map<std::string, std::string> pages;
    std::vector<HANDLE> workers;
    std::vector<SOCKET> clients;

    struct Work {
        Impl* server;
        SOCKET client;
    };

    static DWORD WINAPI AcceptMain(LPVOID p) {
        Impl* self = static_cast<Impl*>(p);
        HANDLE handles[2] = {self->stopEvent, self->acceptEvent};
        while (WaitForMultipleObjects(2, handles, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
            WSANETWORKEVENTS events;
            WSAEnumNetworkEvents(self->listener, self->acceptEvent, &events);
            SOCKET client = accept(self->listener, nullptr, nullptr);
            if (client == INVALID_SOCKET) continue;
            WSAEventSelect(client, nullptr, 0);
            u_long blocking = 0;
            ioctlsocket(client, FIONBIO, &blocking);
            DWORD timeout = 5000;  // idle speculative connections must not hold a worker forever
            setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, (const char*)&timeout, sizeof(timeout));
            std::lock_guard<std::mutex> guard(self->lock);
            Work* work = new Work{self, client};
            HANDLE worker = CreateThread(nullptr, 0, WorkerMain, work, 0, nullptr);
            if (!worker) {
                delete work;
                closesocket(client);
                continue;
            }
            self->clients.push_back(client);
            self->workers.push_back(worker);
        }
        return 0;
    }

    static DWORD WINAPI WorkerMain(LPVOID p) {
        Work* work = static_cast<Work*>(p);
        Impl* self = work->server;
        SOCKET client = work->client;
        delete work;
        std::string request;
        char buf[2048];
        while (request.find("\r\n\r\n") == std::string::npos) {
            int got = recv(client, buf, sizeof(buf), 0);
            if (got <= 0) break;
            request.append(buf, got);
        }
        std::string path;
        if (request.compare(0, 4, "GET ") == 0) {
            size_t end = request.find(' ', 4);
            path = request.substr(4, end == std::string::npos ? std::string::npos : end - 4);
            size_t query = path.find('?');
            if (query != std::string::npos) path.resize(query);
        }
        std::string body, status = "200 OK";
        {
            std::lock_guard<std::mutex> guard(self->lock);
            auto it = self->pages.find(path);
            if (it != self->pages.end()) body = it->second;
            else status = "404 Not Found";
        }
        if (!path.empty()) {
            std::string response = "HTTP/1.1 " + status +
                                   "\r\nContent-Type: text/html; charset=utf-8\r\nCache-Control: no-store\r\n"
                                   "Connection: close\r\nContent-Length: " +
                                   std::to_string(body.size()) + "\r\n\r\n" + body;
            send(client, response.data(), (int)response.size(), 0);
        }
        std::lock_guard<std::mutex> guard(self->lock);
        for (auto it = self->clients.begin(); it != self->clients.end(); ++it)
            if (*it == client) {
                self->clients.erase(it);
                break;
            }
        shutdown(client, SD_BOTH);
        closesocket(client);
        return 0;
    }
};

PageServer::PageServer() : impl_(new Impl()) {}

PageServer::~PageServer() {
    Impl& d = *impl_;
    if (d.acceptThread) {
        SetEvent(d.stopEvent);
        WaitForSingleObject(d.acceptThread, INFINITE);
        CloseHandle(d.acceptThread);
    }
    std::vector<HANDLE> workers;
    {
        std::lock_guard<std::mutex> guard(d.lock);
        for (SOCKET s : d.clients) shutdown(s, SD_BOTH);  // wakes workers blocked in recv
        workers.swap(d.workers);
    }
    for (HANDLE w : workers) {
        WaitForSingleObject(w, INFINITE);
        CloseHandle(w);
    }
    if (d.listener != INVALID_SOCKET) closesocket(d.listener);
    if (d.acceptEvent != WSA_INVALID_EVENT) WSACloseEvent(d.acceptEvent);
    if (d.stopEvent) CloseHandle(d.stopEvent);
    if (d.wsa) WSACleanup();
}

bool PageServer::Start() {
    Impl& d = *impl_;
    WSADATA data;
    d.wsa = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    int port = 0;
    d.listener = testutil::ListenOnLoopback(16, &port);
    if (d.listener == INVALID_SOCKET) return false;
    d.port = port;
    d.acceptEvent = WSACreateEvent();
    d.stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    WSAEventSelect(d.listener, d.acceptEvent, FD_ACCEPT);
    d.acceptThread = CreateThread(nullptr, 0, Impl::AcceptMain, &d, 0, nullptr);
    return d.acceptThread != nullptr;
}

void PageServer::Add(const std::string& path, const std::string& html) {
    std::lock_guard<std::mutex> guard(impl_->lock);
    impl_->pages[path] = html;
}

std::string PageServer::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(impl_->port) + path;
}

// ---- Engine ----------------------------------------------------------------

namespace {

// The engine is a Linux program under Wine and wants Linux paths.
std::wstring HostPath(const std::wstring& path) {
    typedef char*(CDECL * UnixName)(LPCWSTR);
    UnixName toUnix = (UnixName)(void*)GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name");
    if (!toUnix) return path;
    char* unix = toUnix(path.c_str());
    if (!unix) return path;
    std::wstring out = CefString(std::string(unix)).ToWString();
    HeapFree(GetProcessHeap(), 0, unix);
    return out;
}

std::wstring g_engineExe = L"Z:\\usr\\bin\\chromium";

}  // namespace

void KeepLayerEngineOff() {
    wchar_t buf[MAX_PATH] = {0};
    if (GetEnvironmentVariableW(L"VORNMARK_ENGINE", buf, MAX_PATH) && buf[0]) g_engineExe = buf;
    // An explicit engine that does not exist: the layer then starts none.
    SetEnvironmentVariableW(L"VORNMARK_ENGINE", L"Z:\\nonexistent\\engine-left-to-the-test");
}

Engine::Engine() {}

Engine::~Engine() { Stop(); }

bool Engine::Start() {
    std::wstring switches = L" --headless=new --no-sandbox --remote-debugging-port=0 --no-first-run"
                            L" --disable-background-networking --disable-component-update --disable-sync"
                            L" --disable-gpu --disable-site-isolation-trials"
                            L" --disable-features=IsolateOrigins,site-per-process";
    std::wstring exe = g_engineExe, cmd;
    const wchar_t shell[] = L"Z:\\bin\\sh";
    if (GetFileAttributesW(shell) != INVALID_FILE_ATTRIBUTES) {
        // Under Wine the engine is a Linux program that writes D-Bus complaints and the
        // like to the terminal; a shell sends them away, then becomes the engine.
        cmd = std::wstring(shell) + L" -c \"exec '" + HostPath(exe) + L"'" + switches + L" '--user-data-dir=" +
              HostPath(profile_.path()) + L"' about:blank >/dev/null 2>&1\"";
        exe = shell;
    } else {
        cmd = L"\"" + exe + L"\"" + switches + L" \"--user-data-dir=" + profile_.path() + L"\" about:blank";
    }
    std::vector<wchar_t> text(cmd.begin(), cmd.end());
    text.push_back(0);
    HANDLE change = FindFirstChangeNotificationW(profile_.path().c_str(), FALSE,
                                                 FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_SIZE |
                                                     FILE_NOTIFY_CHANGE_LAST_WRITE);
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    if (!CreateProcessW(exe.c_str(), text.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &process_)) {
        if (change != INVALID_HANDLE_VALUE) FindCloseChangeNotification(change);
        fprintf(stderr, "engine: cannot start %ls (error %lu)\n", exe.c_str(), GetLastError());
        return false;
    }
    // The engine writes its port file once it listens; wait for the folder to change.
    DWORD start = GetTickCount();
    bool found = false;
    while (!(found = cef_internal::ReadDevToolsActivePort(profile_.path(), &port_, &browserPath_))) {
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= 30000 || change == INVALID_HANDLE_VALUE) break;
        WaitForSingleObject(change, 30000 - elapsed);
        FindNextChangeNotification(change);
    }
    if (change != INVALID_HANDLE_VALUE) FindCloseChangeNotification(change);
    if (!found) {
        fprintf(stderr, "engine: no DevToolsActivePort after %lu ms\n", GetTickCount() - start);
        return false;
    }
    devtools_->SetEventHandler([this](const std::string& method, const json& params, const std::string& session) {
        OnEvent(method, params, session);
    });
    if (!devtools_->Connect(port_, browserPath_, 10000)) {
        fprintf(stderr, "engine: DevTools connection failed\n");
        return false;
    }
    return true;
}

void Engine::Stop() {
    if (devtools_->IsOpen()) {
        json ignored;
        devtools_->Call("Browser.close", json::object(), &ignored, "", 3000);
    }
    devtools_->Close();
    if (process_.hProcess) {
        if (WaitForSingleObject(process_.hProcess, 10000) != WAIT_OBJECT_0) TerminateProcess(process_.hProcess, 1);
        CloseHandle(process_.hProcess);
    }
    if (process_.hThread) CloseHandle(process_.hThread);
    process_ = PROCESS_INFORMATION();
}

void Engine::OnEvent(const std::string& method, const json& params, const std::string& sessionId) {
    if (method != "Page.loadEventFired") return;
    std::lock_guard<std::mutex> guard(lock_);
    ++loadCount_[sessionId];
    loaded_.notify_all();
}

bool Engine::NewPage(std::string* targetId, std::string* sessionId) {
    json result;
    json params = json::object();
    params["url"] = "about:blank";
    if (!devtools_->Call("Target.createTarget", params, &result)) return false;
    *targetId = cef_internal::JsonString(result, "targetId");
    json attach = json::object();
    attach["targetId"] = *targetId;
    attach["flatten"] = true;
    if (!devtools_->Call("Target.attachToTarget", attach, &result)) return false;
    *sessionId = cef_internal::JsonString(result, "sessionId");
    return !sessionId->empty() && devtools_->Call("Page.enable", json::object(), &result, *sessionId);
}

void Engine::ClosePage(const std::string& targetId) {
    json params = json::object(), ignored;
    params["targetId"] = targetId;
    devtools_->Call("Target.closeTarget", params, &ignored);
}

bool Engine::Navigate(const std::string& sessionId, const std::string& url, DWORD timeoutMs) {
    int before;
    {
        std::lock_guard<std::mutex> guard(lock_);
        before = loadCount_[sessionId];
    }
    json params = json::object(), result;
    params["url"] = url;
    if (!devtools_->Call("Page.navigate", params, &result, sessionId)) return false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        {
            std::unique_lock<std::mutex> guard(lock_);
            if (!loaded_.wait_until(guard, deadline, [&] { return loadCount_[sessionId] > before; })) return false;
            before = loadCount_[sessionId];
        }
        // A late load of the blank start page must not pass for ours.
        json href;
        if (Evaluate(sessionId, "location.href", &href) && href.is_string() && href.get<std::string>() == url)
            return true;
    }
}

bool Engine::Evaluate(const std::string& sessionId, const std::string& expression, json* value) {
    json params = json::object(), result;
    params["expression"] = expression;
    params["returnByValue"] = true;
    if (!devtools_->Call("Runtime.evaluate", params, &result, sessionId)) return false;
    *value = cef_internal::JsonObject(cef_internal::JsonObject(result, "result"), "value");
    return true;
}

// ---- Inbox -----------------------------------------------------------------

void Inbox::Put(CefRefPtr<CefProcessMessage> message) {
    std::lock_guard<std::mutex> guard(lock_);
    messages_.push_back(message);
    arrived_.notify_all();
}

CefRefPtr<CefProcessMessage> Inbox::Take(DWORD timeoutMs) {
    std::unique_lock<std::mutex> guard(lock_);
    if (!arrived_.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return !messages_.empty(); }))
        return nullptr;
    CefRefPtr<CefProcessMessage> message = messages_.front();
    messages_.pop_front();
    return message;
}

size_t Inbox::Pending() {
    std::lock_guard<std::mutex> guard(lock_);
    return messages_.size();
}

// ---- helpers ---------------------------------------------------------------

std::unique_ptr<cef_internal::RenderHost> StartRenderer(Engine& engine, const std::string& targetId, Inbox* inbox,
                                                        int browserId) {
    return std::unique_ptr<cef_internal::RenderHost>(cef_internal::RenderHost::Start(
        browserId, engine.connection(), targetId, [inbox](CefRefPtr<CefProcessMessage> message) {
            // Delivery off the engine UI thread would be a fault of the host: mark it.
            if (!cef_internal::OnUiThread()) message = Message(L"<not on the UI thread>", {});
            inbox->Put(message);
        }));
}

CefRefPtr<CefProcessMessage> Message(const std::wstring& name, const std::vector<std::wstring>& args) {
    CefRefPtr<CefProcessMessage> message = CefProcessMessage::Create(name);
    CefRefPtr<CefListValue> list = message->GetArgumentList();
    list->SetSize(args.size());
    for (size_t i = 0; i < args.size(); ++i) list->SetString((int)i, args[i]);
    return message;
}

std::wstring Describe(CefRefPtr<CefProcessMessage> message) {
    if (!message) return L"<none>";
    std::wstring out = message->GetName().ToWString() + L"[";
    CefRefPtr<CefListValue> args = message->GetArgumentList();
    for (size_t i = 0; args && i < args->GetSize(); ++i) {
        if (i) out += L",";
        if (args->GetType((int)i) == VTYPE_STRING) out += L"\"" + args->GetString((int)i).ToWString() + L"\"";
        else out += L"<type " + std::to_wstring(args->GetType((int)i)) + L">";
    }
    return out + L"]";
}

}  // namespace rendertest
