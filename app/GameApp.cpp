#include "app/GameApp.h"

#include <shlobj.h>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>
#include "app/CacheCleaner.h"
#include "app/Settings.h"
#include "BuildConfig.h"
#include "app/Statistics.h"
#include "base/Diagnostics.h"
#include "base/Text.h"
#include "browser/ClientApp.h"
#include "browser/UserNameExchange.h"
#include "frame/FrameGame.h"

namespace {
gameApp* g_app = nullptr;

// Bounded "%s\%s" of two wide texts, cut to fit.
void JoinPath(wchar_t* out, size_t units, const wchar_t* folder, const wchar_t* name) {
    _snwprintf(out, units, L"%ls\\%ls", folder, name);
    out[units - 1] = 0;
}
}  // namespace

gameApp::gameApp()
    : clearCacheRequested(false), instanceMutex(nullptr), firstInstance(false), agentId(0), siteId(0),
      frame(nullptr) {
    memset(moduleDir, 0, sizeof(moduleDir));
    memset(cachePath, 0, sizeof(cachePath));
    memset(settingsPath, 0, sizeof(settingsPath));
    memset(startUrl, 0, sizeof(startUrl));
    memset(userNameAnsi, 0, sizeof(userNameAnsi));
    memset(userName, 0, sizeof(userName));
    g_app = this;
    g_toolkitInstance = nullptr;
}

gameApp::~gameApp() {
    if (g_app == this) g_app = nullptr;
}

gameApp* gameApp::Current() { return g_app; }

bool gameApp::OnInit() {
    clearCacheRequested = false;
    {
        std::lock_guard<std::mutex> lock(userNameLock);
        memset(userName, 0, sizeof(userName));
        memset(userNameAnsi, 0, sizeof(userNameAnsi));
    }
    memset(moduleDir, 0, sizeof(moduleDir));
    memset(startUrl, 0, sizeof(startUrl));

    GetModuleFileNameW(GetModuleHandleW(nullptr), moduleDir, MAX_PATH);
    moduleDir[MAX_PATH - 1] = 0;
    if (wchar_t* slash = wcsrchr(moduleDir, L'\\')) *slash = 0;

    // Before the split, so every sub-process filters its own launches too.
    launchFilter.Install();

    CefMainArgs mainArgs(GetModuleHandleW(nullptr));
    CefRefPtr<ClientApp> clientApp = new ClientApp();
    using namespace std::placeholders;
    clientApp->processMessageCallback = std::bind(&gameApp::OnRenderProcessMessage, this, _1, _2, _3);
    CefRefPtr<CefApp> app = clientApp;

    if (CefExecuteProcess(mainArgs, app, nullptr) >= 0) return true;
    RunBrowserProcess(mainArgs, app);
    return false;
}

bool gameApp::RunBrowserProcess(const CefMainArgs& mainArgs, CefRefPtr<CefApp> app) {
    base::StartupStep(L"browser process");
    char appData[256] = {0};
    char cacheAnsi[256] = {0};
    SHGetSpecialFolderPathA(nullptr, appData, CSIDL_LOCAL_APPDATA, FALSE);
    _snprintf(cacheAnsi, sizeof(cacheAnsi), "%s\\%s", appData, "vorn");
    cacheAnsi[sizeof(cacheAnsi) - 1] = 0;
    MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, cacheAnsi, -1, cachePath, MAX_PATH);
    cachePath[MAX_PATH - 1] = 0;

    JoinPath(settingsPath, MAX_PATH, moduleDir, L"Config.ini");

    HANDLE mutex = CreateMutexW(nullptr, FALSE, L"vorn");
    DWORD mutexError = GetLastError();
    firstInstance = mutex && mutexError != ERROR_ALREADY_EXISTS;
    if (mutex && !firstInstance) {
        CloseHandle(mutex);
        mutex = nullptr;
    }
    instanceMutex = mutex;

    if (firstInstance) {
        if (IniReadInt(settingsPath, L"Common", L"ClearCache") != 0) DeleteDirectoryTree(cachePath);
        IniWriteString(settingsPath, L"Common", L"ClearCache", L"0");
    }

    CefSettings settings;
    settings.no_sandbox = 1;
    settings.multi_threaded_message_loop = 1;
    settings.command_line_args_disabled = 1;
    // Certificates are checked: ignoring their errors let anybody on the player's
    // network pose as any HTTPS site, the portal's login among them. The game's own
    // private certificates are named by their public keys instead (ClientApp).
    settings.ignore_certificate_errors = 0;
    CefString(&settings.cache_path) = cachePath;
    CefString(&settings.accept_language_list) = L"zh_cn";
    base::StartupStep(L"cache cleared, layer initialising");
    CefInitialize(mainArgs, settings, app, nullptr);
    base::StartupStep(L"layer initialised");

    IniWriteString(settingsPath, L"GameInfo", L"Version", VORNMARK_VERSION_TEXT_W);

    agentId = IniReadInt(settingsPath, L"Common", L"UID");
    siteId = IniReadInt(settingsPath, L"Common", L"ADV");
    int runCount = IniReadInt(settingsPath, L"Common", L"RunCount");
    std::wstring installTime = IniReadString(settingsPath, L"Install", L"InstallTime");

    BuildStartUrl(startUrl, sizeof(startUrl) / sizeof(startUrl[0]), installTime.c_str(), agentId, siteId, runCount);
    if (runCount == 0) SendInstallReport(agentId, siteId);

    // The count cannot wrap past the largest value it can hold.
    IniWriteInt(settingsPath, L"Common", L"RunCount", runCount < INT_MAX ? runCount + 1 : runCount);

    {
        CFrameGame game;
        frame = &game;
        base::StartupStep(L"settings written, frame being made");
        game.CreateAndRun();
        if (game.inGameLayout) {
            wchar_t now[32];
            _snwprintf(now, 32, L"%I64u", (unsigned long long)_time64(nullptr));
            now[31] = 0;
            IniWriteString(settingsPath, L"Extension", L"out_time", now);
            IniWriteString(settingsPath, L"Extension", L"Counts", L"0");
        }
        frame = nullptr;
    }

    char nameAnsi[64];
    CopyUserNameAnsi(nameAnsi, sizeof(nameAnsi));
    SendCloseReport(agentId, siteId, nameAnsi);

    wchar_t name[64];
    CopyUserName(name, 64);
    IniWriteString(settingsPath, L"Common", L"user_name", name);

    if (instanceMutex) {
        CloseHandle(instanceMutex);
        instanceMutex = nullptr;
    }
    CefShutdown();
    if (clearCacheRequested) IniWriteString(settingsPath, L"Common", L"ClearCache", L"1");
    settings.Reset();
    return false;
}

