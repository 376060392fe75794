import json
import os
import re
import socket
import subprocess
import unittest

from tests.e2e.support import EXAMPLES, KIPD, ROOT, serve

KIPCTL = os.path.join(os.path.dirname(KIPD), "kipctl")
ROUTER = "00:1E:C0:20:00:13"
# Characters a terminal would act on, or that reorder a line, and how kipctl shows them; then the
# neighbours of each escaped range, which it shows as they are.
ACTED_ON = "\x1b]0;x\x07\t\n\x1f\x7f\u0080\u009f\u061c\u200e\u200f\u202a\u202e\u2066\u2069\\"
KEPT = " ~\u00a0\u200d\u2010\u2029\u202f\u2065\u206a"
SHOWN = r"\x1b]0;x\x07\x09\x0a\x1f\x7f\u0080\u009f\u061c\u200e\u200f\u202a\u202e\u2066\u2069\\" + KEPT
ESCAPED = json.dumps(ACTED_ON + KEPT, ensure_ascii=False)


def kipctl(*args):
    result = subprocess.run([KIPCTL, *args], capture_output=True, text=True, timeout=40)
    return result.returncode, result.stdout, result.stderr


class WithSystem(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        serve(cls.addClassCleanup, os.path.join(EXAMPLES, "network.json"))

    def test_questions_are_answered_in_words_or_json(self):
        self.assertEqual(kipctl("has-system"), (0, "This box belongs to a system.\n", ""))
        self.assertEqual(kipctl("may-change-ip"), (0, "The IP settings of this box may be changed.\n", ""))
        self.assertEqual(kipctl("may-use-builder"), (0, "The system may be configured on this box.\n", ""))
        self.assertEqual(kipctl("corvanets"),
                         (0, "HOSTNAME             IP ADDRESS\nkdrtn-studio-a       192.168.10.21  (this box)\n", ""))
        self.assertEqual(kipctl("ip-settings"), (0, "MAC address:      00:1E:C0:4A:10:01\n"
                                                    "IP address:       192.168.10.21\n"
                                                    "Subnet mask:      255.255.255.0\n"
                                                    "Default gateway:  192.168.10.1\n"
                                                    "Hostname:         kdrtn-studio-a\n", ""))
        for args in (["--json", "has-system"], ["has-system", "--json"],
                     ["--timeout", "3", "has-system", "--host", "127.0.0.1", "--json"]):
            self.assertEqual(kipctl(*args),
                             (0, '{"system_exists":"true","type":"has_corvanet_system_response"}\n', ""), args)

    def test_devices_are_listed_once_each_as_a_table_or_json_lines(self):
        status, out, err = kipctl("devices", "--quiet", "1.5")
        self.assertEqual((status, err), (0, ""))
        rows = out.splitlines()
        self.assertEqual(rows[0].split(), ["KIND", "MAC", "ADDRESS", "IP", "ADDRESS", "HOSTNAME", "SYSTEM", "DETAILS"])
        self.assertTrue(rows[1].startswith("corvanet  00:1E:C0:4A:10:01 192.168.10.21   kdrtn-studio-a"))
        (video,) = [row for row in rows if "00:1E:C0:20:00:11" in row]
        self.assertIn('router 64x32 video, level 1 "tr-video-1"', video)
        macs = [row.split()[1] for row in rows[1:]]
        self.assertEqual(len(macs), len(set(macs)))
        # Another box and a controller card report nothing during the search itself.
        self.assertLessEqual({"00:1E:C0:4A:10:02", "00:1E:C0:4B:00:07"}, set(macs))

        for args in (["devices", "--no-refresh", "--quiet", "0.5", "--json"], ["--json", "devices", "--quiet", "1.5"]):
            status, out, err = kipctl(*args)
            reports = [json.loads(line) for line in out.splitlines()]
            self.assertEqual((status, err), (0, ""), args)
            self.assertEqual(sorted(report["ip_settings"]["mac_address"] for report in reports), sorted(macs), args)

    def test_router_joins_with_a_level_and_leaves(self):
        # The compact JSON keeps the blank after an escaped quote inside a string.
        status, out, err = kipctl("--json", "set-router", ROUTER, "--level", "7", "--level-name", 'Data "A B"')
        self.assertEqual((status, err), (0, ""), out)
        self.assertEqual(json.loads(out)["system"]["level"], {"no": "7", "name": 'Data "A B"', "description": ""})
        status, out, err = kipctl("set-router", ROUTER, "--exclude")
        self.assertEqual((status, err), (0, ""), out)
        self.assertNotIn("level 7", out)

    def test_wrong_usage_is_refused_before_anything_is_sent(self):
        for args in ([], ["no-such-command"], ["set-ip", "10.0.0.1"], ["devices", "--bogus"],
                     ["--no-refresh", "devices"], ["set-router", ROUTER, "--include", "--exclude"], ["--timeout", "soon", "has-system"],
                     ["devices", "--quiet", "-1"], ["has-system", "--host"]):
            status, out, err = kipctl(*args)
            self.assertEqual((status, out), (1, ""), args)
            self.assertIn("Usage: kipctl", err, args)


class WithoutSystem(unittest.TestCase):
    def test_error_replies_exit_2_with_the_message(self):
        serve(self.addCleanup, os.path.join(EXAMPLES, "network-nosystem.json"))
        self.assertEqual(kipctl("has-system"), (0, "This box has no system.\n", ""))
        self.assertEqual(kipctl("set-ip", "192.168.10.21", "255.255.255.0", "192.168.10.1", "tr-video-1"),
                         (2, "", "kipd: Set corvanet ip settings error (hostname_conflict)\n"))
        self.assertEqual(kipctl("set-ip", "192.168.10.21", "255.255.255.0", "192.168.10.1", "kdrtn-new"),
                         (0, "IP settings accepted.\nA new system was created on this box.\n", ""))


class NoDaemon(unittest.TestCase):
    def test_help_and_version_exit_0_on_standard_output(self):
        status, usage, err = kipctl("--help")
        self.assertEqual((status, err), (0, ""))
        self.assertTrue(usage.startswith("Usage: kipctl"))
        for args in (["-h"], ["devices", "--help"], ["--json", "set-router", "-h"]):
            self.assertEqual(kipctl(*args), (0, usage, ""), args)
        with open(os.path.join(ROOT, "CMakeLists.txt")) as cmake:
            version = re.search(r"project\(kipd VERSION ([0-9.]+)", cmake.read()).group(1)
        self.assertEqual(kipctl("--version"), (0, f"kipctl (kipd) {version}\n", ""))

    def test_refused_connection_exits_3_and_a_silent_daemon_4(self):
        for args in (["has-system"], ["devices", "--timeout", "2", "--json"], ["devices"]):
            status, out, err = kipctl(*args)
            self.assertEqual((status, out), (3, ""), args)
            self.assertIn("cannot connect to kipd at 127.0.0.1:3971", err, args)
        with socket.socket() as silent:
            silent.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            silent.bind(("127.0.0.1", 3971))
            silent.listen(4)
            self.assertEqual(kipctl("--timeout", "0.5", "corvanets"), (4, "", "kipctl: no answer from kipd\n"))

    def test_hostile_replies_are_refused_before_they_are_read_or_shown_escaped(self):
        too_long = (3, "", "kipctl: unreadable reply from kipd: longer than 1048576 bytes\n")
        cases = [(b"[" * (1 << 19) + b"\0", (3, "", "kipctl: unreadable reply from kipd: objects nested too deeply\n")),
                 (b'{"a":"' + b"a" * (1 << 20) + b'"}\0', too_long),
                 (b"a" * (2 << 20), too_long),  # no NUL, and the connection stays open
                 (b'{"corvanets":[{"ip_address":"1","hostname":"\xc0\x9b\xed\xa0\x80' + ESCAPED[1:].encode() + b"}]}\0",
                  (0, "HOSTNAME             IP ADDRESS\n" r"\xc0\x9b\xed\xa0\x80" + SHOWN + " 1\n", "")),
                 (b'{"error":{"id":"\\u202e","message":"\x7f\\u001b[1A"}}\0',
                  (2, "", r"kipd: \x7f\x1b[1A (\u202e)" "\n"))]
        for reply, expected in cases:
            with socket.socket() as fake:
                fake.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
                fake.bind(("127.0.0.1", 3971))
                fake.listen(1)
                fake.settimeout(10)
                process = subprocess.Popen([KIPCTL, "corvanets", "--timeout", "3"], stdout=subprocess.PIPE,
                                           stderr=subprocess.PIPE, encoding="utf-8", errors="replace")
                connection, _ = fake.accept()
                with connection:
                    connection.recv(4096)
                    try:
                        connection.sendall(reply)
                    except OSError:  # kipctl has stopped reading
                        pass
                    out, err = process.communicate(timeout=40)
            self.assertEqual((process.returncode, out, err), expected, reply[:40])
