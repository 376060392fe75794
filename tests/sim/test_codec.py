import unittest

import tests.sim  # noqa: F401  (puts tools/ on the path)
from kipsim import codec


class CodecTest(unittest.TestCase):
    def test_framer_cuts_at_nul_across_reads_and_drops_endless_garbage(self):
        framer = codec.Framer()
        stream = b"to=a\nmsg=one\n\0to=b\nmsg=two\n\0to=c\nmsg=th"
        frames = framer.feed(stream[:3]) + framer.feed(stream[3:20]) + framer.feed(stream[20:])
        self.assertEqual((frames, framer.pending), ([b"to=a\nmsg=one\n", b"to=b\nmsg=two\n"], len(b"to=c\nmsg=th")))
        self.assertEqual((framer.feed(b"ree\n\0"), framer.pending), ([b"to=c\nmsg=three\n"], 0))
        framer = codec.Framer(limit=16)
        self.assertEqual(framer.feed(b"x" * 40), [])
        self.assertEqual((framer.discarded, framer.pending), (40, 0))
        self.assertEqual(framer.feed(b"to=a\n\0"), [b"to=a\n"])

    def test_parse_keeps_order_and_repeats_and_reports_problems(self):
        message = codec.parse(b"to=*\nfrom=kip@00:11:22:33:44:55\nmsg=mnemonics set\nlevelno=1\n"
                              b"text=0;IN001;;;\ntext=1;a=b;;;\n")
        self.assertEqual((message.complete, message.problems), (True, []))
        self.assertEqual((message.to, message.sender, message.name), ("*", "kip@00:11:22:33:44:55", "mnemonics set"))
        self.assertEqual((message.values("text"), message.get("levelno")), (["0;IN001;;;", "1;a=b;;;"], "1"))

        message = codec.parse(b"from=x\nto=y\nno equals here\nkey=v")
        self.assertFalse(message.complete)
        for expected in ("no '='", 'no "msg" line', "not ended by a line feed", "in this order"):
            self.assertIn(expected, " | ".join(message.problems))

    def test_encode_gives_exact_bytes_and_refuses_bodies_the_daemon_would_drop(self):
        body = [("subsystem", "0"), ("subsystem", "1")]
        self.assertEqual(codec.encode("kip@A", "corvanet@B", "subsystem list get", body),
                         b"to=kip@A\nfrom=corvanet@B\nmsg=subsystem list get\nsubsystem=0\nsubsystem=1\n\0")
        for body in ([("a", "1"), ("b", "2"), ("a", "3")],  # a repeat that is not adjacent
                     [("v", "two\nlines")], [("msg", "again")], [(";comment", "x")], [("", "x")], [("k=", "x")]):
            with self.subTest(body=body), self.assertRaises(codec.WireError):
                codec.encode("*", "kip@", "x", body)

    def test_hex_round_trip_and_rejects(self):
        data = b"Spread_Segment 10.0.0.255:2836 {\n\xff}\n"
        self.assertEqual(codec.hex_encode(b"\xab\xff"), "ABFF")
        self.assertEqual(codec.hex_decode(codec.hex_encode(data)), data)
        for bad in ("ABC", "0G", " 0A0B "):
            with self.subTest(bad=bad), self.assertRaises(ValueError):
                codec.hex_decode(bad)
