"""The engine host's X side (cef/host/xembed.py) on the test's X display, with
stand-ins: a window of ours as the client's top-level X window, and windows made on
a second connection the way the engine makes its own (class, then map, then the
focus)."""
import os
import select
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "cef", "host"))
import xembed  # noqa: E402

try:
    from Xlib import X, XK, display
    from Xlib.ext import xtest
except ImportError:  # setup installs python3-xlib; without it there is nothing to test
    X = None

CLASS = "vornmark-engine-test-%d" % os.getpid()


@unittest.skipUnless(X is not None and os.environ.get("DISPLAY"), "needs python3-xlib and an X display")
class EmbedderTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # A bare X server starts afresh when its last client leaves; one connection
        # kept open keeps it from doing so between tests.
        cls.keeper = display.Display()

    @classmethod
    def tearDownClass(cls):
        cls.keeper.close()

    def setUp(self):
        self.events = []
        self.embedder = xembed.Embedder(self.events.append, CLASS)
        self.client = display.Display()  # plays Wine
        self.engine = display.Display()  # plays the engine
        root = self.client.screen().root
        self.top = root.create_window(50, 60, 400, 300, 0, X.CopyFromParent, override_redirect=True,
                                      background_pixel=self.client.screen().black_pixel)
        self.top.map()
        self.client.sync()
        self.engine_events = []

    def tearDown(self):
        self.embedder.close()
        self.engine.close()
        self.client.close()

    # ---- helpers ------------------------------------------------------------------

    def pump(self, until, timeout=3.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            self.engine.sync()
            self.client.sync()
            while self.engine.pending_events():
                self.engine_events.append(self.engine.next_event())
            self.embedder.drain()
            if until():
                return True
            select.select([self.embedder.fileno(), self.engine.fileno()], [], [], 0.02)
            self.embedder.on_readable()
        return False

    def make_engine_window(self, instance, window_class=CLASS, take_focus=True):
        """As the engine does: off-screen, class set, mapped, then the focus taken."""
        root = self.engine.screen().root
        win = root.create_window(xembed.OFFSCREEN, xembed.OFFSCREEN, 300, 200, 0, X.CopyFromParent,
                                 event_mask=X.StructureNotifyMask | X.ButtonPressMask | X.FocusChangeMask,
                                 background_pixel=self.engine.screen().white_pixel)
        win.set_wm_class(instance, window_class)
        win.map()
        self.engine.sync()
        if take_focus:
            self.engine.set_input_focus(win, X.RevertToParent, X.CurrentTime)
            self.engine.sync()
        return win

    def viewable(self, win):
        return win.get_attributes().map_state == X.IsViewable

    def open_embedded(self, number=1, token="tok1"):
        self.embedder.command({"open": number, "token": token, "url": "data:text/html,x"})
        win = self.make_engine_window("text_html,_" + token)
        self.assertTrue(self.pump(lambda: {"window": number} in self.events), self.events)
        return win

    def place(self, number=1, x=10, y=25, w=200, h=120, show=True, inset=(0, 0, 0, 0)):
        self.embedder.command({"place": number, "parent": self.top.id, "x": x, "y": y, "w": w, "h": h,
                               "show": show, "inset": list(inset)})
        self.pump(lambda: False, 0.2)

    def geometry_in_top(self, win):
        pos = self.top.translate_coords(win, 0, 0)
        g = win.get_geometry()
        return pos.x, pos.y, g.width, g.height

    # ---- tests --------------------------------------------------------------------

    def test_engine_window_is_never_seen_before_it_is_placed_and_never_keeps_the_focus(self):
        before = self.client.get_input_focus().focus
        win = self.open_embedded()
        self.assertFalse(self.viewable(win))
        self.assertNotEqual(win.query_tree().parent.id, self.engine.screen().root.id)
        focus = self.client.get_input_focus().focus
        self.assertNotEqual(getattr(focus, "id", focus), win.id)
        self.assertEqual(getattr(focus, "id", focus), getattr(before, "id", before))

    def test_placed_window_follows_the_rectangle_and_shows_and_hides(self):
        win = self.open_embedded()
        self.place(x=10, y=25, w=200, h=120)
        self.assertTrue(self.viewable(win))
        self.assertEqual(self.geometry_in_top(win), (10, 25, 200, 120))
        self.place(x=0, y=0, w=400, h=300)
        self.assertEqual(self.geometry_in_top(win), (0, 0, 400, 300))
        self.place(x=0, y=0, w=400, h=300, show=False)
        self.assertFalse(self.viewable(win))
        self.place(x=0, y=0, w=400, h=300, show=True)
        self.assertTrue(self.viewable(win))
        # The engine's own furniture (a popup's) is cropped by the clip window.
        self.place(x=5, y=5, w=100, h=100, inset=(0, 30, 0, 0))
        clip = win.query_tree().parent
        self.assertEqual(self.geometry_in_top(clip), (5, 5, 100, 100))
        self.assertEqual(self.geometry_in_top(win), (5, -25, 100, 130))

    def test_engine_resizing_its_own_window_is_put_back(self):
        win = self.open_embedded()
        self.place(x=10, y=25, w=200, h=120)
        win.configure(x=-32000, y=40, width=50, height=60)  # a page's resizeTo / moveTo
        self.engine.sync()
        self.assertTrue(self.pump(lambda: self.geometry_in_top(win) == (10, 25, 200, 120)))

    def test_engine_hears_its_screen_position_when_our_window_moves(self):
        win = self.open_embedded()
        self.place(x=10, y=25, w=200, h=120)
        self.top.configure(x=300, y=200)
        self.client.sync()

        def told():
            return any(e.type == X.ConfigureNotify and e.send_event and (e.x, e.y) == (310, 225)
                       for e in self.engine_events)
        self.assertTrue(self.pump(told), [(e.type, getattr(e, "x", None)) for e in self.engine_events])

    def test_presses_reach_the_page_and_the_focus_stays_around_it(self):
        win = self.open_embedded()
        self.place(x=10, y=25, w=200, h=120)
        # Another window has the keyboard; a press in the page brings it to the
        # client's window, not into the engine's.
        other = self.client.screen().root.create_window(700, 500, 50, 50, 0, X.CopyFromParent,
                                                         override_redirect=True)
        other.map()
        self.client.sync()
        self.client.set_input_focus(other, X.RevertToParent, X.CurrentTime)
        xtest.fake_input(self.client, X.MotionNotify, x=50 + 60, y=60 + 60)
        xtest.fake_input(self.client, X.ButtonPress, 1)
        xtest.fake_input(self.client, X.ButtonRelease, 1)
        self.client.sync()
        self.assertTrue(self.pump(lambda: any(e.type == X.ButtonPress for e in self.engine_events)))
        self.assertIn({"pressed": 1, "button": 1}, self.events)
        self.assertEqual(self.client.get_input_focus().focus.id, self.top.id)

        # The engine taking the focus itself: back to the client's window.
        self.engine.set_input_focus(win, X.RevertToParent, X.CurrentTime)
        self.engine.sync()
        self.assertTrue(self.pump(lambda: self.client.get_input_focus().focus.id == self.top.id))

        # Disabled (a modal dialog is up): the press goes nowhere, the focus stays.
        self.embedder.command({"input": 1, "enabled": False})
        self.client.set_input_focus(other, X.RevertToParent, X.CurrentTime)
        self.client.sync()
        self.engine_events.clear()
        xtest.fake_input(self.client, X.ButtonPress, 1)
        xtest.fake_input(self.client, X.ButtonRelease, 1)
        self.client.sync()
        self.pump(lambda: False, 0.3)
        self.assertFalse([e for e in self.engine_events if e.type in (X.ButtonPress, X.ButtonRelease)])
        self.assertEqual(self.client.get_input_focus().focus.id, other.id)
        other.destroy()

    def test_keys_that_could_be_hot_keys_are_told_straight_from_x(self):
        if not self.embedder.keys:
            self.skipTest("no XInput 2 on this display")
        self.open_embedded()
        self.place(x=10, y=25, w=200, h=120)
        # The client's window has the keyboard and the pointer is over the page: X
        # gives the page the keys, and we hear them too.
        self.client.set_input_focus(self.top, X.RevertToParent, X.CurrentTime)
        xtest.fake_input(self.client, X.MotionNotify, x=50 + 60, y=60 + 60)

        def press(*keysyms):
            codes = [self.client.keysym_to_keycode(XK.string_to_keysym(k)) for k in keysyms]
            for c in codes:
                xtest.fake_input(self.client, X.KeyPress, c)
            for c in reversed(codes):
                xtest.fake_input(self.client, X.KeyRelease, c)
            self.client.sync()

        press("Alt_L", "d")
        press("n", "i")  # typing is not told, nor a key no hot key is made of
        press("Shift_L", "x")
        press("Return")
        press("Shift_L", "F5")
        press("Control_L", "7")
        told = [{"key": 1, "vk": 0x44, "m": 1}, {"key": 1, "vk": 0x74, "m": 8}, {"key": 1, "vk": 0x37, "m": 2}]
        self.assertTrue(self.pump(lambda: [e for e in self.events if "vk" in e] == told), self.events)

    def test_other_windows_of_the_engine_are_parked_and_others_untouched(self):
        self.open_embedded()
        stray = self.make_engine_window("chromium-browser", take_focus=False)
        foreign = self.make_engine_window("text_html,_tok9", window_class="someone-else", take_focus=False)
        self.pump(lambda: False, 0.3)
        self.assertFalse(self.viewable(stray))
        self.assertTrue(self.viewable(foreign))
        foreign.destroy()

    def test_popup_window_is_claimed_by_the_place_the_engine_moved_it_to(self):
        self.open_embedded()
        popup = self.make_engine_window("chromium-browser", take_focus=False)
        self.pump(lambda: False, 0.2)
        self.embedder.command({"claim": 2, "left": -25002, "top": -25000})
        popup.configure(x=-25002, y=-25000)
        self.engine.sync()
        self.assertTrue(self.pump(lambda: {"window": 2} in self.events), self.events)
        self.place(number=2, x=0, y=0, w=100, h=80)
        self.assertTrue(self.viewable(popup))

    def test_close_parks_the_window_before_answering_and_destruction_is_told(self):
        win = self.open_embedded()
        self.place()
        self.embedder.command({"close": 1, "ack": 7})
        self.assertIn({"closed": 1, "ack": 7}, self.events)
        # Our top-level can go now without taking the engine's window with it.
        self.top.destroy()
        self.client.sync()
        self.pump(lambda: False, 0.2)
        self.assertFalse(self.viewable(win))
        win.get_geometry()  # still there

        win2 = self.open_embedded(number=3, token="tok3")
        win2.destroy()
        self.engine.sync()
        self.assertTrue(self.pump(lambda: {"gone": 3} in self.events), self.events)

    def test_a_lock_left_by_a_gone_engine_goes_and_a_live_engines_stays(self):
        import subprocess
        import tempfile
        profile = tempfile.mkdtemp(prefix="vm-profile-")
        lock = os.path.join(profile, "SingletonLock")
        argv = ["/usr/bin/chromium", "--user-data-dir=" + profile]
        # Its pid now another program's (here: this test's own).
        os.symlink("somehost-%d" % os.getpid(), lock)
        open(os.path.join(profile, "SingletonCookie"), "w").close()
        xembed.clear_stale_lock(argv)
        self.assertFalse(os.path.lexists(lock))
        self.assertFalse(os.path.exists(os.path.join(profile, "SingletonCookie")))
        # A live engine of this very profile (another client's) keeps it...
        live = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(30)", "--user-data-dir=" + profile])
        try:
            deadline = time.monotonic() + 5  # until it runs its own command line
            while profile.encode() not in open("/proc/%d/cmdline" % live.pid, "rb").read():
                self.assertLess(time.monotonic(), deadline)
                time.sleep(0.01)
            os.symlink("somehost-%d" % live.pid, lock)
            xembed.clear_stale_lock(argv, wait=0.2)
            self.assertTrue(os.path.lexists(lock))
        finally:
            live.kill()
            live.wait()
        xembed.clear_stale_lock(argv)  # gone now
        self.assertFalse(os.path.lexists(lock))
        # ... and one on its way out is waited for.
        ending = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(0.5)", "--user-data-dir=" + profile])
        os.symlink("somehost-%d" % ending.pid, lock)
        xembed.clear_stale_lock(argv, wait=5)
        self.assertFalse(os.path.lexists(lock))
        ending.wait()
        os.rmdir(profile)

    def test_switches_and_relaunch_keep_what_the_engine_needs(self):
        argv = ["/usr/bin/chromium", "--no-sandbox", "--user-data-dir=/p", "--lang=zh-CN"]
        argv[1:1] = xembed.engine_switches(CLASS, "data:text/html,first")
        again = xembed.relaunch_argv(argv, "data:text/html,x")
        self.assertEqual(again[0], "/usr/bin/chromium")
        for needed in ("--user-data-dir=/p", "--no-sandbox", "--test-type", "--class=" + CLASS,
                       "--app=data:text/html,x", "--ozone-platform=x11"):
            self.assertIn(needed, again)
        self.assertNotIn("--no-startup-window", again)
        # The engine's own first window is not opened a second time with the next one.
        self.assertNotIn("--app=data:text/html,first", again)


if __name__ == "__main__":
    unittest.main()
