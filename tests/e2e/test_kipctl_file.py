"""kipctl export, plan and apply against the simulator: the file, the plan, and every message that reaches the
configuration daemon."""
import copy
import json
import os
import re
import shutil
import tempfile

from tests.e2e import test_system_build as wire
from tests.e2e.support import EXAMPLES, KipdTest, wait_until
from tests.e2e.test_kipctl import kipctl

EXPORT = os.path.join(EXAMPLES, "kipctl-export.json")
BOX = "corvanet@00:1E:C0:4A:10:01"
VIDEO, AUDIO, DATA, DESK_2 = "00:1E:C0:20:00:11", "00:1E:C0:20:00:12", "00:1E:C0:20:00:13", "00:1E:C0:30:00:22"
READS = {"device get", "spread get", "subsystem list get", "subsystem get", "partition list get", "partition get",
         "mnemonics get"}
PLAN = ['tr-audio-1 (00:1E:C0:20:00:12): leaves the system',
        'tr-video-1 (00:1E:C0:20:00:11): level 1 name "tr-video-1" -> "Studio A video"',
        'kp-desk-2 (00:1E:C0:30:00:22): joins the system']
DONE = "".join(f"done: {line}\n" for line in PLAN)
MATCHES = "The network now matches the file.\n"

with open(EXPORT, encoding="utf-8") as handle:
    EXPORTED = json.load(handle)


def device(system, mac):
    (found,) = [entry for entry in system["tessora"] if entry["mac_address"] == mac]
    return found


def nested(depth):
    return [nested(depth - 1)] if depth > 1 else []


def edited(change):
    system = copy.deepcopy(EXPORTED)
    change(system)
    return system


def three_edits(system):
    device(system, VIDEO)["level"]["name"] = "Studio A video"
    audio = device(system, AUDIO)
    audio["in_system"] = False
    del audio["level"]
    device(system, DESK_2)["in_system"] = True


def router_message(name, *body):
    return wire.message(BOX, name, *body)


# What kipd sends for the three edits: the audio router leaves (its settings, its partition and subsystem
# withdrawn), the video router's level takes its new name (its partition withdrawn and set again, the port
# names as the configuration daemon holds them, shown here by the first), the panel joins; after each
# "system update" the panel of the system is rebooted.
PANEL_FIELDS = [f"router{bank}{n}=" + ("192.168.10.21:4381" if bank + str(n) == "A1" else "")
                for bank in "ABCD" for n in (1, 2, 3)]
APPLY_WRITES = {
    "main": [router_message("partition reset", "subsystem=2", "routerno=103", "pid=0"),
             router_message("subsystem reset", "subsystem=2"),
             router_message("system update"),
             router_message("partition reset", "subsystem=1", "routerno=1", "pid=0"),
             wire.partition_set(BOX, "1:1:0", "1", "Studio A video", "Studio A video", (64, 32), ranges_first=True),
             router_message("mnemonics set", "levelno=1", "direction=input", "text=0;CAM 1;C1;Studio camera 1;camera.png"),
             router_message("mnemonics set", "levelno=1", "direction=output", "text=0;MON 1;;Gallery monitor 1;"),
             router_message("system update")],
    "direct": [wire.message("tessora@" + AUDIO, "device set", "system_name=", "system_description=", *wire.ROUTER_FIELDS),
               wire.message("tessora@00:1E:C0:30:00:21", "reboot"),
               wire.message("tessora@00:1E:C0:30:00:21", "reboot"),
               wire.message("tessora@" + DESK_2, "device set", "system_name=kdrtn-studio-a",
                            "system_description=" + wire.DESCRIPTION, *PANEL_FIELDS)]}


def name_of(text):
    return text.split("\nmsg=")[1].split("\n")[0]


def writes_of(received):
    """The messages other than reads, without their sender (kipd names itself by its own MAC address) and with
    only the first port of a port-name list."""
    return [(link, re.sub(r"\nfrom=[^\n]*|(\ntext=0;[^\n]*\n).*", r"\1", text, flags=re.S))
            for link, text in received if name_of(text) not in READS]


def by_link(writes):
    return {link: [text for each, text in writes if each == link] for link in ("main", "direct")}


class FileTest(KipdTest):
    """The example network, with the change `edit` makes, and a folder for the files of a test."""
    options = ("--control-port", "0")

    def edit(self, network):
        pass

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="kipctl-file-")
        self.addCleanup(shutil.rmtree, self.folder)
        with open(os.path.join(EXAMPLES, "network.json"), encoding="utf-8") as handle:
            network = json.load(handle)
        self.edit(network)
        self.network = self.write(network, "network.json")
        super().setUp()

    def write(self, system, name="system.json"):
        path = os.path.join(self.folder, name)
        with open(path, "w", encoding="utf-8", errors="surrogateescape") as handle:  # "\udcff" is the byte FF
            handle.write(system if isinstance(system, str) else json.dumps(system, indent=2, ensure_ascii=False))
        return path

    def run_kipctl(self, *args):
        """kipctl's status and output, and the messages other than reads that kipd sent meanwhile."""
        mark = len(self.sim.received())
        result = kipctl(*args, "--quiet", "0.5")
        sent = self.sim.received("link", "text")[mark:]
        return result, writes_of(sent)


