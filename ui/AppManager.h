// The toolkit's per-thread application manager: the thread's window objects,
// message pre-translation along the parent chain, and the application's run.
#pragma once

#include <windows.h>
#include <mutex>
#include <string>
#include <vector>

class CWindowCtrl;

class CAppManager {
public:
    CAppManager();
    virtual ~CAppManager();

    // Base returns true: nothing ran, so a manager loop may run if windows exist.
    virtual bool OnInit();
    // Nonzero means the message is consumed.
    virtual int PreTranslateMessage(MSG* msg);
    // Messages of windows that have no object; the window procedure ignores the result.
    virtual int OnOrphanMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

    void Run();
    static CAppManager* FromCurrentThread();
    // The sole registered manager, or null when none or several are registered.
    static CAppManager* FastPointer();

    bool AddWindow(HWND hwnd, CWindowCtrl* window);
    void RemoveWindow(HWND hwnd);
    CWindowCtrl* WindowFromHandle(HWND hwnd) const;
    bool PreTranslate(MSG* msg);
    bool RunMessageLoop();

    // The lock of the process-wide registry; it also guards the toolkit's class names.
    static std::mutex& RegistryLock();

    std::vector<CWindowCtrl*> windows;  // not owned: removed, never deleted, here
    DWORD threadId;
    ULONG_PTR gdiplusToken;
    bool inLoop;
};

// Module instance used by the toolkit to register classes and create windows; set by Run.
extern HINSTANCE g_toolkitInstance;
