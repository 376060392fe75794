"""Connection churn: hundreds of clients come and go, some mid-request or with half a request,
while the configuration daemon restarts and drops replies. Clients that stay connected through
it all get their answers afterwards, and kipd gives back the sockets and memory the others used.

A pending answer belongs to the last request that waits on the configuration daemon, runs
again on every later reply of its kind, and is dropped by any client that leaves; so during the
churn a question may go unanswered or be answered twice. The clients that stay therefore ask
once the churn is over and the configuration daemon's late replies are in, one after the other.

The size of the run comes from the environment, for longer runs by hand:
CHURN_SECONDS (how long clients come and go), CHURN_THREADS (how many at once), CHURN_STEADY
(clients that stay); CHURN_REPORT=1 prints the figures."""
import json
import os
import random
import socket
import threading
import time
import unittest

from tests.e2e.support import (ROOT, HOST_PORT, HostClient, Simulator, start_kipd, stop, wait_until)

NETWORK = os.path.join(ROOT, "examples", "network.json")
SECONDS = float(os.environ.get("CHURN_SECONDS", "6"))
THREADS = int(os.environ.get("CHURN_THREADS", "100"))
STEADY = int(os.environ.get("CHURN_STEADY", "10"))
# Sanitizers keep freed memory in quarantine, so memory is only compared in a plain build.
SANITIZED = os.environ.get("KIPD_SANITIZED", "") not in ("", "0", "OFF")

# Answered from the tree once the system was read, whatever the configuration daemon does.
TREE_QUESTIONS = ["has_corvanet_system", "get_corvanet_ip_settings", "get_corvanets"]
# Answered after the configuration daemon replies; they replace each other's pending answer.
DAEMON_QUESTIONS = [{"type": "may_use_builder"}, {"type": "may_change_corvanet_ip_settings"},
                    {"type": "get_devices", "refresh": True}, {"type": "get_devices", "refresh": False}]


def process_figures(pid):
    """(resident anonymous memory in KiB, open sockets) of a process. Pages of the binary and
    its libraries count in the resident size too, but they are shared and the kernel can drop
    them; what the process itself allocates is the anonymous part."""
    with open("/proc/%d/status" % pid) as status:
        rss = next(int(line.split()[1]) for line in status if line.startswith("RssAnon:"))
    fd_dir = "/proc/%d/fd" % pid
    sockets = 0
    for name in os.listdir(fd_dir):
        try:
            sockets += os.readlink(os.path.join(fd_dir, name)).startswith("socket:")
        except OSError:
            pass
    return rss, sockets


def encode(request):
    return json.dumps(request).encode() + b"\0"


class Churner:
    """One client that comes, does one kind of thing and goes."""

    def __init__(self, rng):
        self.rng = rng

    def run(self):
        kind = self.rng.choice([self.ask_and_leave, self.leave_mid_request, self.leave_mid_text,
                                self.send_garbage, self.leave_unread])
        try:
            with socket.create_connection(("127.0.0.1", HOST_PORT), timeout=5) as sock:
                kind(sock)
        except OSError:
            pass  # kipd may close a garbage sender; the checks are on the steady clients

    def ask_and_leave(self, sock):
        sock.sendall(b"".join(encode({"type": t}) for t in TREE_QUESTIONS))
        sock.recv(65536)

    def leave_mid_request(self, sock):
        sock.sendall(encode(self.rng.choice(DAEMON_QUESTIONS)))

    def leave_mid_text(self, sock):
        text = encode(self.rng.choice(DAEMON_QUESTIONS + [{"type": t} for t in TREE_QUESTIONS]))
        sock.sendall(text[:self.rng.randrange(1, len(text) - 1)])

    def send_garbage(self, sock):
        sock.sendall(bytes(self.rng.randrange(256) for _ in range(self.rng.randrange(1, 300))) + b"\0")
        sock.recv(65536)

    def leave_unread(self, sock):
        sock.sendall(encode({"type": "get_devices", "refresh": False}) * 5)


