import sys
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
for entry in (ROOT, ROOT / "tools"):
    if str(entry) not in sys.path:
        sys.path.insert(0, str(entry))

from kipsim import codec, schema  # noqa: E402
from kipsim.confd import ConfDaemon  # noqa: E402
from kipsim.faults import Faults  # noqa: E402
from kipsim.network import Network  # noqa: E402
from tests.sim.test_codec import daemon_view  # noqa: E402

DAEMON = "kip@00:11:22:33:44:55"
BOX = "corvanet@00:1E:C0:4A:10:01"
VIDEO_ROUTER = "tessora@00:1E:C0:20:00:11"
PROGRAM = (":020000040040BA", ":0303D6000100051E", ":00000001FF")


def load(name="network.json"):
    return schema.load(ROOT / "examples" / name)


class Harness(unittest.TestCase):
    network_file = "network.json"

    def setUp(self):
        self.net = Network(load(self.network_file))
        self.confd = ConfDaemon(self.net, update_time=0.25)

    def ask(self, name, body=(), link="main", to="*", faults=None):
        message = codec.parse(codec.encode(to, DAEMON, name, list(body))[:-1])
        self.problems = message.problems
        return self.confd.handle(message, link, faults or Faults())

    def views(self, outcome):
        result = [daemon_view(reply.encode()[:-1]) for reply in outcome.replies]
        self.assertNotIn(None, result, "a reply the daemon could not read")
        for view in result:
            self.assertEqual(view["to"], DAEMON)
        return result

    def view(self, *args, **kwargs):
        (single,) = self.views(self.ask(*args, **kwargs))
        return single


class DeviceGetTest(Harness):
    def test_main_link_is_this_box_and_direct_link_is_everyone(self):
        box = self.view("device get")
        self.assertEqual((box["from"], box["msg"], box["box"]), (BOX, "device get", "kbox"))
        self.assertEqual((box["module0"], box["module1"]), ("1;KD-IO8;1.4.2;B", "3;KD-GPI16;1.1.0;A"))

        everyone = self.views(self.ask("device get", link="direct"))
        senders = [view["from"] for view in everyone]
        self.assertEqual(senders[0], BOX)
        self.assertEqual(len(senders), 1 + len(self.net.devices))
        by_host = {view["hostname"]: view for view in everyone}
        self.assertEqual(by_host["tr-video-1"]["system"], "r_64x32_video")
        self.assertEqual(by_host["kp-desk-1"]["routerA1"], "192.168.10.21:4381")
        self.assertEqual(by_host["lr-bridge-1"]["ext_dev"], "LR-FRAME-8")
        self.assertEqual(by_host["gx-ctl-7"]["from"], "gx2400-ln-ctl@00:1E:C0:4B:00:07")
        self.assertEqual(by_host["kps-gallery"]["from"], "kpscreen@00:1E:C0:40:00:31")

    def test_addressing(self):
        self.assertEqual(self.view("device get", link="direct", to=VIDEO_ROUTER)["ip"], "192.168.10.31")
        for link, to in (("direct", "tessora@00:00:00:00:00:00"), ("main", VIDEO_ROUTER)):
            with self.subTest(link=link, to=to):
                self.assertEqual(self.ask("device get", link=link, to=to).replies, [])
                self.assertTrue(self.problems)
        offline = Faults(offline=["00:1E:C0:20:00:11"])
        senders = [r.sender for r in self.ask("device get", link="direct", faults=offline).replies]
        self.assertNotIn(VIDEO_ROUTER, senders)
        self.assertEqual(len(senders), len(self.net.devices))


