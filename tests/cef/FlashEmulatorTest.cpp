// The decisions behind Flash content: when it is on, what the emulator is told,
// and which requests its file server answers with which file; and the bounded
// server under it against clients that are slow, many or hostile.
#include <winsock2.h>
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>
#include <gtest/gtest.h>
#include <new>
#include <string>
#include <vector>
#include "include/cef_command_line.h"
#include "src/flash/bounded_server.h"
#include "src/browser/cross_origin.h"
#include "src/browser/crossdomain_policy.h"
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
        "/" + token + "/sub", "//" + token + "/ruffle.js", "http://127.0.0.1/" + token + "/ruffle.js",
        // Names Windows opens as devices in any folder.
        "/" + token + "/NUL", "/" + token + "/COM1", "/" + token + "/com1.js", "/" + token + "/Aux.wasm",
        "/" + token + "/CON", "/" + token + "/lpt9"};
    for (const std::string& target : refused)
        EXPECT_EQ(404, ResolveFlashRequest(folder.Path(), token, "GET", target).status) << target;
    // Without a token nothing is served at all.
    EXPECT_EQ(404, ResolveFlashRequest(folder.Path(), "", "GET", "//ruffle.js").status);
}

// What a page may read across origins with web security on: the build's own hosts
// one another's, and Flash movies and pictures from anywhere, never other data.
TEST(CrossOriginGrants, OwnHostsReadOneAnotherAndFetchMayReadMoviesFromAnywhere) {
    CrossOriginGrants grants("127.0.0.1:19065, 127.0.0.2:19065,sibling.vm.test,bad/host,[::1]:8080,");
    json html = json::array({{{"name", "Content-Type"}, {"value", "text/html"}}});
    json swf = json::array({{{"name", "content-type"}, {"value", "application/x-shockwave-flash"}},
                            {{"name", "Access-Control-Allow-Credentials"}, {"value", "false"}}});
    json open = json::array({{{"name", "Access-Control-Allow-Origin"}, {"value", "*"}}});
    json out;
    struct Case {
        const char* url;
        const char* origin;
        const json& headers;
        bool granted;
    } cases[] = {
        {"http://127.0.0.2:19065/bbs/", "http://127.0.0.1:19065", html, true},
        {"https://sibling.vm.test/x", "http://127.0.0.1:19065", html, true},
        {"http://[::1]:8080/x", "http://127.0.0.2:19065", html, true},
        // Same origin, no Origin at all, or the site has answered for itself: nothing to do.
        {"http://127.0.0.1:19065/a", "http://127.0.0.1:19065", html, false},
        {"http://127.0.0.2:19065/bbs/", "", html, false},
        {"http://127.0.0.2:19065/bbs/", "http://127.0.0.1:19065", open, false},
        // Another port of an own host, another site, a look-alike: not ours.
        {"http://127.0.0.1:19065/wd3/xf.html", "http://127.0.0.1:19066", html, false},
        {"http://127.0.0.1:19065/wd3/xf.html", "http://127.0.0.5:19065", html, false},
        {"http://127.0.0.1:19065/wd3/xf.html", "http://sibling.vm.test.evil:80", html, false},
        {"http://127.0.0.1:19065/wd3/xf.html", "http://sibling.vm.test:8080", html, false},
        {"http://127.0.0.1:19065/wd3/xf.html", "null", html, false},
        // A movie from anywhere: Flash Player loaded one from wherever a page embedded it.
        {"http://127.0.0.5:19065/game.swf", "http://127.0.0.1:19065", swf, true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.granted, grants.Grant(c.url, c.origin, c.headers, &out)) << c.url << " from " << c.origin;
    // A grant names the one origin, with credentials, and keeps the answer's other headers.
    ASSERT_TRUE(grants.Grant("http://127.0.0.5:1/m.swf", "http://127.0.0.1:19065", swf, &out));
    EXPECT_EQ("http://127.0.0.1:19065", HeaderValue(out, "access-control-allow-origin"));
    EXPECT_EQ("true", HeaderValue(out, "Access-Control-Allow-Credentials"));
    EXPECT_EQ("application/x-shockwave-flash", HeaderValue(out, "Content-Type"));
    int credentials = 0;
    for (const json& h : out) credentials += h["name"] == "Access-Control-Allow-Credentials";
    EXPECT_EQ(1, credentials) << "the answer's own credentials header replaced";
}

// Flash Player's policy file rule, on the files sites really serve.
TEST(CrossOriginGrants, AnotherSitesDataIsReadOnlyWhereItsPolicyFileAdmitsThePagesHost) {
    const std::string policy =
        "<?xml version=\"1.0\"?>\n<!DOCTYPE cross-domain-policy SYSTEM \"x.dtd\">\n<cross-domain-policy>\n"
        "  <site-control permitted-cross-domain-policies=\"master-only\"/>\n"
        "  <allow-access-from domain=\"game.example\" to-ports=\"*\"/>\n"
        "  <allow-access-from domain='*.Portal.example' secure=\"false\"/>\n</cross-domain-policy>";
    for (const char* host : {"game.example", "GAME.example", "www.portal.example", "a.b.portal.example"})
        EXPECT_TRUE(CrossDomainPolicyAdmits(policy, host)) << host;
    for (const char* host : {"portal.example", "evilgame.example", "game.example.evil", "127.0.0.1", ""})
        EXPECT_FALSE(CrossDomainPolicyAdmits(policy, host)) << host;
    EXPECT_TRUE(CrossDomainPolicyAdmits("<cross-domain-policy><allow-access-from domain=\"*\"/></cross-domain-policy>",
                                        "127.0.0.1"));
    EXPECT_FALSE(CrossDomainPolicyAdmits("<cross-domain-policy><site-control permitted-cross-domain-policies=\"none\"/>"
                                         "<allow-access-from domain=\"*\"/></cross-domain-policy>", "127.0.0.1"));
    EXPECT_FALSE(CrossDomainPolicyAdmits("", "127.0.0.1")) << "no policy file";
    EXPECT_FALSE(CrossDomainPolicyAdmits("<html><p allow-access-from domain=\"*\"></html>", "x")) << "not a policy";
    // Only the game's own pages ask a site's policy; another site's pages never do.
    CrossOriginGrants grants("127.0.0.1:19065");
    std::string site, page;
    json none = json::array();
    ASSERT_TRUE(grants.AsksSitePolicy("https://cdn.example/data.xml", "http://127.0.0.1:19065", none, &site, &page));
    EXPECT_EQ("https://cdn.example:443", site);
    EXPECT_EQ("127.0.0.1", page);
    EXPECT_FALSE(grants.AsksSitePolicy("http://127.0.0.1:19065/wd3/xf.html", "http://127.0.0.5:19065", none, &site, &page));
    EXPECT_FALSE(grants.AsksSitePolicy("https://cdn.example/x", "http://127.0.0.5:19065", none, &site, &page));
}

// ---- the bounded server ----------------------------------------------------------------

namespace {

struct Winsock {
    Winsock() { WSAStartup(MAKEWORD(2, 2), &data); }
    ~Winsock() { WSACleanup(); }
    WSADATA data;
};

int ThreadCount() {
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 te = {sizeof(te)};
    int n = 0;
    for (BOOL ok = Thread32First(snap, &te); ok; ok = Thread32Next(snap, &te))
        if (te.th32OwnerProcessID == GetCurrentProcessId()) ++n;
    CloseHandle(snap);
    return n;
}

SIZE_T PrivateBytes() {
    PROCESS_MEMORY_COUNTERS_EX pmc = {};
    pmc.cb = sizeof(pmc);
    K32GetProcessMemoryInfo(GetCurrentProcess(), (PROCESS_MEMORY_COUNTERS*)&pmc, sizeof(pmc));
    return pmc.PrivateUsage;
}

SOCKET Connect(int port, DWORD timeoutMs = 10000) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons((u_short)port);
    if (connect(s, (sockaddr*)&addr, sizeof(addr)) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, (const char*)&timeoutMs, sizeof(timeoutMs));
    return s;
}

// Everything the server sends until it closes; "<timeout>" appended when it does not.
std::string ReadAll(SOCKET s, size_t* total = nullptr) {
    std::string out;
    size_t n = 0;
    char buf[65536];
    for (;;) {
        int got = recv(s, buf, sizeof(buf), 0);
        if (got == 0) break;
        if (got < 0) return out + (WSAGetLastError() == WSAETIMEDOUT ? "<timeout>" : "<error>");
        n += (size_t)got;
        if (!total) out.append(buf, got);
        else if (out.size() < 512) out.append(buf, std::min<size_t>(got, 512 - out.size()));
    }
    if (total) *total = n;
    return out;
}

std::string Get(int port, const std::string& path) {
    SOCKET s = Connect(port);
    if (s == INVALID_SOCKET) return "<no connection>";
    std::string req = "GET " + path + " HTTP/1.1\r\nHost: x\r\n\r\n";
    send(s, req.data(), (int)req.size(), 0);
    std::string answer = ReadAll(s);
    closesocket(s);
    return answer;
}

BoundedServer::Reply Text(const std::string& body) {
    BoundedServer::Reply r;
    r.head = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    r.body = body;
    return r;
}

}  // namespace

