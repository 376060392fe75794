"""kip-web in Debian's chromium against the real kipd and the simulated network, the page driven
by tests/web/drive_page.js: it lists every device, adds a router with its level and shows kipd's
errors; the bridge closes on a message that is not JSON text."""
import json
import os
import select
import subprocess
import unittest

from tests.e2e.support import EXAMPLES, KIPD, ROOT, serve, stop

KIP_WEB = os.path.join(os.path.dirname(KIPD), "kip-web")
WEB_TESTS = os.path.join(ROOT, "tests", "web")
NETWORK = os.path.join(EXAMPLES, "network.json")


class KipWebInChromium(unittest.TestCase):
    def test_devices_listed_router_joins_taken_host_name_shows_kipds_error_and_bad_json_closes(self):
        serve(self.addCleanup, NETWORK)
        kip_web = subprocess.Popen([KIP_WEB, "--listen", "127.0.0.1:0"], stdout=subprocess.PIPE, text=True)
        self.addCleanup(stop, kip_web)
        self.assertTrue(select.select([kip_web.stdout], [], [], 10.0)[0], "kip-web did not start")
        url = kip_web.stdout.readline().split()[2]  # "kip-web: serving http://127.0.0.1:PORT/ (kipd at ...)"
        with open(NETWORK, encoding="utf-8") as handle:
            network = json.load(handle)
        hostnames = [box["ip_settings"]["hostname"] for box in (network["this_box"], *network["devices"])]
        result = subprocess.run(["node", os.path.join(WEB_TESTS, "drive_page.js"), url, *hostnames],
                                capture_output=True, text=True, timeout=120, cwd=ROOT)
        self.assertEqual(result.returncode, 0, result.stderr + "(chromium and puppeteer-core: scripts/deps-test.sh)")
