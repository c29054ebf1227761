// A browser and a frame as the engine's handlers hand them over, without an engine:
// every question answers "nothing" (the frame: its address) and every action does
// nothing. Tests derive from them and override what they watch.
#pragma once
#include <vector>
#include "include/cef_browser.h"

namespace testutil {

// A loaded frame: its address, and whether it is the main one.
class StubFrame : public CefFrame {
public:
    explicit StubFrame(const CefString& url = CefString(), bool main = true) : url_(url), main_(main) {}
    bool IsValid() override { return true; }
    void LoadURL(const CefString&) override {}
    void ExecuteJavaScript(const CefString&, const CefString&, int) override {}
    bool IsMain() override { return main_; }
    bool IsFocused() override { return main_; }
    CefString GetName() override { return CefString(); }
    int64 GetIdentifier() override { return main_ ? 1 : 2; }
    CefRefPtr<CefFrame> GetParent() override { return nullptr; }
    CefString GetURL() override { return url_; }
    CefRefPtr<CefBrowser> GetBrowser() override { return nullptr; }
    void VisitDOM(CefRefPtr<CefDOMVisitor>) override {}
    IMPLEMENT_REFCOUNTING(StubFrame);

private:
    CefString url_;
    bool main_;
};

class StubBrowser : public CefBrowser {
public:
    CefRefPtr<CefBrowserHost> GetHost() override { return nullptr; }
    bool CanGoBack() override { return false; }
    void GoBack() override {}
    bool CanGoForward() override { return false; }
    void GoForward() override {}
    bool IsLoading() override { return false; }
    void Reload() override {}
    void ReloadIgnoreCache() override {}
    void StopLoad() override {}
    int GetIdentifier() override { return 1; }
    bool IsSame(CefRefPtr<CefBrowser> that) override { return that.get() == this; }
    bool IsPopup() override { return false; }
    bool HasDocument() override { return GetMainFrame() != nullptr; }
    CefRefPtr<CefFrame> GetMainFrame() override { return nullptr; }
    CefRefPtr<CefFrame> GetFocusedFrame() override { return GetMainFrame(); }
    CefRefPtr<CefFrame> GetFrame(int64) override { return nullptr; }
    CefRefPtr<CefFrame> GetFrame(const CefString&) override { return nullptr; }
    size_t GetFrameCount() override { return GetMainFrame() ? 1 : 0; }
    void GetFrameIdentifiers(std::vector<int64>& ids) override { ids.clear(); }
    void GetFrameNames(std::vector<CefString>& names) override { names.clear(); }
    bool SendProcessMessage(CefProcessId, CefRefPtr<CefProcessMessage>) override { return false; }
    IMPLEMENT_REFCOUNTING(StubBrowser);
};

}  // namespace testutil
