#include "src/api/cef_context.h"

#include <windows.h>
#include <atomic>
#include <mutex>
#include "base/Diagnostics.h"
#include "base/MessageWait.h"
#include "base/WindowMessages.h"
#include "include/cef_task.h"

namespace cef_internal {
namespace {

// Written by CefInitialize/CefShutdown on the main thread while the UI thread is
// not running (before it starts, after it is joined); read by every thread in between.
struct Context {
    HANDLE uiThread = nullptr;
    DWORD uiThreadId = 0;
    CefRefPtr<CefApp> app;
    CefRefPtr<CefCommandLine> commandLine;
    EngineSettings settings;
} g_context;

// Created and destroyed by the UI thread, read by any thread that posts.
std::atomic<HWND> g_taskWindow{nullptr};

// Tasks go to a message-only window rather than the thread queue, so that modal
// loops on the UI thread (menus, message boxes) still run them instead of dropping them.
LRESULT CALLBACK TaskWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_RUN_TASK) {
        std::function<void()>* task = reinterpret_cast<std::function<void()>*>(lParam);
        if (task) {
            (*task)();
            delete task;
        }
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

DWORD WINAPI UiThreadMain(LPVOID readyEvent) {
    WNDCLASSEXW wc = {sizeof(wc)};
    wc.lpfnWndProc = TaskWindowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"VornmarkEngineTasks";
    RegisterClassExW(&wc);
    g_taskWindow = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance,
                                   nullptr);
    SetEvent((HANDLE)readyEvent);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    // Tasks posted after the quit request are dropped, their storage freed.
    HWND w = g_taskWindow;
    g_taskWindow = nullptr;
    while (PeekMessageW(&msg, w, WM_RUN_TASK, WM_RUN_TASK, PM_REMOVE))
        delete reinterpret_cast<std::function<void()>*>(msg.lParam);
    DestroyWindow(w);
    return 0;
}

}  // namespace

bool PostUiTask(std::function<void()> task) {
    if (!g_context.uiThreadId) return false;
    HWND target = g_taskWindow;
    if (!target) return false;
    auto* heap = new std::function<void()>(std::move(task));
    if (!PostMessageW(target, WM_RUN_TASK, 0, reinterpret_cast<LPARAM>(heap))) {
        delete heap;
        return false;
    }
    return true;
}

bool RunUiTaskAndWait(std::function<void()> task) {
    if (OnUiThread()) {
        task();
        return true;
    }
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!done) return false;
    bool posted = PostUiTask([&task, done] {
        task();
        SetEvent(done);
    });
    if (posted) {
        HANDLE handles[2] = {done, g_context.uiThread};
        // The thread ending without running the task must not hang the caller, and
        // messages the UI thread sends to this thread's windows meanwhile (its browser
        // windows are children of ours) are handled, or both would wait forever.
        base::WaitServingSentMessages(handles, 2);
    }
    CloseHandle(done);
    return posted;
}

bool OnUiThread() { return g_context.uiThreadId && GetCurrentThreadId() == g_context.uiThreadId; }
DWORD UiThreadId() { return g_context.uiThreadId; }
CefRefPtr<CefApp> GetApp() { return g_context.app; }
const EngineSettings& GetSettings() { return g_context.settings; }
CefRefPtr<CefCommandLine> GetBrowserCommandLine() { return g_context.commandLine; }

bool UiThreadRunning() { return g_context.uiThread != nullptr; }

bool StartUiThread(CefRefPtr<CefApp> app, CefRefPtr<CefCommandLine> commandLine, const EngineSettings& settings) {
    if (g_context.uiThread) return false;
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!ready) {
        base::DiagFailure(L"CefInitialize", L"no event for the UI thread's start (error %lu)", GetLastError());
        return false;
    }
    g_context.app = app;
    g_context.commandLine = commandLine;
    g_context.settings = settings;
    DWORD id = 0;
    // Started suspended so that its handle and id are in place before it runs.
    HANDLE thread = CreateThread(nullptr, 0, UiThreadMain, ready, CREATE_SUSPENDED, &id);
    if (!thread) {
        base::DiagFailure(L"CefInitialize", L"no engine UI thread (error %lu)", GetLastError());
        CloseHandle(ready);
        g_context.app = nullptr;
        g_context.commandLine = nullptr;
        return false;
    }
    g_context.uiThread = thread;
    g_context.uiThreadId = id;
    ResumeThread(thread);
    WaitForSingleObject(ready, INFINITE);
    CloseHandle(ready);
    return true;
}

void EndUiThread() {
    if (!g_context.uiThread) return;
    PostThreadMessageW(g_context.uiThreadId, WM_QUIT, 0, 0);
    WaitForSingleObject(g_context.uiThread, INFINITE);
    CloseHandle(g_context.uiThread);
    g_context.uiThread = nullptr;
    g_context.uiThreadId = 0;
    g_context.app = nullptr;
    g_context.commandLine = nullptr;
}

}  // namespace cef_internal

using namespace cef_internal;

bool CefCurrentlyOn(CefThreadId threadId) { return threadId == TID_UI && OnUiThread(); }

bool CefPostTask(CefThreadId threadId, CefRefPtr<CefTask> task) {
    if (threadId != TID_UI || !task) return false;
    return PostUiTask([task] { task->Execute(); });
}
