#include <winsock2.h>
#include <ws2tcpip.h>

#include "src/flash/flash_emulator.h"

#include <wincrypt.h>
#include <algorithm>
#include <mutex>
#include "BuildConfig.h"
#include "src/api/cef_context.h"
#include "src/api/thread_check.h"
#include "src/flash/bounded_server.h"
#include "src/flash/relay_protocol.h"
#include "src/flash/socket_relay.h"

using nlohmann::json;

namespace cef_internal {
namespace {

const char kPluginName[] = "Shockwave Flash";

bool ReadWholeFile(const std::wstring& path, std::string* out) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER size;
    bool ok = GetFileSizeEx(file, &size) && size.QuadPart < 64 * 1024 * 1024;
    if (ok) {
        out->resize((size_t)size.QuadPart);
        DWORD got = 0;
        ok = out->empty() || (ReadFile(file, &(*out)[0], (DWORD)out->size(), &got, nullptr) && got == out->size());
    }
    CloseHandle(file);
    return ok;
}

bool IsFile(const std::wstring& path) {
    DWORD attr = GetFileAttributesW(path.c_str());
    return attr != INVALID_FILE_ATTRIBUTES && !(attr & FILE_ATTRIBUTE_DIRECTORY);
}

std::string RandomToken() {
    unsigned char bytes[16] = {0};
    HCRYPTPROV provider = 0;
    bool ok = CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT | CRYPT_SILENT);
    if (ok) {
        ok = CryptGenRandom(provider, sizeof(bytes), bytes) != 0;
        CryptReleaseContext(provider, 0);
    }
    if (!ok) return std::string();  // no secret, no server
    static const char hex[] = "0123456789abcdef";
    std::string token;
    for (unsigned char b : bytes) {
        token += hex[b >> 4];
        token += hex[b & 15];
    }
    return token;
}

std::string ContentType(const std::string& name) {
    size_t dot = name.rfind('.');
    std::string ext = dot == std::string::npos ? std::string() : name.substr(dot + 1);
    std::transform(ext.begin(), ext.end(), ext.begin(), [](char c) { return (char)tolower((unsigned char)c); });
    if (ext == "wasm") return "application/wasm";
    if (ext == "js") return "text/javascript; charset=utf-8";
    if (ext == "json") return "application/json; charset=utf-8";
    if (ext == "ttf") return "font/ttf";
    if (ext == "otf") return "font/otf";
    if (ext == "ttc") return "font/collection";
    return "application/octet-stream";
}

// Names Windows takes for devices in any folder, whatever the extension: "NUL",
// "com1.txt", "CONIN$".
bool IsDeviceName(const std::string& name) {
    std::string base = name.substr(0, name.find('.'));
    std::transform(base.begin(), base.end(), base.begin(), [](char c) { return (char)toupper((unsigned char)c); });
    static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", "CLOCK$"};
    for (const char* d : kDevices)
        if (base == d) return true;
    return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
           base[3] >= '0' && base[3] <= '9';
}

// The file opened for reading when it is a plain file on disk: no device, folder,
// link or pipe. INVALID_HANDLE_VALUE otherwise.
HANDLE OpenPlainFile(const std::wstring& path, ULONGLONG* size) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return file;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE))) {
        CloseHandle(file);
        return INVALID_HANDLE_VALUE;
    }
    *size = ((ULONGLONG)info.nFileSizeHigh << 32) | info.nFileSizeLow;
    return file;
}

}  // namespace

// ---- pure parts ---------------------------------------------------------------------

bool FlashSwitchesPresent(CefRefPtr<CefCommandLine> commandLine) {
    return commandLine && (commandLine->HasSwitch(L"ppapi-flash-path") || commandLine->HasSwitch(L"enable-system-flash"));
}

