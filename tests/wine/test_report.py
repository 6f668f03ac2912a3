"""Whole runs of the program: the service, the adapters, the configuration file beside the program and
the recording server in the namespace, and what the server saw."""

import rig
from certificates import TRUSTED, TestCertificates
from server import RecordingServer, Reply
from server import management_server as stand_in

A, B, C = "00:1a:2b:3c:4d:5e", "00:1a:2b:3c:4d:5f", "00:1a:2b:3c:4d:60"
TEXT = {A: "00-1A-2B-3C-4D-5E", B: "00-1A-2B-3C-4D-5F", C: "00-1A-2B-3C-4D-60", "tun": "00-00-00-00-00-00"}
# More adapters than the fixed adapter area holds in either layout (14 records of x64's, 16 of x86's).
MANY = [f"00:1a:2b:3c:4e:{n:02x}" for n in range(20)]
TEXT.update({kind: kind.upper().replace(":", "-") for kind in MANY})

CONNECT = "/Quorvex/connect_check.php"
REGISTER = "/Quorvex/register_check.php"
MESSAGE = "/Quorvex/message_post.php"
LOCAL = rig.LOCAL_CONFIG
# HostAddress at the longest the program takes: 511 bytes.
LONGEST_ADDRESS = b"127.0.0.1/" + b"p" * (511 - len(b"127.0.0.1/"))


def register(kind, base=""):
    return (base + REGISTER, b"m=" + TEXT[kind].encode())


def message(kind, base=""):
    return (base + MESSAGE, b"m=" + TEXT[kind].encode() + b"&d=SERVICE PROGRAM UNINSTALLED !!")


def management_server(registered=(), **answers):
    """The stand-in server, knowing the adapters of the given kinds as registered."""
    return stand_in([TEXT[kind] for kind in registered], **answers)


# What a busy machine may add to a deadline that ends the run: the program's end, and Wine's after it.
EXIT_SLACK = 5.0


