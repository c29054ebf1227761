#include <winsock2.h>
#include <ws2tcpip.h>

#include "src/engine.h"

#include <shlobj.h>
#include <gdiplus.h>
#include <algorithm>
#include "src/browser_impl.h"
#include "src/cef_context.h"
#include "src/frame_sink.h"
#include "src/page_script.h"

using nlohmann::json;

namespace cef_internal {
namespace {

const DWORD kPortTimeoutMs = 30000;   // engine start to DevToolsActivePort
const DWORD kConnectTimeoutMs = 5000;
const DWORD kPoliteExitMs = 4000;     // Browser.close to the end of the process tree
const DWORD kForcedExitMs = 6000;     // lifeline closed (TERM, then KILL after 2 s)

Engine* g_engine = nullptr;  // UI thread
unsigned g_generation = 0;   // UI thread; tells tasks of an engine that has gone
ULONG_PTR g_gdiplusToken = 0;

// The connection and the engine facts, read by other threads.
std::mutex g_shareLock;
std::shared_ptr<DevToolsConnection> g_connection;
EngineInfo g_info;

typedef char*(CDECL* WineGetUnixFileNameFn)(const wchar_t*);
typedef wchar_t*(CDECL* WineGetDosFileNameFn)(const char*);

bool UnderWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

bool FileExists(const std::wstring& path) {
    DWORD attr = GetFileAttributesW(path.c_str());
    return attr != INVALID_FILE_ATTRIBUTES && !(attr & FILE_ATTRIBUTE_DIRECTORY);
}

// A Linux path given by the user (the environment variable) as a Windows path.
std::wstring FromUnixPath(const std::wstring& path) {
    if (path.empty() || path[0] != L'/') return path;
    auto toDos = reinterpret_cast<WineGetDosFileNameFn>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
    std::string utf8 = CefString(path).ToString();
    if (toDos) {
        wchar_t* dos = toDos(utf8.c_str());
        if (dos) {
            std::wstring out = dos;
            HeapFree(GetProcessHeap(), 0, dos);
            return out;
        }
    }
    std::wstring out = L"Z:" + path;
    std::replace(out.begin(), out.end(), L'/', L'\\');
    return out;
}

std::wstring AppPath(HKEY root, const wchar_t* exe) {
    std::wstring key = std::wstring(L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\") + exe;
    wchar_t value[MAX_PATH * 2] = {0};
    DWORD size = sizeof(value) - sizeof(wchar_t);
    if (RegGetValueW(root, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, value, &size) != ERROR_SUCCESS)
        return std::wstring();
    std::wstring path = value;
    if (path.size() >= 2 && path.front() == L'"' && path.back() == L'"') path = path.substr(1, path.size() - 2);
    return path;
}

// "zh_cn" (the program's lang switch) -> "zh-CN".
std::string LanguageTag(std::string lang) {
    std::replace(lang.begin(), lang.end(), '_', '-');
    size_t dash = lang.find('-');
    for (size_t i = 0; i < lang.size(); ++i)
        lang[i] = (char)(dash != std::string::npos && i > dash ? toupper((unsigned char)lang[i])
                                                               : tolower((unsigned char)lang[i]));
    return lang;
}

void DeleteTree(const std::wstring& dir) {
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &fd);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = fd.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring path = dir + L"\\" + name;
            if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !(fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                DeleteTree(path);
            else
                DeleteFileW(path.c_str());
        } while (FindNextFileW(find, &fd));
        FindClose(find);
    }
    RemoveDirectoryW(dir.c_str());
}

bool g_tempProfile = false;

}  // namespace

std::string EnginePath(const std::wstring& windowsPath, bool linuxEngine) {
    if (!linuxEngine) return CefString(windowsPath).ToString();
    auto toUnix = reinterpret_cast<WineGetUnixFileNameFn>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (toUnix) {
        char* unixPath = toUnix(windowsPath.c_str());
        if (unixPath) {
            std::string out = unixPath;
            HeapFree(GetProcessHeap(), 0, unixPath);
            return out;
        }
    }
    return CefString(windowsPath).ToString();
}

