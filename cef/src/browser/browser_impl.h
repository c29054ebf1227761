// A windowed browser: its window (owned by the engine UI thread), the engine page
// behind it, its frames, and the mapping of engine events onto the client's handlers.
// Its members are defined by concern: browser_impl.cpp (window, paint, closing and
// the CefBrowser/CefBrowserHost methods), browser_input.cpp, browser_events.cpp
// (the engine page and its events) and context_menu.cpp.
#pragma once

#include <windows.h>
#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include "include/cef_client.h"
#include "src/engine/devtools.h"
#include "src/browser/engine.h"
#include "src/view/embed_view.h"
#include "src/view/frame_sink.h"
#include "src/browser/frame_impl.h"
#include "src/browser/script_dialog.h"
#include "src/api/thread_check.h"

namespace cef_internal {

class BrowserImpl;
class RenderHost;

// Sends a command to the engine from any thread; 0 when no engine is connected.
int EngineSend(const std::string& method, const nlohmann::json& params, const std::string& sessionId);
// The connection while the engine runs (any thread); null otherwise.
std::shared_ptr<DevToolsConnection> EngineConnection();
// True when the program's user interface is Chinese (its lang switch).
bool ChineseUi();

class BrowserImpl : public CefBrowser, public CefBrowserHost {
public:
    // What the window shows instead of the page while there is none.
    enum Notice {
        kNoNotice = 0,
        kEngineRecovering,  // the engine died; it is being started again
        kEngineLost,        // it died again within a minute: the player's reload starts it
        kPageReloading,     // the page's process died; the page is being reloaded
        kPageLost,          // it died again within a minute: the player's reload reloads it
    };

    BrowserImpl(const CefWindowInfo& windowInfo, CefRefPtr<CefClient> client, const CefBrowserSettings& settings,
                bool popup, HWND opener);
    ~BrowserImpl() override;

    // CefBrowser
    CefRefPtr<CefBrowserHost> GetHost() override { return this; }
    bool CanGoBack() override;
    void GoBack() override;
    bool CanGoForward() override;
    void GoForward() override;
    bool IsLoading() override;
    void Reload() override;
    void ReloadIgnoreCache() override;
    void StopLoad() override;
    int GetIdentifier() override { return id_; }
    bool IsSame(CefRefPtr<CefBrowser> that) override;
    bool IsPopup() override { return popup_; }
    bool HasDocument() override;
    CefRefPtr<CefFrame> GetMainFrame() override;
    CefRefPtr<CefFrame> GetFocusedFrame() override { return GetMainFrame(); }
    CefRefPtr<CefFrame> GetFrame(int64 identifier) override;
    CefRefPtr<CefFrame> GetFrame(const CefString& name) override;
    size_t GetFrameCount() override;
    void GetFrameIdentifiers(std::vector<int64>& identifiers) override;
    void GetFrameNames(std::vector<CefString>& names) override;
    bool SendProcessMessage(CefProcessId target_process, CefRefPtr<CefProcessMessage> message) override;

    // CefBrowserHost
    CefRefPtr<CefBrowser> GetBrowser() override { return this; }
    void CloseBrowser(bool force_close) override;
    void SetFocus(bool focus) override;
    HWND GetWindowHandle() override { return hwnd_; }
    HWND GetOpenerWindowHandle() override { return opener_; }
    CefRefPtr<CefClient> GetClient() override { return client_; }
    void WasResized() override;

