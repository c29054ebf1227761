#include "src/view/embed_view.h"

#include <map>
#include <memory>
#include <mutex>
#include <vector>
#include "src/api/cef_context.h"
#include "src/engine/engine_process.h"

using nlohmann::json;

namespace cef_internal {
namespace {

const wchar_t kHoleClass[] = L"CefEmbedHole";
const DWORD kCloseAckMs = 1000;
// A forwarded key's report comes back within milliseconds; older ones are forgotten.
const DWORD kEchoMs = 2000;

UINT UpdateMessage() {
    static UINT id = RegisterWindowMessageW(L"VornmarkEmbedUpdate");
    return id;
}

LRESULT CALLBACK HoleProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_ERASEBKGND:
        return 1;
    case WM_PAINT:
        ValidateRect(hwnd, nullptr);  // the engine's window covers it
        return 0;
    case WM_NCHITTEST:
        return HTTRANSPARENT;
    default:
        return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
}

bool RegisterHoleClass() {
    static bool registered = false;
    if (registered) return true;
    WNDCLASSEXW wc = {sizeof(wc)};
    wc.style = CS_OWNDC;
    wc.lpfnWndProc = HoleProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = kHoleClass;
    registered = RegisterClassExW(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
    return registered;
}

// Gives `hwnd` a pixel format: Wine then leaves its area out of the top-level's
// drawing. False when there is no GL to be had.
bool GivePixelFormat(HWND hwnd) {
    static HMODULE gl = LoadLibraryW(L"opengl32.dll");  // kept for the process' life
    if (!gl) return false;
    HDC dc = GetDC(hwnd);
    if (!dc) return false;
    PIXELFORMATDESCRIPTOR pfd = {};
    pfd.nSize = sizeof(pfd);
    pfd.nVersion = 1;
    pfd.dwFlags = PFD_DRAW_TO_WINDOW | PFD_SUPPORT_OPENGL | PFD_DOUBLEBUFFER;
    pfd.iPixelType = PFD_TYPE_RGBA;
    pfd.cColorBits = 24;
    int format = ChoosePixelFormat(dc, &pfd);
    bool ok = format && SetPixelFormat(dc, format, &pfd);
    ReleaseDC(hwnd, dc);
    return ok;
}

HWND CreateHole(HWND parent) {
    if (!RegisterHoleClass()) return nullptr;
    RECT rc;
    GetClientRect(parent, &rc);
    HWND hole = CreateWindowExW(WS_EX_NOPARENTNOTIFY, kHoleClass, L"", WS_CHILD | WS_CLIPSIBLINGS | WS_DISABLED, 0,
                                0, rc.right, rc.bottom, parent, nullptr, GetModuleHandleW(nullptr), nullptr);
    if (hole && !GivePixelFormat(hole)) {
        DestroyWindow(hole);
        hole = nullptr;
    }
    return hole;
}

// ---- watching the ancestors ---------------------------------------------------------
//
// A browser window hears nothing when an ancestor moves, hides or is disabled, and
// its ancestors are often another thread's. A hook on the threads of its top-level
// and of its own sees those messages and posts the browser window a note.

struct Watch {
    HWND browser;
    DWORD thread;  // a thread whose windows are watched for it
    std::shared_ptr<std::atomic<bool>> pending;  // an update note is on its way
};

std::mutex g_watchLock;  // guards g_watches: the hooks read it on the watched threads
std::vector<Watch> g_watches;
// Hooks by thread, with their users; engine UI thread only.
std::map<DWORD, std::pair<HHOOK, int>> g_hooks;

void NoteAncestorChange(HWND changed) {
    DWORD thread = GetCurrentThreadId();
    std::lock_guard<std::mutex> guard(g_watchLock);
    for (const Watch& w : g_watches) {
        if (w.thread != thread || !(changed == w.browser || IsChild(changed, w.browser))) continue;
        if (!w.pending->exchange(true)) PostMessageW(w.browser, UpdateMessage(), 0, 0);
    }
}

LRESULT CALLBACK SentHook(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HC_ACTION) {
        const CWPRETSTRUCT* c = reinterpret_cast<const CWPRETSTRUCT*>(lParam);
        switch (c->message) {
        case WM_WINDOWPOSCHANGED:
        case WM_SHOWWINDOW:
        case WM_ENABLE:
        case WM_SIZE:
            NoteAncestorChange(c->hwnd);
            break;
        default:
            break;
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

void HookThread(DWORD thread) {
    auto& h = g_hooks[thread];
    if (h.second++ == 0) h.first = SetWindowsHookExW(WH_CALLWNDPROCRET, SentHook, nullptr, thread);
}

void UnhookThread(DWORD thread) {
    auto it = g_hooks.find(thread);
    if (it == g_hooks.end() || --it->second.second > 0) return;
    if (it->second.first) UnhookWindowsHookEx(it->second.first);
    g_hooks.erase(it);
}

// ---- acknowledgements of the host ---------------------------------------------------

std::mutex g_ackLock;  // the acknowledgements come on the channel's reader thread
std::map<int, HANDLE> g_acks;
int g_nextAck = 1;

bool ExtendedKey(const std::string& code) {
    static const char* const kExtended[] = {"ArrowUp", "ArrowDown", "ArrowLeft", "ArrowRight", "Insert", "Delete",
                                            "Home", "End", "PageUp", "PageDown", "NumpadEnter", "NumpadDivide",
                                            "ControlRight", "AltRight", "MetaLeft", "MetaRight", "ContextMenu",
                                            "PrintScreen", "NumLock"};
    for (const char* name : kExtended)
        if (code == name) return true;
    return false;
}

INPUT KeyInput(WORD vk, bool up, bool extended) {
    INPUT in = {};
    in.type = INPUT_KEYBOARD;
    in.ki.wVk = vk;
    in.ki.wScan = (WORD)MapVirtualKeyW(vk, MAPVK_VK_TO_VSC);
    in.ki.dwFlags = (up ? KEYEVENTF_KEYUP : 0) | (extended ? KEYEVENTF_EXTENDEDKEY : 0);
    return in;
}

// The page's modifier bits (Alt 1, Ctrl 2, Meta 4, Shift 8) as hot key modifiers.
UINT HotKeyModifiers(int page) {
    return ((page & 1) ? MOD_ALT : 0) | ((page & 2) ? MOD_CONTROL : 0) | ((page & 8) ? MOD_SHIFT : 0) |
           ((page & 4) ? MOD_WIN : 0);
}

// Whether the host reports keys pressed in the engine's windows (see HostSeesKey).
// Engine UI thread only: set at the host's first word, read by the views.
bool g_hostKeys = false;

// The keys the host reports straight from X when they are pressed in a page
// (xembed.py's hot_key_candidate): F1 to F24, and letters and digits with Alt,
// Ctrl or the Windows key held (`modifiers` as the page's: Alt 1, Ctrl 2, Meta 4).
bool HostSeesKey(int vk, int modifiers) {
    bool plain = (vk >= 'A' && vk <= 'Z') || (vk >= '0' && vk <= '9');
    return (vk >= VK_F1 && vk <= VK_F24) || (plain && (modifiers & 7) != 0);
}

// Whether somebody holds this combination as a hot key: registering it then fails.
bool IsHotKey(HWND probe, UINT modifiers, UINT vk) {
    const int kProbeId = 0xBFF0;
    if (RegisterHotKey(probe, kProbeId, modifiers | MOD_NOREPEAT, vk)) {
        UnregisterHotKey(probe, kProbeId);
        return false;
    }
    return GetLastError() == ERROR_HOTKEY_ALREADY_REGISTERED;
}

}  // namespace

namespace {
int g_pixelFormat = -1;  // engine UI thread: -1 not tried yet, 0 none to be had, 1 had

bool EmbeddingAsked(bool linuxEngine) {
    wchar_t value[32] = {0};
    DWORD n = GetEnvironmentVariableW(L"VORNMARK_ENGINE_VIEW", value, 32);
    if (n > 0 && n < 32 && wcscmp(value, L"screencast") == 0) return false;
    return linuxEngine && UnderWine() && GetEnvironmentVariableW(L"DISPLAY", value, 32);
}
}  // namespace

bool EmbeddingPossible(bool linuxEngine) {
    return g_pixelFormat != 0 && EmbeddingAsked(linuxEngine);
}

bool EmbeddingWanted(bool linuxEngine) {
    if (!EmbeddingPossible(linuxEngine)) return false;
    if (g_pixelFormat < 0) {
        // A pixel format is what keeps Wine from drawing over the engine's window: tried
        // once on a window nobody sees.
        HWND probe = CreateWindowExW(WS_EX_TOOLWINDOW, L"STATIC", L"", WS_POPUP, -100, -100, 10, 10, nullptr,
                                     nullptr, GetModuleHandleW(nullptr), nullptr);
        HWND hole = probe ? CreateHole(probe) : nullptr;
        g_pixelFormat = hole ? 1 : 0;
        if (probe) DestroyWindow(probe);
    }
    return g_pixelFormat == 1;
}

EmbedView::EmbedView(HWND browserWindow, int number, Sender send)
    : window_(browserWindow), number_(number), send_(std::move(send)) {
    Renew(0);
    hole_ = CreateHole(window_);
    HWND root = GetAncestor(window_, GA_ROOT);
    DWORD threads[2] = {GetCurrentThreadId(), root ? GetWindowThreadProcessId(root, nullptr) : 0};
    std::shared_ptr<std::atomic<bool>> pending = std::make_shared<std::atomic<bool>>(false);
    if (threads[1] == threads[0]) threads[1] = 0;
    {
        std::lock_guard<std::mutex> guard(g_watchLock);
        for (DWORD t : threads)
            if (t) g_watches.push_back(Watch{window_, t, pending});
    }
    for (DWORD t : threads)
        if (t) HookThread(t);
}

EmbedView::~EmbedView() {
    DWORD threads[2] = {0, 0};
    int n = 0;
    {
        std::lock_guard<std::mutex> guard(g_watchLock);
        for (auto it = g_watches.begin(); it != g_watches.end();) {
            if (it->browser == window_) {
                if (n < 2) threads[n++] = it->thread;
                it = g_watches.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (int i = 0; i < n; ++i) UnhookThread(threads[i]);
    if (hole_ && IsWindow(hole_)) DestroyWindow(hole_);
}

std::string EmbedView::Placeholder(const std::string& token) {
    // A blank page whose address (and so the window class the engine derives from it)
    // carries the token.
    return "data:text/html,<!--" + token + "-->";
}

std::string EmbedView::MakeToken(const std::string& which, unsigned generation) {
    return "vmview-" + std::to_string(GetCurrentProcessId()) + "-" + which + "-" + std::to_string(generation);
}

void EmbedView::Renew(unsigned generation, const std::string& token) {
    token_ = !token.empty() ? token : MakeToken(std::to_string(number_), generation);
    placeholderUrl_ = Placeholder(token_);
    haveWindow_ = false;
    sentPlace_ = json();
}

void EmbedView::Send(const json& command) {
    if (send_) send_(command.dump());
}

void EmbedView::Open() {
    insetTop_ = 0;
    Send({{"open", number_}, {"token", token_}, {"url", placeholderUrl_}});
    Update();
}

void EmbedView::Claim(int left, int top, int insetTop) {
    insetTop_ = insetTop;
    Send({{"claim", number_}, {"left", left}, {"top", top}});
    Update();
}

void EmbedView::ScheduleUpdate() {
    if (updatePending_) return;
    updatePending_ = true;
    PostMessageW(window_, UpdateMessage(), 0, 0);
}

void EmbedView::Update() {
    updatePending_ = false;
    {
        std::lock_guard<std::mutex> guard(g_watchLock);
        for (const Watch& w : g_watches)
            if (w.browser == window_) w.pending->store(false);
    }
    HWND root = GetAncestor(window_, GA_ROOT);
    if (!root || IsIconic(root)) return;  // Wine keeps a minimised window's X window out of sight
    SetInput(IsWindowEnabled(root) && IsWindowEnabled(window_));
    RECT client;
    GetClientRect(window_, &client);
    int w = client.right, h = client.bottom;
    bool show = haveWindow_ && !suspended_ && IsWindowVisible(window_) && w > 0 && h > 0;
    if (hole_) {
        RECT hr;
        GetClientRect(hole_, &hr);
        if (hr.right != w || hr.bottom != h) SetWindowPos(hole_, nullptr, 0, 0, w, h, SWP_NOZORDER | SWP_NOACTIVATE);
        // Shown first, hidden last: Wine never draws where the engine's window is.
        if (show) ShowWindow(hole_, SW_SHOWNA);
    }
    uintptr_t whole = (uintptr_t)GetPropW(root, L"__wine_x11_whole_window");
    if (whole) {
        // Wine's X window of an undecorated top-level covers its window rectangle.
        POINT origin = {0, 0};
        ClientToScreen(window_, &origin);
        RECT rootRect;
        GetWindowRect(root, &rootRect);
        json place = {{"place", number_},
                      {"parent", (unsigned long long)whole},
                      {"x", origin.x - rootRect.left},
                      {"y", origin.y - rootRect.top},
                      {"w", std::max(1, w)},
                      {"h", std::max(1, h)},
                      {"show", show},
                      {"inset", {0, insetTop_, 0, 0}}};
        if (place != sentPlace_) {
            Send(place);
            sentPlace_ = place;
        }
    }
    if (hole_ && !show) ShowWindow(hole_, SW_HIDE);
    if (shown_ != show) {
        shown_ = show;
        // What the browser window paints itself now shows, or stops showing.
        InvalidateRect(window_, nullptr, FALSE);
    }
}

void EmbedView::SetInput(bool enabled) {
    if (enabled == inputEnabled_) return;
    inputEnabled_ = enabled;
    Send({{"input", number_}, {"enabled", enabled}});
}

void EmbedView::SetFrozen(bool frozen) { Send({{"freeze", number_}, {"on", frozen}}); }

void EmbedView::SetSuspended(bool suspended) {
    if (suspended_ == suspended) return;
    suspended_ = suspended;
    Update();
}

bool EmbedView::HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT* result) {
    if (msg == UpdateMessage()) {
        Update();
        *result = 0;
        return true;
    }
    switch (msg) {
    case WM_SIZE:
    case WM_WINDOWPOSCHANGED:
    case WM_SHOWWINDOW:
    case WM_ENABLE:
        ScheduleUpdate();
        return false;
    case WM_KEYDOWN:
    case WM_KEYUP:
    case WM_SYSKEYDOWN:
    case WM_SYSKEYUP:
        mirroredChars_ = (lParam & kMirroredKeyBit) || GetMessageExtraInfo() == (LPARAM)kTypedKeyMark;
        if (!mirroredChars_) return false;
        // A key the page has had already: Wine's part of it only (Alt+F4, the
        // window menu); the page must not get it twice.
        *result = (msg == WM_SYSKEYDOWN || msg == WM_SYSKEYUP) ? DefWindowProcW(window_, msg, wParam, lParam) : 0;
        return true;
    case WM_CHAR:
    case WM_SYSCHAR:
    case WM_DEADCHAR:
    case WM_SYSDEADCHAR:
        if (!mirroredChars_) return false;
        *result = 0;
        return true;
    default:
        return false;
    }
}

void EmbedView::OnWindowEvent(const json& event) {
    if (event.contains("window")) {
        haveWindow_ = true;
        Update();
    } else if (event.contains("gone")) {
        haveWindow_ = false;
        Update();
    } else if (event.contains("key")) {
        OnHostKey(JsonInt(event, "vk"), JsonInt(event, "m"));
    } else if (event.contains("pressed")) {
        HWND root = GetAncestor(window_, GA_ROOT);
        if (!inputEnabled_) {
            // As on a disabled window: its enabled popup (the modal dialog) comes forward.
            HWND popup = root ? GetLastActivePopup(root) : nullptr;
            if (popup && popup != root) SetForegroundWindow(popup);
            return;
        }
        // As a click into the browser window: the top-level comes forward and the
        // keys typed away from the page go to the browser window.
        if (root && GetForegroundWindow() != root) SetForegroundWindow(root);
        if (GetFocus() != window_) ::SetFocus(window_);
    }
}

void EmbedView::OnPageKey(const json& key) {
    int vk = JsonInt(key, "k");
    bool up = JsonInt(key, "d") == 0;
    // Keys the page got from us have been Wine's already.
    if (IsEcho(vk, !up)) return;
    if (vk <= 0 || vk > 0xFE || vk == VK_PROCESSKEY) return;
    int modifiers = JsonInt(key, "m");
    bool extended = ExtendedKey(JsonString(key, "c"));
    bool modifierKey = vk == VK_SHIFT || vk == VK_CONTROL || vk == VK_MENU || vk == VK_LWIN || vk == VK_RWIN;
    if (!up && !modifierKey && IsHotKey(window_, HotKeyModifiers(modifiers), (UINT)vk)) {
        // Somebody's hot key (the boss key). The host has told it already when it
        // sees such keys: the page's report comes behind whatever the page keeps
        // the engine busy with (a title changed thousands of times a second).
        if (!(g_hostKeys && HostSeesKey(vk, modifiers))) TypeHotKey(vk, modifiers, extended);
        hotKeyDown_ = vk;
        return;
    }
    if (up && vk == hotKeyDown_) {
        hotKeyDown_ = 0;
        return;
    }
    // The message the key would have been in the browser window, marked as had.
    bool alt = (modifiers & 1) != 0;
    bool system = (alt && !(modifiers & 2)) || vk == VK_F10 || (vk == VK_MENU && !(modifiers & 2));
    UINT msg = system ? (up ? WM_SYSKEYUP : WM_SYSKEYDOWN) : (up ? WM_KEYUP : WM_KEYDOWN);
    LPARAM lParam = 1 | ((LPARAM)(MapVirtualKeyW(vk, MAPVK_VK_TO_VSC) & 0xFF) << 16) | (extended ? 1 << 24 : 0) |
                    kMirroredKeyBit | (alt ? 1 << 29 : 0) | ((up || JsonInt(key, "r")) ? 1 << 30 : 0);
    if (up) lParam |= (LPARAM)1 << 31;
    PostMessageW(window_, msg, (WPARAM)vk, lParam);
}

void EmbedView::OnHostKey(int vk, int modifiers) {
    if (!HostSeesKey(vk, modifiers) || !IsHotKey(window_, HotKeyModifiers(modifiers), (UINT)vk)) return;
    TypeHotKey(vk, modifiers, false);
    hotKeyDown_ = vk;  // the page's own reports of it are then not passed on
}

void EmbedView::TypeHotKey(int vk, int modifiers, bool extended) {
    // Typed into Wine, whose hot key handling takes it; its modifiers around it, as held.
    std::vector<INPUT> keys;
    const struct {
        int bit;
        WORD vk;
    } kModifiers[] = {{1, VK_MENU}, {2, VK_CONTROL}, {8, VK_SHIFT}, {4, VK_LWIN}};
    for (const auto& m : kModifiers)
        if (modifiers & m.bit) keys.push_back(KeyInput(m.vk, false, false));
    keys.push_back(KeyInput((WORD)vk, false, extended));
    keys.push_back(KeyInput((WORD)vk, true, extended));
    for (const auto& m : kModifiers)
        if (modifiers & m.bit) keys.push_back(KeyInput(m.vk, true, false));
    for (INPUT& in : keys) in.ki.dwExtraInfo = kTypedKeyMark;
    SendInput((UINT)keys.size(), keys.data(), sizeof(INPUT));
}

void EmbedView::SetHostKeys(bool reported) { g_hostKeys = reported; }

void EmbedView::ExpectEcho(int vk, bool down) {
    echoes_.push_back(Echo{vk, down, GetTickCount()});
    if (echoes_.size() > 64) echoes_.pop_front();
}

bool EmbedView::IsEcho(int vk, bool down) {
    DWORD now = GetTickCount();
    while (!echoes_.empty() && now - echoes_.front().tick > kEchoMs) echoes_.pop_front();
    for (auto it = echoes_.begin(); it != echoes_.end(); ++it) {
        if (it->vk == vk && it->down == down) {
            echoes_.erase(echoes_.begin(), it + 1);
            return true;
        }
    }
    return false;
}

void EmbedView::Close() {
    if (!send_) return;
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!done) return;
    int ack;
    {
        std::lock_guard<std::mutex> guard(g_ackLock);
        ack = g_nextAck++;
        g_acks[ack] = done;
    }
    bool sent = send_(json({{"close", number_}, {"ack", ack}}).dump());
    // Wine destroys our top-level's X window, and everything inside it, right after
    // its windows are gone: the engine's window is parked before that.
    if (sent) WaitForSingleObject(done, kCloseAckMs);
    {
        std::lock_guard<std::mutex> guard(g_ackLock);
        g_acks.erase(ack);
    }
    CloseHandle(done);
    haveWindow_ = false;
    if (hole_) ShowWindow(hole_, SW_HIDE);
}

bool EmbedView::OnAcknowledgement(const json& event) {
    if (!event.contains("closed")) return false;
    std::lock_guard<std::mutex> guard(g_ackLock);
    auto it = g_acks.find(JsonInt(event, "ack"));
    if (it != g_acks.end()) SetEvent(it->second);
    return true;
}

}  // namespace cef_internal
