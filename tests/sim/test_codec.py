import unittest

from tests.sim import ROOT  # noqa: F401  (puts tools/ on the path)
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

    def test_parse_reports_problems(self):
        message = codec.parse(b"from=x\nto=y\nno equals here\nkey=v")
        self.assertFalse(message.complete)
        for expected in ("no '='", 'no "msg" line', "not ended by a line feed", "in this order"):
            self.assertIn(expected, " | ".join(message.problems))

    def test_encode_refuses_bodies_the_daemon_would_drop_and_hex_is_upper_case_pairs(self):
        for body in ([("a", "1"), ("b", "2"), ("a", "3")],  # a repeat that is not adjacent
                     [("v", "two\nlines")], [("msg", "again")], [(";comment", "x")], [("", "x")], [("k=", "x")]):
            with self.subTest(body=body), self.assertRaises(codec.WireError):
                codec.encode("*", "kip@", "x", body)
        self.assertEqual(codec.hex_encode(b"\xab\xff"), "ABFF")
        for bad in ("ABC", "0G", " 0A0B "):
            with self.subTest(bad=bad), self.assertRaises(ValueError):
                codec.hex_decode(bad)
