"""The daemon's process: command line, detaching, start-up and the configuration-daemon address."""
import os
import signal
import socket
import subprocess
import unittest

from tests.e2e.support import KIPD, HostClient, Listener, start_kipd, stop, wait_until

USAGE = ("Usage: {} [--help] [--daemon] [ipaddr]\n\n"
         "If no ipaddr is specified, localhost will be used\n\n")


def daemon_pids():
    pids = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/cmdline", "rb") as f:
                    args = f.read().split(b"\0")
            except OSError:
                continue
            if args[0] == KIPD.encode() and b"--daemon" in args:
                pids.append(int(entry))
    return pids


class CommandLine(unittest.TestCase):
    def test_help_anywhere_prints_usage_and_exits_1(self):
        for args in (["--help"], ["--daemon", "--help"], ["10.1.1.1", "--help", "--daemon"], ["--bogus", "--help"]):
            result = subprocess.run([KIPD, *args], capture_output=True, timeout=10)
            self.assertEqual(result.returncode, 1, args)
            self.assertEqual(result.stdout.decode(), USAGE.format(KIPD), args)
            self.assertEqual(result.stderr, b"", args)

    def test_last_address_is_the_configuration_daemon(self):
        cases = ((["127.0.0.2", "127.0.0.1"], "127.0.0.1", "127.0.0.2"),
                 (["127.0.0.1", "--bogus", "127.0.0.2"], "127.0.0.2", "127.0.0.1"),
                 ([], "127.0.0.1", "127.0.0.2"))
        for args, used, unused in cases:
            with self.subTest(args=args):
                listeners = {(a, p): Listener(a, p) for a in (used, unused) for p in (3972, 3973)}
                kipd = start_kipd(*args)
                try:
                    self.assertTrue(listeners[(used, 3972)].accepted_within(5))
                    self.assertTrue(listeners[(used, 3973)].accepted_within(5))
                    self.assertFalse(listeners[(unused, 3972)].accepted_within(0.2))
                    self.assertFalse(listeners[(unused, 3973)].accepted_within(0.2))
                finally:
                    stop(kipd)
                    for listener in listeners.values():
                        listener.close()

    def test_unresolvable_address_still_serves_clients(self):
        kipd = start_kipd("--no-such-host")
        try:
            client = HostClient()
            client.send_raw(b"{}\0")
            self.assertEqual(client.reply()["type"], "error_info")
            client.close()
            self.assertIsNone(kipd.poll())
        finally:
            stop(kipd)

    def test_port_in_use_ends_the_process(self):
        blocker = socket.socket()
        blocker.bind(("0.0.0.0", 3971))
        blocker.listen(1)
        try:
            kipd = start_kipd()
            kipd.communicate(timeout=10)
            self.assertNotEqual(kipd.returncode, 0)
        finally:
            blocker.close()

    def test_daemon_detaches_and_keeps_serving(self):
        listener = Listener("127.0.0.1", 3972)
        result = subprocess.run([KIPD, "--daemon"], capture_output=True, timeout=10)
        try:
            self.assertEqual(result.returncode, 0)
            self.assertEqual(result.stdout + result.stderr, b"")
            self.assertTrue(listener.accepted_within(5))
            self.assertTrue(wait_until(lambda: daemon_pids()))
            client = HostClient()
            client.send_raw(b"{}\0")
            self.assertEqual(client.reply()["type"], "error_info")
            client.close()
        finally:
            for pid in daemon_pids():
                os.kill(pid, signal.SIGKILL)
            listener.close()
            wait_until(lambda: not daemon_pids())


if __name__ == "__main__":
    unittest.main()