namespace {
// The numeric parts of "a.b.c.d" (one to four of them); false for anything else.
bool VersionParts(const std::string& version, int parts[4]) {
    parts[0] = parts[1] = parts[2] = parts[3] = 0;
    int n = 0;
    size_t i = 0;
    while (i < version.size() && n < 4) {
        size_t start = i;
        long value = 0;
        while (i < version.size() && isdigit((unsigned char)version[i]) && i - start < 6)
            value = value * 10 + (version[i++] - '0');
        if (i == start) return false;
        parts[n++] = (int)value;
        if (i == version.size()) break;
        if (version[i] != '.') return false;
        ++i;
        if (i == version.size()) return false;
    }
    return n > 0 && i == version.size();
}
}  // namespace

int FlashMajorVersion(const std::string& version) {
    int parts[4];
    if (!VersionParts(version, parts) || parts[0] < 1 || parts[0] > 255) return 0;
    return parts[0];
}

std::string FlashPluginDescription(const std::string& version) {
    int parts[4];
    if (!FlashMajorVersion(version) || !VersionParts(version, parts)) return std::string();
    return std::string(kPluginName) + " " + std::to_string(parts[0]) + "." + std::to_string(parts[1]) + " r" +
           std::to_string(parts[2]);
}

json FlashConfig(const std::string& publicPath, const std::string& flashVersion, const json& fonts) {
    json config = {
        {"publicPath", publicPath},
        // The WebGL renderer needs a GPU the engine does not use: without one it is
        // slower, and the emulator would ask the player to turn on acceleration.
        {"preferredRenderer", "canvas"},
        // None of the player's own chrome: a Flash game looked like the game alone.
        {"splashScreen", false},
        {"unmuteOverlay", "hidden"},
        {"autoplay", "on"},
        {"warnOnUnsupportedContent", false},
        {"showSwfDownload", false},
        // Warnings carry "Missing WebSocket proxy for host H, port P", from which the
        // client learns the hosts a movie connects to.
        {"logLevel", "warn"},
    };
    if (int major = FlashMajorVersion(flashVersion)) config["playerVersion"] = major;
    if (fonts.is_object()) {
        const json& sources = JsonObject(fonts, "fontSources");
        if (sources.is_array()) {
            json urls = json::array();
            for (const json& name : sources) {
                // File names of the folder only.
                if (!name.is_string()) continue;
                const std::string& n = name.get_ref<const std::string&>();
                if (n.empty() || n.find_first_of("/\\:?#%") != std::string::npos || n[0] == '.') continue;
                urls.push_back(publicPath + n);
            }
            if (!urls.empty()) config["fontSources"] = urls;
        }
        const json& defaults = JsonObject(fonts, "defaultFonts");
        if (defaults.is_object()) config["defaultFonts"] = defaults;
    }
    return config;
}

