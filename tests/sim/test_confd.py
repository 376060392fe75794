import unittest

from tests.sim import ROOT
from tests.sim.test_codec import daemon_view
from kipsim import codec, schema
from kipsim.confd import ConfDaemon
from kipsim.faults import Faults
from kipsim.network import Network

DAEMON = "kip@00:11:22:33:44:55"
BOX = "corvanet@00:1E:C0:4A:10:01"
VIDEO_ROUTER = "tessora@00:1E:C0:20:00:11"
PROGRAM = (":020000040040BA", ":0303D6000100051E", ":00000001FF")


class ConfDaemonTest(unittest.TestCase):
    def setUp(self):
        self.use("network.json")

    def use(self, name):
        self.net = Network(schema.load(ROOT / "examples" / name))
        self.confd = ConfDaemon(self.net, update_time=0.25)

    def ask(self, name, body=(), link="main", to="*", faults=None):
        message = codec.parse(codec.encode(to, DAEMON, name, list(body))[:-1])
        self.problems = message.problems
        return self.confd.handle(message, link, faults or Faults())

    def views(self, outcome):
        """The replies as the daemon reads them; each must be readable and addressed to it."""
        result = [daemon_view(reply.encode()[:-1]) for reply in outcome.replies]
        self.assertNotIn(None, result, "a reply the daemon could not read")
        self.assertEqual({view["to"] for view in result}, {DAEMON} if result else set())
        return result

    def view(self, *args, **kwargs):
        (single,) = self.views(self.ask(*args, **kwargs))
        return single

    def test_device_get_main_link_is_this_box_and_direct_link_is_everyone_or_one(self):
        box = self.view("device get")
        self.assertEqual((box["from"], box["msg"], box["box"]), (BOX, "device get", "kbox"))
        self.assertEqual((box["module0"], box["module1"]), ("1;KD-IO8;1.4.2;B", "3;KD-GPI16;1.1.0;A"))

        everyone = self.views(self.ask("device get", link="direct"))
        self.assertEqual((everyone[0]["from"], len(everyone)), (BOX, 1 + len(self.net.devices)))
        by_host = {view["hostname"]: view for view in everyone}
        self.assertEqual(by_host["tr-video-1"]["system"], "r_64x32_video")
        self.assertEqual(by_host["kp-desk-1"]["routerA1"], "192.168.10.21:4381")
        self.assertEqual(by_host["lr-bridge-1"]["ext_dev"], "LR-FRAME-8")
        self.assertEqual(by_host["gx-ctl-7"]["from"], "gx2400-ln-ctl@00:1E:C0:4B:00:07")
        self.assertEqual(by_host["kps-gallery"]["from"], "kpscreen@00:1E:C0:40:00:31")

        self.assertEqual(self.view("device get", link="direct", to=VIDEO_ROUTER)["ip"], "192.168.10.31")
        for link, to in (("direct", "tessora@00:00:00:00:00:00"), ("main", VIDEO_ROUTER)):
            with self.subTest(link=link, to=to):
                self.assertEqual(self.ask("device get", link=link, to=to).replies, [])
                self.assertTrue(self.problems)
        offline = Faults(offline=["00:1E:C0:20:00:11"])
        senders = [r.sender for r in self.ask("device get", link="direct", faults=offline).replies]
        self.assertEqual((VIDEO_ROUTER in senders, len(senders)), (False, len(self.net.devices)))

    def test_pushed_router_reads_back_and_resets_remove_it(self):
        self.ask("subsystem set", [("subsystem", "3"), ("interface_type", "tcpip"), ("router1", "10.0.0.9:4381")])
        self.assertTrue(self.ask("partition set", [("subsystem", "3"), ("routerno", "5"), ("pid", "0"),
                                                   ("levelno", "7"), ("physical_in", "0-15"),
                                                   ("physical_out", "0-7")]).changed)
        self.ask("mnemonics set", [("levelno", "7"), ("direction", "input"), ("text", "0;IN001;;;"),
                                   ("text", "1;IN002;CAM 2;;")])
        self.ask("mnemonics set", [("levelno", "7"), ("direction", "output"), ("text", "0;OUT001;;;")])

        subsystems = self.view("subsystem list get")
        self.assertEqual([subsystems[f"subsystem{i}"] for i in range(4)], ["0", "1", "2", "3"])
        self.assertEqual(self.view("subsystem get", [("subsystem", "3")])["router1"], "10.0.0.9:4381")
        self.assertIn("3:5:0", self.view("partition list get").values())
        part = self.view("partition get", [("partition", "3:5:0")])
        self.assertEqual([part.get(key) for key in ("subsystem", "routerno", "pid", "levelno", "routersize", "status")],
                         ["3", "5", "0", "7", "16x8", None])
        inputs = self.view("mnemonics get", [("levelno", "7"), ("direction", "input")])
        self.assertEqual((inputs["text0"], inputs["text1"]), ("0;IN001;;;", "1;IN002;CAM 2;;"))
        self.assertEqual(self.view("mnemonics get", [("levelno", "7"), ("direction", "output")])["text"], "0;OUT001;;;")

        self.assertTrue(self.ask("partition reset", [("subsystem", "3"), ("routerno", "5"), ("pid", "0")]).changed)
        self.assertTrue(self.ask("subsystem reset", [("subsystem", "3")]).changed)
        self.assertNotIn("subsystem3", self.view("subsystem list get"))
        self.assertEqual(self.view("partition get", [("partition", "3:5:0")])["status"], "unknown partition")

    def test_partitions_that_do_not_fit_are_refused(self):
        for subsystem, router, level, words in (("9", "1", "40", "subsystem 9 is not stored"),
                                                ("2", "7", "1", "level 1 is already formed by partition 1:1:0")):
            with self.subTest(words=words):
                outcome = self.ask("partition set", [("subsystem", subsystem), ("routerno", router),
                                                     ("pid", "0"), ("levelno", level)])
                self.assertFalse(outcome.changed)
                self.assertIn(words, " ".join(self.problems))
                self.assertNotIn(router, self.net.subsystems.get(subsystem, {}).get("routers", {}))
        self.assertTrue(self.ask("partition set", [("subsystem", "1"), ("routerno", "1"), ("pid", "0"),
                                                   ("levelno", "1"), ("levelname", "renamed")]).changed)

    def test_whole_chain_of_each_example_is_readable_by_the_daemon(self):
        for name in ("network.json", "network-nosystem.json", "network-q5.json"):
            with self.subTest(network=name):
                self.use(name)
                for request, link in (("device get", "main"), ("device get", "direct"), ("spread get", "main"),
                                      ("subsystem list get", "main"), ("partition list get", "main")):
                    self.views(self.ask(request, link=link))
                for key in self.net.subsystem_keys():
                    self.view("subsystem get", [("subsystem", key)])
                for partition, subsystem, router, _ in self.net.partitions():
                    part = self.view("partition get", [("partition", partition)])
                    self.assertNotIn("status", part)
                    texts = self.view("mnemonics get", [("levelno", part["levelno"]), ("direction", "input")])
                    self.assertEqual(len([key for key in texts if key.startswith("text")]),
                                     len(self.net.subsystems[subsystem]["routers"][router]["inputs"]))
        # The Q5's internal audio partition reads with a single router format.
        part = self.view("partition get", [("partition", "0:101:1")])
        self.assertEqual((part["routerformat"], part["routersize"], part["levelno"]), ("Audio", "98x96", "101"))
        inputs = self.view("mnemonics get", [("levelno", "101"), ("direction", "input")])
        self.assertEqual((inputs["text96"], inputs["text97"]), ("96;1 kHz;;;", "97;Mute;;;"))

    def test_spread_set_is_stored_and_read_back_and_other_boxes_report_their_own(self):
        text = b"Spread_Segment 10.1.1.255:2836 {\nnewbox 10.1.1.5\ndummycon 10.1.1.1\n}\n"
        body = [("data", codec.hex_encode(text)), ("name", "newbox"), ("description", "D")]
        self.assertEqual(self.view("spread set", body)["status"], "ok")
        spread = self.view("spread get")
        self.assertEqual((spread["name"], spread["description"], codec.hex_decode(spread["data"])),
                         ("newbox", "D", text))
        refused = self.view("spread set", [("data", "0G"), ("name", "x"), ("description", "")])
        self.assertNotEqual(refused["status"], "ok")
        self.assertEqual(self.view("spread get")["name"], "newbox")
        self.view("spread set", [("data", ""), ("name", ""), ("description", "")])
        self.assertEqual(self.view("spread get")["data"], "")
        self.assertIsNone(self.net.system)

        spread = self.view("spread get", link="direct", to="corvanet@00:1E:C0:4A:10:02")
        self.assertEqual(spread["name"], "kdrtn-studio-b")
        self.assertIn(b"kdrtn-studio-b 192.168.10.22", codec.hex_decode(spread["data"]))

    def test_box_ip_settings_wait_for_reboot_but_a_card_and_a_tessora_take_them_at_once(self):
        new = [("ip", "192.168.10.99"), ("netmask", "255.255.0.0"), ("gateway", "192.168.0.1"),
               ("hostname", "renamed")]
        self.assertEqual(self.ask("device set", new).replies, [])
        self.assertEqual(self.view("device get")["ip"], "192.168.10.21")
        self.assertTrue(self.ask("reboot").box_rebooted)
        after = self.view("device get")
        self.assertEqual((after["ip"], after["netmask"], after["hostname"]),
                         ("192.168.10.99", "255.255.0.0", "renamed"))
        self.net.box["kind"] = "gx2400-ln-ctl"  # a controller card never gets a reboot
        self.ask("device set", [("ip", "192.168.10.98")], to="gx2400-ln-ctl@00:1E:C0:4A:10:01")
        self.assertEqual(self.view("device get")["ip"], "192.168.10.98")

        self.ask("device set", [("system_name", ""), ("system_description", ""), ("routerA1", ""),
                                ("bootprotocol", "static"), ("ip", "192.168.10.77"), ("netmask", ""),
                                ("gateway", "192.168.10.1"), ("hostname", "tr-new")], link="direct", to=VIDEO_ROUTER)
        self.assertIn('empty "netmask" ignored', self.problems)
        router = self.view("device get", link="direct", to=VIDEO_ROUTER)
        self.assertEqual((router["system_name"], router["ip"], router["netmask"], router["hostname"]),
                         ("", "192.168.10.77", "255.255.255.0", "tr-new"))

    def test_router_program_is_acknowledged_record_by_record(self):
        for line in PROGRAM:
            reply = self.view("program set", [("line", line)], link="direct", to=VIDEO_ROUTER)
            self.assertEqual((reply["msg"], reply["from"], reply["status"]), ("program get", VIDEO_ROUTER, "ok"))
        self.assertEqual(self.net.find(VIDEO_ROUTER)["program"], list(PROGRAM))
        bad = self.view("program set", [("line", ":0303D6000100051F")], link="direct", to=VIDEO_ROUTER)
        self.assertEqual(bad["status"], "checksum error")
        screen = "kpscreen@00:1E:C0:40:00:31"
        self.assertEqual(self.ask("program set", [("line", PROGRAM[0])], link="direct", to=screen).replies, [])

    def test_status_replies_of_system_update_and_of_a_failing_request(self):
        replies = self.ask("system update").replies
        self.assertEqual([(r.body, r.delay) for r in replies],
                         [([("status", "working")], 0.0), ([("status", "ok")], 0.25)])
        faults = Faults(fail={"subsystem set": "busy"})
        outcome = self.ask("subsystem set", [("subsystem", "8"), ("description", "x")], faults=faults)
        self.assertEqual([(r.body, r.fault) for r in outcome.replies], [([("status", "busy")], "error-status")])
        self.assertNotIn("8", self.net.subsystems)


if __name__ == "__main__":
    unittest.main()
