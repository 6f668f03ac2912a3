"""The rig for running the Windows programs under Wine.

Each test module runs as its own process inside a private network namespace that it makes (see run()), so
that the adapters Wine sees and port 80 of 127.0.0.1 belong to that test alone. Inside it:

- Wine: the release QRVX_WINE_RELEASE names, 8 or 10: the host's own, or the other Debian release's from a
  chroot (wine_release.py);
  a prefix of the test's own, copied from that release's template prefix, booted once (kept under build/),
  a persistent wineserver started inside the namespace and ended after each test, and the Windows programs
  run by their C:\\ paths. Tests of separate processes share nothing, so they can run at the same time.
- Services: installed with Wine's own sc.exe; their state read back through the probe program.
- Adapters: veth and tun devices made in the namespace, in the order asked for.
- Server: a recording HTTP server on 127.0.0.1:80 (server.py).

Nothing is sent anywhere but to loopback inside that namespace.
"""

import argparse
import contextlib
import fcntl
import os
import pty
import re
import select
import shutil
import signal
import subprocess
import sys
import threading
import time
import unittest
from pathlib import Path

import server
import wine_release

ROOT = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("QRVX_BUILD_ROOT", ROOT / "build"))

# arch: build folder of its programs.
ARCHES = {"x64": "win64", "x86": "win32"}
HELPER_ARCH = "x64"  # Wine's own tools and the rig's helper programs run as 64-bit programs on every host

SERVICE_NAME = "QUORVEX$TARNIKE"
# Host names that reach the test's server on 127.0.0.1 inside its namespace: fully qualified, as enterprises
# name theirs, under the .test domain that names nothing anywhere else.
LONG_SERVER_NAME = "quorvex-management.corp.qa.test"
SERVER_NAMES = (LONG_SERVER_NAME,)
EXPECTED_OUTPUT = b"Service Uninstalled...\r\nService Uninstall Finished !\r\n"
# What the launcher's check prints after the program's two lines, for each outcome.
LAUNCHER_LINES = {
    "told": b"Done: the service is gone, and the management server was told, or knows none of this machine's "
            b"network adapters. It was told.",
    "not registered": b"Done: the service is gone, and the management server was told, or knows none of this "
                      b"machine's network adapters. It knows none of them.",
    "told, going": b"Done: the service goes at the next restart, and the management server was told, or knows none "
                   b"of this machine's network adapters. It was told.",
    "not told": b"Not done: the management server was not told this time. Run this again to tell it. The service "
                b"is gone.",
    "not told, going": b"Not done: the management server was not told this time. Run this again to tell it. The "
                       b"service goes at the next restart.",
    "no server": b"Not done: qrvxconfig.ini names no management server. Mend the package, then run this again. The "
                 b"service is gone.",
    "installed": b"Not done: the service QUORVEX$TARNIKE is still installed, or what came of the run is not known. "
                 b"It is still installed: the Application log (source qrvxSuninstall) says why.",
}
# The types of event, as ReportEvent takes them.
EVENT_ERROR, EVENT_WARNING, EVENT_INFORMATION = 1, 2, 4
# The configuration that names the test's own server.
LOCAL_CONFIG = b"[Configuration]\r\nHostAddress=127.0.0.1\r\n"


def launched(outcome):
    """All that a run of the launcher prints: the program's two lines, then the check's."""
    return EXPECTED_OUTPUT + LAUNCHER_LINES[outcome] + b"\r\n"
SKIPPED = 77  # CTest's SKIP_RETURN_CODE for these tests

# Service states as the probe reports them.
STOPPED, STOP_PENDING, RUNNING = 1, 3, 4
SERVICE_ALL_ACCESS = 0xF01FF
# How long the rig waits for the Service Control Manager to show a change it expects (a service running,
# stopping, gone): a wait for that event, which returns as soon as it is seen; the bound only ends a wait for
# what does not come, and is long enough for a busy machine's Wine to show what does.
SETTLE_WITHIN = 30.0
ERROR_SERVICE_DOES_NOT_EXIST = 1060

# By their paths: a bare name makes the loader go through start.exe, two more Wine processes for every call.
SC = "C:\\windows\\system32\\sc.exe"
CMD = "C:\\windows\\system32\\cmd.exe"
REG = "C:\\windows\\system32\\reg.exe"

# The launcher that the release archive holds, and its exit statuses.
LAUNCHER = "qrvx-uninstall.cmd"
LAUNCHER_SOURCE = ROOT / "packaging" / LAUNCHER
STARTUP_SCRIPT = "qrvx-startup.cmd"  # for Group Policy
STARTUP_SCRIPT_SOURCE = ROOT / "packaging" / STARTUP_SCRIPT
ERROR_INSTALL_FAILURE = 1603
ERROR_BAD_CONFIGURATION = 1610  # qrvxconfig.ini names no server
ERROR_INSTALL_ALREADY_RUNNING = 1618  # deployment tools' "retry": the server was not told this time
ERROR_SUCCESS_REBOOT_REQUIRED = 3010


