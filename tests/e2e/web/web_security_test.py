"""velk-web against hostile callers: the real program over HTTP."""
import grp
import http.client
import os
import socket
import ssl
import stat
import subprocess
import time
import unittest

import web_fixture as fx

GUARDED = ["/", "/status", "/calls", "/find", "/find?run=1", "/find.csv", "/reports", "/load",
           "/static/velk.js", "/chart.js/chart.min.js", "/api/status", "/api/newest",
           "/api/calls", "/api/report?by=hour", "/nothing-here"]
HOSTILE = "<b>'\"&x"  # 9 characters: ':' goes after the 3rd, 5th and 7th when shown


class WebSecurity(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.base = fx.Base(web_lines=["MetricsFrom=127.0.0.1"])
        cls.base.store([fx.call_text(1, "0612345", "<script>x"), fx.call_text(2, "0699", HOSTILE)])
        cls.web = fx.Web(cls.base)

    @classmethod
    def tearDownClass(cls):
        cls.log = cls.web.stop()
        cls.base.remove()

    def test_every_route_is_refused_without_a_live_session(self):
        _, token, _ = self.web.login()
        tampered = token[:-1] + ("0" if token[-1] != "0" else "1")
        _, ended, _ = self.web.login()
        status, _, _ = self.web.request("POST", "/logout", "", cookie=ended)
        self.assertEqual(status, 303)
        for cookie in (None, tampered, ended, "x" * 64):
            for path in GUARDED:
                status, headers, body = self.web.request("GET", path, cookie=cookie)
                if path.startswith("/api/"):
                    self.assertEqual(status, 401, path)
                else:
                    self.assertEqual((status, headers.get("Location")), (303, "/login"), path)
                self.assertNotIn(b"0612345", body, path)
            status, _, _ = self.web.request("POST", "/logout", "", cookie=cookie)
            self.assertEqual(status, 401)
        self.assertEqual(self.web.request("GET", "/status", cookie=token)[0], 200)

    def test_record_texts_are_shown_as_text(self):
        _, token, _ = self.web.login()
        for path in ("/calls", "/find?run=1"):
            status, headers, body = self.web.request("GET", path, cookie=token)
            self.assertEqual(status, 200, path)
            self.assertIn(b"<td>&lt;sc:ri:pt:&gt;x</td>", body, path)
            self.assertIn(b"<td>&lt;b&gt;:&#39;&quot;:&amp;x</td>", body, path)
            self.assertNotIn(b"<sc:", body, path)
            self.assertNotIn(b"<b>:", body, path)
            self.assertIn("script-src 'self';", headers["Content-Security-Policy"])
        status, headers, body = self.web.request("GET", "/api/calls", cookie=token)
        self.assertEqual(headers["Content-Type"], "application/json")
        self.assertIn(b'"<b>:\'\\":&x"', body)

    def test_paths_cannot_leave_the_served_folder(self):
        _, token, _ = self.web.login()
        for path in ("/chart.js/../../../../etc/passwd", "/chart.js/..%2f..%2f..%2f..%2fetc%2fpasswd",
                     "/chart.js/%2e%2e/%2e%2e/%2e%2e/etc/passwd", "/static/../../etc/passwd",
                     "/chart.js//etc/passwd", "/chart.js/.%2e/chart.js/chart.min.js"):
            # Sent as written: no client tidies the path up.
            with socket.create_connection(("127.0.0.1", self.web.port), timeout=10) as s:
                s.sendall(("GET %s HTTP/1.1\r\nHost: x\r\nCookie: velk_session=%s\r\n"
                           "Connection: close\r\n\r\n" % (path, token)).encode())
                answer = b""
                while True:
                    piece = s.recv(65536)
                    if not piece:
                        break
                    answer += piece
            self.assertTrue(answer.startswith(b"HTTP/1.1 404"), (path, answer[:80]))
            self.assertNotIn(b"root:", answer, path)
        self.assertEqual(self.web.request("GET", "/chart.js/chart.min.js", cookie=token)[0], 200)

    def test_oversized_requests_are_refused(self):
        status, _, _ = self.web.request("POST", "/login", "user=alice&password=" + "x" * 200000)
        self.assertEqual(status, 413)
        status, _, _ = self.web.request("GET", "/login", headers={"X-Big": "y" * 100000})
        self.assertIn(status, (413, 431))
        many = {"X-H%d" % i: "1" for i in range(100)}
        status, _, _ = self.web.request("GET", "/login", headers=many)
        self.assertEqual(status, 431)
        self.assertEqual(self.web.request("GET", "/login")[0], 200)

    def test_two_hundred_idle_connections_do_not_hold_the_server(self):
        idle = [socket.create_connection(("127.0.0.1", self.web.port), timeout=10)
                for _ in range(200)]
        idle[0].sendall(b"GET /login HTTP/1.1\r\nHost: x\r\n")  # and one that never ends
        try:
            started = time.monotonic()
            status, _, _ = self.web.request("GET", "/login")
            self.assertEqual(status, 200)
            self.assertLess(time.monotonic() - started, 5)
        finally:
            for s in idle:
                s.close()

    def test_wrong_passwords_slow_the_address_down(self):
        source = "127.0.0.9"
        for _ in range(3):
            self.assertEqual(self.web.login(password="wrong", source=source)[0], 401)
        status, token, _ = self.web.login(source=source)
        self.assertEqual((status, token), (429, ""))
        self.assertEqual(self.web.login(source="127.0.0.10")[0], 303)  # another address
        time.sleep(1.1)
        self.assertEqual(self.web.login(source=source)[0], 303)

    def test_metrics_only_from_the_allowed_addresses(self):
        status, _, body = self.web.request("GET", "/metrics", source="127.0.0.2")
        self.assertEqual(status, 403)
        self.assertNotIn(b"velk_", body)
        status, headers, body = self.web.request("GET", "/metrics", source="127.0.0.1")
        self.assertEqual(status, 200)
        self.assertTrue(headers["Content-Type"].startswith("text/plain; version=0.0.4"))


class WebStart(unittest.TestCase):
    def test_plain_http_only_on_loopback_unless_the_settings_allow_it(self):
        base = fx.Base()
        try:
            refused = subprocess.run([fx.BIN + "/velk-web", "--dir", base.dir, "--listen",
                                      "0.0.0.0:8081"], env=fx.ENV, capture_output=True, timeout=20)
            self.assertEqual(refused.returncode, 2)
            self.assertIn(b"plain HTTP is only served on loopback", refused.stderr)
        finally:
            base.remove()

    def test_https_with_the_settings_certificate_and_a_secure_cookie(self):
        base = fx.Base(web_lines=["Certificate=web.pem", "Key=web.key",
                                  "Listen=0.0.0.0:8443"])
        try:
            subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                            "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj",
                            "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                            "-keyout", base.dir + "/web.key", "-out", base.dir + "/web.pem"],
                           check=True, capture_output=True)
            web = subprocess.Popen([fx.BIN + "/velk-web", "--dir", base.dir], env=fx.ENV,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            try:
                context = ssl.create_default_context(cafile=base.dir + "/web.pem")
                for _ in range(200):
                    try:
                        connection = http.client.HTTPSConnection("127.0.0.1", 8443, timeout=10,
                                                                 context=context)
                        connection.request("POST", "/login", body="user=alice&password=right+horse",
                                           headers={"Content-Type":
                                                    "application/x-www-form-urlencoded"})
                        break
                    except OSError:
                        time.sleep(0.05)
                response = connection.getresponse()
                self.assertEqual(response.status, 303)
                cookie = response.getheader("Set-Cookie")
                self.assertTrue(cookie.endswith("; HttpOnly; SameSite=Strict; Max-Age=1800; Secure"),
                                cookie)
                self.assertIn("max-age", response.getheader("Strict-Transport-Security"))
                connection.close()
                # Plain HTTP to the TLS port gets no page.
                plain = http.client.HTTPConnection("127.0.0.1", 8443, timeout=10)
                with self.assertRaises((http.client.HTTPException, OSError)):
                    plain.request("GET", "/login")
                    plain.getresponse().read()
            finally:
                web.terminate()
                web.wait(timeout=20)
        finally:
            base.remove()

    def test_accounts_file_is_readable_by_the_directory_group_only(self):
        base = fx.Base()
        try:
            os.remove(base.dir + "/velk-web.users")
            os.chown(base.dir, -1, grp.getgrnam("users").gr_gid)
            base.add_user("bob", "first")
            base.add_user("carol", "second")
            base.add_user("bob", "third")
            info = os.stat(base.dir + "/velk-web.users")
            self.assertEqual(stat.S_IMODE(info.st_mode), 0o640)
            self.assertEqual(info.st_gid, grp.getgrnam("users").gr_gid)
            with open(base.dir + "/velk-web.users") as f:
                lines = f.read().splitlines()
            self.assertEqual([l.split(":")[0] for l in lines], ["bob", "carol"])
            self.assertTrue(lines[0].startswith("bob:$y$"))
            self.assertNotIn("third", "".join(lines))
            web = fx.Web(base, port=8083)
            self.assertEqual(web.login("bob", "first")[0], 401)
            self.assertEqual(web.login("bob", "third")[0], 303)
            web.stop()
        finally:
            base.remove()

    def test_logins_are_logged_and_passwords_never(self):
        base = fx.Base()
        web = fx.Web(base, port=8082)
        web.login(password="Tr0ub4dor-wrong")
        web.login()
        log = web.stop()
        base.remove()
        self.assertIn("login refused: alice from 127.0.0.1", log)
        self.assertIn("login: alice from 127.0.0.1", log)
        self.assertNotIn("Tr0ub4dor", log)
        self.assertNotIn("right horse", log)


if __name__ == "__main__":
    unittest.main(verbosity=2)