int gameApp::PreTranslateMessage(MSG* msg) {
    WPARAM command = FrameCommandForKey(*msg);
    CFrameGame* game = frame;
    if (command && game && game->inGameLayout) PostMessageW(game->hwnd, WM_FRAME_COMMAND, command, 0);
    return 0;
}

void gameApp::SetUserName(const wchar_t* name) {
    // The name ends up in the settings file, one value per line: a line break
    // from the page would write keys of its own. Control characters go.
    std::wstring wide;
    for (const wchar_t* p = name; p && *p; ++p)
        if (*p >= 0x20 && *p != 0x7F) wide += *p;
    base::CutUtf16(wide, sizeof(userName) / sizeof(userName[0]) - 1);
    std::string ansi = base::NarrowFromWide(wide, CP_ACP);
    ansi.resize(base::CodePageCutLength(ansi.data(), ansi.size(), sizeof(userNameAnsi) - 1, CP_ACP));
    std::lock_guard<std::mutex> lock(userNameLock);
    memset(userName, 0, sizeof(userName));
    wmemcpy(userName, wide.data(), wide.size());
    memset(userNameAnsi, 0, sizeof(userNameAnsi));
    memcpy(userNameAnsi, ansi.data(), ansi.size());
}

void gameApp::CopyUserName(wchar_t* out, size_t units) {
    if (!out || !units) return;
    std::lock_guard<std::mutex> lock(userNameLock);
    wcsncpy(out, userName, units - 1);
    out[units - 1] = 0;
}

void gameApp::CopyUserNameAnsi(char* out, size_t bytes) {
    if (!out || !bytes) return;
    std::lock_guard<std::mutex> lock(userNameLock);
    strncpy(out, userNameAnsi, bytes - 1);
    out[bytes - 1] = 0;
}

// Renderer: the user-name exchange answers the browser process's request (its
// main thread; userNameAnsi is still read and written under userNameLock).
bool gameApp::OnRenderProcessMessage(CefRefPtr<CefBrowser> browser, CefProcessId source,
                                     CefRefPtr<CefProcessMessage> message) {
    using std::placeholders::_1;
    return username::HandleRequest(browser, source, message, std::bind(&gameApp::ReadLoginUser, this, _1), [this] {
        std::lock_guard<std::mutex> lock(userNameLock);
        return std::string(userNameAnsi);
    });
}

void gameApp::ReadLoginUser(CefRefPtr<CefDOMDocument> document) {
    std::string name;
    if (!username::ReadLoginUser(document, &name)) return;
    std::lock_guard<std::mutex> lock(userNameLock);
    static_assert(sizeof(userNameAnsi) == username::kNameBytes, "the exchange cuts names to this field");
    memset(userNameAnsi, 0, sizeof(userNameAnsi));
    memcpy(userNameAnsi, name.data(), std::min(name.size(), sizeof(userNameAnsi) - 1));
}
