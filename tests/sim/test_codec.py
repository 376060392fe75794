import itertools
import unittest

import tests.sim  # noqa: F401  (puts tools/ on the path)
from kipsim import codec


def number_duplicate_keys(text):
    """The daemon's renumbering of runs of a repeated key (text, text -> text0, text1)."""
    pairs = [piece.split("=", 1) for piece in text.split("\n") if "=" in piece]
    lines = []
    for key, run in itertools.groupby(pairs, key=lambda pair: pair[0]):
        run = list(run)
        lines += [f"{key}{index if len(run) > 1 else ''}={value}" for index, (_, value) in enumerate(run)]
    return "\n".join(lines)


def _ini_read(text):
    tree = {}
    for line in filter(None, (line.strip() for line in text.split("\n"))):
        if line[0] in ";#":
            continue
        if "=" not in line or line[0] in "=[":
            raise ValueError("unreadable line")
        key, value = (part.strip() for part in line.split("=", 1))
        if key in tree:
            raise KeyError("duplicate key name")
        tree[key] = value
    return tree


def daemon_view(raw):
    """What the daemon makes of one message (without NUL): a flat dict, or None."""
    text = codec.to_text(raw)
    try:
        return _ini_read(text)
    except KeyError:
        try:
            return _ini_read(number_duplicate_keys(text))
        except (KeyError, ValueError):
            return None
    except ValueError:
        return None


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
        self.assertEqual(codec.encode("*", "kip@", "subsystem list get"),
                         b"to=*\nfrom=kip@\nmsg=subsystem list get\n\0")
        raw = codec.encode("kip@A", "corvanet@B", "subsystem list get", [("subsystem", str(n)) for n in range(3)])
        self.assertEqual(daemon_view(raw[:-1]), {"to": "kip@A", "from": "corvanet@B", "msg": "subsystem list get",
                                                 "subsystem0": "0", "subsystem1": "1", "subsystem2": "2"})
        for body in ([("a", "1"), ("b", "2"), ("a", "3")],  # a repeat that is not adjacent
                     [("v", "two\nlines")], [("msg", "again")], [(";comment", "x")], [("", "x")], [("k=", "x")]):
            with self.subTest(body=body), self.assertRaises(codec.WireError):
                codec.encode("*", "kip@", "x", body)

    def test_hex_round_trip_and_rejects(self):
        data = b"Spread_Segment 10.0.0.255:2836 {\n\xff}\n"
        self.assertTrue(codec.hex_encode(data).startswith("5370"))
        self.assertEqual(codec.hex_encode(b"\xab\xff"), "ABFF")
        self.assertEqual(codec.hex_decode(codec.hex_encode(data)), data)
        for bad in ("ABC", "0G", " 0A0B "):
            with self.subTest(bad=bad), self.assertRaises(ValueError):
                codec.hex_decode(bad)


if __name__ == "__main__":
    unittest.main()
