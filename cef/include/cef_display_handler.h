// Notifications about what a browser displays.
#pragma once

#include <vector>
#include "include/cef_base.h"
#include "include/cef_browser.h"

class CefDisplayHandler : public virtual CefBase {
public:
    virtual void OnAddressChange(CefRefPtr<CefBrowser> browser, CefRefPtr<CefFrame> frame, const CefString& url) {}
    virtual void OnTitleChange(CefRefPtr<CefBrowser> browser, const CefString& title) {}
    virtual void OnFaviconURLChange(CefRefPtr<CefBrowser> browser, const std::vector<CefString>& icon_urls) {}
    virtual void OnFullscreenModeChange(CefRefPtr<CefBrowser> browser, bool fullscreen) {}
    virtual bool OnTooltip(CefRefPtr<CefBrowser> browser, CefString& text) { return false; }
    virtual void OnStatusMessage(CefRefPtr<CefBrowser> browser, const CefString& value) {}
    virtual bool OnConsoleMessage(CefRefPtr<CefBrowser> browser, const CefString& message, const CefString& source,
                                  int line) {
        return false;
    }
};
