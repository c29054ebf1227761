// Creation, popups and closing of browsers.
#pragma once

#include "include/cef_base.h"
#include "include/cef_browser.h"
#include "include/internal/cef_types_wrappers.h"
#include "include/internal/cef_win.h"

class CefClient;

class CefLifeSpanHandler : public virtual CefBase {
public:
    typedef cef_window_open_disposition_t WindowOpenDisposition;

    // A page asks for a new window. Return true to cancel it; otherwise the window
    // opens as a popup browser made from `windowInfo`, `client` and `settings`.
    virtual bool OnBeforePopup(CefRefPtr<CefBrowser> browser, CefRefPtr<CefFrame> frame, const CefString& target_url,
                               const CefString& target_frame_name, WindowOpenDisposition target_disposition,
                               bool user_gesture, const CefPopupFeatures& popupFeatures, CefWindowInfo& windowInfo,
                               CefRefPtr<CefClient>& client, CefBrowserSettings& settings,
                               bool* no_javascript_access) {
        return false;
    }
    virtual void OnAfterCreated(CefRefPtr<CefBrowser> browser) {}
    virtual bool RunModal(CefRefPtr<CefBrowser> browser) { return false; }
    virtual bool DoClose(CefRefPtr<CefBrowser> browser) { return false; }
    virtual void OnBeforeClose(CefRefPtr<CefBrowser> browser) {}
};
