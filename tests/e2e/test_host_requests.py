"""The host requests of a configuration client, against the simulator holding one network per class."""
import os
import unittest

from tests.e2e.support import EXAMPLES, LIMIT, ROOT, HostClient, KipdTest, Simulator, wait_until

DATA = os.path.join(ROOT, "tests", "data")

OWN_MAC, BOX_B, CARD = "00:1E:C0:4A:10:01", "00:1E:C0:4A:10:02", "00:1E:C0:4B:00:07"
VIDEO, AUDIO, DATA_ROUTER = "00:1E:C0:20:00:11", "00:1E:C0:20:00:12", "00:1E:C0:20:00:13"
DESK_IN_SYSTEM, DESK_ALONE = "00:1E:C0:30:00:21", "00:1E:C0:30:00:22"
SCREEN, BRIDGE = "00:1E:C0:40:00:31", "00:1E:C0:50:00:41"
STUDIO_A = {"current": "true", "hostname": "kdrtn-studio-a", "ip_address": "192.168.10.21"}


def ip_settings(mac, last, hostname):
    return {"mac_address": mac, "ip_address": f"192.168.10.{last}", "subnet_mask": "255.255.255.0",
            "default_gateway": "192.168.10.1", "hostname": hostname}


def ip_device(mac, last, hostname):
    return {"ip_settings": ip_settings(mac, last, hostname), "type": "new_ip_device_info"}


def tessora(mac, last, hostname, version, dip, rack_units, details, system=None):
    report = {"ip_settings": ip_settings(mac, last, hostname), "hardware": {"revision": "D"},
              "firmware": {"version": version, "build": "2023-11-02T08:15:00+0000"}, "type": "new_tessora_info",
              "tessora": {"dip": dip, "rack_unit_size": rack_units, **details}}
    return {**report, "system": system} if system else report


def router(inputs, kind):
    return {"router": {"inputs": inputs, "outputs": "32", "format": kind}}


def level(no, name, description, router_no):
    return {"level": {"no": no, "name": name, "description": description}, "router": {"no": router_no},
            "name": "kdrtn-studio-a"}


OWN_REPORT = {"ip_settings": ip_settings(OWN_MAC, 21, "kdrtn-studio-a"), "type": "new_corvanet_info",
              "system": {"name": "kdrtn-studio-a", "description": "Corvanet Configurator System"},
              "hardware": {"revision": "C"}, "corvanet": {"box": "kbox", "address": "1"},
              "firmware": {"version": "3.2.1", "build": "2024-03-14T10:22:05+0100", "revision": "9f3c2ab7"}}
# The reports of examples/network.json, in the order the devices answer.
REPORTS = {
    BOX_B: ip_device(BOX_B, 22, "kdrtn-studio-b"),
    CARD: ip_device(CARD, 27, "gx-ctl-7"),
    VIDEO: tessora(VIDEO, 31, "tr-video-1", "4.1.0", "0", "4", router("64", "video"),
                   level("1", "tr-video-1", "Studio A video", "1")),
    AUDIO: tessora(AUDIO, 32, "tr-audio-1", "4.1.0", "2", "2", router("32", "audio"),
                   level("2", "tr-audio-1", "Studio A audio", "103")),
    DATA_ROUTER: tessora(DATA_ROUTER, 33, "tr-data-1", "3.9.2", "4", "2", router("32", "data-ported")),
    DESK_IN_SYSTEM: tessora(DESK_IN_SYSTEM, 41, "kp-desk-1", "2.2.0", "8", "1", {"panel": {"buttons": "40"}},
                            {"name": "kdrtn-studio-a"}),
    DESK_ALONE: tessora(DESK_ALONE, 42, "kp-desk-2", "2.2.0", "9", "2", {"panel": {"buttons": "80"}}),
    SCREEN: ip_device(SCREEN, 51, "kps-gallery"),
    BRIDGE: ip_device(BRIDGE, 61, "lr-bridge-1"),
}


def own_change(ip, hostname, **extra):
    return {"type": "set_corvanet_ip_settings", "ip_address": ip, "subnet_mask": "255.255.255.0",
            "default_gateway": "192.168.10.1", "hostname": hostname, **extra}


