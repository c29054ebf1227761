"""The whole road with the real client, the real engine and the local portal:
install report, login by real input, the user name read from the page, a server
chosen, the in-game frame, the tools menu, a portal button, the boss key, close with
confirmation, the close report and Config.ini; then a second run. At every
layout the page is seen on the screen exactly in the browser window's place, and
the engine's own windows, when it shows pages through them, only inside it."""
import glob
import json
import os
import re
import socket
import stat
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.parse

import devtools
import road

sys.path.insert(0, os.path.join(road.ROOT, "portal"))
from game_server import POLICY_REQUEST, GameServer  # noqa: E402


def page_rect(port, selector):
    """Screen-independent rectangle of an element in the page the client shows."""
    for target in devtools.page_targets(port):
        rect = devtools.evaluate(port, target, f"""(() => {{
            const e = document.querySelector({selector!r});
            if (!e) return null;
            const r = e.getBoundingClientRect();
            return [r.left, r.top, r.width, r.height, location.href];
        }})()""")
        if rect:
            return rect
    return None


def page_value(port, expression, await_promise=False):
    """The value of `expression` in the page the client shows."""
    # The engine's own first page stays blank beside the client's.
    targets = devtools.page_targets(port)
    targets = [t for t in targets if t.get("url") != "about:blank"] or targets
    return devtools.evaluate(port, targets[0], expression, await_promise) if targets else None


def movie_state(port, element="document.getElementById('game')"):
    """What the Flash game says about itself (its getState callback), or None."""
    return page_value(port, f"(() => {{ try {{ return {element}.getState(); }} catch (e) {{ return null; }} }})()")


def bright(pixel, floor=(200, 180, 120)):
    return all(c >= f for c, f in zip(pixel, floor))


def play_flash_game(test, port, page_left, page_top):
    """The game movie in the client: drawn where the page has it, Chinese device text,
    a click and a key reach it, and its ExternalInterface reports reach the page."""
    state = road.wait_for(lambda: (movie_state(port) or {}).get("frames", 0) > 0 and movie_state(port), 30,
                          "the Flash game's first frames")
    test.assertEqual("hero", state["player"])
    test.assertEqual("3", state["server"])
    # The moon at its place on the screen (the movie's stage is the page's area).
    mx, my = int(page_left + state["moon"]["x"]), int(page_top + state["moon"]["y"])
    moon = road.grab(mx - 2, my - 2, 5, 5)
    test.assertTrue(all(bright(p, (230, 220, 170)) for row in moon for p in row), f"no moon at {mx},{my}: {moon}")
    # The title is Chinese device text: its field has the glyphs' width and gold pixels on the screen.
    title = state["title"]
    test.assertEqual("星陨之原", title["text"])
    test.assertGreater(title["width"], 100, "the Chinese glyphs have no width: no font for them")
    tx, ty = int(page_left + title["x"]), int(page_top + title["y"])
    pixels = road.grab(tx, ty, int(title["width"]), int(title["height"]))
    gold = sum(1 for row in pixels for p in row if bright(p))
    test.assertGreater(gold, 300, "the title's Chinese characters are not drawn")
    # The movie's ready report reached the page.
    road.wait_for(lambda: page_value(port, "document.getElementById('reported').textContent") == "hero", 10,
                  "the movie's report in the page")

    # A real click on a crystal scores, and the score report reaches the page.
    crystal = state["crystals"][0]
    road.click(int(page_left + crystal["x"]), int(page_top + crystal["y"]))
    after = road.wait_for(lambda: (movie_state(port) or {}).get("clicks", 0) > state["clicks"] and movie_state(port),
                          10, "the click in the movie")
    test.assertEqual(state["score"] + 10, after["score"], after)
    road.wait_for(lambda: page_value(port, "document.getElementById('score').textContent") == str(after["score"]),
                  10, "the score report in the page")
    # A key held down walks the hero, and the screen shows it.
    before = movie_state(port)
    hx, hy = int(page_left + before["heroX"]), int(page_top + before["heroY"] - 40)
    hero_before = road.grab(hx - 10, hy - 10, 20, 20)
    subprocess.run(["xdotool", "keydown", "Right"], check=True)
    time.sleep(0.6)
    subprocess.run(["xdotool", "keyup", "Right"], check=True)
    moved = road.wait_for(lambda: (movie_state(port) or {}).get("heroX", 0) > before["heroX"] + 40 and movie_state(port),
                          10, "the hero walking right")
    test.assertEqual("39", moved["lastKey"])
    time.sleep(0.3)
    test.assertNotEqual(hero_before, road.grab(hx - 10, hy - 10, 20, 20), "the hero is still drawn where it stood")
    check_game_server(test, port, page_left, page_top, "hero", "3")
    return moved


def net_state(port):
    return (movie_state(port) or {}).get("net") or {}


def check_game_server(test, port, page_left, page_top, player, server):
    """The movie talks to the portal's game server through the client's socket relay:
    the server saw its connection, the player's hello and the hero's moves, and what
    the server sends (the other players walking, its clock, chat lines) is drawn."""
    net = road.wait_for(lambda: net_state(port).get("clock") and net_state(port), 30,
                        "the game server's clock in the movie")
    test.assertEqual("open", net["game"], net)
    hello = road.wait_for(lambda: test.portal.records("game-hello"), 10, "the movie's hello at the game server")
    test.assertEqual([player, server], [hello[-1]["player"], hello[-1]["server"]])
    road.wait_for(lambda: test.portal.records("game-move"), 10, "the hero's moves at the game server")
    road.wait_for(lambda: net_state(port).get("chatLines"), 15, "a chat line over the XMLSocket")
    # A walker's body (its colour) on the screen where the movie placed it.
    walker = next(w for w in net_state(port)["walkers"] if w["id"] == 1)
    x, y = int(page_left + walker["x"]), int(page_top + walker["y"] - 25)
    area = road.grab(x - 8, y - 8, 17, 17)
    test.assertTrue(any(near(p, (0x5F, 0xC7, 0xA4), 40) for row in area for p in row),
                    f"no walker drawn at {x},{y}: {area[8]}")


def music_position(port):
    return (movie_state(port) or {}).get("musicPosition", -1)