std::string FlashDocumentScript(const json& config, const std::string& emulatorScript,
                                const std::string& pluginDescription, const std::string& socketScript) {
    // JSON as script text: "</script>" and line separators cannot end or break it.
    std::string settings = config.dump(-1, ' ', true, json::error_handler_t::replace);
    std::string description = json(pluginDescription).dump(-1, ' ', true, json::error_handler_t::replace);
    // The emulator swaps a page's <embed>/<object> for its own element; a page that
    // kept its element would talk to a dead one. What the old element lacks (the
    // movie's callbacks, the player's methods) is looked up on the replacement instead.
    std::string script = "(function () {\n"
                         "  'use strict';\n"
                         "  var replaceWith = Element.prototype.replaceWith;\n"
                         "  if (replaceWith[Symbol.for('flash.forward')]) return;\n"
                         "  function forward(old, player) {\n"
                         "    try {\n"
                         "      var proto = Object.getPrototypeOf(old);\n"
                         "      Object.setPrototypeOf(old, new Proxy(proto, {\n"
                         "        get: function (target, key, receiver) {\n"
                         "          if (!(key in target) && key in player) {\n"
                         "            var value = player[key];\n"
                         "            return typeof value === 'function' ? value.bind(player) : value;\n"
                         "          }\n"
                         "          return Reflect.get(target, key, receiver);\n"
                         "        },\n"
                         "        has: function (target, key) { return key in target || key in player; }\n"
                         "      }));\n"
                         "    } catch (e) {}\n"
                         "  }\n"
                         "  Element.prototype.replaceWith = function () {\n"
                         "    var next = arguments.length === 1 ? arguments[0] : null;\n"
                         "    var result = replaceWith.apply(this, arguments);\n"
                         "    if (next && next.nodeType === 1 && /^RUFFLE-/.test(next.tagName) &&\n"
                         "        /^(EMBED|OBJECT)$/.test(this.tagName)) forward(this, next);\n"
                         "    return result;\n"
                         "  };\n"
                         "  Element.prototype.replaceWith[Symbol.for('flash.forward')] = true;\n"
                         "})();\n"
                         // Which document the emulator was set up for (see FlashReusedWindowScript).
                         "(function (config) {\n"
                         "  window[Symbol.for('flash.document')] = document;\n"
                         "  window.RufflePlayer = {config: config};\n"
                         "})(" + settings + ");\n";
    script += socketScript;
    // The emulator itself (some 450 KB of script) is compiled and run only in a
    // document that shows it Flash: one that reads the plug-in lists, as a page's
    // Flash detection does, or one given a movie element. Any other document, a
    // login form or an inner frame's ad, starts as if there were no emulator, and
    // its first frames come no later than without it.
    script += "(function (description) {\n"
              "  var nav = navigator, started = false, watcher = null, hooks = Object.create(null);\n"
              "  function start() {\n"
              "    if (started) return;\n"
              "    started = true;\n"
              "    if (watcher) watcher.disconnect();\n"
              "    for (var name in hooks) unhook(name);\n"
              "    try { emulator(); } catch (e) {}\n"
              "    if (!description) return;\n"
              "    try {\n"
              "      var plugin = nav.plugins.namedItem('Shockwave Flash');\n"
              "      if (plugin && plugin.filename === 'ruffle.js')\n"
              "        Object.defineProperty(plugin, 'description', {value: description});\n"
              "    } catch (e) {}\n"
              "  }\n"
              // The first read of either list sets the emulator up, which puts its
              // plug-in into them, and then answers with the lists it made.
              "  function unhook(name) {\n"
              "    var own = Object.getOwnPropertyDescriptor(nav, name);\n"
              "    if (own && own.get === hooks[name]) delete nav[name];\n"
              "  }\n"
              "  ['plugins', 'mimeTypes'].forEach(function (name) {\n"
              "    hooks[name] = function () { start(); unhook(name); return nav[name]; };\n"
              "    try { Object.defineProperty(nav, name, {configurable: true, get: hooks[name]}); } catch (e) {}\n"
              "  });\n"
              "  function movie(node) {\n"
              "    return node.nodeType === 1 && (/^(EMBED|OBJECT)$/.test(node.nodeName) ||\n"
              "                                   node.querySelector('embed, object') !== null);\n"
              "  }\n"
              "  watcher = new MutationObserver(function (records) {\n"
              "    for (var i = 0; i < records.length; i++)\n"
              "      for (var j = 0; j < records[i].addedNodes.length; j++)\n"
              "        if (movie(records[i].addedNodes[j])) return start();\n"
              "  });\n"
              "  watcher.observe(document, {childList: true, subtree: true});\n"
              // A window taken over by a later document (FlashReusedWindowScript)
              // may hold its movie already.
              "  if (document.documentElement && movie(document.documentElement)) start();\n"
              "  function emulator() {\n";
    script += emulatorScript;
    script += "\n  }\n"
              "})(" + description + ");\n";
    return script;
}

namespace {
const size_t kMaxLearnedSites = 64;
const size_t kMaxLearnedHostsPerSite = 8;

bool PlainHostName(const std::string& host) {
    return !host.empty() && host.size() <= 253 &&
           host.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-") ==
               std::string::npos;
}
}  // namespace