class ReadingChainTest(Harness):
    def push_router(self):
        self.ask("subsystem set", [("subsystem", "3"), ("description", "tr-x"),
                                   ("interface_type", "tcpip"), ("protocol_name", "tessora"),
                                   ("protocol_type", "native"), ("router1", "10.0.0.9:4381"),
                                   ("user", "3")])
        partition = [("subsystem", "3"), ("routerno", "5"), ("pid", "0"), ("levelno", "7"),
                     ("levelname", "X"), ("levelalias", ""), ("leveldescription", "D"),
                     ("levelactive", "true"), ("physical_in", "0-15"), ("physical_out", "0-7")]
        stored = self.ask("partition set", partition)
        texts = [("text", "0;IN001;;;"), ("text", "1;IN002;CAM 2;;")]
        self.ask("mnemonics set", [("levelno", "7"), ("direction", "input")] + texts)
        self.ask("mnemonics set", [("levelno", "7"), ("direction", "output"), ("text", "0;OUT001;;;")])
        return stored

    def test_pushed_configuration_reads_back_and_resets_remove_it(self):
        self.assertTrue(self.push_router().changed)
        subsystems = self.view("subsystem list get")
        self.assertEqual([subsystems[f"subsystem{i}"] for i in range(4)], ["0", "1", "2", "3"])
        self.assertEqual(self.view("subsystem get", [("subsystem", "3")])["router1"], "10.0.0.9:4381")
        self.assertIn("3:5:0", self.view("partition list get").values())
        part = self.view("partition get", [("partition", "3:5:0")])
        self.assertEqual((part["subsystem"], part["routerno"], part["pid"]), ("3", "5", "0"))
        self.assertEqual((part["levelno"], part["routersize"]), ("7", "16x8"))
        self.assertNotIn("status", part)
        inputs = self.view("mnemonics get", [("levelno", "7"), ("direction", "input")])
        self.assertEqual((inputs["text0"], inputs["text1"]), ("0;IN001;;;", "1;IN002;CAM 2;;"))
        outputs = self.view("mnemonics get", [("levelno", "7"), ("direction", "output")])
        self.assertEqual(outputs["text"], "0;OUT001;;;")

        self.assertTrue(self.ask("partition reset", [("subsystem", "3"), ("routerno", "5"),
                                                     ("pid", "0")]).changed)
        self.assertTrue(self.ask("subsystem reset", [("subsystem", "3")]).changed)
        self.assertNotIn("subsystem3", self.view("subsystem list get"))
        self.assertEqual(self.view("partition get", [("partition", "3:5:0")])["status"],
                         "unknown partition")

    def test_partitions_that_do_not_fit_are_refused(self):
        cases = [("9", "1", "40", "subsystem 9 is not stored"),
                 ("2", "7", "1", "level 1 is already formed by partition 1:1:0")]
        for subsystem, router, level, words in cases:
            with self.subTest(words=words):
                outcome = self.ask("partition set", [("subsystem", subsystem), ("routerno", router),
                                                     ("pid", "0"), ("levelno", level)])
                self.assertFalse(outcome.changed)
                self.assertIn(words, " ".join(self.problems))
                self.assertNotIn(router, self.net.subsystems.get(subsystem, {}).get("routers", {}))
        again = self.ask("partition set", [("subsystem", "1"), ("routerno", "1"), ("pid", "0"),
                                           ("levelno", "1"), ("levelname", "renamed")])
        self.assertTrue(again.changed)


class ExamplesReadBackTest(unittest.TestCase):
    def test_whole_chain_of_each_example_is_readable_by_the_daemon(self):
        for name in ("network.json", "network-nosystem.json", "network-q5.json"):
            with self.subTest(network=name):
                harness = Harness()
                harness.network_file = name
                harness.setUp()
                self.read_everything(harness)

    def read_everything(self, h):
        h.views(h.ask("device get"))
        h.views(h.ask("device get", link="direct"))
        h.views(h.ask("spread get"))
        for key in h.net.subsystem_keys():
            h.views(h.ask("subsystem get", [("subsystem", key)]))
        h.views(h.ask("subsystem list get"))
        h.views(h.ask("partition list get"))
        for name, s, r, _ in h.net.partitions():
            part = h.view("partition get", [("partition", name)])
            self.assertNotIn("status", part)
            ports = h.net.subsystems[s]["routers"][r]["inputs"]
            texts = h.view("mnemonics get", [("levelno", part["levelno"]), ("direction", "input")])
            self.assertEqual(len([k for k in texts if k.startswith("text")]), len(ports))


