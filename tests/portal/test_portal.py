"""Tests of the local portal (portal/portal.py), run as a real server process.

Run from the project root:  python3 -m unittest discover -s tests/portal -v
Standard library only; the engine tests need /usr/bin/chromium and skip without it.
"""

import http.client
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from html.parser import HTMLParser
from pathlib import Path
from urllib.parse import parse_qs, quote, urlencode

ROOT = Path(__file__).resolve().parents[2]
PORTAL = ROOT / "portal" / "portal.py"
FORM = "application/x-www-form-urlencoded"


class Portal:
    """The portal as a child process on a free port; stopped by its pid."""

    def __init__(self, *args, env=None):
        self.dir = tempfile.TemporaryDirectory(prefix="portal-test-")
        self.log_path = os.path.join(self.dir.name, "events.jsonl")
        self.err_path = os.path.join(self.dir.name, "stderr.txt")
        self._err = open(self.err_path, "wb")
        full_env = dict(os.environ)
        full_env.update(env or {})
        self.proc = subprocess.Popen(
            [sys.executable, str(PORTAL), "--port", "0", "--log", self.log_path] + list(args),
            stdout=subprocess.PIPE, stderr=self._err, env=full_env)
        line = self._first_line(10)
        if not line.startswith("PORT "):
            self.stop()
            raise AssertionError("portal did not report its port: %r\n%s" % (line, self.stderr()))
        self.port = int(line.split()[1])
        game = self._first_line(5).split()
        self.game_ports = (int(game[1]), int(game[2])) if len(game) == 3 and game[0] == "GAME" else None

    def _first_line(self, timeout):
        box = []
        t = threading.Thread(target=lambda: box.append(self.proc.stdout.readline().decode()), daemon=True)
        t.start()
        t.join(timeout)
        return box[0].strip() if box else ""

    def stderr(self):
        with open(self.err_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def stop(self, timeout=10):
        """SIGTERM to our child; returns its exit code."""
        if self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGTERM)
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                os.kill(self.proc.pid, signal.SIGKILL)
                self.proc.wait()
                raise AssertionError("portal ignored SIGTERM for %ss" % timeout)
        self.proc.stdout.close()
        self._err.close()
        return self.proc.returncode

    def cleanup(self):
        self.dir.cleanup()

    # -- talking to it ------------------------------------------------------

    def request(self, method, path, body=None, headers=None, host="127.0.0.1", timeout=10):
        conn = http.client.HTTPConnection(host, self.port, timeout=timeout)
        try:
            conn.request(method, path, body=body, headers=headers or {})
            resp = conn.getresponse()
            data = resp.read()
            return resp.status, resp.headers, data.decode("utf-8", "replace")
        finally:
            conn.close()

    def raw(self, data, timeout=10, host="127.0.0.1", half_close=False):
        """Send raw bytes, return everything the server answers until it closes."""
        with socket.create_connection((host, self.port), timeout=timeout) as s:
            s.sendall(data)
            if half_close:
                s.shutdown(socket.SHUT_WR)
            chunks = []
            while True:
                try:
                    chunk = s.recv(65536)
                except ConnectionResetError:
                    break
                if not chunk:
                    break
                chunks.append(chunk)
        return b"".join(chunks)

    def records(self, kind=None):
        if not os.path.exists(self.log_path):
            return []
        with open(self.log_path, encoding="utf-8") as f:
            recs = [json.loads(line) for line in f if line.strip()]
        return [r for r in recs if kind is None or r.get("kind") == kind]

    def wait_record(self, predicate, timeout=5):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for rec in self.records():
                if predicate(rec):
                    return rec
            time.sleep(0.05)
        raise AssertionError("no matching log record within %ss" % timeout)


class Dom(HTMLParser):
    """Collects start tags with attributes and the text inside elements with ids."""

    def __init__(self, text):
        super().__init__(convert_charrefs=True)
        self.tags = []
        self._open = []       # ids of elements we are inside, with their depth
        self.text = {}
        self.title = ""
        self._in_title = False
        self.feed(text)

    VOID = {"input", "meta", "link", "br", "img", "hr"}

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        self.tags.append((tag, a))
        if tag == "title":
            self._in_title = True
        if tag in self.VOID:
            return
        self._open.append(a.get("id"))
        if a.get("id"):
            self.text.setdefault(a["id"], "")

    def handle_endtag(self, tag):
        if tag == "title":
            self._in_title = False
        if tag not in self.VOID and self._open:
            self._open.pop()

    def handle_data(self, data):
        if self._in_title:
            self.title += data
        for ident in self._open:
            if ident:
                self.text[ident] += data

    def find(self, tag=None, **attrs):
        return [a for t, a in self.tags
                if (tag is None or t == tag) and all(a.get(k) == v for k, v in attrs.items())]


