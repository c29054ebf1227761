"""Shared machinery of the system tests: the portal, a copy of the client with its
own Config.ini, the client under Wine on the test display, its windows as X sees
them, real input through xdotool, and screenshots."""
import glob
import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time

import devtools

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.environ.get("VORNMARK_BUILD", os.path.join(ROOT, "build"))
PREFIX = os.path.join(BUILD, "wineprefix")
PORTAL_PORT = int(os.environ.get("VORNMARK_PORTAL_PORT", "18765"))  # the build's hosts point here
SHOTS = os.path.join(BUILD, "system-shots")


def wine_env(test_devtools=True):
    env = dict(os.environ)
    env["WINEPREFIX"] = PREFIX
    env.setdefault("WINEDEBUG", "-all")
    env.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=;winemenubuilder.exe=d")
    # The tests' own way into the pages: the engine's host then opens a DevTools
    # port as well (on 127.0.0.1, named in the profile's DevToolsActivePort). Only
    # this harness sets it; a normal run has no port at all.
    if test_devtools:
        env["VORNMARK_TEST_DEVTOOLS"] = "1"
    else:
        env.pop("VORNMARK_TEST_DEVTOOLS", None)
    return env


def wait_for(predicate, timeout, what, interval=0.1, seen=None):
    """Waits for an outside process's state; there is nothing to block on here.
    A page met between documents (navigating, its target closed, no context yet)
    or an engine coming back is "not yet"; the last such error is named on a timeout.
    `seen`, for waits whose failure needs more than that: on a timeout the screen is
    kept as "failed-<what>" and `seen()`'s account of what was there is named."""
    deadline = time.time() + timeout
    last_error = None
    while time.time() < deadline:
        try:
            value = predicate()
        except devtools.TRANSIENT as e:
            value, last_error = None, e
        if value:
            return value
        time.sleep(interval)
    detail = f" (last: {type(last_error).__name__}: {last_error})" if last_error else ""
    if seen:
        screenshot("failed-" + re.sub(r"\W+", "-", what, flags=re.ASCII).strip("-"))
        try:
            detail += f"; seen: {seen()}"
        except Exception as e:  # a page between documents tells nothing more
            detail += f"; seen: {type(e).__name__}: {e}"
    raise AssertionError(f"timed out after {timeout} s waiting for {what}{detail}")


