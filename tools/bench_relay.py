"""On-demand benchmark of the client's socket relay (not a test): round trips of a
100-byte message through the relay against direct TCP on loopback (median and 99th
percentile over 1,000), the throughput of a 10 MB transfer, and the client's CPU
while a page exchanges 100 messages a second. Run through tools/bench.sh relay,
which provides the display and Wine.

The page-side figures use the engine's own WebSocket in a page of the client, which
is the road a movie's socket takes below the emulator; the emulator's own share
(its ActionScript events) is not in them."""
import os
import socket
import statistics
import struct
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "system"))
import devtools  # noqa: E402
import road  # noqa: E402

POLICY_REQUEST = b"<policy-file-request/>\0"
POLICY = b'<cross-domain-policy><allow-access-from domain="*" to-ports="*"/></cross-domain-policy>\0'
ROUNDS = 1000
MESSAGE = b"m" * 100
FLOOD = 10 * 1024 * 1024
TICK = os.sysconf("SC_CLK_TCK")


def page_value(port, expression):
    targets = [t for t in devtools.page_targets(port) if t.get("url") != "about:blank"]
    return devtools.evaluate(port, targets[0], expression) if targets else None


class Server:
    """Echoes what comes; a connection whose first bytes are "flood" gets FLOOD bytes
    and is closed. Answers Flash's policy request with a policy for everyone."""

    def __init__(self):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _serve(self, conn):
        with conn:
            try:
                data = conn.recv(65536)
                if data.startswith(POLICY_REQUEST):
                    conn.sendall(POLICY)
                    return
                if data.startswith(b"flood"):
                    chunk = b"f" * 65536
                    for _ in range(FLOOD // len(chunk)):
                        conn.sendall(chunk)
                    return
                while data:
                    conn.sendall(data)
                    data = conn.recv(65536)
            except OSError:
                pass


class WebSocketClient:
    def __init__(self, port, path, origin):
        self.s = socket.create_connection(("127.0.0.1", port), timeout=30)
        self.s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.s.sendall((f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                        f"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
                        f"Origin: {origin}\r\n\r\n").encode())
        head = b""
        while b"\r\n\r\n" not in head:
            head += self.s.recv(1)
        if b" 101 " not in head.split(b"\r\n")[0]:
            raise RuntimeError(f"relay refused: {head[:80]!r}")
        self.buf = b""

    def send(self, data):
        mask = os.urandom(4)
        n = len(data)
        head = struct.pack("!BB", 0x82, 0x80 | n) if n < 126 else struct.pack("!BBH", 0x82, 0x80 | 126, n)
        self.s.sendall(head + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(data)))

    def _exact(self, n):
        while len(self.buf) < n:
            more = self.s.recv(262144)
            if not more:
                raise ConnectionError("closed")
            self.buf += more
        out, self.buf = self.buf[:n], self.buf[n:]
        return out

    def frame(self):
        b0, b1 = self._exact(2)
        n = b1 & 0x7F
        if n == 126:
            n = struct.unpack("!H", self._exact(2))[0]
        elif n == 127:
            n = struct.unpack("!Q", self._exact(8))[0]
        return b0 & 0x0F, self._exact(n)

    def read(self, size):
        got = b""
        while len(got) < size:
            opcode, payload = self.frame()
            if opcode == 8:
                break
            got += payload
        return got


def percentiles(samples_ms):
    samples = sorted(samples_ms)
    return statistics.median(samples), samples[int(len(samples) * 0.99) - 1]


def direct_round_trips(port):
    with socket.create_connection(("127.0.0.1", port)) as s:
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        times = []
        for _ in range(ROUNDS):
            t = time.perf_counter()
            s.sendall(MESSAGE)
            got = b""
            while len(got) < len(MESSAGE):
                got += s.recv(65536)
            times.append((time.perf_counter() - t) * 1000)
    return percentiles(times)


def relay_round_trips(relay_port, token, port, origin):
    ws = WebSocketClient(relay_port, f"/{token}/127.0.0.1/{port}", origin)
    times = []
    for _ in range(ROUNDS):
        t = time.perf_counter()
        ws.send(MESSAGE)
        ws.read(len(MESSAGE))
        times.append((time.perf_counter() - t) * 1000)
    ws.s.close()
    return percentiles(times)


def relay_flood(relay_port, token, port, origin):
    ws = WebSocketClient(relay_port, f"/{token}/127.0.0.1/{port}", origin)
    t = time.perf_counter()
    ws.send(b"flood")
    got = ws.read(FLOOD + 1)
    seconds = time.perf_counter() - t
    ws.s.close()
    return len(got), seconds


def client_pid():
    """The client's browser process: of the processes running vornmark.exe without
    a --type switch (Wine's start-up stubs among them), the one using most memory."""
    best, best_rss = None, -1
    for pid in road._pids():
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                args = f.read().split(b"\0")
            if not any(a.endswith(b"vornmark.exe") for a in args[:2]) or b"--type" in b" ".join(args):
                continue
            with open(f"/proc/{pid}/statm") as f:
                rss = int(f.read().split()[1])
        except OSError:
            continue
        if rss > best_rss:
            best, best_rss = pid, rss
    return best