def login(portal, name, password="pw", method="POST"):
    form = urlencode({"username": name, "password": password})
    if method == "POST":
        return portal.request("POST", "/wd3/login", form.encode(), {"Content-Type": FORM})
    return portal.request("GET", "/wd3/login?" + form)


def cookie_of(headers):
    value = headers.get("Set-Cookie")
    return value.split(";", 1)[0] if value else None


class PortalCase(unittest.TestCase):
    portal_args = ()
    portal_env = None

    @classmethod
    def setUpClass(cls):
        cls.portal = Portal(*cls.portal_args, env=cls.portal_env)

    @classmethod
    def tearDownClass(cls):
        rc = cls.portal.stop()
        err = cls.portal.stderr()
        cls.portal.cleanup()
        if rc != 0 or "Traceback" in err:
            raise AssertionError("portal ended badly (exit %s):\n%s" % (rc, err))


class LoginAndPages(PortalCase):

    def test_login_sets_cookie_and_xf_page_shows_name_escaped(self):
        names = ['A&B <x> "q"', "测试玩家", "a&amp;b", "玩家&'零'"]
        for name in names:
            for method in ("POST", "GET"):
                with self.subTest(name=name, method=method):
                    status, headers, _ = login(self.portal, name, method=method)
                    self.assertEqual(status, 303)
                    self.assertEqual(headers["Location"], "/wd3/xf.html")
                    cookie = cookie_of(headers)
                    self.assertTrue(cookie and cookie.startswith("vm_user="), headers)
                    status, _, page = self.portal.request("GET", "/wd3/xf.html", headers={"Cookie": cookie})
                    self.assertEqual(status, 200)
                    dom = Dom(page)
                    self.assertEqual(len(dom.find(id="login_user")), 1)
                    self.assertEqual(dom.text["login_user"], name)
                    # In the markup itself every "&" starts an entity and no "<" is raw.
                    inner = page.split('id="login_user"', 1)[1].split(">", 1)[1].split("</span>", 1)[0]
                    self.assertNotIn("<", inner)
                    self.assertIsNone(re.search(r"&(?!amp;|lt;|gt;|quot;|#x27;)", inner), inner)
        logins = [r["user"] for r in self.portal.records("login")]
        for name in names:
            self.assertIn(name, logins)

    def test_login_refusals_and_missing_session(self):
        cases = [
            ({"username": "", "password": "x"}, "请输入账号"),
            ({"username": "   ", "password": "x"}, "请输入账号"),
            ({"username": "bob", "password": ""}, "请输入密码"),
            ({"username": "x" * 33, "password": "x"}, "账号不能超过"),
            ({"username": "a\tb", "password": "x"}, "控制字符"),
        ]
        for form, message in cases:
            with self.subTest(form=form):
                status, headers, page = self.portal.request(
                    "POST", "/wd3/login", urlencode(form).encode(), {"Content-Type": FORM})
                self.assertEqual(status, 200)
                self.assertIsNone(headers.get("Set-Cookie"))
                self.assertIn(message, Dom(page).text.get("error", ""))
        # A body that is not UTF-8 is refused outright.
        status, headers, _ = self.portal.request("POST", "/wd3/login", b"username=%FF\xff&password=x",
                                                 {"Content-Type": FORM})
        self.assertEqual(status, 400)
        self.assertIsNone(headers.get("Set-Cookie"))
        # No session, or a cookie that does not decode: back to the login page.
        for cookie in (None, "vm_user=%FF%FE", "vm_user=", "other=abc"):
            with self.subTest(cookie=cookie):
                status, headers, _ = self.portal.request(
                    "GET", "/wd3/xf.html", headers={"Cookie": cookie} if cookie else {})
                self.assertEqual(status, 303)
                self.assertEqual(headers["Location"], "/wd3/index.html")
        # Logging out clears the cookie.
        status, headers, _ = self.portal.request("GET", "/wd3/logout")
        self.assertEqual(status, 303)
        self.assertIn("Max-Age=0", headers["Set-Cookie"])

    def test_chat_lines_are_logged_and_answered_with_the_players_name(self):
        _, headers, _ = login(self.portal, "测试玩家")
        cookie = {"Cookie": cookie_of(headers), "Content-Type": "text/plain;charset=UTF-8"}
        status, _, body = self.portal.request("POST", "/wd3/chat", "  你好 a1 ".encode("utf-8"), cookie)
        self.assertEqual(200, status)
        self.assertEqual({"line": "测试玩家：你好 a1"}, json.loads(body))
        status, _, body = self.portal.request("POST", "/wd3/chat", "早".encode("utf-8"), {})
        self.assertEqual({"line": "游客：早"}, json.loads(body))
        chats = [(r["user"], r["text"]) for r in self.portal.records("chat")]
        self.assertEqual([("测试玩家", "你好 a1"), ("游客", "早")], chats[-2:])
        for bad in (b"", b"   ", b"\xff\xfe", "a\nb".encode(), "x".encode() * 201):
            with self.subTest(body=bad[:20]):
                status, _, _ = self.portal.request("POST", "/wd3/chat", bad, cookie)
                self.assertEqual(400, status)
        self.assertEqual(len(chats), len(self.portal.records("chat")), "a refused line was logged")

    def test_server_links_are_login_addresses(self):
        _, headers, _ = login(self.portal, "林&风")
        cookie = cookie_of(headers)
        _, _, page = self.portal.request("GET", "/wd3/xf.html", headers={"Cookie": cookie})
        links = [a["href"] for a in Dom(page).find("a") if "server_id=" in a.get("href", "")]
        self.assertGreaterEqual(len(links), 2)
        seen = set()
        for href in links:
            self.assertIn("act=gamelogin", href)
            # The client takes the id from after "server_id=" up to "&" or the end.
            sid = href.split("server_id=", 1)[1].split("&", 1)[0]
            self.assertTrue(sid.isdigit(), href)
            seen.add(sid)
        self.assertGreaterEqual(len(seen), 2)
        sid = sorted(seen)[0]
        status, _, game = self.portal.request("GET", "/wd3/play?act=gamelogin&server_id=" + sid,
                                              headers={"Cookie": cookie})
        self.assertEqual(status, 200)
        dom = Dom(game)
        self.assertEqual(dom.text["server"], sid)
        self.assertEqual(dom.text["player"], "林&风")
        # The movie the Flash-era way, told who plays where through its FlashVars.
        movie = dom.find("embed", id="game")
        self.assertEqual(len(movie), 1, game)
        self.assertEqual(movie[0]["type"], "application/x-shockwave-flash")
        self.assertEqual(movie[0]["src"], "/wd3/game.swf")
        self.assertEqual(movie[0]["allowscriptaccess"], "always")
        # The game server it connects to after loading, too.
        game_port, chat_port = self.portal.game_ports
        self.assertEqual(parse_qs(movie[0]["flashvars"]),
                         {"player": ["林&风"], "server": [sid], "gameHost": ["127.0.0.1"],
                          "gamePort": [str(game_port)], "chatPort": [str(chat_port)]})
        self.assertIn("onGameEvent", game)
        _, _, fast = self.portal.request("GET", "/wd3/play?act=gamelogin&fps=60&server_id=" + sid)
        self.assertEqual(parse_qs(Dom(fast).find("embed", id="game")[0]["flashvars"]).get("fps"), ["60"])
        for bad in ("0", "500", "x"):
            _, _, page = self.portal.request("GET", "/wd3/play?act=gamelogin&fps=%s&server_id=1" % bad)
            self.assertNotIn("fps", parse_qs(Dom(page).find("embed", id="game")[0]["flashvars"]))

    def test_game_screen_escapes_what_it_is_given(self):
        evil = "</script><script>alert(1)</script>"
        status, _, game = self.portal.request("GET", "/wd3/play?act=gamelogin&server_id=" + quote(evil))
        self.assertEqual(status, 200)
        self.assertNotIn(evil, game)
        dom = Dom(game)
        self.assertEqual(dom.text["server"], evil)
        self.assertEqual(dom.text["player"], "未登录")
        self.assertIn(evil, dom.title)
        self.assertEqual(parse_qs(dom.find("embed", id="game")[0]["flashvars"]).get("server"), [evil])

    def test_game_page_logs_start_query_and_has_login_form(self):
        query = ("installtime=2024-01-02 03:04:05&agent_id=7&cplaceid=9&runcount=0"
                 "&mac=00:1A:2B:3C:4D:5E&Version=chrome:20181024&UIVersion=brenmoor")
        status, _, page = self.portal.request("GET", "/wd3/index.html?" + query.replace(" ", "%20"),
                                              headers={"User-Agent": "probe-ua"})
        self.assertEqual(status, 200)
        rec = self.portal.wait_record(lambda r: r["kind"] == "start" and r["headers"]["User-Agent"] == "probe-ua")
        self.assertEqual(rec["path"], "/wd3/index.html")
        params = {k: v[0] for k, v in rec["params"].items()}
        self.assertEqual(params, {"installtime": "2024-01-02 03:04:05", "agent_id": "7", "cplaceid": "9",
                                  "runcount": "0", "mac": "00:1A:2B:3C:4D:5E",
                                  "Version": "chrome:20181024", "UIVersion": "brenmoor"})
        dom = Dom(page)
        form = dom.find("form", id="loginForm")
        self.assertEqual(form[0]["action"], "/wd3/login")
        self.assertTrue(dom.find("input", id="username", name="username"))
        self.assertTrue(dom.find("input", id="password", name="password", type="password"))
        self.assertTrue(dom.find("button", id="login", type="submit"))
        # Empty start values are kept as empty strings, not dropped.
        self.portal.request("GET", "/wd3/index.html?installtime=&agent_id=0&mac=&UIVersion=brenmoor",
                            headers={"User-Agent": "probe-empty"})
        rec = self.portal.wait_record(lambda r: r["kind"] == "start" and r["headers"]["User-Agent"] == "probe-empty")
        self.assertEqual(rec["params"]["installtime"], [""])
        self.assertEqual(rec["params"]["mac"], [""])

    def test_portal_addresses(self):
        p = self.portal
        # Recharge: the payment address's root, as the client composes it (values unescaped).
        for query, user, server in [
            ("game_id=1530&user_name=abc&server_id=s12", "abc", "s12"),
            ("game_id=1530&user_name=abc", "abc", "—"),
            ("game_id=1530&user_name=a&b&server_id=7", "a&b", "7"),
            ("game_id=1530&user_name=" + quote("张三") + "&server_id=3", "张三", "3"),
            ("game_id=1530&user_name=&server_id=3", "—", "3"),
            ("game_id=1530", "—", "—"),
        ]:
            for host, path in (("127.0.0.3", "/"), ("127.0.0.1", "/"), ("127.0.0.1", "/pay/")):
                with self.subTest(query=query, host=host, path=path):
                    status, _, page = p.request("GET", path + "?" + query, host=host)
                    self.assertEqual(status, 200)
                    dom = Dom(page)
                    self.assertEqual(dom.text["user_name"], user)
                    self.assertEqual(dom.text["server_id"], server)
        # Customer service: base ends with "?", then user_name and game_id.
        for query, user in [("user_name=abc&game_id=1530", "abc"), ("user_name=x&y&game_id=1530", "x&y"),
                            ("user_name=&game_id=1530", "—")]:
            status, _, page = p.request("GET", "/api/kefu/wd.php?" + query)
            self.assertEqual(status, 200)
            dom = Dom(page)
            self.assertEqual(dom.text["user_name"], user)
            self.assertEqual(dom.text["game_id"], "1530")
        # Identity verification, forum root, game site root.
        status, _, page = p.request("GET", "/my.php?act=fcm")
        self.assertEqual(status, 200)
        self.assertIn("实名认证", Dom(page).title)
        self.assertEqual(p.request("GET", "/my.php?act=other")[0], 404)
        status, _, page = p.request("GET", "/", host="127.0.0.2")
        self.assertEqual((status, Dom(page).title), (200, "沃恩马克 - 玩家论坛"))
        status, _, page = p.request("GET", "/")
        self.assertEqual((status, Dom(page).title), (200, "沃恩马克 - 官方网站"))
        self.assertTrue(Dom(page).find("a", href="/wd3/index.html"))
        # Every page carries a title and is UTF-8.
        status, headers, _ = p.request("GET", "/bbs/")
        self.assertEqual(headers["Content-Type"], "text/html; charset=utf-8")

    def test_browser_test_pages(self):
        p = self.portal
        _, _, page = p.request("GET", "/test/popup.html")
        dom = Dom(page)
        self.assertEqual(dom.find("a", id="blank")[0]["target"], "_blank")
        self.assertIn("window.open(", dom.find("button", id="open")[0]["onclick"])
        self.assertEqual(p.request("GET", "/test/popup-target.html?via=link")[0], 200)
        for src, expect in [(None, "/test/inner.html"), ("/wd3/xf.html", "/wd3/xf.html"),
                            ("//evil.example/", "/test/inner.html"), ("http://evil.example/", "/test/inner.html")]:
            path = "/test/frame.html" + ("?src=" + quote(src, safe="") if src else "")
            _, _, page = p.request("GET", path)
            self.assertEqual(Dom(page).find("iframe", id="inner")[0]["src"], expect)
        self.assertEqual(p.request("GET", "/test/inner.html")[0], 200)
        _, _, page = p.request("GET", "/test/title.html?from=A&to=" + quote("B</script>"))
        self.assertEqual(Dom(page).title, "A")
        self.assertNotIn("B</script>", page)
        # Form: value prefilled from the query, and a posted value echoed back.
        _, _, page = p.request("GET", "/test/form.html?value=" + quote("你好&<"))
        self.assertEqual(Dom(page).find("input", id="text")[0]["value"], "你好&<")
        _, _, page = p.request("POST", "/test/form.html", urlencode({"text": "回显<b>"}).encode(),
                               {"Content-Type": FORM})
        dom = Dom(page)
        self.assertEqual(dom.text["echo"], "回显<b>")
        self.assertEqual(dom.find("input", id="text")[0]["value"], "回显<b>")
        # User-name probe pages at xf.html addresses, with and without the element.
        for path in ("/test/xf.html?name=abc", "/test/XF.HTML?name=abc"):
            self.assertEqual(Dom(p.request("GET", path)[2]).text.get("login_user"), "abc")
        self.assertNotIn("login_user", Dom(p.request("GET", "/test/xf.html")[2]).text)
        # The hostile page covers itself with one button; its marks and the popup
        # targets it asks for are logged.
        _, _, page = p.request("GET", "/test/hostile.html?flood=3")
        self.assertEqual(len(Dom(page).find("button", id="go")), 1)
        self.assertIn("window.open(", page)
        self.assertEqual(p.request("GET", "/test/mark?what=ready")[0], 204)
        p.wait_record(lambda r: r.get("kind") == "mark" and r.get("what") == "ready")
        p.request("GET", "/test/popup-target.html?via=x&pad=AAAA")
        p.wait_record(lambda r: r.get("kind") == "popup-target" and r.get("via") == "x"
                      and r.get("length") == len("/test/popup-target.html?via=x&pad=AAAA"))

    def test_head_and_health(self):
        status, headers, body = self.portal.request("HEAD", "/wd3/index.html")
        self.assertEqual(status, 200)
        self.assertEqual(body, "")
        self.assertGreater(int(headers["Content-Length"]), 0)
        self.assertEqual(self.portal.request("GET", "/healthz")[:3:2], (200, "ok"))