std::wstring FindEngineExecutable() {
    wchar_t value[MAX_PATH * 2] = {0};
    DWORD n = GetEnvironmentVariableW(L"VORNMARK_ENGINE", value, MAX_PATH * 2);
    if (n > 0 && n < MAX_PATH * 2) {
        std::wstring path = FromUnixPath(value);
        return FileExists(path) ? path : std::wstring();
    }
    if (UnderWine()) {
        const wchar_t* known[] = {L"Z:\\usr\\bin\\chromium", L"Z:\\usr\\bin\\chromium-browser",
                                  L"Z:\\usr\\bin\\google-chrome"};
        for (const wchar_t* path : known)
            if (FileExists(path)) return path;
    }
    const wchar_t* exes[] = {L"msedge.exe", L"chrome.exe"};
    for (const wchar_t* exe : exes) {
        for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
            std::wstring path = AppPath(root, exe);
            if (!path.empty() && FileExists(path)) return path;
        }
    }
    return std::wstring();
}

EngineInfo GetEngineInfo() {
    std::lock_guard<std::mutex> guard(g_shareLock);
    return g_info;
}

std::shared_ptr<DevToolsConnection> EngineConnection() {
    std::lock_guard<std::mutex> guard(g_shareLock);
    return g_connection;
}

int EngineSend(const std::string& method, const json& params, const std::string& sessionId) {
    std::shared_ptr<DevToolsConnection> connection = EngineConnection();
    return connection ? connection->Send(method, params, sessionId) : 0;
}

Engine* Engine::Current() { return g_engine; }

// ---- process ---------------------------------------------------------------

