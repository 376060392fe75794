"""Building a system through the host protocol: what the simulator receives, per link and in order."""
import json
import os
import select
import sys
import tempfile
from pathlib import Path

from tests.e2e.support import EXAMPLES, ROOT, KipdTest, wait_until

sys.path.insert(0, os.path.join(ROOT, "tools"))
from kipsim import schema  # noqa: E402
from kipsim.network import Network  # noqa: E402

NEW_BOX, OTHER_BOX, Q5_BOX = ("corvanet@00:1E:C0:" + tail for tail in ("4A:10:01", "4A:10:02", "6C:00:05"))
ROUTER_MAC, SCREEN_MAC = "00:1E:C0:20:00:11", "00:1E:C0:40:00:31"
ROUTER = "tessora@" + ROUTER_MAC
DESCRIPTION = "Corvanet Configurator System"
ROUTER_FIELDS = ("routerA1=", "routerB1=", "routerC1=", "routerD1=")
try:  # kipd names itself by the MAC address of eth0
    with open("/sys/class/net/eth0/address", encoding="ascii") as handle:
        OWN = "kip@" + handle.read().strip().upper()
except OSError:
    OWN = "kip@"


def message(to, name, *body):
    return "".join(line + "\n" for line in (f"to={to}", f"from={OWN}", f"msg={name}", *body))


def gateway(ip):
    return ip.rsplit(".", 1)[0] + ".1"


def ip_body(ip, hostname):
    return [f"ip={ip}", "netmask=255.255.255.0", f"gateway={gateway(ip)}", f"hostname={hostname}"]


def spread_set(to, host, ip):
    text = (f"Spread_Segment {ip.rsplit('.', 1)[0]}.255:2836 {{\n{host} {ip}\ndummycon {gateway(ip)}\n}}\n"
            "SocketPortReuse = ON\n")
    return message(to, "spread set", "data=" + text.encode().hex().upper(), "name=" + host,
                   "description=" + DESCRIPTION)


def subsystem_set(to, number, description, protocol, router1=None):
    interface, kind = ("tcpip", "native") if router1 else ("internal", "internal")
    return message(to, "subsystem set", f"subsystem={number}", "cascade_mode=0", "command_echo=false",
                   f"description={description}", f"interface_type={interface}", "local_lock=0", "local_mnemonics=0",
                   "loop_mode=false", f"protocol_name={protocol}", f"protocol_type={kind}",
                   *[f"router1={router1}"] * bool(router1), "use_external_port=0", "user=3")


def partition_set(to, name, level, level_name, description, size, extra=(), ranges_first=False):
    ids = [f"{key}={value}" for key, value in zip(("subsystem", "routerno", "pid"), name.split(":"))]
    fields = [f"levelno={level}", f"levelname={level_name}", "levelalias=", f"leveldescription={description}",
              "levelactive=true", *extra]
    ranges = [f"physical_in=0-{size[0] - 1}", f"physical_out=0-{size[1] - 1}"]
    return message(to, "partition set", *ids, *(ranges + fields if ranges_first else fields + ranges))


def mnemonics(to, level, inputs, outputs):
    return [message(to, "mnemonics set", f"levelno={level}", f"direction={direction}",
                    *(f"text={index};{name};;;" for index, name in enumerate(names)))
            for direction, names in (("input", inputs), ("output", outputs))]


def numbered(pattern, count):
    return [pattern % n for n in range(1, count + 1)]


def video_router(name, ip, level_name, ranges_first=False):
    return [subsystem_set(NEW_BOX, "1", name, "tessora", ip + ":4381"),
            partition_set(NEW_BOX, "1:1:0", "3", level_name, "Studio cameras", (64, 32), ranges_first=ranges_first),
            *mnemonics(NEW_BOX, "3", numbered("IN%03d", 64), numbered("OUT%03d", 32)),
            message(NEW_BOX, "system update")]


def device_search(*boxes):
    return [message("*", "device get")] + [message(box, "spread get") for box in boxes]


