"""Network side of the simulator: the two link ports, the control port and the log."""

import asyncio
import dataclasses
import functools
import itertools
import json
import socket
import sys
import time

from . import codec, schema
from .confd import DIRECT_LINK, MAIN_LINK
from .faults import Faults

READ_SIZE = 65536
# A rebooting box drops its connections a moment after it was told to reboot.
REBOOT_DROP_AFTER = 0.05
# Longest wait at shutdown for connection handlers to see their end.
CLOSE_WAIT = 2.0


def _acknowledge_at_once(writer):
    """The daemon's links send without TCP_NODELAY: each small message waits for the last one's
    acknowledgement, which Linux would otherwise hold back for up to 40 ms."""
    sock = writer.get_extra_info("socket")
    if sock is not None and hasattr(socket, "TCP_QUICKACK"):
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_QUICKACK, 1)


class TrafficLog:
    """Every message in and out: JSON lines to a file, and readable lines when verbose."""

    def __init__(self, path=None, verbose=False, stream=None):
        self._file = open(path, "w", encoding="utf-8") if path else None
        self._verbose = verbose
        self._stream = stream or sys.stderr
        self._seq = itertools.count(1)
        self._start = time.monotonic()

    def record(self, direction, conn, raw=None, message=None, **notes):
        entry = {"seq": next(self._seq), "time": round(time.monotonic() - self._start, 4),
                 "dir": direction, "link": conn.link, "port": conn.port, "conn": conn.id}
        if raw is not None:
            raw = raw[:-1] if raw.endswith(codec.NUL) else raw
            message = message or codec.parse(raw)
            entry.update({"to": message.to, "from": message.sender, "msg": message.name,
                          "body": [list(pair) for pair in message.body],
                          "text": codec.to_text(raw)})
            if message.problems:
                entry["problems"] = list(message.problems)
        entry.update({key: value for key, value in notes.items() if value is not None})
        if self._file:
            self._file.write(json.dumps(entry) + "\n")
            self._file.flush()
        if self._verbose:
            self._print(entry)

    def _print(self, entry):
        arrow = {"in": "<-", "out": "->"}.get(entry["dir"], entry["dir"])
        line = f"[{entry['link']}#{entry['conn']}] {arrow}"
        if "msg" in entry:
            body = " ".join(f"{k}={v}" for k, v in entry["body"])
            line += f" {entry['msg']!r} to={entry['to']} from={entry['from']} {body}"
        for key in ("fault", "reason", "problems"):
            if key in entry:
                line += f" [{key}: {entry[key]}]"
        print(line, file=self._stream, flush=True)

    def close(self):
        if self._file:
            self._file.close()
            self._file = None


class Connection:
    _ids = itertools.count(1)

    def __init__(self, link, port, writer):
        self.id = next(self._ids)
        self.link, self.port, self.writer = link, port, writer
        self.framer = codec.Framer()
        self.open = True

    def write(self, data):
        if not self.open or self.writer.is_closing():
            return False
        self.writer.write(data)
        return True

    def close(self):
        self.open = False
        self.writer.close()


