#include "src/browser_impl.h"

#include <windowsx.h>
#include <imm.h>
#include <algorithm>
#include "src/cef_context.h"
#include "src/context_menu.h"
#include "src/input_keys.h"
#include "src/page_script.h"
#include "src/script_dialog.h"

#if __has_include("src/render_host.h")
#include "src/render_host.h"
#define VORNMARK_HAVE_RENDER_HOST 1
#endif

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

bool ChineseUi() {
    CefRefPtr<CefCommandLine> line = GetBrowserCommandLine();
    std::wstring lang = line ? line->GetSwitchValue(L"lang").ToWString() : std::wstring();
    return lang.size() >= 2 && (lang[0] == L'z' || lang[0] == L'Z') && (lang[1] == L'h' || lang[1] == L'H');
}

// The cursor a CSS cursor value stands for ("url(x.cur), pointer" falls back to its keyword).
LPCWSTR CursorFor(std::string name) {
    size_t comma = name.rfind(',');
    if (comma != std::string::npos) name = name.substr(comma + 1);
    name.erase(0, name.find_first_not_of(' '));
    if (name == "pointer") return IDC_HAND;
    if (name == "text" || name == "vertical-text") return IDC_IBEAM;
    if (name == "wait") return IDC_WAIT;
    if (name == "progress") return IDC_APPSTARTING;
    if (name == "crosshair" || name == "cell") return IDC_CROSS;
    if (name == "move" || name == "all-scroll" || name == "grab" || name == "grabbing") return IDC_SIZEALL;
    if (name == "not-allowed" || name == "no-drop") return IDC_NO;
    if (name == "help") return IDC_HELP;
    if (name == "ew-resize" || name == "e-resize" || name == "w-resize" || name == "col-resize") return IDC_SIZEWE;
    if (name == "ns-resize" || name == "n-resize" || name == "s-resize" || name == "row-resize") return IDC_SIZENS;
    if (name == "nwse-resize" || name == "nw-resize" || name == "se-resize") return IDC_SIZENWSE;
    if (name == "nesw-resize" || name == "ne-resize" || name == "sw-resize") return IDC_SIZENESW;
    if (name == "none") return nullptr;
    return IDC_ARROW;
}

// Error texts of failed loads ("net::ERR_CONNECTION_REFUSED") as error codes.
cef_errorcode_t ErrorCodeFor(const std::string& text, bool canceled) {
    if (canceled) return ERR_ABORTED;
    static const struct {
        const char* name;
        cef_errorcode_t code;
    } kErrors[] = {
        {"ERR_ABORTED", ERR_ABORTED}, {"ERR_TIMED_OUT", ERR_TIMED_OUT}, {"ERR_FILE_NOT_FOUND", ERR_FILE_NOT_FOUND},
        {"ERR_ACCESS_DENIED", ERR_ACCESS_DENIED}, {"ERR_CONNECTION_CLOSED", ERR_CONNECTION_CLOSED},
        {"ERR_CONNECTION_RESET", ERR_CONNECTION_RESET}, {"ERR_CONNECTION_REFUSED", ERR_CONNECTION_REFUSED},
        {"ERR_CONNECTION_ABORTED", ERR_CONNECTION_ABORTED}, {"ERR_CONNECTION_FAILED", ERR_CONNECTION_FAILED},
        {"ERR_NAME_NOT_RESOLVED", ERR_NAME_NOT_RESOLVED}, {"ERR_INTERNET_DISCONNECTED", ERR_INTERNET_DISCONNECTED},
        {"ERR_ADDRESS_UNREACHABLE", ERR_ADDRESS_UNREACHABLE}, {"ERR_CONNECTION_TIMED_OUT", ERR_CONNECTION_TIMED_OUT},
        {"ERR_INVALID_URL", ERR_INVALID_URL}, {"ERR_UNKNOWN_URL_SCHEME", ERR_UNKNOWN_URL_SCHEME},
        {"ERR_TOO_MANY_REDIRECTS", ERR_TOO_MANY_REDIRECTS}, {"ERR_EMPTY_RESPONSE", ERR_EMPTY_RESPONSE},
        {"ERR_INVALID_RESPONSE", ERR_INVALID_RESPONSE}, {"ERR_UNSAFE_PORT", ERR_UNSAFE_PORT},
        {"ERR_CERT_COMMON_NAME_INVALID", ERR_CERT_COMMON_NAME_INVALID},
        {"ERR_CERT_DATE_INVALID", ERR_CERT_DATE_INVALID}, {"ERR_CERT_AUTHORITY_INVALID", ERR_CERT_AUTHORITY_INVALID},
    };
    for (const auto& e : kErrors)
        if (text.find(e.name) != std::string::npos) return e.code;
    return ERR_FAILED;
}

// Reads the selected text of the focused editable or document, following same-origin inner frames.
const char kSelectionScript[] =
    "(function(){var d=document,e=d.activeElement;"
    "while(e&&(e.tagName==='IFRAME'||e.tagName==='FRAME')){try{d=e.contentDocument;e=d.activeElement;}catch(x){break;}}"
    "if(e&&(e.tagName==='INPUT'||e.tagName==='TEXTAREA')&&typeof e.selectionStart==='number')"
    "return e.value.substring(e.selectionStart,e.selectionEnd);"
    "return String((d.defaultView||window).getSelection()||'');})()";

// The place of the text being typed, in view coordinates: the selection of an
// editable element, or the focused field itself; [left, top, right, bottom].
const char kEditRectScript[] =
    "(function(){var d=document,e=d.activeElement,x=0,y=0;"
    "while(e&&(e.tagName==='IFRAME'||e.tagName==='FRAME')){var f=e.getBoundingClientRect();x+=f.left;y+=f.top;"
    "try{d=e.contentDocument;e=d.activeElement;}catch(z){break;}}"
    "if(!e||e===d.body)return null;var r=null,s=(d.defaultView||window).getSelection();"
    "if(e.isContentEditable&&s&&s.rangeCount)r=s.getRangeAt(0).getBoundingClientRect();"
    "if(!r||(!r.width&&!r.height))r=e.getBoundingClientRect();"
    "return [x+r.left,y+r.top,x+r.right,y+r.bottom].map(Math.round);})()";

