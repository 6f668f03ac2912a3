"""The HTTP client on the real platform: Wine's WinINet against the recording server."""

import rig
from certificates import EXPIRED, OTHER_NAME, SELF_SIGNED, TRUSTED, TestCertificates
from server import RecordingServer, Reply

FORM = b"m=00-1A-2B-3C-4D-5E&d=SERVICE PROGRAM UNINSTALLED !!"
# What the client says of an exchange (ExchangeOutcome).
FAILED, ANSWERED = 2, 3


class TransportTest(rig.WineTestCase):
    def post(self, address="127.0.0.1", path="Quorvex/connect_check.php", body="", said=None):
        """One SendPost through the probe; returns (connected, reply bytes, peak working set in KiB). With
        `said`, a list, appends what the client says came of the exchange: (outcome, WinINet's code)."""
        result = self.wine.run(self.wine.place("probe", self.wine.program("qrvxprobe.exe")),
                               ["post", address, path, body], timeout=60)
        self.assertEqual(result.returncode, 0, (result.stdout, result.stderr))
        fields = dict(line.split(" ", 1) if " " in line else (line, "")
                      for line in result.stdout.decode().splitlines())
        if said is not None:
            outcome, _, error = fields["outcome"].split()
            said.append((int(outcome), int(error)))
        return fields["connected"] == "1", bytes.fromhex(fields["reply"]), int(fields.get("peak_kib", 0))

    def test_request_as_sent(self):
        with RecordingServer(lambda request: Reply(b"TRUE")) as server:
            connected, reply, _ = self.post(path="Quorvex/message_post.php", body=FORM.decode())
        self.assertTrue(connected)
        self.assertEqual(reply, b"TRUE")
        [request] = server.requests
        self.assertEqual((request.method, request.path), ("POST", "/Quorvex/message_post.php"))
        self.assertEqual(request.header("User-Agent"), "ZelmarisHTTPRequest")
        # Wine's WinINet drops the header's trailing space on the wire; the unit tests hold the exact text.
        self.assertEqual(request.header("Content-Type").rstrip(), "application/x-www-form-urlencoded;")
        self.assertEqual(request.body, FORM)

    def test_request_path_under_the_base_path(self):
        cases = [
            ("127.0.0.1", "Quorvex/connect_check.php", "/Quorvex/connect_check.php"),
            ("http://127.0.0.1/admin", "Quorvex/connect_check.php", "/admin/Quorvex/connect_check.php"),
            ("127.0.0.1/app/", "/Quorvex/register_check.php", "/app/Quorvex/register_check.php"),
            ("127.0.0.1/", "Quorvex/connect_check.php", "/Quorvex/connect_check.php"),
            ("localhost/a/b", "Quorvex/x.php", "/a/b/Quorvex/x.php"),
        ]
        for address, relative, expected in cases:
            with self.subTest(address=address), RecordingServer() as server:
                self.post(address, relative)
                self.assertEqual([request.path for request in server.requests], [expected])

    def test_upper_case_scheme_is_refused(self):
        # Only "http://" and "https://", in lower case, are schemes: "HTTP:" would be a host with an empty
        # port, and the address is refused whole. Nothing arrives.
        with RecordingServer(lambda request: Reply(b"CONNECTED")) as server:
            connected, reply, _ = self.post("HTTP://127.0.0.1")
        self.assertEqual(reply, b"")
        self.assertEqual(server.requests, [])
        self.assertFalse(connected)

    def test_tls_and_ports(self):
        # The test CA is a trusted root of this machine, as an internal CA's is by Group Policy; the server
        # name reaches 127.0.0.1 in this namespace.
        name = rig.LONG_SERVER_NAME
        certificates = TestCertificates(self.wine.work / "certificates", name)
        self.wine.trust(certificates)
        plain = None
        cases = [
            # (case, address, the server's port, its certificate (None: plain HTTP), whether it is answered)
            ("certificate from the trusted CA", f"https://{name}/q", 443, TRUSTED, True),
            ("self-signed certificate", f"https://{name}/q", 443, SELF_SIGNED, False),
            ("certificate for another name", f"https://{name}/q", 443, OTHER_NAME, False),
            ("expired certificate", f"https://{name}/q", 443, EXPIRED, False),
            ("plain HTTP on port 443", f"https://{name}/q", 443, plain, False),
            ("TLS on another port", f"https://{name}:8443/q", 8443, TRUSTED, True),
            ("plain HTTP on another port", "http://127.0.0.1:8080/q", 8080, plain, True),
            ("no scheme, another port", "127.0.0.1:8080/q", 8080, plain, True),
        ]
        for case, address, port, kind, answered in self.chosen(cases):
            with self.subTest(case):
                tls = certificates.server(kind) if kind is not None else None
                said = []
                with RecordingServer(lambda request: Reply(b"TRUE"), port=port, tls=tls) as server:
                    connected, reply, _ = self.post(address, "Quorvex/message_post.php", FORM.decode(), said)
                [(outcome, error)] = said
                print(f"{case}: outcome {outcome}, WinINet error {error}")
                self.assertTrue(connected)
                if answered:
                    self.assertEqual((reply, outcome), (b"TRUE", ANSWERED))
                    self.assertEqual(server.paths_and_bodies(), [("/q/Quorvex/message_post.php", FORM)])
                    continue
                # The client reached the server and refused it before it sent anything: no request arrived,
                # and the client names WinINet's code.
                self.assertEqual((reply, server.requests), (b"", []))
                self.assertEqual(outcome, FAILED)
                self.assertTrue(12000 <= error < 13000, error)
                self.assertGreater(server.connections, 0, "the client never came")

    def test_reply_bodies(self):
        cases = [
            ("utf-8 mark removed", Reply(b"\xef\xbb\xbfCONNECTED"), b"CONNECTED"),
            ("utf-16 BE mark removed", Reply(b"\xfe\xffOK"), b"OK"),
            ("chunks joined", Reply(chunks=[b"CONN", b"ECT", b"ED"]), b"CONNECTED"),
            ("status ignored", Reply(b"REGISTERED", status=500), b"REGISTERED"),
            ("error page kept", Reply(b"<h1>Not Found</h1>", status=404), b"<h1>Not Found</h1>"),
            ("empty body", Reply(b""), b""),
            ("line end kept", Reply(b"CONNECTED\r\n"), b"CONNECTED\r\n"),
            ("binary cut at NUL", Reply(b"AB\x00CD"), b"AB"),
            ("no reply at all", Reply(close=True), b""),
            ("64 KiB kept whole", Reply(b"y" * 65536), b"y" * 65536),
            ("past 64 KiB dropped", Reply(b"y" * 65537), b""),
        ]
        for name, answer, expected in cases:
            with self.subTest(name), RecordingServer(lambda request, answer=answer: answer):
                self.assertEqual(self.post()[1], expected)

    def test_server_that_never_answers_is_given_up_on(self):
        probe = self.wine.place("probe", self.wine.program("qrvxprobe.exe"))
        with RecordingServer(lambda request: Reply(stall=True)) as server:
            result = self.wine.run(probe, ["post", "127.0.0.1", "Quorvex/connect_check.php", ""], timeout=90)
        self.assertIn(b"reply \r\n", result.stdout)
        [request] = server.requests
        self.assertIsNotNone(request.client_gone, "the connection was still open when the probe had ended")
        # The receive time-out is 30 seconds, counted from the request's arrival to the client's close, so
        # that Wine's start under load is not in it; a busy machine may add a little to the close. Without
        # the time-out, Wine's WinINet would wait for ever.
        waited = request.client_gone - request.arrived
        print(f"never answered: the client gave up after {waited:.2f} s; the probe ran {result.elapsed:.2f} s")
        self.assertGreaterEqual(waited, 29.0)
        self.assertLess(waited, 35.0)

    def test_endless_body_is_cut_off_promptly_in_little_memory(self):
        with RecordingServer(lambda request: Reply(b"CONNECTED")):
            _, _, baseline_kib = self.post()
        with RecordingServer(lambda request: Reply(endless=True)) as server:
            connected, reply, peak_kib = self.post()
            sent = server.sent_body_bytes
        print(f"endless body: {sent} bytes sent, peak {peak_kib} KiB against {baseline_kib} KiB")
        self.assertTrue(connected)
        self.assertEqual(reply, b"")
        self.assertLess(peak_kib - baseline_kib, 8 * 1024, "reply memory grew with the body")
        self.assertLess(sent, 64 * 1024 * 1024, "the client kept reading")


if __name__ == "__main__":
    rig.run(globals())