bool Engine::Launch(const std::wstring& exe) {
    const EngineSettings& settings = GetSettings();
    CefRefPtr<CefCommandLine> appLine = GetBrowserCommandLine();

    profileDir_ = settings.cachePath;
    while (!profileDir_.empty() && (profileDir_.back() == L'\\' || profileDir_.back() == L'/')) profileDir_.pop_back();
    g_tempProfile = profileDir_.empty();
    if (g_tempProfile) {
        // No cache folder: a throw-away profile, removed again at shutdown.
        wchar_t temp[MAX_PATH] = {0};
        GetTempPathW(MAX_PATH, temp);
        profileDir_ = std::wstring(temp) + L"vornmark-engine-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                      std::to_wstring(GetTickCount());
    }
    SHCreateDirectoryExW(nullptr, profileDir_.c_str(), nullptr);
    // A file left by an earlier run would name a port nobody listens on.
    DeleteFileW((profileDir_ + L"\\DevToolsActivePort").c_str());

    std::string lang = appLine ? LanguageTag(appLine->GetSwitchValue(L"lang").ToString()) : std::string();
    acceptLanguage_ = CefString(settings.acceptLanguageList).ToString();
    if (acceptLanguage_.empty() && !lang.empty()) {
        acceptLanguage_ = lang;
        size_t dash = lang.find('-');
        if (dash != std::string::npos) acceptLanguage_ += "," + lang.substr(0, dash);
    }

    linux_ = UnderWine() && !(exe.size() > 4 && _wcsicmp(exe.c_str() + exe.size() - 4, L".exe") == 0);
    std::vector<std::string> args = {
        "--headless=new", "--no-sandbox", "--disable-gpu", "--remote-debugging-port=0",
        "--user-data-dir=" + EnginePath(profileDir_, linux_), "--no-first-run", "--no-default-browser-check",
        "--disable-background-networking", "--disable-component-update", "--disable-sync",
        // Inner frames stay in the page's process and DevTools session.
        "--disable-site-isolation-trials", "--disable-features=IsolateOrigins,site-per-process,Translate,MediaRouter",
        // The client decides about every new window (OnBeforePopup), as the embedded engine did.
        "--disable-popup-blocking", "--autoplay-policy=no-user-gesture-required", "--password-store=basic",
        "--use-mock-keychain", "--disable-dev-shm-usage", "--hide-crash-restore-bubble"};
    if (!lang.empty()) args.push_back("--lang=" + lang);
    if (!acceptLanguage_.empty()) args.push_back("--accept-lang=" + acceptLanguage_);
    if (settings.ignoreCertificateErrors) args.push_back("--ignore-certificate-errors");
    if (appLine && appLine->HasSwitch(L"disable-web-security")) args.push_back("--disable-web-security");
    args.push_back("about:blank");

    exited_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!exited_) return false;

    if (!linux_) {
        std::wstring cmd = QuoteCommandLineArg(exe);
        for (const std::string& a : args) cmd += L" " + QuoteCommandLineArg(CefString(a).ToWString());
        std::vector<wchar_t> buf(cmd.begin(), cmd.end());
        buf.push_back(0);
        // The job ends the engine's whole process tree with us, whatever happens to us.
        job_ = CreateJobObjectW(nullptr, nullptr);
        if (job_) {
            JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
            limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
            SetInformationJobObject(job_, JobObjectExtendedLimitInformation, &limits, sizeof(limits));
        }
        STARTUPINFOW si = {sizeof(si)};
        PROCESS_INFORMATION pi = {};
        if (!CreateProcessW(exe.c_str(), buf.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW | CREATE_SUSPENDED,
                            nullptr, nullptr, &si, &pi))
            return false;
        if (job_ && !AssignProcessToJobObject(job_, pi.hProcess)) {
            // Not in the job (our own job may forbid it), ending the job would miss it;
            // with no job, EndProcess ends the engine by its handle instead.
            CloseHandle(job_);
            job_ = nullptr;
        }
        ResumeThread(pi.hThread);
        CloseHandle(pi.hThread);
        process_ = pi.hProcess;
        pid_ = pi.dwProcessId;
        return true;
    }

    // A Linux engine under Wine: Wine hands out no handle for a Linux process, so a
    // shell runs it in a process group of its own and keeps a socket to us. The
    // socket tells us the engine's pid, reaches end-of-file when the whole group has
    // ended, and when we close it (or our process dies) the group is ended.
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return false;

    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener == INVALID_SOCKET) {
        WSACleanup();
        return false;
    }
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof(addr);
    if (bind(listener, (sockaddr*)&addr, sizeof(addr)) != 0 || listen(listener, 1) != 0 ||
        getsockname(listener, (sockaddr*)&addr, &len) != 0) {
        closesocket(listener);
        WSACleanup();
        return false;
    }
    int lifelinePort = ntohs(addr.sin_port);
    // On Linux the engine takes its own language (its error pages, its dialogs) from
    // the environment, not from --lang.
    std::string language;
    const char* tagChars = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-";
    if (!lang.empty() && lang.find_first_not_of(tagChars) == std::string::npos) {
        language = lang;
        std::replace(language.begin(), language.end(), '-', '_');
        language = "export LANGUAGE=" + language + "; ";
    }
    std::string script =
        "exec 3<>/dev/tcp/127.0.0.1/" + std::to_string(lifelinePort) +
        " || exit 1; exec 2>/dev/null; set -m; " + language +
        "\"$@\" 3>&- </dev/null >/dev/null 2>&1 & c=$!; echo \"$c\" >&3; "
        "( read -r -u 3 _; kill -TERM -- -$c; sleep 2; kill -KILL -- -$c ) & w=$!; "
        "wait $c; kill -KILL -- -$c; kill -KILL -- -$w; "
        // A killed process lingers until the kernel has torn it down; the end of the
        // lifeline promises the group has ended, so wait (bounded) until no live member
        // is left. Nothing signals the end of a group we are not the parent of.
        "live() { for s in /proc/[0-9]*/stat; do read -r l <\"$s\" || continue; set -- ${l##*\\) }; "
        "[ \"$3\" = \"$c\" ] && [ \"$1\" != Z ] && return 0; done; return 1; }; "
        "i=0; while live && [ $i -lt 60 ]; do sleep 0.05; i=$((i+1)); done; exit 0";
    std::wstring bash = FileExists(L"Z:\\bin\\bash") ? L"Z:\\bin\\bash" : L"Z:\\usr\\bin\\bash";
    std::wstring cmd = QuoteCommandLineArg(bash) + L" -c " + QuoteCommandLineArg(CefString(script).ToWString()) + L" vornmark-engine " +
                       QuoteCommandLineArg(CefString(EnginePath(exe, true)).ToWString());
    for (const std::string& a : args) cmd += L" " + QuoteCommandLineArg(CefString(a).ToWString());
    std::vector<wchar_t> buf(cmd.begin(), cmd.end());
    buf.push_back(0);
    STARTUPINFOW si = {sizeof(si)};
    PROCESS_INFORMATION pi = {};
    // For a Linux program Wine fills PROCESS_INFORMATION with handle values it has
    // already closed (seen: 4, by then another object's handle): they are never used
    // or closed here.
    BOOL started = CreateProcessW(bash.c_str(), buf.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
    SOCKET peer = INVALID_SOCKET;
    if (started) {
        fd_set rfds;
        FD_ZERO(&rfds);
        FD_SET(listener, &rfds);
        timeval tv = {10, 0};
        if (select(0, &rfds, nullptr, nullptr, &tv) > 0) peer = accept(listener, nullptr, nullptr);
    }
    closesocket(listener);
    if (peer == INVALID_SOCKET) {
        WSACleanup();
        return false;
    }
    // First line: the engine's pid.
    std::string line;
    DWORD start = GetTickCount();
    while (line.find('\n') == std::string::npos && GetTickCount() - start < 10000) {
        fd_set rfds;
        FD_ZERO(&rfds);
        FD_SET(peer, &rfds);
        timeval tv = {1, 0};
        int r = select(0, &rfds, nullptr, nullptr, &tv);
        if (r < 0) break;
        if (r == 0) continue;
        char c[64];
        int n = recv(peer, c, sizeof(c), 0);
        if (n <= 0) break;
        line.append(c, n);
    }
    pid_ = (DWORD)strtoul(line.c_str(), nullptr, 10);
    lifeline_ = (uintptr_t)peer;
    lifelineThread_ = CreateThread(nullptr, 0, LifelineMain, this, 0, nullptr);
    if (!pid_ || !lifelineThread_) {
        EndProcess();
        return false;
    }
    return true;
}