class WineRelease:
    """One installed Wine: the loader of each architecture, its wineserver, and the template prefix that the
    tests copy. Every command the rig runs under Wine comes from here."""

    def __init__(self, name, loaders, wineserver, template):
        self.name = name  # "8" or "10", as QRVX_WINE_RELEASE names it
        self.loaders = loaders  # arch: command list
        self.wineserver = wineserver  # command list
        self.template = template

    def loader(self, arch):
        return self.loaders[arch]

    def commands(self):
        return [self.loaders[HELPER_ARCH], self.wineserver]


def wine_of(name):
    """The Wine release NAME: the host's own, or the one from a Debian chroot (wine_release.py), each of whose
    commands enters the chroot in a mount namespace of its own, with the build folder (the programs and the
    prefixes) at its own path. /usr/bin/wine is never used: it picks the 32-bit loader whenever wine32 is
    installed, even on a host that cannot run it. QRVX_WINE32_LOADER stands in another 32-bit loader for the
    host's, such as one that cannot start, to show what a host without 32-bit support does."""
    paths = dict(wine_release.LOADERS)
    if name == wine_release.HOST:
        paths["x86"] = os.environ.get("QRVX_WINE32_LOADER", paths["x86"])

    def enter(path):
        return wine_release.command(name, [path], shared=[BUILD])
    return WineRelease(name, loaders={arch: enter(path) for arch, path in paths.items()},
                       wineserver=enter(wine_release.WINESERVER), template=wine_release.prefix(name, BUILD))


# The Wine every test and the demo run under: the host's, or the one QRVX_WINE_RELEASE names.
RELEASE = wine_of(wine_release.selected())


def private_prefix(namespace):
    """Where the process in NAMESPACE keeps its own Wine prefix."""
    return BUILD / "wine-prefixes" / namespace


# No Mono or Gecko to install. And no winemenubuilder: every new wineserver would start it, for menus no test
# looks at, and it cost a third of what starting a session costs the processor.
DLL_OVERRIDES = "mscoree,mshtml=;winemenubuilder.exe=d"


def wine_environment(prefix):
    env = dict(os.environ)
    for name in ("http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "no_proxy", "NO_PROXY",
                 "WINEDLLOVERRIDES", "QRVX_CA_BUNDLE"):
        env.pop(name, None)
    # Quiet, but for what tells why a program died, and for the events it reports (Result.events): Wine's
    # ReportEventW writes nothing anywhere, but shows each event's type and ID, and the start of its text.
    env.update(WINEPREFIX=str(prefix), WINEDEBUG="-all,err+seh,err+module,+eventlog,fixme+advapi",
               WINEDLLOVERRIDES=DLL_OVERRIDES)
    return env


def ensure_template(release=None):
    """Boots the release's template prefix if there is none yet (wineboot takes 10-15 s). Processes that ask
    at the same time wait for the one that boots it; the template appears whole or not at all."""
    release = release or RELEASE
    template = release.template
    template.parent.mkdir(parents=True, exist_ok=True)
    with open(template.parent / (template.name + ".lock"), "wb") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if (template / "system.reg").exists() and _template_settings(template) == TEMPLATE_SETTINGS:
            return template
        shutil.rmtree(template, ignore_errors=True)  # one made for another rig, if any
        booting = template.with_name(template.name + ".booting")
        shutil.rmtree(booting, ignore_errors=True)
        env = wine_environment(booting)
        with open(template.parent / (template.name + ".boot.log"), "wb") as log:
            subprocess.run([*release.loader(HELPER_ARCH), "wineboot", "-i"], env=env, stdout=log,
                           stderr=log, stdin=subprocess.DEVNULL, check=True, timeout=300)
            for key, name, kind, value in TEMPLATE_REGISTRY:
                subprocess.run([*release.loader(HELPER_ARCH), REG, "add", key, "/v", name, "/t", kind, "/d", value,
                                "/f"], env=env, stdout=log, stderr=log, stdin=subprocess.DEVNULL, check=True,
                               timeout=120)
            subprocess.run([*release.wineserver, "-w"], env=env, stdout=log, stderr=log, timeout=120)
        if not (booting / "system.reg").exists():
            raise RuntimeError(f"wineboot made no prefix in {booting}")
        (booting / TEMPLATE_STAMP).write_text(TEMPLATE_SETTINGS)
        booting.rename(template)
    return template


# What a template was booted with, kept in it: one booted by another version of the rig is booted again.
TEMPLATE_STAMP = "qrvx-template.txt"


def _template_settings(template):
    try:
        return (template / TEMPLATE_STAMP).read_text()
    except OSError:
        return None


# Wine only ever reads its own programs and libraries in a prefix: a copy may share them with the template.
SHARED_SUFFIXES = (".dll", ".exe", ".drv", ".sys")


def copy_template(target, release=None):
    """A prefix of its own for one process: its folders and every file that is written (the registry
    above all) are copies, so that its wineserver (found by the prefix folder's device and inode) is its own
    too; Wine's own programs and libraries, nearly all of its 700 MB, are hard links to the template's."""
    template = ensure_template(release)
    shutil.rmtree(target, ignore_errors=True)
    target.parent.mkdir(parents=True, exist_ok=True)

    def copy(source, destination):
        if source.lower().endswith(SHARED_SUFFIXES):
            os.link(source, destination)
        else:
            shutil.copy2(source, destination)

    shutil.copytree(template, target, symlinks=True, copy_function=copy)
    return target


