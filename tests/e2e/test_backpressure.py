"""Backpressure: kipd's memory stays bounded and every waiting client is answered in the end.
FLOOD_SECONDS sets how long a client floods (default 3); BACKPRESSURE_REPORT=1 prints the figures."""
import json
import os
import select
import shutil
import socket
import subprocess
import sys
import tempfile
import time

from tests.e2e.support import HOST_PORT, LIMIT, ROOT, HostClient, KipdTest, wait_until

SANITIZED = os.environ.get("KIPD_SANITIZED", "") not in ("", "0", "OFF")
# A sanitized worker answers some ten times slower: a shorter flood leaves it as many answers to
# write afterwards as the plain build's has.
SECONDS = float(os.environ.get("FLOOD_SECONDS", "1" if SANITIZED else "3"))
REPORT = os.environ.get("BACKPRESSURE_REPORT")
# The bounds are some 25 MiB over all clients; a few MiB more for the allocator's pools.
MEMORY_ALLOWANCE_KIB = 32 * 1024
QUESTION = json.dumps({"type": "has_corvanet_system"}).encode() + b"\0"
# Answered with a report of each device once they are known; until then it asks the daemon.
LISTING = json.dumps({"type": "get_devices", "refresh": False}).encode() + b"\0"
SCREEN = "00:1E:C0:40:00:31"
CHANGE = json.dumps({"type": "set_tessora_info", "ip_settings": {"mac_address": SCREEN, "hostname": "kps-gallery-2"}})
MAKE_NETWORK = os.path.join(ROOT, "bench", "make_network.py")
OVERLONG = b"x" * ((1 << 20) + (64 << 10))  # past the longest request kipd takes, with no NUL


def vm_rss(pid):
    with open("/proc/%d/status" % pid) as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))


