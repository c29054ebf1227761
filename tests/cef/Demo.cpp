// A page in a window for looking at it: test_cef.exe --demo <seconds> [url].
#include <windows.h>
#include <cstdio>
#include "CefTestSupport.h"
#include "common/TestUtil.h"

using namespace ceftest;

int RunDemo(int argc, wchar_t** argv) {
    int seconds = argc >= 3 ? _wtoi(argv[2]) : 10;
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
    std::string url = argc >= 4 ? CefString(argv[3]).ToString() : server.Url("/demo.html");
    testutil::TempDir cache;
    if (!InitializeEngine(cache.path())) return 1;
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
