#include "src/engine/engine_process.h"

#include <shlobj.h>
#include <algorithm>
#include <cstdio>
#include "base/Diagnostics.h"
#include "src/api/cef_context.h"
#include "src/engine/devtools.h"

namespace cef_internal {

bool UnderWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

bool IsLinuxEngine(const std::wstring& exe) {
    return UnderWine() && !(exe.size() > 4 && _wcsicmp(exe.c_str() + exe.size() - 4, L".exe") == 0);
}

namespace {

typedef char*(CDECL* WineGetUnixFileNameFn)(const wchar_t*);
typedef wchar_t*(CDECL* WineGetDosFileNameFn)(const char*);

// The engine's own offers about what a page does (saving passwords, filling forms,
// asking for notifications or the location) are the program's business, as in an
// embedded browser; a windowed engine would show them over the page. Set in the
// profile's preferences before the engine reads them, the rest of them kept.
void QuietProfile(const std::wstring& profileDir) {
    std::wstring dir = profileDir + L"\\Default";
    SHCreateDirectoryExW(nullptr, dir.c_str(), nullptr);
    std::wstring path = dir + L"\\Preferences";
    nlohmann::json prefs = nlohmann::json::object();
    if (FILE* f = _wfopen(path.c_str(), L"rb")) {
        std::string text;
        char buf[65536];
        size_t n;
        while ((n = fread(buf, 1, sizeof(buf), f)) > 0) text.append(buf, n);
        fclose(f);
        nlohmann::json old = nlohmann::json::parse(text, nullptr, false);
        if (old.is_object()) prefs = old;
    }
    nlohmann::json wanted = {
        {"credentials_enable_service", false},
        {"credentials_enable_autosignin", false},
        {"autofill", {{"enabled", false}, {"profile_enabled", false}, {"credit_card_enabled", false}}},
        {"profile",
         {{"password_manager_enabled", false},
          {"default_content_setting_values", {{"notifications", 2}, {"geolocation", 2}}}}}};
    nlohmann::json merged = prefs;
    merged.merge_patch(wanted);
    if (merged == prefs) return;
    std::string text = merged.dump();
    if (FILE* f = _wfopen(path.c_str(), L"wb")) {
        fwrite(text.data(), 1, text.size(), f);
        fclose(f);
    }
}

bool FileExists(const std::wstring& path) {
    DWORD attr = GetFileAttributesW(path.c_str());
    return attr != INVALID_FILE_ATTRIBUTES && !(attr & FILE_ATTRIBUTE_DIRECTORY);
}

// A Linux path given by the user (the environment variable) as a Windows path.
std::wstring FromUnixPath(const std::wstring& path) {
    if (path.empty() || path[0] != L'/') return path;
    auto toDos = reinterpret_cast<WineGetDosFileNameFn>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
    std::string utf8 = CefString(path).ToString();
    if (toDos) {
        wchar_t* dos = toDos(utf8.c_str());
        if (dos) {
            std::wstring out = dos;
            HeapFree(GetProcessHeap(), 0, dos);
            return out;
        }
    }
    std::wstring out = L"Z:" + path;
    std::replace(out.begin(), out.end(), L'/', L'\\');
    return out;
}

std::wstring AppPath(HKEY root, const wchar_t* exe) {
    std::wstring key = std::wstring(L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\") + exe;
    wchar_t value[MAX_PATH * 2] = {0};
    DWORD size = sizeof(value) - sizeof(wchar_t);
    if (RegGetValueW(root, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, value, &size) != ERROR_SUCCESS)
        return std::wstring();
    std::wstring path = value;
    if (path.size() >= 2 && path.front() == L'"' && path.back() == L'"') path = path.substr(1, path.size() - 2);
    return path;
}

// "zh_cn" (the program's lang switch) -> "zh-CN".
std::string LanguageTag(std::string lang) {
    std::replace(lang.begin(), lang.end(), '_', '-');
    size_t dash = lang.find('-');
    for (size_t i = 0; i < lang.size(); ++i)
        lang[i] = (char)(dash != std::string::npos && i > dash ? toupper((unsigned char)lang[i])
                                                               : tolower((unsigned char)lang[i]));
    return lang;
}

void DeleteTree(const std::wstring& dir) {
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &fd);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = fd.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring path = dir + L"\\" + name;
            if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !(fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                DeleteTree(path);
            else
                DeleteFileW(path.c_str());
        } while (FindNextFileW(find, &fd));
        FindClose(find);
    }
    RemoveDirectoryW(dir.c_str());
}

}  // namespace

