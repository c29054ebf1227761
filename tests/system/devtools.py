"""A minimal DevTools client for the system tests: finds elements on the page the
client shows, so that real input can be aimed at them. Loopback only."""
import base64
import json
import os
import socket
import struct
import urllib.error
import urllib.request


class PageNotReady(RuntimeError):
    """The page is between documents: it navigated, its target closed, or its
    context is gone or not there yet. A poll reads this as "not yet"."""


# The engine's answers for a page that is between documents (code -32000).
_BETWEEN_DOCUMENTS = ("navigated or closed", "cannot find context", "execution context was destroyed",
                      "no target with given id", "target closed", "session with given id not found")

# What a poll of a page may meet while the page or the engine comes and goes.
TRANSIENT = (PageNotReady, ConnectionError, urllib.error.URLError, TimeoutError)


def recv_exact(sock, n):
    buf = b""
    while len(buf) < n:
        chunk = sock.recv(n - len(buf))
        if not chunk:
            raise ConnectionError("connection closed")
        buf += chunk
    return buf


def read_frame(sock):
    """One WebSocket frame from `sock`: (opcode, final, payload), unmasked."""
    b0, b1 = recv_exact(sock, 2)
    n = b1 & 0x7F
    if n == 126:
        n = struct.unpack("!H", recv_exact(sock, 2))[0]
    elif n == 127:
        n = struct.unpack("!Q", recv_exact(sock, 8))[0]
    mask = recv_exact(sock, 4) if b1 & 0x80 else None
    payload = recv_exact(sock, n)
    if mask:
        payload = bytes(b ^ mask[i % 4] for i, b in enumerate(payload))
    return b0 & 0x0F, bool(b0 & 0x80), payload


def frame(opcode, data, masked):
    """One final WebSocket frame; a client's are masked, a server's are not."""
    n = len(data)
    bit = 0x80 if masked else 0
    if n < 126:
        header = struct.pack("!BB", 0x80 | opcode, bit | n)
    elif n < 65536:
        header = struct.pack("!BBH", 0x80 | opcode, bit | 126, n)
    else:
        header = struct.pack("!BBQ", 0x80 | opcode, bit | 127, n)
    if not masked:
        return header + data
    mask = os.urandom(4)
    return header + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(data))


class DevTools:
    def __init__(self, port, ws_path, timeout=10):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        key = base64.b64encode(os.urandom(16)).decode()
        self.sock.sendall((f"GET {ws_path} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nUpgrade: websocket\r\n"
                           f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\n"
                           "Sec-WebSocket-Version: 13\r\n\r\n").encode())
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = self.sock.recv(1)
            if not chunk:
                raise ConnectionError("DevTools handshake closed")
            head += chunk
        if b" 101 " not in head.split(b"\r\n")[0]:
            raise ConnectionError("DevTools handshake refused: %r" % head[:200])
        self.next_id = 0

    def close(self):
        self.sock.close()

    def _send(self, text):
        self.sock.sendall(frame(0x1, text.encode(), masked=True))

    def _recv(self):
        message = b""
        while True:
            try:
                opcode, final, payload = read_frame(self.sock)
            except ConnectionError:
                raise ConnectionError("DevTools connection closed") from None
            if opcode in (0x1, 0x0):
                message += payload
                if final:
                    return message.decode("utf-8", "replace")
            elif opcode == 0x8:
                raise ConnectionError("DevTools connection closed by the engine")

    def call(self, method, params=None, session=None, on_event=None):
        """The result of `method`; events that come meanwhile go to `on_event`, if given."""
        self.next_id += 1
        msg = {"id": self.next_id, "method": method, "params": params or {}}
        if session:
            msg["sessionId"] = session
        self._send(json.dumps(msg))
        while True:
            answer = json.loads(self._recv())
            if on_event and "method" in answer:
                on_event(answer)
            if answer.get("id") == self.next_id:
                if "error" in answer:
                    error = answer["error"]
                    message = str(error.get("message", "")).lower()
                    if any(m in message for m in _BETWEEN_DOCUMENTS):
                        raise PageNotReady(f"{method}: {error}")
                    raise RuntimeError(f"{method}: {error}")
                return answer.get("result", {})

    def wait_event(self, method, on_event=None):
        """Reads until the event `method` comes and returns it; the events before it go to `on_event`."""
        while True:
            message = json.loads(self._recv())
            if message.get("method") == method:
                return message
            if on_event and "method" in message:
                on_event(message)


def connect(port, ws_url, timeout=10):
    """A session on the engine's WebSocket address `ws_url` (a target's or the browser's)."""
    return DevTools(port, ws_url.split(str(port), 1)[1], timeout)


def active_port(profile_dir):
    """(port, browser path) from the engine's DevToolsActivePort, or None while the
    engine is still writing it."""
    with open(os.path.join(profile_dir, "DevToolsActivePort")) as f:
        lines = f.read().split("\n")
    if len(lines) < 2 or not lines[0].isdigit() or not lines[1]:
        return None
    return int(lines[0]), lines[1]


def page_targets(port):
    with urllib.request.urlopen(f"http://127.0.0.1:{port}/json/list", timeout=5) as r:
        return [t for t in json.load(r) if t.get("type") == "page"]


def evaluate(port, target, expression, await_promise=False):
    """Evaluates `expression` in the page `target` and returns its value (a promise's
    once it settles, with `await_promise`)."""
    dt = connect(port, target["webSocketDebuggerUrl"])
    try:
        result = dt.call("Runtime.evaluate", {"expression": expression, "returnByValue": True,
                                              "awaitPromise": await_promise})
        return result.get("result", {}).get("value")
    finally:
        dt.close()
