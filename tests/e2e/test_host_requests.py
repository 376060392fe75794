"""The host requests of a configuration client, answered by the real kipd against the simulator.

Each test starts the simulator on one network (ports 3972/3973) and kipd, then speaks the
host protocol on port 3971. Replies are compared member by member.
"""
import os
import unittest

from tests.e2e.support import ROOT, HostClient, Simulator, start_kipd, stop, wait_until

EXAMPLES = os.path.join(ROOT, "examples")
DATA = os.path.join(ROOT, "tests", "data")
# An IP change of this box waits 3 + 2 seconds for the devices before it goes on.
CHANGE_LIMIT = 20.0
REPLY_LIMIT = 10.0

OWN_MAC = "00:1E:C0:4A:10:01"
BOX_B = "00:1E:C0:4A:10:02"
CARD = "00:1E:C0:4B:00:07"
VIDEO = "00:1E:C0:20:00:11"
AUDIO = "00:1E:C0:20:00:12"
DATA_ROUTER = "00:1E:C0:20:00:13"
DESK_IN_SYSTEM = "00:1E:C0:30:00:21"
DESK_ALONE = "00:1E:C0:30:00:22"
SCREEN = "00:1E:C0:40:00:31"
BRIDGE = "00:1E:C0:50:00:41"
DESCRIPTION = "Corvanet Configurator System"
ROUTER_BUILD = "2023-11-02T08:15:00+0000"


def ip_settings(mac, last, hostname):
    return {"mac_address": mac, "ip_address": f"192.168.10.{last}", "subnet_mask": "255.255.255.0",
            "default_gateway": "192.168.10.1", "hostname": hostname}


def tessora(mac, last, hostname, version, dip, rack_units, extra):
    report = {"ip_settings": ip_settings(mac, last, hostname), "hardware": {"revision": "D"},
              "firmware": {"version": version, "build": ROUTER_BUILD}, "type": "new_tessora_info"}
    report["tessora"] = {"dip": dip, "rack_unit_size": rack_units, **extra.pop("tessora", {})}
    report.update(extra)
    return report


def level(no, name, description, router):
    return {"level": {"no": no, "name": name, "description": description}, "router": {"no": router},
            "name": "kdrtn-studio-a"}


def ip_device(mac, last, hostname):
    return {"ip_settings": ip_settings(mac, last, hostname), "type": "new_ip_device_info"}


OWN_REPORT = {
    "ip_settings": ip_settings(OWN_MAC, 21, "kdrtn-studio-a"),
    "system": {"name": "kdrtn-studio-a", "description": DESCRIPTION},
    "hardware": {"revision": "C"},
    "firmware": {"version": "3.2.1", "build": "2024-03-14T10:22:05+0100", "revision": "9f3c2ab7"},
    "corvanet": {"box": "kbox", "address": "1"},
    "type": "new_corvanet_info",
}
# The reports of examples/network.json, in the order the devices answer.
REPORTS = {
    BOX_B: ip_device(BOX_B, 22, "kdrtn-studio-b"),
    CARD: ip_device(CARD, 27, "gx-ctl-7"),
    VIDEO: tessora(VIDEO, 31, "tr-video-1", "4.1.0", "0", "4", {
        "tessora": {"router": {"inputs": "64", "outputs": "32", "format": "video"}},
        "system": level("1", "tr-video-1", "Studio A video", "1")}),
    AUDIO: tessora(AUDIO, 32, "tr-audio-1", "4.1.0", "2", "2", {
        "tessora": {"router": {"inputs": "32", "outputs": "32", "format": "audio"}},
        "system": level("2", "tr-audio-1", "Studio A audio", "103")}),
    DATA_ROUTER: tessora(DATA_ROUTER, 33, "tr-data-1", "3.9.2", "4", "2", {
        "tessora": {"router": {"inputs": "32", "outputs": "32", "format": "data-ported"}}}),
    DESK_IN_SYSTEM: tessora(DESK_IN_SYSTEM, 41, "kp-desk-1", "2.2.0", "8", "1", {
        "tessora": {"panel": {"buttons": "40"}}, "system": {"name": "kdrtn-studio-a"}}),
    DESK_ALONE: tessora(DESK_ALONE, 42, "kp-desk-2", "2.2.0", "9", "2", {
        "tessora": {"panel": {"buttons": "80"}}}),
    SCREEN: ip_device(SCREEN, 51, "kps-gallery"),
    BRIDGE: ip_device(BRIDGE, 61, "lr-bridge-1"),
}


