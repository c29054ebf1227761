// The engine client of the program's one browser: it shows no context menu, lets
// no popup become a browser window and passes on only the popups the player
// started or that open the game's own pages, one a second at most (CPopupGate), remembers the newest browser for the host
// window and hands title, load and popup events and renderer messages to the
// callbacks the frame binds.
#pragma once

#include <functional>
#include <list>
#include <mutex>
#include "browser/PopupGate.h"
#include "include/cef_client.h"

class ClientHandler : public CefClient,
                      public CefDisplayHandler,
                      public CefLoadHandler,
                      public CefLifeSpanHandler,
                      public CefContextMenuHandler,
                      public CefRequestHandler {
public:
    ClientHandler();
    ~ClientHandler() override;

    // CefClient
    CefRefPtr<CefContextMenuHandler> GetContextMenuHandler() override { return this; }
    CefRefPtr<CefDisplayHandler> GetDisplayHandler() override { return this; }
    CefRefPtr<CefLifeSpanHandler> GetLifeSpanHandler() override { return this; }
    CefRefPtr<CefLoadHandler> GetLoadHandler() override { return this; }
    CefRefPtr<CefRequestHandler> GetRequestHandler() override { return this; }
    bool OnProcessMessageReceived(CefRefPtr<CefBrowser> browser, CefProcessId source_process,
                                  CefRefPtr<CefProcessMessage> message) override;

    // CefDisplayHandler
    void OnTitleChange(CefRefPtr<CefBrowser> browser, const CefString& title) override;

    // CefLoadHandler
    void OnLoadStart(CefRefPtr<CefBrowser> browser, CefRefPtr<CefFrame> frame) override;
    void OnLoadEnd(CefRefPtr<CefBrowser> browser, CefRefPtr<CefFrame> frame, int httpStatusCode) override;

    // CefLifeSpanHandler
    bool OnBeforePopup(CefRefPtr<CefBrowser> browser, CefRefPtr<CefFrame> frame, const CefString& target_url,
                       const CefString& target_frame_name, CefLifeSpanHandler::WindowOpenDisposition target_disposition,
                       bool user_gesture, const CefPopupFeatures& popupFeatures, CefWindowInfo& windowInfo,
                       CefRefPtr<CefClient>& client, CefBrowserSettings& settings,
                       bool* no_javascript_access) override;
    void OnAfterCreated(CefRefPtr<CefBrowser> browser) override;
    bool DoClose(CefRefPtr<CefBrowser> browser) override;
    void OnBeforeClose(CefRefPtr<CefBrowser> browser) override;

    // CefContextMenuHandler
    void OnBeforeContextMenu(CefRefPtr<CefBrowser> browser, CefRefPtr<CefFrame> frame,
                             CefRefPtr<CefContextMenuParams> params, CefRefPtr<CefMenuModel> model) override;
    bool OnContextMenuCommand(CefRefPtr<CefBrowser> browser, CefRefPtr<CefFrame> frame,
                              CefRefPtr<CefContextMenuParams> params, int command_id,
                              CefContextMenuHandler::EventFlags event_flags) override;

    // The most recently created browser (null before the first); any thread.
    CefRefPtr<CefBrowser> GetBrowser();

    // Every browser from its OnAfterCreated to its OnBeforeClose (engine UI thread).
    std::list<CefRefPtr<CefBrowser>> browserList;

    IMPLEMENT_REFCOUNTING(ClientHandler);

public:
    // Written on the engine UI thread, read on the main thread: through browserLock.
    CefRefPtr<CefBrowser> currentBrowser;

    // Bound by the frame on the main thread. The host window requests the browser only
    // after the frame has bound them (CMyHtmlEx), so the engine UI thread only reads
    // them once they are final.
    std::function<void(const CefString&)> titleChangeCallback;
    std::function<void(CefRefPtr<CefBrowser>, CefRefPtr<CefFrame>, int)> loadEndCallback;
    std::function<void(CefRefPtr<CefBrowser>, CefRefPtr<CefFrame>)> loadStartCallback;
    std::function<bool(const CefString&, CefWindowInfo&, CefRefPtr<CefClient>&, CefBrowserSettings&)>
        beforePopupCallback;
    std::function<bool(CefRefPtr<CefBrowser>, CefProcessId, CefRefPtr<CefProcessMessage>)> processMessageCallback;

private:
    std::mutex browserLock;
    // Consulted by OnBeforePopup only, so on the engine UI thread alone.
    CPopupGate popupGate;
};
