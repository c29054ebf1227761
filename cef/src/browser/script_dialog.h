// The engine's own script dialogs (alert, confirm, prompt, leaving a page), shown
// as native dialogs when the client has no dialog handler of its own.
//
// They are modal to the page, not to the program: the window around the browser
// stays enabled, so its close button, the tray and Alt+F4 keep working while a page
// holds a dialog up, and a page that keeps opening dialogs is offered, from its
// second one on, to be stopped, as browsers do.
#pragma once

#include <windows.h>
#include <set>
#include <string>

namespace cef_internal {

// Control ids of the dialog.
const int kScriptDialogTextId = 100;
const int kScriptDialogEditId = 101;
const int kScriptDialogStopId = 102;  // the check box that stops the page's further dialogs

// At most this much of a message is shown; the rest is cut at a character
// boundary (a page may pass megabytes).
const size_t kScriptDialogMaxMessageUnits = 3000;

struct ScriptDialogRequest {
    std::string type;           // "alert", "confirm", "prompt" or "beforeunload"
    std::string message;        // UTF-8
    std::string defaultPrompt;  // UTF-8, prompt only
    std::string url;            // of the page that asks
    bool offerStop = false;     // show the check box that stops further dialogs
    bool chinese = false;       // the program's language for buttons and the check box
};

struct ScriptDialogResult {
    bool accept = false;
    std::string text;          // UTF-8, prompt only
    bool stopFurther = false;  // the player asked for no more dialogs from this page
};

// Runs the dialog on the calling thread (the engine UI thread), serving its
// messages meanwhile, until it is answered or EndScriptDialogs ends it (then
// answered as cancelled). `owner` is the top-level window the dialog stays above;
// it is not disabled, and Alt+F4 in the dialog is passed on to it.
// `browserWindow` is disabled while the dialog runs and names the dialog for
// EndScriptDialogs.
ScriptDialogResult RunScriptDialog(HWND owner, HWND browserWindow, const ScriptDialogRequest& request);

// Ends every dialog running for `browserWindow`: the browser is going away.
// Engine UI thread.
void EndScriptDialogs(HWND browserWindow);

// Dialog title for a page address: "JavaScript Alert - http://host".
std::wstring ScriptDialogTitle(const std::string& type, const std::string& url);

// The part of an address that names who asks: scheme and host (with port) for
// addresses with a host, the scheme alone for the others ("data:", "about:").
std::string ScriptDialogOrigin(const std::string& url);

// The answer a page gets once the player has stopped its dialogs: as if each
// had been dismissed at once (alert goes on, confirm and prompt are cancelled,
// leaving the page is allowed).
ScriptDialogResult StoppedDialogAnswer(const std::string& type);

// Per browser, on the engine UI thread: which pages' dialogs the player has
// stopped, and whether the next one offers to stop them. A page is known by its
// origin, so reloading itself does not start it over.
class ScriptDialogPolicy {
public:
    enum Action { kShow, kShowWithStop, kAnswerAtOnce };
    Action Next(const std::string& origin) const;
    // After a dialog of `origin` was shown and answered.
    void Answered(const std::string& origin, const ScriptDialogResult& result);

private:
    std::set<std::string> shown_;
    std::set<std::string> stopped_;
};

}  // namespace cef_internal