class SystemBuild(KipdTest):
    network = os.path.join(EXAMPLES, "network-nosystem.json")
    mark = 0

    def search_devices(self, **request):
        self.client.request({"type": "get_devices", **request})
        reports = [self.client.reply() for _ in range(8)]
        by_mac = {report.get("ip_settings", {}).get("mac_address"): report for report in reports}
        self.assertEqual((len(by_mac), None in by_mac), (8, False), reports)
        return by_mac

    def set_router(self, ip_settings, **system):
        report = self.ask({"type": "set_tessora_info", "ip_settings": {"mac_address": ROUTER_MAC, **ip_settings},
                           **system})
        self.assertEqual((report["type"], report["ip_settings"]["mac_address"]), ("new_tessora_info", ROUTER_MAC))
        return report

    def create(self, box, ip, hostname, **reply):
        self.assertEqual(self.ask({"type": "has_corvanet_system"}),
                         {"type": "has_corvanet_system_response", "system_exists": "false"})
        self.expect_received(main=[message("*", "device get"), message(box, "spread get")])
        self.assertEqual(self.ask({"type": "set_corvanet_ip_settings", "ip_address": ip, "hostname": hostname,
                                   "subnet_mask": "255.255.255.0", "default_gateway": gateway(ip)}),
                         {"type": "set_corvanet_ip_settings_response", "system_created": "true", "reboot": "false",
                          **reply})

    def expect_received(self, main=(), direct=()):
        wait_until(lambda: len(self.sim.received()) >= self.mark + len(main) + len(direct))
        received = self.sim.received("link", "text")[self.mark:]
        self.mark += len(received)
        self.assertEqual([[text for link, text in received if link == name] for name in ("main", "direct")],
                         [list(main), list(direct)])

    def expect_reading(self, subsystems, partitions, first=NEW_BOX):
        texts = [message(first, "device get")]
        texts += [message(NEW_BOX, name) for name in ("spread get", "subsystem list get")]
        texts += [message(NEW_BOX, "subsystem get", "subsystem=" + number) for number in subsystems]
        texts.append(message(NEW_BOX, "partition list get"))
        for name, level in partitions:
            texts.append(message(NEW_BOX, "partition get", "partition=" + name))
            texts += [message(NEW_BOX, "mnemonics get", f"levelno={level}", f"direction={direction}")
                      for direction in ("input", "output")]
        self.expect_received(main=texts, direct=device_search(NEW_BOX, OTHER_BOX))


class NewSystem(SystemBuild):
    def test_unchanged_settings_create_the_system_and_a_router_joins_changes_and_leaves(self):
        self.create(NEW_BOX, "192.168.10.21", "kdrtn-new")
        self.expect_received(direct=device_search(NEW_BOX, OTHER_BOX),
                             main=[spread_set(NEW_BOX, "kdrtn-new", "192.168.10.21"), message(NEW_BOX, "spread update"),
                                   subsystem_set(NEW_BOX, "0", "Corvanet KD-RTN", "none"),
                                   message(NEW_BOX, "system update")])

        reports = self.search_devices()
        own = next(iter(reports.values()))
        self.assertEqual((own["type"], own["system"]),
                         ("new_corvanet_info", {"name": "kdrtn-new", "description": DESCRIPTION}))
        self.assertNotIn("system", reports[ROUTER_MAC])
        self.expect_reading(["0"], [])

        cameras = {"no": "3", "name": "Cameras", "description": "Studio cameras"}
        in_level = {"level": cameras, "router": {"no": "1"}, "name": "kdrtn-new"}
        self.assertEqual(self.set_router({}, system={"level": cameras})["system"], in_level)
        self.expect_received(direct=[message(ROUTER, "device set", "system_name=kdrtn-new",
                                             "system_description=" + DESCRIPTION, *ROUTER_FIELDS)],
                             main=video_router("tr-video-1", "192.168.10.31", "Cameras", ranges_first=True))

        # A fresh search reads the stored configuration back and finds the router in its level.
        self.assertEqual(self.search_devices(refresh=True)[ROUTER_MAC]["system"], in_level)
        self.expect_reading(["0", "1"], [("1:1:0", "3")])

        report = self.set_router({"ip_address": "192.168.10.35", "hostname": "tr-video-2"})
        self.assertEqual((report["ip_settings"]["ip_address"], report["ip_settings"]["hostname"]),
                         ("192.168.10.35", "tr-video-2"))
        self.expect_received(direct=[message(ROUTER, "device set", "bootprotocol=static",
                                             *ip_body("192.168.10.35", "tr-video-2"))],
                             main=video_router("tr-video-2", "192.168.10.35", "tr-video-2"))

        self.assertNotIn("system", self.set_router({}, system={"include": False}))
        self.expect_received(
            direct=[message(ROUTER, "device set", "system_name=", "system_description=", *ROUTER_FIELDS)],
            main=[message(NEW_BOX, "partition reset", "subsystem=1", "routerno=1", "pid=0"),
                  message(NEW_BOX, "subsystem reset", "subsystem=1"), message(NEW_BOX, "system update")])
        self.assertEqual(self.sim.problems(), [])

    def test_changed_settings_answer_first_then_push_and_reboot(self):
        self.create(NEW_BOX, "192.168.10.25", "kdrtn-one", reboot="true")
        self.expect_received(direct=device_search(NEW_BOX, OTHER_BOX),
                             main=[spread_set(NEW_BOX, "kdrtn-one", "192.168.10.25"),
                                   subsystem_set(NEW_BOX, "0", "Corvanet KD-RTN", "none"),
                                   message(NEW_BOX, "device set", *ip_body("192.168.10.25", "kdrtn-one")),
                                   message(NEW_BOX, "reboot")])
        self.assertEqual(self.sim.problems(), [])


