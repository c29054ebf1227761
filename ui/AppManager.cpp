#include "ui/AppManager.h"

#include <gdiplus.h>
#include <algorithm>
#include <atomic>
#include "base/ThreadCheck.h"
#include "ui/WindowCtrl.h"

HINSTANCE g_toolkitInstance = nullptr;

namespace {
// Registry of managers; guarded by RegistryLock(). The fast pointer is read by
// window procedures without the lock, hence atomic.
std::vector<CAppManager*> g_managers;
std::atomic<CAppManager*> g_fastManager{nullptr};
}  // namespace

std::mutex& CAppManager::RegistryLock() {
    static std::mutex lock;
    return lock;
}

CAppManager::CAppManager() : threadId(0), gdiplusToken(0), inLoop(false) {}

CAppManager::~CAppManager() {
    windows.clear();
    windows.shrink_to_fit();
}

bool CAppManager::OnInit() { return true; }
int CAppManager::PreTranslateMessage(MSG*) { return 0; }
int CAppManager::OnOrphanMessage(HWND, UINT, WPARAM, LPARAM) { return 0; }

void CAppManager::Run() {
    {
        std::lock_guard<std::mutex> lock(RegistryLock());
        DWORD me = GetCurrentThreadId();
        for (CAppManager* m : g_managers)
            if (m->threadId == me) return;
        threadId = me;
        g_managers.push_back(this);
        if (g_managers.size() == 1) g_fastManager = this;
    }
    g_toolkitInstance = GetModuleHandleW(nullptr);

    Gdiplus::GdiplusStartupInput input;  // version 1, no debug callback, background thread on
    Gdiplus::GdiplusStartup(&gdiplusToken, &input, nullptr);

    if (OnInit() && !windows.empty()) RunMessageLoop();

    {
        std::lock_guard<std::mutex> lock(RegistryLock());
        auto it = std::find_if(g_managers.begin(), g_managers.end(),
                               [this](CAppManager* m) { return m->threadId == threadId; });
        if (it != g_managers.end()) g_managers.erase(it);
        if (g_managers.empty()) g_fastManager = nullptr;
    }
    Gdiplus::GdiplusShutdown(gdiplusToken);
}

CAppManager* CAppManager::FromCurrentThread() {
    std::lock_guard<std::mutex> lock(RegistryLock());
    DWORD me = GetCurrentThreadId();
    for (CAppManager* m : g_managers)
        if (m->threadId == me) return m;
    return nullptr;
}

CAppManager* CAppManager::FastPointer() { return g_fastManager.load(); }

bool CAppManager::AddWindow(HWND hwnd, CWindowCtrl* window) {
    BASE_DCHECK_THREAD(threadId);
    for (CWindowCtrl* w : windows)
        if (w->hwnd == hwnd) return false;
    windows.push_back(window);
    return true;
}

void CAppManager::RemoveWindow(HWND hwnd) {
    BASE_DCHECK_THREAD(threadId);
    for (auto it = windows.begin(); it != windows.end(); ++it) {
        if ((*it)->hwnd == hwnd) {
            (*it)->hwnd = nullptr;
            windows.erase(it);
            return;
        }
    }
}

CWindowCtrl* CAppManager::WindowFromHandle(HWND hwnd) const {
    if (!hwnd) return nullptr;
    for (CWindowCtrl* w : windows)
        if (w->hwnd == hwnd) return w;
    return nullptr;
}

bool CAppManager::PreTranslate(MSG* msg) {
    BASE_DCHECK_THREAD(threadId);
    for (HWND h = msg->hwnd; h; h = GetParent(h)) {
        CWindowCtrl* w = WindowFromHandle(h);
        if (w && w->PreTranslateMessage(msg)) return true;
    }
    return PreTranslateMessage(msg) != 0;
}

bool CAppManager::RunMessageLoop() {
    if (GetCurrentThreadId() != threadId || inLoop) return false;
    inLoop = true;
    MSG msg;
    // GetMessageW answers -1 on an invalid argument; treat it like the end of the loop.
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (!PreTranslate(&msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    inLoop = false;
    return true;
}
