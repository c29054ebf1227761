// The child window that hosts the game page: it creates the browser's parent
// window and the client handler, asks the engine for the browser on the start
// address, keeps the browser the size of its client area, and reloads on request.
#pragma once

#include <windows.h>
#include "browser/ClientHandler.h"
#include "ui/WindowCtrl.h"

class CMyHtmlEx : public CWindowCtrl {
public:
    CMyHtmlEx();
    ~CMyHtmlEx() override;

    void OnCreate(CREATESTRUCTW* cs) override;
    // Fits the browser to the client area; the arguments are not used. Called from
    // another thread (the engine's handlers), it posts the refit to this window's.
    void OnSize(UINT type, int cx, int cy) override;
    LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) override;

    CefRefPtr<ClientHandler> GetClientHandler();
    void ReloadIgnoreCache();

    // 0: the browser is 3 pixels taller than the client area; 1: exactly as tall.
    // Read and written on this window's thread only.
    BYTE exactFit;
    CefRefPtr<ClientHandler> clientHandler;
    CWindowCtrl browserParent;

private:
    void RequestBrowser();

    // What OnCreate prepared for the browser request that follows it.
    int pendingX, pendingY, pendingWidth, pendingHeight;
};
