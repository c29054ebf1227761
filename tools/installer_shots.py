#!/usr/bin/python3
"""Screenshots of the installer's pages and of the installed client, for docs/
(on demand, not a test): a Wine prefix of its own, the local portal, the installer
clicked through as a player does, the client started by its "run now", then the
uninstaller. Needs a bare X server of 1920 x 1080 on DISPLAY (tools/env.sh
vm_display with VM_FORCE_XVFB=1) and a build with the installer.

Usage: installer_shots.py OUTDIR
"""
import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests", "system"))
import road  # noqa: E402
from test_installer import SETUP, Prefix, PRODUCT  # noqa: E402

# The wizard's buttons, from its window's top left corner.
NEXT = (421, 364)
CANCEL = (521, 364)


def visible_windows(pid=None):
    """(id, x, y, w, h, name) of every visible window (of process `pid`)."""
    by = ["--pid", str(pid)] if pid else ["--name"]
    r = subprocess.run(["xdotool", "search", "--all", "--onlyvisible", *by, ""], capture_output=True, text=True)
    out = []
    for wid in r.stdout.split():
        g = subprocess.run(["xdotool", "getwindowgeometry", "--shell", wid], capture_output=True, text=True)
        vals = dict(line.split("=", 1) for line in g.stdout.split() if "=" in line)
        n = subprocess.run(["xdotool", "getwindowname", wid], capture_output=True, text=True).stdout.strip()
        try:
            out.append((wid, int(vals["X"]), int(vals["Y"]), int(vals["WIDTH"]), int(vals["HEIGHT"]), n))
        except KeyError:
            pass
    return out


def window(test, what, timeout=60, pid=None):
    return road.wait_for(lambda: next((w for w in visible_windows(pid) if test(w)), None), timeout, what)


def shot(outdir, name, win=None, settle=1.0):
    time.sleep(settle)  # the page's last drawing
    path = os.path.join(outdir, name + ".png")
    cmd = ["/usr/bin/import", "-window", "root"]
    if win:
        cmd += ["-crop", f"{win[3]}x{win[4]}+{win[1]}+{win[2]}"]
    subprocess.run(cmd + [path], check=True)
    print("shot:", path)


def click_at(win, offset):
    road.click(win[1] + offset[0], win[2] + offset[1])


def main():
    outdir = os.path.abspath(sys.argv[1])
    os.makedirs(outdir, exist_ok=True)
    prefix = Prefix()
    portal = road.Portal()
    procs = []
    try:
        env = prefix.env()
        setup = os.path.join(prefix.dir, "drive_c", "vornmark-setup-1.15_a123_s45.exe")
        shutil.copy(SETUP, setup)
        procs.append(subprocess.Popen(["wine", setup], env=env, stdin=subprocess.DEVNULL,
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        wizard = lambda w: w[3] > 400  # noqa: E731
        win = window(wizard, "the installer's window", pid=procs[-1].pid)
        shot(outdir, "installer-1-welcome", win, 2)
        click_at(win, NEXT)
        shot(outdir, "installer-2-folder", win)
        click_at(win, NEXT)
        # The files page, then the last page with "run now".
        road.wait_for(lambda: os.path.exists(os.path.join(prefix.local, "Programs", "Vornmark", "uninstall.exe")),
                      120, "the installed files")
        shot(outdir, "installer-3-files", win)
        click_at(win, NEXT)
        shot(outdir, "installer-4-finish", win)
        click_at(win, NEXT)  # 完成, with "run now" ticked

        launcher = window(lambda w: (w[3], w[4]) == (1230, 728), "the installed client's launcher")
        road.wait_for(lambda: portal.records("start"), 60, "the game page request")
        shot(outdir, "installed-client-launcher", None, 5)

        # A second installer while the client runs: it asks to close the client first.
        procs.append(subprocess.Popen(["wine", setup], env=env, stdin=subprocess.DEVNULL,
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        win2 = window(wizard, "the second installer's window", pid=procs[-1].pid)
        subprocess.run(["xdotool", "windowraise", win2[0]], check=True)
        click_at(win2, NEXT)
        time.sleep(1)
        click_at(win2, NEXT)
        box = window(lambda w: w[3] < 400, "the message about the running client", pid=procs[-1].pid)
        shot(outdir, "installer-5-client-running", None, 1)
        # The player closes the client, then retries: the install goes on.
        road.click(launcher[1] + 1215, launcher[2] + 15)
        dialog = window(lambda w: (w[3], w[4]) == (295, 190), "the close dialog", 15)
        road.click(dialog[1] + 84, dialog[2] + 117)
        road.wait_for(lambda: not any((w[3], w[4]) == (1230, 728) for w in visible_windows()), 60,
                      "the client to close")
        marker = os.path.join(prefix.local, "Programs", "Vornmark", "uninstall.exe")
        before = os.path.getmtime(marker)
        click_at(box, (105, 67))  # 重试
        road.wait_for(lambda: os.path.getmtime(marker) != before, 60, "the install to go on")
        time.sleep(2)
        click_at(win2, NEXT)
        click_at(win2, (216, 166))  # untick "run now"
        click_at(win2, NEXT)
        road.wait_for(lambda: procs[-1].poll() is not None, 30, "the second installer to end")

        # The uninstaller: it asks before removing the player's settings and cache.
        uninstaller = os.path.join(prefix.local, "Programs", "Vornmark", "uninstall.exe")
        procs.append(subprocess.Popen(["wine", prefix.windows(uninstaller)], env=env, stdin=subprocess.DEVNULL,
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        unwin = window(lambda w: w[5].startswith(PRODUCT) and 400 < w[3] < 1000, "the uninstaller's window")
        shot(outdir, "uninstaller-1-confirm", unwin, 2)
        click_at(unwin, NEXT)
        ask = window(lambda w: w[5].startswith(PRODUCT) and w[3] < 450, "the question about the player's data")
        shot(outdir, "uninstaller-2-keep-data", None, 1)
        click_at(ask, (201, 81))  # 否: keep them
        road.wait_for(lambda: not os.path.exists(uninstaller), 60, "the program files to go")
        shot(outdir, "uninstaller-3-done", unwin)
    finally:
        for p in procs:
            if p.poll() is None:
                p.kill()
        portal.stop()
        prefix.stop()


if __name__ == "__main__":
    main()
