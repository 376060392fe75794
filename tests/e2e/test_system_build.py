"""Building a system through the host protocol, against the configuration-daemon simulator.

Each test starts the simulator (with its message log and a state file of its own) on the
fixed ports 3972/3973 and the real kipd, then plays a configuration client on port 3971.
What the simulator receives is compared message by message, per link and in order; what it
stores afterwards is read back from its state file.
"""
import ipaddress
import json
import os
import select
import shutil
import sys
import tempfile
import unittest

from tests.e2e.support import ROOT, HostClient, Simulator, start_kipd, stop, wait_until

sys.path.insert(0, os.path.join(ROOT, "tools"))
from kipsim import schema  # noqa: E402
from kipsim.network import Network  # noqa: E402

EXAMPLES = os.path.join(ROOT, "examples")
NEW_BOX = "corvanet@00:1E:C0:4A:10:01"
OTHER_BOX = "corvanet@00:1E:C0:4A:10:02"
Q5_BOX = "corvanet@00:1E:C0:6C:00:05"
VIDEO_ROUTER_MAC = "00:1E:C0:20:00:11"
SCREEN_MAC = "00:1E:C0:40:00:31"
SYSTEM_DESCRIPTION = "Corvanet Configurator System"
# The IP change of this box waits 3 + 2 seconds for the devices; the chains take a moment more.
CHANGE_LIMIT = 20.0
REPLY_LIMIT = 10.0


def own_address():
    """kipd names itself by the MAC address of eth0."""
    try:
        with open("/sys/class/net/eth0/address", encoding="ascii") as handle:
            return "kip@" + handle.read().strip().upper()
    except OSError:
        return "kip@"


OWN = own_address()


def message(to, name, *body):
    """A message as kipd sends it (without the NUL): envelope, then key=value lines."""
    lines = [f"to={to}", f"from={OWN}", f"msg={name}"] + [f"{key}={value}" for key, value in body]
    return "".join(line + "\n" for line in lines)


def spread_text(host, ip, netmask, gateway):
    broadcast = ipaddress.IPv4Network(f"{ip}/{netmask}", strict=False).broadcast_address
    return (f"Spread_Segment {broadcast}:2836 {{\n{host} {ip}\ndummycon {gateway}\n}}\n"
            "SocketPortReuse = ON\n")


def spread_set(to, name, text):
    return message(to, "spread set", ("data", text.encode().hex().upper()), ("name", name),
                   ("description", SYSTEM_DESCRIPTION))


def subsystem_set(to, number, description, interface, protocol_name, protocol_type, router1=None):
    body = [("subsystem", number), ("cascade_mode", "0"), ("command_echo", "false"),
            ("description", description), ("interface_type", interface), ("local_lock", "0"),
            ("local_mnemonics", "0"), ("loop_mode", "false"), ("protocol_name", protocol_name),
            ("protocol_type", protocol_type)]
    if router1 is not None:
        body.append(("router1", router1))
    body += [("use_external_port", "0"), ("user", "3")]
    return message(to, "subsystem set", *body)


def own_subsystem(to, description, protocol_name):
    return subsystem_set(to, "0", description, "internal", protocol_name, "internal")


def mnemonics_set(to, level, direction, names):
    texts = [("text", f"{index};{name};;;") for index, name in enumerate(names)]
    return message(to, "mnemonics set", ("levelno", level), ("direction", direction), *texts)


def numbered(pattern, count):
    return [pattern % n for n in range(1, count + 1)]


def embedded(pattern):
    return [pattern % (group, channel) for group in range(1, 9) for channel in range(1, 9)]


def device_set(to, *body):
    return message(to, "device set", *body)


# Subsystem 0 of a stand-alone box as the simulator stores it.
STAND_ALONE_SUBSYSTEM = {"cascade_mode": "0", "command_echo": "false", "description": "Corvanet KD-RTN",
                         "interface_type": "internal", "local_lock": "0", "local_mnemonics": "0",
                         "loop_mode": "false", "protocol_name": "none", "protocol_type": "internal",
                         "use_external_port": "0", "user": "3", "routers": {}}