def own_change(ip, hostname, **extra):
    return {"type": "set_corvanet_ip_settings", "ip_address": ip, "subnet_mask": "255.255.255.0",
            "default_gateway": "192.168.10.1", "hostname": hostname, **extra}


def change_reply(created="false", reboot="false", error=None):
    reply = {"system_created": created, "reboot": reboot, "type": "set_corvanet_ip_settings_response"}
    if error:
        reply["error"] = {"id": error, "message": "Set corvanet ip settings error"}
    return reply


def error_info(error_id, message):
    return {"error": {"id": error_id, "message": message}, "type": "error_info"}


class HostRequests(unittest.TestCase):
    NETWORK = os.path.join(EXAMPLES, "network.json")

    def setUp(self):
        self.simulator = Simulator(self.NETWORK)
        self.addCleanup(self.simulator.stop)
        self.kipd = start_kipd()
        self.addCleanup(stop, self.kipd)
        self.client = self.connect()

    def connect(self, limit=REPLY_LIMIT):
        client = HostClient(limit)
        self.addCleanup(client.close)
        return client

    def ask(self, request, client=None):
        client = client or self.client
        client.request(request)
        return client.reply()

    def search(self, refresh, count):
        """A device search: this box's report, then `count` reports of the other devices."""
        self.client.request({"type": "get_devices", "refresh": refresh})
        return self.client.reply(), [self.client.reply() for _ in range(count)]

    def requests_since(self, mark):
        return [(link, msg) for link, msg, _, _ in self.simulator.requests()[mark:]]

    def assertServed(self):
        """kipd is alive and answers another client."""
        self.assertIsNone(self.kipd.poll())
        self.assertEqual(self.ask({"type": "has_corvanet_system"}, self.connect()),
                         {"system_exists": "true", "type": "has_corvanet_system_response"})


