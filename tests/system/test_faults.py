"""Faults and bad input on the road: nothing crashes, nothing is lost, exit code 0;
a hostile page (popups, addresses and titles of any length, endless script dialogs)
neither crashes the client nor floods or traps the player; the engine attacked
and faulted from outside: no way into it, a dead engine or page comes back, a frozen
one never holds the player; and the player's session attacked: frames of other
sites, a network attacker's certificate and a flood of the Flash file server take
nothing."""
import http.server
import os
import shutil
import signal
import socket
import ssl
import stat
import subprocess
import tempfile
import threading
import time
import unittest
from urllib.parse import quote

import devtools
import road
from test_road import movie_state, page_rect, page_value

NOTICE_GREY = (240, 240, 240)
NOTICE_BUTTON = (52, 120, 206)


@unittest.skipUnless(os.environ.get("DISPLAY"), "needs the test display (run through tools/test.sh)")
class Faults(unittest.TestCase):
    def client(self):
        c = road.Client()
        self.addCleanup(c.cleanup)
        return c

    def portal(self, *extra):
        p = road.Portal(extra)
        self.addCleanup(p.stop)
        return p

    def test_portal_down_at_start(self):
        c = self.client().start()
        road.wait_for(lambda: c.window_sized(1230, 620), 60, "the frame")
        time.sleep(2)
        road.screenshot("fault-portal-down")
        self.assertEqual(0, road.close_from_launcher(c))
        self.assertEqual("1", c.ini_value("Common", "RunCount"))
        self.assertEqual("", c.ini_value("Common", "user_name"))

    def test_statistics_server_that_never_answers(self):
        portal = self.portal("--stats-hang")
        c = self.client()
        t0 = time.time()
        c.start()
        road.wait_for(lambda: c.window_sized(1230, 728), 60, "the launcher")
        started = time.time() - t0
        self.assertTrue(portal.reports_with_action("install"), "the install report must have been tried")
        t1 = time.time()
        launcher = c.window_sized(1230, 728)
        road.click(launcher[1] + 1215, launcher[2] + 15)
        dialog = road.wait_for(lambda: c.window_sized(295, 190), 15, "the close dialog")
        road.click(dialog[1] + 84, dialog[2] + 117)
        self.assertEqual(0, c.wait_exit(60))
        exited = time.time() - t1
        print(f"\n  hanging statistics server: start to launcher {started:.1f} s, confirmed close to exit {exited:.1f} s")
        self.assertLess(started, 30)
        self.assertLess(exited, 30)
        self.assertTrue(portal.reports_with_action("close"))

    def test_garbled_settings_file(self):
        self.portal()
        c = self.client()
        garbled = b"\x00\xff[Comm\x01on]\nRunCount==\xfe\xfe\n[[[\n" + os.urandom(200)
        with open(c.ini, "wb") as f:
            f.write(garbled)
        c.start()
        self.assertEqual(0, road.close_from_launcher(c))
        # Bytes that are no text the client can tell: left as they are, not rewritten.
        with open(c.ini, "rb") as f:
            self.assertEqual(garbled, f.read())

    def test_eight_bit_settings_file_the_code_page_cannot_read(self):
        """Bytes a Chinese Windows's code page has no character for, in a file that is
        no UTF-8 either: the client's own keys still advance, so the second run sends
        no install report and a carried-out cache clearing is not repeated."""
        portal = self.portal()
        c = self.client()
        with open(c.ini, "wb") as f:
            f.write(b"[Common]\r\nUID=7\r\nClearCache=1\r\n[Partner]\r\nnote=\x80\xff\xfe\xa1\r\n")
        cache = road.engine_profile()
        marker = os.path.join(cache, "vm-code-page-marker") if cache else None
        if marker:
            with open(marker, "w") as f:
                f.write("cleared by the first run only")
        for run in (1, 2):
            c.start(chinese_code_page=True)
            self.assertEqual(0, road.close_from_launcher(c), f"run {run}")
            self.assertEqual(str(run), c.ini_value("Common", "RunCount"), f"run {run}:\n{c.read_ini()}")
            self.assertEqual("0", c.ini_value("Common", "ClearCache"), f"run {run}:\n{c.read_ini()}")
            if run == 1:
                if marker:
                    self.assertFalse(os.path.exists(marker), "the requested cache clearing was not carried out")
                marker = os.path.join(road.engine_profile(), "vm-code-page-marker")
                with open(marker, "w") as f:
                    f.write("must survive the second run")
        self.assertTrue(os.path.exists(marker), "the cache was cleared again on the second run")
        self.assertEqual(1, len(portal.reports_with_action("install")), "an install report at every start")
        self.assertEqual("7", c.ini_value("Common", "UID"))
        self.assertIn("[Partner]", c.read_ini())

    def test_utf16_settings_file_without_byte_order_mark(self):
        portal = self.portal()
        c = self.client()
        text = ("[Common]\r\nUID=7\r\nADV=3\r\nRunCount=5\r\n[Install]\r\nInstallTime=20181024\r\n"
                "[Partner]\r\nchannel=九游\r\n; the installer's note\r\n")
        with open(c.ini, "wb") as f:
            f.write(text.encode("utf-16-le"))
        c.start()
        start = road.wait_for(lambda: portal.records("start"), 60, "the game page request")[0]
        self.assertEqual(["5"], start["params"].get("runcount"))
        self.assertEqual(["7"], start["params"].get("agent_id"))
        self.assertEqual(["3"], start["params"].get("cplaceid"))
        self.assertEqual(["20181024"], start["params"].get("installtime"))
        self.assertEqual(0, road.close_from_launcher(c))
        self.assertFalse(portal.reports_with_action("install"), "RunCount 5 is not a first run")
        for section, key, value in [("Common", "UID", "7"), ("Common", "ADV", "3"), ("Common", "RunCount", "6"),
                                    ("Install", "InstallTime", "20181024"), ("Partner", "channel", "九游"),
                                    ("GameInfo", "Version", "1.15")]:
            self.assertEqual(value, c.ini_value(section, key), f"[{section}] {key} in:\n{c.read_ini()}")
        self.assertIn("; the installer's note", c.read_ini())

    def test_read_only_settings_file(self):
        portal = self.portal()
        c = self.client()
        with open(c.ini, "w") as f:
            f.write("[Common]\nRunCount=5\nUID=7\n")
        os.chmod(c.ini, stat.S_IRUSR | stat.S_IRGRP | stat.S_IROTH)
        with open(c.ini, "rb") as f:
            before = f.read()
        c.start()
        start = road.wait_for(lambda: portal.records("start"), 60, "the game page request")[0]
        self.assertEqual(["5"], start["params"].get("runcount"))
        self.assertEqual(["7"], start["params"].get("agent_id"))
        self.assertEqual(0, road.close_from_launcher(c))
        self.assertFalse(portal.reports_with_action("install"), "RunCount 5 is not a first run")
        self.assertTrue(portal.reports_with_action("close"))
        if os.geteuid() != 0:  # root writes through the read-only bit
            with open(c.ini, "rb") as f:
                self.assertEqual(before, f.read())

    def test_two_instances_at_once(self):
        portal = self.portal()
        a = self.client()
        a.start()
        road.wait_for(lambda: a.window_sized(1230, 728), 60, "the first launcher")
        b = road.Client(a.dir)
        self.addCleanup(b.kill)
        b.start()
        road.wait_for(lambda: b.window_sized(1230, 728), 60, "the second launcher")
        self.assertEqual(0, road.close_from_launcher(b))
        self.assertEqual(0, road.close_from_launcher(a))
        self.assertEqual("2", a.ini_value("Common", "RunCount"))
        self.assertEqual(2, len(portal.reports_with_action("close")))

    # ---- the engine -----------------------------------------------------------------

    def engine_up(self, client, portal):
        """Waits for the game page's request and the engine behind it; its profile."""
        road.wait_for(lambda: portal.records("start"), 60, "the game page request")
        profile = road.wait_for(road.engine_profile, 30, "the engine profile")
        road.wait_for(lambda: road.engine_browser_pid(profile), 30, "the engine's processes")
        return profile

    def test_nobody_else_reaches_the_engine(self):
        """A normal run: no process of the engine listens on any TCP port, and no
        DevTools endpoint on the loopback ports lists our pages."""
        portal = self.portal()
        c = self.client()
        c.start(test_devtools=False)
        profile = self.engine_up(c, portal)
        time.sleep(2)  # the page loaded and its render process up
        engine = road.engine_pids(profile)
        host = road.parent_of(road.engine_browser_pid(profile))
        listening = road.listening_sockets()
        open_ports = {}
        for pid in engine + [host]:
            for inode in road.sockets_of(pid) & set(listening):
                open_ports[pid] = listening[inode]
        self.assertEqual({}, open_ports, "processes of the engine listen on TCP ports")
        self.assertFalse(os.path.exists(os.path.join(profile, "DevToolsActivePort")))
        ours = []
        ports = sorted({port for _, port in listening.values()})
        for port in ports:
            pages = road.devtools_pages_on(port)
            if pages and any(f":{road.PORTAL_PORT}/" in url for url in pages):
                ours.append(port)
        print(f"\n  {len(engine)} engine processes, none listening; {len(ports)} loopback ports tried, "
              f"none lists our pages")
        self.assertEqual([], ours, "a DevTools endpoint lists the client's pages")
        self.assertEqual(0, road.close_from_launcher(c))

    def log_in_and_play(self, c):
        """Logs in as "hero" by real input and enters server 3; the DevTools port."""
        sw, sh = road.screen_size()
        frame = road.wait_for(lambda: c.window_sized(1230, 620), 60, "the frame window")
        profile = road.wait_for(road.engine_profile, 30, "the engine profile")
        port, _ = road.wait_for(lambda: os.path.exists(os.path.join(profile, "DevToolsActivePort")) and
                                devtools.active_port(profile), 30, "the engine's DevTools port")
        fx, fy = frame[1], frame[2]
        for selector, text in (("#username", "hero"), ("#password", "secret")):
            r = road.wait_for(lambda: page_rect(port, selector), 30, selector)
            road.click(int(fx + r[0] + r[2] / 2), int(fy + r[1] + r[3] / 2))
            road.type_text(text)
        r = page_rect(port, "#login")
        road.click(int(fx + r[0] + r[2] / 2), int(fy + r[1] + r[3] / 2))
        road.wait_for(lambda: page_rect(port, "#login_user"), 30, "the page with the logged-in name")
        link = road.wait_for(lambda: page_rect(port, 'a[href*="server_id=3"]'), 10, "the server list")
        time.sleep(1.0)  # the user-name request runs on the load end of this page
        road.click(int(fx + link[0] + link[2] / 2), int(fy + link[1] + link[3] / 2))
        road.wait_for(lambda: c.window_sized(sw, sh), 30, "the maximised in-game frame")
        road.wait_for(lambda: page_value(port, "document.getElementById('player')&&"
                                               "document.getElementById('player').textContent") == "hero",
                      30, "the game page with the player's name")
        return profile, port

    def new_port(self, profile, old):
        """The DevTools port of an engine started after the one on `old`."""
        def port():
            try:
                p, _ = devtools.active_port(profile) or (None, None)
            except OSError:
                return None
            return p if p and p != old else None
        return road.wait_for(port, 10, "the new engine's DevTools port")

    def test_dead_engine_and_crashed_page_come_back(self):
        """In game: the engine killed, then the page's process killed (once, then
        again within the minute): the game comes back each time, in the same window,
        logged in; the close report carries the name."""
        portal = self.portal()
        c = self.client().start()
        profile, port = self.log_in_and_play(c)
        sw, sh = road.screen_size()
        middle = (sw // 2, sh // 2)

        def shows(color):
            return road.near(road.screen_pixel(*middle), color)

        def player():
            try:
                return page_value(port, "document.getElementById('player')&&"
                                        "document.getElementById('player').textContent")
            except Exception:
                return None

        # The engine's browser process dies.
        engine = road.engine_browser_pid(profile)
        t0 = time.time()
        os.kill(engine, signal.SIGKILL)
        road.wait_for(lambda: shows(NOTICE_GREY), 5, "the notice", interval=0.02)
        noticed = time.time() - t0
        road.screenshot("fault-engine-killed-notice")
        # A new engine and the page within seconds; how many depends on the machine's
        # load, so the figure is printed and only a generous limit is held.
        road.wait_for(lambda: not shows(NOTICE_GREY), 15, "the game's picture back", interval=0.05)
        back = time.time() - t0
        port = self.new_port(profile, port)
        road.wait_for(lambda: player() == "hero", 10, "the game page logged in as hero")
        print(f"\n  engine killed in game: notice after {noticed:.2f} s, picture back after {back:.2f} s")
        self.assertIsNone(c.proc.poll(), "the client must live on")
        self.assertTrue(c.window_sized(sw, sh), "the same maximised frame")
        self.assertNotEqual(engine, road.engine_browser_pid(profile))

        # The page's process dies: the page reloads by itself.
        page_value(port, "window.__before = 1")
        t0 = time.time()
        killed = road.engine_processes_of_type(profile, "renderer")
        self.assertTrue(killed)
        for pid in killed:
            os.kill(pid, signal.SIGKILL)
        road.wait_for(lambda: player() == "hero" and page_value(port, "typeof window.__before") == "undefined",
                      10, "the game page reloaded")
        road.wait_for(lambda: not shows(NOTICE_GREY), 5, "the game's picture after the reload")
        print(f"  page process killed: game page back after {time.time() - t0:.2f} s")

        # Again within the minute: the notice stays, with a reload button.
        for pid in road.engine_processes_of_type(profile, "renderer"):
            os.kill(pid, signal.SIGKILL)
        road.wait_for(lambda: shows(NOTICE_GREY), 10, "the notice after the second crash")
        time.sleep(2)
        self.assertTrue(shows(NOTICE_GREY), "the page came back by itself after a second crash")
        shot = road.screen_image()
        road.screenshot("fault-page-crashed-twice")
        button = [(x, y) for y in range(sh // 2 - 80, sh // 2 + 120, 2) for x in range(sw // 2 - 100, sw // 2 + 100, 4)
                  if road.near(shot.getpixel((x, y)), NOTICE_BUTTON)]
        self.assertTrue(button, "no reload button on the notice")
        bx = sum(x for x, _ in button) // len(button)
        by = sum(y for _, y in button) // len(button)
        road.click(bx, by)
        road.wait_for(lambda: not shows(NOTICE_GREY), 10, "the game's picture after the player's reload")
        road.wait_for(lambda: player() == "hero", 10, "the game page after the player's reload")

        road.click(sw - 12, 12)
        dialog = road.wait_for(lambda: c.window_sized(295, 190), 10, "the close dialog")
        road.click(dialog[1] + 84, dialog[2] + 117)
        self.assertEqual(0, c.wait_exit(60))
        close = portal.reports_with_action("close")
        self.assertEqual(1, len(close))
        self.assertEqual(["hero"], close[0]["form"].get("user_name"), close[0]["body"])
        self.assertEqual([], road.engine_pids(profile))

    def test_frozen_engine_never_holds_the_player(self):
        """Every process of the engine stopped: from the confirmed close to the end of
        the client no more than 3 s, exit code 0, nothing left running."""
        portal = self.portal()
        c = self.client().start()
        profile = self.engine_up(c, portal)
        launcher = road.wait_for(lambda: c.window_sized(1230, 728), 60, "the launcher")
        engine = road.engine_pids(profile)
        host = road.parent_of(road.engine_browser_pid(profile))
        self.addCleanup(self.kill_all, engine + [host])
        for pid in engine:
            os.kill(pid, signal.SIGSTOP)
        # A process that was ending as the signal came stays a zombie (its parent is
        # stopped too, and never reaps it): it has stopped as well.
        states = lambda: {p: (road._stat(p) or ("X",))[0] for p in engine}
        try:
            road.wait_for(lambda: all(s in "TXZ" for s in states().values()), 5, "the engine stopped")
        except AssertionError as e:
            raise AssertionError(f"{e}; states: {states()}") from None
        road.click(launcher[1] + 1215, launcher[2] + 15)
        dialog = road.wait_for(lambda: c.window_sized(295, 190), 15, "the close dialog")
        t0 = time.time()
        road.click(dialog[1] + 84, dialog[2] + 117)
        code = c.wait_exit(30)
        took = time.time() - t0
        print(f"\n  frozen engine: confirmed close to the end of the client {took:.2f} s")
        self.assertEqual(0, code)
        self.assertLess(took, 3.0)
        left = [p for p in engine + [host] if (road._stat(p) or ("X",))[0] not in "ZX"]
        self.assertEqual([], left, "processes of the engine outlived the client")

    def test_frames_of_other_sites_read_nothing_of_the_player(self):
        """In the game page with the player logged in, a frame of a site that is none of
        the build's hosts and one from another port of the game's host can neither
        read the page, run code in it, nor fetch the game's pages with the login; the
        game's own pages still read one another across the build's hosts, a Flash
        movie loads from another site, and another site's data is read only where its
        crossdomain.xml admits the game's host."""
        port = road.PORTAL_PORT
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            other_port = s.getsockname()[1]
        game = f"http://127.0.0.1:{port}"
        foreign = [f"http://127.0.0.5:{port}", f"http://127.0.0.1:{other_port}"]
        own = {f"http://127.0.0.2:{port}": "forum", f"http://127.0.0.3:{port}": "pay"}
        # The first foreign site's Flash policy file admits the game's host; the second has none.
        movie = foreign[0] + "/wd3/game.swf"
        admitted, refused = foreign[0] + "/test/echo", foreign[1] + "/test/echo"
        query = "&".join([f"ad={quote(o + '/test/ad.html?game=' + game, safe='')}" for o in foreign] +
                         [f"own={quote(o, safe='')}" for o in own] +
                         [f"movie={quote(movie, safe='')}"] + [f"data={quote(d, safe='')}" for d in (admitted, refused)])
        portal = self.portal("--foreign-address", "127.0.0.5", "--foreign-port", str(other_port),
                             "--crossdomain-allow", "127.0.0.1", "--start-page", "/test/ads.html?" + query)
        c = self.client()
        c.start(test_devtools=False)

        def marks():
            return [r.get("what") for r in portal.records("mark")]
        road.wait_for(lambda: all(f"ad|{o}|done|done" in marks() for o in foreign) and "own|done" in marks(),
                      90, "the reports of the frames and of the page")
        seen = marks()
        for o in foreign:
            for probe in ("title", "cookie", "login_user", "eval", "top-fetch", "fetch", "xhr"):
                self.assertIn(f"ad|{o}|{probe}|blocked", seen, f"{o}: {probe}")
        leaks = [m for m in seen if m.startswith("ad|") and not m.endswith(("|blocked", "|done"))]
        self.assertEqual([], leaks, "a foreign frame read the player's page or login")
        for o, role in own.items():
            for how in ("fetch", "xhr"):
                self.assertIn(f"own|{o}|{how}|ok:echo:{role}:-", seen, f"the game page reading {o} by {how}")
        size = os.path.getsize(os.path.join(road.BUILD, "portal", "game.swf"))
        self.assertIn(f"own|{movie}|movie|ok:{size}", seen, "the Flash movie from another site")
        self.assertIn(f"own|{admitted}|data|ok:echo:foreign:-", seen, "data a site's policy file admits")
        self.assertIn(f"own|{refused}|data|failed", seen, "another site's data read without its consent")
        print(f"\n  {len(foreign)} foreign frames x 7 attempts: all blocked; the game's own hosts: "
              f"{2 * len(own)} reads across hosts answered")
        self.assertEqual(0, road.close_from_launcher(c))

    def test_a_certificate_nobody_vouches_for_gets_the_engines_error_page_and_no_cookie(self):
        """A network attacker's HTTPS site with a self-signed certificate (the player
        sent there from the game page): the engine's own error page in Chinese; the
        site gets no request, and so sets no cookie."""
        folder = tempfile.mkdtemp(prefix="vm-tls-")
        self.addCleanup(shutil.rmtree, folder, True)
        key, cert = os.path.join(folder, "k.pem"), os.path.join(folder, "c.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                        "-days", "1", "-subj", "/CN=attacker.invalid"], check=True, capture_output=True)
        requests = []

        class Attacker(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                requests.append(self.path)
                body = b"<title>attacker</title>"
                self.send_response(200)
                self.send_header("Set-Cookie", "stolen=1; Path=/; Secure; HttpOnly")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        server = http.server.ThreadingHTTPServer(("127.0.0.2", 0), Attacker)
        server.handle_error = lambda *args: None  # refused handshakes are the point
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        server.socket = context.wrap_socket(server.socket, server_side=True)
        serving = threading.Thread(target=server.serve_forever, daemon=True)
        serving.start()
        self.addCleanup(serving.join, 10)
        self.addCleanup(server.server_close)
        self.addCleanup(server.shutdown)
        target = f"https://127.0.0.2:{server.server_address[1]}/"
        self.portal("--start-page", "/test/go?to=" + quote(target, safe=""))
        c = self.client()
        c.start()
        profile = road.wait_for(road.engine_profile, 60, "the engine profile")
        dport, browser_path = road.wait_for(
            lambda: os.path.exists(os.path.join(profile, "DevToolsActivePort")) and devtools.active_port(profile),
            30, "the engine's DevTools port")
        text = road.wait_for(lambda: "ERR_CERT_AUTHORITY_INVALID" in (page_value(
            dport, "document.body ? document.body.innerText : ''") or "") and page_value(
            dport, "document.documentElement.lang + '|' + document.body.innerText"), 60,
            "the engine's certificate error page")
        self.assertTrue(text.startswith("zh"), text[:200])
        self.assertRegex(text, "[\u4e00-\u9fff]{4}", "the error page is not in Chinese")
        self.assertEqual([], requests, "the site with the bad certificate got a request")
        browser = devtools.DevTools(dport, browser_path)
        try:
            cookies = browser.call("Storage.getCookies").get("cookies", [])
        finally:
            browser.close()
        self.assertEqual([], [k for k in cookies if k.get("name") == "stolen"])
        road.screenshot("fault-bad-certificate")
        self.assertEqual(0, road.close_from_launcher(c))

    def test_the_flash_file_server_stays_bounded_under_a_flood_and_the_game_plays_on(self):
        """In game: 1,000 connections that never finish their request, then the page's
        360 parallel fetches of the 14 MB engine build through 60 host names: the
        client's threads, memory and address space stay within bounds, the page
        still gets the emulator's files during the flood, and the movie keeps playing."""
        self.portal()
        c = self.client()
        c.start()
        profile, dport = self.log_in_and_play(c)
        road.wait_for(lambda: (movie_state(dport) or {}).get("frames", 0) > 0, 30, "the Flash game's first frames")
        pid = road.wait_for(lambda: road.client_pid(c), 10, "the client's process")
        fport = road.wait_for(lambda: road.flash_server_port(profile), 10, "the Flash file server's port")
        base = road.process_figures(pid)
        peak = list(base)

        def sample():
            now = road.process_figures(pid)
            for i in range(3):
                peak[i] = max(peak[i], now[i])

        slow = []
        try:
            for _ in range(1000):
                s = socket.socket()
                s.setblocking(False)
                s.connect_ex(("127.0.0.1", fport))
                slow.append(s)
            for s in slow:
                try:
                    s.send(b"GET /")
                except OSError:
                    pass  # not connected yet, or already given up by the server
            # The page's own request for an emulator file still gets through.
            t0 = time.time()
            page_value(dport, "window.__vornFile = null; fetch(RufflePlayer.config.publicPath + 'ruffle.js', "
                              "{cache: 'no-store'}).then(r => r.text().then(t => window.__vornFile = "
                              "r.status + ':' + t.length), () => window.__vornFile = 'failed'), 0")

            def fetched():
                sample()
                return page_value(dport, "window.__vornFile")
            got = road.wait_for(fetched, 60, "the emulator's file fetched during the flood", interval=0.5)
            waited = time.time() - t0
            self.assertTrue(got.startswith("200:"), got)
        finally:
            for s in slow:
                s.close()
        flood = tuple(peak)
        wasm = [n for n in os.listdir(os.path.join(road.BUILD, "ruffle")) if n.endswith(".wasm")][0]
        started = page_value(dport, f"""(() => {{
            const base = new URL(RufflePlayer.config.publicPath);
            const stop = new AbortController();
            window.__vornFlood = {{stop, first: 0, failed: 0}};
            for (let i = 0; i < 360; i++) {{
                const url = `http://h${{i % 60}}.localhost:${{base.port}}${{base.pathname}}{wasm}`;
                fetch(url, {{cache: 'no-store', signal: stop.signal}})
                    .then(r => r.body.getReader().read()).then(() => window.__vornFlood.first++,
                                                              () => window.__vornFlood.failed++);
            }}
            return 360;
        }})()""")
        self.assertEqual(360, started)
        # The fetches run for as long as they take; what is measured is the client meanwhile.
        deadline = time.time() + 20
        while time.time() < deadline:
            sample()
            time.sleep(0.5)
        served = page_value(dport, "window.__vornFlood.first")
        page_value(dport, "window.__vornFlood.stop.abort(), 0")
        frames = (movie_state(dport) or {}).get("frames", 0)
        road.wait_for(lambda: (movie_state(dport) or {}).get("frames", 0) > frames, 10, "the movie's next frames")
        print(f"\n  client threads/RSS MB/address space MB: before {base}, 1,000 slow connections {flood} "
              f"(the page's own file came in {waited:.1f} s), with 360 fetches {tuple(peak)}; "
              f"{served} fetches had their first bytes")
        self.assertGreater(served, 0, "no fetch got an answer")
        self.assertLessEqual(peak[0] - base[0], 4, "threads grew with the connections")
        self.assertLess(peak[1] - base[1], 120, "resident memory grew with the connections")
        self.assertLess(peak[2] - base[2], 200, "address space grew with the connections")
        sw, _ = road.screen_size()
        road.click(sw - 12, 12)
        dialog = road.wait_for(lambda: c.window_sized(295, 190), 10, "the close dialog")
        road.click(dialog[1] + 84, dialog[2] + 117)
        self.assertEqual(0, c.wait_exit(60))

    @staticmethod
    def kill_all(pids):
        for pid in pids:
            try:
                os.kill(pid, signal.SIGKILL)
            except (ProcessLookupError, PermissionError):
                pass


@unittest.skipUnless(os.environ.get("DISPLAY"), "needs the test display (run through tools/test.sh)")
class HostilePage(unittest.TestCase):
    def setUp(self):
        self.client = road.Client()
        self.addCleanup(self.client.cleanup)
        self.browser = road.BrowserRecorder(self.client.dir)
        self.addCleanup(self.browser.restore)

    def portal(self, query):
        p = road.Portal(("--start-page", "/test/hostile.html?" + query))
        self.addCleanup(p.stop)
        return p

    def marks(self, portal):
        return [r.get("what") for r in portal.records("mark")]

    def test_popups_without_a_click_and_addresses_of_any_length(self):
        lengths = [900, 980, 990, 2100, 4000, 65536]
        portal = self.portal("own=2&flood=200&long=1&lengths=" + ",".join(map(str, lengths)))
        origin = f"http://127.0.0.1:{road.PORTAL_PORT}"

        def target(n, via):
            u = f"{origin}/test/popup-target.html?via={via}&pad="
            return u + "A" * (n - len(u)) if len(u) < n else u

        c = self.client.start()
        frame = road.wait_for(lambda: c.window_sized(1230, 620), 60, "the frame")
        # On load: a 64 K title, an inner frame with a 64 K name and address, then
        # popups that no click started: two of the game's own host at once, then 200 of
        # a foreign site.
        t0 = time.time()
        road.wait_for(lambda: "ready" in self.marks(portal), 120, "the page's 202 popups")
        print(f"\n  202 popups without a click answered in {time.time() - t0:.1f} s")
        road.wait_for(lambda: self.browser.opened(), 20, "the game's own page opened without a click")
        # The popup interval passes before the click below.
        time.sleep(1.2)
        self.assertEqual([target(0, "own0")], self.browser.opened(),
                         "a foreign site's popups without a click, or two of the game's own in the same moment")
        # One click opens one; the second the page asks for in the same moment does not.
        centre = (frame[1] + 615, frame[2] + 310)
        road.click(*centre)
        road.wait_for(lambda: self.browser.opened(), 20, "the clicked popup in the web browser")
        # Then one click per address length, a little over a second apart.
        for i, n in enumerate(lengths, start=2):
            time.sleep(1.2)
            road.click(*centre)
            road.wait_for(lambda: f"click{i}" in self.marks(portal), 20, f"the click for {n} characters")
        time.sleep(3.0)
        # Whole and uncut: the shell got what it takes safely, nothing longer.
        self.assertEqual([target(0, "own0"), target(0, "click"), target(900, "len900")], self.browser.opened())
        # Nothing refused was loaded by the engine either; the inner frame's 64 K address was.
        loaded = [r["via"] for r in portal.records("popup-target")]
        self.assertEqual(["frame"], loaded)
        self.assertIsNone(c.proc.poll(), "the client died")
        road.screenshot("fault-hostile-popups")
        self.assertEqual(0, road.close_from_launcher(c))

    def endless_dialogs(self):
        self.portal("alerts=1&act=gamelogin&server_id=9")
        sw, sh = road.screen_size()
        c = self.client.start()
        road.wait_for(lambda: c.window_sized(sw, sh), 60, "the in-game frame")
        road.wait_for(lambda: c.window_named("JavaScript Alert"), 30, "the page's dialog")
        return c, sw, sh

    def test_endless_script_dialogs_leave_the_close_button_working(self):
        c, sw, sh = self.endless_dialogs()
        road.screenshot("fault-endless-dialogs")
        road.click(sw - 12, 12)  # the frame's close button
        dialog = road.wait_for(lambda: c.window_sized(295, 190), 15, "the close dialog over the page's dialog")
        road.screenshot("fault-endless-dialogs-close")
        t0 = time.time()
        road.click(dialog[1] + 84, dialog[2] + 117)  # 确定
        self.assertEqual(0, c.wait_exit(60))
        print(f"\n  endless dialogs: confirmed close to exit {time.time() - t0:.1f} s")

    def test_endless_script_dialogs_hide_with_the_boss_key_and_leave_the_tray_close_working(self):
        c, sw, sh = self.endless_dialogs()
        road.key("alt+d")
        road.wait_for(lambda: not c.window_sized(sw, sh), 10, "the frame hidden by Alt+D")
        road.wait_for(lambda: not c.window_named("JavaScript Alert"), 10, "the page's dialog hidden with the frame")
        road.screenshot("fault-endless-dialogs-boss-key")
        road.move(700, 500)
        road.post_to_frame(road.WM_TRAY_NOTIFY, road.TRAY_ICON_ID, road.WM_RBUTTONUP)
        menu = road.wait_for(lambda: c.window_sized(96, 48), 10, "the tray menu")
        road.click(menu[1] + 20, menu[2] + 36)  # 关闭, the second row
        self.assertEqual(0, c.wait_exit(60))

    def test_endless_script_dialogs_leave_alt_f4_working(self):
        c, sw, sh = self.endless_dialogs()
        road.key("alt+F4")  # the page's dialog has the keyboard
        self.assertEqual(0, c.wait_exit(60))
        self.assertIsNone(c.window_named("JavaScript Alert"))


if __name__ == "__main__":
    unittest.main()
