"""The daemon's process: command line, detaching, start-up and the configuration-daemon address."""
import os
import re
import signal
import socket
import subprocess
import sys
import unittest

from tests.e2e.support import KIPD, ROOT, HostClient, Listener, read_status, start_kipd, status_socket, stop, wait_until


def daemon_pids():
    found = subprocess.run(["pgrep", "-x", "-f", re.escape(KIPD) + " --daemon"], capture_output=True, text=True)
    return [int(pid) for pid in found.stdout.split()]


class CommandLine(unittest.TestCase):
    def assertServes(self):
        client = HostClient()
        client.send_raw(b"{}\0")
        reply = client.reply()
        client.close()  # first, so that kipd's end does not hold the port in TIME_WAIT
        self.assertEqual(reply["type"], "error_info")

    def test_help_anywhere_prints_usage_and_exits_1(self):
        usage = f"Usage: {KIPD} [--help] [--daemon] [ipaddr]\n\nIf no ipaddr is specified, localhost will be used\n\n"
        for args in (["--help"], ["--daemon", "--help"], ["10.1.1.1", "--help", "--daemon"], ["--bogus", "--help"]):
            result = subprocess.run([KIPD, *args], capture_output=True, text=True, timeout=10)
            self.assertEqual((result.returncode, result.stdout, result.stderr), (1, usage, ""), args)

    def test_last_address_is_the_configuration_daemon(self):
        for args, used, unused in ((["127.0.0.2", "127.0.0.1"], "127.0.0.1", "127.0.0.2"),
                                   (["127.0.0.1", "--bogus", "127.0.0.2"], "127.0.0.2", "127.0.0.1"),
                                   ([], "127.0.0.1", "127.0.0.2")):
            with self.subTest(args=args):
                listeners = {(a, p): Listener(a, p) for a in (used, unused) for p in (3972, 3973)}
                kipd = start_kipd(*args)
                try:
                    for port in (3972, 3973):
                        self.assertTrue(listeners[(used, port)].accepted_within(5))
                        self.assertFalse(listeners[(unused, port)].accepted_within(0.2))
                finally:
                    stop(kipd)
                    for listener in listeners.values():
                        listener.close()

    def test_unresolvable_address_still_serves_clients_logs_nothing_and_shows_in_the_status(self):
        env = status_socket(self.addCleanup)
        kipd = start_kipd("--no-such-host", env=env)
        self.addCleanup(stop, kipd)
        client = HostClient()
        for _ in range(3):  # each question reopens the main link, whose host is looked up again
            self.assertEqual(client.ask({"type": "has_corvanet_system"})["error"]["message"],
                             "Not connected to the configuration daemon")
        client.close()
        links = read_status(env)["links"]
        for link in links.values():
            self.assertEqual((link["connected"], link["last_error"][:9]), (False, "resolve: "), link)
        # The direct link tried once, at the start; the main link's error is that of its last try.
        self.assertGreater(links["main"]["last_error_at"], links["direct"]["last_error_at"] + 1)
        self.assertIsNone(kipd.poll())
        self.assertEqual(stop(kipd), b"")

    def test_port_in_use_ends_the_process(self):
        with socket.socket() as blocker:
            blocker.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)  # past connections may wait on it
            blocker.bind(("0.0.0.0", 3971))
            blocker.listen(1)
            kipd = start_kipd()
            kipd.communicate(timeout=10)
            self.assertNotEqual(kipd.returncode, 0)

    def test_daemon_detaches_and_keeps_serving(self):
        listener = Listener("127.0.0.1", 3972)
        self.addCleanup(listener.close)
        result = subprocess.run([KIPD, "--daemon"], capture_output=True, timeout=10)
        try:
            self.assertEqual((result.returncode, result.stdout + result.stderr), (0, b""))
            self.assertTrue(listener.accepted_within(5))
            self.assertTrue(wait_until(daemon_pids))
            self.assertServes()
        finally:
            for pid in daemon_pids():
                os.kill(pid, signal.SIGKILL)
            wait_until(lambda: not daemon_pids())


# eth0 up with a carrier (so an IPv6 link-local address) and no IPv4 address: the C library's
# lookups for configured address families then return nothing for 127.0.0.1.
UNADDRESSED_BOX = ("ip link set lo up && ip link add eth0 type veth peer name peer0 && ip link set eth0 up && ip link "
                   "set peer0 up && for i in $(seq 100); do ip -6 addr show dev eth0 | grep -q fe80 && break; "
                   "sleep 0.05; done && exec \"$@\"")


class UnaddressedBox(unittest.TestCase):
    def test_questions_are_answered_from_127_0_0_1_before_eth0_has_an_address(self):
        if subprocess.run(["unshare", "-n", "ip", "link", "add", "eth0", "type", "veth", "peer", "name", "peer0"],
                          capture_output=True).returncode != 0:
            self.skipTest("this machine lets the test make no network namespace with a veth pair")
        questions = "tests.e2e.test_kipctl.WithSystem.test_questions_are_answered_in_words_or_json"
        result = subprocess.run(["unshare", "-n", "sh", "-c", UNADDRESSED_BOX, "sh", sys.executable, "-m", "unittest",
                                 questions], cwd=ROOT, capture_output=True, text=True, timeout=120)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("Ran 1 test", result.stderr)
        self.assertNotIn("skipped", result.stderr)
