// Figures of the browser layer, printed (a benchmark, not a test; run through
// tools/bench.sh): start, idle cost, pictures of an animated page, key to
// picture. Each is held against a bound loose enough for a slow machine but
// tight enough to show pictures that stop flowing or lag behind input: a figure
// beyond its bound is reported and the exit code is 2; 1 when it could not measure.
// The render processes the browser layer starts are this program again.
#include "CefTestSupport.h"
#include <algorithm>
#include <cstdio>
#include <vector>
#include "common/TestEntry.h"
#include "common/TestUtil.h"
#include "src/browser/engine.h"

using namespace ceftest;

namespace {

bool g_beyond = false;

// A figure against its bound.
void Bound(bool within, const char* what) {
    if (within) return;
    printf("BEYOND BOUND: %s\n", what);
    g_beyond = true;
}

// Gives up with a message when a step of the measurement itself failed.
#define REQUIRE(condition)                                        \
    if (!(condition)) {                                           \
        fprintf(stderr, "engine bench: %s failed\n", #condition); \
        return 1;                                                 \
    }

double Ms(LONGLONG from, LONGLONG to) {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return (to - from) * 1000.0 / f.QuadPart;
}

LONGLONG Now() {
    LARGE_INTEGER n;
    QueryPerformanceCounter(&n);
    return n.QuadPart;
}

double ProcessCpuMs() {
    FILETIME c, e, k, u;
    GetProcessTimes(GetCurrentProcess(), &c, &e, &k, &u);
    ULARGE_INTEGER kk, uu;
    kk.LowPart = k.dwLowDateTime, kk.HighPart = k.dwHighDateTime;
    uu.LowPart = u.dwLowDateTime, uu.HighPart = u.dwHighDateTime;
    return (kk.QuadPart + uu.QuadPart) / 10000.0;
}

int Measure() {
    HttpServer server;
    REQUIRE(server.Start());
    server.SetHtml("/static.html", "<html><body style='margin:0;background:#fff'><h1>static</h1></body></html>");
    server.SetHtml("/canvas.html",
                   "<html><body style='margin:0;overflow:hidden'><canvas id='c' width='1230' height='620'></canvas>"
                   "<script>var c=document.getElementById('c').getContext('2d'),t=0;(function f(){t++;"
                   "c.fillStyle='hsl('+(t%360)+',60%,70%)';c.fillRect(0,0,1230,620);c.fillStyle='#222';"
                   "c.beginPath();c.arc(615+400*Math.sin(t/20),310,80,0,7);c.fill();requestAnimationFrame(f)})();"
                   "</script></body></html>");
    server.SetHtml("/keys.html",
                   "<html><body style='margin:0'><div id='d' style='width:1230px;height:620px;background:#000'></div>"
                   "<script>var on=false;addEventListener('keydown',function(){on=!on;"
                   "document.getElementById('d').style.background=on?'#fff':'#000';});</script></body></html>");
    testutil::TempDir cache;

    LONGLONG t0 = Now();
    REQUIRE(InitializeEngine(cache.path()));
    HostWindow* host = new HostWindow(1230, 620);
    CefRefPtr<RecordingClient> client = new RecordingClient();
    REQUIRE(CreateChildBrowser(host->hwnd(), client.get(), server.Url("/static.html")));
    cef_internal::BrowserStats stats;
    REQUIRE(WaitUntil([&] {
        CefRefPtr<CefBrowser> b = client->Browser();
        return b && cef_internal::GetBrowserStats(b, &stats) && stats.framesPainted > 0;
    }, 30000));
    double firstFrame = Ms(t0, stats.firstFrameQpc);
    CefRefPtr<CefBrowser> browser = client->Browser();
    printf("MEASURE engine launch to DevTools connection: %lu ms\n", cef_internal::GetEngineInfo().startMs);
    printf("MEASURE CefInitialize to first decoded frame: %.0f ms\n", firstFrame);
    Bound(firstFrame < 15000, "first frame within 15 s");

    // Idle: a static page, nothing moving.
    PumpFor(1500);
    double cpu0 = ProcessCpuMs();
    LONGLONG i0 = Now();
    PumpFor(5000);
    double idle = (ProcessCpuMs() - cpu0) / Ms(i0, Now()) * 100.0;
    printf("MEASURE our process CPU while idle: %.2f %% of one core\n", idle);
    Bound(idle < 5.0, "idle CPU below 5 %");

    // Pictures of an animated canvas filling 1230 x 620.
    client->Clear();
    browser->GetMainFrame()->LoadURL(server.Url("/canvas.html"));
    REQUIRE(WaitUntil([&] { return !client->With("end main").empty(); }, 10000));
    PumpFor(1000);
    cef_internal::BrowserStats a, b;
    REQUIRE(cef_internal::GetBrowserStats(browser, &a));
    double cpuA = ProcessCpuMs();
    LONGLONG f0 = Now();
    PumpFor(4000);
    double span = Ms(f0, Now());
    REQUIRE(cef_internal::GetBrowserStats(browser, &b));
    double cpuB = ProcessCpuMs();
    double decodedFps = (b.framesDecoded - a.framesDecoded) * 1000.0 / span;
    double paintedFps = (b.framesPainted - a.framesPainted) * 1000.0 / span;
    double receivedFps = (b.framesReceived - a.framesReceived) * 1000.0 / span;
    printf("MEASURE canvas 1230x620: received %.1f, decoded %.1f, painted %.1f frames/s; our CPU %.0f %% of one core;"
           " %.1f ms per decode\n",
           receivedFps, decodedFps, paintedFps, (cpuB - cpuA) / span * 100.0,
           Ms(a.decodeQpcTotal, b.decodeQpcTotal) / std::max(1, b.framesDecoded - a.framesDecoded));
    Bound(b.frameWidth == 1230 && b.frameHeight == 620, "frames of the page's size, 1230 x 620");
    Bound(decodedFps > 15.0, "more than 15 decoded frames/s");
    Bound(paintedFps > 10.0, "more than 10 painted frames/s");
    // Decoded once each: never more decodes than frames received.
    Bound(b.framesDecoded - a.framesDecoded <= b.framesReceived - a.framesReceived, "no frame decoded twice");

    // Key press to the next picture that shows its effect.
    client->Clear();
    browser->GetMainFrame()->LoadURL(server.Url("/keys.html"));
    REQUIRE(WaitUntil([&] { return !client->With("end main").empty(); }, 10000));
    PumpFor(500);
    HWND view = browser->GetHost()->GetWindowHandle();
    std::vector<double> latencies;
    bool white = false;
    for (int i = 0; i < 12; ++i) {
        white = !white;
        REQUIRE(cef_internal::GetBrowserStats(browser, &a));
        LONGLONG k0 = Now();
        PostMessageW(view, WM_KEYDOWN, 'A', 0x001E0001);
        PostMessageW(view, WM_KEYUP, 'A', 0xC01E0001);
        COLORREF want = white ? RGB(255, 255, 255) : RGB(0, 0, 0);
        bool seen = WaitUntil([&] {
            HDC dc = GetDC(view);
            COLORREF c = GetPixel(dc, 600, 300);
            ReleaseDC(view, dc);
            return abs(GetRValue(c) - GetRValue(want)) < 40;
        }, 3000);
        REQUIRE(seen);
        REQUIRE(cef_internal::GetBrowserStats(browser, &b));
        latencies.push_back(Ms(k0, b.lastDecodedQpc));
        PumpFor(100);
    }
    std::sort(latencies.begin(), latencies.end());
    double median = latencies[latencies.size() / 2];
    printf("MEASURE key to decoded frame: median %.1f ms (min %.1f, max %.1f)\n", median, latencies.front(),
           latencies.back());
    Bound(median < 150.0, "key to picture below 150 ms");

    delete host;
    Bound(client->WaitFor("closed", 5000), "the browser closed with its window");
    CefShutdown();
    return g_beyond ? 2 : 0;
}

}  // namespace

int wmain() {
    if (testutil::StartedAsSubProcess()) return testutil::RunAsSubProcess();
    setvbuf(stdout, nullptr, _IONBF, 0);
    return Measure();
}