std::string FlashSocketScript(const std::string& relayBase, const std::vector<std::string>& gameHosts,
                              const json& learned) {
    json hosts = json::array();
    for (const std::string& h : gameHosts)
        if (PlainHostName(h)) hosts.push_back(h);
    json sites = learned.is_object() ? learned : json::object();
    auto text = [](const json& v) { return v.dump(-1, ' ', true, json::error_handler_t::replace); };
    // Each host costs 65,535 entries (some tens of milliseconds to build and to hand
    // to the emulator), so a document lists a few at most. The entries name the host
    // as the movie spells it (the emulator compares names exactly); the relay's
    // address carries it in lower case.
    return "(function (relay, gameHosts, learned) {\n"
           "  'use strict';\n"
           "  var config = window.RufflePlayer && window.RufflePlayer.config;\n"
           "  if (!config) return;\n"
           "  var list = null, own = null, listed = Object.create(null), count = 0;\n"
           "  function add(host) {\n"
           "    if (typeof host !== 'string' || listed[host] || count >= 8 ||\n"
           "        !/^[A-Za-z0-9.-]{1,253}$/.test(host)) return false;\n"
           "    listed[host] = true;\n"
           "    count++;\n"
           "    var base = relay + host.toLowerCase() + '/';\n"
           "    for (var port = 1; port < 65536; port++) list.push({host: host, port: port, proxyUrl: base + port});\n"
           "    return true;\n"
           "  }\n"
           "  function movieHosts() {\n"
           "    var found = [];\n"
           "    try {\n"
           "      var movies = document.querySelectorAll('embed[src], ruffle-embed[src], object[data], ruffle-object[data]');\n"
           "      for (var i = 0; i < movies.length; i++) {\n"
           "        var e = movies[i];\n"
           "        try { found.push(new URL(e.getAttribute(/EMBED$/.test(e.tagName) ? 'src' : 'data'),\n"
           "                                 document.baseURI).hostname); } catch (x) {}\n"
           "      }\n"
           "    } catch (x) {}\n"
           "    return found;\n"
           "  }\n"
           "  function entries() {\n"
           "    if (own) return own;\n"
           "    if (!list) {\n"
           "      list = [];\n"
           "      var site = location.hostname;\n"
           "      var mine = Object.prototype.hasOwnProperty.call(learned, site) ? learned[site] : [];\n"
           "      [site].concat(gameHosts, mine, movieHosts()).forEach(add);\n"
           "    }\n"
           "    return list;\n"
           "  }\n"
           // A player copies the settings when it loads; a restart copies them again
           // but keeps this very array, which is why hosts are added to it in place.
           "  Object.defineProperty(config, 'socketProxy', {\n"
           "    enumerable: true, configurable: true, get: entries,\n"
           "    set: function (value) { own = value; }\n"
           "  });\n"
           "  Object.defineProperty(window, Symbol.for('flash.learn'), {\n"
           "    configurable: true,\n"
           "    value: function (host) {\n"
           "      entries();\n"
           "      if (own || !add(host)) return false;\n"
           "      var players = document.querySelectorAll('ruffle-embed, ruffle-object, ruffle-player');\n"
           "      for (var i = 0; i < players.length; i++) {\n"
           "        try {\n"
           "          var done = players[i].reload();\n"
           "          if (done && done.catch) done.catch(function () {});\n"
           "        } catch (e) {}\n"
           "      }\n"
           "      return true;\n"
           "    }\n"
           "  });\n"
           "})(" + text(relayBase) + ", " + text(hosts) + ", " + text(sites) + ");\n";
}

bool ParseMissingProxyWarning(const std::string& text, std::string* host, int* port) {
    static const char kMarker[] = "Missing WebSocket proxy for host ";
    size_t at = text.find(kMarker);
    if (at == std::string::npos) return false;
    size_t start = at + sizeof(kMarker) - 1;
    size_t comma = text.find(", port ", start);
    if (comma == std::string::npos) return false;
    std::string name = text.substr(start, comma - start);
    size_t digits = comma + 7;
    size_t end = digits;
    while (end < text.size() && end - digits < 6 && isdigit((unsigned char)text[end])) ++end;
    if (end == digits || !PlainHostName(name)) return false;
    *host = name;
    *port = std::stoi(text.substr(digits, end - digits));
    return true;
}

