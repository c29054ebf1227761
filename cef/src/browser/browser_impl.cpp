// A browser's window: making it, its messages and painting, closing, and the
// CefBrowser and CefBrowserHost methods. Input, the engine page and its events,
// and the context menu have files of their own.
#include "src/browser/browser_impl.h"

#include <windowsx.h>

#include <algorithm>
#include "base/Diagnostics.h"
#include "src/api/cef_context.h"
#include "src/browser/page_sound.h"
#include "src/render/render_host.h"

using nlohmann::json;

namespace cef_internal {
namespace {

const wchar_t kWindowClass[] = L"CefBrowserWindow";

bool RegisterBrowserClass(WNDPROC proc) {
    static bool registered = false;
    if (registered) return true;
    WNDCLASSEXW wc = {sizeof(wc)};
    wc.lpfnWndProc = proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = kWindowClass;
    wc.hCursor = nullptr;  // set per message from what the page asks for
    wc.hbrBackground = nullptr;
    registered = RegisterClassExW(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
    return registered;
}

}  // namespace

bool ChineseUi() {
    CefRefPtr<CefCommandLine> line = GetBrowserCommandLine();
    std::wstring lang = line ? line->GetSwitchValue(L"lang").ToWString() : std::wstring();
    return lang.size() >= 2 && (lang[0] == L'z' || lang[0] == L'Z') && (lang[1] == L'h' || lang[1] == L'H');
}

std::atomic<int> BrowserImpl::nextId_{1};

// ---- browser: construction and window ---------------------------------------------

BrowserImpl::BrowserImpl(const CefWindowInfo& windowInfo, CefRefPtr<CefClient> client,
                         const CefBrowserSettings& settings, bool popup, HWND opener)
    : id_(nextId_++), client_(client), settings_(settings), windowInfo_(windowInfo), popup_(popup), opener_(opener) {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    createdQpc_ = now.QuadPart;
    mainFrame_ = new FrameImpl(this, nextFrameId_++, true);
}

BrowserImpl::~BrowserImpl() {}

bool BrowserImpl::CreateHostWindow() {
    CEF_REQUIRE_UI_THREAD();
    if (OpenWindow()) return true;
    // A browser without a window is never torn down: it is closed here, and its
    // main frame lets go of it, or the two would keep each other (and the client).
    closed_ = true;
    mainFrame_->Invalidate();
    return false;
}

bool BrowserImpl::OpenWindow() {
    if (!RegisterBrowserClass(WndProc)) return false;
    DWORD style = windowInfo_.style ? windowInfo_.style : (WS_CHILD | WS_VISIBLE);
    style |= WS_CLIPCHILDREN;
    HWND parent = windowInfo_.parent_window;
    DWORD exStyle = windowInfo_.ex_style;
    if (style & WS_CHILD) {
        if (!parent || !IsWindow(parent)) return false;
        // No notifications to a parent of another thread while we are created or destroyed:
        // that thread may be waiting for ours (shutdown), and a sent message would deadlock.
        exStyle |= WS_EX_NOPARENTNOTIFY;
        DWORD parentThread = GetWindowThreadProcessId(parent, nullptr);
        // Keyboard focus can only move between windows of threads that share input state,
        // as Windows arranges for child windows of another thread.
        if (parentThread != GetCurrentThreadId() && AttachThreadInput(GetCurrentThreadId(), parentThread, TRUE))
            parentThread_ = parentThread;
    }
    std::wstring name = windowInfo_.window_name.str
                            ? std::wstring(windowInfo_.window_name.str, windowInfo_.window_name.length)
                            : std::wstring();
    int x = windowInfo_.x, y = windowInfo_.y, w = windowInfo_.width, h = windowInfo_.height;
    if (!(style & WS_CHILD) && w != (int)CW_USEDEFAULT && w > 0 && h > 0) {
        // Popup sizes name the page's area, not the frame around it.
        RECT r = {0, 0, w, h};
        AdjustWindowRectEx(&r, style, FALSE, exStyle);
        w = r.right - r.left;
        h = r.bottom - r.top;
    }
    HWND hwnd = CreateWindowExW(exStyle, kWindowClass, name.c_str(), style, x, y, w, h, parent,
                                (style & WS_CHILD) ? nullptr : windowInfo_.menu, GetModuleHandleW(nullptr), this);
    if (!hwnd) {
        if (parentThread_) AttachThreadInput(GetCurrentThreadId(), parentThread_, FALSE);
        parentThread_ = 0;
        return false;
    }
    windowInfo_.window = hwnd;
    RECT rc;
    GetClientRect(hwnd, &rc);
    width_ = rc.right - rc.left;
    height_ = rc.bottom - rc.top;
    sink_ = std::make_shared<FrameSink>(hwnd);
    return true;
}

LRESULT CALLBACK BrowserImpl::WndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_NCCREATE) {
        auto* cs = reinterpret_cast<CREATESTRUCTW*>(lParam);
        auto* self = static_cast<BrowserImpl*>(cs->lpCreateParams);
        self->hwnd_ = hwnd;
        self->AddRef();  // the window holds the browser until WM_NCDESTROY
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, (LONG_PTR)self);
        return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
    auto* self = reinterpret_cast<BrowserImpl*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (!self) return DefWindowProcW(hwnd, msg, wParam, lParam);
    if (msg == WM_NCDESTROY) {
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        self->hwnd_ = nullptr;
        LRESULT r = DefWindowProcW(hwnd, msg, wParam, lParam);
        self->Release();
        return r;
    }
    CefRefPtr<BrowserImpl> keep(self);  // handlers may close the browser
    return self->HandleMessage(msg, wParam, lParam);
}