class GameMovie(unittest.TestCase):
    """The movie comes from the assets folder the build writes (--assets)."""

    def test_movie_served_from_the_assets_folder_and_missing_without_it(self):
        with tempfile.TemporaryDirectory() as assets:
            portal = Portal("--assets", assets)
            try:
                status, _, _ = portal.request("GET", "/wd3/game.swf")
                self.assertEqual(status, 404, "no movie built yet")
                movie = b"FWS\x0b" + os.urandom(64)
                with open(os.path.join(assets, "game.swf"), "wb") as f:
                    f.write(movie)
                conn = http.client.HTTPConnection("127.0.0.1", portal.port, timeout=10)
                conn.request("GET", "/wd3/game.swf")
                r = conn.getresponse()
                self.assertEqual((r.status, r.getheader("Content-Type"), r.read()),
                                 (200, "application/x-shockwave-flash", movie))
                conn.close()
                # Test pages that carry the movie in other ways.
                status, headers, page = portal.request("GET", "/test/flash-csp.html")
                self.assertEqual(status, 200)
                policy = headers["Content-Security-Policy"]
                nonce = re.search(r"'nonce-([0-9a-f]+)'", policy).group(1)
                self.assertIn("default-src 'none'", policy)
                self.assertEqual(Dom(page).find("script")[0].get("nonce"), nonce)
                self.assertEqual(Dom(page).find("object", id="game")[0]["data"], "/wd3/game.swf")
                status, _, page = portal.request("GET", "/test/flash-ref.html")
                self.assertEqual(status, 200)
                self.assertIn("createElement(\"embed\")", page)
            finally:
                portal.stop()
                portal.cleanup()

    @unittest.skipUnless(os.path.exists(os.path.join(os.environ.get("VORNMARK_BUILD", str(ROOT / "build")),
                                                     "portal", "game.swf")), "the game movie is not built")
    def test_built_movie_is_an_as3_movie_at_30_frames_a_second(self):
        path = os.path.join(os.environ.get("VORNMARK_BUILD", str(ROOT / "build")), "portal", "game.swf")
        with open(path, "rb") as f:
            data = f.read()
        self.assertIn(data[:3], (b"FWS", b"CWS"))
        if data[:3] == b"CWS":
            import zlib
            data = data[:8] + zlib.decompress(data[8:])
        self.assertGreaterEqual(data[3], 9, "ActionScript 3 needs SWF 9 or later")
        # After the frame rectangle (its size in its first 5 bits): frame rate (8.8), frame count.
        nbits = data[8] >> 3
        at = 8 + (5 + 4 * nbits + 7) // 8
        self.assertEqual(data[at + 1] + data[at] / 256, 30)
        # A DoABC tag (82) holds the ActionScript 3 code; DefineSound (14) the sounds.
        tags, pos = set(), at + 4
        while pos + 2 <= len(data):
            code_len = int.from_bytes(data[pos:pos + 2], "little")
            code, length = code_len >> 6, code_len & 0x3F
            pos += 2
            if length == 0x3F:
                length = int.from_bytes(data[pos:pos + 4], "little")
                pos += 4
            tags.add(code)
            pos += length
            if code == 0:
                break
        self.assertTrue({82, 14} <= tags, tags)