class ReportTest(rig.WineTestCase):
    def whole_run(self, adapters=(A,), config=LOCAL, respond=None, service=("--stop-at-once",), serving=None,
                  **placing):
        """Runs the program with all of it in place, the server listening as `serving` says (port 80 by
        default); checks the console, the status and that the service is gone; returns what the server saw
        as (path, body) pairs."""
        self.use_adapters(*adapters)
        self.wine.remove_service_if_installed()  # one case's leftover must not spoil the next
        log = self.wine.install_service(list(service))
        with RecordingServer(respond or management_server(), **(serving or {})) as server:
            result = self.run_uninstaller(config=config, **placing)
        self.last_run = result
        self.assertQuietRun(result)
        self.assertEqual(self.wine.state_once_settled(), ("error", rig.ERROR_SERVICE_DOES_NOT_EXIST),
                         f"controls {self.wine.controls_received(log)}, run {result.elapsed:.2f} s")
        self.last_requests = server.requests
        return server.paths_and_bodies()

    def test_typical_run(self):
        seen = self.whole_run(adapters=(A, B), respond=management_server(registered=[B]),
                              service=("--stop-after", "500"))
        self.assertEqual(seen, [(CONNECT, b""), register(A), register(B), message(B)])
        self.assertEqual({request.header("User-Agent") for request in self.last_requests},
                         {"ZelmarisHTTPRequest"})

    def test_adapters_tried_in_order_until_one_is_registered(self):
        cases = [
            ("second of three registered", (A, B, C), [B], [register(A), register(B), message(B)]),
            ("first registered", (A, B), [A], [register(A), message(A)]),
            ("none registered", (A, B, C), [], [register(A), register(B), register(C)]),
            ("all-zero first stands in for the last", ("tun", A, B), [], [register(B), register(A), register(B)]),
            ("all-zero alone", ("tun",), ["tun"], [register("tun"), message("tun")]),
            ("no adapter at all", (), [A], []),
        ]
        for name, adapters, registered, expected in cases:
            with self.subTest(name):
                seen = self.whole_run(adapters=adapters, respond=management_server(registered=registered))
                self.assertEqual(seen, [(CONNECT, b"")] + expected)

    def test_configuration_file(self):
        long_base = "/quorvex-management/endpoints/uninstall/v2"
        cases = [
            ("keys in any case", b"[CONFIGURATION]\nhostaddress=127.0.0.1\n", "127.0.0.1", ""),
            ("value of 46 bytes used whole",
             b"[Configuration]\nHostAddress=127.0.0.1/abcdefghijklmnopqrstuvwxyz0123456789\n", "127.0.0.1",
             "/abcdefghijklmnopqrstuvwxyz0123456789"),
            ("base path", b"[Configuration]\nHostAddress=http://127.0.0.1/admin\n", "127.0.0.1", "/admin"),
            ("trailing slash", b"[Configuration]\nHostAddress=127.0.0.1/\n", "127.0.0.1", ""),
            ("other entries around it", b"; managed\n[Other]\nHostAddress=10.1.2.3\n[Configuration]\n"
                                        b"Port=8080\nHostAddress = 127.0.0.1\n", "127.0.0.1", ""),
            # As enterprises name their servers: a 46-byte address, and a 51-byte one.
            ("fully qualified host name",
             f"[Configuration]\nHostAddress=http://{rig.LONG_SERVER_NAME}/quorvex\n".encode(), rig.LONG_SERVER_NAME,
             "/quorvex"),
            ("long base path", f"[Configuration]\nHostAddress=127.0.0.1{long_base}\n".encode(), "127.0.0.1", long_base),
            ("the longest value", b"[Configuration]\nHostAddress=" + LONGEST_ADDRESS + b"\n", "127.0.0.1",
             LONGEST_ADDRESS[len(b"127.0.0.1"):].decode()),
        ]
        for name, config, host, base in cases:
            with self.subTest(name):
                seen = self.whole_run(config=config, respond=management_server(registered=[A]))
                self.assertEqual(seen, [(base + CONNECT, b""), register(A, base), message(A, base)])
                self.assertEqual({request.header("Host") for request in self.last_requests}, {host})

    def test_file_found_whatever_the_case_of_its_folder_and_name(self):
        seen = self.whole_run(config=LOCAL, folder="Tools Folder/QRVX", exe_name="QRVXSUNINSTALL.EXE",
                              config_name="QrvxConfig.INI", respond=management_server(registered=[A]))
        self.assertEqual(seen, [(CONNECT, b""), register(A), message(A)])

    def test_without_a_usable_host_address_nothing_is_reported(self):
        # The default 0.0.0.0 reaches this namespace's own loopback under Linux, so the one connect
        # check can be seen arriving there; on Windows it fails to connect at all.
        cases = [
            ("no file", None),
            ("no section", b"[Settings]\nHostAddress=127.0.0.1\n"),
            ("no key", b"[Configuration]\nHost=127.0.0.1\n"),
            ("empty file", b""),
            ("binary file", bytes(range(256)) * 4),
        ]
        for name, config in cases:
            with self.subTest(name):
                seen = self.whole_run(config=config, respond=management_server(connect=b"NO"))
                hosts = [request.header("Host") for request in self.last_requests]
                self.assertEqual((seen, hosts), ([(CONNECT, b"")], ["0.0.0.0"]))

    def test_whole_report_over_tls(self):
        name = rig.LONG_SERVER_NAME
        certificates = TestCertificates(self.wine.work / "certificates", name)
        self.wine.trust(certificates)
        seen = self.whole_run(config=f"[Configuration]\nHostAddress=https://{name}/quorvex\n".encode(),
                              respond=management_server(registered=[A]),
                              serving={"port": 443, "tls": certificates.server(TRUSTED)})
        base = "/quorvex"
        self.assertEqual(seen, [(base + CONNECT, b""), register(A, base), message(A, base)])
        self.assertEqual({request.header("Host") for request in self.last_requests}, {name})
        [(kind, event_id, text)] = self.last_run.events
        self.assertEqual((kind, event_id), (rig.EVENT_INFORMATION, 100), text)

    def test_upper_case_scheme_reaches_no_server(self):
        seen = self.whole_run(config=b"[Configuration]\nHostAddress=HTTP://127.0.0.1\n")
        self.assertEqual(seen, [])

    def test_value_too_long_is_refused_whole(self):
        # Cut to what fits, it would still name this server, under another path.
        seen = self.whole_run(config=b"[Configuration]\nHostAddress=" + LONGEST_ADDRESS + b"p\n")
        self.assertEqual(seen, [])

    def test_server_replies(self):
        registered = [B]
        cases = [
            ("connect with a byte-order mark", {"connect": b"\xef\xbb\xbfCONNECTED"},
             [(CONNECT, b""), register(A), register(B), message(B)]),
            ("connect with a line end", {"connect": b"CONNECTED\r\n"}, [(CONNECT, b"")]),
            ("connect with a space", {"connect": b"CONNECTED "}, [(CONNECT, b"")]),
            ("connect in lower case", {"connect": b"connected"}, [(CONNECT, b"")]),
            ("connect as an error page", {"connect": b"<html>500</html>"}, [(CONNECT, b"")]),
            ("registered with a space", {"register_yes": b"REGISTERED "},
             [(CONNECT, b""), register(A), register(B)]),
        ]
        for name, answers, expected in cases:
            with self.subTest(name):
                seen = self.whole_run(adapters=(A, B), respond=management_server(registered, **answers))
                self.assertEqual(seen, expected)

    def test_server_that_is_silent_or_absent(self):
        seen = self.whole_run(respond=lambda request: Reply(close=True))
        self.assertEqual(seen, [(CONNECT, b"")])

        self.use_adapters(A)
        self.wine.install_service(["--stop-at-once"])
        result = self.run_uninstaller(config=LOCAL)  # nothing listens on port 80
        self.assertQuietRun(result)
        self.assertEqual(self.wine.state_once_settled(), ("error", rig.ERROR_SERVICE_DOES_NOT_EXIST))

    def held_by_the_server(self):
        """Seconds from the first request's arrival to the program's end: the part of the run that the
        program's own deadlines bound, without Wine's start and the service's removal, which grow with the
        load on the machine."""
        return self.last_run.ended - self.last_requests[0].arrived

    def test_slow_server_holds_no_exchange_past_its_bound(self):
        slow_body = Reply(b"REGISTERED" * 100, drip="body")
        # The last column: whether the exchange's thread is still inside WinINet when the run ends, so that
        # the process ends by TerminateProcess: after the 30 s receive time-out it is not; with headers
        # still coming it is; with the body, it may be in its last read or not.
        cases = [
            ("silent after accepting", (A,), lambda request: Reply(stall=True), [(CONNECT, b"")], False),
            ("headers one byte every 2 s", (A,), lambda request: Reply(b"CONNECTED", drip="head"),
             [(CONNECT, b"")], True),
            ("body one byte every 2 s", (A, B),
             lambda request: slow_body if request.path == REGISTER else Reply(b"CONNECTED"),
             [(CONNECT, b""), register(A)], None),
        ]
        for name, adapters, respond, expected, terminated in self.chosen(cases):
            with self.subTest(name):
                seen = self.whole_run(adapters=adapters, respond=respond, timeout=110, trace=True)
                held = self.held_by_the_server()
                print(f"{name}: the program ran {self.last_run.elapsed:.1f} s, {held:.1f} s of it from the first "
                      "request")
                # No exchange outlives its 80 s deadline.
                self.assertLess(held, 80.0 + EXIT_SLACK)
                self.assertEqual(seen, expected, "no exchange after the slow one")
                if terminated is not None:
                    ended = any(call[3] == "TerminateProcess" for call in self.last_run.calls)
                    self.assertEqual(ended, terminated, "how the process ended")

    def test_every_adapter_of_a_machine_with_many_is_asked_about(self):
        seen = self.whole_run(adapters=MANY, respond=management_server(registered=[MANY[17]]))
        self.assertEqual(seen, [(CONNECT, b"")] + [register(kind) for kind in MANY[:18]] + [message(MANY[17])])

    def test_server_that_stops_answering_cannot_hold_the_report(self):
        # Each registration check would wait out the 30 s receive time-out: five of them, 150 s, are more
        # than the report's 120 s may take.
        adapters = MANY[:5]
        silent = lambda request: Reply(b"CONNECTED") if request.path == CONNECT else Reply(stall=True)
        seen = self.whole_run(adapters=adapters, respond=silent, timeout=150)
        held = self.held_by_the_server()
        print(f"silent after the connect check: the program ran {self.last_run.elapsed:.1f} s, {held:.1f} s of it "
              f"from the first request, {len(seen) - 1} checks")
        self.assertLess(held, 120.0 + EXIT_SLACK)
        self.assertGreater(len(seen), 1, "no registration check was asked")
        self.assertEqual(seen, [(CONNECT, b"")] + [register(kind) for kind in adapters[:len(seen) - 1]])


if __name__ == "__main__":
    rig.run(globals())
