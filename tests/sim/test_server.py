import json
import os
import re
import select
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

from tests.sim import ROOT
from tests.sim.test_codec import daemon_view
from kipsim import codec

SCRIPT = ROOT / "tools" / "kip-confd-sim"
TIMEOUT = 10.0
DAEMON = "kip@00:11:22:33:44:55"
BOX = "corvanet@00:1E:C0:4A:10:01"


class Sim:
    """The simulator as a process on free ports, waited for by its ready line, the last it prints."""

    def __init__(self, test, *options):
        self.proc = subprocess.Popen([sys.executable, str(SCRIPT), "--main-port", "0", "--direct-port", "0", *options],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        test.addCleanup(self.kill)
        output = b""
        while not (ready := re.search(rb"listening on [\d.]+:(\d+),(\d+)\n", output)):
            readable = select.select([self.proc.stdout], [], [], TIMEOUT)[0]
            chunk = readable and os.read(self.proc.stdout.fileno(), 4096)
            if not chunk:
                self.proc.kill()
                raise AssertionError("the simulator did not start: " + self.proc.communicate()[1])
            output += chunk
        self.main, self.direct = map(int, ready.groups())
        control = re.search(rb"control on [\d.]+:(\d+)", output)
        self.control = control and int(control.group(1))

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        return self.proc.wait(timeout=TIMEOUT)

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(timeout=TIMEOUT)
        self.proc.stdout.close()
        self.proc.stderr.close()


class Client:
    def __init__(self, test, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT)
        test.addCleanup(self.sock.close)
        self.framer, self.frames = codec.Framer(), []

    def send(self, name, to="*", body=()):
        self.sock.sendall(codec.encode(to, DAEMON, name, list(body)))

    def receive(self, count=1):
        while len(self.frames) < count:
            data = self.sock.recv(65536)
            if not data:
                raise ConnectionError("closed by the simulator")
            self.frames += self.framer.feed(data)
        taken, self.frames = self.frames[:count], self.frames[count:]
        return taken

    def ask(self, name, to="*", body=()):
        self.send(name, to, body)
        return daemon_view(self.receive()[0])


class ServerTest(unittest.TestCase):
    def setUp(self):
        self.tmp = Path(self.enterContext(tempfile.TemporaryDirectory()))

    def test_both_links_answer_and_the_log_holds_exact_texts(self):
        log = self.tmp / "traffic.jsonl"
        sim = Sim(self, "--log", str(log), "--verbose")
        main, direct = Client(self, sim.main), Client(self, sim.direct)
        self.assertEqual(main.ask("device get")["from"], BOX)
        direct.send("device get")
        everyone = [daemon_view(frame)["from"] for frame in direct.receive(10)]
        self.assertEqual((everyone[0], len(set(everyone))), (BOX, 10))

        # Two requests in one write, then one request in three pieces.
        main.sock.sendall(codec.encode(BOX, DAEMON, "spread update") + codec.encode(BOX, DAEMON, "spread get"))
        self.assertEqual([daemon_view(f)["msg"] for f in main.receive(2)], ["spread update", "spread get"])
        split = codec.encode(BOX, DAEMON, "subsystem list get")
        for piece in (split[:5], split[5:20], split[20:]):
            main.sock.sendall(piece)
        self.assertEqual(daemon_view(main.receive()[0])["subsystem2"], "2")

        self.assertEqual(sim.stop(), 0)
        with open(log, encoding="utf-8") as handle:
            entries = [json.loads(line) for line in handle]
        inbound = [e for e in entries if e["dir"] == "in"]
        self.assertEqual([(e["link"], e["msg"]) for e in inbound],
                         [("main", "device get"), ("direct", "device get"), ("main", "spread update"),
                          ("main", "spread get"), ("main", "subsystem list get")])
        self.assertEqual(inbound[-1]["text"], split[:-1].decode())
        self.assertEqual(len([e for e in entries if e["dir"] == "out"]), 1 + 10 + 3)
        self.assertIn("'device get'", sim.proc.stderr.read())

    def test_state_survives_a_restart_of_the_simulator(self):
        state = self.tmp / "state.json"
        main = Client(self, (sim := Sim(self, "--state", str(state))).main)
        main.send("subsystem set", BOX, [("subsystem", "5"), ("description", "tr-new"), ("interface_type", "tcpip"),
                                         ("router1", "10.9.9.9:4381")])
        main.send("device set", BOX, [("ip", "192.168.10.50"), ("netmask", "255.255.255.0"),
                                      ("gateway", "192.168.10.1"), ("hostname", "moved")])
        main.send("reboot", BOX)
        self.assertEqual(main.ask("device get", BOX)["ip"], "192.168.10.50")
        self.assertEqual(sim.stop(), 0)

        # The state wins over the network file given now.
        again = Sim(self, "--state", str(state), "--network", str(ROOT / "examples" / "network-nosystem.json"))
        client = Client(self, again.main)
        self.assertEqual(client.ask("subsystem get", BOX, [("subsystem", "5")])["router1"], "10.9.9.9:4381")
        self.assertEqual(client.ask("device get")["hostname"], "moved")
        self.assertEqual(client.ask("spread get")["name"], "kdrtn-studio-a")

    def test_bad_network_file_is_explained(self):
        bad = self.tmp / "bad.json"
        bad.write_text((ROOT / "examples" / "network.json").read_text().replace('"192.168.10.1"', '"10.0.0"', 1))
        done = subprocess.run([sys.executable, str(SCRIPT), "--network", str(bad)],
                              capture_output=True, text=True, timeout=TIMEOUT)
        self.assertEqual(done.returncode, 2)
        self.assertIn(f"{bad}: this_box.ip_settings.gateway: expected an IPv4 address", done.stderr)

    def test_fault_options_and_the_control_port_that_replaces_them(self):
        sim = Sim(self, "--drop", "spread update", "--delay", "spread get=0.3",
                  "--malformed", "subsystem list get", "--misaddress", "subsystem list get",
                  "--fail", "partition get=no such partition", "--close-after", "reboot", "--control-port", "0")
        main = Client(self, sim.main)
        main.send("spread update", BOX)
        self.assertEqual(main.ask("device get", BOX)["msg"], "device get")
        started = time.monotonic()
        self.assertEqual(main.ask("spread get")["msg"], "spread get")
        self.assertGreaterEqual(time.monotonic() - started, 0.3)
        main.send("subsystem list get")
        malformed, misaddressed, genuine = map(daemon_view, main.receive(3))
        self.assertIsNone(malformed)
        self.assertEqual((misaddressed["to"] != DAEMON, genuine["to"]), (True, DAEMON))
        self.assertEqual(main.ask("partition get", body=[("partition", "1:1:0")])["status"], "no such partition")
        main.send("reboot", BOX)
        self.assertEqual(main.sock.recv(1), b"")

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
        text = f"to={DAEMON}\nfrom={BOX}\nmsg=system update\nstatus=ok\n"
        self.assertEqual(command(cmd="send", link="main", text=text)["sent"], 1)
        self.assertEqual(daemon_view(main.receive()[0])["status"], "ok")

if __name__ == "__main__":
    unittest.main()