DWORD WINAPI Engine::LifelineMain(LPVOID self) {
    Engine* engine = static_cast<Engine*>(self);
    char buf[256];
    while (recv((SOCKET)engine->lifeline_, buf, sizeof(buf), 0) > 0) {
    }
    SetEvent(engine->exited_);  // end-of-file: the shell and the engine's group have ended
    return 0;
}

bool Engine::WaitForPort(DWORD timeoutMs) {
    DWORD start = GetTickCount();
    HANDLE change = FindFirstChangeNotificationW(profileDir_.c_str(), FALSE,
                                                 FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE |
                                                     FILE_NOTIFY_CHANGE_SIZE);
    HANDLE endedOrGone = process_ ? process_ : exited_;
    bool found = false;
    for (;;) {
        if (ReadDevToolsActivePort(profileDir_, &port_, &browserWsPath_)) {
            found = true;
            break;
        }
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs) break;
        // The folder's change notification wakes us; the short cap only covers file
        // systems that give none.
        DWORD slice = std::min<DWORD>(timeoutMs - elapsed, change != INVALID_HANDLE_VALUE ? 250 : 25);
        HANDLE handles[2] = {endedOrGone, change};
        DWORD count = change != INVALID_HANDLE_VALUE ? 2 : 1;
        DWORD r = WaitForMultipleObjects(count, handles, FALSE, slice);
        if (r == WAIT_OBJECT_0) break;  // the engine ended before it listened
        if (r == WAIT_OBJECT_0 + 1) FindNextChangeNotification(change);
    }
    if (change != INVALID_HANDLE_VALUE) FindCloseChangeNotification(change);
    return found;
}

