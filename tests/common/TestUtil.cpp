#include "common/TestUtil.h"

#include <shellapi.h>
#include <cstdio>
#include "ui/AppManager.h"
#include "app/CacheCleaner.h"

namespace testutil {

TempDir::TempDir() {
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    static LONG counter = 0;
    wchar_t name[MAX_PATH];
    _snwprintf(name, MAX_PATH, L"%lsvmtest-%lu-%ld-%lu", base, GetCurrentProcessId(), InterlockedIncrement(&counter),
               GetTickCount());
    name[MAX_PATH - 1] = 0;
    path_ = name;
    CreateDirectoryW(path_.c_str(), nullptr);
}

TempDir::~TempDir() { DeleteDirectoryTree(path_.c_str()); }

std::wstring ModuleDir() {
    wchar_t path[MAX_PATH] = {0};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (wchar_t* slash = wcsrchr(path, L'\\')) *slash = 0;
    return path;
}

std::wstring ProductExe() {
    std::wstring dir = ModuleDir();
    size_t slash = dir.find_last_of(L'\\');
    return (slash == std::wstring::npos ? dir : dir.substr(0, slash)) + L"\\vornmark.exe";
}

bool CopyProductTo(const std::wstring& folder, std::wstring* exeOut) {
    std::wstring target = folder + L"\\vornmark.exe";
    if (exeOut) *exeOut = target;
    return CopyFileW(ProductExe().c_str(), target.c_str(), FALSE) != FALSE;
}

void WriteTextFile(const std::wstring& path, const std::string& bytes) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(f, bytes.data(), (DWORD)bytes.size(), &written, nullptr);
    CloseHandle(f);
}

std::string ReadTextFile(const std::wstring& path) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return std::string();
    std::string out;
    char buf[4096];
    DWORD got = 0;
    while (ReadFile(f, buf, sizeof(buf), &got, nullptr) && got) out.append(buf, got);
    CloseHandle(f);
    return out;
}

std::string ReadTextAsUtf8(const std::wstring& path) {
    std::string raw = ReadTextFile(path);
    std::wstring wide;
    if (raw.size() >= 2 && (unsigned char)raw[0] == 0xFF && (unsigned char)raw[1] == 0xFE) {
        wide.assign(reinterpret_cast<const wchar_t*>(raw.data() + 2), (raw.size() - 2) / 2);
    } else {
        int n = MultiByteToWideChar(CP_ACP, 0, raw.data(), (int)raw.size(), nullptr, 0);
        wide.resize(n > 0 ? n : 0);
        if (n > 0) MultiByteToWideChar(CP_ACP, 0, raw.data(), (int)raw.size(), &wide[0], n);
    }
    int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), (int)wide.size(), nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n : 0, '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, wide.data(), (int)wide.size(), &out[0], n, nullptr, nullptr);
    return out;
}

std::wstring ReadIni(const std::wstring& path, const wchar_t* section, const wchar_t* key) {
    wchar_t buf[1024] = {0};
    GetPrivateProfileStringW(section, key, L"<missing>", buf, 1024, path.c_str());
    return buf;
}

Child::~Child() { Kill(); }

bool Child::Start(const std::wstring& exe, const std::wstring& args, const std::wstring& dir) {
    std::wstring cmd = L"\"" + exe + L"\"" + (args.empty() ? L"" : L" " + args);
    std::vector<wchar_t> buf(cmd.begin(), cmd.end());
    buf.push_back(0);
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    return CreateProcessW(exe.c_str(), buf.data(), nullptr, nullptr, FALSE, 0, nullptr,
                          dir.empty() ? nullptr : dir.c_str(), &si, &pi_) != FALSE;
}

bool Child::Wait(DWORD ms, DWORD* exitCode) {
    if (!pi_.hProcess) return false;
    if (WaitForSingleObject(pi_.hProcess, ms) != WAIT_OBJECT_0) return false;
    if (exitCode) GetExitCodeProcess(pi_.hProcess, exitCode);
    return true;
}

void Child::Kill() {
    if (pi_.hProcess) {
        if (WaitForSingleObject(pi_.hProcess, 0) == WAIT_TIMEOUT) {
            TerminateProcess(pi_.hProcess, 1);
            WaitForSingleObject(pi_.hProcess, 5000);
        }
        CloseHandle(pi_.hProcess);
    }
    if (pi_.hThread) CloseHandle(pi_.hThread);
    pi_ = PROCESS_INFORMATION();
}

namespace {
struct EnumState {
    DWORD pid;
    const wchar_t* cls;
    bool visibleOnly;
    std::vector<HWND>* out;
};
BOOL CALLBACK EnumProc(HWND h, LPARAM lp) {
    EnumState* s = reinterpret_cast<EnumState*>(lp);
    DWORD pid = 0;
    GetWindowThreadProcessId(h, &pid);
    if (pid != s->pid) return TRUE;
    if (s->visibleOnly && !IsWindowVisible(h)) return TRUE;
    if (s->cls && s->cls[0]) {
        wchar_t cls[128] = {0};
        GetClassNameW(h, cls, 128);
        if (wcscmp(cls, s->cls) != 0) return TRUE;
    }
    s->out->push_back(h);
    return TRUE;
}
}  // namespace

std::vector<HWND> WindowsOfProcess(DWORD pid, const wchar_t* className, bool visibleOnly) {
    std::vector<HWND> out;
    EnumState s = {pid, className, visibleOnly, &out};
    EnumWindows(EnumProc, reinterpret_cast<LPARAM>(&s));
    return out;
}

HWND WaitForWindow(DWORD pid, const wchar_t* className, DWORD ms) {
    DWORD start = GetTickCount();
    for (;;) {
        std::vector<HWND> found = WindowsOfProcess(pid, className);
        if (!found.empty()) return found.front();
        if (GetTickCount() - start > ms) return nullptr;
        // Another process's window cannot be waited on; look again shortly.
        Sleep(50);
    }
}

namespace {
class BodyManager : public CAppManager {
public:
    explicit BodyManager(const std::function<void()>& body) : body_(body) {}
    bool OnInit() override {
        body_();
        return false;
    }

private:
    const std::function<void()>& body_;
};
}  // namespace

void RunWithManager(const std::function<void()>& body) {
    BodyManager m(body);
    m.Run();
}

void PumpFor(DWORD ms) {
    PumpUntil([] { return false; }, ms);
}

bool PumpUntil(const std::function<bool()>& done, DWORD ms) {
    DWORD start = GetTickCount();
    MSG msg;
    for (;;) {
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (done()) return true;
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= ms) return done();
        MsgWaitForMultipleObjects(0, nullptr, FALSE, ms - elapsed < 20 ? ms - elapsed : 20, QS_ALLINPUT);
    }
}

}  // namespace testutil