TEST(BoundedServerTest, SlowClientsHoldNoMoreThanItsPlacesAndOneThreadAndARequestStillGetsThrough) {
    Winsock ws;
    BoundedServer::Limits limits;
    limits.maxConnections = 4;
    limits.headDeadlineMs = 3000;
    BoundedServer server(limits, [](const std::string& head, BoundedServer::Reply* r) {
        *r = Text(head.compare(0, 9, "GET /ping") == 0 ? "pong" : "other");
        return true;
    });
    int threadsBefore = ThreadCount();
    ASSERT_TRUE(server.Start());
    // 200 clients that connect and say nothing (or only half a head), as a local stranger would.
    std::vector<SOCKET> slow;
    for (int i = 0; i < 200; ++i) {
        SOCKET s = Connect(server.Port());
        if (s == INVALID_SOCKET) continue;
        if (i % 2) send(s, "GET /", 5, 0);
        slow.push_back(s);
    }
    EXPECT_GE(slow.size(), 60u) << "the listener's queue took too few";
    // A request of the page behind them all is answered: clients that keep their
    // place without a head give it up once somebody waits.
    DWORD t0 = GetTickCount();
    std::string answer = Get(server.Port(), "/ping");
    DWORD took = GetTickCount() - t0;
    EXPECT_NE(std::string::npos, answer.find("\r\n\r\npong")) << answer;
    EXPECT_LT(took, 9000u) << "the request waited behind the slow clients";
    BoundedServer::Stats stats = server.GetStats();
    EXPECT_LE(stats.peakOpen, 4);
    EXPECT_LE(ThreadCount(), threadsBefore + 1) << "a thread per connection";
    printf("  200 slow clients: %d connections at most, %d thread(s) added, a request answered in %lu ms\n",
           stats.peakOpen, ThreadCount() - threadsBefore, took);
    for (SOCKET s : slow) closesocket(s);
    server.Stop();
    EXPECT_LE(ThreadCount(), threadsBefore);
}