void PutOnClipboard(HWND owner, const std::wstring& text) {
    if (text.empty() || !OpenClipboard(owner)) return;
    EmptyClipboard();
    HGLOBAL mem = GlobalAlloc(GMEM_MOVEABLE, (text.size() + 1) * sizeof(wchar_t));
    if (mem) {
        void* p = GlobalLock(mem);
        if (p) {
            memcpy(p, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
            GlobalUnlock(mem);
            if (!SetClipboardData(CF_UNICODETEXT, mem)) GlobalFree(mem);
        } else {
            GlobalFree(mem);
        }
    }
    CloseClipboard();
}

std::wstring ClipboardText(HWND owner) {
    std::wstring text;
    if (!OpenClipboard(owner)) return text;
    HANDLE data = GetClipboardData(CF_UNICODETEXT);
    if (data) {
        const wchar_t* p = (const wchar_t*)GlobalLock(data);
        if (p) {
            text = p;
            GlobalUnlock(data);
        }
    }
    CloseClipboard();
    return text;
}

}  // namespace

std::atomic<int> BrowserImpl::nextId_{1};

// ---- frames ----------------------------------------------------------------------

FrameImpl::FrameImpl(BrowserImpl* browser, int64 identifier, bool isMain)
    : browser_(browser), identifier_(identifier), isMain_(isMain) {}

bool FrameImpl::IsValid() {
    std::lock_guard<std::mutex> guard(lock_);
    return valid_;
}

void FrameImpl::LoadURL(const CefString& url) {
    CefRefPtr<BrowserImpl> b;
    std::string id;
    {
        std::lock_guard<std::mutex> guard(lock_);
        b = browser_;
        id = isMain_ ? std::string() : engineId_;
    }
    if (b) b->Navigate(url.ToString(), id);
}

void FrameImpl::ExecuteJavaScript(const CefString& code, const CefString& script_url, int start_line) {
    CefRefPtr<BrowserImpl> b;
    std::string id;
    {
        std::lock_guard<std::mutex> guard(lock_);
        b = browser_;
        id = isMain_ ? std::string() : engineId_;
    }
    if (b) b->Evaluate(code.ToString(), id);
}

CefString FrameImpl::GetName() {
    std::lock_guard<std::mutex> guard(lock_);
    return CefString(name_);
}

CefRefPtr<CefFrame> FrameImpl::GetParent() {
    std::lock_guard<std::mutex> guard(lock_);
    return parent_.get();
}

CefString FrameImpl::GetURL() {
    std::lock_guard<std::mutex> guard(lock_);
    return CefString(url_);
}

CefRefPtr<CefBrowser> FrameImpl::GetBrowser() {
    std::lock_guard<std::mutex> guard(lock_);
    return browser_.get();
}

void FrameImpl::Update(const std::string& engineId, const std::string& url, const std::string& name,
                       CefRefPtr<FrameImpl> parent) {
    std::lock_guard<std::mutex> guard(lock_);
    engineId_ = engineId;
    url_ = url;
    name_ = name;
    parent_ = parent;
}

void FrameImpl::SetURL(const std::string& url) {
    std::lock_guard<std::mutex> guard(lock_);
    url_ = url;
}

void FrameImpl::Invalidate() {
    CefRefPtr<BrowserImpl> b;
    CefRefPtr<FrameImpl> p;
    {
        std::lock_guard<std::mutex> guard(lock_);
        valid_ = false;
        b.swap(browser_);
        p.swap(parent_);
    }
}