std::string EnginePath(const std::wstring& windowsPath, bool linuxEngine) {
    if (!linuxEngine) return CefString(windowsPath).ToString();
    auto toUnix = reinterpret_cast<WineGetUnixFileNameFn>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (toUnix) {
        char* unixPath = toUnix(windowsPath.c_str());
        if (unixPath) {
            std::string out = unixPath;
            HeapFree(GetProcessHeap(), 0, unixPath);
            return out;
        }
    }
    return CefString(windowsPath).ToString();
}

std::wstring FindEngineExecutable() {
    wchar_t value[MAX_PATH * 2] = {0};
    DWORD n = GetEnvironmentVariableW(L"VORNMARK_ENGINE", value, MAX_PATH * 2);
    if (n > 0 && n < MAX_PATH * 2) {
        std::wstring path = FromUnixPath(value);
        return FileExists(path) ? path : std::wstring();
    }
    if (UnderWine()) {
        const wchar_t* known[] = {L"Z:\\usr\\bin\\chromium", L"Z:\\usr\\bin\\chromium-browser",
                                  L"Z:\\usr\\bin\\google-chrome"};
        for (const wchar_t* path : known)
            if (FileExists(path)) return path;
    }
    const wchar_t* exes[] = {L"msedge.exe", L"chrome.exe"};
    for (const wchar_t* exe : exes) {
        for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
            std::wstring path = AppPath(root, exe);
            if (!path.empty() && FileExists(path)) return path;
        }
    }
    return std::wstring();
}

// ---- launching ------------------------------------------------------------------