class ChurnTest(unittest.TestCase):
    maxDiff = None
    def setUp(self):
        self.simulator = Simulator(NETWORK)
        self.kipd = start_kipd("127.0.0.1")
        self.addCleanup(lambda: stop(self.kipd))
        self.addCleanup(lambda: self.simulator.stop())

    def restart_simulator(self, *options):
        self.simulator.stop()
        self.simulator = Simulator(NETWORK, *options)

    def churn(self, seconds, seed):
        """Clients come and go on THREADS threads for `seconds`; returns the threads and a list
        that counts the sessions."""
        deadline = time.monotonic() + seconds
        sessions = []

        def work(rng):
            while time.monotonic() < deadline:
                Churner(rng).run()
                sessions.append(1)

        threads = [threading.Thread(target=work, args=(random.Random(seed * 1000 + i),), daemon=True)
                   for i in range(THREADS)]
        for thread in threads:
            thread.start()
        return threads, sessions

    def restart_simulator_twice(self):
        """Down for a moment, back dropping the replies the daemon waits on, down again, back."""
        time.sleep(SECONDS * 0.2)
        self.restart_simulator("--drop", "device get", "--drop", "spread get")
        time.sleep(SECONDS * 0.3)
        self.restart_simulator()

    def settle(self):
        """Asks until no late reply of the configuration daemon answers the question again, then
        leaves, which drops the pending answer."""
        client = HostClient(limit=10.0)
        client.request({"type": "has_corvanet_system"})
        client.reply()
        client.sock.settimeout(1.0)
        try:
            while True:
                client.reply()
        except socket.timeout:
            pass
        client.close()

    def test_churn_keeps_answering_and_gives_back_what_it_took(self):
        first = HostClient(limit=10.0)
        first.request({"type": "get_devices", "refresh": True})
        self.assertIn("type", first.reply())
        first.close()
        for thread in self.churn(1, seed=1)[0]:  # warm-up: the allocator's pools reach their size
            thread.join(60)
        # The listener and the two configuration-daemon links.
        self.assertTrue(wait_until(lambda: process_figures(self.kipd.pid)[1] == 3, limit=10))
        rss_before, sockets_before = process_figures(self.kipd.pid)

        steady = [HostClient(limit=10.0) for _ in range(STEADY)]
        started = time.monotonic()
        threads, sessions = self.churn(SECONDS, seed=2)
        chaos = threading.Thread(target=self.restart_simulator_twice)
        chaos.start()
        threads.append(chaos)
        peak = 0
        while any(thread.is_alive() for thread in threads):
            peak = max(peak, process_figures(self.kipd.pid)[0])
            time.sleep(0.05)
        duration = time.monotonic() - started
        self.assertIsNone(self.kipd.poll())

        self.settle()
        for client in steady:
            for question in TREE_QUESTIONS:
                client.request({"type": question})
                self.assertEqual(client.reply()["type"], question + "_response")
            client.close()
        self.assertTrue(wait_until(lambda: process_figures(self.kipd.pid)[1] <= sockets_before, limit=10),
                        "kipd still holds sockets of clients that left")
        if not SANITIZED:
            wait_until(lambda: process_figures(self.kipd.pid)[0] < rss_before + 2048, limit=5)
        rss_after, sockets_after = process_figures(self.kipd.pid)
        if os.environ.get("CHURN_REPORT"):
            print("\nsessions %d (%d at once), %d clients staying, %.1f s; "
                  "kipd anonymous memory %d KiB before, %d KiB peak, %d KiB after; sockets %d before, %d after"
                  % (len(sessions), THREADS, STEADY, duration, rss_before, peak, rss_after,
                     sockets_before, sockets_after))
        if not SANITIZED:
            self.assertLess(rss_after, rss_before + 2048, "kipd kept memory of clients that left")


if __name__ == "__main__":
    unittest.main()