class HeldSystemUpdate(SystemBuild):
    network = os.path.join(EXAMPLES, "network.json")
    options = ("--drop", "system update", "--control-port", "0")

    def release(self, status):
        text = f"to={OWN}\nfrom={NEW_BOX}\nmsg=system update\nstatus={status}\n"
        self.assertEqual(self.sim.control({"cmd": "send", "link": "main", "text": text})["sent"], 1)
        self.assertEqual(self.ask({"type": "has_corvanet_system"}, self.connect())["system_exists"], "true")

    def test_device_change_is_answered_only_after_the_final_status(self):
        self.assertEqual(self.search_devices()[SCREEN_MAC]["type"], "new_ip_device_info")
        # Until this box has described itself, the first request goes to "*".
        self.expect_reading(["0", "1", "2"], [("1:1:0", "1"), ("2:103:0", "2")], first="*")

        self.client.request({"type": "set_tessora_info",
                             "ip_settings": {"mac_address": SCREEN_MAC, "hostname": "kps-gallery-2"}})
        self.expect_received(
            direct=[message(f"kpscreen@{SCREEN_MAC}", "device set", "bootprotocol=static",
                            *ip_body("192.168.10.51", "kps-gallery-2"))],
            main=[message(NEW_BOX, "system update")])
        self.release("working")
        self.assertFalse(self.client.buffer or select.select([self.client.sock], [], [], 0)[0],
                         "answered while the update was still working")
        self.release("ok")
        report = self.client.reply()
        self.assertEqual((report["type"], report["ip_settings"]["hostname"]), ("new_ip_device_info", "kps-gallery-2"))
        # The system's panel restarts after the update.
        self.expect_received(direct=[message("tessora@00:1E:C0:30:00:21", "reboot")])


class TessoraQ5Box(SystemBuild):
    example = Path(EXAMPLES, "network-q5.json")

    def setUp(self):  # the example before a system is made on it
        self.network = Path(self.enterContext(tempfile.TemporaryDirectory()), "network-q5-new.json")
        self.network.write_text(json.dumps({**json.loads(self.example.read_text()), "system": None, "subsystems": {}}))
        super().setUp()

    def test_new_system_pushes_the_internal_video_then_audio_router(self):
        self.create(Q5_BOX, "192.168.20.21", "trq5-truck-1")
        video = numbered("IN%03d", 32) + numbered("PROC%03d", 8), numbered("OUT%03d", 32) + numbered("PROC%03d", 8)
        embedded = [(group, channel) for group in range(1, 9) for channel in range(1, 9)]
        audio = ([f"DEMB{g:02d}-{c:03d}" for g, c in embedded] + numbered("AES-IN%03d", 32) + ["1 kHz", "Mute"],
                 [f"EMB{g:02d}-{c:03d}" for g, c in embedded] + numbered("AES-OUT%03d", 32))
        self.expect_received(
            direct=device_search(Q5_BOX) + [message("tessora@00:1E:C0:30:00:51", "reboot")],
            main=[spread_set(Q5_BOX, "trq5-truck-1", "192.168.20.21"), message(Q5_BOX, "spread update"),
                  subsystem_set(Q5_BOX, "0", "Tessora Q5", "tessora_q5"),
                  partition_set(Q5_BOX, "0:1:0", "1", "Level 1", "Video router with processing", (40, 40),
                                ["routerformat=Video"]),
                  *mnemonics(Q5_BOX, "1", *video),
                  partition_set(Q5_BOX, "0:101:1", "101", "Level 101", "Audio router", (98, 96),
                                ["routerformat=Audio"]),
                  *mnemonics(Q5_BOX, "101", *audio),
                  message(Q5_BOX, "system update")])
        # The simulator now holds exactly the internal routers its Q5 example describes.
        self.assertEqual(json.loads(Path(self.sim.state_path).read_text())["subsystems"],
                         Network(schema.load(self.example)).to_dict()["subsystems"])
        self.assertEqual(self.sim.problems(), [])
