// The decisions behind Flash content: when it is on, what the emulator is told,
// and which requests its file server answers with which file.
#include <windows.h>
#include <gtest/gtest.h>
#include <string>
#include "include/cef_command_line.h"
#include "src/flash/flash_emulator.h"

using namespace cef_internal;
using nlohmann::json;

namespace {

CefRefPtr<CefCommandLine> Line(const std::wstring& text) {
    CefRefPtr<CefCommandLine> line = CefCommandLine::CreateCommandLine();
    line->InitFromString(text);
    return line;
}

class TempFolder {
public:
    TempFolder() {
        wchar_t temp[MAX_PATH] = {0};
        GetTempPathW(MAX_PATH, temp);
        path_ = std::wstring(temp) + L"vm-flash-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::to_wstring(GetTickCount());
        CreateDirectoryW(path_.c_str(), nullptr);
    }
    ~TempFolder() {
        for (const wchar_t* name : {L"ruffle.js", L"a1b2.wasm", L".hidden", L"fonts.ttc", L"sub\\inner.js"})
            DeleteFileW((path_ + L"\\" + name).c_str());
        RemoveDirectoryW((path_ + L"\\sub").c_str());
        RemoveDirectoryW(path_.c_str());
    }
    void Add(const std::wstring& name) {
        HANDLE f = CreateFileW((path_ + L"\\" + name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, f);
        CloseHandle(f);
    }
    const std::wstring& Path() const { return path_; }

private:
    std::wstring path_;
};

}  // namespace

TEST(FlashEmulatorTest, OnlyTheFlashSwitchesTurnItOn) {
    EXPECT_FALSE(FlashSwitchesPresent(nullptr));
    EXPECT_FALSE(FlashSwitchesPresent(Line(L"vornmark.exe --lang=zh_cn --ppapi-flash-version=25.0.0.127")));
    EXPECT_TRUE(FlashSwitchesPresent(Line(L"vornmark.exe --ppapi-flash-path=pepflashplayer32_25_0_0_127.dll")));
    EXPECT_TRUE(FlashSwitchesPresent(Line(L"vornmark.exe --enable-system-flash")));
}

TEST(FlashEmulatorTest, PluginVersionAsTheFlashPlayerGaveIt) {
    EXPECT_EQ(25, FlashMajorVersion("25.0.0.127"));
    EXPECT_EQ("Shockwave Flash 25.0 r0", FlashPluginDescription("25.0.0.127"));
    EXPECT_EQ("Shockwave Flash 11.2 r202", FlashPluginDescription("11.2.202.644"));
    EXPECT_EQ("Shockwave Flash 32.0 r0", FlashPluginDescription("32"));
    for (const char* bad : {"", "abc", "25..0", "25.", ".25", "0.1", "256.0", "25.0.0.127.5", "25,0", "-1", "25.0x"}) {
        EXPECT_EQ(0, FlashMajorVersion(bad)) << bad;
        EXPECT_EQ("", FlashPluginDescription(bad)) << bad;
    }
}

TEST(FlashEmulatorTest, SettingsKeepThePlayersOwnChromeAwayAndResolveFontsInTheFolder) {
    json fonts = {{"fontSources", {"wqy.ttc", "../escape.ttf", "sub/x.ttf", "http://evil.test/x.ttf", ".hidden.ttf",
                                   "a%2fb.ttf", 7}},
                  {"defaultFonts", {{"sans", {"文泉驛微米黑"}}}}};
    json config = FlashConfig("http://127.0.0.1:5000/tok/", "25.0.0.127", fonts);
    EXPECT_EQ("http://127.0.0.1:5000/tok/", config["publicPath"]);
    EXPECT_EQ("canvas", config["preferredRenderer"]);
    EXPECT_EQ(false, config["splashScreen"]);
    EXPECT_EQ("hidden", config["unmuteOverlay"]);
    EXPECT_EQ("on", config["autoplay"]);
    EXPECT_EQ(25, config["playerVersion"]);
    EXPECT_EQ(json::array({"http://127.0.0.1:5000/tok/wqy.ttc"}), config["fontSources"]);
    EXPECT_EQ(fonts["defaultFonts"], config["defaultFonts"]);

    json plain = FlashConfig("http://127.0.0.1:5000/tok/", "not a version", nullptr);
    EXPECT_FALSE(plain.contains("playerVersion"));
    EXPECT_FALSE(plain.contains("fontSources"));
    EXPECT_FALSE(plain.contains("defaultFonts"));
}

TEST(FlashEmulatorTest, DocumentScriptSetsUpBeforeTheEmulatorAndNamesTheVersionAfter) {
    json config = FlashConfig("http://127.0.0.1:5000/tok/", "25.0.0.127", nullptr);
    std::string script = FlashDocumentScript(config, "/*EMULATOR*/", "Shockwave Flash 25.0 r0");
    size_t settings = script.find("\"publicPath\":\"http://127.0.0.1:5000/tok/\"");
    size_t shim = script.find("Element.prototype.replaceWith =");
    size_t emulator = script.find("/*EMULATOR*/");
    size_t version = script.find("\"Shockwave Flash 25.0 r0\"");
    ASSERT_NE(std::string::npos, settings);
    ASSERT_NE(std::string::npos, shim);
    ASSERT_NE(std::string::npos, emulator);
    ASSERT_NE(std::string::npos, version);
    EXPECT_LT(settings, emulator);
    EXPECT_LT(shim, emulator);
    EXPECT_GT(version, emulator);
}

TEST(FlashEmulatorTest, SocketHostsAreLearnedFromTheEmulatorsWarningWithinBounds) {
    std::string host;
    int port = 0;
    // The emulator's log line, with its level and styling around the words.
    ASSERT_TRUE(ParseMissingProxyWarning(
        "%cWARN%c ruffle_web::navigator: Missing WebSocket proxy for host Game.Example.com, port 5555 color: x",
        &host, &port));
    EXPECT_EQ("Game.Example.com", host) << "kept as the movie spelled it: the emulator compares names exactly";
    EXPECT_EQ(5555, port);
    for (const char* other : {"Missing WebSocket proxy for host , port 5", "Missing WebSocket proxy for host a b, port 5",
                              "Missing WebSocket proxy for host a/b, port 5", "Missing WebSocket proxy for host a, port x",
                              "Missing WebSocket proxy for host a", "Socket connection failed"})
        EXPECT_FALSE(ParseMissingProxyWarning(other, &host, &port)) << other;

    json learned = json::object();
    for (int i = 0; i < 12; ++i) learned = FlashLearnHost(learned, "portal.example", "h" + std::to_string(i) + ".example");
    learned = FlashLearnHost(learned, "portal.example", "h0.example");
    EXPECT_EQ(8u, learned["portal.example"].size()) << "a page cannot make the list grow without bound";
    for (int i = 0; i < 100; ++i) learned = FlashLearnHost(learned, "site" + std::to_string(i) + ".example", "g.example");
    EXPECT_LE(learned.size(), 65u);
    EXPECT_EQ(learned, FlashLearnHost(learned, "portal.example", "bad host"));
    EXPECT_EQ(learned, FlashLearnHost(learned, "a\"b", "g.example"));

    // The script names the relay and only plain host names; learned names are data.
    std::string script = FlashSocketScript("ws://127.0.0.1:5000/tok/", {"game.example", "x');alert(1);//"},
                                           {{"portal.example", {"chat.example"}}});
    EXPECT_NE(std::string::npos, script.find("\"ws://127.0.0.1:5000/tok/\", [\"game.example\"], "
                                             "{\"portal.example\":[\"chat.example\"]}"));
    EXPECT_EQ(std::string::npos, script.find("alert"));
    std::string expression = FlashLearnExpression("a.example\u2028");
    EXPECT_EQ(std::string::npos, expression.find("\xe2\x80\xa8")) << "a line separator must not break the script";
}

TEST(FlashEmulatorTest, FileServerAnswersOnlyFilesOfTheFolderUnderItsToken) {
    TempFolder folder;
    for (const wchar_t* name : {L"ruffle.js", L"a1b2.wasm", L".hidden", L"fonts.ttc"}) folder.Add(name);
    CreateDirectoryW((folder.Path() + L"\\sub").c_str(), nullptr);
    folder.Add(L"sub\\inner.js");
    const std::string token = "0123456789abcdef0123456789abcdef";

    FlashFileAnswer js = ResolveFlashRequest(folder.Path(), token, "GET", "/" + token + "/ruffle.js");
    EXPECT_EQ(200, js.status);
    EXPECT_EQ(folder.Path() + L"\\ruffle.js", js.path);
    EXPECT_EQ("text/javascript; charset=utf-8", js.contentType);
    FlashFileAnswer wasm = ResolveFlashRequest(folder.Path(), token, "HEAD", "/" + token + "/a1b2.wasm?v=1#x");
    EXPECT_EQ(200, wasm.status);
    EXPECT_EQ("application/wasm", wasm.contentType);
    EXPECT_EQ("font/collection", ResolveFlashRequest(folder.Path(), token, "GET", "/" + token + "/fonts.ttc").contentType);

    EXPECT_EQ(405, ResolveFlashRequest(folder.Path(), token, "POST", "/" + token + "/ruffle.js").status);
    const std::string refused[] = {
        "/ruffle.js", "/" + token, "/" + token + "/", "/" + token + "x/ruffle.js", "/" + token.substr(1) + "/ruffle.js",
        "/" + token + "/missing.js", "/" + token + "/.hidden", "/" + token + "/sub/inner.js",
        "/" + token + "/sub\\inner.js", "/" + token + "/../ruffle.js", "/" + token + "/%2e%2e/ruffle.js",
        "/" + token + "/sub", "//" + token + "/ruffle.js", "http://127.0.0.1/" + token + "/ruffle.js"};
    for (const std::string& target : refused)
        EXPECT_EQ(404, ResolveFlashRequest(folder.Path(), token, "GET", target).status) << target;
    // Without a token nothing is served at all.
    EXPECT_EQ(404, ResolveFlashRequest(folder.Path(), "", "GET", "//ruffle.js").status);
}
