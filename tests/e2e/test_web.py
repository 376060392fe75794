"""kip-web against what a hostile page, client or setting tries, as /metrics counts it, and its
change records; then the page in Debian's chromium against kipd and the simulated network
(tests/web/drive_page.js: token, devices, a router's level, kipd's errors, bad JSON, the daemon
lost and back); and a page of another site posting to kipd's port leaves the box as it was."""
import json
import os
import re
import resource
import select
import socket
import struct
import subprocess
import sys
import tempfile
import unittest

from tests.e2e.support import (EXAMPLES, HOST_PORT, KIPD, LIMIT, ROOT, HostClient, Listener, Simulator, read_status,
                               serve, status_socket, stop, wait_until)

KIP_WEB = os.path.join(os.path.dirname(KIPD), "kip-web")
WEB_TESTS = os.path.join(ROOT, "tests", "web")
DRIVE_PAGE = os.path.join(WEB_TESTS, "drive_page.js")
NETWORK = os.path.join(EXAMPLES, "network.json")
UPGRADE = ("Upgrade: websocket", "Connection: Upgrade", "Sec-WebSocket-Version: 13",
           "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==")
FRAMING = {"x-frame-options": "DENY", "referrer-policy": "no-referrer"}
REASONS = {400: "malformed", 421: "host", 403: "origin", 401: "token", 429: "throttle", 503: "slots"}
ROUTER = "00:1E:C0:20:00:13"
TO_LEVEL_5 = {"type": "set_tessora_info", "ip_settings": {"mac_address": ROUTER}, "system": {"level": {"no": "5"}}}
OWN_IP = {"type": "set_corvanet_ip_settings", "hostname": "renamed"}


def start_web(test, *options, listen="127.0.0.1:0", files=None):
    """kip-web on a free port, with at most FILES descriptors when given: (process, port)."""
    limit = (lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (files, files))) if files else None
    web = subprocess.Popen([KIP_WEB, "--listen", listen, *options], stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, text=True, preexec_fn=limit)
    test.addCleanup(stop, web)
    test.assertTrue(select.select([web.stdout], [], [], 10.0)[0], "kip-web did not start")
    return web, int(web.stdout.readline().split()[2].rstrip("/").rsplit(":", 1)[1])


def new_token(test):
    folder = tempfile.TemporaryDirectory()
    test.addCleanup(folder.cleanup)
    path = os.path.join(folder.name, "token")
    subprocess.run([KIP_WEB, "--new-token", path], check=True, capture_output=True)
    test.assertEqual(os.stat(path).st_mode & 0o777, 0o600)
    with open(path, encoding="ascii") as handle:
        return path, handle.read().strip()


def ask(test, port, target="/", *fields, method="GET", host="127.0.0.1:{port}", source="127.0.0.1"):
    """Sends one request; the answer's status and header fields, and the socket, left open at the body."""
    sock = socket.create_connection(("127.0.0.1", port), timeout=10, source_address=(source, 0))
    test.addCleanup(sock.close)
    head = [f"{method} {target} HTTP/1.1", "Host: " + host, *fields]
    sock.sendall(("\r\n".join(head).format(port=port) + "\r\n\r\n").encode())
    answer = b""
    while not answer.endswith(b"\r\n\r\n"):  # takes the head only: a close frame may follow at once
        peeked = sock.recv(65536, socket.MSG_PEEK)
        test.assertTrue(peeked, f"kip-web closed without an answer to {head}")
        end = (answer + peeked).find(b"\r\n\r\n")
        answer += sock.recv(len(peeked) if end < 0 else end + 4 - len(answer))
    status, *lines = answer[:-4].decode().split("\r\n")
    return int(status.split()[1]), {k.lower(): v for k, _, v in (line.partition(": ") for line in lines)}, sock


def send_text(sock, text):
    """One WebSocket text message of less than 126 bytes, masked with zeros."""
    sock.sendall(bytes([0x81, 0x80 | len(text.encode())]) + b"\0\0\0\0" + text.encode())


