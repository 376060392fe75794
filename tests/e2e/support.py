import json
import os
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
KIPD = os.environ.get("KIPD_BINARY", os.path.join(ROOT, "build", "kipd"))
SIMULATOR = os.path.join(ROOT, "tools", "kip-confd-sim")
EXAMPLES = os.path.join(ROOT, "examples")
HOST_PORT = 3971
# An IP change of this box waits 3 + 2 seconds for the devices; the chains take a moment more.
LIMIT = 20.0


def wait_until(condition, limit=5.0, step=0.02):
    deadline = time.monotonic() + limit
    while True:
        value = condition()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(step)


def start_kipd(*args, prefix=(), env=None):
    # Standard error goes to a file: a pipe nobody reads would stop kipd at its first full buffer.
    errors = tempfile.TemporaryFile()
    process = subprocess.Popen([*prefix, KIPD, *args], stdout=subprocess.PIPE, stderr=errors,
                               env={**os.environ, **(env or {})})
    process.error_file = errors
    return process


def logged(process):
    """What kipd has written on standard error so far."""
    return os.pread(process.error_file.fileno(), 1 << 24, 0).decode(errors="replace")


def status_socket(add_cleanup):
    """A path for kipd's status socket in a folder of its own, as the environment that names it."""
    folder = tempfile.mkdtemp(prefix="kipd-status-")
    add_cleanup(shutil.rmtree, folder, True)
    return {"KIPD_STATUS_SOCKET": os.path.join(folder, "status")}


def read_status(env, limit=5.0):
    """kipd's status report: one JSON object and a newline, then the end."""
    with socket.socket(socket.AF_UNIX) as sock:
        sock.settimeout(limit)
        sock.connect(env["KIPD_STATUS_SOCKET"])
        data = b""
        while chunk := sock.recv(65536):
            data += chunk
    if not data.endswith(b"\n") or data.count(b"\n") != 1:
        raise AssertionError("not one line: %r" % data[:200])
    return json.loads(data)


def stop(process):
    """Ends the process; returns what kipd wrote on standard error."""
    if process.poll() is None:
        process.kill()
    process.communicate(timeout=10)
    if hasattr(process, "error_file") and not process.error_file.closed:
        process.error_file.seek(0)
        process.error_text = process.error_file.read()
        process.error_file.close()
    return getattr(process, "error_text", b"")


class HostClient:
    def __init__(self, limit=5.0):
        deadline = time.monotonic() + limit
        while True:  # kipd may still be starting
            try:
                self.sock = socket.create_connection(("127.0.0.1", HOST_PORT), timeout=limit)
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.02)
        self.buffer = b""

    def send_raw(self, data):
        self.sock.sendall(data)

    def request(self, obj):
        self.send_raw(json.dumps(obj).encode() + b"\0")

    def raw_reply(self):
        while b"\0" not in self.buffer:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise ConnectionError("kipd closed the connection")
            self.buffer += chunk
        text, _, self.buffer = self.buffer.partition(b"\0")
        return text

    def reply(self):
        return json.loads(self.raw_reply())

    def ask(self, request):
        self.request(request)
        return self.reply()

    def close(self):
        self.sock.close()


class Listener:

    def __init__(self, address, port):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind((address, port))
        self.sock.listen(8)
        self.close = self.sock.close

    def accepted_within(self, limit):
        self.sock.settimeout(limit)
        try:
            conn, _ = self.sock.accept()
            conn.close()
            return True
        except socket.timeout:
            return False


class Simulator:

    def __init__(self, network, *options):
        self.folder = tempfile.mkdtemp(prefix="kipd-sim-")
        self.log_path = os.path.join(self.folder, "log.jsonl")
        self.state_path = os.path.join(self.folder, "state.json")
        self.process = subprocess.Popen(
            [sys.executable, SIMULATOR, "--network", network, "--log", self.log_path,
             "--state", self.state_path, *options],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.output = b""
        if not self._ready(10.0):
            self.stop()
            raise RuntimeError("the simulator did not start on " + network)

    def _ready(self, limit):
        deadline = time.monotonic() + limit
        while b"listening on" not in self.output:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.process.stdout], [], [], left)[0]:
                return False
            chunk = os.read(self.process.stdout.fileno(), 4096)
            if not chunk:
                return False
            self.output += chunk
        return True

    def ports(self):
        """(main, direct), as the ready line names them: run with --main-port 0 for free ports."""
        line = self.output.split(b"listening on ")[1].split(b"\n")[0]
        return tuple(map(int, line.rsplit(b":", 1)[1].split(b",")))

    def control(self, request):
        port = int(self.output.split(b"control on ")[1].split(b"\n")[0].rsplit(b":", 1)[1])
        with socket.create_connection(("127.0.0.1", port), timeout=10) as sock:
            sock.sendall(json.dumps(request).encode() + b"\n")
            answer = sock.makefile().readline()
        return json.loads(answer)

    def entries(self):
        with open(self.log_path, encoding="utf-8") as handle:
            return [json.loads(line) for line in handle.read().split("\n")[:-1]]

    def received(self, *fields):
        return [tuple(entry[field] for field in fields) for entry in self.entries() if entry["dir"] == "in"]

    def connected(self):
        return sum(entry["dir"] == "connect" for entry in self.entries()) >= 2

    def problems(self):
        return [(entry.get("text"), entry["problems"]) for entry in self.entries() if "problems" in entry]

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            self.process.communicate(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.communicate()
        shutil.rmtree(self.folder, ignore_errors=True)


def serve(add_cleanup, network, *options, prefix=(), env=None):
    sim = Simulator(network, *options)
    add_cleanup(sim.stop)
    kipd = start_kipd(prefix=prefix, env=env)
    add_cleanup(stop, kipd)
    if not wait_until(sim.connected):
        raise AssertionError("kipd did not connect to the simulator")
    HostClient().close()
    return sim, kipd


class KipdTest(unittest.TestCase):
    network = os.path.join(EXAMPLES, "network.json")
    options = ()
    prefix = ()
    env = None

    def setUp(self):
        self.sim, self.kipd = serve(self.addCleanup, self.network, *self.options, prefix=self.prefix, env=self.env)
        self.client = self.connect()

    def connect(self, limit=LIMIT):
        client = HostClient(limit)
        self.addCleanup(client.close)
        return client

    def ask(self, request, client=None):
        return (client or self.client).ask(request)
