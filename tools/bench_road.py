"""On-demand benchmarks of the whole client (not a test): cold start to the
launcher and to the first page picture, against the engine alone opening the same
page; exit time from the confirmed close with the statistics server up, down and
hanging. Run through tools/bench.sh, which provides the display and Wine."""
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "system"))
import road  # noqa: E402


def pixel(x, y):
    r = subprocess.run(["/usr/bin/import", "-window", "root", "-crop", f"1x1+{x}+{y}", "txt:-"],
                       capture_output=True, text=True)
    return r.stdout.strip().splitlines()[-1].split()[-1] if r.stdout.strip() else ""


def start_run(portal_args):
    portal = road.Portal(portal_args) if portal_args is not None else None
    client = road.Client()
    t0 = time.time()
    client.start()
    launcher = road.wait_for(lambda: client.window_sized(1230, 728), 60, "launcher", interval=0.02)
    t_launcher = time.time() - t0
    return portal, client, launcher, t0, t_launcher


def cold_start():
    portal, client, launcher, t0, t_launcher = start_run(())
    # The login card of the portal's page is light on a dark page: wait until the
    # frame's area no longer shows the empty browser window.
    x, y = launcher[1] + 1230 // 2, launcher[2] + 49 + 300
    empty = pixel(x, y)
    road.wait_for(lambda: pixel(x, y) != empty, 60, "the first page picture", interval=0.02)
    t_page = time.time() - t0
    road.close_from_launcher(client)
    client.cleanup()
    portal.stop()
    return t_launcher, t_page


def engine_alone():
    portal = road.Portal()
    with tempfile.TemporaryDirectory() as profile:
        t0 = time.time()
        subprocess.run(["/usr/bin/chromium", "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
                        "--disable-background-networking", "--disable-component-update", "--disable-sync",
                        "--user-data-dir=" + profile, "--window-size=1230,620",
                        "--screenshot=" + os.path.join(profile, "s.png"),
                        f"http://127.0.0.1:{road.PORTAL_PORT}/wd3/index.html"], capture_output=True, timeout=60)
        took = time.time() - t0
    portal.stop()
    return took


def exit_time(portal_args):
    portal, client, launcher, _, _ = start_run(portal_args)
    road.click(launcher[1] + 1215, launcher[2] + 15)
    dialog = road.wait_for(lambda: client.window_sized(295, 190), 15, "dialog", interval=0.02)
    road.click(dialog[1] + 84, dialog[2] + 117)
    t0 = time.time()
    client.wait_exit(120)
    took = time.time() - t0
    client.cleanup()
    if portal:
        portal.stop()
    return took


def main():
    runs = int(os.environ.get("BENCH_RUNS", "3"))
    starts = [cold_start() for _ in range(runs)]
    alone = [engine_alone() for _ in range(runs)]
    med = lambda xs: sorted(xs)[len(xs) // 2]  # noqa: E731
    launcher, page = med([s[0] for s in starts]), med([s[1] for s in starts])
    print(f"cold start to launcher painted: {launcher:.2f} s (median of {runs})")
    print(f"cold start to first page picture: {page:.2f} s")
    print(f"engine alone, launch to screenshot of the same page: {med(alone):.2f} s; ratio {page / med(alone):.2f}")
    for label, args in (("up", ()), ("down", None), ("hanging", ("--stats-hang",))):
        print(f"exit, statistics server {label}: {med([exit_time(args) for _ in range(runs)]):.2f} s")


if __name__ == "__main__":
    main()
