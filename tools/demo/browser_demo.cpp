// A page of the browser layer in a window, for looking at it (not a test):
// browser_demo.exe [seconds] [url]; prints what the engine reported. The render
// processes the browser layer starts are this program again.
#include "CefTestSupport.h"
#include <windows.h>
#include <cstdio>
#include "common/TestEntry.h"
#include "common/TestUtil.h"

using namespace ceftest;

int wmain(int argc, wchar_t** argv) {
    if (testutil::StartedAsSubProcess()) return testutil::RunAsSubProcess();
    int seconds = argc >= 2 ? _wtoi(argv[1]) : 10;
    HttpServer server;
    server.Start();
    server.SetHtml("/demo.html",
                   "<html><head><title>Demo</title><style>body{font-family:sans-serif;margin:0;"
                   "background:linear-gradient(#2a5d8f,#9fc5e8)}h1{color:white;margin:40px}"
                   "input{font-size:20px;margin:0 40px}canvas{display:block;margin:20px 40px}</style></head>"
                   "<body><h1>Vornmark browser layer</h1><input id='f' value='typed text'>"
                   "<canvas id='c' width='600' height='300'></canvas><script>"
                   "var c=document.getElementById('c').getContext('2d'),t=0;(function f(){t++;"
                   "c.fillStyle='#fff';c.fillRect(0,0,600,300);c.fillStyle='#e69138';"
                   "c.beginPath();c.arc(300+200*Math.sin(t/30),150,60,0,7);c.fill();"
                   "requestAnimationFrame(f)})();</script></body></html>");
    std::string url = argc >= 3 ? CefString(argv[2]).ToString() : server.Url("/demo.html");
    testutil::TempDir cache;
    if (!InitializeEngine(cache.path())) {
        fprintf(stderr, "browser demo: the engine did not start\n");
        return 1;
    }
    {
        HostWindow host(1230, 620);
        CefRefPtr<RecordingClient> client = new RecordingClient();
        CreateChildBrowser(host.hwnd(), client.get(), url);
        PumpFor(seconds * 1000);
        for (const std::string& l : client->Lines()) printf("%s\n", l.c_str());
    }
    CefShutdown();
    return 0;
}