class SystemFile(FileTest):
    def test_an_export_plans_nothing(self):
        path = os.path.join(self.folder, "export.json")
        self.assertEqual(self.run_kipctl("export", path), ((0, "", ""), []))
        with open(path, encoding="utf-8") as exported, open(EXPORT, encoding="utf-8") as example:
            self.assertEqual(exported.read(), example.read())
        self.assertEqual(self.run_kipctl("plan", path),
                         ((0, "No changes: the network matches the file.\n", ""), []))
        self.assertEqual(self.run_kipctl("plan", path, "--json"),
                         ((0, '{"changes":[],"pending":false}\n', ""), []))

    def test_three_edits_are_planned_applied_and_exported_back(self):
        path = self.write(edited(three_edits))
        self.assertEqual(self.run_kipctl("plan", path), ((2, "".join(line + "\n" for line in PLAN), ""), []))
        (status, out, err), writes = self.run_kipctl("apply", path, "--yes")
        self.assertEqual((status, out, err), (0, "".join(line + "\n" for line in PLAN) + DONE + MATCHES, ""))
        self.assertEqual(by_link(writes), by_link(writes_of((link, text) for link in APPLY_WRITES
                                                            for text in APPLY_WRITES[link])))

        again = os.path.join(self.folder, "again.json")
        self.assertEqual(self.run_kipctl("export", again), ((0, "", ""), []))
        with open(again, encoding="utf-8") as handle:
            self.assertEqual(json.load(handle), edited(three_edits))
        self.assertEqual(self.run_kipctl("plan", path)[0][0], 0)

    def test_bad_files_are_refused_before_anything_is_sent(self):
        def set_field(mac, key, value):
            return lambda system: device(system, mac).__setitem__(key, value)

        def set_level(mac, key, value):
            return lambda system: device(system, mac)["level"].__setitem__(key, value)

        cases = [
            ('{\n  "schema": 1,\n  "this_box": {\n', "system.json:4:1: not JSON: the document ends"),
            ('{"schema": 1, "schema": 2}', 'system.json:1:15: not JSON: the key "schema" appears twice'),
            ('{"schema": ' + "[" * 64 + "]" * 64 + "}", "system.json:1:75: not JSON: nested too deeply"),
            (set_field(VIDEO, "colour", nested(61)), 'tessora[0]: unknown key "colour"'),  # 64 levels are read
            (set_field(VIDEO, "colour", "red"), 'tessora[0]: unknown key "colour"'),
            (lambda system: system["this_box"].pop("hostname"), 'this_box: the field "hostname" is missing'),
            (set_field(VIDEO, "mac_address", "00:1E:C0:20:00"), '"00:1E:C0:20:00" is not a MAC address'),
            (set_field(VIDEO, "ip_address", "192.168.10.256"), '.ip_address: "192.168.10.256" is not an IPv4'),
            (set_field(VIDEO, "subnet_mask", "255.0.255.0"), '.subnet_mask: "255.0.255.0" is not a subnet mask'),
            (set_field(VIDEO, "default_gateway", "gw"), '.default_gateway: "gw" is not an IPv4 address'),
            (set_level(VIDEO, "number", 0), ".level.number: expected a whole number from 1 to 2147483647"),
            (set_level(VIDEO, "number", 2147483648), ".level.number: expected a whole number from 1 to"),
            (set_level(VIDEO, "number", 2), "level 2 is also tessora[0]'s: two routers cannot share a level"),
            (set_field(AUDIO, "mac_address", VIDEO), "the MAC address 00:1E:C0:20:00:11 is also tessora[0]'s"),
            (set_field(DATA, "level", {"number": 9, "name": "x", "description": ""}),
             "only a router in the system has a level"),
            (set_field(VIDEO, "mac_address", "00:1e:c0:20:00:99"),
             "tr-video-1 (00:1E:C0:20:00:99): the search did not find it"),
            (set_field(DESK_2, "kind", "router"), "it is a panel on the network, not a router"),
            (set_level(VIDEO, "description", ""), "kipd cannot empty a level's description"),
            (set_level(VIDEO, "name", "Studio\x7f"), "tessora[0].level.name: expected UTF-8 text without control"),
            (set_level(VIDEO, "description", "\u009b2J"), "tessora[0].level.description: expected UTF-8 text"),
            (set_level(VIDEO, "description", "Studio \udcff"), "tessora[0].level.description: expected UTF-8 text"),
            (lambda system: system["tessora"].extend([{}] * 60), "system.json: 370 more problems\n"),
            (lambda system: system.__setitem__("tessora", [{}] * 1001), "tessora: 1001 entries: kipctl reads at most"),
            (set_field(VIDEO, "colour", " " * (1 << 20)), "system.json: more than 1048576 bytes, the most kipctl"),
        ]
        for change, problem in cases:
            path = self.write(change if isinstance(change, str) else edited(change))
            (status, out, err), writes = self.run_kipctl("apply", path, "--yes")
            self.assertEqual((status, out, writes), (1, "", []), problem)
            self.assertIn(problem, err)
            self.assertTrue(err.endswith("kipctl: nothing was changed\n"), err)
        missing = self.write(edited(set_field(DATA, "mac_address", "00:1E:C0:20:00:99")))
        self.assertEqual(self.run_kipctl("plan", missing, "--skip-missing"),
                         ((0, "No changes: the network matches the file.\n",
                           "kipctl: skipped: the search did not find tr-data-1 (00:1E:C0:20:00:99)\n"), []))
        self.assertEqual(self.run_kipctl("apply", self.write(edited(three_edits))),
                         ((1, "".join(line + "\n" for line in PLAN),
                           "kipctl: apply asks for confirmation on a terminal: give --yes to apply without asking\n"),
                          []))

    def test_a_daemon_dropped_during_apply_leaves_a_report_and_apply_again_resumes(self):
        path = self.write(edited(three_edits))
        self.assertEqual(self.sim.control({"cmd": "faults", "args": ["--close-after", "partition set"]}), {"ok": True})
        (status, out, err), _ = self.run_kipctl("apply", path, "--yes", "--timeout", "3")
        self.assertEqual((status, out), (4, "".join(line + "\n" for line in PLAN) + f"done: {PLAN[0]}\n"))
        self.assertEqual(err, f"kipctl: failed: {PLAN[1]}\nkipctl: no answer from kipd\n"
                              f"kipctl: made before it:\n  {PLAN[0]}\n"
                              "kipctl: run apply again to resume: it plans from what the network holds then\n")
        self.sim.control({"cmd": "faults", "args": []})
        self.assertTrue(wait_until(lambda: kipctl("has-system")[0] == 0, limit=10))
        (status, out, err), _ = self.run_kipctl("apply", path, "--yes")
        self.assertEqual((status, err), (0, ""), out)
        self.assertEqual(out.splitlines()[-3:], [
            'done: tr-video-1 (00:1E:C0:20:00:11): gets level 1 "Studio A video", description "Studio A video"',
            f"done: {PLAN[2]}", MATCHES.strip()])
        self.assertEqual(self.run_kipctl("plan", path)[0][0], 0)