class Simulator:
    def __init__(self, confd, faults, log, address="127.0.0.1", ports=(3972, 3973),
                 control_port=None, on_change=None, reboot_drops=False):
        self.confd, self.log = confd, log
        self._reading = asyncio.Event()
        self.faults = faults
        self.address, self.ports, self.control_port = address, ports, control_port
        self.on_change = on_change
        self.reboot_drops = reboot_drops
        self.connections = set()
        self._servers = []
        self._tasks = set()
        self._handlers = set()
        self._control_writers = set()
        self.bound = {}

    @property
    def faults(self):
        return self._faults

    @faults.setter
    def faults(self, faults):
        self._faults = faults
        if faults.stall_reading:
            self._reading.clear()
        else:
            self._reading.set()

    async def start(self):
        for link, port in zip((MAIN_LINK, DIRECT_LINK), self.ports):
            await self._listen(link, functools.partial(self._serve, link), port)
        if self.control_port is not None:
            await self._listen("control", self._serve_control, self.control_port)

    async def _listen(self, name, callback, port):
        server = await asyncio.start_server(callback, self.address, port)
        self._servers.append(server)
        self.bound[name] = server.sockets[0].getsockname()[1]

    def ready_lines(self):
        lines = []
        if "control" in self.bound:
            lines.append(f"kip-confd-sim: control on {self.address}:{self.bound['control']}")
        lines.append(f"kip-confd-sim: listening on {self.address}:"
                     f"{self.bound[MAIN_LINK]},{self.bound[DIRECT_LINK]}")
        return lines

    async def close(self):
        """Stop listening and let every connection handler end by itself."""
        for server in self._servers:
            server.close()
        self.close_connections()
        for writer in list(self._control_writers):
            writer.close()
        for task in list(self._tasks):
            task.cancel()
        if self._handlers:
            await asyncio.wait(list(self._handlers), timeout=CLOSE_WAIT)
        for server in self._servers:
            await server.wait_closed()

    def close_connections(self, link=None):
        for conn in list(self.connections):
            if link in (None, conn.link):
                conn.close()

    # ---- link connections ----------------------------------------------------------

    async def _serve(self, link, reader, writer):
        conn = Connection(link, self.bound[link], writer)
        self.connections.add(conn)
        handler = asyncio.current_task()
        self._handlers.add(handler)
        self.log.record("connect", conn)
        try:
            while conn.open:
                await self._reading.wait()
                data = await reader.read(READ_SIZE)
                if not data:
                    break
                _acknowledge_at_once(writer)
                self._receive(conn, data)
        except (ConnectionError, OSError):
            pass
        finally:
            self.connections.discard(conn)
            self._handlers.discard(handler)
            self.log.record("disconnect", conn)
            conn.close()

    def _receive(self, conn, data):
        discarded = conn.framer.discarded
        for raw in conn.framer.feed(data):
            if conn.open:
                self._on_message(conn, raw)
        if conn.framer.discarded != discarded:
            self.log.record("garbage", conn, reason=f"{conn.framer.discarded - discarded} "
                                                    "bytes without a NUL discarded")

    def _on_message(self, conn, raw):
        message = codec.parse(raw)
        if not message.complete:
            self.log.record("in", conn, raw, message)
            return
        if self.faults.closes(message.name):
            self.log.record("in", conn, raw, message, fault="close")
            conn.close()
            return
        outcome = self.confd.handle(message, conn.link, self.faults)
        self.log.record("in", conn, raw, message)
        if outcome.changed and self.on_change:
            self.on_change()
        self._answer(conn, message.name, outcome.replies)
        if outcome.box_rebooted and self.reboot_drops:
            asyncio.get_running_loop().call_later(REBOOT_DROP_AFTER, self.close_connections)

    def _answer(self, conn, name, replies):
        if replies and self.faults.drops(name):
            for reply in replies:
                self.log.record("dropped", conn, reply.encode(), fault="drop")
            return
        batch = self._with_faults(name, replies)
        if all(out.delay == 0 for out in batch):
            for out in batch:
                self._send(conn, out)
        elif batch:
            task = asyncio.ensure_future(self._send_later(conn, batch))
            self._tasks.add(task)
            task.add_done_callback(self._tasks.discard)

    def _with_faults(self, name, replies):
        """Decoys go right before their reply; the fault delay holds back the first."""
        batch = []
        extra = self.faults.delay_for(name)
        for index, reply in enumerate(replies):
            group = self.faults.decoys(reply) + [dataclasses.replace(reply, delay=0.0)]
            group[0] = dataclasses.replace(group[0], delay=reply.delay + (extra if index == 0 else 0))
            batch += group
        return batch

    async def _send_later(self, conn, batch):
        for out in batch:
            if out.delay:
                await asyncio.sleep(out.delay)
            self._send(conn, out)

    def _send(self, conn, out):
        try:
            data = out.encode()
        except codec.WireError as error:
            self.log.record("unsendable", conn, reason=f"{out.name!r}: {error}")
            return
        if conn.write(data):
            self.log.record("out", conn, data, fault=out.fault)
        else:
            self.log.record("dropped", conn, data, reason="connection closed")

    # ---- control port ----------------------------------------------------------------

    async def _serve_control(self, reader, writer):
        handler = asyncio.current_task()
        self._handlers.add(handler)
        self._control_writers.add(writer)
        try:
            while line := await reader.readline():
                writer.write((json.dumps(self._control_reply(line)) + "\n").encode())
                await writer.drain()
        except (ConnectionError, OSError):
            pass
        finally:
            self._handlers.discard(handler)
            self._control_writers.discard(writer)
            writer.close()

    def _control_reply(self, line):
        try:
            request = json.loads(line)
            return {"ok": True, **self._control(request)}
        except (ValueError, KeyError, TypeError, AttributeError, schema.NetworkError) as error:
            return {"ok": False, "error": str(error)}

    def _control(self, request):
        command = request["cmd"]
        if command == "faults":
            self.faults = Faults.from_args(list(request.get("args", [])))
            return {}
        if command == "state":
            return {"network": self.confd.network.to_dict()}
        if command == "network":
            self.confd.network.replace(schema.check(request["network"], "the control port's network"))
            if self.on_change:
                self.on_change()
            return {}
        if command == "send":
            return {"sent": self._inject(request["link"], request["text"])}
        if command == "close":
            self.close_connections(request.get("link"))
            return {}
        raise ValueError(f"unknown command {command!r}")

    def _inject(self, link, text):
        """Send a raw message (NUL added) on every connection of a link."""
        data = codec.to_bytes(text) + codec.NUL
        sent = 0
        for conn in list(self.connections):
            if conn.link == link and conn.write(data):
                self.log.record("out", conn, data, fault="injected")
                sent += 1
        return sent
