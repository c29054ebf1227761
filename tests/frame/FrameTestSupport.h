// Shared pieces of the frame tests: an application object of the program's own
// kind around each test, stand-ins for the engine's browser and frame objects,
// mouse and key helpers, and a recorder for the addresses given to the shell.
#pragma once

#include <windows.h>
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>
#include "app/GameApp.h"
#include "include/cef_browser.h"
#include "include/cef_process_message.h"
#include "common/StubBrowser.h"
#include "common/TestEntry.h"

class CFrameGame;

namespace frametest {

// Patience for a window state to change, generous for loaded machines; waits
// end as soon as the state is reached.
const DWORD kWait = 10000;

// A gameApp whose OnInit runs the test body: the frame finds the application
// where the program has it (gameApp::Current) and the main loop's key filter
// (Esc, F10) is the program's own. No engine runs in the test process, so no
// browser ever arrives in the frame's host window.
void RunInApp(const std::function<void(gameApp&)>& body);
// The same with a frame created for the body and known to the application as its
// own; the frame is closed afterwards, however the body ends.
void RunWithFrame(const std::function<void(gameApp&, CFrameGame&)>& body);

// The frame shows maximised with its title bar laid out for that size (the
// maximised style is set before the resize reaches the items).
bool GameLayoutShown(CFrameGame& game);
// Switches a created frame to the in-game layout and waits for the maximised show.
bool EnterGame(CFrameGame& game);
// Destroys the frame window and lets the launcher's close arrive.
void CloseFrame(CFrameGame& game);

// Waits on another thread until `done` holds or `ms` pass (for driver threads,
// which cannot wait on the main thread's queue).
bool WaitOn(const std::function<bool()>& done, DWORD ms);

// Puts the cursor at a screen point and waits until the system reports it there.
void PlaceCursor(int x, int y);
// Mouse at a client point of `hwnd`: the cursor is put there (so the system's
// mouse tracking agrees) and the messages are posted to the window.
void PostMouseMove(HWND hwnd, int x, int y);
void PostClick(HWND hwnd, int x, int y);
// The centre of a rectangle.
POINT Centre(const RECT& r);

// Top-level windows of this process with the given class, visible or not.
std::vector<HWND> OwnWindows(const wchar_t* className, bool visibleOnly = true);

// Addresses opened through ShellExecuteW. Under Wine an http address goes to
// winebrowser.exe, which starts the first command of the value "Browsers" of
// HKCU\Software\Wine\WineBrowser with the address as its last argument (Wine 8
// splits the value at commas and each command line like CommandLineToArgvW). The
// recorder points that value at "/bin/sh -c 'echo "$0" >> FILE'" and puts the
// previous value back when it goes away.
class UrlRecorder {
public:
    UrlRecorder();
    ~UrlRecorder();
    bool ok() const { return ok_; }
    // The addresses recorded so far, in arrival order.
    std::vector<std::string> Lines() const;
    // Waits (pumping this thread's messages) until `count` addresses arrived.
    bool WaitFor(size_t count, DWORD ms) const;

private:
    std::wstring windowsPath_;
    bool ok_;
    bool hadValue_;
    std::wstring previous_;
};

using testutil::Utf8;

// The engine's frame object, reduced to its address.
using FakeFrame = testutil::StubFrame;

// The engine's browser object; records the process messages sent through it.
class FakeBrowser : public testutil::StubBrowser {
public:
    struct Sent {
        CefProcessId target;
        std::wstring name;
        std::vector<std::wstring> args;
    };
    bool SendProcessMessage(CefProcessId target, CefRefPtr<CefProcessMessage> message) override;

    std::vector<Sent> SentMessages();

private:
    std::mutex lock_;
    std::vector<Sent> sent_;
};

// Runs `work` on a thread of its own, as the engine's UI thread calls the
// frame, and waits for it while serving this thread's sent messages.
void OnEngineThread(const std::function<void()>& work);

}  // namespace frametest
