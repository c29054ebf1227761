// One frame of a browser's page, as the browser process knows it.
#pragma once

#include <mutex>
#include <string>
#include "include/cef_browser.h"

namespace cef_internal {

class BrowserImpl;

class FrameImpl : public CefFrame {
public:
    FrameImpl(BrowserImpl* browser, int64 identifier, bool isMain);

    bool IsValid() override;
    void LoadURL(const CefString& url) override;
    void ExecuteJavaScript(const CefString& code, const CefString& script_url, int start_line) override;
    bool IsMain() override { return isMain_; }
    bool IsFocused() override { return isMain_; }
    CefString GetName() override;
    int64 GetIdentifier() override { return identifier_; }
    CefRefPtr<CefFrame> GetParent() override;
    CefString GetURL() override;
    CefRefPtr<CefBrowser> GetBrowser() override;
    void VisitDOM(CefRefPtr<CefDOMVisitor> visitor) override {}  // render process only

    // Engine side, UI thread only.
    void Update(const std::string& engineId, const std::string& url, const std::string& name,
                CefRefPtr<FrameImpl> parent);
    void SetURL(const std::string& url);
    void Invalidate();
    std::string EngineId();

private:
    std::mutex lock_;  // the fields below are written on the UI thread and read anywhere
    CefRefPtr<BrowserImpl> browser_;  // released by Invalidate, which breaks the cycle
    CefRefPtr<FrameImpl> parent_;
    std::string engineId_;
    std::string url_;
    std::string name_;
    bool valid_ = true;
    const int64 identifier_;
    const bool isMain_;
    IMPLEMENT_REFCOUNTING(FrameImpl);
};

}  // namespace cef_internal
