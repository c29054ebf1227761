"""On-demand benchmark of Flash content in the whole client (not a test): navigation
to the first movie frame on the screen (fresh engine, then later loads), the
on-screen frame rate of a 60 fps movie in the maximised game frame against the
movie's own rate, and the engine's CPU and memory with and without the emulator.
Run through tools/bench.sh flash, which provides the display and Wine."""
import glob
import os
import statistics
import sys
import time

from Xlib import X, display

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "system"))
import devtools  # noqa: E402
import road  # noqa: E402

BASE = f"http://127.0.0.1:{road.PORTAL_PORT}"
SCREEN = display.Display()
ROOT = SCREEN.screen().root
TICK = os.sysconf("SC_CLK_TCK")


def grab(x, y, w, h):
    return ROOT.get_image(x, y, w, h, X.ZPixmap, 0xFFFFFFFF).data


def page_value(port, expression):
    # The engine's own first page stays blank beside the client's.
    targets = [t for t in devtools.page_targets(port) if t.get("url") != "about:blank"]
    return devtools.evaluate(port, targets[0], expression) if targets else None


def engine_pids():
    """The engine's process tree: the process with the client's profile and its descendants."""
    profile = os.path.realpath(road.engine_profile())
    parents, roots = {}, []
    for path in glob.glob("/proc/[0-9]*/stat"):
        pid = int(path.split("/")[2])
        try:
            with open(path) as f:
                parents[pid] = int(f.read().rsplit(")", 1)[1].split()[1])
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                args = f.read().decode("utf-8", "replace").split("\0")
        except (OSError, IndexError, ValueError):
            continue
        dirs = [a.split("=", 1)[1] for a in args if a.startswith("--user-data-dir=")]
        if any(os.path.realpath(d) == profile for d in dirs):
            roots.append(pid)
    tree = set(roots)
    grew = True
    while grew:
        grew = False
        for pid, parent in parents.items():
            if parent in tree and pid not in tree:
                tree.add(pid)
                grew = True
    return sorted(tree)


def cpu_seconds(pids):
    total = 0
    for pid in pids:
        try:
            with open(f"/proc/{pid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            total += int(fields[11]) + int(fields[12])
        except OSError:
            pass
    return total / TICK


def memory_mb(pids):
    """Proportional set size of the engine's processes (shared pages counted once)."""
    total = 0
    for pid in pids:
        try:
            with open(f"/proc/{pid}/smaps_rollup") as f:
                for line in f:
                    if line.startswith("Pss:"):
                        total += int(line.split()[1])
        except OSError:
            pass
    return total / 1024


def engine_cost(seconds=8.0):
    pids = engine_pids()
    c0, t0 = cpu_seconds(pids), time.time()
    time.sleep(seconds)
    return round(100 * (cpu_seconds(pids) - c0) / (time.time() - t0), 1), round(memory_mb(pids))


def active_port(profile):
    try:
        return devtools.active_port(profile)
    except (OSError, ValueError, IndexError):
        return None  # not written yet, or written halfway


def start(flash):
    client = road.Client(flash=flash)
    client.start()
    launcher = road.wait_for(lambda: client.window_sized(1230, 728), 60, "the launcher")
    profile = road.wait_for(road.engine_profile, 30, "the engine profile")
    port, _ = road.wait_for(lambda: active_port(profile), 30, "the engine's DevTools port")
    road.wait_for(lambda: page_value(port, "document.querySelector('#username') !== null"), 30, "the login page")
    return client, port, launcher


def first_frame_times(port, launcher, loads=6):
    """Seconds from navigation to the movie's moon on the screen, per load."""
    # The page fills the launcher's 1230 x 620 frame, 49 pixels below its top; the
    # movie draws its moon at 80 % / 17 % of its stage.
    x, y = launcher[1] + int(1230 * 0.8), launcher[2] + 49 + int(620 * 0.17)
    times = []
    for n in range(loads):
        page_value(port, f"location.href = {BASE + '/wd3/play?server_id=3&n=' + str(n)!r}")
        t0 = time.time()
        # The page before it is light where the moon will be; wait for it to go dark first.
        road.wait_for(lambda: max(grab(x, y, 1, 1)[:3]) < 120, 30, "the play page", interval=0.005)
        road.wait_for(lambda: min(grab(x, y, 1, 1)[:3]) > 200, 30, "the moon", interval=0.005)
        times.append(time.time() - t0)
        time.sleep(1.0)
    return times


def on_screen_rate(port, region, seconds=6.0):
    """Changes per second of a screen region that changes on every movie frame,
    against the movie's own frames in the same time."""
    state = lambda: page_value(port, "document.getElementById('game').getState().frames")
    f0 = state()
    t0 = time.time()
    last, changes = grab(*region), 0
    while time.time() - t0 < seconds:
        time.sleep(0.002)
        now = grab(*region)
        if now != last:
            changes += 1
            last = now
    elapsed = time.time() - t0
    return changes / elapsed, (state() - f0) / elapsed


def main():
    portal = road.Portal()
    results = {}
    try:
        for flash in (True, False):
            client, port, launcher = start(flash)
            try:
                label = "with emulator" if flash else "without emulator"
                results[label, "login page cpu %, engine MB"] = engine_cost()
                if flash:
                    times = first_frame_times(port, launcher)
                    results["first frame, fresh engine s"] = round(times[0], 2)
                    results["first frame, later loads s (median, min-max)"] = (
                        round(statistics.median(times[1:]), 2), round(min(times[1:]), 2), round(max(times[1:]), 2))
                page_value(port, f"location.href = {BASE + '/wd3/play?server_id=3'!r}")
                time.sleep(3)
                results[label, "play page cpu %, engine MB"] = engine_cost()
                if not flash:
                    continue
                # The game at 60 frames a second in the maximised frame.
                page_value(port, f"location.href = {BASE + '/wd3/play?act=gamelogin&server_id=3&fps=60'!r}")
                sw, sh = road.screen_size()
                road.wait_for(lambda: client.window_sized(sw, sh), 30, "the maximised game frame")
                road.wait_for(lambda: (page_value(port, "(()=>{try{return document.getElementById('game')"
                                                  ".getState().frames}catch(e){return 0}})()") or 0) > 30, 30,
                              "the movie running")
                time.sleep(2)
                inner = page_value(port, "[innerWidth, innerHeight]")
                state = page_value(port, "document.getElementById('game').getState()")
                left, top = sw - inner[0], sh - inner[1]
                # A band of the sky: twinkling stars change it on every movie frame.
                region = (int(left + inner[0] * 0.1), int(top + inner[1] * 0.2), 480, 160)
                screen_fps, movie_fps = on_screen_rate(port, region)
                results["60 fps movie, maximised: on screen fps, movie fps"] = (round(screen_fps, 1),
                                                                                round(movie_fps, 1))
                results["60 fps movie, maximised: cpu %, engine MB"] = engine_cost()
            finally:
                client.cleanup()
                time.sleep(2)
    finally:
        portal.stop()
    for key, value in results.items():
        print("%-60s %s" % (" / ".join(key) if isinstance(key, tuple) else key, value))


if __name__ == "__main__":
    main()
