#include <winsock2.h>
#include <ws2tcpip.h>

#include "src/engine_process.h"

#include <shlobj.h>
#include <algorithm>
#include "base/Diagnostics.h"
#include "src/cef_context.h"
#include "src/devtools.h"
#include "src/flash_emulator.h"

namespace cef_internal {
namespace {

const DWORD kPoliteExitMs = 4000;     // Browser.close to the end of the process tree
const DWORD kForcedExitMs = 6000;     // lifeline closed (TERM, then KILL after 2 s)
const DWORD kLifelineAcceptMs = 10000;  // the shell started to its call on the lifeline
const DWORD kLifelinePidMs = 10000;     // ... to the engine's pid on it

// The shell that runs a Linux engine under Wine. Wine hands out no handle for a
// Linux process, so the shell runs the engine in a process group of its own and
// keeps a TCP connection to us, the lifeline (its descriptor 3):
//   bash -c kLifelineScript vornmark-engine <lifeline port> <LANGUAGE or ""> <engine> <arguments...>
// - the shell connects to 127.0.0.1:<lifeline port> and writes the engine's pid as
//   the first line;
// - when we close our end (or our process dies) it ends the group: TERM, and
//   KILL 2 s later;
// - it closes its end, which we read as end-of-file, only once the whole group has
//   ended. On Linux the engine takes its own language (error pages, dialogs) from
//   the environment, not from --lang, hence LANGUAGE.
const char kLifelineScript[] =
    "port=$1; language=$2; shift 2; "
    "exec 3<>/dev/tcp/127.0.0.1/$port || exit 1; exec 2>/dev/null; set -m; "
    "if [ -n \"$language\" ]; then export LANGUAGE=\"$language\"; fi; "
    "\"$@\" 3>&- </dev/null >/dev/null 2>&1 & c=$!; echo \"$c\" >&3; "
    "( read -r -u 3 _; kill -TERM -- -$c; sleep 2; kill -KILL -- -$c ) & w=$!; "
    "wait $c; kill -KILL -- -$c; kill -KILL -- -$w; "
    // A killed process lingers until the kernel has torn it down; the end of the
    // lifeline promises the group has ended, so wait (bounded) until no live member
    // is left. Nothing signals the end of a group we are not the parent of.
    "live() { for s in /proc/[0-9]*/stat; do read -r l <\"$s\" || continue; set -- ${l##*\\) }; "
    "[ \"$3\" = \"$c\" ] && [ \"$1\" != Z ] && return 0; done; return 1; }; "
    "i=0; while live && [ $i -lt 60 ]; do sleep 0.05; i=$((i+1)); done; exit 0";

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

// A listening socket on a free loopback port for the lifeline; INVALID_SOCKET on failure.
SOCKET LifelineListener(int* port) {
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener == INVALID_SOCKET) return INVALID_SOCKET;
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof(addr);
    if (bind(listener, (sockaddr*)&addr, sizeof(addr)) != 0 || listen(listener, 1) != 0 ||
        getsockname(listener, (sockaddr*)&addr, &len) != 0) {
        closesocket(listener);
        return INVALID_SOCKET;
    }
    *port = ntohs(addr.sin_port);
    return listener;
}

// The shell's call on the lifeline; INVALID_SOCKET when none came in time.
SOCKET AcceptLifeline(SOCKET listener) {
    fd_set rfds;
    FD_ZERO(&rfds);
    FD_SET(listener, &rfds);
    timeval tv = {(long)(kLifelineAcceptMs / 1000), 0};
    return select(0, &rfds, nullptr, nullptr, &tv) > 0 ? accept(listener, nullptr, nullptr) : INVALID_SOCKET;
}

// The first line the shell writes: the engine's pid (0 when none came).
DWORD ReadEnginePid(SOCKET peer) {
    std::string line;
    DWORD start = GetTickCount();
    while (line.find('\n') == std::string::npos && GetTickCount() - start < kLifelinePidMs) {
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
    return (DWORD)strtoul(line.c_str(), nullptr, 10);
}

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

// ---- launching ------------------------------------------------------------------

bool EngineProcess::Launch(const std::wstring& exe) {
    const EngineSettings& settings = GetSettings();
    CefRefPtr<CefCommandLine> appLine = GetBrowserCommandLine();

    profileDir_ = settings.cachePath;
    while (!profileDir_.empty() && (profileDir_.back() == L'\\' || profileDir_.back() == L'/')) profileDir_.pop_back();
    tempProfile_ = profileDir_.empty();
    if (tempProfile_) {
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

    exited_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!exited_) {
        base::DiagFailure(L"engine", L"launch of %ls failed: no event (error %lu)", exe.c_str(), GetLastError());
        return false;
    }
    std::vector<std::string> args = Arguments(lang);
    return linux_ ? LaunchUnderWine(exe, args, lang) : LaunchWindows(exe, args);
}

std::vector<std::string> EngineProcess::Arguments(const std::string& lang) {
    const EngineSettings& settings = GetSettings();
    CefRefPtr<CefCommandLine> appLine = GetBrowserCommandLine();
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
    for (const std::string& a : FlashEmulator::EngineArguments()) args.push_back(a);
    args.push_back("about:blank");
    return args;
}

bool EngineProcess::LaunchWindows(const std::wstring& exe, const std::vector<std::string>& args) {
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
                        nullptr, nullptr, &si, &pi)) {
        base::DiagFailure(L"engine", L"launch of %ls failed (error %lu)", exe.c_str(), GetLastError());
        return false;
    }
    if (job_ && !AssignProcessToJobObject(job_, pi.hProcess)) {
        // Not in the job (our own job may forbid it), ending the job would miss it;
        // with no job, End ends the engine by its handle instead.
        CloseHandle(job_);
        job_ = nullptr;
    }
    ResumeThread(pi.hThread);
    CloseHandle(pi.hThread);
    process_ = pi.hProcess;
    pid_ = pi.dwProcessId;
    return true;
}