class BoxWithSystem(HostRequests):
    def test_questions_about_this_box(self):
        self.assertEqual(self.ask({"type": "has_corvanet_system"}),
                         {"system_exists": "true", "type": "has_corvanet_system_response"})
        self.assertEqual(self.ask({"type": "get_corvanet_ip_settings"}),
                         {**ip_settings(OWN_MAC, 21, "kdrtn-studio-a"), "type": "get_corvanet_ip_settings_response"})
        self.assertEqual(self.ask({"type": "may_change_corvanet_ip_settings"}),
                         {"change_allowed": "true", "type": "may_change_corvanet_ip_settings_response"})
        self.assertEqual(self.ask({"type": "may_use_builder"}),
                         {"use_allowed": "true", "type": "may_use_builder_response"})
        self.assertEqual(self.ask({"type": "get_corvanets"}),
                         {"corvanets": [{"current": "true", "hostname": "kdrtn-studio-a",
                                         "ip_address": "192.168.10.21"}],
                          "type": "get_corvanets_response"})

    def test_device_search_reports_each_device_then_answers_from_what_it_knows(self):
        own, reports = self.search(True, 7)
        self.assertEqual(own, OWN_REPORT)
        # Boxes and controller cards answer the search with their Spread settings, not as devices.
        self.assertEqual(reports, [REPORTS[mac] for mac in (VIDEO, AUDIO, DATA_ROUTER, DESK_IN_SYSTEM, DESK_ALONE,
                                                            SCREEN, BRIDGE)])

        # The boxes' answers to the search are complete once they were asked for their Spread settings.
        self.assertTrue(wait_until(lambda: self.requests_since(0).count(("direct", "spread get")) == 2))
        mark = len(self.simulator.requests())
        own, reports = self.search(False, len(REPORTS))
        self.assertEqual(own, OWN_REPORT)
        self.assertEqual(reports, list(REPORTS.values()))
        # Nothing went to the simulator for it: the next request that asks is the first to show.
        self.assertEqual(self.ask({"type": "may_change_corvanet_ip_settings"})["change_allowed"], "true")
        self.assertTrue(wait_until(lambda: len(self.simulator.requests()) >= mark + 2))
        self.assertEqual(self.requests_since(mark), [("main", "device get"), ("main", "spread get")])

    def test_conflicting_host_names_and_addresses(self):
        self.search(True, 7)
        self.assertEqual(self.ask(own_change("192.168.10.99", "tr-video-1")),
                         change_reply(error="hostname_conflict"))
        self.assertEqual(self.ask(own_change("192.168.10.99", "kdrtn-studio-b")),
                         change_reply(error="system_name_conflict"))
        self.assertEqual(self.ask(own_change("192.168.10.31", "tr-data-2", mac_address=DATA_ROUTER)),
                         change_reply(error="ip_address_conflict"))
        self.assertEqual(self.ask(own_change("192.168.10.98", "kdrtn-studio-a", mac_address=DATA_ROUTER)),
                         change_reply(error="hostname_conflict"))
        self.assertEqual(self.ask(own_change("192.168.10.98", "x", mac_address="00:00:5E:00:53:99")),
                         change_reply(error="Invalid MAC"))
        self.assertEqual(self.ask({"type": "get_corvanet_ip_settings"}),
                         {**ip_settings(OWN_MAC, 21, "kdrtn-studio-a"), "type": "get_corvanet_ip_settings_response"})
        self.assertFalse([msg for _, msg, _, _ in self.simulator.requests() if msg in ("device set", "spread set")])

    def test_missing_or_malformed_fields(self):
        request = own_change("192.168.10.99", "x")
        del request["hostname"]
        self.assertEqual(self.ask(request), error_info("set_corvanet_ip", "Invalid object: No such node (hostname)"))
        self.assertEqual(self.ask({"type": "set_tessora_info", "ip_settings": {"mac_address": VIDEO},
                                   "system": {"include": "perhaps"}}),
                         error_info("set_tessora_info", 'Invalid object: conversion of data to type "b" failed'))
        self.assertServed()

    def test_router_membership_and_settings(self):
        self.search(True, 7)
        added = self.ask({"type": "set_tessora_info", "ip_settings": {"mac_address": DATA_ROUTER},
                          "system": {"level": {"no": "9", "name": "Data", "description": "Data level"}}})
        self.assertEqual(added, {**REPORTS[DATA_ROUTER], "system": level("9", "Data", "Data level", "5")})

        removed = self.ask({"type": "set_tessora_info", "ip_settings": {"mac_address": VIDEO},
                            "system": {"include": False}})
        self.assertEqual(removed, {key: value for key, value in REPORTS[VIDEO].items() if key != "system"})

        # Kept in the system, it comes back in a new subsystem at its own level.
        kept = self.ask({"type": "set_tessora_info", "ip_settings": {"mac_address": VIDEO},
                         "system": {"include": "true"}})
        self.assertEqual(kept, {**REPORTS[VIDEO], "system": level("1", "tr-video-1", "", "1")})

        moved = self.ask({"type": "set_tessora_info",
                          "ip_settings": {"mac_address": VIDEO, "ip_address": "192.168.10.131"}})
        self.assertEqual(moved["ip_settings"], {**ip_settings(VIDEO, 131, "tr-video-1")})
        self.assertEqual(moved["type"], "new_tessora_info")
        self.assertIn(("direct", "device set", "tessora@" + VIDEO,
                       [["bootprotocol", "static"], ["ip", "192.168.10.131"], ["netmask", "255.255.255.0"],
                        ["gateway", "192.168.10.1"], ["hostname", "tr-video-1"]]),
                      self.simulator.requests())

    def test_client_leaving_during_an_ip_change(self):
        self.search(True, 7)
        leaving = HostClient(REPLY_LIMIT)
        leaving.request(own_change("192.168.10.121", "studio-new"))
        leaving.close()
        # The change goes on without its client: the box is told its settings and restarts.
        self.assertTrue(wait_until(lambda: ("main", "reboot", "corvanet@" + OWN_MAC, [])
                                   in self.simulator.requests(), limit=CHANGE_LIMIT))
        self.assertServed()
        self.assertEqual(self.ask({"type": "get_corvanet_ip_settings"}),
                         {**ip_settings(OWN_MAC, 121, "studio-new"), "type": "get_corvanet_ip_settings_response"})


