#include <winsock2.h>
#include <ws2tcpip.h>

#include "src/flash/flash_emulator.h"

#include <wincrypt.h>
#include <algorithm>
#include <mutex>
#include "src/api/cef_context.h"
#include "src/api/thread_check.h"
#include "src/flash/bounded_server.h"

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
        {"logLevel", "error"},
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
                                const std::string& pluginDescription) {
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
    script += emulatorScript;
    script += "\n;(function (description) {\n"
              "  if (!description) return;\n"
              "  try {\n"
              "    var plugin = navigator.plugins.namedItem('Shockwave Flash');\n"
              "    if (plugin && plugin.filename === 'ruffle.js')\n"
              "      Object.defineProperty(plugin, 'description', {value: description});\n"
              "  } catch (e) {}\n"
              "})(" + description + ");\n";
    return script;
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

// The bounded server (bounded_server.h) with the folder's files as its answers.
class FlashFileServer {
public:
    FlashFileServer(const std::wstring& folder, const std::string& token)
        : folder_(folder), token_(token),
          server_(BoundedServer::Limits(), [this](const std::string& head, BoundedServer::Reply* reply) {
              return Answer(head, reply);
          }) {}

    bool Start() { return server_.Start(); }
    void Stop() { server_.Stop(); }
    int Port() const { return server_.Port(); }
    BoundedServer::Stats Stats() const { return server_.GetStats(); }

private:
    // On the server's thread.
    bool Answer(const std::string& head, BoundedServer::Reply* reply) {
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
    BoundedServer server_;
};

// ---- the process-wide state -------------------------------------------------------------

namespace {

// Written by Start/Stop on the UI thread, read by any thread.
std::mutex g_lock;
std::unique_ptr<FlashFileServer> g_server;
std::string g_script;
std::string g_reusedScript;
std::vector<std::string> g_engineArgs;

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
    std::unique_ptr<FlashFileServer> server(new FlashFileServer(folder, token));
    if (!server->Start()) return;

    json fonts;
    std::string fontsText;
    if (ReadWholeFile(folder + L"\\fonts.json", &fontsText))
        fonts = json::parse(fontsText, nullptr, false);
    std::string version = GetBrowserCommandLine()->GetSwitchValue(L"ppapi-flash-version").ToString();
    std::string base = "http://127.0.0.1:" + std::to_string(server->Port());
    std::string script = FlashDocumentScript(FlashConfig(base + "/" + token + "/", version, fonts), emulator,
                                             FlashPluginDescription(version));
    std::lock_guard<std::mutex> guard(g_lock);
    g_server = std::move(server);
    g_reusedScript = FlashReusedWindowScript(script);
    g_script = std::move(script);
    // Pages on public addresses may load from this one endpoint; the engine's
    // protection of other loopback services is untouched.
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
    if (server) server->Stop();
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
