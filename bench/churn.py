"""Connection churn, a soak run of the real kipd against the simulator (docs/robustness.md):
CHURN_SECONDS, CHURN_THREADS (clients at once) and CHURN_STEADY size the run; CHURN_REPORT=1
prints the figures. Run from the source root: KIPD_BINARY=build/kipd python3 bench/churn.py -v"""
import json
import os
import random
import signal
import socket
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from tests.e2e.support import EXAMPLES, HOST_PORT, HostClient, KipdTest, Simulator, stop, wait_until

SECONDS = float(os.environ.get("CHURN_SECONDS", "6"))
THREADS = int(os.environ.get("CHURN_THREADS", "100"))
STEADY = int(os.environ.get("CHURN_STEADY", "10"))
# Sanitizers keep freed memory in quarantine, so memory is only compared in a plain build.
SANITIZED = os.environ.get("KIPD_SANITIZED", "") not in ("", "0", "OFF")

# Answered from the tree once the system was read, whatever the configuration daemon does.
TREE_QUESTIONS = [{"type": "has_corvanet_system"}, {"type": "get_corvanet_ip_settings"}, {"type": "get_corvanets"}]
# Answered after the configuration daemon replies; they replace each other's pending answer.
DAEMON_QUESTIONS = [{"type": "may_use_builder"}, {"type": "may_change_corvanet_ip_settings"},
                    {"type": "get_devices", "refresh": True}, {"type": "get_devices", "refresh": False}]


def process_figures(pid):
    with open("/proc/%d/status" % pid) as status:
        rss = next(int(line.split()[1]) for line in status if line.startswith("RssAnon:"))
    sockets = 0
    for name in os.listdir("/proc/%d/fd" % pid):
        try:
            sockets += os.readlink("/proc/%d/fd/%s" % (pid, name)).startswith("socket:")
        except OSError:
            pass
    return rss, sockets


def encode(*requests):
    return b"".join(json.dumps(request).encode() + b"\0" for request in requests)


def one_session(rng):
    text = encode(rng.choice(DAEMON_QUESTIONS + TREE_QUESTIONS))
    data, reads = rng.choice([(encode(*TREE_QUESTIONS), True), (encode(rng.choice(DAEMON_QUESTIONS)), False),
                              (text[:rng.randrange(1, len(text) - 1)], False),
                              (rng.randbytes(rng.randrange(1, 300)) + b"\0", True),
                              (encode({"type": "get_devices", "refresh": False}) * 5, False)])
    try:
        with socket.create_connection(("127.0.0.1", HOST_PORT), timeout=5) as sock:
            sock.sendall(data)
            if reads:
                sock.recv(65536)
    except OSError:
        pass  # kipd may close a garbage sender; the checks are on the steady clients


# What AddressSanitizer, UndefinedBehaviorSanitizer and ThreadSanitizer print for a fault.
SANITIZER_MARKS = (b"Sanitizer", b"runtime error:")


class Churn(KipdTest):
    def check_kipd_output(self):
        """Ends kipd; fails with its standard error if it ended by itself or a sanitizer spoke."""
        errors = stop(self.kipd)
        if self.kipd.returncode != -signal.SIGKILL or any(mark in errors for mark in SANITIZER_MARKS):
            raise AssertionError("kipd (status %d) wrote:\n%s" % (self.kipd.returncode, errors.decode(errors="replace")))

    def churn(self, seconds, seed, restart=False):
        deadline = time.monotonic() + seconds
        sessions = []

        def work(rng):
            while time.monotonic() < deadline:
                one_session(rng)
                sessions.append(1)

        threads = [threading.Thread(target=work, args=(random.Random(seed * 1000 + i),), daemon=True)
                   for i in range(THREADS)]
        if restart:
            threads.append(threading.Thread(target=self.restart_simulator_twice))
        for thread in threads:
            thread.start()
        return threads, sessions

    def restart_simulator_twice(self):
        for pause, options in ((0.2, ("--drop", "device get", "--drop", "spread get")), (0.3, ())):
            time.sleep(SECONDS * pause)
            self.sim.stop()
            self.sim = Simulator(os.path.join(EXAMPLES, "network.json"), *options)
            self.addCleanup(self.sim.stop)

    def test_churn_keeps_answering_and_gives_back_what_it_took(self):
        self.addCleanup(self.check_kipd_output)
        self.assertIn("type", self.ask(DAEMON_QUESTIONS[2]))
        self.client.close()
        for thread in self.churn(1, seed=1)[0]:  # warm-up: the allocator's pools reach their size
            thread.join(60)
        # The listener and the two configuration-daemon links.
        self.assertTrue(wait_until(lambda: process_figures(self.kipd.pid)[1] == 3, limit=10))
        rss_before, sockets_before = process_figures(self.kipd.pid)

        steady = [self.connect(10.0) for _ in range(STEADY)]
        threads, sessions = self.churn(SECONDS, seed=2, restart=True)
        peak = 0
        while any(thread.is_alive() for thread in threads):
            peak = max(peak, process_figures(self.kipd.pid)[0])
            time.sleep(0.05)
        self.assertIsNone(self.kipd.poll())

        # Until no late reply answers again; leaving drops the pending answer.
        settling = HostClient(limit=10.0)
        settling.ask(TREE_QUESTIONS[0])
        settling.sock.settimeout(1.0)
        with self.assertRaises(socket.timeout):
            while True:
                settling.reply()
        settling.close()
        for client in steady:
            for question in TREE_QUESTIONS:
                self.assertEqual(self.ask(question, client)["type"], question["type"] + "_response")
            client.close()
        self.assertTrue(wait_until(lambda: process_figures(self.kipd.pid)[1] <= sockets_before, limit=10))
        if not SANITIZED:
            wait_until(lambda: process_figures(self.kipd.pid)[0] < rss_before + 2048, limit=5)
        rss_after, sockets_after = process_figures(self.kipd.pid)
        if os.environ.get("CHURN_REPORT"):
            print("\nsessions %d (%d at once), %d clients staying; kipd anonymous memory %d KiB before, "
                  "%d KiB peak, %d KiB after; sockets %d before, %d after"
                  % (len(sessions), THREADS, STEADY, rss_before, peak, rss_after, sockets_before, sockets_after))
        if not SANITIZED:
            self.assertLess(rss_after, rss_before + 2048, "kipd kept memory of clients that left")


if __name__ == "__main__":
    unittest.main()
