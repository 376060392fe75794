"""kipd's status socket and its link history on SIGUSR1, against the simulator."""
import json
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from tests.e2e.support import LIMIT, ROOT, KipdTest, Simulator, logged, read_status, status_socket, wait_until
from tests.e2e.test_kipctl import KIPCTL

OWN_MAC = "00:1E:C0:4A:10:01"
LISTING = {"type": "get_devices"}
HISTORY_RECORD = re.compile(r'^LOG (\d) \S* "(main|direct): CommLog (\d+): (.*)"$', re.M)
RAW_CONTROL = re.compile("[\x00-\x09\x0b-\x1f\x7f-\x9f]")


def kipctl_status(*args, env=None):
    """kipctl status with the environment `env` (KIPD_STATUS_SOCKET unset without it)."""
    environment = {key: value for key, value in os.environ.items() if key != "KIPD_STATUS_SOCKET"}
    result = subprocess.run([KIPCTL, "status", *args], capture_output=True, timeout=40,
                            env={**environment, **(env or {})})
    return result.returncode, result.stdout.decode(), result.stderr.decode()


def clock(at):
    return time.strftime("%H:%M:%S", time.localtime(at))


class StatusTest(KipdTest):
    def setUp(self):
        self.env = status_socket(self.addCleanup)
        super().setUp()

    def status(self):
        return read_status(self.env)

    def search(self, reports):
        self.client.request(LISTING)
        return [self.client.reply() for _ in range(reports)]

    def counted_as_the_simulator_saw(self):
        """The links' message counts once they match the simulator's log of each link, else nothing."""
        links = self.status()["links"]
        seen = [(entry["link"], entry["dir"]) for entry in self.sim.entries()]
        for name, link in links.items():
            if (link["messages_sent"], link["messages_received"]) != (seen.count((name, "in")),
                                                                        seen.count((name, "out"))):
                return None
        return links


class Links(StatusTest):
    def test_links_up_lost_with_their_error_and_back_with_a_reconnect_counted(self):
        self.search(8)
        links = wait_until(self.counted_as_the_simulator_saw)
        self.assertTrue(links)
        for name, port in (("main", 3972), ("direct", 3973)):
            link = links[name]
            self.assertEqual((link["address"], link["port"], link["connected"], link["reconnects"], link["last_error"],
                              link["last_error_at"]), ("127.0.0.1", port, True, 0, None, None))
            self.assertGreater(link["bytes_sent"], 0)
            self.assertGreater(link["bytes_received"], link["messages_received"])
            for way in (" TX: to=", " RX: to=kip@"):
                self.assertTrue(any(" 127.0.0.1" + way in entry for entry in link["history"]), link["history"])

        stopped = time.time()
        self.sim.stop()
        down = wait_until(lambda: all(not l["connected"] for l in self.status()["links"].values()), limit=3)
        self.assertTrue(down)
        for link in self.status()["links"].values():
            self.assertEqual(link["last_error"], "End of file")
            self.assertGreaterEqual(min(link["last_error_at"], link["since"]), stopped - 0.001)

        self.sim = Simulator(self.network)
        self.addCleanup(self.sim.stop)
        back = time.time()
        # A question reopens the main link; the search that follows the direct one (it goes out once that is up).
        self.assertEqual(self.client.ask({"type": "has_corvanet_system"})["system_exists"], "true")
        self.client.request(LISTING)
        self.assertEqual(self.client.reply()["type"], "new_corvanet_info")
        up = wait_until(lambda: all(l["connected"] for l in self.status()["links"].values()))
        self.assertTrue(up)
        for link in self.status()["links"].values():
            self.assertEqual((link["reconnects"], link["last_error"]), (1, "End of file"))
            self.assertGreaterEqual(link["since"], back - 0.001)

    def test_sigusr1_writes_both_links_history_to_the_log_and_empties_it(self):
        self.search(8)
        # The search is over once both other boxes were asked for their Spread settings.
        self.assertTrue(wait_until(lambda: self.sim.received("link", "msg").count(("direct", "spread get")) == 2))
        self.assertTrue(wait_until(self.counted_as_the_simulator_saw))
        before = self.status()["links"]
        self.kipd.send_signal(signal.SIGUSR1)
        count = len(before["main"]["history"]) + len(before["direct"]["history"])
        records = wait_until(lambda: len(found := HISTORY_RECORD.findall(logged(self.kipd))) == count and found)
        self.assertTrue(records, logged(self.kipd)[-2000:])
        self.assertEqual({level for level, _, _, _ in records}, {"4"})
        for name in ("main", "direct"):
            entries = [(int(number), text) for _, link, number, text in records if link == name]
            # The log call stops at a NUL, which ends most entries of short messages.
            self.assertEqual(entries, [(i, entry.split("\0")[0]) for i, entry in enumerate(before[name]["history"])])
            self.assertEqual(self.status()["links"][name]["history"], ["CommLog cleared"])


