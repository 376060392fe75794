import unittest

from tests.sim import ROOT
from kipsim import codec, schema
from kipsim.confd import ConfDaemon
from kipsim.faults import Faults
from kipsim.network import Network

VIDEO_ROUTER = "tessora@00:1E:C0:20:00:11"
PROGRAM = (":020000040040BA", ":0303D6000100051E", ":00000001FF")


class ConfDaemonTest(unittest.TestCase):
    def setUp(self):
        self.net = Network(schema.load(ROOT / "examples" / "network.json"))
        self.confd = ConfDaemon(self.net, update_time=0.25)

    def ask(self, name, body=(), to="*"):
        message = codec.parse(codec.encode(to, "kip@00:11:22:33:44:55", name, list(body))[:-1])
        outcome = self.confd.handle(message, "direct" if to == VIDEO_ROUTER else "main", Faults())
        return outcome, message.problems

    def test_partitions_that_do_not_fit_are_refused(self):
        for subsystem, router, level, words in (("9", "1", "40", "subsystem 9 is not stored"),
                                                ("2", "7", "1", "level 1 is already formed by partition 1:1:0")):
            with self.subTest(words=words):
                outcome, problems = self.ask("partition set", [("subsystem", subsystem), ("routerno", router),
                                                               ("pid", "0"), ("levelno", level)])
                self.assertFalse(outcome.changed)
                self.assertIn(words, " ".join(problems))

    def test_router_program_is_acknowledged_record_by_record(self):
        for line, status in zip(PROGRAM + (":0303D6000100051F",), ("ok", "ok", "ok", "checksum error")):
            (reply,) = self.ask("program set", [("line", line)], to=VIDEO_ROUTER)[0].replies
            self.assertEqual((reply.name, reply.sender, reply.body),
                             ("program get", VIDEO_ROUTER, [("status", status)]))
        self.assertEqual(self.net.find(VIDEO_ROUTER)["program"], list(PROGRAM))

    def test_system_update_is_working_then_ok(self):
        self.assertEqual([(r.body, r.delay) for r in self.ask("system update")[0].replies],
                         [([("status", "working")], 0.0), ([("status", "ok")], 0.25)])
