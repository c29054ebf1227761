#!/usr/bin/python3
"""The engine's host on the Linux side.

The client starts this program under Wine and holds the other end of its standard
input and output (one connected socket, fds 0 and 1). The host starts the engine
in a process group of its own with the DevTools pipe transport (the engine reads
commands on its fd 3 and writes answers and events on its fd 4, each message a
JSON text ended by a NUL byte) and carries that traffic over the channel, so the
engine has no listening port any other process could reach.

Channel frames, both ways: one letter, the payload, a NUL byte.
    D  a DevTools message (to the engine's fd 3 / from its fd 4)
    X  window commands for embedding (client -> host) and their events back
       (the first: {"embed": bool, "keys": bool}, see xembed.py)
    E  host -> client, about the engine process:
         {"started": {"engine": pid, "host": pid}}   once the engine runs
         {"exited": code}   the engine's browser process ended by itself
                            (negative: the signal that ended it)

Lifeline: when the channel reaches its end (the client closed it or died), the
host kills the engine's whole process group, waits until every process of it has
gone, and exits. When the engine ends by itself, the host reports it, ends what
is left of the group the same way and exits.

    engine_host.py [--language=LL_CC] [--embed [--first-window=URL]] <engine> [engine arguments...]

--language sets the engine's own language (its error pages and dialogs take it
from the environment on Linux, not from --lang).
--embed asks for the engine's own windows, embedded in the client's (xembed.py):
the engine then runs as a windowed X11 program when this display allows it, and
headless otherwise; the first X frame tells the client which.
--first-window names the placeholder page of the first window the client will
ask for: a windowed engine opens it while it starts, and the client's "open" of
that address then takes this window instead of asking the running engine for one.
"""
import ctypes
import fcntl
import json
import os
import select
import signal
import sys
import threading
import time

try:
    import xembed  # the embedding part, shipped beside this file
except ImportError:
    xembed = None

# The largest DevTools message passed on; the client drops larger ones anyway,
# so bigger ones (a page pushing data) are skipped here instead of buffered.
MAX_MESSAGE = 32 * 1024 * 1024
# Unsent bytes in either direction above which the other side is not read: a
# stalled reader holds its writer back instead of growing this process.
MAX_BACKLOG = 16 * 1024 * 1024
# How long the end of the engine's group may take after SIGKILL.
GONE_TIMEOUT = 2.0
PR_SET_CHILD_SUBREAPER = 36


def high_fd(fd):
    """Moves `fd` to a number above the standard ones and 3 and 4 (close on exec)."""
    moved = fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 10)
    os.close(fd)
    return moved


class FrameSplitter:
    """Cuts a byte stream into NUL-ended messages, dropping those over a cap."""

    def __init__(self, cap):
        self.cap = cap
        self.buf = bytearray()
        self.skipping = False  # inside a message over the cap: thrown away up to its NUL

    def feed(self, data):
        out = []
        start = 0
        while True:
            end = data.find(b"\0", start)
            if end < 0:
                rest = data[start:]
                if not self.skipping:
                    if len(self.buf) + len(rest) > self.cap:
                        self.buf.clear()
                        self.skipping = True
                    else:
                        self.buf += rest
                return out
            if self.skipping:
                self.skipping = False
            elif self.buf:
                self.buf += data[start:end]
                if len(self.buf) <= self.cap:
                    out.append(bytes(self.buf))
                self.buf.clear()
            elif end - start <= self.cap:
                out.append(data[start:end])
            start = end + 1