def logged_line(web, pattern, limit=10.0):
    """The first line of kip-web's standard error that matches PATTERN, read on as kip-web writes."""
    def found():
        if select.select([web.stderr], [], [], 0.05)[0]:
            web.errors_read += os.read(web.stderr.fileno(), 65536).decode(errors="replace")
        return re.search(pattern, web.errors_read, re.M)
    web.errors_read = getattr(web, "errors_read", "")
    return wait_until(found, limit)


def scrape(test, port, *fields):
    """/metrics, checked by promtool: its samples by name and labels."""
    status, answer, sock = ask(test, port, "/metrics", *fields)
    test.assertEqual((status, answer["content-type"]), (200, "text/plain; version=0.0.4; charset=utf-8"))
    text = sock.makefile("rb").read(int(answer["content-length"])).decode()
    try:
        checked = subprocess.run(["promtool", "check", "metrics"], input=text, capture_output=True, text=True, timeout=30)
    except FileNotFoundError:
        test.fail("no promtool (the prometheus package: scripts/deps-test.sh)")
    test.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr + text)
    return {line.rsplit(" ", 1)[0]: float(line.rsplit(" ", 1)[1]) for line in text.splitlines() if line[:1] != "#"}


def close_code(sock):
    sock.settimeout(30)  # a resolver may retry its name server for 10 s before kip-web closes
    data = b""
    while len(data) < 4:
        chunk = sock.recv(4096)
        if not chunk:
            break
        data += chunk
    return struct.unpack("!H", data[2:4])[0] if data[:1] == b"\x88" else None