LRESULT BrowserImpl::HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
    CEF_REQUIRE_UI_THREAD();
    HWND hwnd = hwnd_;
    if (view_) {
        LRESULT result = 0;
        if (view_->HandleMessage(msg, wParam, lParam, &result)) return result;
    }
    switch (msg) {
    case WM_ERASEBKGND:
        return 1;  // WM_PAINT covers every pixel; erasing first would flicker
    case WM_PAINT:
        Paint();
        return 0;
    case WM_SIZE: {
        int w = LOWORD(lParam), h = HIWORD(lParam);
        if (wParam != SIZE_MINIMIZED && (w != width_ || h != height_)) {
            width_ = w;
            height_ = h;
            SendViewport();
        }
        return 0;
    }
    case WM_TIMER:
        if (wParam != kPictureCheckTimer) break;
        KillTimer(hwnd, kPictureCheckTimer);
        CheckPictureSize();
        return 0;
    case WM_GETDLGCODE:
        return DLGC_WANTALLKEYS | DLGC_WANTARROWS | DLGC_WANTCHARS | DLGC_WANTTAB;
    case WM_SETCURSOR:
        if (crashed_ && LOWORD(lParam) == HTCLIENT) {
            // The notice's own cursor: a hand over its reload button.
            POINT p;
            RECT button;
            GetCursorPos(&p);
            ScreenToClient(hwnd_, &p);
            bool over = NoticeButton(&button) && PtInRect(&button, p);
            ::SetCursor(LoadCursorW(nullptr, over ? IDC_HAND : IDC_ARROW));
            return TRUE;
        }
        if (LOWORD(lParam) == HTCLIENT) {
            if (crashed_ || (!cursor_ && !hiddenCursor_)) ::SetCursor(LoadCursorW(nullptr, IDC_ARROW));
            else ::SetCursor(cursor_);  // null when the page hides the cursor
            return TRUE;
        }
        break;
    case WM_MOUSEMOVE:
    case WM_LBUTTONDOWN:
    case WM_LBUTTONUP:
    case WM_RBUTTONDOWN:
    case WM_RBUTTONUP:
    case WM_MBUTTONDOWN:
    case WM_MBUTTONUP:
    case WM_LBUTTONDBLCLK:
    case WM_RBUTTONDBLCLK:
    case WM_MBUTTONDBLCLK:
        if (crashed_) {
            // No page to take it: the notice's button may.
            if (msg == WM_LBUTTONUP) OnNoticeClick(POINT{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)});
            return 0;
        }
        ForwardMouse(msg, wParam, lParam);
        return 0;
    case WM_MOUSEWHEEL:
    case WM_MOUSEHWHEEL:
        ForwardWheel(msg, wParam, lParam);
        return 0;
    case WM_CAPTURECHANGED:
        return 0;
    case WM_KEYDOWN:
    case WM_KEYUP:
        ForwardKey(msg, wParam, lParam);
        return 0;
    case WM_SYSKEYDOWN:
    case WM_SYSKEYUP:
        ForwardKey(msg, wParam, lParam);
        break;  // Alt+F4 and the window menu keep working
    case WM_CHAR:
        ForwardChar(wParam, lParam);
        return 0;
    case WM_SYSCHAR:
        return 0;  // no beep for Alt+letter
    // The page shows the composition inline, in the field being typed into, as a
    // browser does; the input method keeps only its candidate list, placed under
    // the field. Nothing goes on to the default handling, which would draw the
    // composition a second time and repeat the result as WM_IME_CHAR/WM_CHAR.
    case WM_IME_STARTCOMPOSITION:
        PlaceImeWindows();
        return 0;
    case WM_IME_COMPOSITION:
        if (lParam & GCS_RESULTSTR) ForwardImeResult();
        if (lParam & GCS_COMPSTR) ForwardImeComposition();
        return 0;
    case WM_IME_ENDCOMPOSITION:
        if (imeComposing_) {
            // Ended without a result: the player cancelled it.
            Command("Input.imeSetComposition", {{"text", ""}, {"selectionStart", 0}, {"selectionEnd", 0}});
            imeComposing_ = false;
        }
        return 0;
    case WM_CLOSE:
        CloseBrowser(false);
        return 0;
    case WM_DESTROY:
        Teardown();
        return 0;
    default:
        break;
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