class EngineHost:
    def __init__(self, engine_argv, language=None, embed=False, first_window=None):
        self.engine_argv = engine_argv
        self.embed = embed
        # Opened by the engine itself at its start (windowed only): asking for it
        # again would make a second window.
        self.first_window = first_window
        self.embedder = None
        # New windows are asked of the running engine through its process singleton;
        # asked before the engine has one, the helper would become an engine itself.
        self.engine_answered = False
        self.pending_windows = []
        self.language = language
        self.engine = None  # pid of the engine's browser process (also its group id)
        self.readers = {}  # fd -> callback, besides the channel and the engine
        self.to_client = bytearray()
        self.to_engine = bytearray()
        self.client_in = FrameSplitter(MAX_MESSAGE + 1)
        self.engine_in = FrameSplitter(MAX_MESSAGE)
        self.stop_requested = False  # a signal asked us to end
        self.engine_r = None
        self.engine_w = None
        self.exit_status = None  # set by the reaper when the engine's browser process ended
        self.group_gone = False  # set by the reaper when no process of ours is left
        self.lock = threading.Lock()
        self.wake_r, self.wake_w = os.pipe()
        os.set_blocking(self.wake_r, False)
        self.handlers = {ord("D"): self.on_devtools, ord("X"): self.on_window_command}

    # ---- what the embedding part builds on ------------------------------------

    def send(self, letter, payload):
        """Queues a frame for the client; `payload` is bytes without a NUL."""
        self.to_client += letter + payload + b"\0"

    def add_reader(self, fd, callback):
        """Calls `callback()` on this thread whenever `fd` is readable."""
        self.readers[fd] = callback

    def remove_reader(self, fd):
        self.readers.pop(fd, None)

    def on_window_command(self, payload):
        """X frames from the client: commands about the engine's windows (embedding).
        Ignored when the engine runs headless."""
        if self.embedder is None:
            return
        try:
            msg = json.loads(payload)
        except ValueError:
            return
        if not isinstance(msg, dict):
            return
        if "open" in msg and isinstance(msg.get("url"), str) and self.engine is not None:
            argv = xembed.relaunch_argv(self.engine_argv, msg["url"])
            if self.first_window is not None and msg["url"] == self.first_window:
                self.first_window = None  # the engine opens it, or has opened it, itself
            elif self.engine_answered:
                self.spawn_helper(argv)
            else:
                self.pending_windows.append(argv)
        self.embedder.command(msg)

    def start_embedding(self):
        """Decides between the engine's own windows and a headless engine, and tells
        the client which, before the engine starts."""
        connection = None
        if not self.embed:
            why = "not asked for"
        elif xembed is None:
            why = "xembed.py missing"
        else:
            connection, why = xembed.connect()
        ok = connection is not None
        if ok:
            window_class = "vornmark-engine-%d" % os.getpid()
            try:
                self.embedder = xembed.Embedder(self.send_window_event, window_class, connection=connection)
            except Exception as e:  # noqa: BLE001 - the display went away meanwhile
                try:
                    connection.close()
                except Exception:  # noqa: BLE001 - already broken
                    pass
                ok, why = False, str(e)
        if ok:
            xembed.clear_stale_lock(self.engine_argv)
            self.engine_argv[1:1] = xembed.engine_switches(self.embedder.window_class, self.first_window)
            self.add_reader(self.embedder.fileno(), self.embedder.on_readable)
            self.send_window_event({"embed": True, "keys": self.embedder.keys})
            return
        self.first_window = None  # no windows: no first one either
        if self.embed:
            # Asked for windows, the engine runs headless after all.
            self.engine_argv.insert(1, "--headless=new")
            self.send_window_event({"embed": False, "why": why})

    def send_window_event(self, msg):
        self.send(b"X", json.dumps(msg).encode())

    def spawn_helper(self, argv):
        """Runs a short-lived helper of the engine's (its own command line, passing a
        request on to the running engine). A child of ours, it is ended with the
        engine's group when it has not ended by then."""
        devnull = os.open(os.devnull, os.O_RDWR)
        env = dict(os.environ)
        if self.language:
            env["LANGUAGE"] = self.language
        try:
            os.posix_spawn(argv[0], argv, env,
                           file_actions=[(os.POSIX_SPAWN_DUP2, devnull, 0), (os.POSIX_SPAWN_DUP2, devnull, 1),
                                         (os.POSIX_SPAWN_DUP2, devnull, 2)],
                           setsigdef=(signal.SIGPIPE,))
        except OSError:
            pass
        finally:
            os.close(devnull)

    # ---- the engine -----------------------------------------------------------

    def on_devtools(self, payload):
        self.to_engine += payload + b"\0"

    def start_engine(self):
        # Descendants the engine leaves behind become our children, so we can reap
        # them and know when the last one has gone.
        try:
            ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)
        except (OSError, AttributeError):
            pass
        # Descriptors Wine handed down to us stay with us, not with the engine.
        for name in os.listdir("/proc/self/fd"):
            fd = int(name)
            if fd > 2:
                try:
                    os.set_inheritable(fd, False)
                except OSError:
                    pass
        # The engine's pipes are moved to fds 3 and 4 in the child; kept above them
        # here so that one move never overwrites the other.
        cmd_r, cmd_w = (high_fd(fd) for fd in os.pipe())  # commands: we write, the engine reads fd 3
        ev_r, ev_w = (high_fd(fd) for fd in os.pipe())  # answers and events: the engine writes fd 4
        devnull = high_fd(os.open(os.devnull, os.O_RDWR))
        env = dict(os.environ)
        if self.language:
            env["LANGUAGE"] = self.language
        argv = list(self.engine_argv)
        # The test harness alone sets this, to look into pages from outside; a normal
        # run never has it, and the engine then listens on no port at all.
        if os.environ.get("VORNMARK_TEST_DEVTOOLS") == "1":
            argv.insert(1, "--remote-debugging-port=0")
        argv.insert(1, "--remote-debugging-pipe")
        actions = [(os.POSIX_SPAWN_DUP2, devnull, 0), (os.POSIX_SPAWN_DUP2, devnull, 1),
                   (os.POSIX_SPAWN_DUP2, devnull, 2), (os.POSIX_SPAWN_DUP2, cmd_r, 3),
                   (os.POSIX_SPAWN_DUP2, ev_w, 4)]
        try:
            # A session of its own makes the engine the leader of its own process group.
            self.engine = os.posix_spawn(argv[0], argv, env, file_actions=actions, setsid=True,
                                         setsigdef=(signal.SIGPIPE,))
        finally:
            for fd in (cmd_r, ev_w, devnull):
                os.close(fd)
        self.engine_w = cmd_w
        self.engine_r = ev_r
        os.set_blocking(cmd_w, False)
        os.set_blocking(ev_r, False)
        threading.Thread(target=self.reap, daemon=True).start()
        self.send(b"E", json.dumps({"started": {"engine": self.engine, "host": os.getpid()}}).encode())

    def reap(self):
        while True:
            try:
                pid, status = os.waitpid(-1, 0)
            except ChildProcessError:
                with self.lock:
                    self.group_gone = True
                os.write(self.wake_w, b"g")
                return
            except InterruptedError:
                continue
            if pid == self.engine:
                with self.lock:
                    self.exit_status = os.waitstatus_to_exitcode(status)
                os.write(self.wake_w, b"e")

    def kill_group(self):
        """Kills the engine's process group and every other process left to us."""
        if self.engine is None:
            return
        try:
            os.killpg(self.engine, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass
        me = str(os.getpid())
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open(f"/proc/{entry}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if fields[1] == me:  # a child of ours: the engine or an orphan of its tree
                try:
                    os.kill(int(entry), signal.SIGKILL)
                except ProcessLookupError:
                    pass

    def wait_gone(self, deadline):
        while time.monotonic() < deadline:
            with self.lock:
                if self.group_gone:
                    return True
            select.select([self.wake_r], [], [], max(0.0, deadline - time.monotonic()))
            try:
                os.read(self.wake_r, 64)
            except BlockingIOError:
                pass
        return False

    # ---- the loop ---------------------------------------------------------------

    def run(self):
        os.set_blocking(0, False)
        os.set_blocking(1, False)
        self.start_embedding()
        try:
            self.start_engine()
        except OSError as e:
            # No engine to run (missing, not executable): told as an engine that ended.
            self.send(b"E", json.dumps({"exited": 127}).encode())
            self.flush(time.monotonic() + 1.0)
            sys.stderr.write(f"engine_host: cannot start the engine: {e}\n")
            return
        reason = None
        while reason is None:
            poller_fds = {}

            def want(fd, events):
                poller_fds[fd] = poller_fds.get(fd, 0) | events

            if len(self.to_engine) < MAX_BACKLOG:
                want(0, select.POLLIN)
            if self.to_client:
                want(1, select.POLLOUT)
            if self.engine_r is not None and len(self.to_client) < MAX_BACKLOG:
                want(self.engine_r, select.POLLIN)
            if self.to_engine:
                want(self.engine_w, select.POLLOUT)
            want(self.wake_r, select.POLLIN)
            for fd in self.readers:
                want(fd, select.POLLIN)
            poller = select.poll()
            for fd, events in poller_fds.items():
                poller.register(fd, events)
            try:
                ready = poller.poll()
            except InterruptedError:
                continue
            for fd, events in ready:
                if fd == self.wake_r:
                    try:
                        os.read(self.wake_r, 64)
                    except BlockingIOError:
                        pass
                    with self.lock:
                        status = self.exit_status
                    if status is not None:
                        reason = ("exited", status)
                        break
                    if self.stop_requested:
                        reason = ("closed", None)
                        break
                    continue
                if fd == 0 and events & (select.POLLIN | select.POLLHUP | select.POLLERR):
                    if not self.read_channel():
                        reason = ("closed", None)
                        break
                if fd == 1 and events & select.POLLOUT:
                    if not self.write(1, self.to_client):
                        reason = ("closed", None)
                        break
                if fd == 1 and events & (select.POLLERR | select.POLLHUP) and not events & select.POLLOUT:
                    reason = ("closed", None)
                    break
                if fd == self.engine_r and events & (select.POLLIN | select.POLLHUP | select.POLLERR):
                    self.read_engine()
                if fd == self.engine_w and events & (select.POLLOUT | select.POLLERR | select.POLLHUP):
                    if not self.write(self.engine_w, self.to_engine):
                        self.to_engine.clear()  # the engine stopped reading for good
                if fd in self.readers:
                    self.readers[fd]()
        self.finish(*reason)

    def read_channel(self):
        try:
            data = os.read(0, 1 << 20)
        except BlockingIOError:
            return True
        except OSError:
            return False
        if not data:
            return False
        for frame in self.client_in.feed(data):
            if not frame:
                continue
            handler = self.handlers.get(frame[0])
            if handler:
                handler(frame[1:])
        return True

    def read_engine(self):
        try:
            data = os.read(self.engine_r, 1 << 20)
        except BlockingIOError:
            return
        except OSError:
            data = b""
        if not data:
            # The engine closed its end (its end as a process comes from the reaper):
            # polled no more, as a closed pipe reports itself readable for ever.
            os.close(self.engine_r)
            self.engine_r = None
            return
        for message in self.engine_in.feed(data):
            self.send(b"D", message)
            if not self.engine_answered:
                # Its first words: the engine is up, its process singleton in place.
                self.engine_answered = True
                for argv in self.pending_windows:
                    self.spawn_helper(argv)
                self.pending_windows = []


    @staticmethod
    def write(fd, buf):
        try:
            n = os.write(fd, buf)
        except BlockingIOError:
            return True
        except OSError:
            return False
        del buf[:n]
        return True

    def finish(self, why, status):
        if why == "exited":
            # Told at once, before the rest of the group is ended.
            self.send(b"E", json.dumps({"exited": status}).encode())
            self.flush(time.monotonic() + 1.0)
        self.kill_group()
        self.wait_gone(time.monotonic() + GONE_TIMEOUT)
        if why == "exited":
            self.flush(time.monotonic() + 1.0)

    def flush(self, deadline):
        while self.to_client and time.monotonic() < deadline:
            select.select([], [1], [], max(0.0, deadline - time.monotonic()))
            if not self.write(1, self.to_client):
                return


def main(argv):
    language = None
    embed = False
    first_window = None
    args = argv[1:]
    while args and args[0].startswith("--"):
        option = args.pop(0)
        if option.startswith("--language="):
            language = option.split("=", 1)[1] or None
        elif option == "--embed":
            embed = True
        elif option.startswith("--first-window="):
            first_window = option.split("=", 1)[1] or None
    if not args:
        sys.stderr.write("usage: engine_host.py [--language=LL_CC] [--embed [--first-window=URL]] <engine> "
                         "[engine arguments...]\n")
        return 2
    host = EngineHost(args, language, embed, first_window)
    # Asked to end (SIGTERM, SIGHUP): as when the channel closes.
    def stop(*_):
        host.stop_requested = True
        os.write(host.wake_w, b"t")

    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, stop)
    try:
        host.run()
    except Exception:
        host.kill_group()
        host.wait_gone(time.monotonic() + GONE_TIMEOUT)
        raise
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
