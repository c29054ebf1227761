#!/usr/bin/python3
"""Frame rates and latency of the page on the screen, both ways of showing it (the
engine's own window embedded in ours, and screencast pictures), on demand: not a
test. Run through tools/bench_view.sh, which gives it a 1920 x 1080 Xvfb and a
wineserver.

For each route, in the launcher (1230 x 620) and in the maximised in-game frame,
on the local portal's game page and on a page that redraws its whole view at
every frame: the page's own frames per second (requestAnimationFrame), the frames
that reach the screen per second (a corner of the page changes colour at every
page frame; the X screen is sampled there a few hundred times a second), click
to pixels (a real click through X; the page changes a square's colour on the
press; the time until the screen shows it; over several loads of the page, each
with the phase of the engine's display compositor it settled in, see
frame_wait_ms; and again once skipped frames have put the page in the quick
phase on either side, see settle_quick), and the CPU of the client's processes
and of the engine's (host and browser processes), each in % of one core.
Also the time from the launch to the login page's first paint, by the page's own
clock, of a first start and (median and range) of STARTS later ones; and, in
game, the tray icon's restore. The engine alone on the same pages and screen is
the first row, and every figure is also given as a ratio to it. On the game page
the movie plays connected to the game server on both sides, the engine alone's
through SocketRelay.
"""
import base64
import bisect
import collections
import http.server
import hashlib
import json
import os
import random
import shutil
import socket
import tempfile
import statistics
import subprocess
import sys
import threading
import time
import urllib.parse
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "system"))
import devtools  # noqa: E402
import road  # noqa: E402
from Xlib import X, display  # noqa: E402
from Xlib.ext import xtest  # noqa: E402

SECONDS = float(os.environ.get("BENCH_SECONDS", "4"))
# Clicks per load of a page, and loads of each page.
CLICKS = int(os.environ.get("BENCH_CLICKS", "12"))
LOADS = int(os.environ.get("BENCH_LOADS", "3"))
# Later starts (after the first on a fresh display), each side: on a machine whose
# speed wanders by a few tenths of a second from one minute to the next, one start
# tells little; the median and the range of several do.
STARTS = int(os.environ.get("BENCH_STARTS", "5"))
TICK = os.sysconf("SC_CLK_TCK")

ANIMATION = "data:text/html," + urllib.parse.quote(
             "<title>animation</title><style>html,body{margin:0;height:100%;overflow:hidden}"
             "</style><canvas id=c></canvas><script>var c=document.getElementById('c'),x=c.getContext('2d'),t=0;"
             "function f(){c.width=innerWidth;c.height=innerHeight;t++;var g=x.createLinearGradient(0,0,"
             "innerWidth,innerHeight);g.addColorStop(0,'hsl('+t%360+',70%,50%)');g.addColorStop(1,"
             "'hsl('+(t+180)%360+',70%,30%)');x.fillStyle=g;x.fillRect(0,0,innerWidth,innerHeight);"
             "for(var i=0;i<200;i++){x.fillStyle='hsl('+(i*7+t)%360+',80%,60%)';x.beginPath();"
             "x.arc((i*97+t*3)%innerWidth,(i*53+t*2)%innerHeight,20,0,7);x.fill();}requestAnimationFrame(f);}"
             "requestAnimationFrame(f);</script>")

# In the page: a corner square cycling through colours at every page frame, a
# square that changes on a press, and a counter of page frames.
PROBE = r"""(() => {
  if (window.__probe) return true;
  const colours = ['#ff0000', '#00ff00', '#0000ff', '#ffff00', '#00ffff', '#ff00ff', '#ffffff', '#000000'];
  const mark = document.createElement('div');
  mark.style.cssText = 'position:fixed;left:0;top:0;width:24px;height:24px;z-index:2147483647';
  const hit = document.createElement('div');
  hit.style.cssText = 'position:fixed;left:40px;top:0;width:48px;height:48px;z-index:2147483647;background:#000';
  document.documentElement.append(mark, hit);
  const p = window.__probe = {frames: 0, presses: 0};
  let i = 0;
  (function frame() { mark.style.background = colours[i++ % colours.length]; p.frames++;
                      requestAnimationFrame(frame); })();
  // The capture phase on window runs before any of the page's own listeners: the
  // Flash emulator takes a press on its player before it could bubble anywhere.
  window.addEventListener('pointerdown', () => { p.presses++; hit.style.background = p.presses % 2 ? '#fff' : '#000'; },
                          true);
  return true;
})()"""


