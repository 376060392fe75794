#!/usr/bin/env python3
"""Writes a network file for the simulator with many devices, for the scale figures.

    bench/make_network.py COUNT [OUTPUT]

This box, its system and its stored subsystems are those of examples/network.json; the COUNT
other devices are generated in turn as Tessora routers of this system, Tessora routers of
another system, control panels, screens and unsupported devices. None of them is a controller
box or card, so every one of them is reported once by each device search ("get_devices"): a
search reports COUNT + 1 devices, this box included.
"""

import json
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXAMPLE = os.path.join(ROOT, "examples", "network.json")
FIRMWARE = {"version": "4.1.0", "build": "2023-11-02T08:15:00+0000", "revision": "D"}


def ip_settings(index):
    return {"ip": f"10.{(index >> 16) & 255}.{(index >> 8) & 255}.{index & 255}",
            "netmask": "255.0.0.0", "gateway": "10.255.255.254", "hostname": f"dev-{index:05d}"}


def router(system_name):
    return {"kind": "tessora", "firmware": FIRMWARE, "address": 0, "system": "r_64x32_video",
            "system_name": system_name, "system_description": "Corvanet Configurator System"}


def device(index, system_name):
    """Device `index`: one of five kinds in turn."""
    shapes = [
        router(system_name),
        router("another-system"),
        {"kind": "tessora", "firmware": FIRMWARE, "address": 8, "system": "kpblock",
         "system_name": system_name, "system_description": "Corvanet Configurator System",
         "routerA1": "192.168.10.21:4381"},
        {"kind": "kpscreen", "firmware": {"version": "2.0.3", "build": "2023-06-01T12:00:00+0000"}},
        {"kind": "tessora", "firmware": FIRMWARE, "address": 12, "system": "r_16x16_video",
         "ext_dev": ["LR-FRAME-8"]},
    ]
    result = dict(shapes[index % len(shapes)])
    result["mac"] = f"02:1E:C0:{(index >> 16) & 255:02X}:{(index >> 8) & 255:02X}:{index & 255:02X}"
    result["ip_settings"] = ip_settings(index)
    return result


def network(count):
    with open(EXAMPLE, encoding="utf-8") as handle:
        example = json.load(handle)
    name = example["system"]["name"]
    return {
        "comment": f"This box of examples/network.json and {count} generated devices (bench/make_network.py).",
        "this_box": example["this_box"],
        "system": example["system"],
        "devices": [device(index, name) for index in range(count)],
        "subsystems": example.get("subsystems", {}),
    }


def main(argv):
    if len(argv) not in (2, 3) or not argv[1].isdigit():
        print(__doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        return 2
    text = json.dumps(network(int(argv[1])), indent=1)
    if len(argv) == 3:
        with open(argv[2], "w", encoding="utf-8") as handle:
            handle.write(text)
    else:
        sys.stdout.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
