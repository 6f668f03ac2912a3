"""The release archive as an admin gets it: unpacked, its sample qrvxconfig.ini pointed at the server, and run;
its launcher and startup script run as a deployment tool and Group Policy run them, from the archive of the
architecture under test; and the x64 program signed by a throwaway certificate."""

import contextlib
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile
from pathlib import Path

import rig
from server import BlackHole, RecordingServer, Reply, management_server

DIST = rig.ROOT / "tools" / "dist.py"
ADAPTER, ADDRESS = "00:1a:2b:3c:4d:5e", "00-1A-2B-3C-4D-5E"
EXCHANGE = [
    ("/Quorvex/connect_check.php", b""),
    ("/Quorvex/register_check.php", b"m=" + ADDRESS.encode()),
    ("/Quorvex/message_post.php", b"m=" + ADDRESS.encode() + b"&d=SERVICE PROGRAM UNINSTALLED !!"),
]
PASSWORD = "qrvx-test-only"
PROGRAMS = ("qrvxSuninstall.exe", "qrvxScheck.exe")
LAUNCHER = rig.LAUNCHER
ERROR_INSTALL_FAILURE = rig.ERROR_INSTALL_FAILURE
ERROR_SUCCESS_REBOOT_REQUIRED = rig.ERROR_SUCCESS_REBOOT_REQUIRED
ARCHIVES = {"x64": "win64", "x86": "win32"}
# The longest a start may wait for the startup script, whatever the server does: 15 s on Windows, for the
# check and two calls of schtasks; under Wine, whose start of each of those programs grows with the load on a
# busy machine, twice that. A script that waited for the run would wait far longer against a server that
# drops packets (38 s under Wine 10, 82 s under Wine 8), and the run is seen still going when it returns.
STARTUP_HOLD = 30.0
# The longest the run that the script hands on may take under Wine: its own bound of about 3 minutes, and
# Wine's start of the launcher and its two programs on a busy machine.
HANDED_RUN = 240.0
TASK = "qrvxSuninstall"
KEPT = "HKLM\\SOFTWARE\\qrvxSuninstall"


