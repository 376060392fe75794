"""kip-web in Debian's chromium against the real kipd and the simulated network: the page lists
every device, adds a router with its level and shows kipd's errors; the bridge closes on a
message that is not JSON text (tests/web/drive_page.js)."""
import json
import os
import select
import subprocess
import tempfile
import unittest

from tests.e2e.support import EXAMPLES, KIPD, ROOT, serve, stop

KIP_WEB = os.path.join(os.path.dirname(KIPD), "kip-web")
WEB_TESTS = os.path.join(ROOT, "tests", "web")
CHROMIUM = "/usr/bin/chromium"
CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update", "--disable-sync"]
NETWORK = os.path.join(EXAMPLES, "network.json")


def hostnames_of(network_file):
    with open(network_file, encoding="utf-8") as handle:
        network = json.load(handle)
    return [box["ip_settings"]["hostname"] for box in (network["this_box"], *network["devices"])]


def start_kip_web(limit=10.0):
    """kip-web on a free port; returns the process and the address it serves."""
    process = subprocess.Popen([KIP_WEB, "--listen", "127.0.0.1:0"], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)
    if not select.select([process.stdout], [], [], limit)[0]:
        stop(process)
        raise RuntimeError("kip-web did not start")
    line = process.stdout.readline()  # "kip-web: serving http://127.0.0.1:PORT/ (kipd at ...)"
    return process, line.split()[2]


def chromium(*args):
    with tempfile.TemporaryDirectory(prefix="kip-web-chromium-") as profile:
        return subprocess.run([CHROMIUM, *CHROMIUM_FLAGS, f"--user-data-dir={profile}", *args],
                              capture_output=True, text=True, timeout=120)


class KipWebInChromium(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        missing = [path for path in (CHROMIUM, os.path.join(WEB_TESTS, "node_modules", "puppeteer-core"))
                   if not os.path.exists(path)]
        if missing:
            raise RuntimeError(f"missing {missing}: run scripts/deps-test.sh")
        serve(cls.addClassCleanup, NETWORK)
        kip_web, cls.url = start_kip_web()
        cls.addClassCleanup(stop, kip_web)

    def test_page_lists_every_device_of_the_example_network(self):
        result = chromium("--dump-dom", "--virtual-time-budget=5000", self.url)
        self.assertEqual(result.returncode, 0, result.stderr)
        for hostname in hostnames_of(NETWORK):
            self.assertIn(f'class="hostname">{hostname}<', result.stdout)

    def test_router_joins_with_a_level_a_taken_host_name_shows_kipds_error_and_bad_json_closes(self):
        result = subprocess.run(["node", os.path.join(WEB_TESTS, "drive_page.js"), self.url],
                                capture_output=True, text=True, timeout=120, cwd=ROOT)
        self.assertEqual(result.returncode, 0, result.stderr)