std::string FrameImpl::EngineId() {
    std::lock_guard<std::mutex> guard(lock_);
    return engineId_;
}

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
    HWND hwnd = hwnd_;
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
    case WM_GETDLGCODE:
        return DLGC_WANTALLKEYS | DLGC_WANTARROWS | DLGC_WANTCHARS | DLGC_WANTTAB;
    case WM_SETCURSOR:
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
        HBRUSH back = CreateSolidBrush(RGB(240, 240, 240));
        FillRect(dc, &rc, back);
        DeleteObject(back);
        bool zh = ChineseUi();
        HFONT font = CreateFontW(-16, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                                 CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH,
                                 zh ? L"Microsoft YaHei" : L"Tahoma");
        HGDIOBJ old = SelectObject(dc, font);
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, RGB(80, 80, 80));
        const wchar_t* text = zh ? L"页面已停止运行。请刷新页面，或重新启动客户端。"
                                 : L"The page has stopped working. Reload it, or restart the client.";
        DrawTextW(dc, text, -1, &rc, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
        SelectObject(dc, old);
        DeleteObject(font);
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

// ---- engine page -----------------------------------------------------------------

void BrowserImpl::Command(const std::string& method, const json& params) {
    std::string session = SessionId();
    if (!session.empty()) EngineSend(method, params, session);
}

std::string BrowserImpl::TargetId() {
    std::lock_guard<std::mutex> guard(lock_);
    return targetId_;
}

std::string BrowserImpl::SessionId() {
    std::lock_guard<std::mutex> guard(lock_);
    return sessionId_;
}

void BrowserImpl::SetTargetId(const std::string& targetId) {
    std::lock_guard<std::mutex> guard(lock_);
    targetId_ = targetId;
}

void BrowserImpl::SendViewport() {
    if (!attached_) return;
    int w = std::max(1, width_), h = std::max(1, height_);
    Command("Emulation.setDeviceMetricsOverride", {{"width", w}, {"height", h}, {"deviceScaleFactor", 1}, {"mobile", false}});
    // The engine keeps the picture size a screencast started with; start it again at the new size.
    if (screencasting_) Command("Page.stopScreencast");
    Command("Page.startScreencast",
            {{"format", "jpeg"}, {"quality", 80}, {"everyNthFrame", 1}, {"maxWidth", w}, {"maxHeight", h}});
    screencasting_ = true;
}

void BrowserImpl::Attach(const std::string& targetId, const std::string& sessionId, bool waiting) {
    if (closed_) {
        EngineSend("Target.closeTarget", {{"targetId", targetId}}, "");
        return;
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        targetId_ = targetId;
        sessionId_ = sessionId;
    }
    attached_ = true;
    Engine* engine = Engine::Current();
    if (engine) engine->RegisterSink(sessionId, sink_);

    // Commands on one session run in order, so the page is fully set up before it
    // is let go with the last one.
    Command("Page.enable");
    Command("Network.enable");
    Command("Runtime.enable");
    Command("Runtime.addBinding", {{"name", kHostBinding}});
    Command("Page.addScriptToEvaluateOnNewDocument", {{"source", kPageScript}});
    if (engine && !engine->UserAgent().empty()) {
        json ua = {{"userAgent", engine->UserAgent()}};
        if (!engine->AcceptLanguage().empty()) ua["acceptLanguage"] = engine->AcceptLanguage();
        Command("Emulation.setUserAgentOverride", ua);
    }
    // A headless page never has the system focus; without this it would not show a caret.
    Command("Emulation.setFocusEmulationEnabled", {{"enabled", true}});
    if (settings_.javascript == STATE_DISABLED) Command("Emulation.setScriptExecutionDisabled", {{"value", true}});
    SendViewport();  // starts the pictures too

    if (!afterCreatedSent_) {
        afterCreatedSent_ = true;
        CefRefPtr<CefLifeSpanHandler> lifeSpan = client_ ? client_->GetLifeSpanHandler() : nullptr;
        if (lifeSpan) lifeSpan->OnAfterCreated(this);
    }
    if (closed_) return;  // the client closed it from OnAfterCreated
    // Commands on a session run in order, so the domains above are on before the page
    // goes on. A page of ours is then sent to its address once the engine has answered
    // the set-up: a document committed earlier could go unreported.
    if (waiting) Command("Runtime.runIfWaitingForDebugger");
    std::shared_ptr<DevToolsConnection> connection = EngineConnection();
    CefRefPtr<BrowserImpl> self(this);
    if (connection && !pendingUrl_.empty())
        connection->SendAsync(
            "Page.getFrameTree", json::object(),
            [self](bool, const json&) {
                PostUiTask([self] {
                    std::string url;
                    url.swap(self->pendingUrl_);
                    if (!self->closed_ && !url.empty()) self->Command("Page.navigate", {{"url", url}});
                });
            },
            sessionId);
    StartRenderHost();
}

void BrowserImpl::StartRenderHost() {
#ifdef VORNMARK_HAVE_RENDER_HOST
    Engine* engine = Engine::Current();
    if (!engine) return;
    int id = id_;
    RenderHost* host = RenderHost::Start(
        id_, engine->Port(), engine->BrowserWsPath(), TargetId(), [id](CefRefPtr<CefProcessMessage> message) {
            Engine* e = Engine::Current();
            if (!e || !message) return;
            for (auto& b : e->Browsers()) {
                if (b->GetIdentifier() != id) continue;
                CefRefPtr<CefClient> client = b->GetClient();
                if (client) client->OnProcessMessageReceived(b.get(), PID_RENDERER, message);
                return;
            }
        });
    std::lock_guard<std::mutex> guard(lock_);
    renderHost_ = host;
#endif
}

bool BrowserImpl::SendProcessMessage(CefProcessId target_process, CefRefPtr<CefProcessMessage> message) {
    if (target_process != PID_RENDERER || !message) return false;
#ifdef VORNMARK_HAVE_RENDER_HOST
    std::lock_guard<std::mutex> guard(lock_);
    return renderHost_ && renderHost_->Send(message);
#else
    return false;
#endif
}

CefRefPtr<FrameImpl> BrowserImpl::FrameByEngineId(const std::string& engineId) {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = frames_.find(engineId);
    return it != frames_.end() ? it->second : nullptr;
}

void BrowserImpl::RememberWindowOpen(const json& params) {
    windowOpen_ = params;
    windowOpenTick_ = GetTickCount();
}

bool BrowserImpl::TakeWindowOpen(json* params) {
    if (windowOpen_.is_null() || GetTickCount() - windowOpenTick_ > 5000) return false;
    *params = std::move(windowOpen_);
    windowOpen_ = json();
    return true;
}

void BrowserImpl::OnSessionEvent(const std::string& method, const json& params) {
    if (closed_) return;
    if (method == "Network.requestWillBeSent") {
        if (JsonString(params, "type") == "Document")
            docRequests_[JsonString(params, "requestId")] =
                JsonString(params, "frameId") + "\n" + JsonString(JsonObject(params, "request"), "url");
    } else if (method == "Network.responseReceived") {
        if (JsonString(params, "type") == "Document")
            status_[JsonString(params, "loaderId")] = JsonInt(JsonObject(params, "response"), "status");
    } else if (method == "Network.loadingFinished") {
        docRequests_.erase(JsonString(params, "requestId"));
    } else if (method == "Network.loadingFailed") {
        auto it = docRequests_.find(JsonString(params, "requestId"));
        if (it != docRequests_.end()) {
            std::string frameId = it->second.substr(0, it->second.find('\n'));
            std::string url = it->second.substr(it->second.find('\n') + 1);
            docRequests_.erase(it);
            CefRefPtr<FrameImpl> frame = FrameByEngineId(frameId);
            if (!frame) frame = mainFrame_;
            CefRefPtr<CefLoadHandler> load = client_ ? client_->GetLoadHandler() : nullptr;
            std::string text = JsonString(params, "errorText");
            if (load) load->OnLoadError(this, frame.get(), ErrorCodeFor(text, JsonBool(params, "canceled")), text, url);
        }
    } else if (method == "Page.frameNavigated") {
        OnFrameNavigated(JsonObject(params, "frame"));
    } else if (method == "Page.navigatedWithinDocument") {
        CefRefPtr<FrameImpl> frame = FrameByEngineId(JsonString(params, "frameId"));
        if (frame) {
            std::string url = JsonString(params, "url");
            frame->SetURL(url);
            CefRefPtr<CefDisplayHandler> display = client_ ? client_->GetDisplayHandler() : nullptr;
            if (display && frame->IsMain()) display->OnAddressChange(this, frame.get(), url);
            if (frame->IsMain()) UpdateHistory();
        }
    } else if (method == "Page.frameStartedLoading") {
        CefRefPtr<FrameImpl> frame = FrameByEngineId(JsonString(params, "frameId"));
        bool main = (frame && frame->IsMain()) || JsonString(params, "frameId") == TargetId();
        if (main && pendingUrl_.empty()) {
            {
                std::lock_guard<std::mutex> guard(lock_);
                loading_ = true;
            }
            CefRefPtr<CefLoadHandler> load = client_ ? client_->GetLoadHandler() : nullptr;
            if (load) load->OnLoadingStateChange(this, true, CanGoBack(), CanGoForward());
        }
    } else if (method == "Page.frameStoppedLoading") {
        OnFrameStoppedLoading(JsonString(params, "frameId"));
    } else if (method == "Page.frameDetached") {
        if (JsonString(params, "reason") != "swap") OnFrameDetached(JsonString(params, "frameId"));
    } else if (method == "Page.javascriptDialogOpening") {
        OnDialog(params);
    } else if (method == "Page.windowOpen") {
        RememberWindowOpen(params);
    } else if (method == "Runtime.bindingCalled") {
        if (JsonString(params, "name") == kHostBinding) OnBinding(JsonString(params, "payload"));
    } else if (method == "Runtime.executionContextCreated") {
        const json& context = JsonObject(params, "context");
        const json& aux = JsonObject(context, "auxData");
        if (JsonBool(aux, "isDefault")) contexts_[JsonString(aux, "frameId")] = JsonInt(context, "id");
    } else if (method == "Runtime.executionContextDestroyed") {
        int id = JsonInt(params, "executionContextId");
        for (auto it = contexts_.begin(); it != contexts_.end(); ++it)
            if (it->second == id) {
                contexts_.erase(it);
                break;
            }
    } else if (method == "Runtime.executionContextsCleared") {
        contexts_.clear();
    } else if (method == "Runtime.consoleAPICalled") {
        CefRefPtr<CefDisplayHandler> display = client_ ? client_->GetDisplayHandler() : nullptr;
        if (display) {
            std::string text;
            const json& args = JsonObject(params, "args");
            if (args.is_array())
                for (const json& a : args) {
                    if (!text.empty()) text += ' ';
                    const json& v = JsonObject(a, "value");
                    text += v.is_string() ? v.get<std::string>() : (v.is_null() ? JsonString(a, "description") : v.dump());
                }
            const json& frames = JsonObject(JsonObject(params, "stackTrace"), "callFrames");
            std::string source;
            int line = 0;
            if (frames.is_array() && !frames.empty()) {
                source = JsonString(frames[0], "url");
                line = JsonInt(frames[0], "lineNumber") + 1;
            }
            display->OnConsoleMessage(this, text, source, line);
        }
    } else if (method == "Inspector.targetCrashed") {
        OnCrashed(TS_PROCESS_CRASHED);
    }
}

void BrowserImpl::OnFrameNavigated(const json& frame) {
    std::string id = JsonString(frame, "id");
    std::string parentId = JsonString(frame, "parentId");
    std::string unreachable = JsonString(frame, "unreachableUrl");
    std::string url = unreachable.empty() ? JsonString(frame, "url") + JsonString(frame, "urlFragment") : unreachable;
    bool isMain = parentId.empty();
    if (isMain && skipBlank_) {
        if (JsonString(frame, "url") == "about:blank") return;  // the blank page a new page starts with
        skipBlank_ = false;
    }
    CefRefPtr<FrameImpl> f;
    CefRefPtr<FrameImpl> parent;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (isMain) {
            f = mainFrame_;
            std::string old = f->EngineId();
            if (old != id) frames_.erase(old);
            frames_[id] = f;
            hasDocument_ = true;
        } else {
            auto it = frames_.find(id);
            if (it != frames_.end()) {
                f = it->second;
            } else {
                f = new FrameImpl(this, nextFrameId_++, false);
                frames_[id] = f;
            }
            auto p = frames_.find(parentId);
            if (p != frames_.end()) parent = p->second;
        }
        frameLoader_[id] = JsonString(frame, "loaderId");
    }
    f->Update(id, url, JsonString(frame, "name"), parent);
    if (isMain && crashed_) {
        crashed_ = false;  // a new document: pictures come again
        if (hwnd_) InvalidateRect(hwnd_, nullptr, FALSE);
    }
    if (isMain) {
        CefRefPtr<CefDisplayHandler> display = client_ ? client_->GetDisplayHandler() : nullptr;
        if (display) display->OnAddressChange(this, f.get(), url);
        UpdateHistory();
    }
    loadStarted_.insert(id);
    CefRefPtr<CefLoadHandler> load = client_ ? client_->GetLoadHandler() : nullptr;
    if (load) load->OnLoadStart(this, f.get());
}