TEST(BoundedServerTest, AHeadThatNeverEndsOrGrowsTooLargeIsDroppedAndAFailingAnswerEndsOnlyItsConnection) {
    Winsock ws;
    BoundedServer::Limits limits;
    limits.headDeadlineMs = 1500;
    BoundedServer server(limits, [](const std::string& head, BoundedServer::Reply* r) -> bool {
        if (head.compare(0, 10, "GET /throw") == 0) throw std::bad_alloc();
        if (head.compare(0, 9, "GET /drop") == 0) return false;
        *r = Text("fine");
        return true;
    });
    ASSERT_TRUE(server.Start());
    // Half a head, then silence: closed at the deadline (before the client's own 10 s).
    SOCKET s = Connect(server.Port());
    send(s, "GET / HTTP/1.1\r\nHost", 20, 0);
    DWORD t0 = GetTickCount();
    EXPECT_EQ("", ReadAll(s));
    DWORD took = GetTickCount() - t0;
    EXPECT_GE(took, 1000u);
    EXPECT_LT(took, 5000u);
    closesocket(s);
    // A head larger than allowed, sent at once: dropped without an answer.
    s = Connect(server.Port());
    std::string big = "GET / HTTP/1.1\r\nX: " + std::string(20000, 'a') + "\r\n\r\n";
    send(s, big.data(), (int)big.size(), 0);
    std::string answer = ReadAll(s);
    EXPECT_EQ(std::string::npos, answer.find("fine")) << answer;
    closesocket(s);
    for (const char* path : {"/throw", "/drop"}) EXPECT_EQ("", Get(server.Port(), path)) << path;
    EXPECT_NE(std::string::npos, Get(server.Port(), "/after").find("fine"));
    EXPECT_GE(server.GetStats().dropped, 4);
}

TEST(BoundedServerTest, FilesGoOutInChunksWhateverTheirSizeAndTheNumberOfReaders) {
    Winsock ws;
    TempFolder folder;
    std::wstring path = folder.Path() + L"\\big.bin";
    const size_t kSize = 24u << 20;
    {
        std::string data(kSize, '\0');
        for (size_t i = 0; i < kSize; ++i) data[i] = (char)(i * 7 + (i >> 16));
        HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD wrote = 0;
        WriteFile(f, data.data(), (DWORD)data.size(), &wrote, nullptr);
        CloseHandle(f);
        ASSERT_EQ(kSize, wrote);
    }
    BoundedServer server(BoundedServer::Limits(), [&](const std::string&, BoundedServer::Reply* r) {
        r->file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        r->head = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kSize) + "\r\n\r\n";
        return r->file != INVALID_HANDLE_VALUE;
    });
    ASSERT_TRUE(server.Start());
    SIZE_T before = PrivateBytes();
    // 40 readers at once that read nothing for a while: the server holds a chunk
    // each for the few it serves, never the file.
    std::vector<SOCKET> readers;
    for (int i = 0; i < 40; ++i) {
        SOCKET s = Connect(server.Port(), 60000);
        ASSERT_NE(INVALID_SOCKET, s);
        send(s, "GET /big HTTP/1.1\r\n\r\n", 21, 0);
        readers.push_back(s);
    }
    Sleep(1500);  // a stalled reader is the case measured: nothing to wait for
    SIZE_T during = PrivateBytes();
    size_t total = 0;
    for (SOCKET s : readers) {
        size_t got = 0;
        std::string start = ReadAll(s, &got);
        EXPECT_NE(std::string::npos, start.find("\r\n\r\n")) << start.substr(0, 80);
        total += got;
        closesocket(s);
    }
    SIZE_T growth = during > before ? during - before : 0;
    EXPECT_LT(growth, (SIZE_T)(4u << 20)) << "the server holds more than a few chunks";
    size_t headSize = std::string("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kSize) + "\r\n\r\n").size();
    EXPECT_EQ(40 * (kSize + headSize), total) << "every reader got the whole file";
    printf("  40 readers of a 24 MB file: %lu KB more private memory while they stalled\n",
           (unsigned long)(growth / 1024));
    server.Stop();
    DeleteFileW(path.c_str());
}