class KipWebRefusesWhatItShould(unittest.TestCase):
    def setUp(self):
        stand_in = Listener("127.0.0.1", HOST_PORT)  # kipd's place: connections wait unaccepted
        stand_in.sock.listen(128)
        self.addCleanup(stand_in.close)

    def test_names_origins_token_paths_and_headers_as_counted_and_changes_recorded(self):
        path, token = new_token(self)
        missing = ("--kipd-status", os.path.join(tempfile.gettempdir(), "kip-web-test-no-such-socket"))
        webs = dict(reversed(start_web(self, *missing, *options)) for options in
                    (("--allow-host", "box.example"), ("--token-file", path),
                     ("--token-file", path, "--trusted-proxy", "127.0.0.1")))
        open_port, guarded_port, proxied_port = webs
        bad = "Authorization: Bearer " + token[::-1]
        bearer = "Authorization: Bearer " + token
        cases = [  # (kip-web, target, fields, method, Host, status, fields expected[, (request bridged, its record)])
            (open_port, "/ws", (*UPGRADE, "Origin: http://rebound.example:{port}"), "GET", "rebound.example:{port}", 421, {}),
            (open_port, "/", (), "GET", "rebound.example:{port}", 421, {}),
            (open_port, "/ws", (*UPGRADE, "Origin: http://other.example"), "GET", "127.0.0.1:{port}", 403, {}),
            (open_port, "/ws", (*UPGRADE, "Origin: null"), "GET", "127.0.0.1:{port}", 403, {}),
            (open_port, "/ws", (*UPGRADE, "Origin: http://127.0.0.1:1"), "GET", "127.0.0.1:{port}", 403, {}),
            (open_port, "/ws", (*UPGRADE, "Origin: https://box.example"), "GET", "box.example", 101, FRAMING),
            (open_port, "/ws", UPGRADE, "GET", "localhost:{port}", 101, {}),
            (open_port, "/", (), "GET", "[::1]:{port}", 200, {"content-security-policy": "default-src 'self'; "
                                                         "frame-ancestors 'none'; base-uri 'none'; form-action 'self'"}),
            (open_port, "/../../etc/passwd", (), "GET", "127.0.0.1:{port}", 404, {}),
            (open_port, "/%2e%2e/app.js", (), "GET", "127.0.0.1:{port}", 404, {}),
            (open_port, "/", ("Content-Length: 0",), "POST", "127.0.0.1:{port}", 405, {"allow": "GET, HEAD"}),
            *((open_port, "/quiet" + query, (), "GET", "127.0.0.1:{port}", 400, {})
              for query in ("?ms=-1", "?ms=abc", "?ms=5001", "?ms=99999999999999999999", "")),
            (open_port, "/quietxyz?ms=1", (), "GET", "127.0.0.1:{port}", 404, {}),
            (open_port, "/quiet?ms=0", (), "GET", "127.0.0.1:{port}", 200, {}),
            # what a lenient reader let pass: a second Host, a port beyond 65535, an unknown framing
            (open_port, "/", ("Host: rebound.example",), "GET", "127.0.0.1:{port}", 400, {}),
            (open_port, "/", (), "GET", "127.0.0.1:99999", 400, {}),
            (open_port, "/", ("Transfer-Encoding: xchunked",), "GET", "127.0.0.1:{port}", 400, {}),
            (guarded_port, "/ws", UPGRADE, "GET", "127.0.0.1:{port}", 401, {}),
            (guarded_port, "/ws", (*UPGRADE, "Cookie: other=1"), "GET", "127.0.0.1:{port}", 401, {}),
            (guarded_port, "/quiet?ms=0", (), "GET", "127.0.0.1:{port}", 401, {}),
            (guarded_port, "/app.js", (), "GET", "127.0.0.1:{port}", 200, {}),
            (guarded_port, "/ws", (*UPGRADE, "Authorization: Bearer " + token), "GET", "127.0.0.1:{port}", 101, {}),
            (guarded_port, "/ws", (*UPGRADE, "Authorization: Basic a2lwOndlYg==", f"Cookie: a=b; kip-web-token={token}"),
             "GET", "127.0.0.1:{port}", 101, {}),
            (guarded_port, "/session", ("Authorization: Bearer " + token,), "GET", "127.0.0.1:{port}", 200,
             {"set-cookie": f"kip-web-token={token}; Path=/; Max-Age=31536000; HttpOnly; SameSite=Strict"}),
            (guarded_port, "/session", ("Authorization: Bearer " + token, "X-Forwarded-Proto: https"), "GET",
             "127.0.0.1:{port}", 200, {"set-cookie": f"kip-web-token={token}; Path=/; Max-Age=31536000; HttpOnly; "
                                                     "SameSite=Strict; Secure"}),
            # a cookie of the same name set by another site comes first: every one is tried
            (guarded_port, "/ws", (*UPGRADE, f"Cookie: kip-web-token=x; kip-web-token={token}"), "GET",
             "127.0.0.1:{port}", 101, {}),
            *((guarded_port, "/ws", (*UPGRADE, bad), "GET", "127.0.0.1:{port}", 401, {}) for _ in range(5)),
            # five wrong tokens from one address: its wrong tries must wait now, the right one never
            (guarded_port, "/ws", (*UPGRADE, "Authorization: Bearer " + token), "GET", "127.0.0.1:{port}", 101, {}),
            (guarded_port, "/ws", (*UPGRADE, bad), "GET", "127.0.0.1:{port}", 429, {"retry-after": "10"}),
            # kipd's status and the metrics are guarded like the rest
            (guarded_port, "/metrics", (), "GET", "127.0.0.1:{port}", 401, {"www-authenticate": 'Bearer realm="kip-web"'}),
            (guarded_port, "/status", (), "GET", "127.0.0.1:{port}", 401, {}),
            (guarded_port, "/metrics", (bearer,), "GET", "rebound.example:{port}", 421, {}),
            (guarded_port, "/ws", (*UPGRADE, bearer, "Origin: http://other.example"), "GET", "127.0.0.1:{port}", 403, {}),
            (open_port, "/status", (), "GET", "127.0.0.1:{port}", 200, {"content-type": "application/json"}),
            # each change bridged is recorded with its client, behind the trusted proxy the one it names
            (proxied_port, "/ws", (*UPGRADE, bearer, "X-Forwarded-For: 192.0.2.7, 203.0.113.9"), "GET", "127.0.0.1:{port}",
             101, {}, (TO_LEVEL_5, rf'^kip-web: change set_tessora_info mac="{ROUTER}" client=203\.0\.113\.9 '
                                   r'token=yes via=127\.0\.0\.1:\d+$')),
            (open_port, "/ws", UPGRADE, "GET", "localhost:{port}", 101, {},
             (OWN_IP, r"^kip-web: change set_corvanet_ip_settings mac=this-box client=loopback token=no "
                      r"via=127\.0\.0\.1:\d+$")),
        ]
        for port, target, fields, method, host, status, expected, *bridged in cases:
            with self.subTest(target=target, fields=fields, host=host):
                got, answer, sock = ask(self, port, target, *fields, method=method, host=host)
                self.assertEqual(got, status)
                self.assertEqual({name: answer.get(name) for name in expected}, expected)
                if status != 101:
                    self.assertEqual({name: answer.get(name) for name in FRAMING}, FRAMING)
                for request, record in bridged:
                    send_text(sock, json.dumps(request))
                    self.assertTrue(logged_line(webs[port], record), webs[port].errors_read)

        # Every refusal of the table counted under its reason, every change bridged under its type;
        # no status socket, so kipd_up says 0 and nothing else speaks for kipd.
        for port in webs:
            metrics = scrape(self, port, bearer)
            rows = [case for case in cases if case[0] == port]
            refused = [REASONS[case[5]] for case in rows  # a bad /quiet is answered, not refused
                       if case[5] in REASONS and not (case[5] == 400 and case[1].startswith("/quiet"))]
            changes = [bridged[0]["type"] for *_, bridged in (case for case in rows if len(case) > 7)]
            self.assertEqual({reason: metrics[f'kip_web_requests_refused_total{{reason="{reason}"}}'] for reason in REASONS.values()},
                             {reason: refused.count(reason) for reason in REASONS.values()})
            self.assertEqual({kind: metrics[f'kip_web_changes_bridged_total{{type="{kind}"}}'] for kind in set(changes)},
                             {kind: changes.count(kind) for kind in set(changes)})
            self.assertEqual([name for name in metrics if name.startswith("kipd_")], ["kipd_up"])
            self.assertEqual(metrics["kipd_up"], 0)

    def test_bridges_per_client_message_bound_and_a_long_kipd_name(self):
        _, port = start_web(self)
        held = [ask(self, port, "/ws", *UPGRADE)[0] for _ in range(9)]
        self.assertEqual(held, [101] * 8 + [503])
        status, _, sock = ask(self, port, "/ws", *UPGRADE, host="localhost:{port}")
        self.assertEqual(status, 503, "every loopback address is one client")

        # Behind the trusted proxy its last X-Forwarded-For entry names the client: nine addresses of
        # one /64 are one client, the operator another, and an entry the client wrote counts for
        # nothing, nor does the header from anyone but the proxy.
        _, port = start_web(self, "--trusted-proxy", "127.0.0.2")

        def proxied(forwarded, source="127.0.0.2"):
            return ask(self, port, "/ws", *UPGRADE, "X-Forwarded-For: " + forwarded, source=source)[0]
        self.assertEqual([proxied(f"2001:db8:1:2::{n:x}") for n in range(1, 10)], [101] * 8 + [503])
        self.assertEqual([proxied("192.0.2.7, 2001:db8:1:2::a"), proxied("2001:db8:1:2::a, 192.0.2.7")], [503, 101])
        self.assertEqual([proxied("192.0.2.8", source="127.0.0.1") for _ in range(9)], [101] * 8 + [503])

        stop_one = ask(self, start_web(self)[1], "/ws", *UPGRADE)[2]
        stop_one.sendall(bytes([0x81, 0xFF]) + struct.pack("!Q", (1 << 20) + 1) + b"\0\0\0\0")
        self.assertEqual(close_code(stop_one), 1009)

        far, port = start_web(self, "--kipd", "k" * 200)
        status, _, sock = ask(self, port, "/ws", *UPGRADE)
        self.assertEqual((status, close_code(sock)), (101, 1013))
        self.assertEqual(ask(self, port)[0], 200)
        self.assertIsNone(far.poll())

    def test_idle_and_slow_connections_give_way_to_page_loads(self):
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        if hard < 1400:
            self.skipTest(f"1,200 idle connections want more than {hard} descriptors")
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
        self.addCleanup(resource.setrlimit, resource.RLIMIT_NOFILE, (soft, hard))
        web, port = start_web(self, "--trusted-proxy", "127.0.0.2", files=1024)
        idle = [socket.create_connection(("127.0.0.1", port), source_address=(source, 0))
                for source, count in (("127.0.0.2", 1100), ("127.0.0.1", 100)) for _ in range(count)]
        for sock in idle:
            self.addCleanup(sock.close)
        # Each page load comes after every idle connection in the queue, and is served.
        self.assertEqual([ask(self, port, source=source)[0] for source in ("127.0.0.1", "127.0.0.2")], [200, 200])
        self.assertLess(len(os.listdir(f"/proc/{web.pid}/fd")), 1024 - 64, "no room left for the bridges")
        self.assertGreaterEqual(scrape(self, port)["kip_web_connections_closed_for_room_total"], 2)

        slow = socket.create_connection(("127.0.0.1", port))
        self.addCleanup(slow.close)
        slow.sendall(f"GET / HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n".encode())

        def closed_after_one_more_line():
            try:
                slow.sendall(b"X-Slow: 1\r\n")
                return slow.recv(4096, socket.MSG_DONTWAIT) == b""
            except BlockingIOError:
                return False
            except ConnectionError:
                return True
        self.assertTrue(wait_until(closed_after_one_more_line, limit=20, step=1), "a head trickling in for 20 s")
        web.kill()
        errors = web.communicate(timeout=10)[1]
        self.assertNotIn("Too many open files", errors)
        refusals = re.findall(r"^kip-web: (.*?): \d+ connections at once", errors, re.M)
        self.assertEqual(sorted(refusals), ["loopback", "proxy 127.0.0.2"], "logged once per client")

    def test_a_listen_address_beyond_loopback_wants_a_token(self):
        refused = subprocess.run([KIP_WEB, "--listen", "0.0.0.0:0"], capture_output=True, text=True, timeout=10)
        self.assertEqual(refused.returncode, 1)
        self.assertIn("beyond loopback", refused.stderr)
        self.assertIn("--token-file", refused.stderr)