ROUTER_FIELDS = [("routerA1", ""), ("routerB1", ""), ("routerC1", ""), ("routerD1", "")]


def by_link(received):
    """Texts per link, each in the order the simulator received them."""
    links = {"main": [], "direct": []}
    for link, text in received:
        links[link].append(text)
    return links


def device_of(state, mac):
    return next(device for device in state["devices"] if device["mac"] == mac)


def normalised_subsystems(network_file):
    return Network(schema.load(network_file)).to_dict()["subsystems"]


class SystemBuild(unittest.TestCase):
    network = os.path.join(EXAMPLES, "network-nosystem.json")
    options = ()

    def setUp(self):
        self.sim = Simulator(self.network, *self.options)
        self.addCleanup(self.sim.stop)
        self.kipd = start_kipd()
        self.addCleanup(stop, self.kipd)
        self.assertTrue(wait_until(self.sim.connected), "kipd did not connect to the simulator")
        self.client = HostClient(limit=CHANGE_LIMIT)
        self.addCleanup(self.client.close)
        self.mark = 0

    # ---- the client ------------------------------------------------------------------

    def ask(self, request, limit=REPLY_LIMIT):
        self.client.sock.settimeout(limit)
        self.client.request(request)
        return self.client.reply()

    def reply_within(self, limit):
        self.client.sock.settimeout(limit)
        return self.client.reply()

    def nothing_to_read(self, seconds):
        if self.client.buffer:
            return False
        readable, _, _ = select.select([self.client.sock], [], [], seconds)
        return not readable

    def search_devices(self, request):
        """Sends a device search; returns its reports by MAC, this box's first, once every
        device that answers a search with a report (all but the boxes and cards) has one."""
        with open(self.network, encoding="utf-8") as handle:
            network = json.load(handle)
        expected = {network["this_box"]["mac"]}
        expected |= {device["mac"] for device in network["devices"] if device["kind"] not in schema.BOX_KINDS}
        self.client.sock.settimeout(REPLY_LIMIT)
        self.client.request(request)
        reports = {}
        while set(reports) != expected:
            report = self.client.reply()
            self.assertNotEqual(report["type"], "error_info", report)
            mac = report.get("ip_settings", {}).get("mac_address")
            self.assertNotIn(mac, reports, "reported twice")
            reports[mac] = report
        return reports

    def set_ip_settings(self, ip, mask, gateway, hostname):
        return self.ask({"type": "set_corvanet_ip_settings", "ip_address": ip, "subnet_mask": mask,
                         "default_gateway": gateway, "hostname": hostname}, CHANGE_LIMIT)

    # ---- what the simulator received -----------------------------------------------------

    def expect_received(self, main=(), direct=()):
        """The messages received since the last check, per link and in order."""
        count = len(main) + len(direct)
        wait_until(lambda: len(self.sim.received()) >= self.mark + count)
        received = self.sim.received()[self.mark:]
        self.mark += len(received)
        self.assertEqual(by_link(received), {"main": list(main), "direct": list(direct)})

    def read_this_box(self, box=NEW_BOX):
        """The first question reads this box, which has no system yet."""
        self.assertEqual(self.ask({"type": "has_corvanet_system"}),
                         {"type": "has_corvanet_system_response", "system_exists": "false"})
        self.expect_received(main=[message("*", "device get"), message(box, "spread get")])

    def system_reading(self, box, subsystems, partitions):
        """A refreshed search: this box, then the stored subsystems, partitions and mnemonics."""
        texts = [message(box, "device get"), message(box, "spread get"), message(box, "subsystem list get")]
        texts += [message(box, "subsystem get", ("subsystem", number)) for number in subsystems]
        texts.append(message(box, "partition list get"))
        for name, level in partitions:
            texts += [message(box, "partition get", ("partition", name)),
                      message(box, "mnemonics get", ("levelno", level), ("direction", "input")),
                      message(box, "mnemonics get", ("levelno", level), ("direction", "output"))]
        return texts

    def fresh_device_get(self, spread_gets):
        """kipd's search for the devices of the network, and the boxes it then asks."""
        return [message("*", "device get")] + [message(box, "spread get") for box in spread_gets]