void BrowserImpl::Paint() {
    HWND hwnd = hwnd_;
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(hwnd, &ps);
    RECT rc;
    GetClientRect(hwnd, &rc);
    if (crashed_) {
        // A notice instead of the last picture of a page that is gone.
        PaintNotice(dc, rc);
        EndPaint(hwnd, &ps);
        return;
    }
    std::shared_ptr<const Picture> picture = sink_ ? sink_->Latest() : nullptr;
    int pw = 0, ph = 0;
    if (picture) {
        pw = picture->width;
        ph = picture->height;
        BITMAPINFO bmi = {};
        bmi.bmiHeader.biSize = sizeof(bmi.bmiHeader);
        bmi.bmiHeader.biWidth = pw;
        bmi.bmiHeader.biHeight = -ph;  // top-down
        bmi.bmiHeader.biPlanes = 1;
        bmi.bmiHeader.biBitCount = 32;
        bmi.bmiHeader.biCompression = BI_RGB;
        SetDIBitsToDevice(dc, 0, 0, pw, ph, 0, 0, 0, ph, picture->pixels.data(), &bmi, DIB_RGB_COLORS);
        if (picture.get() != lastPainted_) {
            lastPainted_ = picture.get();
            lastPaintedPicture_ = picture;
            ++painted_;
        }
    }
    // Only what the picture does not cover (a resize whose new frame is still on its way).
    HBRUSH white = (HBRUSH)GetStockObject(WHITE_BRUSH);
    if (rc.right > pw) {
        RECT r = {pw, 0, rc.right, std::min<LONG>(ph, rc.bottom)};
        if (r.bottom > r.top) FillRect(dc, &r, white);
    }
    if (rc.bottom > ph) {
        RECT r = {0, ph, rc.right, rc.bottom};
        FillRect(dc, &r, white);
    }
    EndPaint(hwnd, &ps);
}

// ---- closing ---------------------------------------------------------------------

void BrowserImpl::Destroy() {
    CEF_REQUIRE_UI_THREAD();
    HWND hwnd = hwnd_;
    if (hwnd && IsWindow(hwnd)) DestroyWindow(hwnd);
    else Teardown();
}

void BrowserImpl::Teardown() {
    CEF_REQUIRE_UI_THREAD();
    if (closed_) return;
    closed_ = true;
    CefRefPtr<BrowserImpl> keep(this);
    EndScriptDialogs(hwnd_);
    // The engine's window leaves ours before our top-level's X window can go.
    if (view_) view_->Close();
    Engine* engine = Engine::Current();
    std::string session, target;
    RenderHost* host = nullptr;
    {
        std::lock_guard<std::mutex> guard(lock_);
        session = sessionId_;
        target = targetId_;
        host = renderHost_;
        renderHost_ = nullptr;
        sessionId_.clear();
    }
    if (engine) {
        if (!session.empty()) engine->UnregisterSink(session);
        if (!target.empty()) EngineSend("Target.closeTarget", {{"targetId", target}}, "");
    }
    delete host;
    sink_.reset();
    lastPaintedPicture_.reset();
    if (GetCapture() == hwnd_) ReleaseCapture();
    if (parentThread_) {
        AttachThreadInput(GetCurrentThreadId(), parentThread_, FALSE);
        parentThread_ = 0;
    }
    CefRefPtr<CefLifeSpanHandler> lifeSpan = client_ ? client_->GetLifeSpanHandler() : nullptr;
    if (lifeSpan && afterCreatedSent_) lifeSpan->OnBeforeClose(this);
    std::map<std::string, CefRefPtr<FrameImpl>> frames;
    {
        std::lock_guard<std::mutex> guard(lock_);
        frames.swap(frames_);
    }
    for (auto& f : frames) f.second->Invalidate();
    mainFrame_->Invalidate();
    view_.reset();
    if (engine) engine->RemoveBrowser(this);
}

// ---- the engine's own window --------------------------------------------------------

