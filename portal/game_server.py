"""The local portal's game server: what the game's movie talks to once it has
loaded, over Flash sockets, as the servers of a Flash-era web game did.

- Game port (ActionScript `Socket`): lines of UTF-8 text. The movie sends
  `hello <player> <server>` and `move <x> <y>` (its hero's place, 0..1 of the
  stage); the server sends `walker <id> <x> <y>` for the other players walking
  about (ten times a second), `clock <HH:MM:SS>` (once a second) and
  `you <id>` after the hello.
- Chat port (ActionScript `XMLSocket`): XML documents ended by a zero byte.
  The server sends `<chat from="NAME">TEXT</chat>` lines of a made-up chat log
  every few seconds and echoes what the movie says (`<say>TEXT</say>`) to every
  chat connection as a line of the player's own.
- Socket policies as Flash Player asks for them (`<policy-file-request/>` and a
  zero byte): on port 843 when this process may bind it, and on both game ports
  themselves, which is where Flash Player looks next. The policy admits every
  domain to the two game ports.

Everything it sees goes to the portal's event log: connections, hellos, moves,
chat lines, policy requests.
"""
import asyncio
import math
import threading
import time
from xml.sax.saxutils import escape, quoteattr, unescape

POLICY_REQUEST = b"<policy-file-request/>\0"
WALKERS = [("巡逻兵", 0.31), ("药师", 0.47), ("游侠", 0.73)]
CHAT_LINES = [("巡逻兵", "北边的山脊上又有星光落下了。"), ("药师", "谁需要治疗药水？一枚星晶一瓶。"),
              ("游侠", "今晚月色真好，适合赶路。"), ("巡逻兵", "注意脚下，地面开始发光了。"),
              ("药师", "集齐五枚星晶可以换一顶新帽子。")]
MAX_LINE = 4096  # a line longer than this ends the connection
FIRST_BYTES_WAIT = 1.0  # seconds a new connection has to ask for a policy


def policy(ports):
    return ("<?xml version=\"1.0\"?><cross-domain-policy><allow-access-from domain=\"*\" to-ports=\"%s\"/>"
            "</cross-domain-policy>\0" % ",".join(str(p) for p in ports)).encode()


