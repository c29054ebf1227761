// Context menus: the model the client edits, the parameters it reads, the
// default items and the native menu that shows what is left. context_menu.cpp
// also holds the browser's side of it (BrowserImpl::ShowContextMenu, RunMenuCommand).
#pragma once

#include <windows.h>
#include <functional>
#include <string>
#include "include/cef_context_menu_handler.h"

namespace cef_internal {

struct ContextMenuInfo {
    int x = 0;  // browser window coordinates
    int y = 0;
    int typeFlags = CM_TYPEFLAG_NONE;
    std::string linkUrl;
    std::string sourceUrl;
    std::string pageUrl;
    std::string frameUrl;
    std::string selectionText;
    bool editable = false;
    cef_context_menu_media_type_t mediaType = CM_MEDIATYPE_NONE;
    int editFlags = CM_EDITFLAG_NONE;
};

CefRefPtr<CefContextMenuParams> CreateContextMenuParams(const ContextMenuInfo& info);
CefRefPtr<CefMenuModel> CreateMenuModel();
// The engine's default items for what was clicked: editing commands in an editable
// field, Copy for a selection, otherwise navigation.
void AddDefaultMenuItems(CefRefPtr<CefMenuModel> model, const ContextMenuInfo& info, bool canGoBack,
                         bool canGoForward, bool chinese);
// A callback for clients that show their own menu; `done` runs once (command 0 = cancelled).
CefRefPtr<CefRunContextMenuCallback> CreateRunMenuCallback(std::function<void(int, cef_event_flags_t)> done);
// For a client that declined to show its own menu: the callback will never report.
void DisarmRunMenuCallback(CefRefPtr<CefRunContextMenuCallback> callback);
// Shows the model's visible items as a native menu at `screen`; returns the chosen command or 0.
int TrackMenuModel(CefRefPtr<CefMenuModel> model, HWND owner, POINT screen);

}  // namespace cef_internal
