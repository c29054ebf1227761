"""The engine's windows inside the client's windows, on the X side.

Under Wine every top-level window of the client has an X window of its own (Wine
names it in the window property "__wine_x11_whole_window"); its child windows do
not. The engine runs as a normal (not headless) X11 program, and each page the
client shows gets an engine window of its own, without any browser furniture
(an "--app" window). This module finds those windows, keeps them where nobody
sees them until the client places them, and then keeps each inside a small clip
window of ours in the client's top-level X window, at the place and size of the
client's browser window: moved, resized, shown and hidden on the client's word.

What the engine would otherwise do on its own is held in check here: any other
window of the engine's (a new browser window, a dialog) is parked inside a
window that is never mapped, so it never shows; presses in the page are let
through or swallowed (while the client's window is disabled by a modal dialog).

The X keyboard focus stays with the client's window around the engine's: Wine
counts its windows inactive, and moves the focus to the root window, as soon as
the focus is in a window that is not Wine's, even one inside its own. Keys still
reach the page straight from X while the pointer is over it (X gives the keys
to the window under the pointer when that lies inside the focus window), and
through the client otherwise. A press in the page gives the client's window the
focus when something else has it; the engine taking the focus itself is undone.

Commands (client -> host, JSON in "X" frames):
  {"open": N, "url": U, "token": T}   make the engine window for browser N: the
                                      engine opens U in an app window whose
                                      class name carries the token T
  {"claim": N, "left": X, "top": Y}   the parked engine window the engine moved
                                      to (X, Y) is browser N's (popups)
  {"place": N, "parent": XID, "x": .., "y": .., "w": .., "h": .., "show": bool,
   "inset": [l, t, r, b]}             keep N's window in the X window XID at that
                                      rectangle; the inset crops the engine
                                      window's own furniture, if it has any
  {"input": N, "enabled": bool}       presses reach the page, or are swallowed
  {"freeze": N, "on": bool}           hold what N's window shows now (a still of it
                                      in its place, the engine's window hidden)
  {"close": N, "ack": K}              N's window is parked again (answered with
                                      {"closed": N, "ack": K} once done)
Events (host -> client):
  {"embed": true} / {"embed": false, "why": ...}   at start
  {"window": N}                       N's engine window exists
  {"gone": N}                         N's engine window was destroyed
  {"pressed": N, "button": B}         a press in N's window
  {"key": N, "vk": V, "m": M}         a key pressed in N's window that could be a hot
                                      key (see hot_key_candidate): its Windows virtual
                                      key and the modifiers held (Alt 1, Ctrl 2,
                                      Super 4, Shift 8), told straight from X, as the
                                      page may be too busy to tell its own key events
                                      in time
"""
import os
import select
import struct

try:
    from Xlib import X, Xatom, display, error
    from Xlib.ext import xinput
    from Xlib.protocol import event as xevent
except ImportError:  # no python3-xlib: the engine runs headless instead
    X = None

# The X protocol's event type of extension events (XInput 2's among them).
GENERIC_EVENT = 35

# Far outside any screen: where the engine puts a new window before we take it.
OFFSCREEN = -32000
BUTTON_EVENTS = X.ButtonPressMask if X else 0


def connect():
    """(connection, None) when the engine's windows can be embedded on this display,
    else (None, why). The connection is the one to build the Embedder on: opening
    one costs about as much as the rest of the set-up, and it precedes the engine."""
    if X is None:
        return None, "python3-xlib missing"
    name = os.environ.get("DISPLAY")
    if not name:
        return None, "no X display"
    try:
        return display.Display(name), None
    except Exception as e:  # noqa: BLE001 - any failure means no embedding
        return None, "X display unreachable: %s" % e


def engine_switches(window_class, first_url=None):
    """Switches that make the engine a windowed X11 program whose windows we can tell.
    With `first_url` it opens that page in an app window as it starts (saving the
    round trip of asking the running engine for one), else no window at all. Either
    way it keeps running when its last window closes (a page of ours may be the only
    one and go before the next comes); only being told to close ends it."""
    start = ["--app=" + first_url, "--keep-alive-for-test"] if first_url else ["--no-startup-window"]
    return ["--ozone-platform=x11", "--test-type"] + start + [
        "--window-position=%d,%d" % (OFFSCREEN, OFFSCREEN), "--class=" + window_class]