void BrowserImpl::OnFrameStoppedLoading(const std::string& frameId) {
    CefRefPtr<FrameImpl> frame = FrameByEngineId(frameId);
    CefRefPtr<CefLoadHandler> load = client_ ? client_->GetLoadHandler() : nullptr;
    if (frame && loadStarted_.erase(frameId)) {
        int status = 0;
        {
            std::lock_guard<std::mutex> guard(lock_);
            auto loader = frameLoader_.find(frameId);
            if (loader != frameLoader_.end()) {
                auto s = status_.find(loader->second);
                if (s != status_.end()) status = s->second;
            }
        }
        if (load) load->OnLoadEnd(this, frame.get(), status);
    }
    if (frame && frame->IsMain()) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            loading_ = false;
        }
        if (load) load->OnLoadingStateChange(this, false, CanGoBack(), CanGoForward());
    }
}

void BrowserImpl::OnFrameDetached(const std::string& frameId) {
    CefRefPtr<FrameImpl> frame;
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = frames_.find(frameId);
        if (it == frames_.end() || it->second == mainFrame_) return;
        frame = it->second;
        frames_.erase(it);
        frameLoader_.erase(frameId);
    }
    loadStarted_.erase(frameId);
    contexts_.erase(frameId);
    frame->Invalidate();
}

