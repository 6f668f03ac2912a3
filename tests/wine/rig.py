"""The rig for running the Windows programs under Wine.

Each test module runs as its own process inside a private network namespace that it makes (see run()), so
that the adapters Wine sees and port 80 of 127.0.0.1 belong to that test alone. Inside it:

- Wine: one prefix shared by all the tests (made once, kept under build/), a persistent wineserver started
  inside the namespace and ended after each test, and the Windows programs run by their C:\\ paths.
- Services: installed with Wine's own sc.exe; their state read back through the probe program.
- Adapters: veth and tun devices made in the namespace, in the order asked for.
- Server: a recording HTTP server on 127.0.0.1:80 (server.py).

Nothing is sent anywhere but to loopback inside that namespace.
"""

import argparse
import os
import pty
import re
import select
import shutil
import subprocess
import sys
import time
import unittest
from pathlib import Path

import wine_release

ROOT = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("QRVX_BUILD_ROOT", ROOT / "build"))
# QRVX_WINE_RELEASE=10 runs every Wine command under Debian 13's Wine 10.0 instead (see wine_release.py).
RELEASE = wine_release.selected()
PREFIX = Path(os.environ.get("QRVX_WINEPREFIX", wine_release.prefix(RELEASE, BUILD)))

# arch: (build folder, Wine loader). /usr/bin/wine is never used: it picks the 32-bit loader whenever wine32 is
# installed, even on a host that cannot run it. QRVX_WINE32_LOADER stands in another 32-bit loader, such as one
# that cannot start, to show what a host without 32-bit support does.
ARCHES = {"x64": ("win64", "/usr/lib/wine/wine64"),
          "x86": ("win32", os.environ.get("QRVX_WINE32_LOADER", "/usr/lib/wine/wine"))}
HELPER_ARCH = "x64"  # Wine's own tools and the rig's helper programs run as 64-bit programs on every host

SERVICE_NAME = "QUORVEX$TARNIKE"
EXPECTED_OUTPUT = b"Service Uninstalled...\r\nService Uninstall Finished !\r\n"
SKIPPED = 77  # CTest's SKIP_RETURN_CODE for these tests

# Service states as the probe reports them.
STOPPED, RUNNING, STOP_PENDING = 1, 4, 3
ERROR_SERVICE_DOES_NOT_EXIST = 1060


class Result:
    def __init__(self, returncode, stdout, stderr, elapsed):
        self.returncode = returncode
        self.stdout = stdout
        self.stderr = stderr
        self.elapsed = elapsed


def wine_command(argv):
    """ARGV (a loader or the wineserver first) as it runs under the selected Wine release."""
    return wine_release.command(RELEASE, argv, shared=[PREFIX, BUILD])


def sh(*args, check=True):
    """Runs a Linux command of the rig (ip, wineserver), output to files rather than pipes."""
    with open(os.devnull, "wb") as null:
        return subprocess.run(args, stdout=null, stderr=null, check=check, timeout=120).returncode