def read_until(sock, end, limit=65536):
    data = b""
    while end not in data and len(data) < limit:
        more = sock.recv(4096)
        if not more:
            break
        data += more
    return data


class GameServerProtocol(PortalCase):
    """The game server beside the portal, as the game's movie and Flash Player's
    socket rule use it."""

    def test_policy_play_and_chat(self):
        game_port, chat_port = self.portal.game_ports
        for port in (game_port, chat_port):
            with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
                s.sendall(b"<policy-file-request/>\0")
                policy = read_until(s, b"\0")
                self.assertTrue(policy.endswith(b"\0"), policy)
                self.assertIn(('to-ports="%d,%d"' % (game_port, chat_port)).encode(), policy)
                self.assertEqual(b"", s.recv(1), "the policy connection ends after the answer")
        with socket.create_connection(("127.0.0.1", game_port), timeout=5) as s:
            s.sendall(b"hello \xe6\x9e\x97 3\nmove 0.5 0.25\nmove nan-ish 1\n")
            you = read_until(s, b"\n")
            self.assertRegex(you.decode(), r"^you \d+\n")
            seen = read_until(s, b"clock ", 1 << 20).decode()
            self.assertRegex(seen, r"walker 1 \d\.\d{3} \d\.\d{3}\n")
        hello = self.portal.records("game-hello")[-1]
        self.assertEqual(["林", "3"], [hello["player"], hello["server"]])
        self.assertEqual([{"kind": "game-move", "id": hello["id"], "x": 0.5, "y": 0.25}],
                         [dict((k, r[k]) for k in ("kind", "id", "x", "y")) for r in self.portal.records("game-move")])
        with socket.create_connection(("127.0.0.1", chat_port), timeout=10) as s:
            first = read_until(s, b"\0")
            self.assertRegex(first.decode(), r'^<chat from="[^"]+">[^<]+</chat>\0')
            s.sendall("<say>a &amp; 风</say>\0".encode())
            echoed = read_until(s, "你".encode())
            echoed += read_until(s, b"\0")
            self.assertIn('<chat from="你">a &amp; 风</chat>\0'.encode(), echoed)
        self.assertEqual("a & 风", self.portal.records("chat-say")[-1]["text"])

    def test_stopping_ends_every_connection(self):
        sys.path.insert(0, str(ROOT / "portal"))
        from game_server import GameServer

        class Log:
            def write(self, record):
                pass
        server = GameServer(Log(), "127.0.0.1", 0, 0, policy_port=0)
        ports = server.start()
        game = socket.create_connection(("127.0.0.1", ports["game"]), timeout=5)
        chat = socket.create_connection(("127.0.0.1", ports["chat"]), timeout=5)
        idle = socket.create_connection(("127.0.0.1", ports["game"]), timeout=5)  # has sent nothing yet
        game.sendall(b"hello p 1\n")
        read_until(game, b"\n")
        read_until(chat, b"\0")
        server.stop()
        for s in (game, chat, idle):
            with s:
                read_until(s, b"never")  # returns at the end of the stream, or times out
                self.assertEqual(b"", s.recv(1), "a connection outlived the server")