void BrowserImpl::UpdateHistory() {
    std::shared_ptr<DevToolsConnection> connection = EngineConnection();
    std::string session = SessionId();
    if (!connection || session.empty()) return;
    CefRefPtr<BrowserImpl> self(this);
    connection->SendAsync(
        "Page.getNavigationHistory", json::object(),
        [self](bool ok, const json& result) {
            if (!ok) return;
            const json& entries = JsonObject(result, "entries");
            int index = JsonInt(result, "currentIndex");
            int count = entries.is_array() ? (int)entries.size() : 0;
            std::lock_guard<std::mutex> guard(self->lock_);
            self->canGoBack_ = index > 0;
            self->canGoForward_ = index + 1 < count;
        },
        session);
}

void BrowserImpl::OnBinding(const std::string& payload) {
    if (payload.size() > kMaxBindingPayload) return;  // the page's scripts may call it too
    json msg = json::parse(payload, nullptr, false);
    if (!msg.is_object()) return;
    std::string kind = JsonString(msg, "t");
    if (kind == "title") {
        std::wstring title = CefString(JsonString(msg, "v")).ToWString();
        // An untitled page is known by its address.
        if (title.empty()) title = mainFrame_->GetURL().ToWString();
        if (title == title_) return;
        title_ = title;
        CefRefPtr<CefDisplayHandler> display = client_ ? client_->GetDisplayHandler() : nullptr;
        if (display) display->OnTitleChange(this, title);
    } else if (kind == "menu") {
        ShowContextMenu(msg);
    } else if (kind == "cursor") {
        SetCursorName(JsonString(msg, "v"));
    }
}

void BrowserImpl::SetCursorName(const std::string& name) {
    LPCWSTR id = CursorFor(name);
    cursor_ = id ? LoadCursorW(nullptr, id) : nullptr;
    hiddenCursor_ = id == nullptr;
    POINT pt;
    HWND hwnd = hwnd_;
    if (hwnd && GetCursorPos(&pt) && WindowFromPoint(pt) == hwnd) ::SetCursor(cursor_);
}

// ---- input ---------------------------------------------------------------------

void BrowserImpl::ForwardMouse(UINT msg, WPARAM wParam, LPARAM lParam) {
    int x = GET_X_LPARAM(lParam), y = GET_Y_LPARAM(lParam);
    const char* type = "mouseMoved";
    const char* button = "none";
    int which = -1;
    switch (msg) {
    case WM_LBUTTONDOWN: case WM_LBUTTONDBLCLK: type = "mousePressed"; button = "left"; which = 0; break;
    case WM_RBUTTONDOWN: case WM_RBUTTONDBLCLK: type = "mousePressed"; button = "right"; which = 2; break;
    case WM_MBUTTONDOWN: case WM_MBUTTONDBLCLK: type = "mousePressed"; button = "middle"; which = 1; break;
    case WM_LBUTTONUP: type = "mouseReleased"; button = "left"; which = 0; break;
    case WM_RBUTTONUP: type = "mouseReleased"; button = "right"; which = 2; break;
    case WM_MBUTTONUP: type = "mouseReleased"; button = "middle"; which = 1; break;
    default:
        if (wParam & MK_LBUTTON) button = "left";
        else if (wParam & MK_RBUTTON) button = "right";
        else if (wParam & MK_MBUTTON) button = "middle";
        break;
    }
    int buttons = ((wParam & MK_LBUTTON) ? 1 : 0) | ((wParam & MK_RBUTTON) ? 2 : 0) | ((wParam & MK_MBUTTON) ? 4 : 0);
    bool pressed = type[5] == 'P';
    bool released = type[5] == 'R';
    if (pressed) {
        HWND hwnd = hwnd_;
        if (GetFocus() != hwnd) ::SetFocus(hwnd);
        SetCapture(hwnd);
        // Double and triple clicks, counted the way the system counts them.
        DWORD now = GetMessageTime();
        if (which == lastButton_ && now - lastClickTime_ <= GetDoubleClickTime() &&
            abs(x - lastClickPos_.x) <= GetSystemMetrics(SM_CXDOUBLECLK) / 2 &&
            abs(y - lastClickPos_.y) <= GetSystemMetrics(SM_CYDOUBLECLK) / 2)
            ++clickCount_;
        else
            clickCount_ = 1;
        lastButton_ = which;
        lastClickTime_ = now;
        lastClickPos_.x = x;
        lastClickPos_.y = y;
        if (which == 2) {
            menuPoint_.x = x;
            menuPoint_.y = y;
        }
    }
    if (released && !(wParam & (MK_LBUTTON | MK_RBUTTON | MK_MBUTTON)) && GetCapture() == hwnd_) ReleaseCapture();
    json params = {{"type", type}, {"x", x}, {"y", y}, {"modifiers", CurrentModifiers()},
                   {"button", button}, {"buttons", buttons}};
    if (pressed || released) params["clickCount"] = which == lastButton_ ? clickCount_ : 1;
    Command("Input.dispatchMouseEvent", params);
}