def clear_stale_lock(engine_argv, wait=5.0):
    """Removes the profile's lock of an engine that has gone.

    A windowed engine keeps its profile to itself through a lock naming its host
    and pid, and hands a second start over to the one it names (which then opens
    nothing: the new engine just ends). An engine ended by force leaves the lock
    behind, and one still being ended holds it for a moment: the new engine waits
    for that one to go (at most `wait` seconds), and a lock whose pid is now some
    other program's is removed. The lock stays when it names a live engine of this
    profile (a second client at once, which cannot have a profile of its own)."""
    profile = next((a.split("=", 1)[1] for a in engine_argv if a.startswith("--user-data-dir=")), None)
    if not profile:
        return
    lock = os.path.join(profile, "SingletonLock")
    try:
        pid = int(os.readlink(lock).rsplit("-", 1)[-1])
    except (OSError, ValueError):
        return
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            args = f.read().split(b"\0")
        real = os.path.realpath(profile).encode()
        if any(a.startswith(b"--user-data-dir=") and os.path.realpath(a[16:]) == real for a in args):
            if not gone_within(pid, wait):
                return
    except OSError:
        pass
    for name in ("SingletonLock", "SingletonSocket", "SingletonCookie"):
        try:
            os.unlink(os.path.join(profile, name))
        except OSError:
            pass


def gone_within(pid, seconds):
    """Waits (without polling) until process `pid` has ended; False when it outlives `seconds`."""
    try:
        fd = os.pidfd_open(pid)
    except (OSError, AttributeError):
        return False
    try:
        poller = select.poll()
        poller.register(fd, select.POLLIN)
        return bool(poller.poll(int(seconds * 1000)))
    finally:
        os.close(fd)


def virtual_key(keysym):
    """The Windows virtual key of a letter, digit or F1 to F24 key, else 0."""
    if ord("a") <= keysym <= ord("z"):
        return keysym - 32
    if ord("A") <= keysym <= ord("Z") or ord("0") <= keysym <= ord("9"):
        return keysym
    if 0xFFBE <= keysym <= 0xFFD5:  # XK_F1 .. XK_F24
        return 0x70 + keysym - 0xFFBE
    return 0


def hot_key_candidate(vk, m):
    """Whether a key with virtual key `vk` and modifiers `m` (as in the "key" event)
    could be a hot key worth telling: F1 to F24, or a letter or digit with Alt, Ctrl
    or Super held. Plain typing is never told (the client's HostSeesKey names the same)."""
    return 0x70 <= vk <= 0x87 or (m & 7) != 0


def relaunch_argv(engine_argv, url):
    """The command that asks the running engine (through its process singleton) for
    one more app window showing `url`."""
    keep = ("--user-data-dir=", "--no-sandbox", "--test-type", "--ozone-platform=", "--class=")
    argv = [engine_argv[0]] + [a for a in engine_argv[1:] if a.startswith(keep)]
    return argv + ["--app=" + url]


class Embedded:
    """One browser's engine window and the clip window that holds it."""

    def __init__(self, number):
        self.number = number
        self.token = None
        self.engine = None  # the engine's X window, once found
        self.clip = None  # our window inside the client's, created on the first place
        self.parent = None
        self.rect = None  # x, y, w, h inside the parent
        self.inset = (0, 0, 0, 0)
        self.show = False
        self.input = True
        self.claim = None  # (left, top) a popup's window will be moved to
        self.frozen = False  # a still of the window shows in its place