class StatisticsEndpoint(PortalCase):

    def test_reports_are_logged_with_body_and_headers(self):
        p = self.portal
        before = len(p.records("report"))
        install = b"game_id=1530&action=install&install_time=1700000000&uuid=00:1A-0000000A&agent_id=3&site_id=4"
        # As WinINet sends it: the content type once as a header and once more as extra header text.
        conn = http.client.HTTPConnection("127.0.0.1", p.port, timeout=10)
        conn.putrequest("POST", "/", skip_accept_encoding=True)
        conn.putheader("Content-Type", FORM)
        conn.putheader("Accept", "*/*")
        conn.putheader("User-Agent", "PostData")
        conn.putheader("Content-Type", FORM)
        conn.putheader("Content-Length", str(len(install)))
        conn.endheaders(install)
        resp = conn.getresponse()
        self.assertEqual((resp.status, resp.read()), (200, b"ok"))
        # A second report on the same connection (keep-alive): the close report,
        # with a user name in the ANSI code page and an unescaped "&".
        close = "game_id=1530&action=close&logout_time=1700000100&uuid=-X&agent_id=3&site_id=4&user_name=张三&b=1"
        conn.request("POST", "/", close.encode("gbk"), {"Content-Type": FORM, "User-Agent": "PostData"})
        resp = conn.getresponse()
        self.assertEqual((resp.status, resp.read()), (200, b"ok"))
        conn.close()

        reports = p.records("report")[before:]
        self.assertEqual(len(reports), 2)
        first, second = reports
        self.assertEqual(first["method"], "POST")
        self.assertEqual(first["path"], "/")
        self.assertEqual(first["headers"], {"User-Agent": "PostData", "Content-Type": FORM, "Accept": "*/*"})
        self.assertEqual([v for k, v in first["header_list"] if k == "Content-Type"], [FORM, FORM])
        self.assertEqual(first["body"], install.decode())
        self.assertEqual(bytes.fromhex(first["body_hex"]), install)
        self.assertEqual(first["form"]["uuid"], ["00:1A-0000000A"])
        self.assertEqual(first["form"]["action"], ["install"])
        self.assertNotIn("user_name", first)
        self.assertEqual(second["body_encoding"], "gbk")
        self.assertEqual(second["body"], close)
        self.assertEqual(second["user_name"], "张三&b=1")
        self.assertEqual(second["form"]["user_name"], ["张三"])
        self.assertGreaterEqual(second["unix"], first["unix"])

    def test_odd_report_bodies_are_still_recorded(self):
        p = self.portal
        bodies = [b"", b"game_id=1530&action=close&user_name=", b"%%%&&&===", b"\xff\xfe\x00binary",
                  "&".join("k%d=v" % i for i in range(500)).encode()]
        for body in bodies:
            with self.subTest(body=body[:20]):
                status, _, text = p.request("POST", "/", body, {"Content-Type": FORM})
                self.assertEqual((status, text), (200, "ok"))
                rec = p.records("report")[-1]
                self.assertEqual(bytes.fromhex(rec["body_hex"]), body)
        recs = p.records("report")[-len(bodies):]
        self.assertEqual(recs[1]["user_name"], "")
        self.assertEqual(recs[1]["form"]["user_name"], [""])
        self.assertEqual(recs[3]["body_encoding"], "latin-1")
        self.assertIsNone(recs[4]["form"])          # too many fields to parse
        self.assertIn("form_error", recs[4])

    def test_bad_requests_are_refused_and_the_server_lives_on(self):
        p = self.portal
        before = len(p.records("report"))

        # Unknown paths.
        status, _, page = p.request("GET", "/no/such/page")
        self.assertEqual(status, 404)
        self.assertIn("404", Dom(page).title + page)
        self.assertEqual(p.request("POST", "/no/such/endpoint", b"x=1", {"Content-Type": FORM})[0], 404)

        # Body over 1 MB: 413 at once, without waiting for the rest of it.
        start = time.monotonic()
        answer = p.raw(b"POST / HTTP/1.1\r\nHost: x\r\nContent-Type: " + FORM.encode() +
                       b"\r\nContent-Length: 50000000\r\n\r\n" + b"a" * 65536)
        self.assertTrue(answer.startswith(b"HTTP/1.1 413"), answer[:80])
        self.assertLess(time.monotonic() - start, 5)

        # Content-Length that cannot be trusted.
        for value in (b"abc", b"-5", b"1e3", b"+7", b"\xb2", b"12, 13"):
            with self.subTest(length=value):
                answer = p.raw(b"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: " + value + b"\r\n\r\nabc")
                self.assertTrue(answer.startswith(b"HTTP/1.1 400"), answer[:80])
        answer = p.raw(b"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\nabcd")
        self.assertTrue(answer.startswith(b"HTTP/1.1 400"), answer[:80])
        answer = p.raw(b"POST / HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n")
        self.assertTrue(answer.startswith(b"HTTP/1.1 411"), answer[:80])
        # Garbage instead of a request line.
        answer = p.raw(b"\x16\x03\x01 garbage\r\n\r\n")
        self.assertIn(b" 400 ", answer.split(b"\r\n", 1)[0])
        # A body cut short by the client: nothing recorded, nothing answered.
        answer = p.raw(b"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 100\r\n\r\ngame_id=1",
                       timeout=3, half_close=True)
        self.assertEqual(answer, b"")

        self.assertEqual(len(p.records("report")), before)
        rejected = [r["status"] for r in p.records("rejected")]
        for status in (413, 400, 411):
            self.assertIn(status, rejected)

        # Still serving, and still recording.
        self.assertEqual(p.request("GET", "/healthz")[2], "ok")
        self.assertEqual(p.request("POST", "/", b"game_id=1530", {"Content-Type": FORM})[0], 200)
        self.assertEqual(len(p.records("report")), before + 1)


