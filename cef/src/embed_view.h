// The engine's own window in a browser window's place (under Wine, with a Linux
// engine on an X display). The engine then runs as a windowed X11 program; our
// host on the Linux side (cef/host/xembed.py) keeps each page's engine window
// inside the X window Wine gives the browser window's top-level, at the browser
// window's place and size. The engine draws there at the page's own rate, and
// mouse, wheel, keys, input methods and cursors go to it straight from X.
//
// An EmbedView belongs to one browser window and lives on the engine's UI thread.
// It tells the host where the window is (following every move, resize, hiding and
// showing of the window and of its ancestors), hands the keyboard focus over when
// the page is clicked and takes it back when any other window of ours is, keeps
// presses out of the page while the top-level is disabled (a modal dialog), and
// passes the keys the page receives on to Wine, so that hot keys, message hooks
// and Alt+F4 see them as if they had been typed into the browser window.
//
// Wine draws a top-level window's contents into its X window including what lies
// over child X windows; a child window with a pixel format is left out of that
// drawing. The view's inner "hole" window carries one, and the engine's window sits
// exactly over it.
#pragma once

#include <windows.h>
#include <string>
#include "src/devtools.h"

namespace cef_internal {

// True when browsers are to show the engine's own window: under Wine with a Linux
// engine, an X display and a pixel format to be had, unless VORNMARK_ENGINE_VIEW
// asks for the screencast route. Decided once, on the engine's UI thread, before
// the engine starts (it then runs windowed).
bool EmbeddingWanted(bool linuxEngine);

// The extra information SendInput gives the keys the view passes on to Wine.
const ULONG_PTR kMirroredKeyMark = 0x564B4559;  // "VKEY"

class EmbedView {
public:
    // `number` names the browser to the host.
    EmbedView(HWND browserWindow, int number);
    ~EmbedView();

    // The address of the blank page the engine's window for this view starts
    // with; it tells the engine's page target (and its window) as ours.
    std::string PlaceholderUrl() const { return placeholderUrl_; }
    // A new placeholder for a new engine page (after the engine was started again).
    void Renew(unsigned generation);

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

    // The page is not shown (its process died): the engine's window is hidden and
    // the browser window paints the notice in its place.
    void SetSuspended(bool suspended);
    // Parks the engine's window again, acknowledged by the host before returning,
    // so that destroying our top-level never destroys the engine's window with it.
    void Close();

    bool HasWindow() const { return haveWindow_; }
    bool Shown() const { return shown_; }

    // Any thread: an acknowledgement of the host's ({"closed": N, "ack": K}).
    static bool OnAcknowledgement(const nlohmann::json& event);

private:
    void Send(const nlohmann::json& command);
    void ScheduleUpdate();
    void Update();
    void SetInput(bool enabled);
    void Focus();
    void Blur();
    bool Foreground() const;

    HWND window_;
    HWND hole_ = nullptr;  // the inner window over which the engine's window sits
    int number_;
    std::string token_;
    std::string placeholderUrl_;
    bool haveWindow_ = false;
    bool suspended_ = false;
    bool shown_ = false;
    bool inputEnabled_ = true;
    bool updatePending_ = false;
    bool mirroredChars_ = false;  // characters Wine made of a passed-on key: not for the page again
    int insetTop_ = 0;
    // What the host was last told.
    HWND sentRoot_ = nullptr;
    nlohmann::json sentPlace_;
};

}  // namespace cef_internal