void BrowserImpl::ForwardWheel(UINT msg, WPARAM wParam, LPARAM lParam) {
    POINT pt = {GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
    ScreenToClient(hwnd_, &pt);
    double delta = GET_WHEEL_DELTA_WPARAM(wParam) / (double)WHEEL_DELTA * 100.0;  // a notch scrolls 100 px
    json params = {{"type", "mouseWheel"}, {"x", pt.x}, {"y", pt.y}, {"modifiers", CurrentModifiers()},
                   {"deltaX", msg == WM_MOUSEHWHEEL ? delta : 0.0},
                   {"deltaY", msg == WM_MOUSEWHEEL ? -delta : 0.0}};
    Command("Input.dispatchMouseEvent", params);
}

void BrowserImpl::ForwardKey(UINT msg, WPARAM wParam, LPARAM lParam) {
    UINT vk = (UINT)wParam;
    UINT scan = (lParam >> 16) & 0xFF;
    bool extended = (lParam >> 24) & 1;
    bool down = msg == WM_KEYDOWN || msg == WM_SYSKEYDOWN;
    int modifiers = CurrentModifiers();
    bool ctrlOnly = (modifiers & 2) && !(modifiers & 1);
    if (down) {
        // The engine's clipboard is its own: paste comes from ours, copies go to ours.
        if ((ctrlOnly && vk == 'V') || (vk == VK_INSERT && modifiers == 8)) {
            std::wstring text = ClipboardText(hwnd_);
            if (!text.empty()) Command("Input.insertText", {{"text", CefString(text).ToString()}});
            return;
        }
        if ((ctrlOnly && (vk == 'C' || vk == 'X')) || (vk == VK_INSERT && modifiers == 2)) {
            std::shared_ptr<DevToolsConnection> connection = EngineConnection();
            std::string session = SessionId();
            HWND hwnd = hwnd_;
            if (connection && !session.empty())
                connection->SendAsync(
                    "Runtime.evaluate", {{"expression", kSelectionScript}, {"returnByValue", true}},
                    [hwnd](bool ok, const json& result) {
                        const json& value = JsonObject(JsonObject(result, "result"), "value");
                        if (!ok || !value.is_string() || value.get<std::string>().empty()) return;
                        std::wstring text = CefString(value.get<std::string>()).ToWString();
                        PostUiTask([hwnd, text] { PutOnClipboard(hwnd, text); });
                    },
                    session);
        }
    }
    std::string key = DomKeyName(vk);
    if (key.empty()) {
        // The character this key types: the WM_CHAR that TranslateMessage queued, if any.
        MSG next;
        if (down && PeekMessageW(&next, hwnd_, WM_CHAR, WM_CHAR, PM_NOREMOVE) && next.wParam >= 0x20) {
            key = CefString(std::wstring(1, (wchar_t)next.wParam)).ToString();
        } else {
            UINT ch = MapVirtualKeyW(vk, MAPVK_VK_TO_CHAR) & 0x7FFFFFFF;
            if (ch >= 0x20) {
                wchar_t c = (wchar_t)ch;
                if (!(modifiers & 8)) c = (wchar_t)towlower(c);
                key = CefString(std::wstring(1, c)).ToString();
            } else {
                key = "Unidentified";
            }
        }
    }
    int location = DomLocation(vk, scan, extended);
    json params = {{"type", down ? "rawKeyDown" : "keyUp"},
                   {"modifiers", modifiers},
                   {"windowsVirtualKeyCode", vk},
                   {"nativeVirtualKeyCode", vk},
                   {"code", DomCode(vk, scan, extended)},
                   {"key", key},
                   {"autoRepeat", down && (lParam & 0x40000000) != 0},
                   {"isKeypad", location == 3},
                   {"isSystemKey", msg == WM_SYSKEYDOWN || msg == WM_SYSKEYUP}};
    if (location) params["location"] = location;
    Command("Input.dispatchKeyEvent", params);
}

void BrowserImpl::ForwardChar(WPARAM wParam, LPARAM lParam) {
    wchar_t c = (wchar_t)wParam;
    if (c >= 0xD800 && c <= 0xDBFF) {
        highSurrogate_ = c;  // the pair's second half follows in the next WM_CHAR
        return;
    }
    std::wstring text(1, c);
    if (c >= 0xDC00 && c <= 0xDFFF) {
        if (!highSurrogate_) return;
        text.insert(text.begin(), highSurrogate_);
    }
    highSurrogate_ = 0;
    // Control characters are the key's business (Backspace, Escape, Ctrl+letter); Enter types.
    if (c < 0x20 && c != L'\r') return;
    std::string utf8 = CefString(text).ToString();
    Command("Input.dispatchKeyEvent", {{"type", "char"},
                                       {"text", utf8},
                                       {"unmodifiedText", utf8},
                                       {"key", c == L'\r' ? "Enter" : utf8},
                                       {"modifiers", CurrentModifiers()},
                                       {"windowsVirtualKeyCode", c == L'\r' ? VK_RETURN : 0}});
}

namespace {
// One of the input context's strings (GCS_RESULTSTR, GCS_COMPSTR).
std::wstring ImeString(HIMC imc, DWORD which) {
    std::wstring text;
    LONG bytes = ImmGetCompositionStringW(imc, which, nullptr, 0);
    if (bytes > 0) {
        text.resize(bytes / sizeof(wchar_t));
        ImmGetCompositionStringW(imc, which, &text[0], bytes);
    }
    return text;
}
}  // namespace

bool BrowserImpl::ForwardImeResult() {
    HIMC imc = ImmGetContext(hwnd_);
    if (!imc) return false;
    std::wstring text = ImeString(imc, GCS_RESULTSTR);
    ImmReleaseContext(hwnd_, imc);
    if (text.empty()) return false;
    // Commits: the text replaces whatever composition the page still shows.
    Command("Input.insertText", {{"text", CefString(text).ToString()}});
    imeComposing_ = false;
    return true;
}

void BrowserImpl::ForwardImeComposition() {
    HIMC imc = ImmGetContext(hwnd_);
    if (!imc) return;
    std::wstring text = ImeString(imc, GCS_COMPSTR);
    LONG cursor = ImmGetCompositionStringW(imc, GCS_CURSORPOS, nullptr, 0);
    ImmReleaseContext(hwnd_, imc);
    // An emptied composition is followed by its result or by the end of composing,
    // which cancels; either way the page hears of it once, then.
    if (text.empty()) return;
    // The caret inside the composition, in UTF-16 units as the engine counts them.
    int caret = cursor >= 0 && cursor <= (LONG)text.size() ? (int)cursor : (int)text.size();
    Command("Input.imeSetComposition",
            {{"text", CefString(text).ToString()}, {"selectionStart", caret}, {"selectionEnd", caret}});
    imeComposing_ = true;
}

void BrowserImpl::PlaceImeWindows() {
    std::shared_ptr<DevToolsConnection> connection = EngineConnection();
    std::string session = SessionId();
    if (!connection || session.empty()) return;
    HWND hwnd = hwnd_;
    connection->SendAsync(
        "Runtime.evaluate", {{"expression", kEditRectScript}, {"returnByValue", true}},
        [hwnd](bool ok, const json& result) {
            const json& r = JsonObject(JsonObject(result, "result"), "value");
            if (!ok || !r.is_array() || r.size() != 4 || !r[0].is_number() || !r[1].is_number() ||
                !r[2].is_number() || !r[3].is_number())
                return;
            RECT field = {r[0].get<int>(), r[1].get<int>(), r[2].get<int>(), r[3].get<int>()};
            PostUiTask([hwnd, field] {
                if (!IsWindow(hwnd)) return;
                HIMC imc = ImmGetContext(hwnd);
                if (!imc) return;
                // Below the field, never over it.
                CANDIDATEFORM candidate = {0, CFS_EXCLUDE, {field.left, field.bottom}, field};
                ImmSetCandidateWindow(imc, &candidate);
                COMPOSITIONFORM composition = {CFS_POINT, {field.left, field.bottom}, {0, 0, 0, 0}};
                ImmSetCompositionWindow(imc, &composition);
                ImmReleaseContext(hwnd, imc);
            });
        },
        session);
}

// ---- context menu, dialogs, crashes ---------------------------------------------------

void BrowserImpl::ShowContextMenu(const json& info) {
    HWND hwnd = hwnd_;
    if (!hwnd) return;
    std::string frameUrl = JsonString(info, "frame");
    std::string pageUrl = mainFrame_->GetURL().ToString();
    CefRefPtr<CefFrame> frame = mainFrame_.get();
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (frameUrl != pageUrl)
            for (auto& f : frames_)
                if (!f.second->IsMain() && f.second->GetURL().ToString() == frameUrl) {
                    frame = f.second.get();
                    break;
                }
    }
    ContextMenuInfo menuInfo;
    menuInfo.x = menuPoint_.x;
    menuInfo.y = menuPoint_.y;
    menuInfo.linkUrl = JsonString(info, "link");
    menuInfo.sourceUrl = JsonString(info, "src");
    menuInfo.pageUrl = pageUrl;
    menuInfo.frameUrl = frameUrl;
    menuInfo.selectionText = JsonString(info, "sel");
    menuInfo.editable = JsonBool(info, "edit");
    std::string media = JsonString(info, "media");
    menuInfo.mediaType = media == "image"   ? CM_MEDIATYPE_IMAGE
                         : media == "video" ? CM_MEDIATYPE_VIDEO
                         : media == "audio" ? CM_MEDIATYPE_AUDIO
                         : media == "plugin" ? CM_MEDIATYPE_PLUGIN
                                             : CM_MEDIATYPE_NONE;
    int flags = frame->IsMain() ? CM_TYPEFLAG_PAGE : CM_TYPEFLAG_FRAME;
    if (!menuInfo.linkUrl.empty()) flags |= CM_TYPEFLAG_LINK;
    if (menuInfo.mediaType != CM_MEDIATYPE_NONE) flags |= CM_TYPEFLAG_MEDIA;
    if (!menuInfo.selectionText.empty()) flags |= CM_TYPEFLAG_SELECTION;
    if (menuInfo.editable) flags |= CM_TYPEFLAG_EDITABLE;
    menuInfo.typeFlags = flags;
    int editFlags = 0;
    if (menuInfo.editable) {
        editFlags = CM_EDITFLAG_CAN_UNDO | CM_EDITFLAG_CAN_REDO | CM_EDITFLAG_CAN_PASTE | CM_EDITFLAG_CAN_SELECT_ALL;
        if (!menuInfo.selectionText.empty()) editFlags |= CM_EDITFLAG_CAN_CUT | CM_EDITFLAG_CAN_COPY | CM_EDITFLAG_CAN_DELETE;
    } else if (!menuInfo.selectionText.empty()) {
        editFlags = CM_EDITFLAG_CAN_COPY;
    }
    menuInfo.editFlags = editFlags;

    CefRefPtr<CefContextMenuParams> params = CreateContextMenuParams(menuInfo);
    CefRefPtr<CefMenuModel> model = CreateMenuModel();
    AddDefaultMenuItems(model, menuInfo, CanGoBack(), CanGoForward(), ChineseUi());

    CefRefPtr<CefContextMenuHandler> handler = client_ ? client_->GetContextMenuHandler() : nullptr;
    if (handler) handler->OnBeforeContextMenu(this, frame, params, model);
    if (closed_ || model->GetCount() == 0) return;  // an emptied model: no menu at all

    CefRefPtr<BrowserImpl> self(this);
    auto run = [self, frame, params, handler, info](int command, cef_event_flags_t flags) {
        if (command > 0 && !self->closed_) {
            bool handled = handler && handler->OnContextMenuCommand(self.get(), frame, params, command, flags);
            if (!handled) self->RunMenuCommand(command, info);
        }
        if (handler) handler->OnContextMenuDismissed(self.get(), frame);
    };
    if (handler) {
        CefRefPtr<CefRunContextMenuCallback> callback = CreateRunMenuCallback(run);
        if (handler->RunContextMenu(this, frame, params, model, callback)) return;
        DisarmRunMenuCallback(callback);
    }

    POINT screen = menuPoint_;
    ClientToScreen(hwnd, &screen);
    int command = TrackMenuModel(model, hwnd, screen);
    run(command, EVENTFLAG_NONE);
}