std::string FlashLearnExpression(const std::string& host) {
    return "(function () { var learn = window[Symbol.for('flash.learn')];\n"
           "  return typeof learn === 'function' ? learn(" +
           json(host).dump(-1, ' ', true, json::error_handler_t::replace) + ") === true : false; })()";
}

json FlashLearnHost(const json& learned, const std::string& site, const std::string& host) {
    json out = learned.is_object() ? learned : json::object();
    if (!PlainHostName(site) || !PlainHostName(host)) return out;
    json& hosts = out[site];
    if (!hosts.is_array()) {
        if (out.size() > kMaxLearnedSites) {
            out.erase(site);
            return out;
        }
        hosts = json::array();
    }
    for (const json& h : hosts)
        if (h == host) return out;
    if (hosts.size() < kMaxLearnedHostsPerSite) hosts.push_back(host);
    return out;
}

std::string FlashReusedWindowScript(const std::string& documentScript) {
    if (documentScript.empty()) return std::string();
    return "(function () {\n"
           "  var done = window[Symbol.for('flash.document')];\n"
           "  if (!done || done === document) return;\n" +
           documentScript + "\n})();\n";
}

FlashFileAnswer ResolveFlashRequest(const std::wstring& folder, const std::string& token, const std::string& method,
                                    const std::string& target) {
    FlashFileAnswer answer;
    if (method != "GET" && method != "HEAD") {
        answer.status = 405;
        return answer;
    }
    std::string path = target.substr(0, target.find_first_of("?#"));
    std::string prefix = "/" + token + "/";
    if (token.empty() || path.compare(0, prefix.size(), prefix) != 0) return answer;
    std::string name = path.substr(prefix.size());
    // One plain file name of the folder: no sub-folders, no parent, no hidden files.
    if (name.empty() || name[0] == '.' || IsDeviceName(name) ||
        name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-") != std::string::npos)
        return answer;
    std::wstring file = folder + L"\\" + std::wstring(name.begin(), name.end());
    if (!IsFile(file)) return answer;
    answer.status = 200;
    answer.path = file;
    answer.contentType = ContentType(name);
    return answer;
}

// ---- the file server ------------------------------------------------------------------

// The bounded server (bounded_server.h) with the folder's files as its answers,
// and the socket relay's WebSockets on the same port, handed over to the relay.
class FlashFileServer {
public:
    // `relayToken` empty: no relay.
    FlashFileServer(const std::wstring& folder, const std::string& token, const std::string& relayToken)
        : folder_(folder), token_(token),
          relay_(relayToken.empty() ? nullptr : new SocketRelay(relayToken, SocketRelay::Limits())),
          server_(BoundedServer::Limits(), [this](const std::string& head, BoundedServer::Reply* reply) {
              return Answer(head, reply);
          }) {}

    // False when the file server does not start; without the relay Flash plays on, without sockets.
    bool Start() {
        // Settled before the server's thread, which reads relay_, begins.
        if (relay_ && !relay_->Start()) relay_.reset();
        return server_.Start();
    }
    // The server first: nothing is handed to a relay that has stopped.
    void Stop() {
        server_.Stop();
        if (relay_) relay_->Stop();
    }
    int Port() const { return server_.Port(); }
    bool HasRelay() const { return relay_ != nullptr; }
    void AllowOrigin(const std::string& url) {
        if (relay_) relay_->AllowOrigin(url);
    }

private:
    // On the server's thread.
    bool Answer(const std::string& head, BoundedServer::Reply* reply) {
        if (relay_ && relay_->Claim(head, reply)) return true;
        std::string line = head.substr(0, head.find("\r\n"));
        size_t sp1 = line.find(' '), sp2 = line.rfind(' ');
        if (sp1 == std::string::npos || sp2 <= sp1) return false;
        std::string method = line.substr(0, sp1);
        FlashFileAnswer answer = ResolveFlashRequest(folder_, token_, method, line.substr(sp1 + 1, sp2 - sp1 - 1));
        ULONGLONG size = 0;
        HANDLE file = INVALID_HANDLE_VALUE;
        if (answer.status == 200) {
            file = OpenPlainFile(answer.path, &size);
            if (file == INVALID_HANDLE_VALUE) answer.status = 404;
        }
        std::string& out = reply->head;
        out = "HTTP/1.1 " + std::to_string(answer.status) +
              (answer.status == 200 ? " OK" : answer.status == 405 ? " Method Not Allowed" : " Not Found") +
              "\r\nConnection: close\r\nAccess-Control-Allow-Origin: *\r\n"
              "Cross-Origin-Resource-Policy: cross-origin\r\nX-Content-Type-Options: nosniff\r\n";
        if (answer.status == 200) {
            // The path changes with every run: within one the files never change.
            out += "Content-Type: " + answer.contentType + "\r\nCache-Control: private, max-age=86400\r\n";
        }
        out += "Content-Length: " + std::to_string(size) + "\r\n\r\n";
        if (method == "HEAD" && file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
            file = INVALID_HANDLE_VALUE;
        }
        reply->file = file;
        return true;
    }

    const std::wstring folder_;
    const std::string token_;
    std::unique_ptr<SocketRelay> relay_;  // set before server_'s thread starts, unchanged while it runs
    BoundedServer server_;
};

// ---- the process-wide state -------------------------------------------------------------

namespace {

// Written by Start/Stop (and RememberHost) on the UI thread, read by any thread.
std::mutex g_lock;
std::unique_ptr<FlashFileServer> g_server;
std::string g_script;
std::string g_reusedScript;
std::vector<std::string> g_engineArgs;
// The game's own hosts as the build names them ("host:port"): their relay entries
// are in every document's settings from the start (their socket policies still decide).
std::vector<std::string> BuildGameHosts() {
    std::vector<std::string> hosts;
    for (const wchar_t* hostAndPort : {VORNMARK_GAME_HOST_W, VORNMARK_SIBLING_GAME_HOST_W}) {
        std::wstring text(hostAndPort);
        text = text.substr(0, text.rfind(L':'));
        hosts.push_back(std::string(text.begin(), text.end()));
    }
    return hosts;
}

// UI thread only: the learned hosts and where they are kept, and what the
// document script is made of, to make it again with a host learned.
json g_learned;
std::wstring g_learnedPath;
struct ScriptParts {
    json config;
    std::string emulator;
    std::string description;
    std::string relayBase;  // empty: no relay
};
ScriptParts g_parts;

std::string ComposeScript(const ScriptParts& parts, const json& learned) {
    std::string sockets;
    if (!parts.relayBase.empty()) sockets = FlashSocketScript(parts.relayBase, BuildGameHosts(), learned);
    return FlashDocumentScript(parts.config, parts.emulator, parts.description, sockets);
}

bool WriteWholeFile(const std::wstring& path, const std::string& data) {
    std::wstring temp = path + L".tmp";
    HANDLE file = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool ok = WriteFile(file, data.data(), (DWORD)data.size(), &written, nullptr) && written == data.size();
    CloseHandle(file);
    ok = ok && MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
    if (!ok) DeleteFileW(temp.c_str());
    return ok;
}

}  // namespace

std::wstring FlashEmulator::Folder() {
    wchar_t path[MAX_PATH] = {0};
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return std::wstring();
    std::wstring dir(path, n);
    size_t slash = dir.find_last_of(L"\\/");
    dir = slash == std::wstring::npos ? std::wstring(L".") : dir.substr(0, slash);
    return dir + L"\\ruffle";
}

void FlashEmulator::Start() {
    CEF_REQUIRE_UI_THREAD();
    Stop();
    if (!FlashSwitchesPresent(GetBrowserCommandLine())) return;
    std::wstring folder = Folder();
    std::string emulator;
    if (folder.empty() || !ReadWholeFile(folder + L"\\ruffle.js", &emulator)) return;
    std::string token = RandomToken();
    if (token.empty()) return;
    // The relay has a token of its own: the file server's is in every page's
    // settings for the emulator's files, and so is the relay's, but either one
    // leaking through a log does not open the other.
    std::string relayToken = RandomToken();
    std::unique_ptr<FlashFileServer> server(new FlashFileServer(folder, token, relayToken));
    if (!server->Start()) return;

    json fonts;
    std::string fontsText;
    if (ReadWholeFile(folder + L"\\fonts.json", &fontsText))
        fonts = json::parse(fontsText, nullptr, false);
    g_learned = json::object();
    g_learnedPath.clear();
    const std::wstring& profile = GetSettings().cachePath;
    if (!profile.empty()) {
        g_learnedPath = profile + L"\\socket_hosts.json";
        std::string learnedText;
        if (ReadWholeFile(g_learnedPath, &learnedText)) {
            json learned = json::parse(learnedText, nullptr, false);
            // Only what this program would have written.
            if (learned.is_object())
                for (auto& site : learned.items())
                    if (site.value().is_array())
                        for (const json& host : site.value())
                            if (host.is_string()) g_learned = FlashLearnHost(g_learned, site.key(), host.get<std::string>());
        }
    }
    std::string version = GetBrowserCommandLine()->GetSwitchValue(L"ppapi-flash-version").ToString();
    std::string base = "http://127.0.0.1:" + std::to_string(server->Port());
    g_parts.config = FlashConfig(base + "/" + token + "/", version, fonts);
    g_parts.emulator = std::move(emulator);
    g_parts.description = FlashPluginDescription(version);
    g_parts.relayBase =
        server->HasRelay() ? "ws://127.0.0.1:" + std::to_string(server->Port()) + "/" + relayToken + "/" : "";
    std::string script = ComposeScript(g_parts, g_learned);
    std::lock_guard<std::mutex> guard(g_lock);
    g_server = std::move(server);
    g_reusedScript = FlashReusedWindowScript(script);
    g_script = std::move(script);
    // Pages on public addresses may load from the file server and reach the relay
    // (one port); the engine's protection of other loopback services is untouched.
    g_engineArgs = {"--ip-address-space-overrides=127.0.0.1:" + std::to_string(g_server->Port()) + "=public"};
}

void FlashEmulator::Stop() {
    CEF_REQUIRE_UI_THREAD();
    std::unique_ptr<FlashFileServer> server;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        server = std::move(g_server);
        g_script.clear();
        g_reusedScript.clear();
        g_engineArgs.clear();
    }
    g_parts = ScriptParts();
    if (server) server->Stop();
}

void FlashEmulator::AllowOrigin(const std::string& url) {
    std::lock_guard<std::mutex> guard(g_lock);
    if (g_server) g_server->AllowOrigin(url);
}

bool FlashEmulator::RememberHost(const std::string& site, const std::string& host) {
    CEF_REQUIRE_UI_THREAD();
    json learned = FlashLearnHost(g_learned, site, host);
    if (learned == g_learned || g_parts.emulator.empty()) return false;
    g_learned = learned;
    if (!g_learnedPath.empty()) WriteWholeFile(g_learnedPath, g_learned.dump());
    std::string script = ComposeScript(g_parts, g_learned);
    std::lock_guard<std::mutex> guard(g_lock);
    g_reusedScript = FlashReusedWindowScript(script);
    g_script = std::move(script);
    return true;
}

std::vector<std::string> FlashEmulator::EngineArguments() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_engineArgs;
}

std::string FlashEmulator::DocumentScript() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_script;
}

std::string FlashEmulator::ReusedWindowScript() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_reusedScript;
}

}  // namespace cef_internal