class GameServer:
    def __init__(self, log, host, game_port, chat_port, policy_port=843, chat_every=3.0):
        self.log = log
        self.host = host
        self.wanted = {"game": game_port, "chat": chat_port}
        self.policy_port = policy_port
        self.chat_every = chat_every
        self.ports = {}
        self.game_writers = set()
        self.chat_writers = set()
        self.next_id = 1
        self.loop = None
        self.thread = None
        self.ready = threading.Event()
        self.error = None

    # --- running in a thread of its own beside the portal's HTTP listeners ------------

    def start(self):
        self.thread = threading.Thread(target=self._run, name="game-server", daemon=True)
        self.thread.start()
        self.ready.wait(10)
        if self.error:
            raise self.error
        return self.ports

    def stop(self):
        if self.loop and self.loop.is_running():
            self.loop.call_soon_threadsafe(self._stopping.set)
            self.thread.join(10)

    def _run(self):
        self.loop = asyncio.new_event_loop()
        try:
            self.loop.run_until_complete(self._main())
        except Exception as e:  # noqa: BLE001 - told to the starter, which fails loudly
            self.error = e
            self.ready.set()
        finally:
            self.loop.close()

    async def _main(self):
        self._stopping = asyncio.Event()
        servers = []
        game = await asyncio.start_server(self._game_client, self.host, self.wanted["game"])
        chat = await asyncio.start_server(self._chat_client, self.host, self.wanted["chat"])
        servers += [game, chat]
        self.ports["game"] = game.sockets[0].getsockname()[1]
        self.ports["chat"] = chat.sockets[0].getsockname()[1]
        try:
            master = await asyncio.start_server(self._policy_client, self.host, self.policy_port)
            servers.append(master)
            self.ports["policy"] = self.policy_port
        except OSError:
            self.ports["policy"] = None  # not ours to bind: the game ports answer too
        self._policy = policy([self.ports["game"], self.ports["chat"]])
        self.ready.set()
        tasks = [asyncio.ensure_future(self._walk()), asyncio.ensure_future(self._tell())]
        await self._stopping.wait()
        for t in tasks:
            t.cancel()
        for s in servers:
            s.close()
        # Every connection ends before the loop does: a transport closed on a loop
        # that stops at once would keep its socket open, and the movie would never
        # see the server go.
        clients = [t for t in asyncio.all_tasks() if t is not asyncio.current_task()]
        for t in clients:
            t.cancel()
        await asyncio.gather(*clients, return_exceptions=True)
        for w in list(self.game_writers) + list(self.chat_writers):
            w.close()
        await asyncio.sleep(0)  # the transports' own close callbacks

    # --- connections ---------------------------------------------------------------------

    async def _answer_policy(self, reader, writer):
        """Reads the connection's first bytes. A policy request is answered and the
        connection closed: None. Anything else: the bytes read, for the protocol;
        nothing when the client sends nothing at first (Flash Player asks for its
        policy at once, and an XMLSocket says nothing until the player does)."""
        got = b""
        while POLICY_REQUEST.startswith(got) and len(got) < len(POLICY_REQUEST):
            try:
                more = await asyncio.wait_for(reader.read(len(POLICY_REQUEST) - len(got)),
                                              FIRST_BYTES_WAIT if not got else None)
            except asyncio.TimeoutError:
                return got
            if not more:
                writer.close()
                return None
            got += more
        if got != POLICY_REQUEST:
            return got
        self.log.write({"kind": "game-policy", "port": writer.get_extra_info("sockname")[1]})
        writer.write(self._policy)
        await writer.drain()
        writer.close()
        return None

    async def _policy_client(self, reader, writer):
        try:
            if await asyncio.wait_for(self._answer_policy(reader, writer), 5) is not None:
                writer.close()
        except (asyncio.TimeoutError, ConnectionError):
            writer.close()

    async def _game_client(self, reader, writer):
        try:
            first = await self._answer_policy(reader, writer)
            if first is None:
                return
            ident = self.next_id
            self.next_id += 1
            self.log.write({"kind": "game-connect", "id": ident})
            self.game_writers.add(writer)
            buffer = first
            while True:
                while b"\n" not in buffer:
                    if len(buffer) > MAX_LINE:
                        return
                    data = await reader.read(4096)
                    if not data:
                        return
                    buffer += data
                line, buffer = buffer.split(b"\n", 1)
                self._game_line(ident, writer, line.decode("utf-8", "replace").strip())
        except ConnectionError:
            pass
        finally:
            self.game_writers.discard(writer)
            writer.close()

    def _game_line(self, ident, writer, line):
        words = line.split()
        if not words:
            return
        if words[0] == "hello":
            self.log.write({"kind": "game-hello", "id": ident, "player": words[1] if len(words) > 1 else "",
                            "server": words[2] if len(words) > 2 else ""})
            writer.write(("you %d\n" % ident).encode())
        elif words[0] == "move" and len(words) == 3:
            try:
                x, y = float(words[1]), float(words[2])
            except ValueError:
                return
            self.log.write({"kind": "game-move", "id": ident, "x": round(x, 3), "y": round(y, 3)})

    async def _chat_client(self, reader, writer):
        try:
            first = await self._answer_policy(reader, writer)
            if first is None:
                return
            self.log.write({"kind": "chat-connect"})
            self.chat_writers.add(writer)
            buffer = first
            while True:
                while b"\0" not in buffer:
                    if len(buffer) > MAX_LINE:
                        return
                    data = await reader.read(4096)
                    if not data:
                        return
                    buffer += data
                doc, buffer = buffer.split(b"\0", 1)
                text = doc.decode("utf-8", "replace")
                if text.startswith("<say>") and text.endswith("</say>"):
                    said = unescape(text[5:-6])
                    self.log.write({"kind": "chat-say", "text": said})
                    self._send_chat("你", said)
        except ConnectionError:
            pass
        finally:
            self.chat_writers.discard(writer)
            writer.close()

    # --- what the server makes up ----------------------------------------------------------

    def _send_chat(self, name, text):
        doc = "<chat from=%s>%s</chat>\0" % (quoteattr(name), escape(text.replace("\0", "")))
        for w in list(self.chat_writers):
            if w.transport.get_write_buffer_size() < 65536:  # as for walkers: a stalled reader misses lines
                w.write(doc.encode())

    async def _walk(self):
        tick = 0
        while True:
            await asyncio.sleep(0.1)
            tick += 1
            t = time.time()
            lines = []
            for i, (_, base) in enumerate(WALKERS):
                x = base + 0.12 * math.sin(t * (0.5 + 0.2 * i) + i)
                y = 0.72 + 0.1 * math.sin(t * (0.3 + 0.1 * i) + 2 * i)
                lines.append("walker %d %.3f %.3f\n" % (i + 1, x, y))
            if tick % 10 == 0:
                lines.append("clock %s\n" % time.strftime("%H:%M:%S"))
            data = "".join(lines).encode()
            for w in list(self.game_writers):
                if w.transport.get_write_buffer_size() < 65536:  # a reader that stopped reading misses frames
                    w.write(data)

    async def _tell(self):
        n = 0
        while True:
            await asyncio.sleep(self.chat_every if n else 0.5)
            name, text = CHAT_LINES[n % len(CHAT_LINES)]
            self._send_chat(name, text)
            n += 1
