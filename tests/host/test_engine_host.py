"""The engine's host on the Linux side, against a stand-in engine that speaks the
DevTools pipe transport (fd 3 in, fd 4 out, NUL-ended messages): frames both ways,
nothing oversized buffered, the engine's end reported, and the whole group ended
when the client's end of the line closes, even stopped."""
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

HOST = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                    "cef", "host", "engine_host.py")

# Answers each message on fd 3: "argv" with its arguments, "big" with a message over
# the host's cap and then "after", "child" with the pid of a child it starts, "exit N"
# by ending with code N; anything else comes back as it went.
ENGINE = r'''
import os, sys, subprocess, json
buf = b""
def out(data):
    os.write(4, data + b"\0")
while True:
    d = os.read(3, 65536)
    if not d:
        break
    buf += d
    while b"\0" in buf:
        m, buf = buf.split(b"\0", 1)
        if m == b"argv":
            out(json.dumps(sys.argv[1:]).encode())
        elif m == b"big":
            out(b"x" * (33 * 1024 * 1024))
            out(b"after")
        elif m == b"child":
            c = subprocess.Popen(["sleep", "600"])
            out(str(c.pid).encode())
        elif m.startswith(b"exit "):
            sys.exit(int(m[5:]))
        else:
            out(m)
'''


def alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] not in "ZX"
    except OSError:
        return False


class Line:
    """The client's end of the line to a host running the stand-in engine."""

    def __init__(self, test, env=None):
        self.dir = tempfile.mkdtemp(prefix="vm-host-")
        engine = os.path.join(self.dir, "engine.py")
        with open(engine, "w") as f:
            f.write("#!" + sys.executable + "\n" + ENGINE)
        os.chmod(engine, 0o755)
        self.sock, theirs = socket.socketpair()
        self.proc = subprocess.Popen([sys.executable, HOST, engine, "--headless=new"], stdin=theirs, stdout=theirs,
                                     env=env)
        theirs.close()
        self.buf = b""
        test.addCleanup(self.close)
        started = json.loads(self.next()[1:])["started"]
        self.engine = started["engine"]

    def next(self, timeout=10):
        self.sock.settimeout(timeout)
        while b"\0" not in self.buf:
            data = self.sock.recv(1 << 20)
            if not data:
                return None
            self.buf += data
        frame, self.buf = self.buf.split(b"\0", 1)
        return frame

    def send(self, payload):
        self.sock.sendall(b"D" + payload + b"\0")

    def close(self):
        self.sock.close()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


class EngineHost(unittest.TestCase):
    def test_messages_cross_and_an_oversized_one_is_skipped(self):
        line = Line(self)
        line.send(b'{"id":1,"method":"Browser.getVersion"}')
        self.assertEqual(b'D{"id":1,"method":"Browser.getVersion"}', line.next())
        line.send(b"big")
        self.assertEqual(b"Dafter", line.next(), "the oversized message must be skipped, the next one kept")

    def test_the_engines_end_is_reported(self):
        line = Line(self)
        line.send(b"exit 3")
        self.assertEqual({"exited": 3}, json.loads(line.next()[1:]))
        self.assertIsNone(line.next(), "the line ends after the report")
        self.assertEqual(0, line.proc.wait(5))

    def test_end_of_the_line_ends_the_whole_group_even_stopped(self):
        line = Line(self)
        line.send(b"child")
        child = int(line.next()[1:])
        for pid in (line.engine, child):
            os.kill(pid, signal.SIGSTOP)
        t0 = time.time()
        line.sock.shutdown(socket.SHUT_WR)
        self.assertIsNone(line.next(), "the host answers the end of the line with its own")
        took = time.time() - t0
        self.assertLess(took, 2.0)
        self.assertEqual(0, line.proc.wait(5))
        self.assertFalse(alive(line.engine) or alive(child), "processes of the engine outlived the line")

    def test_a_devtools_port_only_when_the_test_harness_asks(self):
        env = {k: v for k, v in os.environ.items() if k != "VORNMARK_TEST_DEVTOOLS"}
        line = Line(self, env)
        line.send(b"argv")
        argv = json.loads(line.next()[1:])
        self.assertIn("--remote-debugging-pipe", argv)
        self.assertFalse([a for a in argv if a.startswith("--remote-debugging-port")])
        line = Line(self, dict(env, VORNMARK_TEST_DEVTOOLS="1"))
        line.send(b"argv")
        self.assertIn("--remote-debugging-port=0", json.loads(line.next()[1:]))


if __name__ == "__main__":
    unittest.main()