bool EngineProcess::LaunchUnderWine(const std::wstring& exe, const std::vector<std::string>& args,
                                    const std::string& lang) {
    WSADATA wsa;
    int error = WSAStartup(MAKEWORD(2, 2), &wsa);
    if (error != 0) {
        base::DiagFailure(L"engine", L"launch of %ls failed: no sockets (error %d)", exe.c_str(), error);
        return false;
    }
    int lifelinePort = 0;
    SOCKET listener = LifelineListener(&lifelinePort);
    if (listener == INVALID_SOCKET) {
        base::DiagFailure(L"engine", L"launch of %ls failed: no lifeline socket (error %d)", exe.c_str(),
                          WSAGetLastError());
        WSACleanup();
        return false;
    }
    // The engine's language for the environment, when it is a plain language tag.
    std::string language;
    const char* tagChars = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-";
    if (!lang.empty() && lang.find_first_not_of(tagChars) == std::string::npos) {
        language = lang;
        std::replace(language.begin(), language.end(), '-', '_');
    }
    std::wstring bash = FileExists(L"Z:\\bin\\bash") ? L"Z:\\bin\\bash" : L"Z:\\usr\\bin\\bash";
    std::wstring cmd = QuoteCommandLineArg(bash) + L" -c " + QuoteCommandLineArg(CefString(kLifelineScript).ToWString()) +
                       L" vornmark-engine " + std::to_wstring(lifelinePort) + L" " +
                       QuoteCommandLineArg(CefString(language).ToWString()) + L" " +
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
    if (!started)
        base::DiagFailure(L"engine", L"launch of %ls through %ls failed (error %lu)", exe.c_str(), bash.c_str(),
                          GetLastError());
    SOCKET peer = started ? AcceptLifeline(listener) : INVALID_SOCKET;
    closesocket(listener);
    if (peer == INVALID_SOCKET) {
        if (started) base::DiagFailure(L"engine", L"launch of %ls failed: the shell never called back", exe.c_str());
        WSACleanup();
        return false;
    }
    pid_ = ReadEnginePid(peer);
    lifeline_ = (uintptr_t)peer;
    lifelineThread_ = CreateThread(nullptr, 0, LifelineMain, this, 0, nullptr);
    if (!pid_ || !lifelineThread_) {
        base::DiagFailure(L"engine", L"launch of %ls failed: %ls", exe.c_str(),
                          pid_ ? L"no lifeline thread" : L"the shell named no engine pid");
        End();
        return false;
    }
    return true;
}

DWORD WINAPI EngineProcess::LifelineMain(LPVOID self) {
    EngineProcess* engine = static_cast<EngineProcess*>(self);
    char buf[256];
    while (recv((SOCKET)engine->lifeline_, buf, sizeof(buf), 0) > 0) {
    }
    SetEvent(engine->exited_);  // end-of-file: the shell and the engine's group have ended
    return 0;
}

// ---- waiting for the port ---------------------------------------------------------

bool EngineProcess::WaitForPort(DWORD timeoutMs) {
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
        if (r == WAIT_OBJECT_0) {
            base::DiagFailure(L"engine", L"the engine (pid %lu) ended before it named its DevTools port", pid_);
            break;
        }
        if (r == WAIT_OBJECT_0 + 1) FindNextChangeNotification(change);
    }
    if (change != INVALID_HANDLE_VALUE) FindCloseChangeNotification(change);
    if (!found && GetTickCount() - start >= timeoutMs)
        base::DiagFailure(L"engine", L"no DevTools port named in %lu ms (profile %ls)", timeoutMs, profileDir_.c_str());
    return found;
}

// ---- ending ------------------------------------------------------------------------

void EngineProcess::End() {
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

void EngineProcess::RemoveTempProfile() {
    if (tempProfile_) DeleteTree(profileDir_);
}

}  // namespace cef_internal
