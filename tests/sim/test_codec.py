import sys
import unittest
from pathlib import Path

TOOLS = Path(__file__).resolve().parents[2] / "tools"
if str(TOOLS) not in sys.path:
    sys.path.insert(0, str(TOOLS))

from kipsim import codec  # noqa: E402


def number_duplicate_keys(text):
    """The daemon's renumbering of adjacent repeated keys (text, text -> text0, text1)."""
    pairs = [piece.split("=", 1) for piece in text.split("\n") if "=" in piece]
    if len(pairs) <= 2:
        return ""
    out, counter = [], 0
    for index, (key, value) in enumerate(pairs):
        if index + 1 < len(pairs) and pairs[index + 1][0] == key:
            out.append(f"{key}{counter}")
            counter += 1
        elif counter > 0:
            out.append(f"{key}{counter}")
            counter = 0
        else:
            out.append(key)
        out[-1] += f"={value}\n"
    return "".join(out)


def _ini_read(text):
    tree = {}
    for line in text.split("\n"):
        line = line.strip()
        if not line or line[0] in ";#":
            continue
        if "=" not in line or line[0] == "=" or line[0] == "[":
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


class FramerTest(unittest.TestCase):
    def test_messages_are_cut_at_nul_across_reads(self):
        framer = codec.Framer()
        stream = b"to=a\nmsg=one\n\0to=b\nmsg=two\n\0to=c\nmsg=th"
        frames = framer.feed(stream[:3]) + framer.feed(stream[3:20]) + framer.feed(stream[20:])
        self.assertEqual(frames, [b"to=a\nmsg=one\n", b"to=b\nmsg=two\n"])
        self.assertEqual(framer.pending, len(b"to=c\nmsg=th"))
        self.assertEqual(framer.feed(b"ree\n\0"), [b"to=c\nmsg=three\n"])
        self.assertEqual(framer.pending, 0)

    def test_endless_garbage_is_discarded_and_framing_recovers(self):
        framer = codec.Framer(limit=16)
        self.assertEqual(framer.feed(b"x" * 40), [])
        self.assertEqual((framer.discarded, framer.pending), (40, 0))
        self.assertEqual(framer.feed(b"to=a\n\0"), [b"to=a\n"])


class ParseTest(unittest.TestCase):
    def test_envelope_body_order_and_repeats_are_kept(self):
        raw = b"to=*\nfrom=kip@00:11:22:33:44:55\nmsg=mnemonics set\nlevelno=1\n" \
              b"text=0;IN001;;;\ntext=1;a=b;;;\n"
        message = codec.parse(raw)
        self.assertTrue(message.complete)
        self.assertEqual((message.to, message.sender, message.name),
                         ("*", "kip@00:11:22:33:44:55", "mnemonics set"))
        self.assertEqual(message.values("text"), ["0;IN001;;;", "1;a=b;;;"])
        self.assertEqual(message.get("levelno"), "1")
        self.assertEqual(message.problems, [])

    def test_problems_are_reported_not_raised(self):
        message = codec.parse(b"from=x\nto=y\nno equals here\nkey=v")
        self.assertFalse(message.complete)
        text = " | ".join(message.problems)
        for expected in ("no '='", 'no "msg" line', "not ended by a line feed", "in this order"):
            self.assertIn(expected, text)


class EncodeTest(unittest.TestCase):
    def test_exact_bytes_and_lists_as_adjacent_keys(self):
        self.assertEqual(codec.encode("*", "kip@", "subsystem list get"),
                         b"to=*\nfrom=kip@\nmsg=subsystem list get\n\0")
        raw = codec.encode("kip@A", "corvanet@B", "subsystem list get",
                           [("subsystem", "0"), ("subsystem", "1"), ("subsystem", "2")])
        self.assertEqual(daemon_view(raw[:-1]),
                         {"to": "kip@A", "from": "corvanet@B", "msg": "subsystem list get",
                          "subsystem0": "0", "subsystem1": "1", "subsystem2": "2"})

    def test_bodies_the_daemon_would_drop_are_refused(self):
        bad_bodies = [
            [("a", "1"), ("b", "2"), ("a", "3")],   # repeat that is not adjacent
            [("v", "two\nlines")],
            [("msg", "again")],
            [(";comment", "x")],
            [("", "x")],
            [("k=", "x")],
        ]
        for body in bad_bodies:
            with self.subTest(body=body), self.assertRaises(codec.WireError):
                codec.encode("*", "kip@", "x", body)

    def test_hex_round_trip_and_rejects(self):
        data = b"Spread_Segment 10.0.0.255:2836 {\n\xff}\n"
        text = codec.hex_encode(data)
        self.assertEqual(text[:4], "5370")
        self.assertEqual(text, text.upper())
        self.assertEqual(codec.hex_decode(text), data)
        for bad in ("ABC", "0G", " 0A0B "):
            with self.subTest(bad=bad), self.assertRaises(ValueError):
                codec.hex_decode(bad)


if __name__ == "__main__":
    unittest.main()