class KipWebOnAllAddresses(unittest.TestCase):
    """Run in a network namespace of its own, where it may give lo another address."""

    def test_an_address_names_kip_web_only_when_it_is_one_of_the_boxs_own_even_one_added_later(self):
        if os.environ.get("KIP_WEB_OWN_NAMESPACE") != "1":
            if subprocess.run(["unshare", "-n", "true"], capture_output=True).returncode != 0:
                self.skipTest("this machine lets the test make no network namespace")
            result = subprocess.run(["unshare", "-n", "sh", "-c", 'ip link set lo up && exec "$@"', "sh", sys.executable,
                                     "-m", "unittest", f"{__name__}.{type(self).__name__}"], cwd=ROOT, text=True,
                                    capture_output=True, timeout=120, env={**os.environ, "KIP_WEB_OWN_NAMESPACE": "1"})
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertIn("Ran 1 test", result.stderr)
            return
        path, token = new_token(self)
        _, port = start_web(self, "--token-file", path, listen="0.0.0.0:0")
        bearer = "Authorization: Bearer " + token
        self.assertEqual(ask(self, port, host="192.0.2.1:{port}")[0], 421)
        self.assertEqual(ask(self, port, "/ws", *UPGRADE, bearer, "Origin: http://192.0.2.1:{port}")[0], 403)
        self.assertEqual(ask(self, port, host="127.0.0.2:{port}")[0], 200)
        subprocess.run(["ip", "address", "add", "192.0.2.1/32", "dev", "lo"], check=True)
        self.assertTrue(wait_until(lambda: ask(self, port, host="192.0.2.1:{port}")[0] == 200))
        self.assertEqual(ask(self, port, "/ws", *UPGRADE, bearer, "Origin: http://192.0.2.1:{port}")[0], 101)