void Engine::EndProcess() {
    HANDLE ended = process_ ? process_ : exited_;
    if (linux_ && lifeline_ != ~(uintptr_t)0) {
        if (WaitForSingleObject(exited_, lifelineThread_ ? kPoliteExitMs : 0) != WAIT_OBJECT_0) {
            // End of our half of the lifeline: the shell ends the engine's process group.
            shutdown((SOCKET)lifeline_, SD_SEND);
            WaitForSingleObject(exited_, kForcedExitMs);
        }
        if (lifelineThread_) {
            // Still running only if the shell never answered; closing the socket ends the read.
            if (WaitForSingleObject(lifelineThread_, 0) != WAIT_OBJECT_0) {
                closesocket((SOCKET)lifeline_);
                lifeline_ = ~(uintptr_t)0;
            }
            WaitForSingleObject(lifelineThread_, INFINITE);
            CloseHandle(lifelineThread_);
            lifelineThread_ = nullptr;
        }
        if (lifeline_ != ~(uintptr_t)0) closesocket((SOCKET)lifeline_);
        lifeline_ = ~(uintptr_t)0;
        WSACleanup();
    } else if (process_) {
        if (WaitForSingleObject(ended, kPoliteExitMs) != WAIT_OBJECT_0) {
            if (job_) TerminateJobObject(job_, 0);
            else TerminateProcess(process_, 0);
            WaitForSingleObject(process_, kForcedExitMs);
        }
        CloseHandle(process_);
        process_ = nullptr;
    }
    if (job_) {
        CloseHandle(job_);  // ends whatever of the tree is left
        job_ = nullptr;
    }
    if (exited_) {
        CloseHandle(exited_);
        exited_ = nullptr;
    }
}

// ---- start and stop ------------------------------------------------------------

bool Engine::Start() {
    std::wstring exe = FindEngineExecutable();
    if (exe.empty()) return false;
    DWORD t0 = GetTickCount();
    if (!Launch(exe)) {
        EndProcess();
        return false;
    }
    connection_ = std::make_shared<DevToolsConnection>();
    unsigned gen = generation_;
    connection_->SetEventHandler([this](const std::string& m, const json& p, const std::string& s) {
        OnReaderEvent(m, p, s);
    });
    connection_->SetCloseHandler([gen] {
        PostUiTask([gen] {
            if (g_engine && g_generation == gen) g_engine->OnConnectionLost();
        });
    });
    if (!WaitForPort(kPortTimeoutMs) || !connection_->Connect(port_, browserWsPath_, kConnectTimeoutMs)) {
        connection_.reset();
        EndProcess();
        return false;
    }
    connected_ = true;
    json version;
    if (connection_->Call("Browser.getVersion", json::object(), &version)) {
        // Pages present themselves as the ordinary browser, not as a headless one.
        userAgent_ = JsonString(version, "userAgent");
        size_t at = userAgent_.find("HeadlessChrome");
        if (at != std::string::npos) userAgent_.replace(at, 14, "Chrome");
    }
    // Every new page, ours and the popups of pages, waits for us before its first request.
    connection_->Call("Target.setAutoAttach", {{"autoAttach", true}, {"waitForDebuggerOnStart", true}, {"flatten", true}},
                      nullptr);
    // A paused popup can still send its first request once let go, before anything
    // enabled on its own session takes hold; held here for the whole browser, none can.
    connection_->Call("Fetch.enable", {{"patterns", json::array({{{"urlPattern", "*"}, {"resourceType", "Document"}}})}},
                      nullptr);
    {
        std::lock_guard<std::mutex> guard(g_shareLock);
        g_connection = connection_;
        g_info.running = true;
        g_info.processId = pid_;
        g_info.linuxProcess = linux_;
        g_info.devtoolsPort = port_;
        g_info.browserWsPath = browserWsPath_;
        g_info.startMs = GetTickCount() - t0;
    }
    return true;
}

void Engine::Stop() {
    // Browsers first: their windows go and their clients hear OnBeforeClose.
    std::vector<CefRefPtr<BrowserImpl>> browsers = browsers_;
    for (auto& b : browsers) b->Destroy();
    browsers_.clear();
    pendingTargets_.clear();
    {
        std::lock_guard<std::mutex> guard(g_shareLock);
        g_connection.reset();
        g_info.running = false;
    }
    if (connection_) {
        // Asked politely, the engine ends its whole process tree itself.
        if (connected_) connection_->Call("Browser.close", json::object(), nullptr, "", 2000);
        connection_->Close();
    }
    connected_ = false;
    EndProcess();
    connection_.reset();
    {
        std::lock_guard<std::mutex> guard(sinkLock_);
        sinks_.clear();
    }
    if (g_tempProfile) DeleteTree(profileDir_);
}

// ---- events ----------------------------------------------------------------------

