// When the page is gone: its render process crashed, or the whole engine died. The
// window shows a notice in the program's language at once; a crashed page reloads
// itself and a dead engine is started again (Engine::OnEngineGone), the page
// coming back at its last address. A second loss within a minute keeps the notice,
// with a reload the player can click.
#include "src/browser/browser_impl.h"

#include "src/api/cef_context.h"
#include "src/render/render_host.h"

using nlohmann::json;

namespace cef_internal {
namespace {

// A second crash of the page within this time is left to the player.
const DWORD kPageRecoveryWindowMs = 60000;
const int kButtonWidth = 128;
const int kButtonHeight = 34;
const int kButtonGap = 22;  // between the text and the button
const int kTextHeight = 26;

const wchar_t* NoticeText(BrowserImpl::Notice notice, bool zh) {
    switch (notice) {
    case BrowserImpl::kEngineRecovering:
        return zh ? L"游戏连接中断，正在恢复…" : L"The connection to the game was lost. Reconnecting…";
    case BrowserImpl::kEngineLost:
        return zh ? L"游戏连接再次中断。" : L"The connection to the game was lost again.";
    case BrowserImpl::kPageReloading:
        return zh ? L"页面意外停止，正在重新加载…" : L"The page stopped unexpectedly. Reloading…";
    case BrowserImpl::kPageLost:
        return zh ? L"页面再次意外停止。" : L"The page stopped unexpectedly again.";
    default:
        return zh ? L"页面已停止运行。" : L"The page has stopped working.";
    }
}

bool HasButton(BrowserImpl::Notice notice) {
    return notice == BrowserImpl::kEngineLost || notice == BrowserImpl::kPageLost;
}

// The text's line and the button below it, the two centred together in `client`.
void Layout(const RECT& client, bool button, RECT* text, RECT* buttonRect) {
    int height = kTextHeight + (button ? kButtonGap + kButtonHeight : 0);
    int top = client.top + ((client.bottom - client.top) - height) / 2;
    *text = RECT{client.left, top, client.right, top + kTextHeight};
    int left = client.left + ((client.right - client.left) - kButtonWidth) / 2;
    int buttonTop = top + kTextHeight + kButtonGap;
    *buttonRect = button ? RECT{left, buttonTop, left + kButtonWidth, buttonTop + kButtonHeight} : RECT{0, 0, 0, 0};
}

}  // namespace

void BrowserImpl::OnCrashed(cef_termination_status_t status) {
    if (crashed_) return;
    crashed_ = true;
    if (sink_) sink_->Reset();
    // The notice shows in the engine's window's place.
    if (view_) view_->SetSuspended(true);
    loadStarted_.clear();
    if (hwnd_) InvalidateRect(hwnd_, nullptr, FALSE);
    CefRefPtr<CefRequestHandler> request = client_ ? client_->GetRequestHandler() : nullptr;
    if (request) request->OnRenderProcessTerminated(this, status);
}

void BrowserImpl::ShowNotice(Notice notice) {
    notice_ = notice;
    HWND hwnd = hwnd_;
    if (!hwnd) return;
    // Painted now, not when the thread next gets round to it: the engine's restart follows.
    InvalidateRect(hwnd, nullptr, FALSE);
    UpdateWindow(hwnd);
}

void BrowserImpl::OnTargetCrashed(const json&) {
    DWORD now = GetTickCount();
    bool again = pageCrashedBefore_ && now - lastPageCrashTick_ < kPageRecoveryWindowMs;
    pageCrashedBefore_ = true;
    lastPageCrashTick_ = now;
    OnCrashed(TS_PROCESS_CRASHED);
    if (closed_) return;  // the client closed it on the news
    ShowNotice(again ? kPageLost : kPageReloading);
    // The page's target outlives its process: a reload gives it a new one.
    if (!again) Command("Page.reload", {{"ignoreCache", false}});
}

void BrowserImpl::OnEngineLost(bool recovering) {
    if (closed_) return;
    std::string url = mainFrame_->GetURL().ToString();
    if (url.empty() || url == "about:blank") url = pendingUrl_;  // the page was still being made
    if (!url.empty()) recoveryUrl_ = url;
    pendingUrl_.clear();
    skipBlank_ = false;
    DropEnginePage();
    OnCrashed(TS_ABNORMAL_TERMINATION);
    if (closed_) return;
    ShowNotice(recovering ? kEngineRecovering : kEngineLost);
}

void BrowserImpl::OnRecovering() {
    if (crashed_ && notice_ == kEngineLost) ShowNotice(kEngineRecovering);
}

std::string BrowserImpl::RecoveryUrl() const { return recoveryUrl_.empty() ? "about:blank" : recoveryUrl_; }

void BrowserImpl::DropEnginePage() {
    RenderHost* host = nullptr;
    std::string session;
    std::map<std::string, CefRefPtr<FrameImpl>> frames;
    {
        std::lock_guard<std::mutex> guard(lock_);
        host = renderHost_;
        renderHost_ = nullptr;
        session.swap(sessionId_);
        targetId_.clear();
        frames.swap(frames_);
        frameLoader_.clear();
        loading_ = false;
    }
    // Inner frames went with the page; the main frame stays the browser's.
    for (auto& f : frames)
        if (f.second != mainFrame_) f.second->Invalidate();
    Engine* engine = Engine::Current();
    if (engine && !session.empty()) engine->UnregisterSink(session);
    // Its render process goes too; the new page gets a new one.
    delete host;
    attached_ = false;
    screencasting_ = false;
    contexts_.clear();
    status_.clear();
    docRequests_.clear();
    loadStarted_.clear();
    windowOpen_ = json();
    imeComposing_ = false;
}

void BrowserImpl::RecoverEngine() {
    CefRefPtr<BrowserImpl> self(this);
    PostUiTask([self] {
        Engine* engine = Engine::Current();
        if (!self->closed_ && engine && !engine->Connected()) engine->RecoverByPlayer();
    });
}

bool BrowserImpl::NoticeButton(RECT* button) {
    HWND hwnd = hwnd_;
    if (!crashed_ || !HasButton(notice_) || !hwnd) return false;
    RECT client, text;
    GetClientRect(hwnd, &client);
    Layout(client, true, &text, button);
    return true;
}

void BrowserImpl::OnNoticeClick(POINT point) {
    RECT button;
    if (!NoticeButton(&button) || !PtInRect(&button, point)) return;
    if (notice_ == kEngineLost) {
        if (Engine* engine = Engine::Current()) engine->RecoverByPlayer();
    } else if (notice_ == kPageLost) {
        ShowNotice(kPageReloading);
        Command("Page.reload", {{"ignoreCache", false}});
    }
}

void BrowserImpl::PaintNotice(HDC dc, const RECT& client) {
    HBRUSH back = CreateSolidBrush(RGB(240, 240, 240));
    FillRect(dc, &client, back);
    DeleteObject(back);
    bool zh = ChineseUi();
    bool button = HasButton(notice_);
    RECT text, buttonRect;
    Layout(client, button, &text, &buttonRect);
    HFONT font = CreateFontW(-16, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                             CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH, zh ? L"Microsoft YaHei" : L"Tahoma");
    HGDIOBJ old = SelectObject(dc, font);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, RGB(80, 80, 80));
    DrawTextW(dc, NoticeText(notice_, zh), -1, &text, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
    if (button) {
        HBRUSH face = CreateSolidBrush(RGB(52, 120, 206));
        FillRect(dc, &buttonRect, face);
        DeleteObject(face);
        SetTextColor(dc, RGB(255, 255, 255));
        DrawTextW(dc, zh ? L"重新加载" : L"Reload", -1, &buttonRect,
                  DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
    }
    SelectObject(dc, old);
    DeleteObject(font);
}

}  // namespace cef_internal
