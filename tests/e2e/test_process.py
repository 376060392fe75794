"""The daemon's process: command line, detaching, start-up and the configuration-daemon address."""
import os
import re
import signal
import socket
import subprocess
import unittest

from tests.e2e.support import KIPD, HostClient, Listener, start_kipd, stop, wait_until


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

    def test_unresolvable_address_still_serves_clients(self):
        kipd = start_kipd("--no-such-host")
        self.addCleanup(stop, kipd)
        self.assertServes()
        self.assertIsNone(kipd.poll())

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