void Engine::OnReaderEvent(const std::string& method, const json& params, const std::string& sessionId) {
    if (method == "Fetch.requestPaused" && sessionId.empty()) {
        // Every document request waits here for a moment: those of cancelled popups fail.
        std::string requestId = JsonString(params, "requestId");
        bool cancelled;
        {
            std::lock_guard<std::mutex> guard(cancelLock_);
            cancelled = cancelled_.count(JsonString(params, "frameId")) != 0;
        }
        if (cancelled) connection_->Send("Fetch.failRequest", {{"requestId", requestId}, {"errorReason", "Aborted"}});
        else connection_->Send("Fetch.continueRequest", {{"requestId", requestId}});
        return;
    }
    if (method == "Page.screencastFrame") {
        // Acknowledged at once so the engine keeps sending; decoding happens elsewhere.
        connection_->Send("Page.screencastFrameAck", {{"sessionId", JsonInt(params, "sessionId")}}, sessionId);
        std::shared_ptr<FrameSink> sink;
        {
            std::lock_guard<std::mutex> guard(sinkLock_);
            auto it = sinks_.find(sessionId);
            if (it != sinks_.end()) sink = it->second;
        }
        const json& data = JsonObject(params, "data");
        if (sink && data.is_string()) sink->Push(data.get<std::string>());
        return;
    }
    // Only what somebody listens to goes on to the UI thread: a page loading large
    // resources sends thousands of network events nobody needs.
    static const std::set<std::string> kHandled = {
        "Target.attachedToTarget", "Target.detachedFromTarget", "Network.requestWillBeSent",
        "Network.responseReceived", "Network.loadingFinished", "Network.loadingFailed", "Page.frameNavigated",
        "Page.navigatedWithinDocument", "Page.frameStartedLoading", "Page.frameStoppedLoading",
        "Page.frameDetached", "Page.javascriptDialogOpening", "Page.windowOpen", "Runtime.bindingCalled",
        "Runtime.executionContextCreated", "Runtime.executionContextDestroyed", "Runtime.executionContextsCleared",
        "Runtime.consoleAPICalled", "Inspector.targetCrashed"};
    if (!kHandled.count(method)) return;
    if (method == "Network.requestWillBeSent" || method == "Network.responseReceived") {
        if (JsonString(params, "type") != "Document") return;
    }
    if (method == "Runtime.bindingCalled") {
        // Dropped here already, before the copy that takes it to the UI thread.
        const json& payload = JsonObject(params, "payload");
        if (payload.is_string() && payload.get_ref<const std::string&>().size() > kMaxBindingPayload) return;
    }
    unsigned gen = generation_;
    PostUiTask([gen, method, params, sessionId] {
        if (g_engine && g_generation == gen) g_engine->Dispatch(method, params, sessionId);
    });
}

void Engine::RegisterSink(const std::string& sessionId, std::shared_ptr<FrameSink> sink) {
    std::lock_guard<std::mutex> guard(sinkLock_);
    sinks_[sessionId] = sink;
}

void Engine::UnregisterSink(const std::string& sessionId) {
    std::lock_guard<std::mutex> guard(sinkLock_);
    sinks_.erase(sessionId);
}

BrowserImpl* Engine::FindBySession(const std::string& sessionId) {
    for (auto& b : browsers_)
        if (b->SessionId() == sessionId) return b.get();
    return nullptr;
}

BrowserImpl* Engine::FindByTarget(const std::string& targetId) {
    for (auto& b : browsers_)
        if (b->TargetId() == targetId) return b.get();
    return nullptr;
}

void Engine::Dispatch(const std::string& method, const json& params, const std::string& sessionId) {
    if (sessionId.empty()) {
        if (method == "Target.attachedToTarget") OnAttached(params);
        else if (method == "Target.detachedFromTarget") OnDetached(params);
        return;
    }
    if (BrowserImpl* b = FindBySession(sessionId)) {
        CefRefPtr<BrowserImpl> keep(b);
        b->OnSessionEvent(method, params);
    }
}