def remove_prefix(prefix, release=None):
    """Ends whatever still runs in the prefix, then deletes it."""
    release = release or RELEASE
    if not prefix.exists():
        return
    env = wine_environment(prefix)
    with open(os.devnull, "wb") as null:
        for flag in ("-k", "-w"):
            subprocess.run([*release.wineserver, flag], env=env, stdout=null, stderr=null, timeout=120)
    shutil.rmtree(prefix, ignore_errors=True)


class Result:
    def __init__(self, returncode, stdout, stderr, elapsed, ended=None):
        self.returncode = returncode
        self.stdout = stdout
        self.stderr = stderr
        self.elapsed = elapsed
        self.ended = ended  # monotonic time at which the program had ended
        # (seconds on Wine's clock, thread, "Call" or "Ret", name, arguments) of each traced call, in order,
        # when traced
        self.calls = None

    @property
    def sleeps(self):
        """The milliseconds of each Sleep the program asked for."""
        return [int(call[4], 16) for call in self.calls if call[2] == "Call" and call[3] == "Sleep"]

    def seconds_slept(self):
        """What the program itself chose to wait: unlike the time it took, it does not grow with the load."""
        return sum(self.sleeps) / 1000.0

    def service_phase(self):
        """(seconds from the first call to the Service Control Manager to the return of the last one, seconds
        the stop request took), on Wine's clock, of the thread that sent the stop request: what the program's
        own bounds hold, without Wine's start, which grows with the load."""
        calls = self._stopping_thread_calls()
        service = [call for call in calls if call[3] in SERVICE_CALLS]
        sent = next(call for call in calls if call[2] == "Call" and call[3] == "ControlService")
        returned = next(call for call in calls if call[2] == "Ret" and call[3] == "ControlService")
        return service[-1][0] - service[0][0], returned[0] - sent[0]

    def slept_before_stop_request(self):
        """Whether the program waited before it sent the stop request, as for a service still starting."""
        calls = self._stopping_thread_calls()
        sent = next(n for n, call in enumerate(calls) if call[2] == "Call" and call[3] == "ControlService")
        return any(call[3] == "Sleep" for call in calls[:sent])

    @property
    def events(self):
        """(type, event ID, the start of its text) of each event the program reported, in order, as Wine's
        trace shows them: up to its first 277 characters or so."""
        found = []
        for line in self.stderr.decode("latin-1").splitlines():
            reported = REPORTED_EVENT.search(line)
            if reported:
                found.append([int(reported[1], 16), int(reported[2], 16), None])
            text = EVENT_TEXT.search(line)
            if text and found and found[-1][2] is None:
                found[-1][2] = re.sub(r"\\(x[0-9a-fA-F]{2}|u[0-9a-fA-F]{4}|.)", _unescape, text[1])
        return [tuple(event) for event in found]

    def _stopping_thread_calls(self):
        stops = [call for call in self.calls if call[2] == "Call" and call[3] == "ControlService"]
        assert stops, "no stop request was traced"
        return [call for call in self.calls if call[1] == stops[0][1]]


# The template's Wine traces these calls alone, once +relay is on (see Wine.run): Sleep, TerminateProcess, and
# the calls to the Service Control Manager, each line stamped with Wine's own clock.
SERVICE_CALLS = ("OpenSCManagerA", "OpenServiceA", "QueryServiceStatus", "ControlService", "DeleteService",
                 "CloseServiceHandle")
RELAY_INCLUDE = ";".join(["kernel32.Sleep", "kernelbase.Sleep", "kernel32.TerminateProcess",
                          *(f"advapi32.{name}" for name in SERVICE_CALLS)])
# What the template's registry is given once it is booted: the calls traced, and no Plug and Play service,
# about a tenth of what starting each session cost the processor, for devices no test has. The network
# adapters' driver (nsiproxy) is a service of its own, and still starts.
TEMPLATE_REGISTRY = [("HKCU\\Software\\Wine\\Debug", "RelayInclude", "REG_SZ", RELAY_INCLUDE),
                     ("HKLM\\System\\CurrentControlSet\\Services\\PlugPlay", "Start", "REG_DWORD", "4")]
TEMPLATE_SETTINGS = "".join(f"{key}\\{name}={value}\n" for key, name, _, value in TEMPLATE_REGISTRY)
TRACED_LINE = rb"^(?:([0-9]+\.[0-9]+):)?([0-9a-f]+):"
TRACED_CALL = re.compile(TRACED_LINE + rb"(Call|Ret ) (?:advapi32|kernel32|kernelbase)\.(\w+)\(([^)]*)\)",
                         re.I | re.M)
RELAY_LINE = re.compile(TRACED_LINE + rb"(?:Call|Ret |trace:relay).*\n?", re.M)