class NewSystem(SystemBuild):
    def test_unchanged_settings_create_the_system_and_routers_join_and_leave_it(self):
        self.read_this_box()
        reply = self.set_ip_settings("192.168.10.21", "255.255.255.0", "192.168.10.1", "kdrtn-new")
        self.assertEqual(reply, {"type": "set_corvanet_ip_settings_response", "system_created": "true",
                                 "reboot": "false"})
        text = spread_text("kdrtn-new", "192.168.10.21", "255.255.255.0", "192.168.10.1")
        self.expect_received(
            direct=self.fresh_device_get([NEW_BOX, OTHER_BOX]),
            main=[spread_set(NEW_BOX, "kdrtn-new", text), message(NEW_BOX, "spread update"),
                  own_subsystem(NEW_BOX, "Corvanet KD-RTN", "none"), message(NEW_BOX, "system update")])
        state = self.sim.state()
        self.assertEqual(state["system"], {"name": "kdrtn-new", "description": SYSTEM_DESCRIPTION,
                                           "spread_file": text})
        self.assertEqual(state["subsystems"], {"0": STAND_ALONE_SUBSYSTEM})

        self.first_search()
        self.add_video_router()
        self.search_devices_again()
        self.change_router_address()
        self.remove_video_router()
        self.assertEqual(self.sim.problems(), [])

    def first_search(self):
        reports = self.search_devices({"type": "get_devices"})
        own = next(iter(reports.values()))
        self.assertEqual(own["type"], "new_corvanet_info")
        self.assertEqual(own["system"], {"name": "kdrtn-new", "description": SYSTEM_DESCRIPTION})
        router = reports[VIDEO_ROUTER_MAC]
        self.assertEqual(router["type"], "new_tessora_info")
        self.assertNotIn("system", router)
        self.assertEqual(router["tessora"]["router"], {"inputs": "64", "outputs": "32", "format": "video"})
        self.expect_received(main=self.system_reading(NEW_BOX, ["0"], []),
                             direct=self.fresh_device_get([NEW_BOX, OTHER_BOX]))

    def add_video_router(self):
        report = self.ask({"type": "set_tessora_info", "ip_settings": {"mac_address": VIDEO_ROUTER_MAC},
                           "system": {"level": {"no": "3", "name": "Cameras", "description": "Studio cameras"}}})
        self.assertEqual(report["type"], "new_tessora_info")
        self.assertEqual(report["ip_settings"]["mac_address"], VIDEO_ROUTER_MAC)
        self.assertEqual(report["system"], {"level": {"no": "3", "name": "Cameras", "description": "Studio cameras"},
                                            "router": {"no": "1"}, "name": "kdrtn-new"})
        router = f"tessora@{VIDEO_ROUTER_MAC}"
        self.expect_received(
            direct=[device_set(router, ("system_name", "kdrtn-new"), ("system_description", SYSTEM_DESCRIPTION),
                               *ROUTER_FIELDS)],
            main=[subsystem_set(NEW_BOX, "1", "tr-video-1", "tcpip", "tessora", "native", "192.168.10.31:4381"),
                  message(NEW_BOX, "partition set", ("subsystem", "1"), ("routerno", "1"), ("pid", "0"),
                          ("physical_in", "0-63"), ("physical_out", "0-31"), ("levelno", "3"),
                          ("levelname", "Cameras"), ("levelalias", ""), ("leveldescription", "Studio cameras"),
                          ("levelactive", "true")),
                  mnemonics_set(NEW_BOX, "3", "input", numbered("IN%03d", 64)),
                  mnemonics_set(NEW_BOX, "3", "output", numbered("OUT%03d", 32)),
                  message(NEW_BOX, "system update")])

        state = self.sim.state()
        stored = state["subsystems"]["1"]
        self.assertEqual(stored["router1"], "192.168.10.31:4381")
        self.assertEqual(stored["routers"]["1"]["partitions"]["0"]["levelno"], "3")
        self.assertEqual(stored["routers"]["1"]["routersize"], "64x32")
        self.assertEqual(stored["routers"]["1"]["inputs"]["63"], "IN064")
        self.assertEqual(device_of(state, VIDEO_ROUTER_MAC)["system_name"], "kdrtn-new")

    def search_devices_again(self):
        """A fresh search reads the stored configuration back and finds the router in its level."""
        reports = self.search_devices({"type": "get_devices", "refresh": True})
        self.assertEqual(next(iter(reports.values()))["type"], "new_corvanet_info")
        router = reports[VIDEO_ROUTER_MAC]
        self.assertEqual(router["type"], "new_tessora_info")
        self.assertEqual(router["system"], {"level": {"no": "3", "name": "Cameras", "description": "Studio cameras"},
                                            "router": {"no": "1"}, "name": "kdrtn-new"})
        self.expect_received(main=self.system_reading(NEW_BOX, ["0", "1"], [("1:1:0", "3")]),
                             direct=self.fresh_device_get([NEW_BOX, OTHER_BOX]))

    def change_router_address(self):
        report = self.ask({"type": "set_tessora_info",
                           "ip_settings": {"mac_address": VIDEO_ROUTER_MAC, "ip_address": "192.168.10.35",
                                           "hostname": "tr-video-2"}})
        self.assertEqual(report["type"], "new_tessora_info")
        self.assertEqual(report["ip_settings"]["ip_address"], "192.168.10.35")
        self.assertEqual(report["ip_settings"]["hostname"], "tr-video-2")
        self.expect_received(
            direct=[device_set(f"tessora@{VIDEO_ROUTER_MAC}", ("bootprotocol", "static"), ("ip", "192.168.10.35"),
                               ("netmask", "255.255.255.0"), ("gateway", "192.168.10.1"),
                               ("hostname", "tr-video-2"))],
            main=[subsystem_set(NEW_BOX, "1", "tr-video-2", "tcpip", "tessora", "native", "192.168.10.35:4381"),
                  message(NEW_BOX, "partition set", ("subsystem", "1"), ("routerno", "1"), ("pid", "0"),
                          ("levelno", "3"), ("levelname", "tr-video-2"), ("levelalias", ""),
                          ("leveldescription", "Studio cameras"), ("levelactive", "true"),
                          ("physical_in", "0-63"), ("physical_out", "0-31")),
                  mnemonics_set(NEW_BOX, "3", "input", numbered("IN%03d", 64)),
                  mnemonics_set(NEW_BOX, "3", "output", numbered("OUT%03d", 32)),
                  message(NEW_BOX, "system update")])
        state = self.sim.state()
        self.assertEqual(device_of(state, VIDEO_ROUTER_MAC)["ip_settings"]["ip"], "192.168.10.35")
        self.assertEqual(state["subsystems"]["1"]["router1"], "192.168.10.35:4381")
        self.assertEqual(state["subsystems"]["1"]["routers"]["1"]["partitions"]["0"]["levelname"], "tr-video-2")

    def remove_video_router(self):
        report = self.ask({"type": "set_tessora_info", "ip_settings": {"mac_address": VIDEO_ROUTER_MAC},
                           "system": {"include": False}})
        self.assertEqual(report["type"], "new_tessora_info")
        self.assertNotIn("system", report)
        self.expect_received(
            direct=[device_set(f"tessora@{VIDEO_ROUTER_MAC}", ("system_name", ""), ("system_description", ""),
                               *ROUTER_FIELDS)],
            main=[message(NEW_BOX, "partition reset", ("subsystem", "1"), ("routerno", "1"), ("pid", "0")),
                  message(NEW_BOX, "subsystem reset", ("subsystem", "1")),
                  message(NEW_BOX, "system update")])
        state = self.sim.state()
        self.assertEqual(list(state["subsystems"]), ["0"])
        self.assertEqual(device_of(state, VIDEO_ROUTER_MAC)["system_name"], "")

    def test_changed_settings_answer_first_then_push_and_reboot(self):
        self.read_this_box()
        reply = self.set_ip_settings("192.168.10.25", "255.255.255.0", "192.168.10.1", "kdrtn-one")
        self.assertEqual(reply, {"type": "set_corvanet_ip_settings_response", "system_created": "true",
                                 "reboot": "true"})
        text = spread_text("kdrtn-one", "192.168.10.25", "255.255.255.0", "192.168.10.1")
        self.expect_received(
            direct=self.fresh_device_get([NEW_BOX, OTHER_BOX]),
            main=[spread_set(NEW_BOX, "kdrtn-one", text), own_subsystem(NEW_BOX, "Corvanet KD-RTN", "none"),
                  device_set(NEW_BOX, ("ip", "192.168.10.25"), ("netmask", "255.255.255.0"),
                             ("gateway", "192.168.10.1"), ("hostname", "kdrtn-one")),
                  message(NEW_BOX, "reboot")])
        state = self.sim.state()
        self.assertEqual(state["this_box"]["ip_settings"], {"ip": "192.168.10.25", "netmask": "255.255.255.0",
                                                            "gateway": "192.168.10.1", "hostname": "kdrtn-one"})
        self.assertEqual(state["system"]["name"], "kdrtn-one")
        self.assertEqual(state["system"]["spread_file"], text)
        self.assertEqual(self.sim.problems(), [])


