// Flash content behind the Flash switches: the Flash Player emulator (a folder
// "ruffle" beside the executable) goes into every document before the page's own
// scripts, and is set up in a document once it asks for Flash (reads the plug-in
// lists or gets a movie element). Its files are served by a file server inside
// this process.
//
// The server listens on 127.0.0.1 only, answers only under a random path token
// made afresh for every run, and only with files of that folder; requests under
// the socket relay's own token it hands to the relay. The engine is told to count
// that one endpoint as a public address, so pages on the internet may load from
// it and reach the relay (the engine's local-network protection would refuse them
// otherwise) while every other loopback service stays as protected as before.
// A loopback server rather than DevTools request interception: the engine caches
// its answers, where interception sends the 14 MB engine build over DevTools on
// every page load.
#pragma once

#include <windows.h>
#include <memory>
#include <string>
#include <vector>
#include "include/cef_command_line.h"
#include "src/engine/devtools.h"

namespace cef_internal {

// True when the command line asks for the Flash plug-in.
bool FlashSwitchesPresent(CefRefPtr<CefCommandLine> commandLine);
// "25.0.0.127" -> 25; 0 when the text is no version.
int FlashMajorVersion(const std::string& version);
// The plug-in description the Flash Player of that version gave pages
// ("Shockwave Flash 25.0 r0"); empty when the text is no version.
std::string FlashPluginDescription(const std::string& version);

// The emulator's settings. `fonts` is the folder's fonts.json (font files, named
// relative to the folder, and the fonts for device text), or null.
nlohmann::json FlashConfig(const std::string& publicPath, const std::string& flashVersion,
                           const nlohmann::json& fonts);
// The whole script for new documents: settings, the shim, the socket entries
// (FlashSocketScript, may be empty), then the emulator and the plug-in's version,
// both held back until the document asks for Flash.
std::string FlashDocumentScript(const nlohmann::json& config, const std::string& emulatorScript,
                                const std::string& pluginDescription, const std::string& socketScript = "");

// The emulator reaches TCP servers only through relays listed host by host and
// port by port. This script lists the socket relay (`relayBase`,
// "ws://127.0.0.1:<port>/<token>/") for every port of the hosts known for the
// document: its own host, the hosts of its movies, `gameHosts` and the hosts
// learned for its site (`learned`: {"site": ["host", ...]}). The list is built
// when a player first reads the settings, so documents without a movie pay
// nothing. It also defines the function FlashLearnExpression calls.
std::string FlashSocketScript(const std::string& relayBase, const std::vector<std::string>& gameHosts,
                              const nlohmann::json& learned);
// The host and port of the emulator's "Missing WebSocket proxy for host H, port P"
// warning; false for any other text or a host that is no plain host name.
bool ParseMissingProxyWarning(const std::string& text, std::string* host, int* port);
// The expression that adds a learned host's entries to a document's list and
// restarts its players once; it evaluates to the document's site when it did,
// false when the host was listed already.
std::string FlashLearnExpression(const std::string& host);
// The learned hosts with one more for `site`, within bounds (hosts per site,
// sites); unchanged when it was known or out of bounds.
nlohmann::json FlashLearnHost(const nlohmann::json& learned, const std::string& site, const std::string& host);
// The document script for a window that a frame's first, empty document hands on
// to the same-origin page that follows: the engine keeps that window's script
// context and does not run the document script again, so the emulator would keep
// watching the empty document. Does nothing in a window set up for its document.
std::string FlashReusedWindowScript(const std::string& documentScript);

// What the file server answers for one request line's method and target.
struct FlashFileAnswer {
    int status = 404;
    std::wstring path;        // the file, for 200
    std::string contentType;  // for 200
};
FlashFileAnswer ResolveFlashRequest(const std::wstring& folder, const std::string& token, const std::string& method,
                                    const std::string& target);

class FlashFileServer;

class FlashEmulator {
public:
    // Engine start, UI thread, before the engine is launched: decides from the
    // browser command line and the folder, and when both say yes starts the file
    // server and composes the document script.
    static void Start();
    // Engine stop, UI thread: ends the server and every connection it serves.
    static void Stop();
    // What goes on the engine's command line for it (empty: Flash is off). Any thread.
    static std::vector<std::string> EngineArguments();
    // The script every new document gets (empty: Flash is off). Any thread.
    static std::string DocumentScript();
    // FlashReusedWindowScript of it (empty: Flash is off). Any thread.
    static std::string ReusedWindowScript();
    // A document at `url` is shown: its origin may use the socket relay. Any thread.
    static void AllowOrigin(const std::string& url);
    // A host a movie of `site` asked for and the relay list lacked: kept in the
    // profile and in the document script for the site's next documents. True when
    // the script changed (pages then take it up with RefreshFlashScript). UI thread.
    static bool RememberHost(const std::string& site, const std::string& host);
    // The folder beside the executable.
    static std::wstring Folder();
};

}  // namespace cef_internal