void Engine::OnAttached(const json& params) {
    std::string sessionId = JsonString(params, "sessionId");
    const json& info = JsonObject(params, "targetInfo");
    std::string targetId = JsonString(info, "targetId");
    bool waiting = JsonBool(params, "waitingForDebugger");
    if (JsonString(info, "type") != "page") {
        // Workers and the like run unattended.
        if (waiting) connection_->Send("Runtime.runIfWaitingForDebugger", json::object(), sessionId);
        connection_->Send("Target.detachFromTarget", {{"sessionId", sessionId}});
        return;
    }
    auto pending = pendingTargets_.find(targetId);
    if (pending != pendingTargets_.end()) {
        CefRefPtr<BrowserImpl> b = pending->second;
        pendingTargets_.erase(pending);
        b->Attach(targetId, sessionId, waiting);
        return;
    }
    std::string openerId = JsonString(info, "openerId");
    if (!openerId.empty()) {
        if (BrowserImpl* opener = FindByTarget(openerId)) {
            OfferPopup(opener, sessionId, info, waiting);
            return;
        }
    }
    // Possibly ours, announced before the answer to Target.createTarget (not always
    // paused, so not being paused says nothing); otherwise the engine's first blank page.
    unclaimed_[targetId] = Unclaimed{sessionId, waiting, info};
}

void Engine::OnDetached(const json& params) {
    std::string sessionId = JsonString(params, "sessionId");
    {
        std::lock_guard<std::mutex> guard(cancelLock_);
        cancelled_.erase(JsonString(params, "targetId"));
    }
    unclaimed_.erase(JsonString(params, "targetId"));
    if (BrowserImpl* b = FindBySession(sessionId)) {
        // The page went away on its own (window.close() of a popup): so does its browser.
        CefRefPtr<BrowserImpl> keep(b);
        b->Destroy();
    }
}

void Engine::OnConnectionLost() {
    connected_ = false;
    {
        std::lock_guard<std::mutex> guard(g_shareLock);
        g_connection.reset();
    }
    std::vector<CefRefPtr<BrowserImpl>> browsers = browsers_;
    for (auto& b : browsers) b->OnEngineLost();
}

void Engine::CreatePageTarget(BrowserImpl* browser, const std::string& url) {
    CefRefPtr<BrowserImpl> b(browser);
    unsigned gen = generation_;
    // A blank page first: it is set up, and only then sent to its address.
    if (!url.empty() && url != "about:blank") browser->SetPendingUrl(url);
    int id = connection_->SendAsync(
        "Target.createTarget", {{"url", "about:blank"}},
        [b, gen](bool ok, const json& result) {
            std::string targetId = ok ? JsonString(result, "targetId") : std::string();
            PostUiTask([b, gen, targetId] {
                if (!g_engine || g_generation != gen || targetId.empty()) return;
                if (b->Closed()) {
                    // Closed while its page was being made: Teardown had no target to
                    // close and took the browser off the books, so the page goes here.
                    g_engine->unclaimed_.erase(targetId);
                    g_engine->connection_->Send("Target.closeTarget", {{"targetId", targetId}});
                    return;
                }
                b->SetTargetId(targetId);
                auto it = g_engine->unclaimed_.find(targetId);
                if (it != g_engine->unclaimed_.end()) {
                    Unclaimed u = it->second;
                    g_engine->unclaimed_.erase(it);
                    b->Attach(targetId, u.sessionId, u.waiting);
                } else {
                    g_engine->pendingTargets_[targetId] = b;
                }
            });
        });
    if (!id) return;
}

