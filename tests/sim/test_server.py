import json
import queue
import re
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
for entry in (ROOT, ROOT / "tools"):
    if str(entry) not in sys.path:
        sys.path.insert(0, str(entry))

from kipsim import codec  # noqa: E402
from tests.sim.test_codec import daemon_view  # noqa: E402

SCRIPT = ROOT / "tools" / "kip-confd-sim"
TIMEOUT = 10.0
DAEMON = "kip@00:11:22:33:44:55"
BOX = "corvanet@00:1E:C0:4A:10:01"


class Sim:
    """The simulator as a process on free ports, waited for by its ready line."""

    def __init__(self, test, *options):
        self.proc = subprocess.Popen([sys.executable, str(SCRIPT), "--main-port", "0",
                                      "--direct-port", "0", *options],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        test.addCleanup(self.kill)
        self.lines = queue.Queue()
        threading.Thread(target=self._read_stdout, daemon=True).start()
        self.control = None
        while True:
            line = self.lines.get(timeout=TIMEOUT)
            if line is None:
                raise AssertionError("simulator ended: " + self.proc.stderr.read())
            match = re.search(r"control on [\d.]+:(\d+)", line)
            if match:
                self.control = int(match.group(1))
            match = re.search(r"listening on [\d.]+:(\d+),(\d+)$", line)
            if match:
                self.main, self.direct = int(match.group(1)), int(match.group(2))
                break

    def _read_stdout(self):
        for line in self.proc.stdout:
            self.lines.put(line.rstrip("\n"))
        self.lines.put(None)

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        return self.proc.wait(timeout=TIMEOUT)

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(timeout=TIMEOUT)
        for stream in (self.proc.stdout, self.proc.stderr):
            stream.close()


class Client:
    def __init__(self, test, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT)
        test.addCleanup(self.sock.close)
        self.framer = codec.Framer()
        self.frames = []

    def send(self, name, to="*", body=()):
        self.sock.sendall(codec.encode(to, DAEMON, name, list(body)))

    def receive(self, count=1):
        deadline = time.monotonic() + TIMEOUT
        while len(self.frames) < count:
            self.sock.settimeout(max(deadline - time.monotonic(), 0.01))
            data = self.sock.recv(65536)
            if not data:
                raise ConnectionError("closed by the simulator")
            self.frames += self.framer.feed(data)
        taken, self.frames = self.frames[:count], self.frames[count:]
        return taken

    def ask(self, name, to="*", body=()):
        self.send(name, to, body)
        return daemon_view(self.receive()[0])

    def closed_by_peer(self):
        self.sock.settimeout(TIMEOUT)
        return self.sock.recv(1) == b""


def read_log(path):
    with open(path, encoding="utf-8") as handle:
        return [json.loads(line) for line in handle]


class ServeTest(unittest.TestCase):
    def setUp(self):
        self.tmp = Path(self.enterContext(tempfile.TemporaryDirectory()))

    def test_both_links_answer_and_the_log_holds_exact_texts(self):
        log = self.tmp / "traffic.jsonl"
        sim = Sim(self, "--log", str(log), "--verbose")
        main, direct = Client(self, sim.main), Client(self, sim.direct)
        self.assertEqual(main.ask("device get")["from"], BOX)

        direct.send("device get")
        everyone = [daemon_view(frame) for frame in direct.receive(10)]
        self.assertEqual(everyone[0]["from"], BOX)
        self.assertEqual(len({view["from"] for view in everyone}), 10)

        # Two requests in one write, then one request in three pieces.
        data = codec.encode(BOX, DAEMON, "spread update") + codec.encode(BOX, DAEMON, "spread get")
        main.sock.sendall(data)
        self.assertEqual([daemon_view(f)["msg"] for f in main.receive(2)],
                         ["spread update", "spread get"])
        split = codec.encode(BOX, DAEMON, "subsystem list get")
        for piece in (split[:5], split[5:20], split[20:]):
            main.sock.sendall(piece)
        self.assertEqual(daemon_view(main.receive()[0])["subsystem2"], "2")

        self.assertEqual(sim.stop(), 0)
        entries = [e for e in read_log(log) if e["dir"] in ("in", "out")]
        inbound = [e for e in entries if e["dir"] == "in"]
        self.assertEqual([e["msg"] for e in inbound],
                         ["device get", "device get", "spread update", "spread get",
                          "subsystem list get"])
        self.assertEqual(inbound[-1]["text"], split[:-1].decode())
        self.assertEqual(inbound[1]["link"], "direct")
        self.assertEqual(len([e for e in entries if e["dir"] == "out"]), 1 + 10 + 3)
        self.assertIn("'device get'", sim.proc.stderr.read())

    def test_state_survives_a_restart_of_the_simulator(self):
        state = self.tmp / "state.json"
        sim = Sim(self, "--state", str(state))
        main = Client(self, sim.main)
        main.send("subsystem set", BOX, [("subsystem", "5"), ("description", "tr-new"),
                                         ("interface_type", "tcpip"), ("router1", "10.9.9.9:4381")])
        main.send("device set", BOX, [("ip", "192.168.10.50"), ("netmask", "255.255.255.0"),
                                      ("gateway", "192.168.10.1"), ("hostname", "moved")])
        main.send("reboot", BOX)
        self.assertEqual(main.ask("device get", BOX)["ip"], "192.168.10.50")
        self.assertEqual(sim.stop(), 0)

        # The state wins over the network file given now.
        again = Sim(self, "--state", str(state), "--network",
                    str(ROOT / "examples" / "network-nosystem.json"))
        client = Client(self, again.main)
        self.assertEqual(client.ask("subsystem get", BOX, [("subsystem", "5")])["router1"],
                         "10.9.9.9:4381")
        self.assertEqual(client.ask("device get")["hostname"], "moved")
        self.assertEqual(client.ask("spread get")["name"], "kdrtn-studio-a")

    def test_bad_network_file_is_explained(self):
        bad = self.tmp / "bad.json"
        data = json.loads((ROOT / "examples" / "network.json").read_text())
        data["devices"][1]["ip_settings"]["gateway"] = "10.0.0"
        bad.write_text(json.dumps(data))
        done = subprocess.run([sys.executable, str(SCRIPT), "--network", str(bad)],
                              capture_output=True, text=True, timeout=TIMEOUT)
        self.assertEqual(done.returncode, 2)
        self.assertIn(f"{bad}: devices[1].ip_settings.gateway: expected an IPv4 address",
                      done.stderr)


class FaultTest(unittest.TestCase):
    def test_fault_options(self):
        sim = Sim(self, "--drop", "spread update", "--delay", "spread get=0.3",
                  "--malformed", "subsystem list get", "--misaddress", "subsystem list get",
                  "--fail", "partition get=no such partition", "--close-after", "reboot")
        main = Client(self, sim.main)
        main.send("spread update", BOX)
        self.assertEqual(main.ask("device get", BOX)["msg"], "device get")

        started = time.monotonic()
        self.assertEqual(main.ask("spread get")["msg"], "spread get")
        self.assertGreaterEqual(time.monotonic() - started, 0.3)

        main.send("subsystem list get")
        malformed, misaddressed, genuine = main.receive(3)
        self.assertIsNone(daemon_view(malformed))
        self.assertNotEqual(daemon_view(misaddressed)["to"], DAEMON)
        self.assertEqual(daemon_view(genuine)["to"], DAEMON)
        self.assertEqual(main.ask("partition get", body=[("partition", "1:1:0")])["status"],
                         "no such partition")
        main.send("reboot", BOX)
        self.assertTrue(main.closed_by_peer())

    def test_control_port_changes_faults_and_injects_messages(self):
        sim = Sim(self, "--control-port", "0")
        control = socket.create_connection(("127.0.0.1", sim.control), timeout=TIMEOUT)
        self.addCleanup(control.close)
        replies = control.makefile("r")

        def command(**request):
            control.sendall((json.dumps(request) + "\n").encode())
            return json.loads(replies.readline())

        main = Client(self, sim.main)
        self.assertTrue(command(cmd="faults", args=["--drop", "device get"])["ok"])
        main.send("device get")
        self.assertEqual(main.ask("spread update")["msg"], "spread update")
        self.assertFalse(command(cmd="faults", args=["--delay", "x"])["ok"])
        self.assertEqual(command(cmd="state")["network"]["this_box"]["mac"], "00:1E:C0:4A:10:01")
        self.assertEqual(command(cmd="send", link="main",
                                 text=f"to={DAEMON}\nfrom={BOX}\nmsg=system update\nstatus=ok\n")["sent"], 1)
        self.assertEqual(daemon_view(main.receive()[0])["status"], "ok")


if __name__ == "__main__":
    unittest.main()