class SlowStatistics(PortalCase):
    portal_args = ("--stats-delay", "1.5")

    def test_report_is_logged_at_once_and_answered_late(self):
        result = {}

        def post():
            start = time.monotonic()
            result["answer"] = self.portal.request("POST", "/", b"game_id=1530&action=close",
                                                   {"Content-Type": FORM})[::2]
            result["elapsed"] = time.monotonic() - start

        t = threading.Thread(target=post)
        t.start()
        self.portal.wait_record(lambda r: r["kind"] == "report", timeout=1.0)
        self.assertNotIn("answer", result)       # logged while the sender still waits
        t.join(10)
        self.assertEqual(result["answer"], (200, "ok"))
        self.assertGreaterEqual(result["elapsed"], 1.4)


class StartPageForTests(PortalCase):
    portal_args = ("--start-page", "/test/hostile.html?alerts=1")

    def test_game_page_logs_the_start_and_sends_the_client_on(self):
        status, headers, _ = self.portal.request("GET", "/wd3/index.html?runcount=4")
        self.assertEqual(status, 303)
        self.assertTrue(headers["Location"].endswith("/test/hostile.html?alerts=1"), headers["Location"])
        start = self.portal.wait_record(lambda r: r.get("kind") == "start")
        self.assertEqual(start["params"].get("runcount"), ["4"])