class Flooder:

    def __init__(self, test, request):
        self.sock = socket.create_connection(("127.0.0.1", HOST_PORT), timeout=10)
        test.addCleanup(self.sock.close)
        self.sock.setblocking(False)
        self.request = request
        self.sent = 0  # bytes

    def flood(self, seconds, on_tick, stalled_after=None):
        """Until `seconds` pass, or the socket takes nothing for `stalled_after` seconds."""
        chunk = self.request * 2048
        deadline = last_progress = time.monotonic()
        deadline += seconds
        while time.monotonic() < deadline:
            on_tick()
            if select.select([], [self.sock], [], 0.05)[1]:
                try:
                    self.sent += self.sock.send(chunk[self.sent % len(chunk):])
                    last_progress = time.monotonic()
                except BlockingIOError:
                    pass
            elif stalled_after and time.monotonic() - last_progress > stalled_after:
                return

    def requests(self):
        return -(-self.sent // len(self.request))

    def read_answers(self, expected_size, limit=180.0 if os.environ.get("KIPD_TSAN") else 60.0):
        tail = self.request[len(self.request) - (self.requests() * len(self.request) - self.sent):]
        received = bytearray()
        deadline = time.monotonic() + limit
        while len(received) < expected_size * self.requests() and time.monotonic() < deadline:
            readable, writable, _ = select.select([self.sock], [self.sock] if tail else [], [], 0.5)
            if writable:
                tail = tail[self.sock.send(tail):]
            if readable:
                chunk = self.sock.recv(1 << 20)
                if not chunk:
                    break
                received += chunk
        return bytes(received)


class Backpressure(KipdTest):
    options = ("--control-port", "0")

    def setUp(self):
        super().setUp()
        self.answer = wait_until(lambda: b'"true"' in (answer := self.raw_ask(self.client)) and answer)
        self.peak = self.before = vm_rss(self.kipd.pid)

    @staticmethod
    def raw_ask(client, request=QUESTION):
        client.send_raw(request)
        return client.raw_reply() + b"\0"

    def sample(self):
        self.peak = max(self.peak, vm_rss(self.kipd.pid))

    def assert_bounded(self, case, flooder=None):
        self.sample()
        if REPORT:
            sent = "%d requests; " % flooder.requests() if flooder else ""
            print("\n%s: %sVmRSS %d KiB before, %d KiB peak" % (case, sent, self.before, self.peak))
        if not SANITIZED:
            self.assertLess(self.peak - self.before, MEMORY_ALLOWANCE_KIB)

    def test_client_that_does_not_read_holds_its_bound_and_gets_every_answer_later(self):
        flooder = Flooder(self, QUESTION)
        answered = []

        def tick():
            self.sample()
            if len(answered) < 5 * (time.monotonic() - started):
                answered.append(self.raw_ask(self.client))

        started = time.monotonic()
        flooder.flood(SECONDS, tick)
        self.assertEqual((set(answered), len(answered) > 0), ({self.answer}, True))
        self.assert_bounded("client not reading", flooder)
        self.assertEqual(flooder.read_answers(len(self.answer)), self.answer * flooder.requests())

    def test_stalled_configuration_daemon_holds_only_the_clients_that_send_to_it(self):
        self.assertTrue(self.sim.control({"cmd": "faults", "args": ["--stall-reading"]})["ok"])
        # Each listing sends one message to the stalled daemon, until that link is backed up.
        for flooder in [Flooder(self, LISTING) for _ in range(16)]:
            flooder.flood(0.25, self.sample)
        for _ in range(3):  # questions the tree answers go on meanwhile
            self.assertEqual(self.raw_ask(self.client), self.answer)
        self.assert_bounded("configuration daemon not reading", flooder)

    def test_overlong_requests_in_a_row_leave_nothing_behind(self):
        for _ in range(300):
            with socket.create_connection(("127.0.0.1", HOST_PORT)) as sock:
                try:
                    sock.sendall(OVERLONG)
                except OSError:
                    pass  # kipd may close first
            self.assertEqual(self.raw_ask(self.client), self.answer)
            self.sample()
        self.assert_bounded("over-long requests")

    def test_change_sent_while_held_back_takes_effect_after_the_client_leaves(self):
        self.client.request({"type": "get_devices", "refresh": False})  # now known, listings need only the tree
        self.assertIn(SCREEN, str([self.client.reply() for _ in range(8)]))
        with socket.socket() as sock:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            sock.connect(("127.0.0.1", HOST_PORT))
            # Megabytes of reports that are not read hold back the change behind them.
            sock.sendall(LISTING * 1400 + CHANGE.encode() + b"\0")
            time.sleep(1)  # long enough to have answered them all, were the answers read
            self.assertNotIn("kps-gallery-2", str(self.sim.received("text")))
        # 1,400 listings go first: under a sanitizer the worker takes ten times as long over them.
        self.assertTrue(wait_until(lambda: "hostname=kps-gallery-2" in str(self.sim.received("text")),
                                   LIMIT * (3 if SANITIZED else 1)))


class FileLimit(KipdTest):
    prefix = ("prlimit", "--nofile=64:64")

    def test_clients_beyond_the_file_limit_wait_and_are_served(self):
        crowd = [HostClient(limit=30.0) for _ in range(120)]
        for client in crowd:
            client.request({"type": "has_corvanet_system"})
        # The first 48 or so are served at once; each one leaving lets another in.
        for client in crowd:
            self.assertEqual(client.reply()["type"], "has_corvanet_system_response")
            client.close()
        self.assertEqual(self.ask({"type": "has_corvanet_system"}, self.connect(10.0))["type"],
                         "has_corvanet_system_response")
        self.assertIsNone(self.kipd.poll())


class SlowSteadyReader(KipdTest):
    """A client that reads is never disconnected, however far its requests' reports put it behind."""

    DEVICES = 5000

    def setUp(self):
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        self.network = os.path.join(folder, "network.json")
        subprocess.run([sys.executable, MAKE_NETWORK, str(self.DEVICES), self.network], check=True)
        super().setUp()

    def reports(self, sock, pause, listings=1):
        """Reads until every device is reported `listings` times, `pause` seconds after each read of 8 KiB."""
        received, count = bytearray(), 0
        deadline = time.monotonic() + 120
        while count < listings * (self.DEVICES + 1) and time.monotonic() < deadline:
            chunk = sock.recv(8192)
            if not chunk:
                break
            received += chunk
            count = received.count(b'_info"')
            time.sleep(pause)
        return count

    def test_reader_that_reads_slowly_but_steadily_gets_every_report_of_a_large_network(self):
        with socket.socket() as sock:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 32 << 10)
            sock.connect(("127.0.0.1", HOST_PORT))
            sock.settimeout(30)
            sock.sendall(json.dumps({"type": "get_devices"}).encode() + b"\0")
            self.assertEqual(self.reports(sock, 0), self.DEVICES + 1)
            # Now known, they are reported at once: megabytes more than the sockets hold.
            sock.sendall(LISTING * 3)
            self.assertEqual(self.reports(sock, 0.01, 3), 3 * (self.DEVICES + 1))