void Engine::OfferPopup(BrowserImpl* opener, const std::string& sessionId, const json& info, bool waiting) {
    CefRefPtr<BrowserImpl> openerRef(opener);
    std::string targetId = JsonString(info, "targetId");
    std::string url = JsonString(info, "url");
    std::string name;
    bool userGesture = false;
    CefPopupFeatures features;
    json open;
    if (opener->TakeWindowOpen(&open)) {
        if (url.empty() || url == "about:blank") url = JsonString(open, "url");
        name = JsonString(open, "windowName");
        userGesture = JsonBool(open, "userGesture");
        const json& list = JsonObject(open, "windowFeatures");
        if (list.is_array()) {
            for (const json& f : list) {
                if (!f.is_string()) continue;
                std::string item = f.get<std::string>();
                size_t eq = item.find('=');
                std::string key = item.substr(0, eq);
                int value = eq == std::string::npos ? 1 : atoi(item.c_str() + eq + 1);
                if (key == "left" || key == "screenx") features.x = value, features.xSet = 1;
                else if (key == "top" || key == "screeny") features.y = value, features.ySet = 1;
                else if (key == "width" || key == "innerwidth") features.width = value, features.widthSet = 1;
                else if (key == "height" || key == "innerheight") features.height = value, features.heightSet = 1;
            }
        }
    }
    CefRefPtr<CefFrame> frame = opener->FrameByEngineId(JsonString(info, "openerFrameId")).get();
    if (!frame) frame = opener->GetMainFrame();
    CefRefPtr<CefClient> client = opener->GetClient();
    CefRefPtr<CefLifeSpanHandler> lifeSpan = client ? client->GetLifeSpanHandler() : nullptr;

    // The engine's defaults for a popup: a top-level window of its own.
    CefWindowInfo windowInfo;
    HWND openerWindow = opener->GetWindowHandle();
    windowInfo.SetAsPopup(openerWindow ? GetAncestor(openerWindow, GA_ROOT) : nullptr, CefString());
    if (features.xSet) windowInfo.x = features.x;
    if (features.ySet) windowInfo.y = features.y;
    if (features.widthSet) windowInfo.width = features.width;
    if (features.heightSet) windowInfo.height = features.height;
    CefBrowserSettings settings;
    CefRefPtr<CefClient> popupClient = client;
    bool noScriptAccess = false;
    cef_window_open_disposition_t disposition =
        features.widthSet || features.heightSet ? WOD_NEW_POPUP : WOD_NEW_FOREGROUND_TAB;
    bool cancel = lifeSpan && lifeSpan->OnBeforePopup(openerRef.get(), frame, url, name, disposition, userGesture,
                                                      features, windowInfo, popupClient, settings, &noScriptAccess);
    if (!g_engine || g_engine != this) return;
    if (cancel) {
        // Closing a popup that is still paused holds up the opener's window.open() for
        // seconds, so it is let go and closed at once; its document request is failed
        // where the engine holds every document request (OnReaderEvent): it never loads,
        // and nothing reaches the network.
        {
            std::lock_guard<std::mutex> guard(cancelLock_);
            cancelled_.insert(targetId);
        }
        if (waiting) connection_->Send("Runtime.runIfWaitingForDebugger", json::object(), sessionId);
        connection_->Send("Target.closeTarget", {{"targetId", targetId}});
        return;
    }
    CefRefPtr<BrowserImpl> popup = new BrowserImpl(windowInfo, popupClient, settings, true, openerWindow);
    AddBrowser(popup.get());
    if (!popup->CreateHostWindow()) {
        RemoveBrowser(popup.get());
        connection_->Send("Target.closeTarget", {{"targetId", targetId}});
        return;
    }
    popup->SetTargetId(targetId);
    popup->Attach(targetId, sessionId, waiting);
}

void Engine::AddBrowser(BrowserImpl* browser) { browsers_.push_back(browser); }

void Engine::RemoveBrowser(BrowserImpl* browser) {
    for (auto it = pendingTargets_.begin(); it != pendingTargets_.end();) {
        if (it->second.get() == browser) it = pendingTargets_.erase(it);
        else ++it;
    }
    auto it = std::find_if(browsers_.begin(), browsers_.end(),
                           [browser](const CefRefPtr<BrowserImpl>& b) { return b.get() == browser; });
    if (it != browsers_.end()) browsers_.erase(it);
}

std::vector<CefRefPtr<BrowserImpl>> Engine::Browsers() { return browsers_; }

// ---- the layer's hooks -------------------------------------------------------------

void EngineStart() {
    if (g_engine) return;
    Gdiplus::GdiplusStartupInput input;
    if (Gdiplus::GdiplusStartup(&g_gdiplusToken, &input, nullptr) != Gdiplus::Ok) g_gdiplusToken = 0;
    Engine* engine = new Engine();
    engine->SetGeneration(++g_generation);
    g_engine = engine;
    if (!engine->Start()) {
        // No engine: browsers are never created, quietly.
        g_engine = nullptr;
        delete engine;
    }
}

void EngineStop() {
    Engine* engine = g_engine;
    if (engine) {
        engine->Stop();
        g_engine = nullptr;
        ++g_generation;
        delete engine;
    }
    if (g_gdiplusToken) {
        Gdiplus::GdiplusShutdown(g_gdiplusToken);
        g_gdiplusToken = 0;
    }
}

}  // namespace cef_internal