def music_playing(port, seconds=1.0):
    """Whether the game's music moves on: (True/False, what was read). The position
    is within the current round of the loop, so it may also have gone back."""
    first = music_position(port)
    time.sleep(seconds)
    second = music_position(port)
    return second != first, (first, second, page_value(port, "document.getElementById('game').volume"))


# The corners of the page's view, marked in the page: (colour, left?, top?).
CORNERS = [((255, 0, 0), True, True), ((0, 255, 0), False, True), ((0, 0, 255), True, False),
           ((255, 0, 255), False, False)]


def mark_corners(port, height):
    """Four squares in the page at the corners of its top `height` pixels (the part
    of the view the window shows); large enough for a JPEG picture of them to keep
    their colours to the edge."""
    squares = "".join(
        f"<div style='position:fixed;width:32px;height:32px;{'left' if l else 'right'}:0;"
        f"top:{0 if t else height - 32}px;background:rgb{c};z-index:2147483647'></div>"
        for c, l, t in CORNERS)
    page_value(port, f"""(() => {{
        let box = document.getElementById('__corners');
        if (!box) {{ box = document.createElement('div'); box.id = '__corners';
                     document.documentElement.appendChild(box); }}
        box.innerHTML = {squares!r};
        return true;
    }})()""")


def near(a, b, tolerance=48):
    return all(abs(x - y) <= tolerance for x, y in zip(a, b))