def change_reply(created="false", reboot="false", error=None):
    reply = {"system_created": created, "reboot": reboot, "type": "set_corvanet_ip_settings_response"}
    return {**reply, "error": {"id": error, "message": "Set corvanet ip settings error"}} if error else reply


def error_info(error_id, message):
    return {"error": {"id": error_id, "message": message}, "type": "error_info"}


class HostRequests(KipdTest):
    def assertAnswers(self, client=None, **replies):
        for question, members in replies.items():
            self.assertEqual(self.ask({"type": question}, client), {"type": question + "_response", **members})

    def search(self, refresh, count):
        self.client.request({"type": "get_devices", "refresh": refresh})
        return self.client.reply(), [self.client.reply() for _ in range(count)]

    def requests(self):
        return self.sim.received("link", "msg", "to", "body")


class BoxWithSystem(HostRequests):
    def test_questions_about_this_box(self):
        self.assertAnswers(has_corvanet_system={"system_exists": "true"},
                           get_corvanet_ip_settings=ip_settings(OWN_MAC, 21, "kdrtn-studio-a"),
                           may_change_corvanet_ip_settings={"change_allowed": "true"},
                           may_use_builder={"use_allowed": "true"}, get_corvanets={"corvanets": [STUDIO_A]})

    def test_device_search_reports_each_device_then_answers_from_what_it_knows(self):
        own, reports = self.search(True, 7)
        self.assertEqual(own, OWN_REPORT)
        # Boxes and controller cards answer the search with their Spread settings, not as devices.
        self.assertEqual(reports, [REPORTS[mac] for mac in (VIDEO, AUDIO, DATA_ROUTER, DESK_IN_SYSTEM, DESK_ALONE,
                                                            SCREEN, BRIDGE)])

        # The boxes' answers to the search are complete once they were asked for their Spread settings.
        self.assertTrue(wait_until(lambda: self.sim.received("link", "msg").count(("direct", "spread get")) == 2))
        mark = len(self.sim.received())
        self.assertEqual(self.search(False, len(REPORTS)), (OWN_REPORT, list(REPORTS.values())))
        # Nothing went to the simulator for it: the next request that asks is the first to show.
        self.assertAnswers(may_change_corvanet_ip_settings={"change_allowed": "true"})
        self.assertTrue(wait_until(lambda: len(self.sim.received()) >= mark + 2))
        self.assertEqual(self.sim.received("link", "msg")[mark:], [("main", "device get"), ("main", "spread get")])

    def test_changes_after_a_search_conflicts_routers_and_a_client_leaving(self):
        self.search(True, 7)
        for ip, hostname, mac, error in (("99", "tr-video-1", None, "hostname_conflict"),
                                         ("99", "kdrtn-studio-b", None, "system_name_conflict"),
                                         ("98", "x", "00:00:5E:00:53:99", "Invalid MAC")):
            extra = {"mac_address": mac} if mac else {}
            self.assertEqual(self.ask(own_change("192.168.10." + ip, hostname, **extra)), change_reply(error=error))
        self.assertAnswers(get_corvanet_ip_settings=ip_settings(OWN_MAC, 21, "kdrtn-studio-a"))
        self.assertFalse({"device set", "spread set"} & {msg for _, msg in self.sim.received("link", "msg")})

        def set_router(mac, **request):
            return self.ask({"type": "set_tessora_info", "ip_settings": {"mac_address": mac}, **request})

        data_level = {"no": "9", "name": "Data", "description": "Data level"}
        self.assertEqual(set_router(DATA_ROUTER, system={"level": data_level}),
                         {**REPORTS[DATA_ROUTER], "system": level("9", "Data", "Data level", "5")})
        self.assertEqual(set_router(VIDEO, system={"include": False}),
                         {key: value for key, value in REPORTS[VIDEO].items() if key != "system"})
        # Kept in the system, it comes back in a new subsystem at its own level.
        self.assertEqual(set_router(VIDEO, system={"include": "true"}),
                         {**REPORTS[VIDEO], "system": level("1", "tr-video-1", "", "1")})
        # A new address alone keeps the host name, in the reply and in what the router is told.
        moved = set_router(VIDEO, ip_settings={"mac_address": VIDEO, "ip_address": "192.168.10.131"})
        self.assertEqual(moved["ip_settings"], ip_settings(VIDEO, 131, "tr-video-1"))
        self.assertIn(("direct", "device set", "tessora@" + VIDEO,
                       [["bootprotocol", "static"], ["ip", "192.168.10.131"], ["netmask", "255.255.255.0"],
                        ["gateway", "192.168.10.1"], ["hostname", "tr-video-1"]]), self.requests())

        leaving = HostClient(LIMIT)
        leaving.request(own_change("192.168.10.121", "studio-new"))
        leaving.close()
        # The change goes on without its client: the box is told its settings and restarts.
        self.assertTrue(wait_until(lambda: ("main", "reboot", "corvanet@" + OWN_MAC, [])
                                   in self.requests(), limit=LIMIT))
        self.assertIsNone(self.kipd.poll())
        self.assertAnswers(self.connect(), has_corvanet_system={"system_exists": "true"})
        self.assertAnswers(get_corvanet_ip_settings=ip_settings(OWN_MAC, 121, "studio-new"))