class HangingStatistics(PortalCase):
    portal_env = {"VORNMARK_PORTAL_STATS_HANG": "1"}

    def test_report_never_answered_but_pages_still_served(self):
        with socket.create_connection(("127.0.0.1", self.portal.port), timeout=1.5) as s:
            body = b"game_id=1530&action=install"
            s.sendall(b"POST / HTTP/1.1\r\nHost: x\r\nContent-Length: %d\r\n\r\n" % len(body) + body)
            self.portal.wait_record(lambda r: r["kind"] == "report" and r["body"] == body.decode())
            with self.assertRaises(socket.timeout):
                s.recv(1)
            # Meanwhile other requests are served.
            self.assertEqual(self.portal.request("GET", "/healthz")[2], "ok")
            # And the server still stops promptly with the connection hanging.
            start = time.monotonic()
            self.assertEqual(self.portal.stop(), 0)
            self.assertLess(time.monotonic() - start, 5)


class CommandLine(unittest.TestCase):

    def test_port_file_matches_announced_port(self):
        with tempfile.TemporaryDirectory() as d:
            port_file = os.path.join(d, "port")
            portal = Portal("--port-file", port_file, "--quiet")
            try:
                with open(port_file) as f:
                    self.assertEqual(int(f.read()), portal.port)
                # Every role answers on the announced port.
                for host in ("127.0.0.1", "127.0.0.2", "127.0.0.3"):
                    self.assertEqual(portal.request("GET", "/healthz", host=host)[0], 200)
            finally:
                self.assertEqual(portal.stop(), 0)
                self.assertEqual(portal.stderr(), "")   # --quiet means quiet
                portal.cleanup()

    def test_refuses_to_start_wrongly(self):
        with tempfile.TemporaryDirectory() as d:
            log = os.path.join(d, "log")
            busy = socket.socket()
            busy.bind(("127.0.0.1", 0))
            busy.listen(1)
            try:
                cases = [
                    (["--host", "10.1.2.3"], "not a loopback"),
                    (["--host", "example.org"], "not an IP address"),
                    (["--port", str(busy.getsockname()[1])], "cannot listen"),
                    (["--stats-delay", "-1"], "--stats-delay"),
                    (["--forum-address", "127.0.0.1"], "must differ"),
                    (["--start-page", "http://example.org/"], "--start-page"),
                    (["--start-page", "//example.org/"], "--start-page"),
                ]
                for extra, message in cases:
                    with self.subTest(extra=extra):
                        run = subprocess.run([sys.executable, str(PORTAL), "--log", log, "--port", "0"] + extra,
                                             capture_output=True, text=True, timeout=20)
                        self.assertNotEqual(run.returncode, 0)
                        self.assertIn(message, run.stderr)
                        self.assertNotIn("PORT", run.stdout)
            finally:
                busy.close()