class Kipctl(StatusTest):
    def test_summary_exits_0_while_both_links_are_up_and_5_within_3_s_of_losing_them(self):
        self.search(8)
        self.assertTrue(wait_until(lambda: self.sim.received("link", "msg").count(("direct", "spread get")) == 2))
        self.assertTrue(wait_until(self.counted_as_the_simulator_saw))
        # The worker publishes the system at most once a second.
        self.assertTrue(wait_until(lambda: (system := self.status()["system"])["name"] and system["last_search_reports"]))
        code, out, err = kipctl_status(env=self.env)
        report = self.status()
        self.assertEqual((code, err), (0, ""), out)
        lines = out.splitlines()
        self.assertRegex(lines[0], r"^kipd 1\.0 \(pid %d\): up [0-9.]+ s, since \d\d:\d\d:\d\d$" % self.kipd.pid)
        for line, (name, port) in zip(lines[1:3], (("main", 3972), ("direct", 3973))):
            self.assertRegex(line, r"^configuration daemon 127\.0\.0\.1 \(%s, port %d\): connected for [0-9.]+ s, "
                                   r"0 reconnects$" % (name, port))
        self.assertRegex(lines[3], r"^clients: 1 connected, \d+ accepted, 0 held back; disconnected: (none|\d+ peer closed)$")
        self.assertRegex(lines[4], r"^queue: 0 waiting, worker idle, longest wait [0-9.]+ s in the last minute, "
                                   r"\d+ commands run$")
        devices = report["system"]["devices"]
        self.assertEqual(lines[5], 'system "%s": %d devices (%s), last search %s with %d reports'
                         % (report["system"]["name"], sum(devices.values()),
                            ", ".join("%d %s" % (devices[kind], kind) for kind in sorted(devices)),
                            clock(report["system"]["last_search_at"]), report["system"]["last_search_reports"]))
        self.assertRegex(lines[6], r"^memory: [0-9.]+ MiB resident, ")
        self.assertEqual(lines[7:], ["changes: none asked for since kipd started"])

        code, out, _ = kipctl_status("--json", env=self.env)
        self.assertEqual((code, out.count("\n"), json.loads(out)["links"]["main"]["connected"]), (0, 1, True))
        # One line per entry of the history, the NULs that end its messages shown escaped.
        code, out, _ = kipctl_status("--history", env=self.env)
        history = [line for line in out.splitlines() if line.startswith("  ")]
        self.assertEqual(code, 0)
        self.assertEqual(len(history), sum(len(link["history"]) for link in self.status()["links"].values()))
        self.assertTrue(any(" TX: to=*!from=kip@02:FC:00:00:00:01!msg=device get!\\x00" in line for line in history), history)
        self.assertIsNone(RAW_CONTROL.search(out))

        self.sim.stop()
        self.assertTrue(wait_until(lambda: kipctl_status(env=self.env)[0] == 5, limit=3))
        code, out, err = kipctl_status(env=self.env)
        main = self.status()["links"]["main"]
        self.assertEqual((code, err), (5, ""))
        self.assertRegex(out.splitlines()[1], r'^configuration daemon 127\.0\.0\.1 \(main, port 3972\): down for [0-9.]+ s, '
                                              r'0 reconnects, last error %s \("End of file"\)$' % clock(main["last_error_at"]))

    def test_the_option_then_the_environment_name_the_socket_and_none_there_exits_3(self):
        missing = self.env["KIPD_STATUS_SOCKET"] + ".missing"
        self.assertEqual(kipctl_status("--status-socket", self.env["KIPD_STATUS_SOCKET"],
                                       env={"KIPD_STATUS_SOCKET": missing})[0], 0)
        for args, env, path in ((["--status-socket", missing], self.env, missing),
                                ([], {"KIPD_STATUS_SOCKET": missing}, missing), ([], {}, "/run/kipd/status")):
            self.assertEqual(kipctl_status(*args, env=env),
                             (3, "", "kipctl: cannot reach kipd's status at %s: No such file or directory\n" % path))
        code, out, err = kipctl_status("--host", "127.0.0.1", env=self.env)
        self.assertEqual((code, out), (1, ""))
        self.assertIn("--host does not go with it", err)


class FakeStatusSocket:
    """Answers each connection with `answer` (None: holds it without a word)."""

    def __init__(self, add_cleanup, answer):
        self.path = status_socket(add_cleanup)["KIPD_STATUS_SOCKET"]
        self.server = socket.socket(socket.AF_UNIX)
        self.server.bind(self.path)
        self.server.listen(4)
        add_cleanup(self.server.close)
        self.answer = answer
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        held = []
        while True:
            try:
                connection, _ = self.server.accept()
            except OSError:
                return
            if self.answer is None:
                held.append(connection)
                continue
            with connection:
                try:
                    connection.sendall(self.answer)
                except OSError:  # kipctl stopped reading
                    pass


HOSTILE_TITLE = "\x1b]0;owned\x07\x1b[2K\x1b[1A"