class FailingSpreadUpdate(SystemBuild):
    options = ("--fail", "spread update=busy")

    def test_spread_update_failure_reaches_the_client_and_ends_the_chain(self):
        self.read_this_box()
        reply = self.set_ip_settings("192.168.10.21", "255.255.255.0", "192.168.10.1", "kdrtn-new")
        self.assertEqual(reply, {"type": "set_corvanet_ip_settings_response", "system_created": "false",
                                 "reboot": "false",
                                 "error": {"id": "Spread update failure",
                                           "message": "Set corvanet ip settings error"}})
        text = spread_text("kdrtn-new", "192.168.10.21", "255.255.255.0", "192.168.10.1")
        self.expect_received(direct=self.fresh_device_get([NEW_BOX, OTHER_BOX]),
                             main=[spread_set(NEW_BOX, "kdrtn-new", text), message(NEW_BOX, "spread update")])
        # Nothing more follows: the next message is the one the next question asks for.
        self.ask({"type": "has_corvanet_system"})
        self.expect_received(main=[message(NEW_BOX, "device get"), message(NEW_BOX, "spread get")])
        self.assertEqual(self.sim.state()["subsystems"], {})


class SlowSystemUpdate(SystemBuild):
    network = os.path.join(EXAMPLES, "network.json")
    options = ("--update-time", "1.5")

    def test_device_change_is_answered_only_after_the_final_status(self):
        self.assertEqual(self.search_devices({"type": "get_devices"})[SCREEN_MAC]["type"], "new_ip_device_info")
        # Until this box has described itself, the first request goes to "*".
        reading = self.system_reading(NEW_BOX, ["0", "1", "2"], [("1:1:0", "1"), ("2:103:0", "2")])
        self.expect_received(main=[message("*", "device get")] + reading[1:],
                             direct=self.fresh_device_get([NEW_BOX, OTHER_BOX]))

        self.client.request({"type": "set_tessora_info",
                             "ip_settings": {"mac_address": SCREEN_MAC, "hostname": "kps-gallery-2"}})
        self.assertTrue(wait_until(lambda: self.sim.sent_status("system update", "working")))
        self.assertFalse(self.sim.sent_status("system update", "ok"))
        self.assertTrue(self.nothing_to_read(0.5), "answered while the update was still working")
        self.assertFalse(self.sim.sent_status("system update", "ok"))

        report = self.reply_within(REPLY_LIMIT)
        self.assertTrue(self.sim.sent_status("system update", "ok"))
        self.assertEqual(report["type"], "new_ip_device_info")
        self.assertEqual(report["ip_settings"]["hostname"], "kps-gallery-2")
        self.expect_received(
            direct=[device_set(f"kpscreen@{SCREEN_MAC}", ("bootprotocol", "static"), ("ip", "192.168.10.51"),
                               ("netmask", "255.255.255.0"), ("gateway", "192.168.10.1"),
                               ("hostname", "kps-gallery-2")),
                    # The panel of the system restarts after the update.
                    message("tessora@00:1E:C0:30:00:21", "reboot")],
            main=[message(NEW_BOX, "system update")])
        self.assertEqual(device_of(self.sim.state(), SCREEN_MAC)["ip_settings"]["hostname"], "kps-gallery-2")