CHROMIUM = shutil.which("chromium") or ("/usr/bin/chromium" if os.path.exists("/usr/bin/chromium") else None)


@unittest.skipUnless(CHROMIUM, "chromium is not installed")
class InTheEngine(PortalCase):
    """The pages as the real engine runs them (scripts, cookies, redirects)."""

    def dump(self, path, host="127.0.0.1"):
        with tempfile.TemporaryDirectory() as profile:
            run = subprocess.run(
                [CHROMIUM, "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--user-data-dir=" + profile, "--window-size=1230,620", "--virtual-time-budget=3000",
                 "--dump-dom", "http://%s:%d%s" % (host, self.portal.port, path)],
                capture_output=True, timeout=60)
        self.assertEqual(run.returncode, 0, run.stderr.decode("utf-8", "replace")[-2000:])
        return Dom(run.stdout.decode("utf-8"))

    def test_login_redirect_and_cookie_reach_xf_page(self):
        name = "测试&<玩家>"
        dom = self.dump("/wd3/login?" + urlencode({"username": name, "password": "x"}))
        self.assertEqual(dom.text.get("login_user"), name)

    def test_game_screen_without_flash_shows_its_fallback_and_title_script_runs(self):
        # Today's engine alone has no Flash: the page says what is missing.
        dom = self.dump("/wd3/play?act=gamelogin&server_id=5")
        self.assertEqual(dom.find("body")[0].get("data-flash"), "missing")
        self.assertEqual(dom.find("embed", id="game")[0].get("style"), "display: none;")
        self.assertEqual(dom.find("div", id="noflash")[0].get("style"), "display: block;")
        self.assertEqual(dom.text["server"], "5")
        dom = self.dump("/test/title.html?to=" + quote("新标题"))
        self.assertEqual(dom.title, "新标题")


if __name__ == "__main__":
    unittest.main()