@unittest.skipUnless(os.environ.get("DISPLAY"), "needs the test display (run through tools/test.sh)")
class WholeRoad(unittest.TestCase):
    def setUp(self):
        self.portal = road.Portal()
        self.addCleanup(self.portal.stop)
        self.client = road.Client()
        self.addCleanup(self.client.cleanup)
        self.opened = os.path.join(self.client.dir, "opened.txt")
        self.recorder = os.path.join(self.client.dir, "browser.sh")
        with open(self.recorder, "w") as f:
            f.write(f"#!/bin/sh\nprintf '%s\\n' \"$1\" >> '{self.opened}'\n")
        os.chmod(self.recorder, os.stat(self.recorder).st_mode | stat.S_IEXEC)
        previous = road.set_wine_browser(self.recorder)
        self.addCleanup(road.restore_wine_browser, previous)

    def assert_page_at(self, port, frame_id, x, y, w, h, what):
        """The page fills exactly (x, y, w, h) of the screen: its corners there, and
        not beyond them; the engine's windows show nowhere but in the frame."""
        sw, sh = road.screen_size()
        mark_corners(port, h)
        inside = [((x, y), CORNERS[0][0]), ((x + w - 1, y), CORNERS[1][0]), ((x, y + h - 1), CORNERS[2][0]),
                  ((x + w - 1, y + h - 1), CORNERS[3][0])]
        outside = [((x - 1, y), CORNERS[0][0]), ((x, y - 1), CORNERS[0][0]), ((x + w, y), CORNERS[1][0]),
                   ((x + w - 1, y - 1), CORNERS[1][0]), ((x - 1, y + h - 1), CORNERS[2][0]),
                   ((x, y + h), CORNERS[2][0]), ((x + w, y + h - 1), CORNERS[3][0]),
                   ((x + w - 1, y + h), CORNERS[3][0])]
        outside = [(p, c) for p, c in outside if 0 <= p[0] < sw and 0 <= p[1] < sh]
        seen = []

        def placed():
            pixels = road.screen_pixels([p for p, _ in inside + outside])
            seen[:] = pixels
            ok_in = all(near(px, c) for px, (_, c) in zip(pixels, inside))
            ok_out = not any(near(px, c) for px, (_, c) in zip(pixels[len(inside):], outside))
            return ok_in and ok_out

        try:
            road.wait_for(placed, 10, f"the page exactly at {(x, y, w, h)} ({what})")
        except AssertionError as e:
            raise AssertionError(f"{e}; last seen {seen}") from None
        for wid, viewable, top in road.engine_windows():
            if viewable:
                self.assertEqual(int(frame_id), top, f"an engine window shows outside the frame ({what})")

    def window(self, wid):
        """The client's visible window `wid` as (id, x, y, w, h), or None."""
        return next((w for w in self.client.windows() if w[0] == wid), None)

    def opened_addresses(self):
        if not os.path.exists(self.opened):
            return []
        with open(self.opened) as f:
            return [l.strip() for l in f if l.strip()]

    def test_without_gl_the_engine_starts_again_headless(self):
        # A Wine without GL has no pixel format to keep its drawing off the engine's
        # windows: the engine, launched for them, starts again headless, and the page
        # comes as pictures into the same frame. (Whether later changes of the page
        # reach the picture is the screencast route's own test.)
        overrides = road.wine_env()["WINEDLLOVERRIDES"] + ";opengl32=d"
        self.client.start(env={"WINEDLLOVERRIDES": overrides})
        road.wait_for(lambda: self.client.window_sized(1230, 620), 60, "the frame window")
        profile = road.wait_for(road.engine_profile, 30, "the engine profile")
        port, _ = road.wait_for(lambda: os.path.exists(os.path.join(profile, "DevToolsActivePort")) and
                                devtools.active_port(profile), 30, "the engine's DevTools port")
        road.wait_for(lambda: page_rect(port, "#username"), 30, "the login form")
        lines = engine_command_lines()
        hosts = [args for args in lines if any(a.endswith("engine_host.py") for a in args)]
        self.assertEqual(1, len(hosts), lines)
        self.assertNotIn("--embed", hosts[0])
        browsers = [args for args in lines if args not in hosts and not any(a.startswith("--type=") for a in args)]
        self.assertTrue(browsers and all("--headless=new" in args for args in browsers), lines)
        self.assertEqual([], [w for w in road.engine_windows() if w[1]], "an engine window shows")
        road.close_from_launcher(self.client)

    def test_login_play_and_close(self):
        sw, sh = road.screen_size()
        self.client.start()
        # The launcher and, 49 pixels below its top, the frame with the page.
        launcher = road.wait_for(lambda: self.client.window_sized(1230, 728), 60, "the launcher window")
        frame = road.wait_for(lambda: self.client.window_sized(1230, 620), 30, "the frame window")
        self.assertEqual(frame[1], launcher[1])
        self.assertEqual(frame[2], launcher[2] + 49)
        self.assertEqual(launcher[1], (sw - 1230) // 2)

        install = road.wait_for(lambda: self.portal.reports_with_action("install"), 30, "the install report")
        self.assertEqual(["1530"], install[0]["form"]["game_id"])
        start = road.wait_for(lambda: self.portal.records("start"), 30, "the game page request")[0]
        self.assertEqual("0", start["params"].get("runcount", [""])[0])

        profile = road.wait_for(road.engine_profile, 30, "the engine profile")
        port, _ = road.wait_for(lambda: os.path.exists(os.path.join(profile, "DevToolsActivePort")) and
                                devtools.active_port(profile), 30, "the engine's DevTools port")

        # Log in by real input into the program's window, after a click on the
        # launcher's artwork and a cancelled close: the page must still be on top.
        field = road.wait_for(lambda: page_rect(port, "#username"), 30, "the login form")
        # The window the engine opened as it started is the launcher's page: no second
        # window was asked for beside it, left on its placeholder.
        pages = [t.get("url", "") for t in devtools.page_targets(port)]
        self.assertEqual([], [u for u in pages if u.startswith("data:text/html,<!--vmview")], pages)
        self.assert_page_at(port, frame[0], frame[1], frame[2], 1230, 620, "launcher")
        road.click(launcher[1] + 400, launcher[2] + 20)
        road.click(launcher[1] + 1215, launcher[2] + 15)
        dialog = road.wait_for(lambda: self.client.window_sized(295, 190), 10, "the launcher's close dialog")
        road.click(dialog[1] + 212, dialog[2] + 117)  # 取消
        road.wait_for(lambda: not self.client.window_sized(295, 190), 10, "the dialog gone after cancel")
        road.screenshot("01-launcher-login")
        fx, fy = frame[1], frame[2]
        road.click(int(fx + field[0] + field[2] / 2), int(fy + field[1] + field[3] / 2))
        road.type_text("hero")
        pw = page_rect(port, "#password")
        road.click(int(fx + pw[0] + pw[2] / 2), int(fy + pw[1] + pw[3] / 2))
        road.type_text("secret")
        button = page_rect(port, "#login")
        road.click(int(fx + button[0] + button[2] / 2), int(fy + button[1] + button[3] / 2))

        road.wait_for(lambda: page_rect(port, "#login_user"), 30, "the page with the logged-in name")
        road.screenshot("02-logged-in")
        link = road.wait_for(lambda: page_rect(port, 'a[href*="server_id=3"]'), 10, "the server list")

        # The name is read from this page when it has loaded; once the renderer's
        # answer is in, the launcher's customer-service button carries it.
        def name_known():
            count = len(self.opened_addresses())
            road.click(launcher[1] + 1025, launcher[2] + 26)
            added = road.wait_for(lambda: self.opened_addresses()[count:], 20, "the customer-service address")
            return "user_name=hero&" in added[0]
        road.wait_for(name_known, 30, "the user name read from the page")
        road.click(int(fx + link[0] + link[2] / 2), int(fy + link[1] + link[3] / 2))

        # The frame switches to the in-game layout and shows maximised.
        game = road.wait_for(lambda: self.client.window_sized(sw, sh), 30, "the maximised in-game frame")
        time.sleep(1.0)
        road.screenshot("03-in-game")
        self.assertIsNone(self.client.window_sized(1230, 728), "the launcher artwork must be gone")

        # The game is a Flash movie: it plays in the frame, below the title band.
        inner = road.wait_for(lambda: page_value(port, "[innerWidth, innerHeight]"), 10, "the game page's size")
        page_left, page_top = game[1] + game[3] - inner[0], game[2] + game[4] - inner[1]
        play_flash_game(self, port, page_left, page_top)
        road.screenshot("03-flash-game")
        playing, seen = music_playing(port)
        self.assertTrue(playing, f"the game's music does not play: {seen}")

        # Playing, the keyboard focus is in the page: F10 still fills the screen with
        # the game (no title bar above it) and Esc leaves the full-screen view.
        road.click(sw // 2, sh // 2)
        in_game = road.wait_for(lambda: page_value(port, "innerHeight"), 10, "the page's height in the game")
        self.assertLess(in_game, sh - 20, "the title bar is missing above the page")
        self.assert_page_at(port, game[0], 0, 25, sw, sh - 25, "in game")
        road.key("F10")
        road.wait_for(lambda: page_value(port, "innerHeight") == sh, 10, "the full-screen view after F10 in the page")
        self.assert_page_at(port, game[0], 0, 0, sw, sh, "full screen")
        road.key("Escape")
        road.wait_for(lambda: page_value(port, "innerHeight") == in_game, 10, "the frame back after Esc in the page")
        self.assert_page_at(port, game[0], 0, 25, sw, sh - 25, "after leaving full screen")

        # Tools menu, 清除缓存: only a request, found in Config.ini after the run.
        road.click(sw - 112, 12)
        menu = road.wait_for(lambda: self.client.window_sized(96, 72), 10, "the tools menu")
        road.click(menu[1] + 48, menu[2] + 12)
        road.wait_for(lambda: not self.client.window_sized(96, 72), 10, "the tools menu closed by the choice")

        # Recharge: the strip button 260 pixels from the right edge, 41 wide.
        count = len(self.opened_addresses())
        road.click(sw - 260 - 20, 13)
        opened = road.wait_for(lambda: self.opened_addresses()[count:], 20, "the recharge address in the web browser",
                               seen=lambda: f"the client's windows {self.client.windows()}")[0]
        query = urllib.parse.parse_qs(urllib.parse.urlsplit(opened).query)
        self.assertEqual(["hero"], query.get("user_name"), opened)
        self.assertEqual(["3"], query.get("server_id"), opened)

        # Boss key: hidden into the tray, then back by a double click on the tray icon
        # (delivered as the shell delivers it; this display has no notification area).
        # Hidden, the game is silent; back, it sounds again.
        volume = "document.getElementById('game').volume"
        self.assertEqual(1, page_value(port, volume))
        road.key("alt+d")
        road.wait_for(lambda: not self.client.window_sized(sw, sh), 10, "the frame hidden by Alt+D")
        road.screenshot("04-boss-key-hidden")
        road.wait_for(lambda: page_value(port, volume) == 0, 10, "the player's volume off while hidden")
        playing, seen = music_playing(port)
        self.assertFalse(playing, f"the music goes on while the game is hidden: {seen}")
        self.assertFalse([w for w in road.engine_windows() if w[1]], "an engine window shows while hidden")
        road.post_to_frame(road.WM_TRAY_NOTIFY, road.TRAY_ICON_ID, road.WM_LBUTTONDBLCLK)
        posted = time.time()  # the poster has ended, so the message is in the frame's queue
        road.wait_for(lambda: self.client.window_sized(sw, sh), 10, "the frame back after the tray double click",
                      interval=0.01)
        print(f"\n  tray double click to the frame back on the screen: at most {time.time() - posted:.2f} s")
        road.wait_for(lambda: page_value(port, volume) == 1, 10, "the player's volume back with the game")
        playing, seen = music_playing(port)
        self.assertTrue(playing, f"the music does not come back with the game: {seen}")
        self.assert_page_at(port, game[0], 0, 25, sw, sh - 25, "after the tray")

        # Restored (a new size) and moved by its title bar, the frame keeps the page
        # exactly inside its one-pixel border, under the title bar; maximised again too.
        road.click(sw - 37, 12)
        frame = road.wait_for(lambda: self.client.window_sized(1020, 750), 10, "the restored frame")
        self.assert_page_at(port, frame[0], frame[1] + 1, frame[2] + 25, 1020 - 2, 750 - 26, "restored")
        road.drag(frame[1] + 400, frame[2] + 12, frame[1] + 300, frame[2] + 62)
        moved = road.wait_for(lambda: (self.window(frame[0]) or frame)[1:3] == (frame[1] - 100, frame[2] + 50) and
                              self.window(frame[0]), 10, "the frame moved by its title bar")
        self.assert_page_at(port, frame[0], moved[1] + 1, moved[2] + 25, 1020 - 2, 750 - 26, "moved")
        self.assertEqual([1018, 724], page_value(port, "[innerWidth, innerHeight]"))
        road.click(moved[1] + moved[3] - 37, moved[2] + 12)
        road.wait_for(lambda: self.client.window_sized(sw, sh), 10, "the frame maximised again")
        self.assert_page_at(port, game[0], 0, 25, sw, sh - 25, "maximised again")

        # Minimised, the page goes with the frame; restored, it is back in its place.
        road.click(sw - 62, 12)
        road.wait_for(lambda: not self.client.window_sized(sw, sh), 10, "the frame minimised")
        self.assertFalse([w for w in road.engine_windows() if w[1] and w[2] != int(game[0])],
                         "an engine window shows outside the minimised frame")
        road.post_to_frame(road.WM_SYSCOMMAND, road.SC_RESTORE, 0)
        road.wait_for(lambda: self.client.window_sized(sw, sh), 10, "the frame restored from the task bar")
        self.assert_page_at(port, game[0], 0, 25, sw, sh - 25, "after minimising")

        # While the close dialog is up it has the keyboard: keys typed with the
        # pointer resting on the page do not reach the page.
        page_value(port, "window.__seen = 0; addEventListener('keydown', () => __seen++, true); true")
        road.click(sw - 12, 12)
        dialog = road.wait_for(lambda: self.client.window_sized(295, 190), 10, "the close dialog")
        road.wait_for(lambda: road.focused_window() == dialog[0], 10, "the close dialog with the keyboard")
        subprocess.run(["xdotool", "mousemove", str(sw // 2), str(sh - 100)], check=True)
        road.type_text("zz")
        time.sleep(0.5)
        self.assertEqual(0, page_value(port, "__seen"))
        road.click(dialog[1] + 212, dialog[2] + 117)  # 取消
        road.wait_for(lambda: not self.client.window_sized(295, 190), 10, "the dialog gone after cancel")

        # Close with confirmation: the dialog's cancel keeps the game, confirm ends it.
        road.click(sw - 12, 12)
        dialog = road.wait_for(lambda: self.client.window_sized(295, 190), 10, "the close dialog")
        road.screenshot("05-close-dialog")
        road.click(dialog[1] + 212, dialog[2] + 117)  # 取消
        road.wait_for(lambda: not self.client.window_sized(295, 190), 10, "the dialog gone after cancel")
        self.assertIsNone(self.client.proc.poll(), "cancel must keep the game running")
        road.click(sw - 12, 12)
        dialog = road.wait_for(lambda: self.client.window_sized(295, 190), 10, "the close dialog again")
        road.click(dialog[1] + 84, dialog[2] + 117)  # 确定
        self.assertEqual(0, self.client.wait_exit(60))
        road.wait_for(lambda: not road.engine_windows(), 10, "the engine's windows gone with the client")

        close = self.portal.reports_with_action("close")
        self.assertEqual(1, len(close), self.portal.records("report"))
        self.assertEqual(["hero"], close[0]["form"].get("user_name"), close[0]["body"])
        self.assertEqual(install[0]["form"]["uuid"], close[0]["form"]["uuid"], "the device id must not change")
        self.assertEqual("1", self.client.ini_value("Common", "RunCount"))
        self.assertEqual("hero", self.client.ini_value("Common", "user_name"))
        self.assertEqual("0", self.client.ini_value("Extension", "Counts"))
        self.assertEqual("1", self.client.ini_value("Common", "ClearCache"), "the tools menu's clear-cache request")
        out_time = int(self.client.ini_value("Extension", "out_time"))
        self.assertLess(abs(out_time - time.time()), 120)

        # Second run: no install report, runcount=1 in the start address.
        reports_before = len(self.portal.records("report"))
        starts_before = len(self.portal.records("start"))
        second = road.Client(self.client.dir).start()
        self.addCleanup(second.kill)
        road.wait_for(lambda: second.window_sized(1230, 728), 60, "the second run's launcher")
        start = road.wait_for(lambda: self.portal.records("start")[starts_before:], 30, "the second start")[0]
        self.assertEqual("1", start["params"].get("runcount", [""])[0])
        launcher = second.window_sized(1230, 728)
        road.click(launcher[1] + 1215, launcher[2] + 15)  # the launcher's close button
        dialog = road.wait_for(lambda: second.window_sized(295, 190), 10, "the close dialog of the launcher")
        road.click(dialog[1] + 84, dialog[2] + 117)
        self.assertEqual(0, second.wait_exit(60))
        new_reports = self.portal.records("report")[reports_before:]
        actions = [r["form"].get("action") for r in new_reports]
        self.assertEqual([["close"]], actions, "only the close report may come: %r" % new_reports)
        self.assertEqual("2", second.ini_value("Common", "RunCount"))
        self.assertEqual("0", second.ini_value("Common", "ClearCache"), "the request is carried out by the next run")


# The Flash emulator's hidden text field, which an input method types into.
MOVIE_FIELD = ("(() => { const p = document.querySelector('ruffle-embed, ruffle-object');"
               " const f = p && p.shadowRoot && p.shadowRoot.getElementById('virtual-keyboard');"
               " return f && [f.value, getComputedStyle(f).opacity]; })()")
PINYIN = r"^ni ?h?a?o?$"


@unittest.skipUnless(os.environ.get("DISPLAY"), "needs the test display (run through tools/test.sh)")
class ChineseInput(unittest.TestCase):
    """A player types Chinese with a real input method (fcitx5 with pinyin, the
    client in a Chinese locale), on each way of showing the page: "nihao" then a
    space gives 你好 in the login page's account field and in the game's Flash chat
    box, the composition showing while it is typed and, where the platform lets the
    client place it, the candidate window at the field; in the movie, digits typed
    around it and Backspace and arrows used inside the composition come out right.
    The chat line goes to the page and the portal and comes back into the movie's log."""

    def setUp(self):
        self.seen = None
        self.ime = road.InputMethod()
        self.addCleanup(self.ime.stop)
        self.portal = road.Portal()
        self.addCleanup(self.portal.stop)

    def type_chinese(self, composing, committed, what, keys=()):
        """Types "nihao", then `keys` (composing still), then a space; `composing()` is
        polled for the composition on the way, `committed()` for the result. Returns
        what `composing()` gave and where the candidate window was."""
        road.type_text("nihao")
        try:
            shown = road.wait_for(composing, 10, f"the composition in {what}")
        except AssertionError as e:
            raise AssertionError(f"{e}; input method state {self.ime.state()}, last seen {self.seen}") from None
        candidates = road.wait_for(self.ime.candidate_window, 10, f"the candidate window for {what}")
        road.screenshot(f"ime-{self.view}-{what.replace(' ', '-')}-composing")
        if keys:
            road.key(*keys)
        road.key("space")
        road.wait_for(lambda: committed() == "你好", 10, f"你好 in {what} ({self.view})",
                      seen=lambda: f"{committed()!r}, composition {self.seen}, input method state {self.ime.state()}")
        return shown, candidates

    def road(self, view):
        self.view = view or "embedded"
        sw, sh = road.screen_size()
        client = road.Client()
        self.addCleanup(client.cleanup)
        env = dict(self.ime.env)
        if view:
            env["VORNMARK_ENGINE_VIEW"] = view
        client.start(chinese_code_page=True, env=env)
        road.wait_for(lambda: client.window_sized(1230, 728), 60, "the launcher")
        frame = road.wait_for(lambda: client.window_sized(1230, 620), 30, "the frame window")
        profile = road.wait_for(road.engine_profile, 30, "the engine profile")
        port, _ = road.wait_for(lambda: os.path.exists(os.path.join(profile, "DevToolsActivePort")) and
                                devtools.active_port(profile), 30, "the engine's DevTools port")

        # The account field on the login page.
        field = road.wait_for(lambda: page_rect(port, "#username"), 30, "the login form")
        fx, fy = frame[1] + field[0], frame[2] + field[1]
        road.click(int(fx + field[2] / 2), int(fy + field[3] / 2))
        road.wait_for(lambda: page_value(port, "document.activeElement.id") == "username", 10, "the account field focused")
        road.focus(frame[0])
        account = "document.getElementById('username').value"
        shown, candidates = self.type_chinese(lambda: re.match(PINYIN, page_value(port, account) or "") and
                                              page_value(port, account), lambda: page_value(port, account),
                                              "the account field")
        self.assertRegex(shown, PINYIN)
        if self.view == "embedded":
            # The engine's own input method places it under the text.
            self.assertTrue(fx <= candidates[0] <= fx + field[2] and fy <= candidates[1] <= fy + field[3] + 20,
                            f"candidate window at {candidates}, the field at {(fx, fy, field[2], field[3])}")
        self.ime.off()
        pw = page_rect(port, "#password")
        road.click(int(frame[1] + pw[0] + pw[2] / 2), int(frame[2] + pw[1] + pw[3] / 2))
        road.type_text("secret")
        road.key("Return")
        login = road.wait_for(lambda: self.portal.records("login"), 30, "the login")
        self.assertEqual("你好", login[0]["user"])

        # The game, and its chat box.
        # Measured once the list's page has loaded, so the click lands where the link stays.
        link = road.wait_for(lambda: page_value(port, "document.readyState") == "complete" and
                             page_rect(port, 'a[href*="server_id=3"]'), 30, "the server list")
        road.click(int(frame[1] + link[0] + link[2] / 2), int(frame[2] + link[1] + link[3] / 2))
        game = road.wait_for(lambda: client.window_sized(sw, sh), 30, f"the maximised in-game frame ({self.view})",
                             seen=lambda: f"the link clicked at {link}, the client's windows {client.windows()}, "
                                          f"the page at {page_value(port, 'location.href')}")
        state = road.wait_for(lambda: (movie_state(port) or {}).get("frames", 0) > 0 and movie_state(port), 30,
                              "the Flash game")
        self.assertEqual("你好", state["player"])
        # The page at the maximised frame's width (the title band above it).
        inner = road.wait_for(lambda: (page_value(port, "[innerWidth, innerHeight]") or [0])[0] == sw and
                              page_value(port, "[innerWidth, innerHeight]"), 10, "the page at the in-game size")
        state = movie_state(port)
        left, top = game[1] + game[3] - inner[0], game[2] + game[4] - inner[1]
        chat = state["chat"]
        cx, cy = int(left + chat["x"] + 40), int(top + chat["y"] + chat["height"] / 2)
        road.click(cx, cy)
        road.wait_for(lambda: ((movie_state(port) or {}).get("chat") or {}).get("focused"), 10,
                      "the chat box focused")
        road.focus(game[0])
        self.ime.on()
        movie_text = lambda: ((movie_state(port) or {}).get("chat") or {}).get("text")
        # Digits go straight in with pinyin on.
        road.type_text("12")
        road.wait_for(lambda: movie_text() == "12", 10, "digits in the chat box")

        def composing():
            shown = page_value(port, MOVIE_FIELD)
            self.seen = (shown, movie_text())
            # Shown over the movie, and none of it typed into the movie yet.
            return shown and re.match(PINYIN, shown[0]) and shown[1] == "1" and movie_text() == "12" and shown[0]
        # "nihao", then "o", Backspace, Left and Right: the input method's keys, not the movie's.
        hero = state["heroX"]
        shown, candidates = self.type_chinese(composing, lambda: (movie_text() or "")[2:], "the chat box",
                                              keys=("o", "BackSpace", "Left", "Right"))
        self.assertRegex(shown, PINYIN)
        self.assertEqual("12你好", movie_text())
        self.assertEqual(hero, movie_state(port)["heroX"], "keys of the composition walked the hero")
        if self.view == "embedded":
            # Under the composition, which shows where the player clicked.
            self.assertTrue(abs(candidates[0] - cx) <= 40 and cy <= candidates[1] <= cy + 40,
                            f"candidate window at {candidates}, the click at {(cx, cy)}")
        self.assertEqual("0", page_value(port, MOVIE_FIELD)[1], "the composition box stays after the commit")
        road.key("Return")
        lines = road.wait_for(lambda: (movie_state(port) or {})["chat"]["lines"], 10, "the chat line back in the movie")
        self.assertEqual(["你好：12你好"], lines)
        self.assertEqual("12你好", page_value(port, "document.getElementById('chat').textContent"))
        self.assertEqual([("你好", "12你好")], [(r["user"], r["text"]) for r in self.portal.records("chat")])
        road.wait_for(lambda: [r["text"] for r in self.portal.records("chat-say")] == ["12你好"], 10,
                      "the chat line at the game server, through the movie's XMLSocket")
        # The line is drawn in the movie's log.
        log = movie_state(port)["chat"]["log"]
        pixels = road.grab(int(left + log["x"]), int(top + log["y"]), int(log["width"]), int(log["height"]))
        self.assertGreater(sum(1 for row in pixels for p in row if bright(p, (200, 200, 180))), 40,
                           "the chat line is not drawn in the movie")
        road.screenshot(f"ime-{self.view}-chat")
        client.kill()

    def test_embedded_route(self):
        self.road(None)

    def test_screencast_route(self):
        self.road("screencast")


def engine_command_lines():
    """Command lines of the engine processes that use the client's profile."""
    profile = road.engine_profile()
    profile = os.path.realpath(profile) if profile else None
    found = []
    for path in glob.glob("/proc/[0-9]*/cmdline"):
        try:
            with open(path, "rb") as f:
                args = f.read().decode("utf-8", "replace").split("\0")
        except OSError:
            continue
        dirs = [a.split("=", 1)[1] for a in args if a.startswith("--user-data-dir=")]
        if profile and any(os.path.realpath(d) == profile for d in dirs):
            found.append(args)
    return found


class SocketTarget:
    """A TCP server of the test on 127.0.0.1: answers Flash's policy request with
    `policy` (nothing, and keeps the connection, when it is None) and counts the
    connections that are not policy requests; with `flood` bytes it sends them to
    each such connection and closes it."""

    def __init__(self, policy=None, flood=0):
        self.policy, self.flood = policy, flood
        self.policy_requests = 0
        self.sessions = 0
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.threads = []
        self.accepting = threading.Thread(target=self._accept, daemon=True)
        self.accepting.start()

    def _accept(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            t = threading.Thread(target=self._serve, args=(conn,), daemon=True)
            self.threads.append(t)
            t.start()

    def _serve(self, conn):
        with conn:
            conn.settimeout(30)
            try:
                first = conn.recv(len(POLICY_REQUEST))
                if first == POLICY_REQUEST:
                    self.policy_requests += 1
                    if self.policy is None:
                        conn.recv(1)  # silent until the asker gives up
                    else:
                        conn.sendall(self.policy.encode() + b"\0")
                    return
                self.sessions += 1
                if self.flood:
                    chunk = b"x" * 65536
                    for _ in range(self.flood // len(chunk)):
                        conn.sendall(chunk)
            except OSError:
                pass

    def stop(self):
        self.listener.close()


def policy_for(domain, ports):
    return f'<cross-domain-policy><allow-access-from domain="{domain}" to-ports="{ports}"/></cross-domain-policy>'


def handshake(port, path, origin):
    """The status line the client's socket relay answers a WebSocket upgrade with."""
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.sendall((f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                   f"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
                   f"Origin: {origin}\r\n\r\n").encode())
        answer = b""
        while b"\r\n" not in answer:
            more = s.recv(1024)
            if not more:
                break
            answer += more
        return answer.split(b"\r\n")[0].decode()


def learned_file():
    """Where the client keeps the socket hosts it learned, per site."""
    return os.path.join(road.engine_profile(), "socket_hosts.json")


def client_rss_kb():
    """Resident memory of the client's process (vornmark.exe under Wine, the largest
    of the processes by that name without a --type switch), in KiB."""
    found = []
    for pid in road._pids():
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                args = f.read().split(b"\0")
            if not any(a.endswith(b"vornmark.exe") for a in args[:2]) or b"--type" in b" ".join(args):
                continue
            with open(f"/proc/{pid}/status") as f:
                found += [int(line.split()[1]) for line in f if line.startswith("VmRSS:")]
        except OSError:
            continue
    return max(found) if found else None


@unittest.skipUnless(os.environ.get("DISPLAY"), "needs the test display (run through tools/test.sh)")
class FlashPages(unittest.TestCase):
    """Pages with Flash content in the client, sitting at its launcher."""

    def setUp(self):
        self.portal = road.Portal()
        self.addCleanup(self.portal.stop)

    def start(self, flash):
        client = road.Client(flash=flash)
        self.addCleanup(client.cleanup)
        client.start()
        road.wait_for(lambda: client.window_sized(1230, 728), 60, "the launcher")
        profile = road.wait_for(road.engine_profile, 30, "the engine profile")
        port, _ = road.wait_for(lambda: os.path.exists(os.path.join(profile, "DevToolsActivePort")) and
                                devtools.active_port(profile), 30, "the engine's DevTools port")
        road.wait_for(lambda: page_rect(port, "#username"), 30, "the login page")
        return client, port

    def open(self, port, path, ready, probe="null"):
        base = f"http://127.0.0.1:{road.PORTAL_PORT}"
        page_value(port, f"location.href = {base + path!r}")
        try:
            return road.wait_for(lambda: page_value(port, ready), 30, f"{path} in the client")
        except AssertionError as e:
            seen = page_value(port, f"(() => {{ try {{ return [location.href, document.readyState, {probe}]; }}"
                                    " catch (e) { return String(e); } })()")
            raise AssertionError(f"{e}; the page: {seen}") from None

    def test_without_the_emulator_the_page_shows_its_fallback(self):
        client, port = self.start(flash=False)
        # No act=gamelogin: the launcher stays as it is.
        self.open(port, "/wd3/play?server_id=3", "document.body && document.body.dataset.flash")
        self.assertEqual("missing", page_value(port, "document.body.dataset.flash"))
        self.assertEqual("block", page_value(port, "getComputedStyle(document.getElementById('noflash')).display"))
        self.assertEqual([False, False, False], page_value(port, """[typeof RufflePlayer !== 'undefined',
            !!navigator.plugins.namedItem('Shockwave Flash'), !!document.querySelector('ruffle-embed')]"""))
        lines = engine_command_lines()
        self.assertTrue(lines, "no engine process found")
        self.assertFalse([a for args in lines for a in args if a.startswith("--ip-address-space-overrides")],
                         "the engine was told about a Flash file server")
        road.close_from_launcher(client)

    def test_strict_policy_page_and_kept_element_both_play(self):
        client, port = self.start(flash=True)
        lines = engine_command_lines()
        overrides = [a for args in lines for a in args if a.startswith("--ip-address-space-overrides=")]
        self.assertEqual(1, len(set(overrides)), lines)
        # One endpoint of ours counts as public: the emulator's file server, which also carries the socket relay.
        self.assertRegex(overrides[0], r"^--ip-address-space-overrides=127\.0\.0\.1:\d+=public$")
        # The login page asks nothing of Flash: the emulator is not set up there. The
        # first read of the plug-in list sets it up and finds the plug-in in it.
        newest = "typeof RufflePlayer.newest"
        self.assertEqual(["object", "undefined"], page_value(port, f"[typeof RufflePlayer, {newest}]"))
        self.assertEqual(["Shockwave Flash 25.0 r0", "function", "application/x-shockwave-flash"],
                         page_value(port, f"""[navigator.plugins['Shockwave Flash'].description, {newest},
                                    navigator.mimeTypes['application/x-shockwave-flash'].type]"""))
        # The page reports the plug-in of the version the program asks for.
        self.open(port, "/test/flash-csp.html", "(window.__flashReports || []).length > 0")
        self.assertEqual("csp", page_value(port, "__flashReports[0].player"))
        self.assertGreater((movie_state(port) or {}).get("frames", 0), 0)
        self.assertEqual("Shockwave Flash 25.0 r0",
                         page_value(port, "navigator.plugins.namedItem('Shockwave Flash').description"))
        self.open(port, "/test/flash-ref.html", "window.__refState && window.__refState.frames > 0")
        self.assertEqual(["ref", "EMBED"], page_value(port, "[__refState.player, __kept.tagName]"))
        self.assertFalse(page_value(port, "__kept.isConnected"), "the kept element is the one the player replaced")
        self.assertEqual("ok", page_value(port, "window.__refLast"))
        # A movie in an inner frame plays too, also when the page comes late: the
        # parent's emulator reaches into the frame's first, empty document meanwhile,
        # and the page then takes over that document's window.
        inner = "document.getElementById('inner').contentWindow"
        self.open(port, "/test/frame.html?src=/test/flash-ref.html%3Fdelay%3D1500",
                  f"(() => {{ try {{ return {inner}.__refState.frames > 0; }} catch (e) {{ return false; }} }})()",
                  probe=f"[{inner}.location.href, {inner}.__refLast, {inner}.__flashReports.length, "
                        f"{inner}.document.querySelector('ruffle-embed') && "
                        f"{inner}.document.querySelector('ruffle-embed').shadowRoot.textContent.slice(0, 300)]")
        self.assertEqual("ref", page_value(port, inner + ".__flashReports[0].player"))
        road.close_from_launcher(client)

    def net_page(self, port, host, game_port, chat_port=None):
        query = urllib.parse.urlencode({"host": host, "game": game_port, "chat": chat_port or game_port})
        self.open(port, "/test/flash-net.html?" + query, "document.getElementById('game') && "
                  "document.getElementById('game').getState && document.getElementById('game').getState().net")

    def test_movie_sockets_reach_only_servers_whose_policy_admits_them(self):
        if road.engine_profile() and os.path.exists(learned_file()):
            os.remove(learned_file())
        client, port = self.start(flash=True)
        # What this test teaches the client is not for later tests.
        self.addCleanup(lambda: os.path.exists(learned_file()) and os.remove(learned_file()))
        game_port = {"game": road.PORTAL_PORT + 1, "chat": road.PORTAL_PORT + 2}  # the portal's game server

        # A host no relay entry lists ("localhost"): the emulator warns, the client adds
        # it and restarts the player once, and the movie then plays with the server.
        self.net_page(port, "localhost", game_port["game"], game_port["chat"])
        net = road.wait_for(lambda: net_state(port).get("clock") and net_state(port), 30,
                            "the game server's clock through a learned host")
        self.assertEqual("open", net["chat"], net)
        hellos = [r for r in self.portal.records("game-hello") if r["player"] == "tester"]
        self.assertEqual(1, len(hellos), "the restarted player connected once, its first run not at all")
        movie_loads = "performance.getEntriesByType('resource').filter(e => /game\\.swf/.test(e.name)).length"
        self.assertEqual(2, page_value(port, movie_loads), "the player restarts once")
        learned = learned_file()
        road.wait_for(lambda: os.path.exists(learned), 10, "the learned host kept in the profile")
        with open(learned) as f:
            self.assertEqual({"127.0.0.1": ["localhost"]}, json.load(f))
        # The site's next document lists the host from the start: no restart.
        self.net_page(port, "localhost", game_port["game"], game_port["chat"])
        road.wait_for(lambda: net_state(port).get("clock"), 30, "the game server's clock without a restart")
        self.assertEqual(1, page_value(port, movie_loads))

        # Servers that publish no policy, or one not admitting this page's host or port:
        # the movie's sockets close and the servers never see a connection of their own.
        targets = [SocketTarget(), SocketTarget(policy_for("*.elsewhere.example", "*")),
                   SocketTarget(policy_for("*", "1-1024"))]
        for t in targets:
            self.addCleanup(t.stop)
        for t in targets:
            started = time.time()
            self.net_page(port, "127.0.0.1", t.port)
            state = road.wait_for(lambda: net_state(port).get("game") in ("close", "ioerror") and net_state(port),
                                  20, f"the refused socket to {t.port} closed")
            self.assertEqual(0, state["received"], state)
            self.assertEqual(0, t.sessions, f"a connection reached the server on {t.port}")
            self.assertEqual(1, t.policy_requests, "the policy is asked for once and kept")
            print(f"\n  refused by its policy ({t.policy!r:.40}): closed after {time.time() - started:.1f} s")

        # The relay itself: a wrong token and a foreign origin are refused before
        # anything is asked of the target.
        url = page_value(port, "RufflePlayer.config.socketProxy[0].proxyUrl")
        relay_port, token = int(url.split("/")[2].split(":")[1]), url.split("/")[3]
        self.assertEqual(road.flash_server_port(road.engine_profile()), relay_port, "the relay has a port of its own")
        own = f"http://127.0.0.1:{road.PORTAL_PORT}"
        wrong = token[:-1] + ("1" if token[-1] == "0" else "0")
        target = f"/127.0.0.1/{game_port['game']}"
        self.assertEqual("HTTP/1.1 101 Switching Protocols", handshake(relay_port, f"/{token}{target}", own))
        self.assertEqual("HTTP/1.1 404 Not Found", handshake(relay_port, f"/{wrong}{target}", own))
        self.assertEqual("HTTP/1.1 403 Forbidden", handshake(relay_port, f"/{token}{target}", "http://evil.example"))

        # A thousand ports tried from one page while the game plays on it: none opens,
        # the game keeps receiving, and the client stays responsive.
        self.net_page(port, "127.0.0.1", game_port["game"], game_port["chat"])
        road.wait_for(lambda: net_state(port).get("clock"), 30, "the game playing")
        page_value(port, """(() => {
            const base = RufflePlayer.config.socketProxy[0].proxyUrl.replace(/[^/]+\\/[0-9]+$/, '');
            window.__probe = {opened: 0, ended: 0};
            for (let p = 40000; p < 41000; p++) {
                const ws = new WebSocket(base + '127.0.0.1/' + p);
                ws.onopen = () => __probe.opened++;
                ws.onclose = () => __probe.ended++;
            }
            return true;
        })()""")
        before = net_state(port)["received"]
        started = time.time()
        probe = road.wait_for(lambda: (page_value(port, "__probe") or {}).get("ended") == 1000 and
                              page_value(port, "__probe"), 120, "a thousand refused sockets")
        print(f"\n  a thousand refused sockets: {time.time() - started:.1f} s")
        self.assertEqual(0, probe["opened"])
        after = net_state(port)
        self.assertEqual("open", after["game"])
        self.assertGreater(after["received"], before, "the game stopped receiving meanwhile")
        road.close_from_launcher(client)

    def test_a_server_that_dies_or_floods_closes_the_movies_socket(self):
        client, port = self.start(flash=True)

        class Log:
            def write(self, record):
                pass
        server = GameServer(Log(), "127.0.0.1", 0, 0, policy_port=0)
        ports = server.start()
        self.addCleanup(server.stop)
        self.net_page(port, "127.0.0.1", ports["game"], ports["chat"])
        road.wait_for(lambda: net_state(port).get("clock"), 30, "the test's game server playing")
        server.stop()
        road.wait_for(lambda: net_state(port).get("game") == "close", 10, "the socket closed with its server")
        road.wait_for(lambda: net_state(port).get("chat") == "close", 10, "the chat socket closed with its server")

        # 100 MB from the server: it all goes through, the client's memory stays
        # within bounds meanwhile, and the movie sees the close at the end.
        flood = SocketTarget(policy_for("*", "*"), flood=100 * 1024 * 1024)
        self.addCleanup(flood.stop)
        rss_before = client_rss_kb()
        self.net_page(port, "127.0.0.1", flood.port, road.PORTAL_PORT + 2)
        peak = [rss_before]
        started = time.time()

        def closed():
            peak[0] = max(peak[0], client_rss_kb() or 0)  # sampled over the whole transfer
            return net_state(port).get("game") == "close"
        road.wait_for(closed, 180, "the close after 100 MB", interval=0.2)
        peak = peak[0]
        print(f"\n  100 MB through the relay in {time.time() - started:.1f} s; client memory "
              f"{rss_before // 1024} MB before, at most {peak // 1024} MB meanwhile")
        self.assertEqual(1, flood.sessions)
        self.assertLess(peak - rss_before, 64 * 1024, "the client's memory grew with the flood")
        road.close_from_launcher(client)


if __name__ == "__main__":
    unittest.main()
