"""kip-web against hostile peers (docs/robustness.md). Run from the source root in a network
namespace of its own, where port 3971 is free and lo may take addresses:

    /work/nsrun python3 bench/web_hostile.py queue 64 60     # or: unshare -n bash -c 'ip link set lo up && ...'
    /work/nsrun python3 bench/web_hostile.py idle 1100 9

"queue BRIDGES SECONDS": a stand-in kipd floods every bridge with one-byte messages ("1" and its
NUL) as fast as kip-web reads, while BRIDGES WebSockets, one from each of 10.9.0.1, 10.9.0.2, ...
(added to lo), never read. Prints kip-web's VmRSS before the bridges and at its peak, stopping
once it has not grown for 3 s (or has passed 4 GiB) or after SECONDS.

"idle CONNECTIONS LOADS": under an open-file limit of 1024, CONNECTIONS connections from
loopback send nothing; then LOADS page loads, one after the other, each given 5 s. Prints how
many were served and how long each took, kip-web's descriptors and how often it logged "Too
many open files".

KIP_WEB_BINARY names another kip-web (one built from an earlier commit, for the figures before)."""
import multiprocessing
import os
import resource
import select
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from tests.e2e.support import HOST_PORT, KIPD
from tests.e2e.test_web import UPGRADE

KIP_WEB = os.environ.get("KIP_WEB_BINARY", os.path.join(os.path.dirname(KIPD), "kip-web"))
FLOOD = b"1\0" * 32768


def hostile_kipd(ready):
    listener = socket.create_server(("127.0.0.1", HOST_PORT), backlog=128)
    ready.set()
    peers = []
    while True:
        readable, writable, _ = select.select([listener], peers, [], 0.1)
        if readable:
            peer = listener.accept()[0]
            peer.setblocking(False)
            peers.append(peer)
        for peer in writable:
            try:
                peer.send(FLOOD)
            except OSError:
                peers.remove(peer)


def vm_rss(pid):
    with open("/proc/%d/status" % pid) as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))


def start_web(*options, files=None):
    limit = (lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (files, files))) if files else None
    web = subprocess.Popen([KIP_WEB, *options], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                           preexec_fn=limit)
    return web, int(web.stdout.readline().split()[2].rstrip("/").rsplit(":", 1)[1])


def bridge(port, token, number):
    source = f"10.9.0.{number + 1}"
    subprocess.run(["ip", "address", "replace", source + "/32", "dev", "lo"], check=True)
    sock = socket.socket()
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    sock.bind((source, 0))
    sock.connect(("127.0.0.1", port))
    head = ["GET /ws HTTP/1.1", f"Host: 127.0.0.1:{port}", *UPGRADE, "Authorization: Bearer " + token]
    sock.sendall(("\r\n".join(head) + "\r\n\r\n").encode())
    answer = sock.recv(12)
    if not answer.startswith(b"HTTP/1.1 101"):
        raise RuntimeError(f"the upgrade got {answer!r}")
    return sock


def queue(bridges, seconds):
    ready = multiprocessing.Event()
    kipd = multiprocessing.Process(target=hostile_kipd, args=(ready,), daemon=True)
    kipd.start()
    ready.wait(10)
    folder = tempfile.TemporaryDirectory()
    token_file = os.path.join(folder.name, "token")
    subprocess.run([KIP_WEB, "--new-token", token_file], check=True, capture_output=True)
    with open(token_file, encoding="ascii") as handle:
        token = handle.read().strip()
    web, port = start_web("--listen", "0.0.0.0:0", "--token-file", token_file)
    try:
        before = peak = vm_rss(web.pid)
        socks = [bridge(port, token, number) for number in range(bridges)]
        started = grown = time.monotonic()
        while time.monotonic() - started < seconds and time.monotonic() - grown < 3 and peak < 4 << 20:
            time.sleep(0.2)
            rss = vm_rss(web.pid)
            if rss > peak:
                peak, grown = rss, time.monotonic()
        print(f"{bridges} bridges not read, {time.monotonic() - started:.1f} s: kip-web's VmRSS "
              f"{before:,} KiB before, {peak:,} KiB at the peak (+{(peak - before) / 1024:,.1f} MiB)")
        for sock in socks:
            sock.close()
    finally:
        web.kill()
        web.communicate()
        kipd.terminate()
        folder.cleanup()


def idle(connections, loads):
    hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    web, port = start_web("--listen", "127.0.0.1:0", files=1024)
    held = [socket.create_connection(("127.0.0.1", port)) for _ in range(connections)]
    times = []
    for _ in range(loads):
        started = time.monotonic()
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=5) as sock:
                sock.sendall(f"GET / HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n\r\n".encode())
                served = sock.recv(12).startswith(b"HTTP/1.1 200")
        except OSError:
            served = False
        times.append(f"{time.monotonic() - started:.2f} s" if served else "not served")
    descriptors = len(os.listdir(f"/proc/{web.pid}/fd"))
    web.kill()
    errors = web.communicate()[1]
    for sock in held:
        sock.close()
    print(f"{connections} idle connections: {loads - times.count('not served')} of {loads} page loads served "
          f"({', '.join(times)}); {descriptors} descriptors open; \"Too many open files\" logged "
          f"{errors.count('Too many open files')} times")


if __name__ == "__main__":
    {"queue": lambda: queue(int(sys.argv[2]), float(sys.argv[3])),
     "idle": lambda: idle(int(sys.argv[2]), int(sys.argv[3]))}[sys.argv[1]]()
