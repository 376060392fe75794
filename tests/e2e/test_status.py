"""kipd's status socket and its link history on SIGUSR1, against the simulator."""
import json
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import time

from tests.e2e.support import LIMIT, ROOT, KipdTest, Simulator, logged, read_status, status_socket, wait_until

OWN_MAC = "00:1E:C0:4A:10:01"
LISTING = {"type": "get_devices"}
HISTORY_RECORD = re.compile(r'^LOG (\d) \S* "(main|direct): CommLog (\d+): (.*)"$', re.M)


class StatusTest(KipdTest):
    def setUp(self):
        self.env = status_socket(self.addCleanup)
        super().setUp()

    def status(self):
        return read_status(self.env)

    def search(self, reports):
        self.client.request(LISTING)
        return [self.client.reply() for _ in range(reports)]


class Links(StatusTest):
    def counted_as_the_simulator_saw(self):
        """The links' message counts once they match the simulator's log of each link, else nothing."""
        links = self.status()["links"]
        seen = [(entry["link"], entry["dir"]) for entry in self.sim.entries()]
        for name, link in links.items():
            if (link["messages_sent"], link["messages_received"]) != (seen.count((name, "in")),
                                                                        seen.count((name, "out"))):
                return None
        return links

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
