// The engine's own window in a browser window's place (under Wine, with a Linux
// engine on an X display). The engine then runs as a windowed X11 program; our
// host on the Linux side (cef/host/xembed.py) keeps each page's engine window
// inside the X window Wine gives the browser window's top-level, at the browser
// window's place and size. The engine draws there at the page's own rate, and the
// mouse, the wheel and the cursor shapes work there straight from X.
//
// An EmbedView belongs to one browser window and lives on the engine's UI thread.
// It tells the host where the window is (following every move, resize, hiding and
// showing of the window and of its ancestors) and keeps presses out of the page
// while the top-level is disabled (a modal dialog).
//
// Keys. The X keyboard focus stays with Wine's window around the engine's: Wine
// takes any focus in a window not its own (even one inside its own) for a loss of
// focus, counts its windows inactive and sends the focus to the root window. X
// gives the keys to the window under the pointer when that lies inside the focus
// window, so the page gets them straight from X while the pointer is over it, and
// through the browser window (forwarded over DevTools, as on the screencast route)
// otherwise. Keys the page got straight from X come back from the view's page
// script: each is posted to the browser window as the message it would have been
// (marked, so that it is not passed to the page a second time), where message
// hooks see it and the default handling does its part (Alt+F4 closes the
// top-level); a key somebody holds as a hot key is typed into Wine instead, whose
// hot key handling then fires. The host also reports the keys that could be hot
// keys straight from X; those are typed from its report, which does not wait
// behind the page's work as the page's own does. Keys the page got from us come
// back too, and are known by the order they were forwarded in.
//
// Wine draws a top-level window's contents into its X window including what lies
// over child X windows; a child window with a pixel format is left out of that
// drawing. The view's inner "hole" window carries one, and the engine's window sits
// exactly over it.
#pragma once

#include <windows.h>
#include <deque>
#include <functional>
#include <string>
#include "src/engine/devtools.h"

namespace cef_internal {

// True when browsers may show the engine's own window: under Wine with a Linux
// engine and an X display, unless VORNMARK_ENGINE_VIEW asks for the screencast
// route or no pixel format was to be had. Cheap. Engine UI thread.
bool EmbeddingPossible(bool linuxEngine);
// EmbeddingPossible, and a pixel format to be had: tried once, which under Wine
// costs some 100 ms as its GL comes up. Engine UI thread.
bool EmbeddingWanted(bool linuxEngine);

// The marks of the keys the view passes on to Wine: a bit of lParam Windows keeps
// reserved in the key messages it posts, and the extra information of those it types.
const LPARAM kMirroredKeyBit = 1 << 25;
const ULONG_PTR kTypedKeyMark = 0x564B4559;  // "VKEY"

class EmbedView {
public:
    // Hands one window command to the engine's host; false when it could not go
    // (no engine runs). UI thread.
    typedef std::function<bool(const std::string& command)> Sender;

    // `number` names the browser to the host; commands go through `send`.
    EmbedView(HWND browserWindow, int number, Sender send);
    ~EmbedView();

    // The address of the blank page the engine's window for this view starts
    // with; it tells the engine's page target (and its window) as ours.
    std::string PlaceholderUrl() const { return placeholderUrl_; }
    // A new placeholder for a new engine page (the engine was started again); with
    // `token`, the one of a window the engine opens by itself (its first).
    void Renew(unsigned generation, const std::string& token = std::string());
    // The placeholder page whose address (and so the engine window's class) carries `token`.
    static std::string Placeholder(const std::string& token);
    // A token of this process's for the engine page `which` of engine start `generation`.
    static std::string MakeToken(const std::string& which, unsigned generation);

    // Asks the host for the engine window of our page (the engine opens it).
    void Open();
    // A popup's window: the engine was asked to move it to (left, top), and the
    // host takes the window found there. `insetTop` crops the engine's furniture.
    void Claim(int left, int top, int insetTop);

    // Messages of the browser window, handled first here. True when handled
    // (the result in *result); false lets the window handle it as usual.
    bool HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT* result);

    // An event of the host about our window (UI thread).
    void OnWindowEvent(const nlohmann::json& event);
    // A key the page received, reported by the view's page script (UI thread).
    void OnPageKey(const nlohmann::json& key);
    // Whether the host reports the keys pressed in the engine's windows that could
    // be hot keys, straight from X; told by the host first thing (UI thread).
    static void SetHostKeys(bool reported);
    // A key forwarded to the page by the browser window: the page reports it too.
    void ExpectEcho(int vk, bool down);

    // The page is not shown (its process died): the engine's window is hidden and
    // the browser window paints the notice in its place.
    void SetSuspended(bool suspended);
    // A script dialog of ours is up: the engine draws one of its own over the page,
    // so the host holds what the window showed when the dialog came, until it goes.
    void SetFrozen(bool frozen);
    // Parks the engine's window again, acknowledged by the host before returning,
    // so that destroying our top-level never destroys the engine's window with it.
    void Close();

    bool HasWindow() const { return haveWindow_; }
    bool Shown() const { return shown_; }

    // Any thread: an acknowledgement of the host's ({"closed": N, "ack": K}).
    static bool OnAcknowledgement(const nlohmann::json& event);

private:
    struct Echo {
        int vk;
        bool down;
        DWORD tick;
    };

    void Send(const nlohmann::json& command);
    void ScheduleUpdate();
    void Update();
    void SetInput(bool enabled);
    bool IsEcho(int vk, bool down);
    // A key pressed in the page, as the host saw it from X (modifiers as the page's).
    void OnHostKey(int vk, int modifiers);
    void TypeHotKey(int vk, int modifiers, bool extended);

    HWND window_;
    HWND hole_ = nullptr;  // the inner window over which the engine's window sits
    int number_;
    Sender send_;
    std::string token_;
    std::string placeholderUrl_;
    bool haveWindow_ = false;
    bool suspended_ = false;
    bool shown_ = false;
    bool inputEnabled_ = true;
    bool updatePending_ = false;
    bool mirroredChars_ = false;  // characters Wine made of a passed-on key: not for the page again
    int hotKeyDown_ = 0;          // a hot key typed into Wine: its release is not posted
    std::deque<Echo> echoes_;     // keys forwarded to the page, oldest first
    int insetTop_ = 0;
    // What the host was last told.
    nlohmann::json sentPlace_;
};

}  // namespace cef_internal