    // Engine side, UI thread only.
    // False when no window could be made: the browser is then closed and holds nothing.
    bool CreateHostWindow();
    void Attach(const std::string& targetId, const std::string& sessionId, bool waiting);
    // Hands an event of this browser's page to its member in SessionEvents().
    void OnSessionEvent(const std::string& method, const nlohmann::json& params);
    // The engine died: the notice, OnRenderProcessTerminated, and nothing left of
    // the engine's page. `recovering`: a new engine is on its way.
    void OnEngineLost(bool recovering);
    // The player asked for the engine again (the notice's reload).
    void OnRecovering();
    // Where the page was when the engine died: the new page goes there.
    std::string RecoveryUrl() const;
    void RememberRecoveryUrl(const std::string& url) { recoveryUrl_ = url; }
    void SetPendingUrl(const std::string& url) {
        CEF_REQUIRE_UI_THREAD();
        pendingUrl_ = url;
        skipBlank_ = true;
    }
    void RememberWindowOpen(const nlohmann::json& params);
    bool TakeWindowOpen(nlohmann::json* params);
    bool Stats(BrowserStats* out);
    bool Closed() const {
        CEF_REQUIRE_UI_THREAD();
        return closed_;
    }
    // Silences the page while its window cannot be seen, and lets it sound again. UI thread only.
    void UpdateAudible();
    // Closes the window (and so the browser) without asking the client; engine shutdown.
    void Destroy();

    // Engine side, any thread.
    void Navigate(const std::string& url, const std::string& frameEngineId);
    void Evaluate(const std::string& expression, const std::string& frameEngineId);
    std::string TargetId();
    std::string SessionId();
    void SetTargetId(const std::string& targetId);
    CefRefPtr<FrameImpl> FrameByEngineId(const std::string& engineId);
    // The engine's own window in this window's place (embed_view.h), UI thread.
    // Opens the engine's window for a new page; returns its placeholder address.
    std::string OpenView(unsigned generation, const std::string& token = std::string());
    // A popup's window, which the engine made itself: asked to move to (left, top).
    void ClaimView(int left, int top);
    void OnViewEvent(const nlohmann::json& event);
    bool Embedded() const { return view_ != nullptr; }

    typedef void (BrowserImpl::*SessionHandler)(const nlohmann::json& params);
    // Every page event a browser handles, with its member. The engine passes on
    // to the UI thread only the events named here (and its own), so adding an
    // event is one line here and one member.
    static const std::map<std::string, SessionHandler>& SessionEvents();

private:
    bool OpenWindow();
    static LRESULT CALLBACK WndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam);
    void Paint();
    void Teardown();
    void Command(const std::string& method, const nlohmann::json& params = nlohmann::json());
    void SendViewport();
    void StartScreencast();
    void CheckPictureSize();
    // The page's size: the window's client area, never empty.
    int PageWidth() const { return std::max(1, width_); }
    int PageHeight() const { return std::max(1, height_); }
    // When a new screencast's picture is checked against the page's size, and how
    // many times it is started again when it does not match.
    static constexpr UINT_PTR kPictureCheckTimer = 1;
    static constexpr UINT kPictureCheckMs = 400;
    static constexpr int kPictureRetries = 3;
    void ForwardMouse(UINT msg, WPARAM wParam, LPARAM lParam);
    void ForwardWheel(UINT msg, WPARAM wParam, LPARAM lParam);
    void ForwardKey(UINT msg, WPARAM wParam, LPARAM lParam);
    void ForwardChar(WPARAM wParam, LPARAM lParam);
    bool ForwardImeResult();
    void ForwardImeComposition();
    void PlaceImeWindows();
    void SetCursorName(const std::string& name);
    void OnBinding(const std::string& payload);
    void ShowContextMenu(const nlohmann::json& info);
    void RunMenuCommand(int commandId, const nlohmann::json& info);
    void OnCrashed(cef_termination_status_t status);
    // The notice (browser_recovery.cpp).
    void ShowNotice(Notice notice);
    void PaintNotice(HDC dc, const RECT& client);
    // The reload button's place in the window; false when the notice has none.
    bool NoticeButton(RECT* button);
    void OnNoticeClick(POINT point);
    // Starts the engine again if it is dead; any thread.
    void RecoverEngine();
    void DropEnginePage();
    // Page events (SessionEvents), UI thread.
    void OnRequestWillBeSent(const nlohmann::json& params);
    void OnResponseReceived(const nlohmann::json& params);
    void OnLoadingFinished(const nlohmann::json& params);
    void OnLoadingFailed(const nlohmann::json& params);
    void OnFrameNavigated(const nlohmann::json& params);
    void OnNavigatedWithinDocument(const nlohmann::json& params);
    void OnFrameStartedLoading(const nlohmann::json& params);
    void OnFrameStoppedLoading(const nlohmann::json& params);
    void OnLifecycleEvent(const nlohmann::json& params);
    void OnFrameDetached(const nlohmann::json& params);
    void OnDialog(const nlohmann::json& params);
    void OnBindingCalled(const nlohmann::json& params);
    void OnContextCreated(const nlohmann::json& params);
    void OnContextDestroyed(const nlohmann::json& params);
    void OnContextsCleared(const nlohmann::json& params);
    void OnConsoleMessage(const nlohmann::json& params);
    void LearnSocketHost(int contextId, const std::string& text);
    void AddFlashScript(const std::string& source);
    void RefreshFlashScript();
    void OnTargetCrashed(const nlohmann::json& params);
    void UpdateHistory();
    void StartRenderHost();