class HostileStatus(unittest.TestCase):
    def kipctl_against(self, answer, *args):
        return kipctl_status("--status-socket", FakeStatusSocket(self.addCleanup, answer).path, *args)

    def test_texts_from_the_network_reach_the_terminal_escaped(self):
        report = {"links": {"main": {"address": "confd" + HOSTILE_TITLE, "port": 3972, "connected": False,
                                     "since": None, "reconnects": 0, "last_error": "resolve: \u009b31m\r\n",
                                     "last_error_at": time.time(), "history": ["RX: msg=x\x7f\x00"]}},
                  "system": {"name": "studio" + HOSTILE_TITLE}, "changes": [{"mac": HOSTILE_TITLE, "result": "ok"}]}
        code, out, err = self.kipctl_against(json.dumps(report).encode() + b"\n", "--history")
        self.assertEqual((code, err), (5, ""))
        self.assertIsNone(RAW_CONTROL.search(out), out)
        self.assertIn('(main, port 3972): down, never connected, 0 reconnects, last error', out)
        self.assertIn('("resolve: \\u009b31m\\x0d\\x0a")', out)
        self.assertIn('  RX: msg=x\\x7f\\x00\n', out)
        self.assertIn('system "studio\\x1b]0;owned\\x07\\x1b[2K\\x1b[1A": 0 devices', out)
        self.assertIn("configuration daemon (direct): not in the report\n", out)

    def test_a_status_that_is_not_one_json_line_or_never_comes_is_refused(self):
        for answer, args, expected in ((b'{"links": {}}', [], (3, "not one line")),
                                       (b"[1]\n", [], (3, "not a JSON object")),
                                       (b"[" * 100 + b"\n", [], (3, "nested too deeply")),
                                       (b" " * (2 << 20) + b"\n", [], (3, "longer than 1 MiB")),
                                       (None, ["--timeout", "0.5"], (4, "no status from kipd at"))):
            code, out, err = self.kipctl_against(answer, *args)
            self.assertEqual((code, out), (expected[0], ""), answer[:20] if answer else answer)
            self.assertIn(expected[1], err)


class Worker(StatusTest):
    def test_status_answers_while_the_worker_waits_in_an_own_ip_change(self):
        self.assertEqual(self.client.ask({"type": "has_corvanet_system"})["system_exists"], "true")
        port = self.client.sock.getsockname()[1]
        self.client.request({"type": "set_corvanet_ip_settings", "ip_address": "192.168.10.99",
                             "subnet_mask": "255.255.255.0", "default_gateway": "192.168.10.1",
                             "hostname": "tr-video-1"})
        # Before the change's answer, which comes some 5 seconds later, when its waits are over.
        busy = wait_until(lambda: (status := self.status())["queue"]["worker_busy"] and status["changes"] and status)
        self.assertTrue(busy)
        self.assertGreater(busy["queue"]["busy_seconds"], 0)
        change = busy["changes"][-1]
        self.assertEqual({key: change[key] for key in ("client", "type", "mac", "result")},
                         {"client": "127.0.0.1:%d" % port, "type": "set_corvanet_ip_settings", "mac": OWN_MAC,
                          "result": "pending"})
        self.assertEqual(self.client.reply()["error"]["id"], "hostname_conflict")
        settled = self.status()
        self.assertEqual(settled["changes"][-1]["result"], "hostname_conflict")
        # The devices' answers to the change's search waited behind its 3 seconds.
        self.assertGreater(settled["queue"]["longest_wait_seconds_last_minute"], 1)


def large_network(add_cleanup, devices, hostname_length):
    """bench/make_network.py's network, each device's host name made long, so that its report is."""
    made = subprocess.run([sys.executable, os.path.join(ROOT, "bench", "make_network.py"), str(devices)],
                          check=True, capture_output=True, text=True)
    network = json.loads(made.stdout)
    for device in network["devices"]:
        device["ip_settings"]["hostname"] = device["ip_settings"]["hostname"].ljust(hostname_length, "x")
    handle, path = tempfile.mkstemp(prefix="kipd-network-", suffix=".json")
    add_cleanup(os.remove, path)
    with os.fdopen(handle, "w") as file:
        json.dump(network, file)
    return path


class NonReadingClient(StatusTest):
    def setUp(self):
        # Some 8 MB of reports: past the socket's buffers (up to 4 MB here) and past 1 MiB more.
        self.network = large_network(self.addCleanup, 3000, 2500)
        super().setUp()

    def test_client_that_never_reads_is_disconnected_and_its_cause_counted(self):
        with socket.socket() as sock:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            sock.connect(("127.0.0.1", 3971))
            # The search's reports are not read: past 1 MiB unread kipd lets the client go.
            sock.sendall(b'{"type": "get_devices"}\0')
            clients = wait_until(lambda: (c := self.status()["clients"])["disconnected"]["unread_answers"] and c, LIMIT)
        self.assertTrue(clients)
        self.assertEqual((clients["disconnected"]["unread_answers"], clients["connected"]), (1, 1))
        self.assertIn(" disconnected: more than 1048576 bytes of answers unread", logged(self.kipd))
