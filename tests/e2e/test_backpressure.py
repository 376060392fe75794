"""Backpressure: a client that writes without reading, a configuration daemon that stops reading,
and more clients than the open-file limit allows. kipd's memory stays bounded, nothing is dropped,
and every client that waits is answered in the end.

FLOOD_SECONDS sets how long a client floods (default 3); BACKPRESSURE_REPORT=1 prints the figures."""
import json
import os
import select
import socket
import subprocess
import time
import unittest

from tests.e2e.support import (KIPD, ROOT, HOST_PORT, HostClient, Simulator, start_kipd, stop, wait_until)

NETWORK = os.path.join(ROOT, "examples", "network.json")
SECONDS = float(os.environ.get("FLOOD_SECONDS", "3"))
SANITIZED = os.environ.get("KIPD_SANITIZED", "") not in ("", "0", "OFF")
REPORT = os.environ.get("BACKPRESSURE_REPORT")
# The bounds are some 17 MiB over all clients; a few MiB more for the allocator's pools.
MEMORY_ALLOWANCE_KIB = 24 * 1024
QUESTION = json.dumps({"type": "has_corvanet_system"}).encode() + b"\0"
SEARCH = json.dumps({"type": "get_devices", "refresh": True}).encode() + b"\0"


def vm_rss(pid):
    with open("/proc/%d/status" % pid) as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))