def page(port, expression):
    targets = devtools.page_targets(port)
    return devtools.evaluate(port, targets[0], expression) if targets else None


# The first page's first contentful paint and load end, as wall-clock times (s),
# with its address; None before it painted.
FIRST_PAINT = """(() => {
  const p = performance.getEntriesByType('paint').find(e => e.name === 'first-contentful-paint');
  const n = performance.getEntriesByType('navigation')[0];
  return p && n ? [(performance.timeOrigin + p.startTime) / 1000, (performance.timeOrigin + n.loadEventEnd) / 1000,
                   location.href] : null;
})()"""


def first_paint(port, launched, path):
    """Seconds from `launched` (time.time()) to the first paint of the page at `path`:
    the page's own clock, so the wait's polling adds nothing."""
    def painted():
        # Headless, the engine's own blank first page is there too.
        for target in devtools.page_targets(port):
            value = devtools.evaluate(port, target, FIRST_PAINT)
            if value and urllib.parse.urlsplit(value[2]).path == path:
                return value
        return None
    return road.wait_for(painted, 30, "the first page's first paint", interval=0.05)[0] - launched


def navigate(port, url):
    # Through DevTools: a page may not send itself to a data: address.
    navigate_only(port, url)
    road.wait_for(lambda: page(port, "document.readyState") == "complete" and
                  page(port, "location.href")[:20] == url[:20], 30, "the page " + url[:40])
    time.sleep(1.0)


def navigate_only(port, url):
    target = devtools.page_targets(port)[0]
    dt = devtools.connect(port, target["webSocketDebuggerUrl"])
    try:
        dt.call("Page.navigate", {"url": url})
    finally:
        dt.close()


def pids_of(pred):
    out = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                cmd = f.read().replace(b"\0", b" ").decode("utf-8", "replace")
            with open(f"/proc/{entry}/stat") as f:
                ppid = int(f.read().rsplit(")", 1)[1].split()[1])
        except OSError:
            continue
        if pred(int(entry), cmd, ppid):
            out.append(int(entry))
    return out


def descendants(root):
    tree = {}
    for pid in pids_of(lambda p, c, pp: True):
        try:
            with open(f"/proc/{pid}/stat") as f:
                tree.setdefault(int(f.read().rsplit(")", 1)[1].split()[1]), []).append(pid)
        except OSError:
            pass
    out, todo = [], [root]
    while todo:
        p = todo.pop()
        out.append(p)
        todo.extend(tree.get(p, []))
    return out


