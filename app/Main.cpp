// Entry point: one executable serves as the browser process and every sub-process.
#include <windows.h>
#include <ole2.h>
#include "app/GameApp.h"
#include "base/Diagnostics.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    base::StartupBegin();
    if (OleInitialize(nullptr) != S_OK) return 0;
    base::StartupStep(L"OLE initialised");
    {
        gameApp app;
        app.Run();
        app.launchFilter.RemoveAll();
    }
    OleUninitialize();
    return 0;
}
