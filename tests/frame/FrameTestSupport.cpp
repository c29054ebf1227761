#include "FrameTestSupport.h"
#include <gtest/gtest.h>

#include <cstdio>
#include "base/MessageWait.h"
#include "common/TestUtil.h"
#include "frame/FrameGame.h"

namespace frametest {

namespace {
class TestApp : public gameApp {
public:
    explicit TestApp(const std::function<void(gameApp&)>& body) : body_(body) {}
    bool OnInit() override {
        GetModuleFileNameW(nullptr, moduleDir, MAX_PATH);
        if (wchar_t* slash = wcsrchr(moduleDir, L'\\')) *slash = 0;
        body_(*this);
        return false;
    }

private:
    const std::function<void(gameApp&)>& body_;
};

const wchar_t kBrowserKey[] = L"Software\\Wine\\WineBrowser";
}  // namespace

void RunInApp(const std::function<void(gameApp&)>& body) {
    // No engine: the browser layer finds nothing to start and stays quiet.
    SetEnvironmentVariableW(L"VORNMARK_ENGINE", L"Z:\\nonexistent\\vornmark-no-engine");
    TestApp app(body);
    app.Run();
}

void RunWithFrame(const std::function<void(gameApp&, CFrameGame&)>& body) {
    RunInApp([&](gameApp& app) {
        CFrameGame game;
        app.frame = &game;
        if (game.CreateWindows())
            body(app, game);
        else
            ADD_FAILURE() << "the frame's windows were not created";
        CloseFrame(game);
        app.frame = nullptr;
    });
}

bool GameLayoutShown(CFrameGame& game) {
    HWND frame = game.hwnd;
    if (!IsWindow(frame) || !IsZoomed(frame) || !IsWindowVisible(frame)) return false;
    RECT client;
    GetClientRect(frame, &client);
    CImageButton* close = game.panel.FindButton(10);
    return close && close->rect.right == client.right - 1;
}

bool EnterGame(CFrameGame& game) {
    PostMessageW(game.hwnd, WM_FRAME_COMMAND, FRAME_CMD_ENTER_GAME, 0);
    return testutil::PumpUntil([&] { return GameLayoutShown(game); }, kWait);
}

void CloseFrame(CFrameGame& game) {
    if (IsWindow(game.hwnd)) DestroyWindow(game.hwnd);
    testutil::PumpFor(50);
}

bool WaitOn(const std::function<bool()>& done, DWORD ms) {
    DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start > ms) return done();
        // The state lives in another thread's windows; look again shortly.
        Sleep(20);
    }
    return true;
}

POINT Centre(const RECT& r) { return POINT{(r.left + r.right) / 2, (r.top + r.bottom) / 2}; }

void PlaceCursor(int x, int y) {
    // Under Wine the move reaches the X server and comes back as pointer
    // motion; until it has, a stale position can still be reported.
    for (int attempt = 0; attempt < 3; ++attempt) {
        SetCursorPos(x, y);
        POINT p = {-1, -1};
        WaitOn([&] { return GetCursorPos(&p) && p.x == x && p.y == y; }, 1000);
        Sleep(50);
        if (GetCursorPos(&p) && p.x == x && p.y == y) return;
    }
}

void PostMouseMove(HWND hwnd, int x, int y) {
    POINT screen = {x, y};
    ClientToScreen(hwnd, &screen);
    // The window must be the one under the cursor, or the system's mouse
    // tracking reports the mouse gone as soon as the panel starts tracking it.
    WaitOn([&] {
        HWND under = WindowFromPoint(screen);
        return under == hwnd || IsChild(hwnd, under);
    }, kWait);
    PlaceCursor(screen.x, screen.y);
    PostMessageW(hwnd, WM_MOUSEMOVE, 0, MAKELPARAM(x, y));
}

void PostClick(HWND hwnd, int x, int y) {
    PostMouseMove(hwnd, x, y);
    PostMessageW(hwnd, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(x, y));
    PostMessageW(hwnd, WM_LBUTTONUP, 0, MAKELPARAM(x, y));
}

std::vector<HWND> OwnWindows(const wchar_t* className, bool visibleOnly) {
    return testutil::WindowsOfProcess(GetCurrentProcessId(), className, visibleOnly);
}

UrlRecorder::UrlRecorder() : ok_(false), hadValue_(false) {
    wchar_t name[64];
    _snwprintf(name, 64, L"vm-frame-urls-%lu-%lu.txt", GetCurrentProcessId(), GetTickCount());
    name[63] = 0;
    std::wstring unixPath = std::wstring(L"/tmp/") + name;
    windowsPath_ = std::wstring(L"Z:\\tmp\\") + name;
    DeleteFileW(windowsPath_.c_str());

    HKEY key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kBrowserKey, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return;
    wchar_t old[1024] = {0};
    DWORD size = sizeof(old) - sizeof(wchar_t), type = 0;
    if (RegQueryValueExW(key, L"Browsers", nullptr, &type, (BYTE*)old, &size) == ERROR_SUCCESS && type == REG_SZ) {
        hadValue_ = true;
        previous_ = old;
    }
    std::wstring command = L"/bin/sh -c \"echo \\\"$0\\\" >> " + unixPath + L"\"";
    ok_ = RegSetValueExW(key, L"Browsers", 0, REG_SZ, (const BYTE*)command.c_str(),
                         (DWORD)((command.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
    RegCloseKey(key);
}

UrlRecorder::~UrlRecorder() {
    HKEY key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kBrowserKey, 0, KEY_WRITE, &key) == ERROR_SUCCESS) {
        if (hadValue_)
            RegSetValueExW(key, L"Browsers", 0, REG_SZ, (const BYTE*)previous_.c_str(),
                           (DWORD)((previous_.size() + 1) * sizeof(wchar_t)));
        else
            RegDeleteValueW(key, L"Browsers");
        RegCloseKey(key);
    }
    DeleteFileW(windowsPath_.c_str());
}

std::vector<std::string> UrlRecorder::Lines() const {
    std::string text = testutil::ReadTextFile(windowsPath_);
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) break;  // a line still being written
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

bool UrlRecorder::WaitFor(size_t count, DWORD ms) const {
    return testutil::PumpUntil([&] { return Lines().size() >= count; }, ms);
}

bool FakeBrowser::SendProcessMessage(CefProcessId target, CefRefPtr<CefProcessMessage> message) {
    Sent s;
    s.target = target;
    if (message) {
        s.name = message->GetName().ToWString();
        CefRefPtr<CefListValue> args = message->GetArgumentList();
        for (size_t i = 0; args && i < args->GetSize(); ++i) s.args.push_back(args->GetString((int)i).ToWString());
    }
    std::lock_guard<std::mutex> guard(lock_);
    sent_.push_back(s);
    return true;
}

std::vector<FakeBrowser::Sent> FakeBrowser::SentMessages() {
    std::lock_guard<std::mutex> guard(lock_);
    return sent_;
}

namespace {
DWORD WINAPI RunWork(void* p) {
    (*static_cast<const std::function<void()>*>(p))();
    return 0;
}
}  // namespace

void OnEngineThread(const std::function<void()>& work) {
    HANDLE thread = CreateThread(nullptr, 0, RunWork, const_cast<std::function<void()>*>(&work), 0, nullptr);
    if (!thread) return;
    base::WaitServingSentMessages(&thread, 1);
    CloseHandle(thread);
}

}  // namespace frametest