void BrowserImpl::RunMenuCommand(int commandId, const json& info) {
    switch (commandId) {
    case MENU_ID_BACK: GoBack(); break;
    case MENU_ID_FORWARD: GoForward(); break;
    case MENU_ID_RELOAD: Reload(); break;
    case MENU_ID_RELOAD_NOCACHE: ReloadIgnoreCache(); break;
    case MENU_ID_STOPLOAD: StopLoad(); break;
    case MENU_ID_COPY:
    case MENU_ID_CUT: {
        std::string sel = JsonString(info, "sel");
        if (!sel.empty()) PutOnClipboard(hwnd_, CefString(sel).ToWString());
        if (commandId == MENU_ID_CUT) Command("Runtime.evaluate", {{"expression", "document.execCommand('delete')"}});
        break;
    }
    case MENU_ID_PASTE: {
        std::wstring text = ClipboardText(hwnd_);
        if (!text.empty()) Command("Input.insertText", {{"text", CefString(text).ToString()}});
        break;
    }
    case MENU_ID_UNDO: Command("Runtime.evaluate", {{"expression", "document.execCommand('undo')"}}); break;
    case MENU_ID_REDO: Command("Runtime.evaluate", {{"expression", "document.execCommand('redo')"}}); break;
    case MENU_ID_DELETE: Command("Runtime.evaluate", {{"expression", "document.execCommand('delete')"}}); break;
    case MENU_ID_SELECT_ALL: Command("Runtime.evaluate", {{"expression", "document.execCommand('selectAll')"}}); break;
    default: break;
    }
}