class Portal:
    def __init__(self, extra=()):
        self.dir = tempfile.mkdtemp(prefix="vm-portal-")
        self.log = os.path.join(self.dir, "log.jsonl")
        self.proc = subprocess.Popen(["/usr/bin/python3", "-u", os.path.join(ROOT, "portal", "portal.py"),
                                      "--port", str(PORTAL_PORT), "--log", self.log, "--quiet",
                                      "--assets", os.path.join(BUILD, "portal"), *extra],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        first = self.proc.stdout.readline()
        if not first.startswith("PORT"):
            err = self.proc.stderr.read() if self.proc.poll() is not None else ""
            raise AssertionError(f"portal did not start on {PORTAL_PORT}: {first!r} {err}")

    def records(self, kind=None):
        if not os.path.exists(self.log):
            return []
        out = []
        with open(self.log, encoding="utf-8") as f:
            for line in f:
                line = line.strip()
                if line:
                    rec = json.loads(line)
                    if kind is None or rec.get("kind") == kind:
                        out.append(rec)
        return out

    def reports_with_action(self, action):
        return [r for r in self.records("report") if (r.get("form") or {}).get("action") == [action]]

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        for stream in (self.proc.stdout, self.proc.stderr):
            stream.close()
        shutil.rmtree(self.dir, ignore_errors=True)


class Client:
    """A copy of vornmark.exe in its own folder, run under Wine; with the Flash
    Player emulator's folder beside it as an installation has it, unless `flash`
    is false."""

    def __init__(self, folder=None, flash=True):
        self.dir = folder or tempfile.mkdtemp(prefix="vm-client-")
        self.own_dir = folder is None
        self.exe = os.path.join(self.dir, "vornmark.exe")
        if not os.path.exists(self.exe):
            # The engine's host ships beside the executable.
            for name in ("vornmark.exe", "engine_host.py", "xembed.py"):
                shutil.copy(os.path.join(BUILD, name), os.path.join(self.dir, name))
        emulator = os.path.join(self.dir, "ruffle")
        if flash and not os.path.exists(emulator):
            os.symlink(os.path.join(BUILD, "ruffle"), emulator)
        self.ini = os.path.join(self.dir, "Config.ini")
        self.proc = None

    def start(self, test_devtools=True, chinese_code_page=False, env=None):
        """`env`: more variables for the client (an input method's)."""
        run_env = wine_env(test_devtools)
        if chinese_code_page:
            # Wine takes the system code page from the locale: zh_CN gives 936, as on
            # a Chinese Windows (the locale is the build's own, made by setup); an
            # input method's composition then also reaches the window while it is typed.
            run_env.update(LANG="zh_CN.UTF-8", LC_ALL="zh_CN.UTF-8", LOCPATH=os.path.join(BUILD, "locale"))
        run_env.update(env or {})
        # Every client's engine uses the same profile folder in the prefix: the port
        # file a former engine left there must not be taken for this one's.
        profile = engine_profile()
        if profile:
            try:
                os.remove(os.path.join(profile, "DevToolsActivePort"))
            except FileNotFoundError:
                pass
        self.proc = subprocess.Popen(["wine", self.exe], cwd=self.dir, env=run_env,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return self

    def wait_exit(self, timeout=60):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError(f"the client did not exit within {timeout} s")

    def kill(self):
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()

    def read_ini(self):
        if not os.path.exists(self.ini):
            return ""
        with open(self.ini, "rb") as f:
            raw = f.read()
        if raw.startswith(b"\xff\xfe"):
            return raw.decode("utf-16")
        for enc in ("utf-8", "gbk", "latin-1"):
            try:
                return raw.decode(enc)
            except UnicodeDecodeError:
                pass
        return raw.decode("latin-1")

    def ini_value(self, section, key):
        current = None
        for line in self.read_ini().splitlines():
            line = line.strip()
            if line.startswith("[") and line.endswith("]"):
                current = line[1:-1].lower()
            elif "=" in line and current == section.lower():
                k, v = line.split("=", 1)
                if k.strip().lower() == key.lower():
                    return v.strip()
        return None

    def windows(self):
        """Visible X windows of the client: list of (id, x, y, w, h)."""
        if not self.proc:
            return []
        r = subprocess.run(["xdotool", "search", "--all", "--onlyvisible", "--pid", str(self.proc.pid), ""],
                           capture_output=True, text=True)
        out = []
        for wid in r.stdout.split():
            g = subprocess.run(["xdotool", "getwindowgeometry", "--shell", wid], capture_output=True, text=True)
            vals = dict(line.split("=", 1) for line in g.stdout.split() if "=" in line)
            try:
                out.append((wid, int(vals["X"]), int(vals["Y"]), int(vals["WIDTH"]), int(vals["HEIGHT"])))
            except KeyError:
                pass
        return out

    def window_named(self, prefix):
        """A visible window of the client whose title starts with `prefix`: (id, x, y, w, h) or None."""
        if not self.proc:
            return None
        r = subprocess.run(["xdotool", "search", "--all", "--onlyvisible", "--pid", str(self.proc.pid),
                            "--name", "^" + re.escape(prefix)], capture_output=True, text=True)
        named = set(r.stdout.split())
        for win in self.windows():
            if win[0] in named:
                return win
        return None

    def window_sized(self, w, h):
        for win in self.windows():
            if win[3] == w and win[4] == h:
                return win
        return None

    def cleanup(self):
        self.kill()
        if self.own_dir:
            shutil.rmtree(self.dir, ignore_errors=True)


class InputMethod:
    """fcitx5 with pinyin on the test display: its own session bus and a configuration
    of its own in a fresh folder (fcitx5 learns: a fresh one keeps 你好 the first
    candidate of "nihao"), pinyin on in every window that takes the keyboard focus.
    `env` is what a program needs to use it."""

    CONFIG = {
        "fcitx5/profile": "[Groups/0]\nName=Default\nDefault Layout=us\nDefaultIM=pinyin\n\n"
                          "[Groups/0/Items/0]\nName=keyboard-us\nLayout=\n\n"
                          "[Groups/0/Items/1]\nName=pinyin\nLayout=\n\n[GroupOrder]\n0=Default\n",
        "fcitx5/config": "[Behavior]\nActiveByDefault=True\nShareInputState=No\n",
        # The composition goes to the program while it is typed (Wine shows it inline then).
        "fcitx5/conf/xim.conf": "UseOnTheSpot=True\n",
    }

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="vm-ime-")
        self.proc = None
        self.bus_pid = None
        for name, text in self.CONFIG.items():
            path = os.path.join(self.dir, "config", name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w") as f:
                f.write(text)
        bus = subprocess.run(["dbus-daemon", "--session", "--fork", "--print-address=1", "--print-pid=1"],
                             capture_output=True, text=True, check=True)
        address, pid = bus.stdout.split()[:2]
        self.bus_pid = int(pid)
        self.env = {"DBUS_SESSION_BUS_ADDRESS": address, "XMODIFIERS": "@im=fcitx", "GTK_IM_MODULE": "fcitx",
                    "QT_IM_MODULE": "fcitx"}
        env = dict(os.environ, HOME=self.dir, XDG_CONFIG_HOME=os.path.join(self.dir, "config"),
                   XDG_DATA_HOME=os.path.join(self.dir, "data"), **self.env)
        self.log = os.path.join(self.dir, "fcitx5.log")
        with open(self.log, "w") as out:
            self.proc = subprocess.Popen(["fcitx5", "--verbose=*=4"], env=env, stdout=out, stderr=subprocess.STDOUT,
                                         stdin=subprocess.DEVNULL)
        try:
            wait_for(lambda: self.proc.poll() is not None or "Loaded addon pinyin" in self.log_text(), 30,
                     "fcitx5's pinyin")
            if self.proc.poll() is not None:
                raise AssertionError("fcitx5 ended: " + self.log_text()[-2000:])
        except AssertionError:
            self.stop()
            raise

    def log_text(self):
        with open(self.log, encoding="utf-8", errors="replace") as f:
            return f.read()

    def state(self):
        """fcitx5-remote's answer for the focused window: 1 off, 2 on (pinyin)."""
        r = subprocess.run(["fcitx5-remote"], env=dict(os.environ, **self.env), capture_output=True, text=True)
        return r.stdout.strip()

    def candidate_window(self):
        """fcitx5's candidate window on the screen, (x, y, w, h), or None while it shows none."""
        r = subprocess.run(["xdotool", "search", "--onlyvisible", "--class", "fcitx"], capture_output=True, text=True)
        for wid in r.stdout.split():
            g = subprocess.run(["xdotool", "getwindowgeometry", "--shell", wid], capture_output=True, text=True)
            vals = dict(line.split("=", 1) for line in g.stdout.split() if "=" in line)
            if "X" in vals:
                return int(vals["X"]), int(vals["Y"]), int(vals["WIDTH"]), int(vals["HEIGHT"])
        return None

    def on(self):
        """Pinyin on in the window with the keyboard focus."""
        subprocess.run(["fcitx5-remote", "-o"], env=dict(os.environ, **self.env), check=True)
        wait_for(lambda: self.state() == "2", 5, "pinyin on")

    def off(self):
        subprocess.run(["fcitx5-remote", "-c"], env=dict(os.environ, **self.env), check=True)
        wait_for(lambda: self.state() == "1", 5, "pinyin off")

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        if self.bus_pid:
            try:
                os.kill(self.bus_pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            self.bus_pid = None
        shutil.rmtree(self.dir, ignore_errors=True)


def click(x, y, button=1):
    subprocess.run(["xdotool", "mousemove", "--sync", str(x), str(y)], check=True)
    time.sleep(0.05)
    subprocess.run(["xdotool", "click", str(button)], check=True)


def focus(wid):
    """Gives the X keyboard focus to window `wid` (a bare display has no window
    manager to do it on a click)."""
    subprocess.run(["xdotool", "windowfocus", "--sync", str(wid)], check=True)


def move(x, y):
    subprocess.run(["xdotool", "mousemove", "--sync", str(x), str(y)], check=True)


def type_text(text):
    subprocess.run(["xdotool", "type", "--delay", "40", text], check=True)


def key(*keys):
    subprocess.run(["xdotool", "key", *keys], check=True)


def screenshot(name):
    time.sleep(0.5)  # let the last change reach the screen
    os.makedirs(SHOTS, exist_ok=True)
    path = os.path.join(SHOTS, name + ".png")
    subprocess.run(["/usr/bin/import", "-window", "root", path], check=True)
    return path


def grab(x, y, w, h):
    """The screen's pixels in a rectangle: a list of rows of (r, g, b)."""
    r = subprocess.run(["/usr/bin/import", "-window", "root", "-crop", f"{w}x{h}+{x}+{y}", "-depth", "8", "rgb:-"],
                       capture_output=True, check=True)
    data = r.stdout
    if len(data) != w * h * 3:
        raise AssertionError(f"screen grab of {w}x{h} gave {len(data)} bytes")
    return [[tuple(data[(row * w + col) * 3:(row * w + col) * 3 + 3]) for col in range(w)] for row in range(h)]


def drag(x1, y1, x2, y2):
    """Presses the left button at (x1, y1), moves to (x2, y2) in steps and lets go."""
    subprocess.run(["xdotool", "mousemove", "--sync", str(x1), str(y1), "mousedown", "1"], check=True)
    for i in range(1, 6):
        time.sleep(0.05)
        subprocess.run(["xdotool", "mousemove", str(x1 + (x2 - x1) * i // 5), str(y1 + (y2 - y1) * i // 5)],
                       check=True)
    time.sleep(0.1)
    subprocess.run(["xdotool", "mouseup", "1"], check=True)


def screen_pixels(points):
    """The colours (r, g, b) of the screen at `points`, from one picture of the screen."""
    from PIL import Image
    path = os.path.join(tempfile.gettempdir(), "vm-screen-%d.png" % os.getpid())
    subprocess.run(["/usr/bin/import", "-window", "root", path], check=True)
    with Image.open(path) as img:
        rgb = img.convert("RGB")
        out = [rgb.getpixel(p) for p in points]
    os.remove(path)
    return out


def engine_windows():
    """The engine's own top-level-made windows as X has them: (id, viewable, inside)
    for each window of the engine's class, `inside` naming the top-level window of
    the screen it lies in (None when it is a top-level itself)."""
    try:
        from Xlib import X, display
    except ImportError:
        return []
    d = display.Display()
    out = []
    try:
        root = d.screen().root

        def walk(win, top):
            for child in win.query_tree().children:
                try:
                    cls = child.get_wm_class()
                    attrs = child.get_attributes()
                except Exception:  # gone meanwhile
                    continue
                if cls and cls[1].startswith("vornmark-engine-"):
                    out.append((child.id, attrs.map_state == X.IsViewable, top))
                walk(child, top if top is not None else child.id)

        walk(root, None)
    finally:
        d.close()
    return out


def focused_window():
    """The X window with the keyboard focus, as xdotool names windows."""
    r = subprocess.run(["xdotool", "getwindowfocus"], capture_output=True, text=True)
    return r.stdout.strip()


def screen_size():
    r = subprocess.run(["xdotool", "getdisplaygeometry"], capture_output=True, text=True, check=True)
    w, h = r.stdout.split()
    return int(w), int(h)


def engine_profile():
    """The client's cache folder, which is the engine's profile."""
    found = glob.glob(os.path.join(PREFIX, "drive_c", "users", "*", "AppData", "Local", "vorn"))
    return found[0] if found else None


def set_wine_browser(recorder):
    """Points Wine's web-browser launcher at `recorder`; returns the previous value."""
    key_path = r"HKCU\Software\Wine\WineBrowser"
    q = subprocess.run(["wine", "reg", "query", key_path, "/v", "Browsers"], env=wine_env(),
                       capture_output=True, text=True)
    previous = None
    for line in q.stdout.splitlines():
        if "Browsers" in line and "REG_SZ" in line:
            previous = line.split("REG_SZ", 1)[1].strip()
    subprocess.run(["wine", "reg", "add", key_path, "/v", "Browsers", "/t", "REG_SZ", "/d", recorder, "/f"],
                   env=wine_env(), capture_output=True, check=True)
    return previous


class BrowserRecorder:
    """Stands in for the system's web browser: records every address the shell
    hands over, one a line. restore() puts the previous browser back."""

    def __init__(self, folder):
        self.log = os.path.join(folder, "opened.txt")
        self.script = os.path.join(folder, "browser.sh")
        with open(self.script, "w") as f:
            f.write(f"#!/bin/sh\nprintf '%s\\n' \"$1\" >> '{self.log}'\n")
        os.chmod(self.script, 0o755)
        self.previous = set_wine_browser(self.script)

    def opened(self):
        if not os.path.exists(self.log):
            return []
        with open(self.log) as f:
            return [line.rstrip("\n") for line in f if line.strip()]

    def restore(self):
        restore_wine_browser(self.previous)


def restore_wine_browser(previous):
    key_path = r"HKCU\Software\Wine\WineBrowser"
    if previous is None:
        subprocess.run(["wine", "reg", "delete", key_path, "/v", "Browsers", "/f"], env=wine_env(),
                       capture_output=True)
    else:
        subprocess.run(["wine", "reg", "add", key_path, "/v", "Browsers", "/t", "REG_SZ", "/d", previous, "/f"],
                       env=wine_env(), capture_output=True)


def close_from_launcher(client, timeout=60):
    """Closes a run that is still on the login screen the way a player does: the
    launcher's close button, then 确定 in the dialog. Returns the exit code."""
    launcher = wait_for(lambda: client.window_sized(1230, 728), 60, "the launcher")
    click(launcher[1] + 1215, launcher[2] + 15)
    dialog = wait_for(lambda: client.window_sized(295, 190), 15, "the close dialog")
    click(dialog[1] + 84, dialog[2] + 117)
    return client.wait_exit(timeout)


def post_to_frame(message, wparam, lparam):
    """Posts a message to the client's frame window from inside Wine, as the shell
    does for notification-area clicks (this display has no notification area)."""
    r = subprocess.run(["wine", os.path.join(BUILD, "winpost.exe"), "velmarcorve", hex(message), hex(wparam),
                        hex(lparam)], env=wine_env(), capture_output=True)
    if r.returncode != 0:
        raise AssertionError(f"winpost failed with {r.returncode}")


WM_SYSCOMMAND = 0x0112
SC_RESTORE = 0xF120
WM_TRAY_NOTIFY = 0x15B4
TRAY_ICON_ID = 128
WM_LBUTTONDBLCLK = 0x203
WM_RBUTTONUP = 0x205


# ---- the engine, seen from outside ---------------------------------------------

def _read(path, mode="r"):
    try:
        with open(path, mode) as f:
            return f.read()
    except OSError:
        return None


def _stat(pid):
    """(state, ppid, pgrp) of a process, or None when it is gone."""
    text = _read(f"/proc/{pid}/stat")
    if not text:
        return None
    fields = text.rsplit(")", 1)[1].split()
    return fields[0], int(fields[1]), int(fields[2])


def _pids():
    return [int(p) for p in os.listdir("/proc") if p.isdigit()]


def engine_pids(profile):
    """The live processes of the engine running on `profile`: its browser process's
    whole process group (zombies have ended and do not count)."""
    want = os.path.realpath(profile)
    groups = set()
    for pid in _pids():
        raw = _read(f"/proc/{pid}/cmdline", "rb")
        if not raw:
            continue
        args = raw.decode("utf-8", "replace").split("\0")
        if any(a.startswith("--type=") for a in args):
            continue
        for a in args:
            if a.startswith("--user-data-dir=") and os.path.realpath(a.split("=", 1)[1]) == want:
                st = _stat(pid)
                # The engine leads a group of its own; its host carries the same
                # arguments but stays in the client's group.
                if st and st[0] not in "ZX" and st[2] == pid:
                    groups.add(st[2])
    out = []
    for pid in _pids():
        st = _stat(pid)
        if st and st[2] in groups and st[0] not in "ZX":
            out.append(pid)
    return out


def engine_browser_pid(profile):
    """The engine's browser process (the leader of its group), or None."""
    for pid in engine_pids(profile):
        st = _stat(pid)
        if st and st[2] == pid:
            return pid
    return None


def engine_processes_of_type(profile, kind):
    return [pid for pid in engine_pids(profile)
            if f"--type={kind}".encode() in (_read(f"/proc/{pid}/cmdline", "rb") or b"")]


def client_pid(client):
    """The client's own process (Wine's process for vornmark.exe in `client.dir`), or None."""
    folder = os.path.basename(client.dir.rstrip("/"))
    for pid in _pids():
        raw = _read(f"/proc/{pid}/cmdline", "rb") or b""
        text = raw.decode("utf-8", "replace")
        if "vornmark.exe" in text and folder in text and "--type=" not in text:
            st = _stat(pid)
            if st and st[0] not in "ZX":
                return pid
    return None


def process_figures(pid):
    """(threads, resident MB, address space MB) of a live process, or None."""
    text = _read(f"/proc/{pid}/status")
    if not text:
        return None
    fields = dict(line.split(":", 1) for line in text.splitlines() if ":" in line)
    try:
        return (int(fields["Threads"]), int(fields["VmRSS"].split()[0]) // 1024,
                int(fields["VmSize"].split()[0]) // 1024)
    except (KeyError, ValueError, IndexError):
        return None


def flash_server_port(profile):
    """The port of the client's Flash file server, as the engine's command line names it."""
    pid = engine_browser_pid(profile)
    raw = _read(f"/proc/{pid}/cmdline", "rb") if pid else None
    for a in (raw or b"").decode("utf-8", "replace").split("\0"):
        m = re.match(r"--ip-address-space-overrides=127\.0\.0\.1:(\d+)=public$", a)
        if m:
            return int(m.group(1))
    return None


def parent_of(pid):
    st = _stat(pid)
    return st[1] if st else None


def listening_sockets():
    """{inode: (address, port)} of every listening TCP socket."""
    out = {}
    for name in ("/proc/net/tcp", "/proc/net/tcp6"):
        text = _read(name) or ""
        for line in text.splitlines()[1:]:
            fields = line.split()
            if len(fields) > 9 and fields[3] == "0A":
                addr, port = fields[1].split(":")
                out[fields[9]] = (addr, int(port, 16))
    return out


def sockets_of(pid):
    """Inodes of the sockets process `pid` holds."""
    out = set()
    try:
        fds = os.listdir(f"/proc/{pid}/fd")
    except OSError:
        return out
    for fd in fds:
        try:
            target = os.readlink(f"/proc/{pid}/fd/{fd}")
        except OSError:
            continue
        if target.startswith("socket:["):
            out.add(target[8:-1])
    return out


def devtools_pages_on(port, timeout=0.5):
    """The page addresses a DevTools endpoint on 127.0.0.1:`port` lists; None when
    nothing there answers as DevTools does."""
    import urllib.request
    try:
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/json/list", timeout=timeout) as r:
            data = json.loads(r.read().decode("utf-8", "replace"))
    except Exception:
        return None
    if not isinstance(data, list):
        return None
    return [t.get("url", "") for t in data if isinstance(t, dict)]


def screen_image():
    """The whole screen as a Pillow image."""
    import io
    from PIL import Image
    png = subprocess.run(["/usr/bin/import", "-window", "root", "png:-"], capture_output=True, check=True).stdout
    return Image.open(io.BytesIO(png)).convert("RGB")


def near(color, want, tolerance=12):
    return all(abs(a - b) <= tolerance for a, b in zip(color, want))


def screen_pixel(x, y):
    """One pixel of the screen as (r, g, b): quick enough to poll."""
    raw = subprocess.run(["/usr/bin/import", "-window", "root", "-crop", f"1x1+{x}+{y}", "-depth", "8", "rgb:-"],
                         capture_output=True, check=True).stdout
    return tuple(raw[:3])
