"""Many hostile clients at once against the real kipd and the simulator, with one polite client
asking every 0.2 s (docs/robustness.md). Run from the source root in a network namespace of its
own, so that the fixed ports are free:

    unshare -n bash -c 'ip link set lo up && KIPD_BINARY=build/kipd python3 bench/crowd.py question 300 20'

Cases: "question" (has_corvanet_system) and "listing" (get_devices, refresh false): CLIENTS send
the request over and over for SECONDS without reading; "overlong": CLIENTS connect one after
another, each sending 1 MiB + 64 KiB with no NUL, and leave. Prints the polite client's slowest
answer and kipd's VmRSS before, at the peak and at the end."""
import json
import os
import select
import socket
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from tests.e2e.support import EXAMPLES, HOST_PORT, HostClient, serve

REQUESTS = {"question": {"type": "has_corvanet_system"}, "listing": {"type": "get_devices", "refresh": False}}
QUESTION = json.dumps(REQUESTS["question"]).encode() + b"\0"


def vm_rss(pid):
    with open("/proc/%d/status" % pid) as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))


class Probe:
    def __init__(self, kipd):
        self.kipd = kipd
        self.polite = HostClient(limit=30.0)
        self.polite.request({"type": "get_devices", "refresh": False})  # devices known: listings need only the tree
        for _ in range(8):
            self.polite.reply()
        self.before = self.peak = vm_rss(kipd.pid)
        self.slowest = 0.0
        self.asked = 0

    def ask(self):
        started = time.monotonic()
        self.polite.send_raw(QUESTION)
        self.polite.raw_reply()
        self.slowest = max(self.slowest, time.monotonic() - started)
        self.asked += 1
        self.peak = max(self.peak, vm_rss(self.kipd.pid))

    def crowd(self, request, clients, seconds):
        socks = [socket.create_connection(("127.0.0.1", HOST_PORT)) for _ in range(clients)]
        for sock in socks:
            sock.setblocking(False)
        chunk = (json.dumps(request).encode() + b"\0") * 2048
        sent = dict.fromkeys(socks, 0)
        deadline = time.monotonic() + seconds
        next_ask = 0.0
        while time.monotonic() < deadline:
            for sock in select.select([], socks, [], 0.01)[1]:
                try:
                    sent[sock] += sock.send(chunk[sent[sock] % len(chunk):])
                except OSError:
                    pass
            if time.monotonic() >= next_ask:
                self.ask()
                next_ask = time.monotonic() + 0.2
        for sock in socks:
            sock.close()
        return "%.1f MB sent" % (sum(sent.values()) / 1e6)

    def overlong(self, clients):
        for _ in range(clients):
            with socket.create_connection(("127.0.0.1", HOST_PORT)) as sock:
                try:
                    sock.sendall(b"x" * ((1 << 20) + (64 << 10)))
                except OSError:
                    pass
            self.ask()
        return "%d over-long requests" % clients


def main(case, clients, seconds):
    cleanups = []
    _, kipd = serve(lambda function, *args: cleanups.append((function, args)), os.path.join(EXAMPLES, "network.json"))
    try:
        probe = Probe(kipd)
        done = probe.overlong(clients) if case == "overlong" else probe.crowd(REQUESTS[case], clients, seconds)
        time.sleep(1)
        probe.ask()
        print("%s, %d clients: %s; polite client asked %d times, slowest answer %.1f ms; "
              "VmRSS %d KiB before, %d KiB peak (+%.1f MiB), %d KiB after"
              % (case, clients, done, probe.asked, probe.slowest * 1000, probe.before, probe.peak,
                 (probe.peak - probe.before) / 1024, vm_rss(kipd.pid)))
    finally:
        for function, args in reversed(cleanups):
            function(*args)


if __name__ == "__main__":
    main(sys.argv[1], int(sys.argv[2]), float(sys.argv[3]) if len(sys.argv) > 3 else 0.0)