# The fixme line of ReportEventW gives its type and its ID; the next line of the eventlog channel, its text,
# as Wine's debugstr writes it, cut short with '"...' past some 300 characters. Wine writes an Information
# event's as a trace, a Warning's as a warning, an Error's as an error.
REPORTED_EVENT = re.compile(r"fixme:advapi:ReportEventW \(\w+,0x([0-9a-f]+),0x[0-9a-f]+,0x([0-9a-f]+),")
EVENT_TEXT = re.compile(r'(?:trace|warn|err):eventlog:ReportEventW L"(.*?)"(?:\.\.\.)?$')


def _unescape(match):
    code = match[1]
    if code[0] in "xu" and len(code) > 1:
        return chr(int(code[1:], 16))
    return {"r": "\r", "n": "\n", "t": "\t"}.get(code, code)


def sh(*args, check=True):
    """Runs a Linux command of the rig (ip, wineserver), output to files rather than pipes."""
    with open(os.devnull, "wb") as null:
        return subprocess.run(args, stdout=null, stderr=null, check=check, timeout=120).returncode


# The prefixes in which this process may have left the test service installed.
MAY_HOLD_SERVICE = set()


class Wine:
    """The Wine side of the rig for one architecture, in one prefix, inside the current namespace. The
    prefix and the Wine release (loaders, wineserver) are chosen here and nowhere else."""

    def __init__(self, arch, prefix, release=None):
        self.arch = arch
        self.release = release or RELEASE
        self.prefix = Path(prefix)
        self.loader = self.release.loader(arch)
        self.helper_loader = self.release.loader(HELPER_ARCH)
        self.build = BUILD / ARCHES[arch]
        self.helper_build = BUILD / ARCHES[HELPER_ARCH]
        self.env = wine_environment(self.prefix)
        self.work = self.prefix / "drive_c" / "qrvxtest" / arch
        self.logs = self.work / "logs"

    # --- wineserver -----------------------------------------------------------------------------------

    def start(self):
        if not (self.prefix / "system.reg").exists():
            raise AssertionError(f"no Wine prefix in {self.prefix}")
        self._wineserver("-p")
        if self.work.exists():
            shutil.rmtree(self.work)
        self.logs.mkdir(parents=True)

    def stop(self):
        self._wineserver("-k", check=False)
        self._wineserver("-w", check=False)

    def restart(self):
        """Wine's network driver keeps every interface it has seen while its server lives."""
        self.stop()
        self._wineserver("-p")

    def _wineserver(self, flag, check=True):
        with open(os.devnull, "wb") as null:
            subprocess.run([*self.release.wineserver, flag], env=self.env, stdout=null, stderr=null, check=check,
                           timeout=120)

    # --- programs -------------------------------------------------------------------------------------

    def place(self, folder, source, name=None):
        """Copies a file into C:\\qrvxtest\\ARCH\\FOLDER and returns its Windows path."""
        target = self.work / folder
        target.mkdir(parents=True, exist_ok=True)
        name = name or Path(source).name
        shutil.copyfile(source, target / name)
        return self.windows_path(target / name)

    def windows_path(self, unix_path):
        relative = Path(unix_path).relative_to(self.prefix / "drive_c")
        return "C:\\" + "\\".join(relative.parts)

    def unix_path(self, windows_path):
        return self.prefix / "drive_c" / Path(*windows_path[3:].split("\\"))

    def run(self, windows_exe, args=(), timeout=120, env=None, trace=False):
        """Runs a program of this architecture: the product, or a probe of its code. With trace, Wine records
        each Sleep the program calls (result.sleeps) and each call to the Service Control Manager
        (result.calls), and the trace is kept out of its stderr."""
        command = [*self.loader, windows_exe, *args]
        result = self.run_unix(command, timeout=timeout, env=env, trace=trace)
        # Wine's 32-bit loader has been seen, now and then on a loaded machine, to die of SIGSEGV before the
        # program did anything at all, and after it had written all it writes, at its exit. A Windows
        # exception ends a program with a status of its own, not a signal, and Wine says "Unhandled" of it
        # on stderr, where the services this run started may have traced their own start. That is Wine's
        # start or end, not the program's run. A traced run, whose calls are what its test holds, is not run
        # again. The servers forget the first try's requests, which reached them whole when there was output.
        if self.arch == "x86" and result.returncode == -signal.SIGSEGV and b"Unhandled" not in result.stderr \
                and not result.calls:
            print(f"Wine's 32-bit loader died of SIGSEGV running {windows_exe}, {len(result.stdout)} bytes on "
                  f"stdout and no exception on stderr; once more.")
            for serving in server.SERVING:
                serving.forget()
            result = self.run_unix(command, timeout=timeout, env=env, trace=trace)
        return result

    def run_helper(self, windows_exe, args=()):
        """Runs one of Wine's tools or the rig's helper programs, which are 64-bit whatever is tested."""
        return self.run_unix([*self.helper_loader, windows_exe, *args])

    def run_unix(self, command, timeout=120, env=None, trace=False):
        """Runs a command with the prefix's environment; output goes through files, as a pipe would be held
        open by any Wine process the command leaves behind. With trace, as in run()."""
        env = {**self.env, **(env or {})}
        if trace:
            env["WINEDEBUG"] += ",+timestamp,+relay"
        out, err = self.logs / "stdout", self.logs / "stderr"
        with open(out, "wb") as stdout, open(err, "wb") as stderr:
            started = time.monotonic()
            returncode = subprocess.run(command, env=env, stdout=stdout, stderr=stderr,
                                        stdin=subprocess.DEVNULL, timeout=timeout).returncode
            ended = time.monotonic()
        result = Result(returncode, out.read_bytes(), err.read_bytes(), ended - started, ended=ended)
        if trace:
            result.calls = [(float(stamp), thread.decode(), kind.decode().strip(), name.decode(), args.decode())
                            for stamp, thread, kind, name, args in TRACED_CALL.findall(result.stderr)]
            result.stderr = RELAY_LINE.sub(b"", result.stderr)
        return result

    @contextlib.contextmanager
    def once_waiting(self, marker):
        """Touches MARKER once the traced run inside the with block has looked at the service and begun to
        wait for it: the first Sleep on the thread that opened the service for its removal (SERVICE_ALL_ACCESS,
        which the check never asks for). Every look before it has then come and gone, however slow the
        machine. The trace is read as Wine writes it."""
        stderr = self.logs / "stderr"
        stderr.write_bytes(b"")  # what an earlier command left there is not this run's
        done = threading.Event()

        def watch():
            remover = None
            while not done.wait(0.05):
                for _, thread, kind, name, args in TRACED_CALL.findall(stderr.read_bytes()):
                    if remover is None and kind == b"Call" and name == b"OpenServiceA" \
                            and int(args.rsplit(b",", 1)[-1], 16) == SERVICE_ALL_ACCESS:
                        remover = thread
                    elif thread == remover and kind == b"Call" and name == b"Sleep":
                        marker.touch()
                        return

        watcher = threading.Thread(target=watch, daemon=True)
        watcher.start()
        try:
            yield
        finally:
            done.set()
            watcher.join()

    def run_on_console(self, windows_exe, args=(), timeout=120):
        """Runs a program with a terminal for its output, as a user at a console would see it.
        Returns ([(seconds after start, text seen so far, without spaces and CRs)], seconds until the
        program ended)."""
        controller, terminal = pty.openpty()
        started = time.monotonic()
        process = subprocess.Popen([*self.loader, windows_exe, *args], env=self.env, stdout=terminal,
                                   stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        os.close(terminal)
        seen, text = [], b""
        try:
            while time.monotonic() - started < timeout:
                ready, _, _ = select.select([controller], [], [], 1.0)
                if not ready:
                    if process.poll() is not None:
                        break
                    continue
                try:
                    data = os.read(controller, 4096)
                except OSError:  # the terminal is gone with the program
                    break
                if not data:
                    break
                # Wine's console draws with cursor escapes, a space among them; keep only the letters.
                text += re.sub(rb"\x1b\[[0-9;?]*[A-Za-z]|[ \r]", b"", data)
                seen.append((time.monotonic() - started, text))
            process.wait(timeout=max(1.0, timeout - (time.monotonic() - started)))
        finally:
            os.close(controller)
            if process.poll() is None:
                process.kill()
        return seen, time.monotonic() - started

    def place_launcher(self, folder, config=None):
        """Puts the launcher and the startup script with the program and its check of this architecture into
        C:\\qrvxtest\\ARCH\\FOLDER, as the release archive has them, with a qrvxconfig.ini of the given bytes
        if any; returns that folder."""
        for source in (self.program("qrvxSuninstall"), self.build / "qrvxScheck.exe", LAUNCHER_SOURCE,
                       STARTUP_SCRIPT_SOURCE):
            self.place(folder, source)
        if config is not None:
            (self.work / folder / "qrvxconfig.ini").write_bytes(config)
        return self.work / folder

    def trust(self, certificates):
        """Makes the test CA (certificates.TestCertificates) a trusted root of the machine, as Group Policy
        does an internal CA's. Wine 8 keeps it in the prefix's LocalMachine Root store once added there; Wine 10
        builds that store again from the CA bundle in every process, so there every later command of this
        prefix sees a bundle of the test CA alone."""
        if self.release.name not in wine_release.TRUSTS_CA_BUNDLE:
            probe = self.place("helpers", self.program("qrvxprobe.exe", helper=True))
            result = self.run_helper(probe, ["trust", self.place("helpers", certificates.ca_der)])
            assert b"trusted 1" in result.stdout, result.stdout + result.stderr
        else:
            self.env["QRVX_CA_BUNDLE"] = str(certificates.ca_bundle)

    def run_launcher(self, kit, trace=False, script=LAUNCHER):
        """Runs the launcher (or another script) in the folder KIT through `cmd /c`, as a deployment tool does,
        from another folder. Returns (result, output before the status line, the launcher's exit status as
        Windows gives it); with trace, as in run()."""
        elsewhere = self.work / "elsewhere"
        elsewhere.mkdir(exist_ok=True)
        # Wine gives a Linux parent only the low byte of an exit status: a cmd of its own prints it whole.
        caller = self.work / "caller.cmd"
        caller.write_bytes((f'@echo off\r\ncd /d "{self.windows_path(elsewhere)}"\r\n'
                            f'cmd /c "{self.windows_path(kit / script)}"\r\n'
                            "echo exit status %errorlevel%\r\n").encode())
        result = self.run_unix([*self.helper_loader, CMD, "/c", self.windows_path(caller)], trace=trace)
        output, found, status = result.stdout.rpartition(b"exit status ")
        if not found:
            raise AssertionError(f"the launcher printed no status: {result.stdout + result.stderr!r}")
        return result, output, int(status)

    def program(self, name, helper=False):
        """The built program NAME.exe of this architecture (or the helpers'): the product or a test program."""
        build = self.helper_build if helper else self.build
        if name == "qrvxSuninstall":
            return build / "qrvxSuninstall.exe"
        return build / "test-programs" / name

    # --- services -------------------------------------------------------------------------------------

    def install_service(self, mode_args, start=True, wait=True):
        """Installs the test service as SERVICE_NAME and, with start, starts it and, with wait, waits until
        it runs; returns the Windows path of its log."""
        exe = self.place("service", self.program("qrvxtestsvc.exe", helper=True))
        log = self.windows_path(self.work / "service" / "controls.log")
        if self.unix_path(log).exists():
            self.unix_path(log).unlink()
        binpath = " ".join([exe, log, *mode_args])
        MAY_HOLD_SERVICE.add(self.prefix)
        # A service just deleted lingers, marked for deletion, until its last handle is closed.
        deadline = time.monotonic() + SETTLE_WITHIN
        while True:
            result = self.run_helper(SC, ["create", SERVICE_NAME, "binpath=", binpath])
            if result.returncode == 0 or time.monotonic() > deadline:
                break
            time.sleep(0.2)
        assert result.returncode == 0, (result.stdout, result.stderr, self.service_state())
        if start:
            result = self.run_helper(SC, ["start", SERVICE_NAME])
            assert result.returncode == 0, result.stdout
            if wait:
                self.wait_for_state(RUNNING)
        return log

    def ask_to_stop(self):
        """Asks the service to stop, as someone might just before a run, and waits until it is stopping: for
        a service installed with --stop-after MS or --never-stop."""
        result = self.run_helper(SC, ["stop", SERVICE_NAME])
        assert result.returncode == 0, result.stdout
        self.wait_for_state(STOP_PENDING)

    def remove_service_if_installed(self):
        # Only this process installs services in its prefix. Where it has not, or has seen its service
        # gone since, no Wine process need start to ask: that would boot a session, which the change of
        # adapters that most tests begin with ends again at once.
        if self.prefix not in MAY_HOLD_SERVICE:
            return
        if self.service_state() != ("error", ERROR_SERVICE_DOES_NOT_EXIST):
            self.run_helper(SC, ["delete", SERVICE_NAME])
            state = self.state_once_settled()
            assert state == ("error", ERROR_SERVICE_DOES_NOT_EXIST), f"a service left by a test stays: {state}"

    @contextlib.contextmanager
    def service_held_open(self):
        """Keeps a handle to the service open in another process, as the Services console or a monitoring
        agent would, for the time of the with block."""
        with self._held_by_probe("hold", SERVICE_NAME):
            yield

    @contextlib.contextmanager
    def file_held_open(self, path):
        """Keeps the file PATH open with no sharing in another process, as a scanner or an unfinished copy
        may, for the time of the with block."""
        with self._held_by_probe("lock", self.windows_path(path)):
            yield

    @contextlib.contextmanager
    def _held_by_probe(self, mode, what):
        probe = self.place("helpers", self.program("qrvxprobe.exe", helper=True))
        output, until = self.logs / "holder.out", self.work / "helpers" / "let-go"
        until.unlink(missing_ok=True)
        with open(output, "wb") as out:
            holder = subprocess.Popen([*self.helper_loader, probe, mode, what, self.windows_path(until)],
                                      env=self.env, stdout=out, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + 60
            while b"held" not in output.read_bytes():
                if holder.poll() is not None or time.monotonic() > deadline:
                    raise AssertionError(f"the holder holds nothing: {output.read_bytes()!r}")
                time.sleep(0.1)
            yield
        finally:
            until.touch()
            holder.wait(timeout=60)

    def service_state(self, until=None):
        """("state", N) or ("error", Win32 code), as the Service Control Manager tells the probe. With
        UNTIL (a state, or "gone"), the probe asks again until that is the answer, for SETTLE_WITHIN at most,
        and this is its last answer."""
        probe = self.place("helpers", self.program("qrvxprobe.exe", helper=True))
        wait = [] if until is None else [str(until), str(int(SETTLE_WITHIN))]
        result = self.run_helper(probe, ["query", SERVICE_NAME, *wait])
        if result.returncode < 0 and not result.stdout and b"Unhandled" not in result.stderr:
            # Wine's loader has died of a signal starting it (see run()); a look changes nothing.
            print(f"Wine's loader died of signal {-result.returncode} asking for the service's state; once more.")
            result = self.run_helper(probe, ["query", SERVICE_NAME, *wait])
        if len(result.stdout.split()) < 2:
            raise AssertionError(f"the probe told no state: status {result.returncode}, {result.stdout!r}, "
                                 f"{result.stderr[-2000:]!r}")
        kind, value = result.stdout.split()[:2]
        state = kind.decode(), int(value)
        if state == ("error", ERROR_SERVICE_DOES_NOT_EXIST):
            MAY_HOLD_SERVICE.discard(self.prefix)
        return state

    def state_once_settled(self):
        """The service's state once a deletion has completed: a deleted service lingers until the last
        handle to it (the service process's own among them) is closed."""
        return self.service_state(until="gone")

    def wait_for_state(self, state):
        seen = self.service_state(until=state)
        if seen != ("state", state):
            raise AssertionError(f"service did not reach state {state}: {seen}")

    def service_log(self, log):
        """What the test service wrote: "starting", "running", "control N", "stopped", in order."""
        path = self.unix_path(log)
        return path.read_text().splitlines() if path.exists() else []

    def controls_received(self, log):
        return [int(line.split()[1]) for line in self.service_log(log) if line.startswith("control ")]


class Adapters:
    """The network adapters of the current namespace, as Wine will list them (interface-index order)."""

    def __init__(self, peer_namespace):
        self.peer = peer_namespace
        self.made = []
        self.kinds = None  # what make() was last given, until clear()

    def make(self, *kinds):
        """Each kind is a MAC address "00:1a:2b:3c:4d:5e" (a veth device) or "tun" (all-zero address)."""
        self.clear()
        for n, kind in enumerate(kinds):
            name = f"qa{n}"
            if kind == "tun":
                sh("ip", "tuntap", "add", "mode", "tun", "name", name)
            else:
                sh("ip", "link", "add", name, "address", kind, "type", "veth", "peer", "name", f"qp{n}",
                   "netns", self.peer)
            self.made.append(name)
        self.kinds = kinds

    def clear(self):
        for name in self.made:
            sh("ip", "link", "del", name, check=False)
        self.made = []
        self.kinds = None


class WineTestCase(unittest.TestCase):
    """A test with Wine for the architecture given on the command line, with no adapter and no service
    unless the test makes them, and a fresh wineserver."""

    arch = "x64"
    peer_namespace = None
    prefix = None
    selection = None  # a Selection: which cases of a table this process runs

    def setUp(self):
        self.wine = Wine(self.arch, self.prefix)
        self.adapters = Adapters(self.peer_namespace)
        self.wine.start()
        self.addCleanup(self.wine.stop)
        self.addCleanup(self.adapters.clear)
        self.wine.remove_service_if_installed()

    def chosen(self, cases):
        """The rows of a table of cases (each named by its first item) that this process runs: a row that
        runs as a CTest test of its own is left to that test."""
        method = self._testMethodName
        rows = [case for case in cases if self.selection is None or self.selection.runs_case(method, case[0])]
        if not rows:
            raise unittest.SkipTest("each of these cases runs as a test of its own")
        return rows

    def use_adapters(self, *kinds):
        # The same adapters as the case before: the session already lists them, and a new one would only
        # cost a busy machine the start of Wine's services once more.
        if self.adapters.kinds == kinds:
            return
        self.adapters.make(*kinds)
        self.wine.restart()

    def run_uninstaller(self, args=(), config=None, folder="app", exe_name="qrvxSuninstall.exe",
                        config_name="qrvxconfig.ini", timeout=120, trace=False):
        """Places the program (and a configuration file of the given bytes beside it) and runs it."""
        exe = self.wine.place(folder, self.wine.program("qrvxSuninstall"), exe_name)
        config_path = self.wine.work / folder / config_name
        if config is not None:
            config_path.write_bytes(config)
        elif config_path.exists():
            config_path.unlink()
        return self.wine.run(exe, args, timeout=timeout, trace=trace)

    def assertQuietRun(self, result):
        """The two lines, in text mode, and status 0, whatever happened in between."""
        detail = f"status {result.returncode:#x} after {result.elapsed:.2f} s; stderr {result.stderr[-2000:]!r}"
        self.assertEqual(result.stdout, EXPECTED_OUTPUT, detail)
        self.assertEqual(result.returncode, 0, detail)


def in_private_namespace(script, args, release=None):
    """Runs `python3 script --inside NAMESPACE PEER args` in a new network namespace, with a peer namespace
    for the far ends of veth devices, and removes both afterwards, with the Wine prefix that the process
    made for itself (private_prefix). Returns the exit status. The names carry this process's id, so that
    tests running at the same time never meet."""
    tag = f"qrvx{os.getpid()}"
    namespace, peer = tag, tag + "p"
    # Name look-ups inside the namespace go to its own loopback, never to the machine's resolver; the test's
    # server names are its own hosts file's.
    netns_etc = Path("/etc/netns") / namespace
    netns_etc.mkdir(parents=True, exist_ok=True)
    (netns_etc / "resolv.conf").write_text("nameserver 127.0.0.1\n")
    (netns_etc / "hosts").write_text("".join(f"127.0.0.1 {name}\n" for name in ("localhost", *SERVER_NAMES)))
    try:
        sh("ip", "netns", "add", namespace)
        sh("ip", "netns", "add", peer)
        sh("ip", "-n", namespace, "link", "set", "lo", "up")
        command = ["ip", "netns", "exec", namespace, sys.executable, str(script), "--inside", namespace, peer,
                   *args]
        return subprocess.run(command, stdin=subprocess.DEVNULL).returncode
    finally:
        remove_prefix(private_prefix(namespace), release)
        sh("ip", "netns", "del", peer, check=False)
        sh("ip", "netns", "del", namespace, check=False)
        shutil.rmtree(netns_etc, ignore_errors=True)


class Selection:
    """Which tests of a module, and which rows of their tables of cases, one process runs. Each name is
    METHOD or METHOD/CASE (a case by its subTest name). `only` names what this process runs (all when
    empty); `excepted` what runs in another process. Whatever no name mentions runs in the process that
    has no `only`, so a test or a case that is added is never left out."""

    def __init__(self, only=(), excepted=()):
        self.only = [name.partition("/") for name in only]
        self.excepted = [name.partition("/") for name in excepted]

    def runs_method(self, method):
        if self.only and not any(m == method for m, _, _ in self.only):
            return False
        return not any(m == method and not case for m, _, case in self.excepted)

    def runs_case(self, method, case):
        named = [c for m, _, c in self.only if m == method and c]
        if named and case not in named:
            return False
        return not any(m == method and c == case for m, _, c in self.excepted)


class SelectingLoader(unittest.TestLoader):
    def __init__(self, selection):
        super().__init__()
        self.selection = selection

    def getTestCaseNames(self, testCaseClass):
        return [name for name in super().getTestCaseNames(testCaseClass) if self.selection.runs_method(name)]


def runs_32bit_programs(release=None):
    """Whether Wine's 32-bit loader starts here. Some hosts run 64-bit user code only: there every i386 Linux
    program fails with "Exec format error", and so no x86 Windows program can run under Wine."""
    release = release or RELEASE
    try:
        return sh(*release.loader("x86"), "--version", check=False) == 0
    except (OSError, subprocess.SubprocessError):
        return False


def missing_prerequisite(arch="x64", release=None):
    """Why the rig cannot run here, or None."""
    release = release or RELEASE
    if os.geteuid() != 0:
        return "The Wine rig needs root, for its private network namespaces."
    # Makes the chroot of a release that comes from one, the first time: outside any test namespace.
    reason = wine_release.missing(release.name)
    if reason:
        return reason
    if shutil.which("ip") is None:
        return "ip is missing: run 'make test' as root to install it."
    # Each command ends with the program it runs, by its path under the release's root.
    def installed(command):
        return (wine_release.root(release.name) / command[-1].lstrip("/")).exists()
    for command in release.commands():
        if not installed(command):
            return f"Wine {release.name} has no {command[-1]}: run 'make test' as root to install it."
    if arch == "x86":
        if not installed(release.loader("x86")):
            why = wine_release.why_32bit_missing(release.name)
            return f"{why}; the x86 program was built and checked, not run."
        if not runs_32bit_programs(release):
            return "This host cannot run 32-bit programs; the x86 program was built and checked, not run."
    return None


def run(module_globals):
    """Entry point of a test module: `python3 test_x.py --arch x64|x86 [--only NAME]... [--except NAME]...
    [unittest args]`, NAME being METHOD or METHOD/CASE (see Selection).

    Outside the namespace: runs this module again inside a private one (in_private_namespace). Inside it:
    copies the template prefix for this process, then runs the tests. Without root, or without Wine, the
    module is skipped."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--arch", choices=sorted(ARCHES), default="x64")
    parser.add_argument("--inside", nargs=2, metavar=("NAMESPACE", "PEER"))
    parser.add_argument("--only", action="append", default=[], metavar="NAME")
    parser.add_argument("--except", dest="excepted", action="append", default=[], metavar="NAME")
    options, rest = parser.parse_known_args()

    if options.inside:
        selection = Selection(options.only, options.excepted)
        WineTestCase.arch = options.arch
        WineTestCase.peer_namespace = options.inside[1]
        WineTestCase.prefix = copy_template(private_prefix(options.inside[0]))
        WineTestCase.selection = selection
        program = unittest.main(module="__main__", argv=[sys.argv[0], *rest], exit=False,
                                testLoader=SelectingLoader(selection),
                                testRunner=unittest.TextTestRunner(verbosity=2))
        sys.exit(0 if program.result.wasSuccessful() else 1)

    reason = missing_prerequisite(options.arch)
    if reason:
        print("Skipped:", reason)
        sys.exit(SKIPPED)
    selected = [*(f"--only={name}" for name in options.only), *(f"--except={name}" for name in options.excepted)]
    sys.exit(in_private_namespace(module_globals["__file__"], ["--arch", options.arch, *selected, *rest]))


def main():
    """`python3 rig.py --template`: boots the template prefix that every test copies, inside a namespace
    of its own as the tests have theirs."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--template", action="store_true", required=True)
    parser.add_argument("--inside", nargs=2, metavar=("NAMESPACE", "PEER"))
    options = parser.parse_args()
    if options.inside:
        ensure_template()
        return 0
    reason = missing_prerequisite()
    if reason:
        print("Skipped:", reason)
        return SKIPPED
    return in_private_namespace(Path(__file__).resolve(), ["--template"])


if __name__ == "__main__":
    sys.exit(main())