class BoxWithoutSystem(HostRequests):
    network = os.path.join(EXAMPLES, "network-nosystem.json")

    def test_requests_that_need_a_system_are_refused_until_one_is_created(self):
        refused = "The Corvanet is not initialised: "
        self.assertAnswers(has_corvanet_system={"system_exists": "false"},
                           may_change_corvanet_ip_settings={"change_allowed": "true"}, get_corvanets={},
                           may_use_builder={"use_allowed": "false", "error": {"id": "corvanet_has_no_system",
                                            "message": refused + "system configuration is not allowed"}})
        self.assertEqual(self.ask({"type": "get_devices"}),
                         error_info("corvanet_has_no_system", refused + "can not search for devices"))
        self.assertEqual(self.ask({"type": "set_tessora_info", "ip_settings": {"mac_address": VIDEO}}),
                         error_info("corvanet_has_no_system", refused + "can not change tessora settings"))


class BoxOfTwoSpreadHosts(HostRequests):
    network = os.path.join(DATA, "host-two-spread-hosts.json")

    def test_a_shared_system_is_not_configured_here(self):
        self.assertAnswers(has_corvanet_system={"system_exists": "true"},
                           may_change_corvanet_ip_settings={"change_allowed": "false"},
                           may_use_builder={"use_allowed": "false"},
                           get_corvanets={"corvanets": [STUDIO_A, {"hostname": "kdrtn-studio-b",
                                                                   "ip_address": "192.168.10.22"}]})


class ControllerCard(HostRequests):
    network = os.path.join(DATA, "host-gx-card.json")

    def test_a_card_is_a_system_without_spread_hosts(self):
        card = "00:1E:C0:4B:00:01"
        self.assertAnswers(has_corvanet_system={"system_exists": "true"}, may_use_builder={"use_allowed": "true"},
                           get_corvanets={})
        # The router belongs to another system: only its address is reported.
        self.assertEqual(self.search(True, 1), (ip_device(card, 25, "gx-ctl-1"), [ip_device(VIDEO, 31, "tr-video-1")]))

        # A card's host name may repeat a device's; it takes new settings at once, without Spread.
        self.assertEqual(self.ask(own_change("192.168.10.26", "tr-video-1")), change_reply())
        told = ("main", "device set", "gx2400-ln-ctl@" + card, [["ip", "192.168.10.26"], ["netmask", "255.255.255.0"],
                                                               ["gateway", "192.168.10.1"], ["hostname", "tr-video-1"]])
        self.assertTrue(wait_until(lambda: told in self.requests()))
        self.assertNotIn(("main", "spread set"), self.sim.received("link", "msg"))


class LinkLossAndReturn(HostRequests):
    def test_questions_fail_while_the_daemon_is_away_and_the_system_is_read_again_once_it_is_back(self):
        self.sim.stop()
        self.assertAnswers(has_corvanet_system={"system_exists": "false", "error": {
            "id": "has_corvanet_system_ack", "message": "Not connected to the configuration daemon"}})
        self.sim = Simulator(self.network, "--fail", "partition list get=busy")
        self.addCleanup(self.sim.stop)
        self.assertAnswers(has_corvanet_system={"system_exists": "true"})
        self.assertEqual(self.search(True, 1)[1], [error_info("get_devices_system_ack", "busy")])