class TessoraQ5Box(SystemBuild):
    """A new box built into a Tessora Q5 router with "TRQ5-32x32" and "TRQ5-PROC" modules."""

    example = os.path.join(EXAMPLES, "network-q5.json")

    def setUp(self):
        with open(self.example, encoding="utf-8") as handle:
            network = json.load(handle)
        network["system"] = None
        network["subsystems"] = {}
        folder = tempfile.mkdtemp(prefix="kipd-q5-")
        self.addCleanup(shutil.rmtree, folder, True)
        self.network = os.path.join(folder, "network-q5-new.json")
        with open(self.network, "w", encoding="utf-8") as handle:
            json.dump(network, handle)
        super().setUp()

    def test_new_system_pushes_the_internal_video_then_audio_router(self):
        self.read_this_box(box=Q5_BOX)
        reply = self.set_ip_settings("192.168.20.21", "255.255.255.0", "192.168.20.1", "trq5-truck-1")
        self.assertEqual(reply, {"type": "set_corvanet_ip_settings_response", "system_created": "true",
                                 "reboot": "false"})

        def partition(router, pid, level, description, format_word, inputs, outputs):
            return message(Q5_BOX, "partition set", ("subsystem", "0"), ("routerno", router), ("pid", pid),
                           ("levelno", level), ("levelname", f"Level {level}"), ("levelalias", ""),
                           ("leveldescription", description), ("levelactive", "true"),
                           ("routerformat", format_word), ("physical_in", f"0-{inputs - 1}"),
                           ("physical_out", f"0-{outputs - 1}"))

        text = spread_text("trq5-truck-1", "192.168.20.21", "255.255.255.0", "192.168.20.1")
        self.expect_received(
            direct=self.fresh_device_get([Q5_BOX]) + [message("tessora@00:1E:C0:30:00:51", "reboot")],
            main=[spread_set(Q5_BOX, "trq5-truck-1", text), message(Q5_BOX, "spread update"),
                  own_subsystem(Q5_BOX, "Tessora Q5", "tessora_q5"),
                  partition("1", "0", "1", "Video router with processing", "Video", 40, 40),
                  mnemonics_set(Q5_BOX, "1", "input", numbered("IN%03d", 32) + numbered("PROC%03d", 8)),
                  mnemonics_set(Q5_BOX, "1", "output", numbered("OUT%03d", 32) + numbered("PROC%03d", 8)),
                  partition("101", "1", "101", "Audio router", "Audio", 98, 96),
                  mnemonics_set(Q5_BOX, "101", "input",
                                embedded("DEMB%02d-%03d") + numbered("AES-IN%03d", 32) + ["1 kHz", "Mute"]),
                  mnemonics_set(Q5_BOX, "101", "output", embedded("EMB%02d-%03d") + numbered("AES-OUT%03d", 32)),
                  message(Q5_BOX, "system update")])

        # The simulator now holds exactly the internal routers its Q5 example describes.
        self.assertEqual(self.sim.state()["subsystems"], normalised_subsystems(self.example))
        self.assertEqual(self.sim.problems(), [])


if __name__ == "__main__":
    unittest.main()