class KipWebInChromium(unittest.TestCase):
    def drive(self, sim, token, *arguments):
        """Runs drive_page.js, stopping and starting the simulator when it asks: its exit status and errors."""
        node = subprocess.Popen(["node", DRIVE_PAGE, *arguments], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True, cwd=ROOT, env={**os.environ, "KIP_WEB_TOKEN": token})
        self.addCleanup(stop, node)
        while select.select([node.stdout], [], [], 120)[0] and (line := node.stdout.readline()):
            if line == "stop-simulator\n":
                sim.stop()
            elif line == "start-simulator\n":
                sim = Simulator(NETWORK)
                self.addCleanup(sim.stop)
            node.stdin.write("done\n")
            node.stdin.flush()
        return node.wait(timeout=10), node.stderr.read()

    def test_devices_listed_router_joins_kipds_error_shown_bad_json_closes_and_the_daemon_lost_and_back(self):
        status = status_socket(self.addCleanup)
        sim, _ = serve(self.addCleanup, NETWORK, env=status)
        path, token = new_token(self)
        kip_web, port = start_web(self, "--token-file", path, "--kipd-status", status["KIPD_STATUS_SOCKET"])
        bearer = "Authorization: Bearer " + token
        metrics = scrape(self, port, bearer)
        self.assertEqual([metrics[name] for name in ("kipd_up", 'kipd_confd_link_up{link="main"}',
                                                     'kipd_confd_link_up{link="direct"}')], [1, 1, 1])
        with open(NETWORK, encoding="utf-8") as handle:
            network = json.load(handle)
        hostnames = [box["ip_settings"]["hostname"] for box in (network["this_box"], *network["devices"])]
        exit_status, errors = self.drive(sim, token, f"http://127.0.0.1:{port}/", *hostnames)
        self.assertEqual(exit_status, 0, errors + "(chromium and puppeteer-core: scripts/deps-test.sh)")
        # Who added the router: kipd names kip-web's connection, kip-web's record the browser behind it.
        change = [change for change in read_status(status)["changes"] if change["type"] == "set_tessora_info"][0]
        self.assertEqual((change["mac"], change["result"]), (ROUTER, "ok"))
        via = re.escape(change["client"])
        self.assertTrue(logged_line(kip_web, rf'^kip-web: change set_tessora_info mac="{ROUTER}" client=loopback '
                                             rf'token=yes via={via}$'), kip_web.errors_read)

    def test_a_page_of_another_site_posting_to_kipds_port_leaves_the_box_as_it_was(self):
        sim, kipd = serve(self.addCleanup, NETWORK)
        rename = {"type": "set_corvanet_ip_settings", "ip_address": "192.168.10.121", "subnet_mask": "255.255.255.0",
                  "default_gateway": "192.168.10.1", "hostname": "renamed-by-a-page"}
        result = subprocess.run(["node", DRIVE_PAGE, "--post-to-kipd", json.dumps(rename)], capture_output=True,
                                text=True, timeout=120, cwd=ROOT)
        self.assertEqual(result.returncode, 0, result.stderr + "(chromium and puppeteer-core: scripts/deps-test.sh)")
        record = re.compile(rb'^LOG 3 \S+ "[^\n]*127\.0\.0\.1:\d+[^\n]*disconnected: an HTTP request', re.M)

        def written():
            kipd.error_file.seek(0)
            return record.search(kipd.error_file.read())

        def renamed():
            return [(link, msg, to) for link, msg, to, body in sim.received("link", "msg", "to", "body")
                    if "renamed-by-a-page" in str(body)]
        wait_until(lambda: written() or renamed(), limit=LIMIT)
        self.assertEqual(renamed(), [], "the page renamed the box")
        client = HostClient()
        self.addCleanup(client.close)
        self.assertEqual(client.ask({"type": "get_corvanet_ip_settings"}).get("hostname"), "kdrtn-studio-a")
        self.assertTrue(written(), "no level-3 record of the HTTP request with the client's address")
