"""The service's removal by the real program, through Wine's Service Control Manager."""

import time

import rig
from rig import ERROR_SERVICE_DOES_NOT_EXIST, RUNNING, STOP_PENDING
from server import RecordingServer, management_server

CONTROL_STOP = 1
GONE = ("error", ERROR_SERVICE_DOES_NOT_EXIST)
# The stop wait's 29 s, to which only the stop request's own time is added; and what a busy machine may add
# to the dozen calls to the manager around it (the looks before the wait begins, the closes after it). The
# 29 s themselves are held by the lower bound and by the sleeps, which no load changes.
STOP_WAIT = 29.0
SLACK = 5.0


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
        result = self.run_uninstaller(trace=True)
        self.assertQuietRun(result)
        self.assertEqual(self.wine.state_once_settled(), GONE)
        self.assertEqual(self.wine.controls_received(log).count(CONTROL_STOP), 1)
        # One poll interval would be a whole second on its own.
        self.assertLess(result.seconds_slept(), 1.0, result.sleeps)

    def test_service_already_stopping_is_waited_for_and_deleted(self):
        # Someone asked it to stop a moment earlier, and it takes a while: it can take no control meanwhile.
        # 12 s, well within the program's 29 s, so that the rig's own look at the state cannot miss it. The run
        # ending after those 12 s shows that it waited; its being gone, that it was deleted.
        log = self.wine.install_service(["--stop-after", "12000"])
        asked = time.monotonic()
        self.wine.ask_to_stop()
        started = time.monotonic()
        result = self.run_uninstaller(timeout=60)
        self.assertQuietRun(result)
        self.assertEqual(self.wine.state_once_settled(), GONE)
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
        result = self.run_uninstaller(timeout=60, trace=True)
        self.assertQuietRun(result)
        self.assertEqual(self.wine.service_state(), ("state", STOP_PENDING))
        self.assertEqual(self.wine.controls_received(log).count(CONTROL_STOP), 1)
        # 29 s by the clock from its first look, not 30: measured on Wine's clock from the first call to the
        # Service Control Manager to the last, as Wine's own start grows with the load. The looks take time
        # of their own, so the sleeps come to a little less.
        phase, request = result.service_phase()
        print(f"never stops: the service phase took {phase:.2f} s, {result.seconds_slept():.2f} s of it asleep")
        self.assertGreaterEqual(phase, STOP_WAIT + request - 0.1)
        self.assertLess(phase, STOP_WAIT + request + SLACK)
        self.assertGreater(result.seconds_slept(), STOP_WAIT - SLACK, result.sleeps)
        self.assertLessEqual(result.seconds_slept(), STOP_WAIT, result.sleeps)

    def test_service_still_starting_is_waited_for_then_stopped_and_deleted(self):
        # As at boot, when startup scripts run: it reports START_PENDING for a while, and Windows would refuse
        # it a stop request meanwhile. sc.exe returns while it is starting; no more is waited for. It runs
        # once the program has looked at it and begun to wait, however long Wine took to start the launcher
        # and the program.
        kit = self.wine.place_launcher("kit", config=rig.LOCAL_CONFIG)
        self.use_adapters("00:1a:2b:3c:4d:5e")
        looked = self.wine.work / "service" / "looked"
        looked.unlink(missing_ok=True)
        log = self.wine.install_service(["--start-until", self.wine.windows_path(looked), "60000", "--stop-at-once"],
                                        wait=False)
        with RecordingServer(management_server(["00-1A-2B-3C-4D-5E"])), self.wine.once_waiting(looked):
            result, output, status = self.wine.run_launcher(kit, trace=True)
        self.assertEqual((output, status), (rig.launched("told"), 0), result.stderr)
        self.assertEqual(self.wine.state_once_settled(), GONE)
        self.assertEqual(self.wine.service_log(log), ["starting", "running", "control 1", "stopped"],
                         "asked to stop before it ran, or more than once")
        phase, request = result.service_phase()
        print(f"still starting: the service phase took {phase:.2f} s, its stop request {request:.2f} s")
        self.assertTrue(result.slept_before_stop_request(), "found it running already: nothing was waited for")
        self.assertLess(phase, STOP_WAIT + request + SLACK)

    def test_service_whose_stop_handler_outlasts_the_control_time_out_is_deleted(self):
        # Its clean-up takes 15 s inside the handler: the manager gives up on the request first (after 10 s
        # under Wine, 30 s on Windows), and the service stops 5 s later.
        log = self.wine.install_service(["--stop-in-handler", "15000"])
        result = self.run_uninstaller(timeout=90, trace=True)
        self.assertQuietRun(result)
        self.assertEqual(self.wine.state_once_settled(), GONE)
        self.assertEqual(self.wine.controls_received(log).count(CONTROL_STOP), 1)
        phase, request = result.service_phase()
        print(f"stop handler of 15 s: the service phase took {phase:.2f} s, its stop request {request:.2f} s")
        self.assertGreaterEqual(phase, 15.0, "ended before the service had stopped")
        self.assertLess(phase, STOP_WAIT + request + SLACK)

    def test_service_whose_stop_handler_outlasts_the_wait_is_left_installed(self):
        # 90 s in its handler, saying nothing: the stop request times out, the wait's 29 s follow it, and the
        # launcher reports the service still there, whatever the report did; so does the run's event.
        self.wine.install_service(["--stop-in-handler", "90000"])
        result, output, status = self.wine.run_launcher(self.wine.place_launcher("kit"), trace=True)
        self.assertEqual((output, status), (rig.launched("installed"), rig.ERROR_INSTALL_FAILURE), result.stderr)
        self.assertEqual(self.wine.service_state(), ("state", RUNNING))
        [(kind, event_id, text)] = result.events
        self.assertEqual((kind, event_id), (rig.EVENT_ERROR, 104), text)
        self.assertIn("still installed: it was running and was left installed, error 258", text)
        phase, request = result.service_phase()
        print(f"stop handler of 90 s: the service phase took {phase:.2f} s, its stop request {request:.2f} s")
        self.assertLessEqual(request, 30.0 + SLACK, "the request was held past a control time-out")
        self.assertGreaterEqual(phase, STOP_WAIT + request - 0.1, "gave up before the wait was over")
        self.assertLess(phase, STOP_WAIT + request + SLACK)

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