class BoxWithoutSystem(HostRequests):
    NETWORK = os.path.join(EXAMPLES, "network-nosystem.json")

    def test_requests_that_need_a_system_are_refused_until_one_is_created(self):
        self.assertEqual(self.ask({"type": "has_corvanet_system"}),
                         {"system_exists": "false", "type": "has_corvanet_system_response"})
        self.assertEqual(self.ask({"type": "may_change_corvanet_ip_settings"}),
                         {"change_allowed": "true", "type": "may_change_corvanet_ip_settings_response"})
        self.assertEqual(self.ask({"type": "may_use_builder"}),
                         {"use_allowed": "false", "type": "may_use_builder_response",
                          "error": {"id": "corvanet_has_no_system", "message": "The Corvanet is not initialised: "
                                                                               "system configuration is not allowed"}})
        self.assertEqual(self.ask({"type": "get_devices"}),
                         error_info("corvanet_has_no_system",
                                    "The Corvanet is not initialised: can not search for devices"))
        self.assertEqual(self.ask({"type": "set_tessora_info", "ip_settings": {"mac_address": VIDEO}}),
                         error_info("corvanet_has_no_system",
                                    "The Corvanet is not initialised: can not change tessora settings"))
        self.assertEqual(self.ask({"type": "get_corvanets"}), {"type": "get_corvanets_response"})

        self.client.sock.settimeout(CHANGE_LIMIT)
        self.assertEqual(self.ask(own_change("192.168.10.21", "studio-x")),
                         change_reply(created="true", reboot="true"))
        self.client.sock.settimeout(REPLY_LIMIT)
        self.assertEqual(self.ask({"type": "may_use_builder"}),
                         {"use_allowed": "true", "type": "may_use_builder_response"})


class BoxOfTwoSpreadHosts(HostRequests):
    NETWORK = os.path.join(DATA, "host-two-spread-hosts.json")

    def test_a_shared_system_is_not_configured_here(self):
        self.assertEqual(self.ask({"type": "has_corvanet_system"}),
                         {"system_exists": "true", "type": "has_corvanet_system_response"})
        self.assertEqual(self.ask({"type": "may_change_corvanet_ip_settings"}),
                         {"change_allowed": "false", "type": "may_change_corvanet_ip_settings_response"})
        self.assertEqual(self.ask({"type": "may_use_builder"}),
                         {"use_allowed": "false", "type": "may_use_builder_response"})
        self.assertEqual(self.ask({"type": "get_corvanets"}),
                         {"corvanets": [{"current": "true", "hostname": "kdrtn-studio-a",
                                         "ip_address": "192.168.10.21"},
                                        {"hostname": "kdrtn-studio-b", "ip_address": "192.168.10.22"}],
                          "type": "get_corvanets_response"})


class ControllerCard(HostRequests):
    NETWORK = os.path.join(DATA, "host-gx-card.json")
    CARD_MAC = "00:1E:C0:4B:00:01"

    def test_a_card_is_a_system_without_spread_hosts(self):
        self.assertEqual(self.ask({"type": "has_corvanet_system"}),
                         {"system_exists": "true", "type": "has_corvanet_system_response"})
        self.assertEqual(self.ask({"type": "may_use_builder"}),
                         {"use_allowed": "true", "type": "may_use_builder_response"})
        self.assertEqual(self.ask({"type": "get_corvanets"}), {"type": "get_corvanets_response"})
        own, reports = self.search(True, 1)
        self.assertEqual(own, ip_device(self.CARD_MAC, 25, "gx-ctl-1"))
        # The router belongs to another system: only its address is reported.
        self.assertEqual(reports, [ip_device(VIDEO, 31, "tr-video-1")])

        # A card's host name may repeat a device's; it takes new settings at once, without Spread.
        self.client.sock.settimeout(CHANGE_LIMIT)
        self.assertEqual(self.ask(own_change("192.168.10.26", "tr-video-1")), change_reply())
        self.assertTrue(wait_until(lambda: ("main", "device set") in self.requests_since(0)))
        self.assertIn(("main", "device set", "gx2400-ln-ctl@" + self.CARD_MAC,
                       [["ip", "192.168.10.26"], ["netmask", "255.255.255.0"], ["gateway", "192.168.10.1"],
                        ["hostname", "tr-video-1"]]),
                      self.simulator.requests())
        self.assertNotIn(("main", "spread set"), self.requests_since(0))


if __name__ == "__main__":
    unittest.main()
