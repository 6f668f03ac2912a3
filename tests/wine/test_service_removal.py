"""The service's removal by the real program, through Wine's Service Control Manager."""

import time

import rig
from rig import ERROR_SERVICE_DOES_NOT_EXIST, STOP_PENDING

CONTROL_STOP = 1
GONE = ("error", ERROR_SERVICE_DOES_NOT_EXIST)


class ServiceRemovalTest(rig.WineTestCase):
    def test_running_service_that_stops_is_stopped_once_and_deleted(self):
        log = self.wine.install_service(["--stop-after", "1500"])
        result = self.run_uninstaller(args=["/?", "--keep", "-x", "QUORVEX$TARNIKE"])
        self.assertQuietRun(result)
        self.assertEqual(self.wine.state_once_settled(), GONE)
        self.assertEqual(self.wine.controls_received(log).count(CONTROL_STOP), 1)
        self.assertGreaterEqual(result.elapsed, 1.5, "returned before the service had stopped")

    def test_stopped_service_is_deleted(self):
        self.wine.install_service(["--stop-at-once"], start=False)
        result = self.run_uninstaller()
        self.assertQuietRun(result)
        self.assertEqual(self.wine.state_once_settled(), GONE)

    def test_no_service_changes_nothing(self):
        for args in ([], ["uninstall"], ["-s", "QUORVEX$TARNIKE", "\u00e9"]):
            with self.subTest(args=args):
                self.assertQuietRun(self.run_uninstaller(args=args))
                self.assertEqual(self.wine.state_once_settled(), GONE)

    def test_service_that_stops_at_once_costs_no_sleep(self):
        log = self.wine.install_service(["--stop-at-once"])
        result = self.run_uninstaller(trace_sleeps=True)
        self.assertQuietRun(result)
        self.assertEqual(self.wine.state_once_settled(), GONE)
        self.assertEqual(self.wine.controls_received(log).count(CONTROL_STOP), 1)
        # One poll interval would be a whole second on its own.
        self.assertLess(result.seconds_slept(), 1.0, result.sleeps)

    def test_service_already_stopping_is_waited_for_and_deleted(self):
        # Someone asked it to stop a moment earlier, and it takes a while: it can take no control meanwhile.
        # 12 s, well within the program's 29 s, so that the rig's own look at the state cannot miss it.
        log = self.wine.install_service(["--stop-after", "12000"])
        asked = time.monotonic()
        self.wine.ask_to_stop()
        started = time.monotonic()
        result = self.run_uninstaller(timeout=60)
        self.assertQuietRun(result)
        self.assertEqual(self.wine.state_once_settled(within=1.0), GONE)
        self.assertEqual(self.wine.controls_received(log).count(CONTROL_STOP), 1)
        self.assertGreaterEqual(started + result.elapsed - asked, 12.0, "ended before the service had stopped")

    def test_service_that_ends_inside_its_stop_handler_is_deleted(self):
        # Its stop request fails with ERROR_BROKEN_PIPE, its record saying STOPPED.
        log = self.wine.install_service(["--exit-in-handler"])
        self.assertQuietRun(self.run_uninstaller())
        self.assertEqual(self.wine.state_once_settled(), GONE)
        self.assertEqual(self.wine.controls_received(log).count(CONTROL_STOP), 1)

    def test_service_that_never_stops_is_polled_29_seconds_then_left_installed(self):
        log = self.wine.install_service(["--never-stop"])
        result = self.run_uninstaller(timeout=60, trace_sleeps=True)
        self.assertQuietRun(result)
        self.assertEqual(self.wine.service_state(), ("state", STOP_PENDING))
        self.assertEqual(self.wine.controls_received(log).count(CONTROL_STOP), 1)
        # 29 sleeps of a second, not 30: the waits it asks for, as the time it takes grows with the load.
        self.assertGreaterEqual(result.elapsed, 29.0)
        self.assertGreaterEqual(result.seconds_slept(), 29.0, result.sleeps)
        self.assertLess(result.seconds_slept(), 30.0, result.sleeps)

    def test_first_line_is_shown_before_the_service_is_touched(self):
        log = self.wine.install_service(["--stop-after", "3000"])
        exe = self.wine.place("app", self.wine.program("qrvxSuninstall"))
        seen, ended = self.wine.run_on_console(exe)
        shown = next(t for t, text in seen if text.startswith(b"ServiceUninstalled...\n"))
        self.assertEqual(seen[-1][1], b"ServiceUninstalled...\nServiceUninstallFinished!\n")
        self.assertEqual(self.wine.controls_received(log).count(CONTROL_STOP), 1)
        # The stop alone takes three seconds; the line was there well before it was over.
        self.assertGreaterEqual(ended - shown, 2.5)


if __name__ == "__main__":
    rig.run(globals())