def cpu_ticks(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def wait_page(port, name, timeout=120):
    return road.wait_for(lambda: page_value(port, f"window.{name}"), timeout, name)


def main():
    portal = road.Portal()
    client = road.Client()
    server = Server()
    failed = False
    try:
        client.start()
        road.wait_for(lambda: client.window_sized(1230, 728), 90, "the launcher")
        profile = road.wait_for(road.engine_profile, 30, "the engine profile")
        port, _ = road.wait_for(lambda: os.path.exists(os.path.join(profile, "DevToolsActivePort")) and
                                devtools.active_port(profile), 30, "the engine's DevTools port")
        road.wait_for(lambda: page_value(port, "!!document.getElementById('username')"), 30, "the login page")
        origin = f"http://127.0.0.1:{road.PORTAL_PORT}"
        page_value(port, f"location.href = '{origin}/test/flash-net.html'")
        url = road.wait_for(lambda: page_value(port, "window.RufflePlayer && RufflePlayer.config.socketProxy[0].proxyUrl"),
                            60, "the relay's entries in the page")
        relay_port, token = int(url.split("/")[2].split(":")[1]), url.split("/")[3]
        base = url.rsplit("/", 2)[0] + "/"

        direct = direct_round_trips(server.port)
        relayed = relay_round_trips(relay_port, token, server.port, origin)
        print(f"round trip of {len(MESSAGE)} bytes over {ROUNDS} (ms):")
        print(f"  direct TCP on loopback          median {direct[0]:.3f}  p99 {direct[1]:.3f}")
        print(f"  through the relay (WebSocket)   median {relayed[0]:.3f}  p99 {relayed[1]:.3f}"
              f"  (adds {relayed[0] - direct[0]:.3f} median)")
        if relayed[0] - direct[0] >= 1.0:
            print("  OVER BUDGET: the relay adds 1 ms or more at the median")
            failed = True

        # The same from a page of the client, with the engine's WebSocket.
        page_value(port, f"""(() => {{
            const ws = new WebSocket({base + '127.0.0.1/' + str(server.port)!r});
            ws.binaryType = 'arraybuffer';
            const message = new Uint8Array({len(MESSAGE)}).fill(109), times = [];
            let t = 0;
            ws.onopen = () => {{ t = performance.now(); ws.send(message); }};
            ws.onmessage = (e) => {{
                times.push(performance.now() - t);
                if (times.length === {ROUNDS}) {{ ws.close(); times.sort((a, b) => a - b);
                    window.__rtt = [times[{ROUNDS} / 2], times[Math.floor({ROUNDS} * 0.99) - 1]]; return; }}
                t = performance.now(); ws.send(message);
            }};
            return true;
        }})()""")
        rtt = wait_page(port, "__rtt")
        print(f"  page -> relay -> server -> page median {rtt[0]:.3f}  p99 {rtt[1]:.3f}")

        size, seconds = relay_flood(relay_port, token, server.port, origin)
        print(f"10 MB through the relay: {size / seconds / 1e6:.1f} MB/s ({seconds:.2f} s, {size} bytes)")
        page_value(port, f"""(() => {{
            const ws = new WebSocket({base + '127.0.0.1/' + str(server.port)!r});
            ws.binaryType = 'arraybuffer';
            let bytes = 0, t = 0;
            ws.onopen = () => {{ t = performance.now(); ws.send('flood'); }};
            ws.onmessage = (e) => {{ bytes += e.data.byteLength; }};
            ws.onclose = () => {{ window.__flood = [bytes, (performance.now() - t) / 1000]; }};
            return true;
        }})()""")
        flood = wait_page(port, "__flood")
        print(f"10 MB into a page through the relay: {flood[0] / flood[1] / 1e6:.1f} MB/s ({flood[1]:.2f} s)")

        pid = client_pid()
        seconds = 10
        # The client's own CPU with the page idle, over as long, for comparison.
        idle_ticks, idle_start = cpu_ticks(pid), time.time()
        time.sleep(seconds)
        idle = (cpu_ticks(pid) - idle_ticks) / TICK / (time.time() - idle_start)
        page_value(port, f"""(() => {{
            const ws = new WebSocket({base + '127.0.0.1/' + str(server.port)!r});
            ws.binaryType = 'arraybuffer';
            let echoed = 0;  // messages, by their bytes: the server may echo two at once
            ws.onmessage = (e) => {{ echoed += e.data.byteLength / 100; }};
            ws.onopen = () => {{
                // Timers may fire late: each one sends what is due by then.
                const start = performance.now();
                let sent = 0;
                const timer = setInterval(() => {{
                    const due = Math.floor((performance.now() - start) / 10);
                    for (; sent < due; sent++) ws.send('m'.repeat(100));
                }}, 10);
                setTimeout(() => {{ clearInterval(timer); window.__steady = echoed; }}, {seconds * 1000});
            }};
            return true;
        }})()""")
        start_ticks, start = cpu_ticks(pid), time.time()
        echoed = wait_page(port, "__steady", seconds + 30)
        used = (cpu_ticks(pid) - start_ticks) / TICK / (time.time() - start)
        print(f"client CPU at 100 messages a second: {used * 100:.1f} % of one core "
              f"({echoed:.0f} messages echoed in {seconds} s); idle {idle * 100:.1f} %")
        road.close_from_launcher(client)
    except Exception as e:  # noqa: BLE001 - a benchmark reports what it could not measure
        print(f"could not measure: {type(e).__name__}: {e}")
        failed = True
    finally:
        client.cleanup()
        portal.stop()
        server.listener.close()
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