class ForbiddingBox(FileTest):
    """A box in a modular frame may neither change its IP settings nor build the system."""

    def edit(self, network):
        network["this_box"]["neighbor_mac"] = "00:1E:C0:4A:10:09"

    def test_changes_the_box_does_not_allow_are_refused(self):
        system = edited(three_edits)
        system["this_box"]["ip_address"] = "192.168.10.25"
        (status, out, err), writes = self.run_kipctl("apply", self.write(system), "--yes")
        self.assertEqual((status, out, writes), (1, "", []))
        self.assertEqual(err, "kipctl: this box: kipd does not allow its IP settings to change (may-change-ip is false)\n"
                              "kipctl: kipd does not allow the system to be configured on this box (may-use-builder"
                              " is false)\nkipctl: nothing was changed\n")


class HostileHostName(FileTest):
    NAME = "tr\x1b]0;owned\x07\x1b[2K\x1b[1Avideo\x7f\u009b\u202e"
    SHOWN = r"tr\x1b]0;owned\x07\x1b[2K\x1b[1Avideo\x7f\u009b\u202e"

    def edit(self, network):
        (video,) = [entry for entry in network["devices"] if entry["mac"] == VIDEO]
        video["ip_settings"]["hostname"] = self.NAME

    def test_texts_from_the_network_are_shown_escaped_and_as_they_are_in_json(self):
        out = kipctl("devices", "--no-refresh", "--quiet", "0.5")[1]
        self.assertIn(f"\ntessora   {VIDEO} 192.168.10.31   {self.SHOWN} kdrtn-studio-a   dip 0", out)
        out = kipctl("--json", "devices", "--no-refresh", "--quiet", "0.5")[1]
        self.assertIn(self.NAME, [json.loads(line)["ip_settings"]["hostname"] for line in out.splitlines()])
        label = f"{self.SHOWN} ({VIDEO})"
        self.assertEqual(kipctl("plan", self.write(EXPORTED), "--quiet", "0.5"),
                         (2, f'{label}: host name "{self.SHOWN}" -> "tr-video-1" (level 1 keeps its name)\n', ""))
        panel = edited(lambda system: device(system, VIDEO).update(kind="panel"))
        del device(panel, VIDEO)["level"]
        error = f"kipctl: {label}: it is a router on the network, not a panel\nkipctl: nothing was changed\n"
        self.assertEqual(self.run_kipctl("plan", self.write(panel)), ((1, "", error), []))