bool EngineProcess::Launch(const std::wstring& exe, const Choices& choices, EngineChannel::Handlers handlers) {
    const EngineSettings& settings = GetSettings();
    CefRefPtr<CefCommandLine> appLine = GetBrowserCommandLine();

    // An engine started again keeps the profile of the one before (its logins).
    if (profileDir_.empty()) profileDir_ = settings.cachePath;
    while (!profileDir_.empty() && (profileDir_.back() == L'\\' || profileDir_.back() == L'/')) profileDir_.pop_back();
    if (profileDir_.empty()) {
        tempProfile_ = true;
        // No cache folder: a throw-away profile, removed again at shutdown.
        wchar_t temp[MAX_PATH] = {0};
        GetTempPathW(MAX_PATH, temp);
        profileDir_ = std::wstring(temp) + L"vornmark-engine-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                      std::to_wstring(GetTickCount());
    }
    SHCreateDirectoryExW(nullptr, profileDir_.c_str(), nullptr);
    QuietProfile(profileDir_);
    // A file left by an earlier run (with the tests' opening) would name a port nobody listens on.
    DeleteFileW((profileDir_ + L"\\DevToolsActivePort").c_str());

    std::string lang = appLine ? LanguageTag(appLine->GetSwitchValue(L"lang").ToString()) : std::string();
    // The setting's entries as language tags ("zh_cn" -> "zh-CN"): a header value with
    // an underscore is no plain Accept-Language, and every request across origins
    // would first need a preflight of its own.
    acceptLanguage_.clear();
    std::string list = CefString(settings.acceptLanguageList).ToString();
    for (size_t start = 0; start < list.size();) {
        size_t comma = list.find(',', start);
        std::string item = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        item.erase(0, item.find_first_not_of(' '));
        item.erase(item.find_last_not_of(' ') + 1);
        if (!item.empty() && item.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-;=.") ==
                                 std::string::npos)
            acceptLanguage_ += (acceptLanguage_.empty() ? "" : ",") + LanguageTag(item.substr(0, item.find(';'))) +
                               (item.find(';') == std::string::npos ? "" : item.substr(item.find(';')));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    if (acceptLanguage_.empty() && !lang.empty()) {
        acceptLanguage_ = lang;
        size_t dash = lang.find('-');
        if (dash != std::string::npos) acceptLanguage_ += "," + lang.substr(0, dash);
    }
    bool linuxEngine = IsLinuxEngine(exe);

    EngineChannel::Launch launch;
    launch.engine = exe;
    launch.embed = embed_ = choices.windowed;
    if (choices.windowed) launch.firstWindow = choices.firstWindow;
    launch.args = Arguments(lang, linuxEngine, choices);
    // On Linux the engine takes its own language (error pages, dialogs) from the
    // environment, not from --lang.
    launch.language = lang;
    std::replace(launch.language.begin(), launch.language.end(), '-', '_');
    channel_ = EngineChannel::Start(launch, std::move(handlers));
    return channel_ != nullptr;
}

std::vector<std::string> EngineProcess::Arguments(const std::string& lang, bool linuxEngine,
                                                 const Choices& choices) {
    const EngineSettings& settings = GetSettings();
    CefRefPtr<CefCommandLine> appLine = GetBrowserCommandLine();
    // No --remote-debugging-port: the DevTools go over the engine's pipe transport only.
    std::vector<std::string> args = {
        "--no-sandbox", "--disable-gpu",
        "--user-data-dir=" + EnginePath(profileDir_, linuxEngine), "--no-first-run", "--no-default-browser-check",
        "--disable-background-networking", "--disable-component-update", "--disable-sync",
        // Site isolation stays on: an inner frame of another site runs in a process
        // of its own (the engine line gives it the scripts of ours it needs).
        "--disable-features=Translate,MediaRouter",
        // The client decides about every new window (OnBeforePopup), as the embedded engine did.
        "--disable-popup-blocking", "--autoplay-policy=no-user-gesture-required", "--password-store=basic",
        "--use-mock-keychain", "--disable-dev-shm-usage", "--hide-crash-restore-bubble"};
    if (!lang.empty()) args.push_back("--lang=" + lang);
    if (!acceptLanguage_.empty()) args.push_back("--accept-lang=" + acceptLanguage_);
    if (settings.ignoreCertificateErrors) args.push_back("--ignore-certificate-errors");
    // The public-key hashes of certificates to accept although no authority vouches
    // for them (the program's own private ones); every other certificate is checked.
    std::string pinned = appLine ? appLine->GetSwitchValue(L"ignore-certificate-errors-spki-list").ToString() : "";
    if (!pinned.empty() && pinned.find_first_of(" \t\r\n\"") == std::string::npos)
        args.push_back("--ignore-certificate-errors-spki-list=" + pinned);
    if (appLine && appLine->HasSwitch(L"disable-web-security")) args.push_back("--disable-web-security");
    args.insert(args.end(), choices.extraArgs.begin(), choices.extraArgs.end());
    // Windowed, the engine's only window at start is the first page's (the host
    // names it, see Choices::firstWindow); headless, it starts with a blank page.
    if (!embed_) {
        args.insert(args.begin(), "--headless=new");
        args.push_back("about:blank");
    }
    return args;
}

void EngineProcess::End(DWORD waitMs) {
    if (!channel_) return;
    channel_->Close(waitMs);
    channel_.reset();
}

void EngineProcess::RemoveTempProfile() {
    if (tempProfile_) DeleteTree(profileDir_);
}

}  // namespace cef_internal
