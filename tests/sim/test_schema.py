import copy
import json
import sys
import tempfile
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
if str(ROOT / "tools") not in sys.path:
    sys.path.insert(0, str(ROOT / "tools"))

from kipsim import schema  # noqa: E402
from kipsim.network import Network  # noqa: E402

EXAMPLES = sorted((ROOT / "examples").glob("network*.json"))


def example():
    with open(ROOT / "examples" / "network.json", encoding="utf-8") as handle:
        return json.load(handle)


class ExampleFilesTest(unittest.TestCase):
    def test_examples_load_and_survive_a_state_round_trip(self):
        self.assertGreaterEqual(len(EXAMPLES), 3)
        for path in EXAMPLES:
            with self.subTest(path=path.name):
                loaded = schema.load(path)
                again = schema.check(json.loads(json.dumps(Network(loaded).to_dict())))
                self.assertEqual(again, loaded)


class BadFileTest(unittest.TestCase):
    def assert_rejected(self, data, path, words):
        with self.assertRaises(schema.NetworkError) as caught:
            schema.check(data, "net.json")
        message = str(caught.exception)
        self.assertTrue(message.startswith(f"net.json: {path}: "), message)
        self.assertIn(words, message)

    def test_offending_field_is_named(self):
        cases = [
            (lambda d: d["devices"][2].update(mac="00:1e:c0:20:00:11"), "devices[2].mac", "upper-case"),
            (lambda d: d["devices"][3]["ip_settings"].update(netmask="255.255.0"),
             "devices[3].ip_settings.netmask", "IPv4"),
            (lambda d: d["devices"][0]["ip_settings"].pop("hostname"),
             "devices[0].ip_settings.hostname", "missing"),
            (lambda d: d["devices"][4].update(sytem="r_8_video"), "devices[4].sytem", "unknown field"),
            (lambda d: d["this_box"].update(kind="tessora"), "this_box.kind", "must be one of"),
            (lambda d: d["devices"][5].update(mac=d["this_box"]["mac"]), "devices[5].mac",
             "already used by this_box.mac"),
            (lambda d: d["devices"][2].update(address="3"), "devices[2].address", "whole number"),
            (lambda d: d["system"].update(spread_file="x"), "system", "exactly one of"),
            (lambda d: d["subsystems"]["2"]["routers"]["103"]["partitions"]["0"].update(levelno="1"),
             "subsystems.2.routers.103.partitions.0.levelno", "level 1 is already formed"),
            (lambda d: d["subsystems"]["1"]["routers"]["1"]["inputs"].update({"2": "A;B"}),
             "subsystems.1.routers.1.inputs.2", "may not contain ';'"),
            (lambda d: d["subsystems"].update({"x1": {}}), "subsystems", "not a decimal number"),
        ]
        for change, path, words in cases:
            with self.subTest(path=path):
                data = copy.deepcopy(example())
                change(data)
                self.assert_rejected(data, path, words)

    def test_unreadable_files_name_the_file_and_place(self):
        with tempfile.TemporaryDirectory() as tmp:
            broken = Path(tmp) / "broken.json"
            broken.write_text('{\n  "this_box": {,\n}')
            with self.assertRaisesRegex(schema.NetworkError, r"broken\.json: not valid JSON at line 2"):
                schema.load(broken)
            twice = Path(tmp) / "twice.json"
            twice.write_text('{"system": null, "system": null}')
            with self.assertRaisesRegex(schema.NetworkError, 'duplicate key "system"'):
                schema.load(twice)
            with self.assertRaisesRegex(schema.NetworkError, "missing.json: cannot be read"):
                schema.load(Path(tmp) / "missing.json")


class SpreadTextTest(unittest.TestCase):
    def test_hosts_give_segment_members_and_placeholder(self):
        settings = {"ip": "192.168.1.10", "netmask": "255.255.254.0", "gateway": "192.168.1.1"}
        text = schema.spread_text([{"name": "box1", "ip": "192.168.1.10"},
                                   {"name": "box2", "ip": "192.168.1.11"}], settings)
        self.assertEqual(text, "Spread_Segment 192.168.1.255:2836 {\nbox1 192.168.1.10\n"
                               "box2 192.168.1.11\ndummycon 192.168.1.1\n}\nSocketPortReuse = ON\n")


if __name__ == "__main__":
    unittest.main()