class StateChangeTest(Harness):
    def test_spread_set_is_stored_and_read_back(self):
        text = b"Spread_Segment 10.1.1.255:2836 {\nnewbox 10.1.1.5\ndummycon 10.1.1.1\n}\n"
        body = [("data", codec.hex_encode(text)), ("name", "newbox"), ("description", "D")]
        self.assertEqual(self.view("spread set", body)["status"], "ok")
        spread = self.view("spread get")
        self.assertEqual((spread["name"], spread["description"]), ("newbox", "D"))
        self.assertEqual(codec.hex_decode(spread["data"]), text)

        refused = self.view("spread set", [("data", "0G"), ("name", "x"), ("description", "")])
        self.assertNotEqual(refused["status"], "ok")
        self.assertEqual(self.view("spread get")["name"], "newbox")

        self.view("spread set", [("data", ""), ("name", ""), ("description", "")])
        self.assertEqual(self.view("spread get")["data"], "")
        self.assertIsNone(self.net.system)

    def test_other_box_reports_its_own_system(self):
        spread = self.view("spread get", link="direct", to="corvanet@00:1E:C0:4A:10:02")
        self.assertEqual(spread["name"], "kdrtn-studio-b")
        self.assertIn(b"kdrtn-studio-b 192.168.10.22", codec.hex_decode(spread["data"]))

    def test_box_ip_settings_wait_for_reboot(self):
        new = [("ip", "192.168.10.99"), ("netmask", "255.255.0.0"),
               ("gateway", "192.168.0.1"), ("hostname", "renamed")]
        self.assertEqual(self.ask("device set", new).replies, [])
        self.assertEqual(self.view("device get")["ip"], "192.168.10.21")
        self.assertTrue(self.ask("reboot").box_rebooted)
        after = self.view("device get")
        self.assertEqual((after["ip"], after["netmask"], after["hostname"]),
                         ("192.168.10.99", "255.255.0.0", "renamed"))
        self.net.box["kind"] = "gx2400-ln-ctl"   # a controller card never gets a reboot
        self.ask("device set", [("ip", "192.168.10.98")], to="gx2400-ln-ctl@00:1E:C0:4A:10:01")
        self.assertEqual(self.view("device get")["ip"], "192.168.10.98")

    def test_tessora_takes_membership_and_settings_at_once(self):
        body = [("system_name", ""), ("system_description", ""), ("routerA1", ""),
                ("bootprotocol", "static"), ("ip", "192.168.10.77"), ("netmask", ""),
                ("gateway", "192.168.10.1"), ("hostname", "tr-new")]
        self.ask("device set", body, link="direct", to=VIDEO_ROUTER)
        self.assertIn('empty "netmask" ignored', self.problems)
        router = self.view("device get", link="direct", to=VIDEO_ROUTER)
        self.assertEqual((router["system_name"], router["ip"], router["netmask"], router["hostname"]),
                         ("", "192.168.10.77", "255.255.255.0", "tr-new"))

    def test_router_program_is_acknowledged_record_by_record(self):
        for line in PROGRAM:
            reply = self.view("program set", [("line", line)], link="direct", to=VIDEO_ROUTER)
            self.assertEqual((reply["msg"], reply["from"], reply["status"]),
                             ("program get", VIDEO_ROUTER, "ok"))
        self.assertEqual(self.net.find(VIDEO_ROUTER)["program"], list(PROGRAM))
        bad = self.view("program set", [("line", ":0303D6000100051F")], link="direct", to=VIDEO_ROUTER)
        self.assertEqual(bad["status"], "checksum error")
        screen = "kpscreen@00:1E:C0:40:00:31"
        self.assertEqual(self.ask("program set", [("line", PROGRAM[0])], link="direct", to=screen).replies, [])

    def test_system_update_works_then_reports_ok(self):
        replies = self.ask("system update").replies
        self.assertEqual([r.body for r in replies], [[("status", "working")], [("status", "ok")]])
        self.assertEqual([r.delay for r in replies], [0.0, 0.25])

    def test_failing_request_changes_nothing_and_reports_status(self):
        faults = Faults(fail={"subsystem set": "busy"})
        outcome = self.ask("subsystem set", [("subsystem", "8"), ("description", "x")], faults=faults)
        self.assertEqual([r.body for r in outcome.replies], [[("status", "busy")]])
        self.assertNotIn("8", self.net.subsystems)
        self.assertEqual(outcome.replies[0].fault, "error-status")


class Q5BoxTest(Harness):
    network_file = "network-q5.json"

    def test_internal_partition_reads_with_a_single_router_format(self):
        part = self.view("partition get", [("partition", "0:101:1")])
        self.assertEqual((part["routerformat"], part["routersize"], part["levelno"]),
                         ("Audio", "98x96", "101"))
        inputs = self.view("mnemonics get", [("levelno", "101"), ("direction", "input")])
        self.assertEqual((inputs["text96"], inputs["text97"]), ("96;1 kHz;;;", "97;Mute;;;"))


if __name__ == "__main__":
    unittest.main()