void BrowserImpl::OnDialog(const json& params) {
    HWND hwnd = hwnd_;
    HWND owner = hwnd ? GetAncestor(hwnd, GA_ROOT) : nullptr;
    ScriptDialogResult result = RunScriptDialog(owner, JsonString(params, "type"), JsonString(params, "message"),
                                                JsonString(params, "defaultPrompt"), JsonString(params, "url"));
    json answer = {{"accept", result.accept}};
    if (result.accept && JsonString(params, "type") == "prompt") answer["promptText"] = result.text;
    Command("Page.handleJavaScriptDialog", answer);
}

void BrowserImpl::OnCrashed(cef_termination_status_t status) {
    if (crashed_) return;
    crashed_ = true;
    if (sink_) sink_->Reset();
    loadStarted_.clear();
    if (hwnd_) InvalidateRect(hwnd_, nullptr, FALSE);
    CefRefPtr<CefRequestHandler> request = client_ ? client_->GetRequestHandler() : nullptr;
    if (request) request->OnRenderProcessTerminated(this, status);
}

void BrowserImpl::OnEngineLost() { OnCrashed(TS_ABNORMAL_TERMINATION); }

// ---- closing ---------------------------------------------------------------------

void BrowserImpl::Destroy() {
    HWND hwnd = hwnd_;
    if (hwnd && IsWindow(hwnd)) DestroyWindow(hwnd);
    else Teardown();
}

void BrowserImpl::Teardown() {
    if (closed_) return;
    closed_ = true;
    CefRefPtr<BrowserImpl> keep(this);
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
#ifdef VORNMARK_HAVE_RENDER_HOST
    delete host;
#else
    (void)host;
#endif
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
    if (engine) engine->RemoveBrowser(this);
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

void BrowserImpl::Reload() { Command("Page.reload", {{"ignoreCache", false}}); }
void BrowserImpl::ReloadIgnoreCache() { Command("Page.reload", {{"ignoreCache", true}}); }
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

bool BrowserImpl::Stats(BrowserStats* out) {
    if (!sink_) return false;
    out->framesReceived = sink_->received;
    out->framesDecoded = sink_->decoded;
    out->framesPainted = painted_;
    std::shared_ptr<const Picture> p = sink_->Latest();
    out->frameWidth = p ? p->width : 0;
    out->frameHeight = p ? p->height : 0;
    out->lastDecodedQpc = sink_->lastDecodedQpc;
    out->firstFrameQpc = sink_->firstDecodedQpc;
    out->createdQpc = createdQpc_;
    out->decodeQpcTotal = sink_->decodeQpcTotal;
    out->crashed = crashed_;
    out->targetId = TargetId();
    return true;
}

// ---- creation entry points and test hooks ---------------------------------------------

namespace {

CefRefPtr<BrowserImpl> CreateOnUiThread(const CefWindowInfo& windowInfo, CefRefPtr<CefClient> client,
                                        const std::string& url, const CefBrowserSettings& settings) {
    Engine* engine = Engine::Current();
    if (!engine || !engine->Connected()) return nullptr;  // no engine: no browser, quietly
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

bool GetBrowserStats(CefRefPtr<CefBrowser> browser, BrowserStats* out) {
    BrowserImpl* impl = dynamic_cast<BrowserImpl*>(browser.get());
    if (!impl || !out) return false;
    bool ok = false;
    RunUiTaskAndWait([&] { ok = impl->Stats(out); });
    return ok;
}

bool EvaluateInBrowser(CefRefPtr<CefBrowser> browser, const std::string& expression, json* value,
                       DWORD timeoutMs) {
    BrowserImpl* impl = dynamic_cast<BrowserImpl*>(browser.get());
    std::shared_ptr<DevToolsConnection> connection = EngineConnection();
    if (!impl || !connection) return false;
    std::string session = impl->SessionId();
    if (session.empty()) return false;
    json result;
    if (!connection->Call("Runtime.evaluate",
                          {{"expression", expression}, {"returnByValue", true}, {"awaitPromise", true}}, &result,
                          session, timeoutMs))
        return false;
    if (!JsonObject(result, "exceptionDetails").is_null()) return false;
    if (value) *value = JsonObject(JsonObject(result, "result"), "value");
    return true;
}

}  // namespace cef_internal

using namespace cef_internal;

bool CefBrowserHost::CreateBrowser(const CefWindowInfo& windowInfo, CefRefPtr<CefClient> client,
                                   const CefString& url, const CefBrowserSettings& settings,
                                   CefRefPtr<CefRequestContext> request_context) {
    CefWindowInfo info(windowInfo);
    CefBrowserSettings copy(settings);
    std::string address = url.ToString();
    return PostUiTask([info, client, address, copy] { CreateOnUiThread(info, client, address, copy); });
}

CefRefPtr<CefBrowser> CefBrowserHost::CreateBrowserSync(const CefWindowInfo& windowInfo, CefRefPtr<CefClient> client,
                                                        const CefString& url, const CefBrowserSettings& settings,
                                                        CefRefPtr<CefRequestContext> request_context) {
    if (!OnUiThread()) return nullptr;
    return CreateOnUiThread(windowInfo, client, url.ToString(), settings).get();
}