    static std::atomic<int> nextId_;
    const int id_;
    CefRefPtr<CefClient> client_;
    CefBrowserSettings settings_;
    CefWindowInfo windowInfo_;
    const bool popup_;
    const HWND opener_;
    std::atomic<HWND> hwnd_{nullptr};
    DWORD parentThread_ = 0;  // input attached to this thread while the window lives

    mutable std::mutex lock_;  // guards the fields below that other threads read
    std::string targetId_;
    std::string sessionId_;
    CefRefPtr<FrameImpl> mainFrame_;
    std::map<std::string, CefRefPtr<FrameImpl>> frames_;  // by engine frame id
    RenderHost* renderHost_ = nullptr;
    bool loading_ = false;
    bool canGoBack_ = false;
    bool canGoForward_ = false;
    bool hasDocument_ = false;
    std::map<std::string, std::string> frameLoader_;  // engine frame id -> loader of its document

    // UI thread only.
    std::shared_ptr<FrameSink> sink_;
    std::unique_ptr<EmbedView> view_;  // the engine's own window shows the page
    std::string pendingUrl_;  // where the page goes once it is set up
    bool skipBlank_ = false;  // the blank document before that is nobody's business
    std::map<std::string, int> status_;               // document loader id -> HTTP status
    std::map<std::string, std::string> docRequests_;  // request id -> engine frame id
    std::set<std::string> loadStarted_;               // frames with a start and no end yet
    std::map<std::string, int> contexts_;             // engine frame id -> default execution context
    std::string flashScriptId_;  // the emulator's document script as the engine registered it
    nlohmann::json windowOpen_;                       // last Page.windowOpen of this page
    DWORD windowOpenTick_ = 0;
    ScriptDialogPolicy dialogPolicy_;                 // which origins' dialogs the player stopped
    int dialogsUp_ = 0;  // script dialogs of ours showing (nested loops), while the engine's window is frozen
    std::wstring title_;
    HCURSOR cursor_ = nullptr;
    bool crashed_ = false;
    Notice notice_ = kNoNotice;
    std::string recoveryUrl_;
    bool pageCrashedBefore_ = false;
    DWORD lastPageCrashTick_ = 0;
    bool attached_ = false;
    bool audible_ = true;  // what the page's documents were last told
    bool screencasting_ = false;
    int pictureRetries_ = 0;  // screencasts restarted since the viewport last changed
    bool afterCreatedSent_ = false;
    bool closed_ = false;
    int width_ = 0;
    int height_ = 0;
    int64 nextFrameId_ = 1;
    // Click counting for double and triple clicks.
    int lastButton_ = -1;
    DWORD lastClickTime_ = 0;
    POINT lastClickPos_ = {0, 0};
    int clickCount_ = 0;
    POINT menuPoint_ = {0, 0};  // screen position of the last right press
    std::atomic<int> painted_{0};
    const Picture* lastPainted_ = nullptr;
    std::shared_ptr<const Picture> lastPaintedPicture_;  // keeps lastPainted_ from being reused
    bool hiddenCursor_ = false;
    bool imeComposing_ = false;  // UI thread: the page shows an uncommitted composition
    wchar_t highSurrogate_ = 0;
    LONGLONG createdQpc_ = 0;

    friend class FrameImpl;
    IMPLEMENT_REFCOUNTING(BrowserImpl);
};

}  // namespace cef_internal
