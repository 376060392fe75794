import copy
import json
import unittest

from tests.sim import ROOT
from kipsim import schema
from kipsim.network import Network

EXAMPLE = json.loads((ROOT / "examples" / "network.json").read_text(encoding="utf-8"))


class SchemaTest(unittest.TestCase):
    def test_examples_load_and_survive_a_state_round_trip(self):
        examples = sorted((ROOT / "examples").glob("network*.json"))
        self.assertGreaterEqual(len(examples), 3)
        for path in examples:
            with self.subTest(path=path.name):
                loaded = schema.load(path)
                self.assertEqual(schema.check(json.loads(json.dumps(Network(loaded).to_dict()))), loaded)

    def test_offending_field_is_named(self):
        cases = [
            (lambda d: d["devices"][2].update(mac="00:1e:c0:20:00:11"), "devices[2].mac", "upper-case"),
            (lambda d: d["devices"][4].update(sytem="r_8_video"), "devices[4].sytem", "unknown field"),
            (lambda d: d["this_box"]["ip_settings"].update(gateway="10.0.0"), "this_box.ip_settings.gateway", "IPv4"),
            (lambda d: d["this_box"].update(kind="tessora"), "this_box.kind", "must be one of"),
            (lambda d: d["devices"][5].update(mac=d["this_box"]["mac"]), "devices[5].mac",
             "already used by this_box.mac"),
            (lambda d: d["system"].update(spread_file="x"), "system", "exactly one of"),
            (lambda d: d["subsystems"]["2"]["routers"]["103"]["partitions"]["0"].update(levelno="1"),
             "subsystems.2.routers.103.partitions.0.levelno", "level 1 is already formed"),
            (lambda d: d["subsystems"]["1"]["routers"]["1"]["inputs"].update({"2": "A;B"}),
             "subsystems.1.routers.1.inputs.2", "may not contain ';'"),
        ]
        for change, path, words in cases:
            with self.subTest(path=path):
                data = copy.deepcopy(EXAMPLE)
                change(data)
                with self.assertRaises(schema.NetworkError) as caught:
                    schema.check(data, "net.json")
                self.assertTrue(str(caught.exception).startswith(f"net.json: {path}: "), caught.exception)
                self.assertIn(words, str(caught.exception))