def cpu_ticks(pids):
    """CPU ticks used so far, by process."""
    out = {}
    for pid in pids:
        try:
            with open(f"/proc/{pid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            out[pid] = int(fields[11]) + int(fields[12])
        except OSError:
            pass
    return out


def pss_mb(pids):
    """Proportional set size of `pids` together, in MB (shared pages split among
    their users, so processes sharing a library are not counted twice)."""
    total = 0
    for pid in pids:
        try:
            with open(f"/proc/{pid}/smaps_rollup") as f:
                total += next(int(line.split()[1]) for line in f if line.startswith("Pss:"))
        except (OSError, StopIteration):
            pass
    return total / 1024


def cpu_used(before, after):
    """Ticks used between two samples: a process that came meanwhile counts whole,
    one that went counts nothing after its last sample."""
    return sum(max(0, t - before.get(pid, 0)) for pid, t in after.items())


class Screen:
    def __init__(self):
        self.dpy = display.Display()
        self.root = self.dpy.screen().root

    def pixel(self, x, y):
        return bytes(self.root.get_image(x, y, 1, 1, X.ZPixmap, 0xFFFFFFFF).data)[:3]

    def on_screen_fps(self, x, y, seconds):
        # About a thousand samples a second: enough to see every frame at 60 a
        # second, not so many that the sampling itself loads the X server.
        changes, samples, last = 0, 0, self.pixel(x, y)
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            time.sleep(0.0008)
            p = self.pixel(x, y)
            samples += 1
            if p != last:
                changes += 1
                last = p
        return changes / seconds, samples / seconds

    def click_latency(self, x, y, hx, hy, clicks):
        times = []
        for _ in range(clicks):
            before = self.pixel(hx, hy)
            xtest.fake_input(self.dpy, X.MotionNotify, x=x, y=y)
            self.dpy.sync()
            t0 = time.monotonic()
            xtest.fake_input(self.dpy, X.ButtonPress, 1)
            self.dpy.sync()
            while time.monotonic() - t0 < 1.0:
                time.sleep(0.0005)
                if self.pixel(hx, hy) != before:
                    times.append((time.monotonic() - t0) * 1000)
                    break
            xtest.fake_input(self.dpy, X.ButtonRelease, 1)
            self.dpy.sync()
            # Clicks at a fixed spacing keep one phase to the page's frames for the
            # whole run, and the median then says more about that phase (anywhere
            # in 16 to 48 ms, run to run) than about the route: a random part of a
            # frame spreads them over every phase.
            time.sleep(0.15 + random.uniform(0, 1 / 60))
        return times


def servers():
    """Our wineserver and X server (tools/bench_view.sh names them)."""
    return [int(os.environ[k]) for k in ("BENCH_WINESERVER_PID", "BENCH_XSERVER_PID") if os.environ.get(k)]


def browser_session(port):
    with urllib.request.urlopen(f"http://127.0.0.1:{port}/json/version", timeout=5) as r:
        return devtools.connect(port, json.load(r)["webSocketDebuggerUrl"], timeout=60)


def frame_wait_ms(port, action):
    """Runs `action()` under a trace of the engine's display compositor: (what it
    returned, the median time in ms a frame of the page waited in the display
    compositor before the display drew it).

    At each beat of its clock the display draws at once when no page it expects a
    frame from is still working on one; a page with a frame sent but not yet drawn
    counts as done. A page that draws at every beat can settle, from its first
    frames on, into sending each frame just after the display's draw (its next one
    may only go once that draw has taken the last): every frame then waits for the
    next beat, and each click shows a frame later. It stays there for as long as
    it draws at every beat. The wait tells the two phases apart: about 0.1 ms
    against 12."""
    session = browser_session(port)
    try:
        session.call("Tracing.start", {"traceConfig": {"includedCategories": ["viz"], "excludedCategories": ["*"]},
                                       "transferMode": "ReportEvents"})
        try:
            result = action()
        finally:
            events = []

            def collect(message):
                if message["method"] == "Tracing.dataCollected":
                    events.extend(message["params"]["value"])
            session.call("Tracing.end", on_event=collect)
            session.wait_event("Tracing.tracingComplete", on_event=collect)
    finally:
        session.close()
    draws = sorted(e["ts"] for e in events if e.get("name") == "Display::DrawAndSwap")
    frames = [(e["ts"], e["args"]["SurfaceId"].split(" LocalSurfaceId")[0]) for e in events
              if e.get("name") == "Surface::CommitFrame"]
    if not draws or not frames:
        return result, float("nan")
    # The page's frames: the surface that sent the most (the engine's own window
    # furniture sends a few).
    busiest = collections.Counter(surface for _, surface in frames).most_common(1)[0][0]
    waits = []
    for ts, surface in frames:
        i = bisect.bisect_left(draws, ts)
        if surface == busiest and i < len(draws):
            waits.append((draws[i] - ts) / 1000)
    return result, statistics.median(waits) if waits else float("nan")


# A page's frames that wait longer than this in the display compositor: the late phase.
LATE_WAIT_MS = 6.0

# Holds the page's main thread for longer than a beat, so that it skips a frame.
# Whether a page in the late phase comes out in the quick one depends on where in
# the beat its next frame then lands, so settle_quick repeats it until the phase
# reads quick; a page in the quick phase stays there. Clicks after it compare the
# two sides in the same phase, free of the coin each load throws.
SKIP_A_FRAME = "(() => { const t = performance.now(); while (performance.now() - t < 25) {} return true; })()"


def settle_quick(port, tries=8):
    """Skips page frames until the display compositor shows the page in the quick
    phase (see SKIP_A_FRAME), `tries` times at most: the clicks after it read the
    phase again."""
    for _ in range(tries):
        page(port, SKIP_A_FRAME)
        time.sleep(0.2)
        _, wait = frame_wait_ms(port, lambda: time.sleep(0.5))
        if not wait > LATE_WAIT_MS:
            return


def measure(port, client_pids, engine_pids, origin, click_at):
    """The page shown now: its frame rates and the CPU it costs; then clicks over
    LOADS loads of it (this one and fresh ones), each with the phase it settled in."""
    page(port, PROBE)
    time.sleep(0.5)
    url = page(port, "location.href")
    screen = Screen()
    f0 = page(port, "__probe.frames")
    c0, e0, s0 = cpu_ticks(client_pids()), cpu_ticks(engine_pids()), cpu_ticks(servers())
    t0 = time.monotonic()
    fps_screen, rate = screen.on_screen_fps(origin[0] + 4, origin[1] + 4, SECONDS)
    elapsed = time.monotonic() - t0
    f1 = page(port, "__probe.frames")
    c1, e1, s1 = cpu_ticks(client_pids()), cpu_ticks(engine_pids()), cpu_ticks(servers())
    loads, skipped = [], []
    for n in range(LOADS):
        if n:
            navigate(port, url)
            page(port, PROBE)
            time.sleep(0.5)
        def clicks():
            return screen.click_latency(click_at[0], click_at[1], origin[0] + 60, origin[1] + 20, CLICKS)
        loads.append(frame_wait_ms(port, clicks))
        settle_quick(port)
        skipped.append(frame_wait_ms(port, clicks))
    screen.dpy.close()
    times = [t for load, _ in loads for t in load]
    # A load whose phase could not be read counts as on time.
    late_flags = [wait > LATE_WAIT_MS for _, wait in loads]
    on_time = [t for (load, _), is_late in zip(loads, late_flags) if not is_late for t in load]
    late = [t for (load, _), is_late in zip(loads, late_flags) if is_late for t in load]
    return {"page_fps": (f1 - f0) / elapsed, "screen_fps": fps_screen, "samples_per_s": rate,
            "click_ms": statistics.median(times) if times else float("nan"), "clicks": len(times),
            "click_quartiles": statistics.quantiles(times, n=4) if len(times) > 1 else [],
            "click_ms_on_time": statistics.median(on_time) if on_time else float("nan"),
            "click_ms_late": statistics.median(late) if late else float("nan"),
            "frame_wait_ms": [round(wait, 2) for _, wait in loads],
            "late_loads": sum(late_flags),
            "click_ms_skipped": statistics.median(t for load, _ in skipped for t in load)
                                if any(load for load, _ in skipped) else float("nan"),
            "late_after_skip": sum(wait > LATE_WAIT_MS for _, wait in skipped),
            "client_cpu": 100.0 * cpu_used(c0, c1) / TICK / elapsed,
            "engine_cpu": 100.0 * cpu_used(e0, e1) / TICK / elapsed,
            "server_cpu": 100.0 * cpu_used(s0, s1) / TICK / elapsed,
            "client_pss_mb": pss_mb(client_pids()), "engine_pss_mb": pss_mb(engine_pids())}


def engine_executable():
    """The engine the client would run: VORNMARK_ENGINE, else the first of the known places."""
    chosen = os.environ.get("VORNMARK_ENGINE")
    if chosen:
        return chosen
    for path in ("/usr/bin/chromium", "/usr/bin/chromium-browser", "/usr/bin/google-chrome"):
        if os.path.exists(path):
            return path
    return None


# True once the game page's movie plays connected to the game server.
MOVIE_CONNECTED = ("(function () { try { var n = document.getElementById('game').getState().net;"
                   " return n.game === 'open' && n.chat === 'open'; } catch (e) { return false; } })()")


class SocketRelay:
    """WebSocket to TCP for the engine alone's movie (ws://127.0.0.1:P/<host>/<port>),
    so that it plays connected to the game server as the client's does: the other
    players walk about and the server's clock ticks. No socket policies and no
    limits, unlike the client's relay: a benchmark's aid, for loopback only."""

    GUID = b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11"

    def __init__(self):
        self.server = socket.create_server(("127.0.0.1", 0))
        self.port = self.server.getsockname()[1]
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                conn, _ = self.server.accept()
            except OSError:
                return
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _serve(self, ws):
        tcp = None
        try:
            head = b""
            while b"\r\n\r\n" not in head:
                chunk = ws.recv(4096)
                if not chunk:
                    return
                head += chunk
            lines = head.split(b"\r\n")
            _, host, port = lines[0].split(b" ")[1].decode().split("/")
            key = next(l.split(b":", 1)[1].strip() for l in lines if l.lower().startswith(b"sec-websocket-key:"))
            tcp = socket.create_connection((host, int(port)), timeout=5)
            tcp.settimeout(None)
            accept = base64.b64encode(hashlib.sha1(key + self.GUID).digest())
            ws.sendall(b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                       b"Sec-WebSocket-Accept: " + accept + b"\r\n\r\n")
            threading.Thread(target=self._to_page, args=(tcp, ws), daemon=True).start()
            while True:
                opcode, _, payload = devtools.read_frame(ws)
                if opcode == 8:
                    return
                if opcode == 9:
                    ws.sendall(devtools.frame(10, payload, masked=False))
                elif opcode in (0, 1, 2):
                    tcp.sendall(payload)
        except (OSError, ValueError, StopIteration):
            pass
        finally:
            for s in (ws, tcp):
                if s:
                    s.close()

    def _to_page(self, tcp, ws):
        try:
            while True:
                data = tcp.recv(65536)
                if not data:
                    break
                ws.sendall(devtools.frame(2, data, masked=False))
        except OSError:
            pass
        finally:
            ws.close()

    def entries(self, host, ports):
        return [{"host": host, "port": p, "proxyUrl": f"ws://127.0.0.1:{self.port}/{host}/{p}"} for p in ports]

    def stop(self):
        self.server.close()


class EmulatorFiles:
    """The build's Flash emulator for the engine alone, so that its game page runs
    the movie as the client's does: the emulator's folder served to any origin (as
    the client's own file server serves it), a relay to the game server's ports and
    a document script with the emulator's settings as the client gives them. Not
    given: the client's fonts."""

    def __init__(self):
        self.relay = SocketRelay()
        self.folder = os.path.join(road.BUILD, "ruffle")
        folder = self.folder

        class Handler(http.server.SimpleHTTPRequestHandler):
            def __init__(self, *args, **kwargs):
                super().__init__(*args, directory=folder, **kwargs)

            def end_headers(self):
                self.send_header("Access-Control-Allow-Origin", "*")
                super().end_headers()

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def script(self):
        config = {"publicPath": f"http://127.0.0.1:{self.server.server_port}/", "preferredRenderer": "canvas",
                  "splashScreen": False, "unmuteOverlay": "hidden", "autoplay": "on",
                  "warnOnUnsupportedContent": False, "showSwfDownload": False, "logLevel": "warn",
                  # The portal's game server: the two ports after the portal's, on its address.
                  "socketProxy": self.relay.entries("127.0.0.1", [road.PORTAL_PORT + 1, road.PORTAL_PORT + 2])}
        with open(os.path.join(self.folder, "ruffle.js"), encoding="utf-8") as f:
            return f"window.RufflePlayer = {{config: {json.dumps(config)}}};\n" + f.read()

    def stop(self):
        self.server.shutdown()
        self.server.server_close()
        self.relay.stop()


def start_engine_alone(exe, profile, base, sw, sh):
    """The engine alone on the login page, as the client starts: (its process, its
    DevTools port, seconds from the launch to the page's first paint)."""
    try:
        os.remove(os.path.join(profile, "DevToolsActivePort"))
    except FileNotFoundError:
        pass
    launched = time.time()
    # The switches the client gives its engine that change how it runs (no sandbox,
    # software compositing), so that only the embedding differs.
    proc = subprocess.Popen([exe, "--ozone-platform=x11", f"--app={base}/wd3/index.html", f"--user-data-dir={profile}",
                             "--no-sandbox", "--disable-gpu", "--password-store=basic", "--disable-dev-shm-usage",
                             "--remote-debugging-port=0", "--no-first-run", "--no-default-browser-check",
                             "--window-position=0,0", f"--window-size={sw},{sh - 25}"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
    try:
        port, _ = road.wait_for(lambda: os.path.exists(os.path.join(profile, "DevToolsActivePort")) and
                                devtools.active_port(profile), 60, "the engine's DevTools port", interval=0.01)
        return proc, port, first_paint(port, launched, "/wd3/index.html")
    except BaseException:
        stop_engine_alone(proc)
        raise


def stop_engine_alone(proc):
    # Its whole group: the engine and the children it made.
    try:
        os.killpg(proc.pid, 15)
    except ProcessLookupError:
        pass
    proc.wait()


def run_engine_alone():
    """The anchor: the engine by itself as an app window over the screen's top, on
    the same game page at the in-game page size (the screen less the title bar),
    with the client's Flash emulator in its pages.
    Started 1 + STARTS times on one profile, as the client's engine keeps its profile:
    the first start pays what any first start on a fresh display pays."""
    exe = engine_executable()
    if not exe:
        print("bench: no engine found: no anchor row", file=sys.stderr)
        return []
    sw, sh = road.screen_size()
    profile = tempfile.mkdtemp(prefix="vm-bench-engine-")
    portal = road.Portal()
    base = f"http://127.0.0.1:{road.PORTAL_PORT}"
    url = base + "/wd3/play?server_id=3"
    results = []
    proc = session = files = None
    try:
        proc, port, first = start_engine_alone(exe, profile, base, sw, sh)
        again = []
        for _ in range(STARTS):
            stop_engine_alone(proc)
            proc, port, seconds = start_engine_alone(exe, profile, base, sw, sh)
            again.append(seconds)

        def engine_pids():
            return descendants(proc.pid)

        def window():
            found = subprocess.run(["xdotool", "search", "--onlyvisible", "--class", "[Cc]hromium"],
                                   capture_output=True, text=True).stdout.split()
            for wid in found:
                g = subprocess.run(["xdotool", "getwindowgeometry", "--shell", wid], capture_output=True, text=True)
                v = dict(line.split("=", 1) for line in g.stdout.split() if "=" in line)
                if int(v.get("WIDTH", 0)) >= sw // 2:
                    return wid, int(v["X"]), int(v["Y"]), int(v["WIDTH"]), int(v["HEIGHT"])
            return None

        def settled():
            # The app window draws its own header a moment after the page loads.
            first = page(port, "[innerWidth, innerHeight, outerWidth, outerHeight]")
            time.sleep(0.5)
            return first if first == page(port, "[innerWidth, innerHeight, outerWidth, outerHeight]") else None

        wid = road.wait_for(window, 10, "the engine's window")[0]
        inner_w, inner_h, outer_w, outer_h = road.wait_for(settled, 10, "the engine's window settled")
        # The page the size of the client's in game (the screen less its title bar),
        # at the screen's top left: the engine's own header goes above the screen.
        want = (sw, sh - 25)
        subprocess.run(["xdotool", "windowmove", wid, str(-(outer_w - inner_w)), str(-(outer_h - inner_h))], check=True)
        subprocess.run(["xdotool", "windowsize", wid, str(want[0] + outer_w - inner_w),
                        str(want[1] + outer_h - inner_h)], check=True)
        road.wait_for(lambda: page(port, "[innerWidth, innerHeight]") == list(want), 10, "the engine's page resized",
                      seen=lambda: page(port, "[innerWidth, innerHeight]"))
        size, origin = want, (0, 0)
        # The emulator's script on every new document of the page, for as long as this
        # session to the page is open.
        files = EmulatorFiles()
        target = devtools.page_targets(port)[0]
        session = devtools.connect(port, target["webSocketDebuggerUrl"])
        session.call("Page.enable", {})  # new documents get the script only while it is on
        session.call("Page.addScriptToEvaluateOnNewDocument", {"source": files.script()})
        for name, address in (("game page", url), ("60 fps animation", ANIMATION)):
            navigate(port, address)
            if address == url:
                road.wait_for(lambda: page(port, MOVIE_CONNECTED), 20, "the engine alone's movie on the game server")
            r = measure(port, lambda: [], engine_pids, origin, (origin[0] + size[0] // 2, origin[1] + size[1] // 2))
            r["start_s"], r["restart_s"], r["restarts_s"] = first, statistics.median(again), again
            results.append((f"alone {size[0]}x{size[1]}", name, r))
    finally:
        if session:
            session.close()
        if files:
            files.stop()
        if proc:
            stop_engine_alone(proc)
        portal.stop()
        shutil.rmtree(profile, ignore_errors=True)
    return results


def engine_hosts(client):
    """The engine hosts of `client` (one, or none once its engine has gone)."""
    return pids_of(lambda p, c, pp: "engine_host.py" in c and client.dir in c)


def start_client(client):
    """Starts `client`: (the engine's DevTools port, seconds from the launch to the
    login page's first paint)."""
    launched = time.time()
    client.start()
    profile = road.wait_for(road.engine_profile, 30, "the engine profile", interval=0.01)
    port, _ = road.wait_for(lambda: os.path.exists(os.path.join(profile, "DevToolsActivePort")) and
                            devtools.active_port(profile), 90, "the DevTools port", interval=0.01)
    return port, first_paint(port, launched, "/wd3/index.html")


def run_route(route):
    """Started 1 + STARTS times: the first start on this display's fresh Wine session
    also pays for Wine's desktop process (explorer.exe /desktop) starting, which
    OLE's first window waits for and a Windows session has running; the measures are
    taken on the last."""
    os.environ["VORNMARK_ENGINE_VIEW"] = route
    results = []
    portal = road.Portal()
    client = road.Client()
    try:
        _, start = start_client(client)
        restarts = []
        for _ in range(STARTS):
            client.kill()
            road.wait_for(lambda: not engine_hosts(client), 30, "the former client's engine gone")
            port, seconds = start_client(client)
            restarts.append(seconds)
        frame = road.wait_for(lambda: client.window_sized(1230, 620), 60, "the frame")

        exe_dir = client.dir

        def client_pids():
            return pids_of(lambda p, c, pp: "vornmark.exe" in c and exe_dir in c.replace("\\", "/"))

        def engine_pids():
            return [d for h in engine_hosts(client) for d in descendants(h)]

        base = f"http://127.0.0.1:{road.PORTAL_PORT}"
        launcher_origin = (frame[1], frame[2])
        centre = (frame[1] + 615, frame[2] + 400)
        for name, url in (("game page", base + "/wd3/play?server_id=3"), ("60 fps animation", ANIMATION)):
            navigate(port, url)
            if name == "game page":
                road.wait_for(lambda: page(port, MOVIE_CONNECTED), 20, "the client's movie on the game server")
            results.append(("launcher 1230x620", name, measure(port, client_pids, engine_pids, launcher_origin,
                                                                 centre)))
        # Into the game: logged in, then the game address switches the frame.
        navigate(port, base + "/wd3/index.html")
        page(port, "document.querySelector('#username').value='bench';"
                   "document.querySelector('#password').value='bench';"
                   "document.querySelector('#loginForm').submit(); true")
        time.sleep(2)
        navigate_only(port, base + "/wd3/play?act=gamelogin&server_id=3")
        sw, sh = road.screen_size()
        road.wait_for(lambda: client.window_sized(sw, sh), 30, "the maximised in-game frame")
        time.sleep(2)
        size = page(port, "[innerWidth, innerHeight]")
        layout = f"in game {size[0]}x{size[1]}"
        road.wait_for(lambda: page(port, MOVIE_CONNECTED), 20, "the client's movie on the game server")
        results.append((layout, "game page", measure(port, client_pids, engine_pids, (0, 25), (sw // 2, sh // 2))))
        # The boss key hides the game, a double click on the tray icon brings it back.
        road.key("alt+d")
        road.wait_for(lambda: not client.window_sized(sw, sh), 10, "the frame hidden by the boss key")
        road.post_to_frame(road.WM_TRAY_NOTIFY, road.TRAY_ICON_ID, road.WM_LBUTTONDBLCLK)
        posted = time.monotonic()
        road.wait_for(lambda: client.window_sized(sw, sh), 10, "the frame back from the tray", interval=0.005)
        tray = time.monotonic() - posted
        navigate(port, ANIMATION)
        results.append((layout, "60 fps animation", measure(port, client_pids, engine_pids, (0, 25),
                                                            (sw // 2, sh // 2))))
    finally:
        client.cleanup()
        portal.stop()
    for layout, _, r in results:
        r["start_s"], r["restart_s"], r["restarts_s"] = start, statistics.median(restarts), restarts
        if layout.startswith("in game"):
            r["tray_s"] = tray
    return results


def ratio(value, anchor):
    if anchor is None or anchor != anchor or not anchor or value != value:
        return ""
    return f" ({value / anchor:.2f})"


def main():
    routes = sys.argv[1:] or ["embedded", "screencast"]
    rows = []
    for layout, name, r in run_engine_alone():
        rows.append(("engine alone", layout, name, r))
        print(json.dumps({"route": "engine alone", "layout": layout, "page": name, **r}), flush=True)
    anchors = {name: r for route, _, name, r in rows}
    for route in routes:
        for layout, name, r in run_route(route):
            rows.append((route, layout, name, r))
            print(json.dumps({"route": route, "layout": layout, "page": name, **r}), flush=True)
    print()
    # Every figure also as a ratio to the engine alone on the same page (first rows).
    print("| route | layout | page | launch to the login page's first paint, first / later starts (s, median) "
          "| tray restore (s) | page frames/s | frames on screen/s | click to pixels (median ms) "
          "| click to pixels, loads in the on-time phase (median ms) | loads in the late phase "
          "| click to pixels in the quick phase, after skipped frames (median ms) | late after them "
          "| client CPU % | engine CPU % | wineserver + X CPU % | client + engine memory (PSS, MB) |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    for route, layout, name, r in rows:
        a = anchors.get(name, {})
        tray = f"{r['tray_s']:.2f}" if "tray_s" in r else "–"
        print(f"| {route} | {layout} | {name} | {r['start_s']:.2f}{ratio(r['start_s'], a.get('start_s'))} / "
              f"{r['restart_s']:.2f}{ratio(r['restart_s'], a.get('restart_s'))} "
              f"[{min(r['restarts_s']):.2f}-{max(r['restarts_s']):.2f}] | {tray} "
              f"| {r['page_fps']:.1f}{ratio(r['page_fps'], a.get('page_fps'))} "
              f"| {r['screen_fps']:.1f}{ratio(r['screen_fps'], a.get('screen_fps'))} "
              f"| {r['click_ms']:.1f}{ratio(r['click_ms'], a.get('click_ms'))} ({r['clicks']}/{CLICKS * LOADS}) "
              f"| {r['click_ms_on_time']:.1f}{ratio(r['click_ms_on_time'], a.get('click_ms_on_time'))} "
              f"| {r['late_loads']}/{LOADS} "
              f"| {r['click_ms_skipped']:.1f}{ratio(r['click_ms_skipped'], a.get('click_ms_skipped'))} "
              f"| {r['late_after_skip']}/{LOADS} "
              f"| {r['client_cpu']:.0f} | {r['engine_cpu']:.0f}{ratio(r['engine_cpu'], a.get('engine_cpu'))} "
              f"| {r['server_cpu']:.0f} | {r['client_pss_mb'] + r['engine_pss_mb']:.0f}"
              f"{ratio(r['client_pss_mb'] + r['engine_pss_mb'], a.get('client_pss_mb', 0) + a.get('engine_pss_mb', 0))} |")
    with open("/proc/loadavg") as f:
        print(f"\nscreen sampled {rows[0][3]['samples_per_s']:.0f} times/s; load average at the end: "
              f"{f.read().split()[0]} ({os.cpu_count()} cores)")


if __name__ == "__main__":
    main()