class Embedder:
    def __init__(self, send, window_class, display_name=None, connection=None):
        """`send(dict)` queues an event for the client; `connection` (from connect())
        is taken over, else one is opened to `display_name`."""
        self.send = send
        self.window_class = window_class
        self.dpy = connection or display.Display(display_name)
        self.dpy.set_error_handler(lambda *_: None)  # windows vanish under us: not an error
        self.root = self.dpy.screen().root
        self.atom_class = Xatom.WM_CLASS
        self.root.change_attributes(event_mask=X.SubstructureNotifyMask)
        # Never mapped: whatever is inside it can never be seen.
        self.park = self.root.create_window(-100, -100, 1, 1, 0, X.CopyFromParent,
                                            override_redirect=True)
        self.browsers = {}  # number -> Embedded
        self.parked = {}  # engine window id -> (x, y) the engine last put it at
        self.known = set()  # window ids checked already (ours or not)
        self.focus_before = None  # the focus when the engine started making a window
        self.parents = {}  # parent window id -> number of clip windows in it
        # Keys pressed in the engine's windows come to us as well through XInput 2
        # (the engine takes its keys that way, and a core selection would then see none).
        try:
            version = self.dpy.xinput_query_version()
            self.keys = (version.major_version, version.minor_version) >= (2, 0)
        except Exception:  # noqa: BLE001 - no XInput on this display: keys only through the page
            self.keys = False
        self.dpy.sync()

    def fileno(self):
        return self.dpy.fileno()

    # ---- events from X --------------------------------------------------------

    def on_readable(self):
        self.dpy.pending_events()  # reads what arrived
        self.drain()

    def drain(self):
        while self.dpy.pending_events():
            ev = self.dpy.next_event()
            try:
                self.handle(ev)
            except error.XError:
                pass  # the window went while we looked at it
        self.dpy.flush()

    def handle(self, ev):
        t = ev.type
        if t == GENERIC_EVENT:
            if getattr(ev, "evtype", None) == xinput.KeyPress:
                self.on_key(ev.data)
        elif t == X.CreateNotify and ev.parent == self.root:
            if self.focus_before is None:
                self.focus_before = self.dpy.get_input_focus().focus
            self.consider(ev.window, ev.override)
        elif t == X.PropertyNotify and ev.atom == self.atom_class:
            self.consider(ev.window, False)
        elif t == X.MapNotify and ev.event == self.root:
            self.consider(ev.window, ev.override)
        elif t == X.ConfigureNotify:
            self.on_configure(ev)
        elif t == X.ButtonPress:
            self.on_press(ev)
        elif t == X.FocusIn:
            b = self.by_engine(ev.window.id)
            focus = getattr(self.dpy.get_input_focus().focus, "id", None)
            if b and b.parent is not None and focus == b.engine.id:
                # The engine took the focus itself: it goes to the client's window.
                self.dpy.set_input_focus(b.parent, X.RevertToParent, X.CurrentTime)
        elif t == X.DestroyNotify:
            self.on_destroy(ev.window.id)

    def consider(self, win, override):
        """A new top-level window: the engine's ones are taken before they show."""
        if win.id in self.known or override:
            return
        try:
            cls = win.get_wm_class()
        except error.XError:
            return
        if not cls:
            # Its class is set later; look again then.
            win.change_attributes(event_mask=X.PropertyChangeMask)
            return
        self.known.add(win.id)
        if cls[1] != self.window_class:
            return
        win.change_attributes(event_mask=X.StructureNotifyMask | X.FocusChangeMask)
        self.parked[win.id] = (OFFSCREEN, OFFSCREEN)
        win.reparent(self.park, OFFSCREEN, OFFSCREEN)
        # Made while unviewable, the window could not take the focus; if it was
        # quicker than us, the focus (or where it fell back to when we took the window)
        # goes back where it was.
        focus = getattr(self.dpy.get_input_focus().focus, "id", None)
        before = self.focus_before
        if before is not None and focus in (win.id, self.root.id) and focus != getattr(before, "id", before):
            self.dpy.set_input_focus(before, X.RevertToParent, X.CurrentTime)
        self.focus_before = None
        for b in self.browsers.values():
            if b.engine is None and b.token and b.token in cls[0]:
                self.adopt(b, win)
                return

    def adopt(self, b, win):
        b.engine = win
        self.parked.pop(win.id, None)
        win.grab_button(X.AnyButton, X.AnyModifier, True, X.ButtonPressMask, X.GrabModeSync,
                        X.GrabModeAsync, X.NONE, X.NONE)
        if self.keys:
            win.xinput_select_events([(xinput.AllMasterDevices, xinput.KeyPressMask)])
        self.send({"window": b.number})
        self.apply(b)

    def on_configure(self, ev):
        wid = ev.window.id
        if wid in self.parked:
            self.parked[wid] = (ev.x, ev.y)
            for b in self.browsers.values():
                if b.engine is None and b.claim == (ev.x, ev.y):
                    self.adopt(b, ev.window)
                    return
            return
        b = self.by_engine(wid)
        if b:
            # The engine resized or moved its window itself (a page's resizeTo):
            # it goes back to the client's rectangle.
            want = self.engine_geometry(b)
            if want and (ev.x, ev.y, ev.width, ev.height) != want and not ev.send_event:
                b.engine.configure(x=want[0], y=want[1], width=want[2], height=want[3])
            return
        if wid in self.parents:
            # The client's window moved: the engine hears where it now is on the
            # screen, as a window manager would tell it, so its menus and popups
            # open at the right places.
            for b in self.browsers.values():
                if b.parent is not None and b.parent.id == wid:
                    self.tell_position(b)

    def on_press(self, ev):
        b = self.by_engine(ev.window.id)
        if b is None:
            self.dpy.allow_events(X.ReplayPointer, ev.time)
            return
        if b.input:
            if ev.detail in (1, 2, 3) and b.parent is not None:
                focus = getattr(self.dpy.get_input_focus().focus, "id", None)
                if focus != b.parent.id:
                    # Clicked while something else has the keyboard: the client's
                    # window takes it, as a click into it would.
                    self.dpy.set_input_focus(b.parent, X.RevertToParent, ev.time)
            self.dpy.allow_events(X.ReplayPointer, ev.time)
        else:
            # The client's window is disabled: the press, and its release, go nowhere.
            self.dpy.allow_events(X.AsyncPointer, ev.time)
        self.send({"pressed": b.number, "button": ev.detail})

    def on_key(self, data):
        b = self.by_engine(data.event.id)
        vk = virtual_key(self.dpy.keycode_to_keysym(data.detail, 0))
        if b is None or not vk:  # not a page of ours, or no key a hot key is made of
            return
        mods = data.mods.effective_mods
        m = ((1 if mods & X.Mod1Mask else 0) | (2 if mods & X.ControlMask else 0) |
             (4 if mods & X.Mod4Mask else 0) | (8 if mods & X.ShiftMask else 0))
        if hot_key_candidate(vk, m):
            self.send({"key": b.number, "vk": vk, "m": m})

    def on_destroy(self, wid):
        self.parked.pop(wid, None)
        self.known.discard(wid)
        b = self.by_engine(wid)
        if b:
            b.engine = None
            self.send({"gone": b.number})

    def by_engine(self, wid):
        for b in self.browsers.values():
            if b.engine is not None and b.engine.id == wid:
                return b
        return None

    # ---- commands from the client -----------------------------------------------

    def command(self, msg):
        try:
            self.run(msg)
        except (error.XError, KeyError, TypeError, ValueError, struct.error):
            pass  # a command about a window that went, or a malformed one: nothing to do
        self.drain()

    def run(self, msg):
        if "open" in msg:
            b = self.browsers.setdefault(int(msg["open"]), Embedded(int(msg["open"])))
            b.token = str(msg["token"])
            for wid in list(self.parked):
                win = self.dpy.create_resource_object("window", wid)
                cls = win.get_wm_class()
                if cls and b.token in cls[0]:
                    self.adopt(b, win)
                    break
        elif "claim" in msg:
            b = self.browsers.setdefault(int(msg["claim"]), Embedded(int(msg["claim"])))
            b.claim = (int(msg["left"]), int(msg["top"]))
            for wid, pos in list(self.parked.items()):
                if pos == b.claim:
                    self.adopt(b, self.dpy.create_resource_object("window", wid))
                    break
        elif "place" in msg:
            b = self.browsers.setdefault(int(msg["place"]), Embedded(int(msg["place"])))
            parent = self.dpy.create_resource_object("window", int(msg["parent"]))
            b.rect = (int(msg["x"]), int(msg["y"]), max(1, int(msg["w"])), max(1, int(msg["h"])))
            b.show = bool(msg.get("show", True))
            inset = msg.get("inset") or (0, 0, 0, 0)
            b.inset = tuple(int(v) for v in inset)
            self.set_parent(b, parent)
            self.apply(b)
        elif "freeze" in msg:
            b = self.browsers.get(int(msg["freeze"]))
            if b:
                self.set_frozen(b, bool(msg.get("on")))
        elif "input" in msg:
            b = self.browsers.get(int(msg["input"]))
            if b:
                b.input = bool(msg["enabled"])
        elif "close" in msg:
            b = self.browsers.pop(int(msg["close"]), None)
            if b:
                self.release(b)
            self.dpy.sync()  # done before the client's window may go
            if "ack" in msg:
                self.send({"closed": int(msg["close"]), "ack": msg["ack"]})

    def set_frozen(self, b, frozen):
        if frozen == b.frozen or b.clip is None:
            return
        b.frozen = frozen
        if frozen and b.engine is not None and b.show:
            # The still becomes the clip window's background, so it shows the moment
            # the engine's window is taken away, and for as long as it is.
            w, h = b.rect[2], b.rect[3]
            left, top = b.inset[0], b.inset[1]
            try:
                image = b.engine.get_image(left, top, w, h, X.ZPixmap, 0xFFFFFFFF)
                depth = b.clip.get_geometry().depth
                if image.depth == depth:
                    still = b.clip.create_pixmap(w, h, depth)
                    gc = still.create_gc()
                    # In bands: one request carries at most 256 KB.
                    row = len(image.data) // h
                    band = max(1, 200000 // row)
                    for y in range(0, h, band):
                        rows = min(band, h - y)
                        still.put_image(gc, 0, y, w, rows, X.ZPixmap, depth, 0,
                                        image.data[y * row:(y + rows) * row])
                    gc.free()
                    b.clip.change_attributes(background_pixmap=still)
                    still.free()
                    b.clip.clear_area()
            except error.XError:
                pass  # no still to be had: the clip's own white then
        elif not frozen:
            b.clip.change_attributes(background_pixel=self.dpy.screen().white_pixel)
        self.apply(b)

    def set_parent(self, b, parent):
        if b.parent is not None and b.parent.id == parent.id and b.clip is not None:
            return
        if b.clip is not None:
            self.drop_clip(b)
        b.parent = parent
        x, y, w, h = b.rect
        b.clip = parent.create_window(x, y, w, h, 0, X.CopyFromParent, X.InputOutput, X.CopyFromParent,
                                      background_pixel=self.dpy.screen().white_pixel)
        n = self.parents.get(parent.id, 0)
        if n == 0:
            parent.change_attributes(event_mask=X.StructureNotifyMask)
        self.parents[parent.id] = n + 1

    def drop_clip(self, b):
        if b.engine is not None:
            b.engine.unmap()
            b.engine.reparent(self.park, OFFSCREEN, OFFSCREEN)
        b.clip.destroy()
        b.clip = None
        pid = b.parent.id
        self.parents[pid] -= 1
        if self.parents[pid] == 0:
            del self.parents[pid]
        b.parent = None

    def release(self, b):
        if b.clip is not None:
            self.drop_clip(b)
        if b.engine is not None:
            b.engine.ungrab_button(X.AnyButton, X.AnyModifier)
            self.parked[b.engine.id] = (OFFSCREEN, OFFSCREEN)
            b.engine = None

    def engine_geometry(self, b):
        if b.rect is None:
            return None
        l, t, r, bottom = b.inset
        return (-l, -t, b.rect[2] + l + r, b.rect[3] + t + bottom)

    def apply(self, b):
        """Brings the windows in line with what the client last asked for."""
        if b.clip is None or b.rect is None:
            return
        x, y, w, h = b.rect
        b.clip.configure(x=x, y=y, width=w, height=h, stack_mode=X.Above)
        if b.engine is None:
            if b.show:
                b.clip.map()
            else:
                b.clip.unmap()
            return
        geometry = self.engine_geometry(b)
        if b.engine.query_tree().parent.id != b.clip.id:
            b.engine.reparent(b.clip, geometry[0], geometry[1])
        b.engine.configure(x=geometry[0], y=geometry[1], width=geometry[2], height=geometry[3])
        if b.show and not b.frozen:
            b.engine.map()
            b.clip.map()
        elif b.show:
            b.clip.map()
            b.engine.unmap()
        else:
            b.clip.unmap()
            b.engine.unmap()
        self.tell_position(b)

    def tell_position(self, b):
        if b.engine is None or b.clip is None:
            return
        geometry = self.engine_geometry(b)
        rx, ry = self.root_position(b.clip)
        ev = xevent.ConfigureNotify(event=b.engine, window=b.engine, above_sibling=X.NONE,
                                    x=rx + geometry[0], y=ry + geometry[1], width=geometry[2],
                                    height=geometry[3], border_width=0, override=False)
        b.engine.send_event(ev, event_mask=X.StructureNotifyMask)

    def root_position(self, win):
        pos = self.root.translate_coords(win, 0, 0)
        return pos.x, pos.y

    def close(self):
        try:
            for b in list(self.browsers.values()):
                self.release(b)
            self.dpy.sync()
            self.dpy.close()
        except Exception:  # noqa: BLE001 - the display may be gone already
            pass