class ReleaseTest(rig.WineTestCase):
    unsigned = None  # dist.py's run for the unsigned archives, made once for all the tests

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.shared = Path(tempfile.mkdtemp(prefix="qrvx-release-unsigned-"))
        cls.addClassCleanup(shutil.rmtree, cls.shared, ignore_errors=True)

    def setUp(self):
        super().setUp()
        self.use_adapters(ADAPTER)  # first: a change of adapters restarts Wine, and the services with it
        self.temp = Path(tempfile.mkdtemp(prefix="qrvx-release-"))
        self.addCleanup(shutil.rmtree, self.temp, ignore_errors=True)

    def x64_only(self):
        """What the x64 run alone checks: the archives themselves, which the programs' architecture does not
        change."""
        if self.arch != "x64":
            raise unittest.SkipTest("the x64 run checks the archives of both architectures")

    def dist(self, out, **signing):
        env = {k: v for k, v in os.environ.items() if not k.startswith("QRVX_SIGN_")}
        return subprocess.run([sys.executable, str(DIST), "--build", str(rig.BUILD), "--out", str(out)],
                              env={**env, **signing}, stdin=subprocess.DEVNULL, capture_output=True,
                              text=True, timeout=120)

    def unsigned_dist(self):
        if ReleaseTest.unsigned is None:
            ReleaseTest.unsigned = self.dist(self.shared / "dist")
        packed = ReleaseTest.unsigned
        self.assertEqual(packed.returncode, 0, packed.stderr)
        self.assertIn("Not signed", packed.stdout)
        return self.shared / "dist"

    def unpack(self, out, arch):
        [archive] = out.glob(f"qrvxSuninstall-*-{arch}.zip")
        target = self.temp / "unpacked" / out.name / arch
        with zipfile.ZipFile(archive) as zip_file:
            zip_file.extractall(target)
        [folder] = target.iterdir()
        self.assertEqual(sorted(p.name for p in folder.iterdir()),
                         sorted(["README.txt", "qrvxconfig.ini", "qrvxSuninstall.spdx.json", LAUNCHER,
                                 rig.STARTUP_SCRIPT, *PROGRAMS]))
        return folder

    def run_as_shipped(self, folder):
        """Runs the unpacked program with its sample configuration, HostAddress alone pointed at the server,
        against one registered adapter and the service installed; checks the whole exchange."""
        sample = (folder / "qrvxconfig.ini").read_bytes()
        config, edits = re.subn(rb"(?m)^HostAddress=[^\r\n]*", b"HostAddress=127.0.0.1", sample)
        self.assertEqual(edits, 1, sample)
        exe = self.wine.place("release", folder / "qrvxSuninstall.exe")
        (self.wine.work / "release" / "qrvxconfig.ini").write_bytes(config)

        self.wine.install_service(["--stop-at-once"])
        with RecordingServer(management_server([ADDRESS])) as server:
            result = self.wine.run(exe)
        self.assertQuietRun(result)
        self.assertEqual(server.paths_and_bodies(), EXCHANGE)
        self.assertEqual(self.wine.state_once_settled(), ("error", rig.ERROR_SERVICE_DOES_NOT_EXIST))

    def test_unsigned_archive_runs_as_shipped(self):
        self.x64_only()
        folder = self.unpack(self.unsigned_dist(), "win64")
        shipped = (folder / "qrvxSuninstall.exe").read_bytes()
        self.assertEqual(shipped, self.wine.program("qrvxSuninstall").read_bytes())
        self.run_as_shipped(folder)

    def kit(self, edited=True):
        """The unpacked archive, as a deployment tool's content, with a space in its folder's path and its sample
        qrvxconfig.ini pointed at the test's server, unless it is to stay as it ships."""
        kit = self.wine.work / "release kit"
        shutil.copytree(self.unpack(self.unsigned_dist(), ARCHIVES[self.arch]), kit)
        if not edited:
            return kit
        sample = (kit / "qrvxconfig.ini").read_bytes()
        config, edits = re.subn(rb"(?m)^HostAddress=[^\r\n]*", b"HostAddress=127.0.0.1", sample)
        self.assertEqual(edits, 1, sample)
        (kit / "qrvxconfig.ini").write_bytes(config)
        return kit

    def run_launcher(self, kit=None, server=True, script=LAUNCHER, respond=None):
        """Runs the archive's launcher (or startup script) as a deployment tool does (rig.Wine.run_launcher), for
        a machine with one adapter, which the server, if it is up, knows as registered (or answers as `respond`
        says). Returns the run, what it printed before its status, the status, and the requests the server
        saw."""
        if not server:
            result, output, status = self.wine.run_launcher(kit or self.kit(), script=script)
            return result, output, status, []
        with RecordingServer(respond or management_server([ADDRESS])) as recording:
            result, output, status = self.wine.run_launcher(kit or self.kit(), script=script)
        return result, output, status, recording.paths_and_bodies()

    def test_launcher_succeeds_when_the_service_stops_and_goes(self):
        self.wine.install_service(["--stop-at-once"])
        result, output, status, seen = self.run_launcher()
        self.assertEqual((output, status), (rig.launched("told"), 0), result.stderr)
        self.assertEqual(self.wine.state_once_settled(), ("error", rig.ERROR_SERVICE_DOES_NOT_EXIST))
        self.assertEqual(seen, EXCHANGE)
        [(kind, event_id, text)] = result.events
        self.assertEqual((kind, event_id), (rig.EVENT_INFORMATION, 100), text)
        self.assertIn(f"The management server was told, for network adapter {ADDRESS}.", text)

    def test_launcher_fails_when_the_service_never_stops(self):
        self.wine.install_service(["--never-stop"])
        result, output, status, seen = self.run_launcher()
        self.assertEqual((output, status), (rig.launched("installed"), ERROR_INSTALL_FAILURE), result.stderr)
        self.assertGreaterEqual(result.elapsed, 29.0)  # the program's whole wait came first
        self.assertEqual(self.wine.service_state(), ("state", rig.STOP_PENDING))
        self.assertEqual(seen, EXCHANGE, "the report goes on whatever became of the service")

    def test_launcher_tells_a_service_held_open_goes_at_the_next_restart(self):
        self.wine.install_service(["--stop-at-once"])
        with self.wine.service_held_open():
            result, output, status, _ = self.run_launcher()
            self.assertEqual((output, status), (rig.launched("told, going"), ERROR_SUCCESS_REBOOT_REQUIRED),
                             result.stderr)
            self.assertEqual(self.wine.service_state(), ("state", rig.STOPPED))
        # Once that handle is closed, it is gone.
        self.assertEqual(self.wine.state_once_settled(), ("error", rig.ERROR_SERVICE_DOES_NOT_EXIST))
        check = self.wine.place("check", self.wine.build / "qrvxScheck.exe")
        self.assertEqual(self.wine.run(check).returncode, 0)

    def test_rerun_for_a_service_held_open_tells_the_server_and_that_it_goes_at_the_next_restart(self):
        # The deployment tool's retry finds the service marked for deletion, as the first run left it.
        self.wine.install_service(["--stop-at-once"])
        kit = self.kit()
        with self.wine.service_held_open():
            result, output, status, _ = self.run_launcher(kit, server=False)
            self.assertEqual((output, status), (rig.launched("not told, going"), rig.ERROR_INSTALL_ALREADY_RUNNING),
                             result.stderr)
            result, output, status, seen = self.run_launcher(kit)
            self.assertEqual((output, status), (rig.launched("told, going"), ERROR_SUCCESS_REBOOT_REQUIRED),
                             result.stderr)
            self.assertEqual(seen, EXCHANGE)
            [(kind, event_id, text)] = result.events
            self.assertEqual((kind, event_id), (rig.EVENT_INFORMATION, 100), text)
            self.assertIn("goes from this machine at the next restart", text)
        self.assertEqual(self.wine.state_once_settled(), ("error", rig.ERROR_SERVICE_DOES_NOT_EXIST))

    def test_launcher_fails_the_package_with_its_sample_configuration_as_it_ships(self):
        result, output, status, seen = self.run_launcher(self.kit(edited=False))
        self.assertEqual((output, status), (rig.launched("no server"), rig.ERROR_BAD_CONFIGURATION), result.stderr)
        self.assertEqual(seen, [], "the sample names no server")
        [(kind, event_id, text)] = result.events
        self.assertEqual((kind, event_id), (rig.EVENT_WARNING, 103), text)
        self.assertIn("qrvxconfig.ini still holds the sample's address", text)

    def test_launcher_tries_again_when_the_server_could_not_answer_the_checks(self):
        # A server in a boot storm answers 503 to every check, or stalls on its database once its headers are
        # out: it has not said it knows none of the adapters. Nor can a run that could not read its
        # configuration, held open by a scanner, have asked it.
        cut_short = lambda request: Reply(b"NOT REGISTERED", head_only=True) \
            if request.path.endswith("/Quorvex/register_check.php") else management_server([])(request)
        cases = [
            ("503 Service Unavailable", management_server([], register_status=503), False, "not told",
             rig.ERROR_INSTALL_ALREADY_RUNNING, 102, EXCHANGE[:2],
             'the check of adapter 00-1A-2B-3C-4D-5E answered "NOT REGISTERED", HTTP 503.'),
            ("200 and a body that never comes", cut_short, False, "not told", rig.ERROR_INSTALL_ALREADY_RUNNING, 102,
             # Wine's WinINet says Winsock's 10060 here; which code Windows' gives is not confirmed.
             EXCHANGE[:2], "the check of adapter 00-1A-2B-3C-4D-5E cut short after 0 bytes of its reply, HTTP 200, "
                           "which is no answer: "),
            # Without a server: the default address it leaves, 0.0.0.0, reaches this namespace's own
            # loopback under Linux; on Windows it reaches nothing.
            ("configuration held open", None, True, "not told",
             rig.ERROR_INSTALL_ALREADY_RUNNING, 102, [], "qrvxconfig.ini could not be read now: error 32"),
            ("200 NOT REGISTERED", management_server([]), False, "not registered", 0, 101, EXCHANGE[:2],
             "knows none of this machine's network adapters"),
        ]
        kit = self.kit()
        for name, respond, held, line, expected, event, exchanged, says in self.chosen(cases):
            with self.subTest(name):
                with self.wine.file_held_open(kit / "qrvxconfig.ini") if held else contextlib.nullcontext():
                    result, output, status, seen = self.run_launcher(kit, server=respond is not None,
                                                                     respond=respond)
                self.assertEqual((output, status), (rig.launched(line), expected), result.stderr)
                self.assertEqual(seen, exchanged)
                [(kind, event_id, text)] = result.events
                self.assertEqual((kind, event_id), (rig.EVENT_WARNING, event), text)
                self.assertIn(says, text)

    def test_launcher_succeeds_without_the_service(self):
        result, output, status, seen = self.run_launcher()
        self.assertEqual((output, status), (rig.launched("told"), 0), result.stderr)
        self.assertEqual(seen, EXCHANGE)

    def test_a_machine_the_server_was_not_told_of_is_told_by_the_next_run(self):
        self.wine.install_service(["--stop-at-once"])
        kit = self.kit()
        result, output, status, _ = self.run_launcher(kit, server=False)  # nothing listens on port 80
        self.assertEqual((output, status), (rig.launched("not told"), rig.ERROR_INSTALL_ALREADY_RUNNING),
                         result.stderr)
        self.assertEqual(self.wine.state_once_settled(), ("error", rig.ERROR_SERVICE_DOES_NOT_EXIST))
        [(kind, event_id, text)] = result.events
        self.assertEqual((kind, event_id), (rig.EVENT_WARNING, 102), text)
        self.assertIn("the connect check failed: WinINet error 12029", text)
        # With the service gone, the next run goes straight to the report.
        result, output, status, seen = self.run_launcher(kit)
        self.assertEqual((output, status), (rig.launched("told"), 0), result.stderr)
        self.assertEqual(seen, EXCHANGE)

    def test_launcher_fails_the_package_that_names_no_server(self):
        # No file at all, or a comment after the address, which the profile reader keeps as part of it.
        cases = [
            ("no file", None, "qrvxconfig.ini was not found"),
            ("comment after the address", b"[Configuration]\r\nHostAddress=127.0.0.1 ; our server\r\n",
             'HostAddress "127.0.0.1 ; our server" is refused whole: " ; our server" follows the host'),
        ]
        for name, config, says in self.chosen(cases):
            with self.subTest(name):
                shutil.rmtree(self.wine.work / "release kit", ignore_errors=True)  # an earlier row's
                kit = self.kit()
                if config is None:
                    (kit / "qrvxconfig.ini").unlink()
                else:
                    (kit / "qrvxconfig.ini").write_bytes(config)
                # Without a file, the default address 0.0.0.0 would reach a server on this namespace's loopback.
                result, output, status, seen = self.run_launcher(kit, server=config is not None)
                self.assertEqual((output, status), (rig.launched("no server"), rig.ERROR_BAD_CONFIGURATION),
                                 result.stderr)
                self.assertEqual(seen, [])
                [(kind, event_id, text)] = result.events
                self.assertEqual((kind, event_id), (rig.EVENT_WARNING, 103), text)
                self.assertIn(says, text)

    def test_dry_run_foresees_the_launchers_status_and_changes_nothing(self):
        # As an admin tries the package on a machine before it is deployed: the service runs, and an earlier
        # run's outcome is kept.
        self.wine.install_service(["--stop-at-once"])
        reg = "C:\\windows\\system32\\reg.exe"
        self.wine.run_helper(reg, ["add", KEPT, "/v", "Report", "/t", "REG_SZ", "/d", "not told", "/reg:64", "/f"])
        cases = [
            ("the server knows the adapter", True, management_server([ADDRESS]), 0, EXCHANGE[:2],
             f"a run now would remove the service and tell the management server, for network adapter {ADDRESS}."),
            ("the server down", True, None, rig.ERROR_INSTALL_ALREADY_RUNNING, [],
             "but not tell the management server: the connect check failed: WinINet error 12029"),
            ("503 for every check", True, management_server([], register_status=503),
             rig.ERROR_INSTALL_ALREADY_RUNNING, EXCHANGE[:2],
             f'the check of adapter {ADDRESS} answered "NOT REGISTERED", HTTP 503. Mend that, or try again later.'),
            ("the sample as it ships", False, management_server([ADDRESS]), rig.ERROR_BAD_CONFIGURATION, [],
             "qrvxconfig.ini names no management server: qrvxconfig.ini still holds the sample's address"),
            # Without a file the default address 0.0.0.0 would reach a server on this namespace's loopback.
            ("no configuration file", None, None, rig.ERROR_BAD_CONFIGURATION, [],
             "qrvxconfig.ini names no management server: qrvxconfig.ini was not found"),
        ]
        for name, edited, respond, expected, exchanged, says in self.chosen(cases):
            with self.subTest(name):
                shutil.rmtree(self.wine.work / "release kit", ignore_errors=True)  # an earlier row's
                kit = self.kit(edited=bool(edited))
                if edited is None:
                    (kit / "qrvxconfig.ini").unlink()
                files, kept = sorted(kit.iterdir()), self.wine.run_helper(reg, ["query", KEPT, "/reg:64"]).stdout
                result, output, status, seen = self.dry_run(kit, respond)
                lines = output.decode("latin-1").splitlines()
                self.assertEqual((status, lines[-1].startswith(f"{expected}: ")), (expected, True), output)
                self.assertIn(says, lines[-1])
                self.assertIn("Dry run: nothing is removed", lines[0])
                self.assertIn(f"Service {rig.SERVICE_NAME}: running; the run would stop it, then delete it.", lines)
                self.assertEqual(seen, exchanged, "the message is never sent")
                asked = [line.partition(":")[0] for line in lines if line.startswith("Quorvex/")]
                self.assertEqual(asked[:len(exchanged)], [path[1:] + (f", adapter {ADDRESS}" if body else "")
                                                          for path, body in exchanged], output)
                self.assertEqual(f"Quorvex/message_post.php, adapter {ADDRESS}: not sent, in a dry run." in lines,
                                 expected == 0, output)
                self.assertEqual(self.wine.service_state(), ("state", rig.RUNNING))
                self.assertEqual(self.wine.run_helper(reg, ["query", KEPT, "/reg:64"]).stdout, kept)
                self.assertEqual(result.events, [])
                self.assertEqual(sorted(kit.iterdir()), files, "a file left behind")

    def dry_run(self, kit, respond):
        """Runs `qrvxScheck.exe preflight` of KIT as an admin does, from another folder, against the server if
        there is one; returns as run_launcher does."""
        script = self.wine.work / "pilot.cmd"
        script.write_bytes(f'@"{self.wine.windows_path(kit / "qrvxScheck.exe")}" preflight\r\n'
                           "@exit /b %errorlevel%\r\n".encode())
        return self.run_launcher(kit, server=respond is not None, script=script, respond=respond)

    def test_startup_script_runs_the_launcher_until_the_machine_is_done(self):
        # Three starts of the machine, as Group Policy runs the script at each, where the Task Scheduler
        # takes no task, so that the script runs the launcher itself (whatever Wine's own schtasks does).
        self.wine.install_service(["--stop-at-once"])
        kit = self.kit()
        self.use_task_scheduler()
        self.wine.env["QRVX_TASKS_REFUSE"] = "1"
        result, output, status, _ = self.run_launcher(kit, server=False, script=rig.STARTUP_SCRIPT)
        self.assertEqual(output, rig.launched("not told"), result.stderr)
        self.assertEqual(self.wine.state_once_settled(), ("error", rig.ERROR_SERVICE_DOES_NOT_EXIST))
        result, output, status, seen = self.run_launcher(kit, script=rig.STARTUP_SCRIPT)
        self.assertEqual((output, seen), (rig.launched("told"), EXCHANGE), result.stderr)
        result, output, status, seen = self.run_launcher(kit, script=rig.STARTUP_SCRIPT)
        self.assertEqual((output, status, seen), (b"", 0, []), "the machine is done: nothing runs, nothing is asked")
        self.assertEqual(result.events, [])

    def use_task_scheduler(self):
        """Puts the stand-in for schtasks.exe (programs/TaskScheduler.cpp) where the startup script calls
        Windows' own, for this test alone; returns the folder where it keeps its task, its calls and the
        output of the run it starts."""
        system = self.wine.prefix / "drive_c" / "windows" / "system32" / "schtasks.exe"
        kept = system.with_name("schtasks.exe.wine")
        os.replace(system, kept)  # a hard link to the template's: never written through
        self.addCleanup(os.replace, kept, system)
        shutil.copyfile(self.wine.program("qrvxschtasks.exe", helper=True), system)
        tasks = self.wine.work / "tasks"
        tasks.mkdir()
        self.wine.env["QRVX_TASKS"] = self.wine.windows_path(tasks)
        # Wine would run its own builtin schtasks in place of a native one of that name.
        self.wine.env["WINEDLLOVERRIDES"] += ";schtasks.exe=n"
        return tasks

    @staticmethod
    def run_ended(tasks):
        """Whether the run that the stand-in started has ended: its last line is the check's."""
        out = tasks / "run.out"
        return re.search(rb"(?m)^(Done|Not done): .*\r\n\Z", out.read_bytes() if out.exists() else b"") is not None

    def handed_run(self, tasks):
        """Waits for the run that the stand-in started to end and returns what it printed."""
        deadline = time.monotonic() + HANDED_RUN
        out = tasks / "run.out"
        while not self.run_ended(tasks):
            if time.monotonic() > deadline:
                calls, err = (tasks / "calls.log").read_text(), (tasks / "run.err").read_bytes()[-2000:]
                self.fail(f"the run did not end within {HANDED_RUN} s: {out.read_bytes()!r}\n{calls}\n{err!r}")
            time.sleep(0.5)
        return out.read_bytes()

    def test_startup_script_holds_the_start_briefly_while_the_run_goes_on(self):
        # Three starts of the machine, the server dropping every packet at the first, as a firewall would.
        self.wine.install_service(["--stop-at-once"])
        kit = self.kit()
        tasks = self.use_task_scheduler()
        launcher = self.wine.windows_path(kit / LAUNCHER)
        with BlackHole():
            result, output, status, _ = self.run_launcher(kit, server=False, script=rig.STARTUP_SCRIPT)
            self.assertEqual((output, status), (b"", 0), result.stderr)
            self.assertFalse(self.run_ended(tasks), "the script waited for the run")
            self.assertLessEqual(result.elapsed, STARTUP_HOLD)
            print(f"The startup script held the start {result.elapsed:.1f} s against a server that drops "
                  f"packets, under Wine {rig.RELEASE.name}.")
            run = self.handed_run(tasks)
            print(f"The run it handed on ended {time.monotonic() - result.ended:.1f} s after the script.")
        self.assertEqual(run, rig.launched("not told"))
        # What the run kept says why: Wine prints events on its own stderr, not on the run's.
        kept = self.wine.run_helper("C:\\windows\\system32\\reg.exe",
                                    ["query", "HKLM\\SOFTWARE\\qrvxSuninstall", "/reg:64"]).stdout.decode("latin-1")
        self.assertRegex(kept, r"Outcome\s+REG_DWORD\s+0x66\b")
        self.assertIn("The management server was not told this time: the connect check", kept)
        # The task runs the launcher of the kit, as SYSTEM, once, when asked.
        create, started = (tasks / "calls.log").read_text().splitlines()
        self.assertIn(f'/tr "\\"{launcher}\\""', create)
        self.assertRegex(create, r"(?i) /ru SYSTEM\s")
        self.assertRegex(create, r"(?i) /sc once ")
        self.assertRegex(started, rf"(?i) /run /tn {TASK}\s*$")

        # The next start tells the run apart: not done, so a run again, which tells the server.
        self.assertEqual(self.wine.state_once_settled(), ("error", rig.ERROR_SERVICE_DOES_NOT_EXIST))
        with RecordingServer(management_server([ADDRESS])) as recording:
            result, output, status, _ = self.run_launcher(kit, server=False, script=rig.STARTUP_SCRIPT)
            self.assertEqual((output, status), (b"", 0), result.stderr)
            self.assertLessEqual(result.elapsed, STARTUP_HOLD)
            run = self.handed_run(tasks)
        self.assertEqual((run, recording.paths_and_bodies()), (rig.launched("told"), EXCHANGE))

        # Done: the check alone, and the task removed.
        result, output, status, seen = self.run_launcher(kit, script=rig.STARTUP_SCRIPT)
        self.assertEqual((output, status, seen), (b"", 0, []))
        self.assertRegex((tasks / "calls.log").read_text().splitlines()[-1], rf"(?i) /delete /tn {TASK} /f\s*$")
        self.assertFalse((tasks / "task.txt").exists())
        print(f"Once done, it held the start {result.elapsed:.1f} s.")

    def test_startup_script_runs_the_launcher_itself_where_the_task_scheduler_takes_no_task(self):
        # Its service disabled, say: the start then waits for the whole run, within the run's own bound.
        self.wine.install_service(["--stop-at-once"])
        kit = self.kit()
        tasks = self.use_task_scheduler()
        self.wine.env["QRVX_TASKS_REFUSE"] = "1"
        with BlackHole():
            result, output, _, _ = self.run_launcher(kit, server=False, script=rig.STARTUP_SCRIPT)
        self.assertEqual(output, rig.launched("not told"), result.stderr)
        self.assertLessEqual(result.elapsed, HANDED_RUN)
        [create] = (tasks / "calls.log").read_text().splitlines()
        self.assertRegex(create, r"(?i) /create ")
        print(f"Where the Task Scheduler takes no task, the start waited {result.elapsed:.1f} s against a server "
              f"that drops packets, under Wine {rig.RELEASE.name}.")

    def make_certificate(self):
        """A throwaway self-signed code-signing certificate: (PKCS#12 file, certificate in PEM)."""
        key, cert, pfx = (self.temp / name for name in ("key.pem", "cert.pem", "cert.pfx"))
        for command in (
                ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                 "-days", "2", "-subj", "/CN=qrvx test code signing",
                 "-addext", "extendedKeyUsage=codeSigning", "-addext", "keyUsage=critical,digitalSignature"],
                ["openssl", "pkcs12", "-export", "-in", cert, "-inkey", key, "-out", pfx,
                 "-passout", "pass:" + PASSWORD]):
            subprocess.run(list(map(str, command)), check=True, capture_output=True, timeout=60)
        return pfx, cert

    def verify(self, program, cert):
        return subprocess.run(["osslsigncode", "verify", "-CAfile", str(cert), "-in", str(program)],
                              stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60)

    def test_signed_archive(self):
        self.x64_only()
        pfx, cert = self.make_certificate()
        built = {arch: (rig.BUILD / arch / "qrvxSuninstall.exe").read_bytes() for arch in ("win64", "win32")}

        refused = self.temp / "refused"
        packed = self.dist(refused, QRVX_SIGN_PFX=str(pfx), QRVX_SIGN_PASSWORD="not " + PASSWORD)
        self.assertNotEqual(packed.returncode, 0, packed.stdout)
        self.assertIn("No archive written", packed.stderr)
        self.assertEqual(list(refused.glob("*")) if refused.exists() else [], [])

        out = self.temp / "signed"
        packed = self.dist(out, QRVX_SIGN_PFX=str(pfx), QRVX_SIGN_PASSWORD=PASSWORD)
        self.assertEqual(packed.returncode, 0, packed.stderr)
        folders = {arch: self.unpack(out, arch) for arch in ("win64", "win32")}
        for arch, folder in folders.items():
            with self.subTest(arch):
                sbom = json.loads((folder / "qrvxSuninstall.spdx.json").read_text())
                listed = {p.get("packageFileName"): p.get("checksums") for p in sbom["packages"]}
                for name in PROGRAMS:
                    checked = self.verify(folder / name, cert)
                    self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)
                    self.assertIn("Signature verification: ok", checked.stdout)
                    # The SBOM names the signed copy, as packed.
                    digest = hashlib.sha256((folder / name).read_bytes()).hexdigest()
                    self.assertEqual(listed[name], [{"algorithm": "SHA256", "checksumValue": digest}])
                # Copies were signed: the build outputs are as they were, and carry no signature.
                program = rig.BUILD / arch / "qrvxSuninstall.exe"
                self.assertEqual(program.read_bytes(), built[arch])
                self.assertNotEqual(self.verify(program, cert).returncode, 0)

        self.run_as_shipped(folders["win64"])

    def test_the_guide_names_the_releases_signer_or_says_that_there_is_none(self):
        self.x64_only()
        pfx, cert = self.make_certificate()
        der = subprocess.run(["openssl", "x509", "-in", str(cert), "-outform", "DER"], check=True,
                             capture_output=True, timeout=60).stdout
        thumbprint = hashlib.sha256(der).hexdigest().upper()  # what Windows computes over the certificate
        cases = [
            ("signed", lambda: self.signed_dist(pfx),
             f"This release is signed by CN=qrvx test code signing, SHA-256 thumbprint {thumbprint}.",
             ["Signer: CN=qrvx test code signing\n", f"SHA-256 thumbprint: {thumbprint}\n"]),
            ("unsigned", lambda: (self.unsigned_dist(), ReleaseTest.unsigned),
             "This release is not signed: its programs carry no signature.", ["README.txt says so"]),
        ]
        for name, pack, line, printed in cases:
            with self.subTest(name):
                out, packed = pack()
                for text in printed:
                    self.assertIn(text, packed.stdout)
                for arch in ("win64", "win32"):
                    guide = (self.unpack(out, arch) / "README.txt").read_text().splitlines()
                    self.assertEqual([row.strip() for row in guide if "This release is" in row], [line])
                    self.assertFalse([row for row in guide if re.search(r"@[A-Z]+@", row)], arch)

    def signed_dist(self, pfx):
        out = self.temp / "signed"
        packed = self.dist(out, QRVX_SIGN_PFX=str(pfx), QRVX_SIGN_PASSWORD=PASSWORD)
        self.assertEqual(packed.returncode, 0, packed.stderr)
        return out, packed


if __name__ == "__main__":
    rig.run(globals())