class Wine:
    """The Wine side of the rig for one architecture, inside the current namespace."""

    def __init__(self, arch):
        self.arch = arch
        folder, self.loader = ARCHES[arch]
        self.build = BUILD / folder
        self.helper_build = BUILD / ARCHES[HELPER_ARCH][0]
        self.helper_loader = ARCHES[HELPER_ARCH][1]
        self.env = dict(os.environ)
        for name in ("http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "no_proxy", "NO_PROXY",
                     "WINEDLLOVERRIDES"):
            self.env.pop(name, None)
        # Quiet, but for what tells why a program died.
        self.env.update(WINEPREFIX=str(PREFIX), WINEDEBUG="-all,err+seh,err+module",
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        self.work = PREFIX / "drive_c" / "qrvxtest" / arch
        self.logs = self.work / "logs"

    # --- wineserver -----------------------------------------------------------------------------------

    def start(self):
        if not (PREFIX / "system.reg").exists():
            PREFIX.parent.mkdir(parents=True, exist_ok=True)
            self.logs.mkdir(parents=True, exist_ok=True)
            self.run_unix([ARCHES["x64"][1], "wineboot", "-i"], timeout=300)
            self._wineserver("-w", check=False)
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
            subprocess.run(wine_command([wine_release.wineserver(RELEASE), flag]), env=self.env, stdout=null,
                           stderr=null, check=check, timeout=120)

    # --- programs -------------------------------------------------------------------------------------

    def place(self, folder, source, name=None):
        """Copies a file into C:\\qrvxtest\\ARCH\\FOLDER and returns its Windows path."""
        target = self.work / folder
        target.mkdir(parents=True, exist_ok=True)
        name = name or Path(source).name
        shutil.copyfile(source, target / name)
        return self.windows_path(target / name)

    def windows_path(self, unix_path):
        relative = Path(unix_path).relative_to(PREFIX / "drive_c")
        return "C:\\" + "\\".join(relative.parts)

    def unix_path(self, windows_path):
        return PREFIX / "drive_c" / Path(*windows_path[3:].split("\\"))

    def run(self, windows_exe, args=(), timeout=120, env=None):
        """Runs a program of this architecture: the product, or a probe of its code."""
        return self.run_unix([self.loader, windows_exe, *args], timeout=timeout, env=env)

    def run_helper(self, windows_exe, args=()):
        """Runs one of Wine's tools or the rig's helper programs, which are 64-bit whatever is tested."""
        return self.run_unix([self.helper_loader, windows_exe, *args])

    def run_unix(self, command, timeout=120, env=None):
        """Runs a command with the prefix's environment; output goes through files, as a pipe would be held
        open by any Wine process the command leaves behind."""
        out, err = self.logs / "stdout", self.logs / "stderr"
        with open(out, "wb") as stdout, open(err, "wb") as stderr:
            started = time.monotonic()
            returncode = subprocess.run(wine_command(command), env={**self.env, **(env or {})},
                                        stdout=stdout, stderr=stderr, stdin=subprocess.DEVNULL,
                                        timeout=timeout).returncode
            elapsed = time.monotonic() - started
        return Result(returncode, out.read_bytes(), err.read_bytes(), elapsed)

    def run_on_console(self, windows_exe, args=(), timeout=120):
        """Runs a program with a terminal for its output, as a user at a console would see it.
        Returns ([(seconds after start, text seen so far, without spaces and CRs)], seconds until the
        program ended)."""
        controller, terminal = pty.openpty()
        started = time.monotonic()
        process = subprocess.Popen(wine_command([self.loader, windows_exe, *args]), env=self.env,
                                   stdout=terminal, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
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

    def program(self, name, helper=False):
        """The built program NAME.exe of this architecture (or the helpers'): the product or a test program."""
        build = self.helper_build if helper else self.build
        if name == "qrvxSuninstall":
            return build / "qrvxSuninstall.exe"
        return build / "test-programs" / name

    # --- services -------------------------------------------------------------------------------------

    def install_service(self, mode_args, start=True):
        """Installs the test service as SERVICE_NAME; returns the Windows path of its control log."""
        exe = self.place("service", self.program("qrvxtestsvc.exe", helper=True))
        log = self.windows_path(self.work / "service" / "controls.log")
        if self.unix_path(log).exists():
            self.unix_path(log).unlink()
        binpath = " ".join([exe, log, *mode_args])
        # A service just deleted lingers, marked for deletion, until its last handle is closed.
        deadline = time.monotonic() + 10
        while True:
            result = self.run_helper("sc", ["create", SERVICE_NAME, "binpath=", binpath])
            if result.returncode == 0 or time.monotonic() > deadline:
                break
            time.sleep(0.2)
        assert result.returncode == 0, (result.stdout, result.stderr, self.service_state())
        if start:
            result = self.run_helper("sc", ["start", SERVICE_NAME])
            assert result.returncode == 0, result.stdout
            self.wait_for_state(RUNNING)
        return log

    def ask_to_stop(self):
        """Asks the service to stop, as someone might just before a run, and waits until it is stopping: for
        a service installed with --stop-after MS or --never-stop."""
        result = self.run_helper("sc", ["stop", SERVICE_NAME])
        assert result.returncode == 0, result.stdout
        self.wait_for_state(STOP_PENDING)

    def remove_service_if_installed(self):
        if self.service_state() != ("error", ERROR_SERVICE_DOES_NOT_EXIST):
            self.run_helper("sc", ["delete", SERVICE_NAME])

    def service_state(self):
        """("state", N) or ("error", Win32 code), as the Service Control Manager tells the probe."""
        probe = self.place("helpers", self.program("qrvxprobe.exe", helper=True))
        result = self.run_helper(probe, ["query", SERVICE_NAME])
        kind, value = result.stdout.split()[:2]
        return kind.decode(), int(value)

    def state_once_settled(self, within=10.0):
        """The service's state once a deletion has completed: a deleted service lingers until the last
        handle to it (the service process's own among them) is closed."""
        deadline = time.monotonic() + within
        state = self.service_state()
        while state != ("error", ERROR_SERVICE_DOES_NOT_EXIST) and time.monotonic() < deadline:
            time.sleep(0.1)
            state = self.service_state()
        return state

    def wait_for_state(self, state, within=10.0):
        deadline = time.monotonic() + within
        while self.service_state() != ("state", state):
            if time.monotonic() > deadline:
                raise AssertionError(f"service did not reach state {state}: {self.service_state()}")
            time.sleep(0.1)

    def controls_received(self, log):
        path = self.unix_path(log)
        if not path.exists():
            return []
        return [int(line.split()[1]) for line in path.read_text().splitlines() if line.startswith("control ")]


class Adapters:
    """The network adapters of the current namespace, as Wine will list them (interface-index order)."""

    def __init__(self, peer_namespace):
        self.peer = peer_namespace
        self.made = []

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

    def clear(self):
        for name in self.made:
            sh("ip", "link", "del", name, check=False)
        self.made = []


class WineTestCase(unittest.TestCase):
    """A test with Wine for the architecture given on the command line, with no adapter and no service
    unless the test makes them, and a fresh wineserver."""

    arch = "x64"
    peer_namespace = None

    def setUp(self):
        self.wine = Wine(self.arch)
        self.adapters = Adapters(self.peer_namespace)
        self.wine.start()
        self.addCleanup(self.wine.stop)
        self.addCleanup(self.adapters.clear)
        self.wine.remove_service_if_installed()

    def use_adapters(self, *kinds):
        self.adapters.make(*kinds)
        self.wine.restart()

    def run_uninstaller(self, args=(), config=None, folder="app", exe_name="qrvxSuninstall.exe",
                        config_name="qrvxconfig.ini", timeout=120):
        """Places the program (and a configuration file of the given bytes beside it) and runs it."""
        exe = self.wine.place(folder, self.wine.program("qrvxSuninstall"), exe_name)
        config_path = self.wine.work / folder / config_name
        if config is not None:
            config_path.write_bytes(config)
        elif config_path.exists():
            config_path.unlink()
        return self.wine.run(exe, args, timeout=timeout)

    def assertQuietRun(self, result):
        """The two lines, in text mode, and status 0, whatever happened in between."""
        detail = f"status {result.returncode:#x} after {result.elapsed:.2f} s; stderr {result.stderr[-2000:]!r}"
        self.assertEqual(result.stdout, EXPECTED_OUTPUT, detail)
        self.assertEqual(result.returncode, 0, detail)


def in_private_namespace(script, args):
    """Runs `python3 script --inside NAMESPACE PEER args` in a new network namespace, with a peer namespace
    for the far ends of veth devices, and removes both afterwards. Returns the exit status."""
    tag = f"qrvx{os.getpid()}"
    namespace, peer = tag, tag + "p"
    # Name look-ups inside the namespace go to its own loopback, never to the machine's resolver.
    netns_etc = Path("/etc/netns") / namespace
    netns_etc.mkdir(parents=True, exist_ok=True)
    (netns_etc / "resolv.conf").write_text("nameserver 127.0.0.1\n")
    sh("ip", "netns", "add", namespace)
    try:
        sh("ip", "netns", "add", peer)
        sh("ip", "-n", namespace, "link", "set", "lo", "up")
        command = ["ip", "netns", "exec", namespace, sys.executable, str(script), "--inside", namespace, peer,
                   *args]
        return subprocess.run(command, stdin=subprocess.DEVNULL).returncode
    finally:
        sh("ip", "netns", "del", peer, check=False)
        sh("ip", "netns", "del", namespace, check=False)
        shutil.rmtree(netns_etc, ignore_errors=True)


def runs_32bit_programs():
    """Whether Wine's 32-bit loader starts here. Some hosts run 64-bit user code only: there every i386 Linux
    program fails with "Exec format error", and so no x86 Windows program can run under Wine."""
    try:
        return sh(*wine_command([ARCHES["x86"][1], "--version"]), check=False) == 0
    except (OSError, subprocess.SubprocessError):
        return False


def missing_prerequisite(arch="x64"):
    """Why the rig cannot run here, or None."""
    if os.geteuid() != 0:
        return "The Wine rig needs root, for its private network namespaces."
    reason = wine_release.missing(RELEASE)
    if reason:
        return reason
    needed = ("ip", "wineserver", ARCHES[HELPER_ARCH][1], ARCHES[arch][1]) if RELEASE == wine_release.HOST \
        else ("ip",)
    for program in needed:
        if shutil.which(program) is None:
            return f"{program} is missing: run 'make test' as root to install it."
    if arch == "x86" and not runs_32bit_programs():
        return "This host cannot run 32-bit programs; the x86 program was built and checked, not run."
    return None


def run(module_globals):
    """Entry point of a test module: `python3 test_x.py --arch x64|x86 [unittest args]`.

    Outside the namespace: runs this module again inside a private one (in_private_namespace). Without
    root, or without Wine, the module is skipped."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--arch", choices=sorted(ARCHES), default="x64")
    parser.add_argument("--inside", nargs=2, metavar=("NAMESPACE", "PEER"))
    options, rest = parser.parse_known_args()

    if options.inside:
        WineTestCase.arch = options.arch
        WineTestCase.peer_namespace = options.inside[1]
        program = unittest.main(module="__main__", argv=[sys.argv[0], *rest], exit=False,
                                testRunner=unittest.TextTestRunner(verbosity=2))
        sys.exit(0 if program.result.wasSuccessful() else 1)

    reason = missing_prerequisite(options.arch)
    if reason:
        print("Skipped:", reason)
        sys.exit(SKIPPED)
    sys.exit(in_private_namespace(module_globals["__file__"], ["--arch", options.arch, *rest]))