namespace {

bool SendWindowCommand(const std::string& command) {
    Engine* engine = Engine::Current();
    return engine && engine->SendWindowCommand(command);
}

}  // namespace

std::string BrowserImpl::OpenView(unsigned generation, const std::string& token) {
    if (!view_) view_.reset(new EmbedView(hwnd_, id_, SendWindowCommand));
    view_->Renew(generation, token);
    view_->Open();
    return view_->PlaceholderUrl();
}

void BrowserImpl::ClaimView(int left, int top) {
    if (!view_) view_.reset(new EmbedView(hwnd_, id_, SendWindowCommand));
    std::shared_ptr<DevToolsConnection> connection = EngineConnection();
    std::string session = SessionId();
    std::string target = TargetId();
    if (!connection || session.empty()) return;
    CefRefPtr<BrowserImpl> self(this);
    // The window may carry the engine's own furniture above the page: cropped.
    connection->SendAsync(
        "Runtime.evaluate", {{"expression", "outerHeight - innerHeight"}, {"returnByValue", true}},
        [self, left, top](bool ok, const json& result) {
            const json& value = JsonObject(JsonObject(result, "result"), "value");
            int inset = ok && value.is_number() ? std::max(0, value.get<int>()) : 0;
            PostUiTask([self, left, top, inset] {
                if (self->view_ && !self->closed_) self->view_->Claim(left, top, inset);
            });
        },
        session);
    connection->SendAsync("Browser.getWindowForTarget", {{"targetId", target}}, [left, top](bool ok, const json& r) {
        if (!ok) return;
        EngineSend("Browser.setWindowBounds",
                   {{"windowId", JsonInt(r, "windowId")}, {"bounds", {{"left", left}, {"top", top}}}}, "");
    });
}

void BrowserImpl::OnViewEvent(const json& event) {
    if (view_ && !closed_) view_->OnWindowEvent(event);
}

void BrowserImpl::CloseBrowser(bool force_close) {
    CefRefPtr<BrowserImpl> self(this);
    auto close = [self, force_close] {
        if (self->closed_) return;
        if (!force_close) {
            CefRefPtr<CefLifeSpanHandler> lifeSpan = self->client_ ? self->client_->GetLifeSpanHandler() : nullptr;
            if (lifeSpan && lifeSpan->DoClose(self.get())) return;  // the client closes the window itself
        }
        self->Destroy();
    };
    if (OnUiThread()) close();
    else PostUiTask(close);
}

// ---- the rest of the browser interface ----------------------------------------------

bool BrowserImpl::CanGoBack() {
    std::lock_guard<std::mutex> guard(lock_);
    return canGoBack_;
}

bool BrowserImpl::CanGoForward() {
    std::lock_guard<std::mutex> guard(lock_);
    return canGoForward_;
}

void BrowserImpl::GoBack() { Command("Runtime.evaluate", {{"expression", "history.back()"}}); }
void BrowserImpl::GoForward() { Command("Runtime.evaluate", {{"expression", "history.forward()"}}); }

bool BrowserImpl::IsLoading() {
    std::lock_guard<std::mutex> guard(lock_);
    return loading_;
}

void BrowserImpl::Reload() {
    if (!SessionId().empty()) Command("Page.reload", {{"ignoreCache", false}});
    else RecoverEngine();
}

void BrowserImpl::ReloadIgnoreCache() {
    if (!SessionId().empty()) Command("Page.reload", {{"ignoreCache", true}});
    else RecoverEngine();
}
void BrowserImpl::StopLoad() { Command("Page.stopLoading"); }

bool BrowserImpl::IsSame(CefRefPtr<CefBrowser> that) {
    return that && static_cast<CefBrowser*>(this) == that.get();
}

bool BrowserImpl::HasDocument() {
    std::lock_guard<std::mutex> guard(lock_);
    return hasDocument_;
}

CefRefPtr<CefFrame> BrowserImpl::GetMainFrame() {
    std::lock_guard<std::mutex> guard(lock_);
    return mainFrame_.get();
}

CefRefPtr<CefFrame> BrowserImpl::GetFrame(int64 identifier) {
    std::lock_guard<std::mutex> guard(lock_);
    if (mainFrame_->GetIdentifier() == identifier) return mainFrame_.get();
    for (auto& f : frames_)
        if (f.second->GetIdentifier() == identifier) return f.second.get();
    return nullptr;
}

CefRefPtr<CefFrame> BrowserImpl::GetFrame(const CefString& name) {
    std::lock_guard<std::mutex> guard(lock_);
    if (name.empty()) return mainFrame_.get();
    for (auto& f : frames_)
        if (f.second->GetName() == name) return f.second.get();
    return nullptr;
}

