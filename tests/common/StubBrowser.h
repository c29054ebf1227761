// A browser that is only an identity: every question answers "nothing" and every
// action does nothing. Tests derive from it and override what they watch.
#pragma once
#include <vector>
#include "include/cef_browser.h"

namespace testutil {

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