class Flooder:
    """Writes one request over and over without reading, as fast as the socket takes it."""

    def __init__(self, request):
        self.sock = socket.create_connection(("127.0.0.1", HOST_PORT), timeout=10)
        self.sock.setblocking(False)
        self.request = request
        self.sent = 0  # bytes

    def flood(self, seconds, on_tick, stalled_after=None):
        """Until `seconds` pass, or the socket takes nothing for `stalled_after` seconds."""
        chunk = self.request * 2048
        deadline = time.monotonic() + seconds
        last_progress = time.monotonic()
        while time.monotonic() < deadline:
            on_tick()
            if select.select([], [self.sock], [], 0.05)[1]:
                offset = self.sent % len(chunk)
                try:
                    self.sent += self.sock.send(chunk[offset:])
                    last_progress = time.monotonic()
                except BlockingIOError:
                    pass
            elif stalled_after and time.monotonic() - last_progress > stalled_after:
                return

    def requests(self):
        return -(-self.sent // len(self.request))

    def read_answers(self, expected_text, limit=60.0):
        """Completes the last request and reads until every answer is in; returns what came."""
        missing = self.requests() * len(self.request) - self.sent
        tail = self.request[len(self.request) - missing:]
        received = bytearray()
        deadline = time.monotonic() + limit
        while len(received) < len(expected_text) * self.requests() and time.monotonic() < deadline:
            readable, writable, _ = select.select([self.sock], [self.sock] if tail else [], [], 0.5)
            if writable:
                tail = tail[self.sock.send(tail):]
            if readable:
                chunk = self.sock.recv(1 << 20)
                if not chunk:
                    break
                received += chunk
        return bytes(received)

    def close(self):
        self.sock.close()


class BackpressureTest(unittest.TestCase):
    def start(self, *simulator_options):
        self.simulator = Simulator(NETWORK, *simulator_options)
        self.addCleanup(lambda: self.simulator.stop())
        self.kipd = start_kipd("127.0.0.1")
        self.addCleanup(lambda: stop(self.kipd))
        self.client = HostClient(limit=10.0)
        self.addCleanup(self.client.close)
        self.answer = self.ask(self.client)
        self.peak = self.before = vm_rss(self.kipd.pid)

    def ask(self, client, request=QUESTION):
        client.send_raw(request)
        text, _, client.buffer = (client.buffer + self.raw_reply(client)).partition(b"\0")
        return text + b"\0"

    @staticmethod
    def raw_reply(client):
        data = b""
        while b"\0" not in data:
            chunk = client.sock.recv(65536)
            if not chunk:
                raise ConnectionError("kipd closed the connection")
            data += chunk
        return data

    def sample(self):
        self.peak = max(self.peak, vm_rss(self.kipd.pid))

    def report(self, case, flooder, seconds, after):
        if REPORT:
            print("\n%s: %d requests (%.1f MB) in %.1f s; VmRSS %d KiB before, %d KiB peak, %d KiB after"
                  % (case, flooder.requests(), flooder.sent / 1e6, seconds, self.before, self.peak, after))

    def assert_bounded(self):
        if not SANITIZED:
            self.assertLess(self.peak - self.before, MEMORY_ALLOWANCE_KIB)

    def test_client_that_does_not_read_holds_its_bound_and_gets_every_answer_later(self):
        self.start()
        flooder = Flooder(QUESTION)
        answered = []
        last = [0.0]
        slowest = [0.0]

        def tick():
            self.sample()
            if time.monotonic() - last[0] > 0.2:
                asked = time.monotonic()
                answered.append(self.ask(self.client))
                last[0] = time.monotonic()
                slowest[0] = max(slowest[0], last[0] - asked)

        started = time.monotonic()
        flooder.flood(SECONDS, tick)
        seconds = time.monotonic() - started
        self.assertTrue(answered)
        self.assertEqual(set(answered), {self.answer})
        self.assert_bounded()
        received = flooder.read_answers(self.answer)
        self.report("client not reading", flooder, seconds, vm_rss(self.kipd.pid))
        if REPORT:
            print("another client: %d answers meanwhile, the slowest in %.1f ms" % (len(answered), slowest[0] * 1000))
        self.assertEqual(len(received), len(self.answer) * flooder.requests())
        self.assertEqual(received, self.answer * flooder.requests())
        flooder.close()

    def test_client_that_leaves_unread_gives_back_what_it_took(self):
        self.start()
        self.client.close()
        flooder = Flooder(QUESTION)
        flooder.flood(SECONDS, self.sample)
        self.assert_bounded()
        flooder.close()
        if not SANITIZED:
            self.assertTrue(wait_until(lambda: vm_rss(self.kipd.pid) < self.before + 2048, limit=10),
                            "kipd kept memory of a client that left: %d KiB, %d KiB before"
                            % (vm_rss(self.kipd.pid), self.before))
        self.report("client leaving unread", flooder, SECONDS, vm_rss(self.kipd.pid))

    def test_stalled_configuration_daemon_holds_the_clients_until_it_reads_again(self):
        self.start("--control-port", "0")
        self.assertTrue(self.simulator.control({"cmd": "faults", "args": ["--stall-reading"]})["ok"])
        flooder = Flooder(SEARCH)
        started = time.monotonic()
        # Each search sends one message to the stalled daemon; kipd stops reading the client
        # once that link is backed up.
        flooder.flood(max(SECONDS, 10), self.sample, stalled_after=1.0)
        seconds = time.monotonic() - started
        waiting = [HostClient(limit=60.0) for _ in range(3)]
        for client in waiting:
            client.send_raw(QUESTION)
        for _ in range(10):
            self.sample()
            time.sleep(0.05)
        self.assert_bounded()
        self.assertTrue(self.simulator.control({"cmd": "faults", "args": []})["ok"])
        for client in waiting:
            self.assertEqual(client.reply()["type"], "has_corvanet_system_response")
            client.close()
        self.report("configuration daemon not reading", flooder, seconds, vm_rss(self.kipd.pid))
        flooder.close()


class FileLimitTest(unittest.TestCase):
    def test_clients_beyond_the_file_limit_wait_and_are_served(self):
        simulator = Simulator(NETWORK)
        self.addCleanup(simulator.stop)
        kipd = subprocess.Popen(["prlimit", "--nofile=64:64", KIPD, "127.0.0.1"],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.addCleanup(lambda: stop(kipd))
        first = HostClient(limit=10.0)
        first.request({"type": "has_corvanet_system"})
        self.assertEqual(first.reply()["type"], "has_corvanet_system_response")
        crowd = [first] + [HostClient(limit=30.0) for _ in range(119)]
        for client in crowd:
            client.request({"type": "has_corvanet_system"})
        # The first 48 or so are served at once; each one leaving lets another in.
        for client in crowd:
            self.assertEqual(client.reply()["type"], "has_corvanet_system_response")
            client.close()
        late = HostClient(limit=10.0)
        late.request({"type": "has_corvanet_system"})
        self.assertEqual(late.reply()["type"], "has_corvanet_system_response")
        late.close()
        self.assertIsNone(kipd.poll())


if __name__ == "__main__":
    unittest.main()
