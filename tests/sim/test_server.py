import socket
import unittest

from tests.sim import ROOT
from tests.e2e.support import Simulator
from kipsim import codec

DAEMON = "kip@00:11:22:33:44:55"
BOX = "corvanet@00:1E:C0:4A:10:01"
NETWORK = str(ROOT / "examples" / "network.json")


class Client:
    def __init__(self, test, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=10)
        test.addCleanup(self.sock.close)
        self.framer, self.frames = codec.Framer(), []

    def send(self, name, to="*"):
        self.sock.sendall(codec.encode(to, DAEMON, name, []))

    def receive(self, count=1):
        while len(self.frames) < count:
            data = self.sock.recv(65536)
            if not data:
                raise ConnectionError("closed by the simulator")
            self.frames += self.framer.feed(data)
        taken, self.frames = self.frames[:count], self.frames[count:]
        return [codec.parse(frame) for frame in taken]


class ServerTest(unittest.TestCase):
    def test_fault_options_and_the_control_port_that_replaces_them(self):
        sim = Simulator(NETWORK, "--main-port", "0", "--direct-port", "0", "--control-port", "0",
                        "--delay", "spread get=0.3", "--offline", "00:1E:C0:20:00:11",
                        "--malformed", "subsystem list get", "--misaddress", "subsystem list get",
                        "--close-after", "reboot")
        self.addCleanup(sim.stop)
        main_port, direct_port = sim.ports()
        main, direct = Client(self, main_port), Client(self, direct_port)
        main.send("spread get")
        main.send("device get", BOX)
        self.assertEqual([reply.name for reply in main.receive(2)], ["device get", "spread get"])
        direct.send("device get")
        self.assertNotIn("tessora@00:1E:C0:20:00:11", [reply.sender for reply in direct.receive(9)])
        main.send("subsystem list get")
        malformed, misaddressed, genuine = main.receive(3)
        self.assertEqual((malformed.problems != [], misaddressed.to != DAEMON, genuine.to), (True, True, DAEMON))
        main.send("reboot", BOX)
        self.assertEqual(main.sock.recv(1), b"")

        self.assertFalse(sim.control({"cmd": "faults", "args": ["--delay", "x"]})["ok"])
        self.assertEqual(sim.control({"cmd": "state"})["network"]["this_box"]["mac"], "00:1E:C0:4A:10:01")
        network = sim.control({"cmd": "state"})["network"]
        network["devices"][0]["ip_settings"]["hostname"] = "changed-behind"
        self.assertEqual(sim.control({"cmd": "network", "network": network}), {"ok": True})
        self.assertEqual(sim.control({"cmd": "state"})["network"]["devices"][0]["ip_settings"]["hostname"],
                         "changed-behind")
        self.assertIn("unknown field", sim.control({"cmd": "network", "network": {"x": 1}})["error"])