size_t BrowserImpl::GetFrameCount() {
    std::lock_guard<std::mutex> guard(lock_);
    return frames_.empty() ? 1 : frames_.size();
}

void BrowserImpl::GetFrameIdentifiers(std::vector<int64>& identifiers) {
    identifiers.clear();
    std::lock_guard<std::mutex> guard(lock_);
    identifiers.push_back(mainFrame_->GetIdentifier());
    for (auto& f : frames_)
        if (f.second != mainFrame_) identifiers.push_back(f.second->GetIdentifier());
}

void BrowserImpl::GetFrameNames(std::vector<CefString>& names) {
    names.clear();
    std::lock_guard<std::mutex> guard(lock_);
    names.push_back(mainFrame_->GetName());
    for (auto& f : frames_)
        if (f.second != mainFrame_) names.push_back(f.second->GetName());
}

void BrowserImpl::SetFocus(bool focus) {
    CefRefPtr<BrowserImpl> self(this);
    PostUiTask([self, focus] {
        HWND hwnd = self->hwnd_;
        if (focus && hwnd) ::SetFocus(hwnd);
    });
}

void BrowserImpl::WasResized() {
    CefRefPtr<BrowserImpl> self(this);
    PostUiTask([self] { self->SendViewport(); });
}

void BrowserImpl::Navigate(const std::string& url, const std::string& frameEngineId) {
    if (SessionId().empty() && frameEngineId.empty()) {
        // No page (the engine is dead): the new one goes there.
        CefRefPtr<BrowserImpl> self(this);
        PostUiTask([self, url] {
            if (!self->crashed_) return;
            self->recoveryUrl_ = url;
            self->RecoverEngine();
        });
        return;
    }
    json params = {{"url", url}};
    if (!frameEngineId.empty()) params["frameId"] = frameEngineId;
    Command("Page.navigate", params);
}

void BrowserImpl::Evaluate(const std::string& expression, const std::string& frameEngineId) {
    CefRefPtr<BrowserImpl> self(this);
    PostUiTask([self, expression, frameEngineId] {
        json params = {{"expression", expression}};
        if (!frameEngineId.empty()) {
            auto it = self->contexts_.find(frameEngineId);
            if (it == self->contexts_.end()) return;
            params["contextId"] = it->second;
        }
        self->Command("Runtime.evaluate", params);
    });
}

// ---- creation entry points ------------------------------------------------------------

namespace {

CefRefPtr<BrowserImpl> CreateOnUiThread(const CefWindowInfo& windowInfo, CefRefPtr<CefClient> client,
                                        const std::string& url, const CefBrowserSettings& settings) {
    Engine* engine = Engine::Current();
    if (!engine) {
        // No engine: no browser. The player sees nothing; the developer reads why.
        base::DiagFailure(L"browser", L"%ls not opened: no engine is running", CefString(url).ToWString().c_str());
        return nullptr;
    }
    WatchWindowVisibility();  // popups are shown and hidden on this thread
    CefRefPtr<BrowserImpl> browser = new BrowserImpl(windowInfo, client, settings, false, nullptr);
    engine->AddBrowser(browser.get());
    if (!browser->CreateHostWindow()) {
        engine->RemoveBrowser(browser.get());
        return nullptr;
    }
    engine->CreatePageTarget(browser.get(), url);
    return browser;
}

}  // namespace

}  // namespace cef_internal

using namespace cef_internal;

bool CefBrowserHost::CreateBrowser(const CefWindowInfo& windowInfo, CefRefPtr<CefClient> client,
                                   const CefString& url, const CefBrowserSettings& settings,
                                   CefRefPtr<CefRequestContext> request_context) {
    CefWindowInfo info(windowInfo);
    CefBrowserSettings copy(settings);
    std::string address = url.ToString();
    // The thread that owns the parent window is the one that hides and shows it.
    WatchWindowVisibility();
    if (PostUiTask([info, client, address, copy] { CreateOnUiThread(info, client, address, copy); })) return true;
    base::DiagFailure(L"browser", L"%ls not opened: the layer is not running", CefString(address).ToWString().c_str());
    return false;
}

CefRefPtr<CefBrowser> CefBrowserHost::CreateBrowserSync(const CefWindowInfo& windowInfo, CefRefPtr<CefClient> client,
                                                        const CefString& url, const CefBrowserSettings& settings,
                                                        CefRefPtr<CefRequestContext> request_context) {
    if (!OnUiThread()) return nullptr;
    return CreateOnUiThread(windowInfo, client, url.ToString(), settings).get();
}
