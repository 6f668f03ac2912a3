"""The Wine releases the rig runs the programs under: Debian 12's Wine 8.0 and Debian 13's Wine 10.0. The one of
the host's own Debian release is the host's Wine; the other comes from a chroot of the other Debian release,
made with debootstrap and cached under build/. On a Debian 12 host that is Debian 13's Wine 10 in a chroot;
on a Debian 13 host, Debian 12's Wine 8.

Only Wine's loaders and wineserver come from the chroot; everything else (the test service, the recording
server, the network namespaces, the programs) is the rig's own. A command under the chroot's Wine runs in a
private mount namespace of its own (see command()): /proc, /dev, /sys and the shared folders are mounted into
the chroot there, at the same absolute paths, so that no path needs translating and no mount outlives the
command or shows outside it. An `rm -rf build/` therefore never reaches through one.

The wineserver's socket lives under /tmp/.wine-UID/server-DEV-INODE/, keyed by the prefix's device and inode.
Every process of a chroot's prefix sees the chroot's own /tmp and the prefix at the same path, so they all
find one server, each from its own mount namespace.

Command line: `wine_release.py host` and `wine_release.py other` print the release of the host's Wine and of
the chroot's, `wine_release.py make` makes the chroot (or says why it cannot), `wine_release.py check` runs a
command under the chroot's Wine and shows that no mount is left behind, `wine_release.py run -- ARGV...` runs
ARGV under it with the build folder shared.
"""

import argparse
import fcntl
import os
import re
import shlex
import shutil
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("QRVX_BUILD_ROOT", ROOT / "build"))

# Each Wine release the tests run under, by its major version, and the Debian release that has it.
SUITES = {"8": "bookworm", "10": "trixie"}
RELEASES = tuple(SUITES)
# Wine 10 builds the machine's trusted roots afresh from the CA bundle in every process that opens them, and
# drops what an earlier process added; Wine 8 keeps what is added to them in the prefix.
TRUSTS_CA_BUNDLE = ("10",)
PACKAGES = ("wine", "wine64")
PACKAGES_32BIT = ("wine32:i386",)
# The host's own 32-bit loader (install-deps.sh installs it): whether it starts tells whether this host can run
# 32-bit Linux code at all.
HOST_LOADER_32BIT = "/usr/lib/wine/wine"
# Why install-deps.sh could not install the host's 32-bit loader, when it could not.
HOST_32BIT_MISSING = BUILD / "wine32-missing.txt"

# Where Debian puts the loaders and the server, on both releases: /usr/bin/wine and /usr/bin/wineserver are
# wrappers that pick the 32-bit loader whenever wine32 is installed.
LOADERS = {"x64": "/usr/lib/wine/wine64", "x86": "/usr/lib/wine/wine"}
WINESERVER = "/usr/lib/wine/wineserver64"


def _os_release_codename():
    try:
        text = Path("/etc/os-release").read_text()
    except OSError:
        return ""
    found = re.search(r"^VERSION_CODENAME=\"?([^\"\n]*)", text, re.M)
    return found[1] if found else ""


def host_release():
    """The release of the host's own Wine: that of its Debian release, or else what its loader says."""
    codename = _os_release_codename()
    for release, suite in SUITES.items():
        if suite == codename:
            return release
    try:
        said = subprocess.run([LOADERS["x64"], "--version"], capture_output=True, text=True, timeout=60).stdout
    except (OSError, subprocess.SubprocessError):
        said = ""
    found = re.match(r"wine-(\d+)", said)
    return found[1] if found and found[1] in RELEASES else RELEASES[0]


HOST = host_release()
OTHER = next(release for release in RELEASES if release != HOST)  # the chroot's
SUITE = SUITES[OTHER]

CACHE = BUILD / f"wine-{SUITE}"
CHROOT = CACHE / "root"
READY = CACHE / "ready"  # written last: a chroot without it is half made, and is made again
# Why the chroot has no 32-bit loader, when it was made without one.
CHROOT_32BIT_MISSING = CACHE / "wine32-missing.txt"
# Wine 10 builds the machine's trusted roots from this file in every process that opens them. No package of
# the chroot's brings one, so it is there empty, for a test to bind its own CA over it (QRVX_CA_BUNDLE).
CA_BUNDLE = CHROOT / "etc" / "ssl" / "certs" / "ca-certificates.crt"
LOCK = CACHE / "lock"
LOG = CACHE / "make.log"


def selected():
    """The release the rig runs under: QRVX_WINE_RELEASE, the host's Wine by default."""
    release = os.environ.get("QRVX_WINE_RELEASE", HOST)
    if release not in RELEASES:
        raise SystemExit(f"QRVX_WINE_RELEASE={release}: not one of {', '.join(RELEASES)}")
    return release


def prefix(release, build=BUILD):
    """Each release has a prefix of its own: a prefix that one release has updated is not for the other."""
    return build / f"wine-prefix-{release}"


def root(release):
    """The folder under which RELEASE's loaders and wineserver are: / for the host's, else the chroot."""
    return Path("/") if release == HOST else CHROOT


def why_32bit_missing(release):
    """Why RELEASE has no 32-bit loader installed, as its set-up said."""
    recorded = HOST_32BIT_MISSING if release == HOST else CHROOT_32BIT_MISSING
    try:
        why = recorded.read_text().strip()
    except OSError:
        why = ("run 'make test' as root to install it" if release == HOST
               else "the chroot was made without it, as this host cannot run 32-bit code")
    return f"Wine {release}'s 32-bit half (wine32:i386) is not installed: {why}"


# --- mounts ---------------------------------------------------------------------------------------------

def mounts_under(path):
    """The mount points at or under PATH that this process's mount namespace sees."""
    path = os.path.realpath(path)
    found = []
    with open("/proc/self/mountinfo") as mountinfo:
        for line in mountinfo:
            # Field 5 is the mount point, with spaces and such written as octal escapes.
            point = re.sub(r"\\([0-7]{3})", lambda m: chr(int(m.group(1), 8)), line.split()[4])
            if point == path or point.startswith(path + "/"):
                found.append(point)
    return found


# Run by sh inside `unshare --mount --propagation private`, which makes every mount private (as
# `mount --make-rprivate /` would) before anything is mounted, so that no mount reaches the namespace we came
# from (that of `ip netns exec`, or the host's) and all of them end with the last process of this one.
# $1 is the chroot, then the shared folders up to "--", then the command. /sys is that of the current
# network namespace, as `ip netns exec` mounted it, and so is /etc/hosts once the chroot has one: inside a
# test's namespace, the test's own names. Where the command is given QRVX_CA_BUNDLE, that file is the CA
# bundle its Wine sees. Each mount is a process of its own: only what Wine needs.
_ENTER = r"""
set -e
root=$1; shift
mount -t proc proc "$root/proc"
mount --rbind /dev "$root/dev"
mount --rbind /sys "$root/sys"
if [ -e "$root/etc/hosts" ]; then mount --bind /etc/hosts "$root/etc/hosts"; fi
if [ -n "${QRVX_CA_BUNDLE:-}" ]; then mount --bind "$QRVX_CA_BUNDLE" "$root/etc/ssl/certs/ca-certificates.crt"; fi
while [ "$1" != "--" ]; do
  mkdir -p "$root$1"
  mount --bind "$1" "$root$1"
  shift
done
shift
exec chroot "$root" "$@"
"""


def _enter(argv, shared=()):
    folders = sorted({Path(folder).resolve() for folder in shared})
    # A folder inside another shared one comes with it.
    folders = [f for f in folders if not any(other != f and other in f.parents for other in folders)]
    return ["unshare", "--mount", "--propagation", "private", "sh", "-c", _ENTER, "sh", str(CHROOT),
            *map(str, folders), "--", *argv]


# The host's own Wine, where a command is given QRVX_CA_BUNDLE: a private mount namespace in which that file
# is the CA bundle, alone in /etc/ssl/certs, whether or not the host has a bundle of its own there.
_HOST_ENTER = r"""
[ -n "${QRVX_CA_BUNDLE:-}" ] || exec "$@"
exec unshare --mount --propagation private sh -c '
set -e
mount -t tmpfs -o size=4m qrvx-ca /etc/ssl/certs
cp "$QRVX_CA_BUNDLE" /etc/ssl/certs/ca-certificates.crt
exec "$@"' sh "$@"
"""


def command(release, argv, shared=()):
    """ARGV as it runs under RELEASE. For the host's Wine it is ARGV itself, or for a release that trusts the
    CA bundle, a wrapper that shows it QRVX_CA_BUNDLE when it is given one. For the chroot's Wine it is a
    wrapper that makes a private mount namespace, mounts what Wine needs and the SHARED folders (the prefix,
    the build folder) into the chroot at their own paths, and runs ARGV there. ARGV names the loader or the
    wineserver by their paths in the chroot, LOADERS and WINESERVER."""
    if release == HOST:
        return ["sh", "-c", _HOST_ENTER, "sh", *argv] if release in TRUSTS_CA_BUNDLE else list(argv)
    return _enter(argv, shared)


# --- making the chroot ----------------------------------------------------------------------------------

def debian_mirror():
    """The Debian mirror the host's apt uses, or None."""
    sources = [Path("/etc/apt/sources.list"), *sorted(Path("/etc/apt/sources.list.d").glob("*"))]
    for source in sources:
        try:
            text = source.read_text()
        except OSError:
            continue
        if source.suffix == ".sources":
            for stanza in re.split(r"\n\s*\n", text):
                fields = dict(re.findall(r"^(\S+):\s*(.*)$", stanza, re.M))
                suites = fields.get("Suites", "").split()
                wanted = any(not suite.endswith("-security") for suite in suites)
                if "deb" in fields.get("Types", "").split() and wanted:
                    for uri in fields.get("URIs", "").split():
                        if re.search(r"/debian/?$", uri):
                            return uri
        else:
            for line in text.splitlines():
                words = re.sub(r"\[[^]]*\]", "", line.split("#")[0]).split()
                if len(words) >= 3 and words[0] == "deb" and re.search(r"/debian/?$", words[1]) \
                        and not words[2].endswith("-security"):
                    return words[1]
    return None


def _log_tail(lines=5):
    try:
        return " | ".join(LOG.read_text(errors="replace").strip().splitlines()[-lines:])
    except OSError:
        return ""


def host_runs_32bit():
    """False only where the host's 32-bit loader is there and cannot start (no 32-bit Linux code here);
    when there is no loader to tell, the chroot gets its 32-bit part as well."""
    if not os.path.exists(HOST_LOADER_32BIT):
        return True
    try:
        return subprocess.run([HOST_LOADER_32BIT, "--version"], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=60).returncode == 0
    except (OSError, subprocess.SubprocessError):
        return False


def _run_step(step, log, env):
    shown = step[step.index("--") + 1:] if "--" in step else step
    log.write(f"$ {shlex.join(shown)}\n".encode())
    log.flush()
    return subprocess.run(step, stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, env=env,
                          timeout=1800).returncode == 0


def _make():
    """Makes the chroot from scratch; returns None, or why it could not be made."""
    mirror = debian_mirror()
    if mirror is None:
        return "No Debian mirror found in apt's sources for debootstrap."
    left = mounts_under(CACHE)
    if left:
        return f"Something is mounted under {CACHE} ({left[0]}); not removing a half-made chroot through it."
    shutil.rmtree(CHROOT, ignore_errors=True)
    CHROOT_32BIT_MISSING.unlink(missing_ok=True)
    CHROOT.mkdir(parents=True)
    # A host that cannot run 32-bit code skips every x86 test: Wine's 32-bit half, nearly half of what
    # would be unpacked, is left out there.
    with_32bit = host_runs_32bit()
    # dpkg syncs each file it unpacks, which was most of the time this took; a chroot that a crash leaves
    # half-made has no ready marker, and is made again anyway.
    unsafe_io = ["sh", "-c", "echo force-unsafe-io >/etc/dpkg/dpkg.cfg.d/qrvx-unsafe-io"]
    install = ["apt-get", "install", "-y", "-q", "--no-install-recommends"]
    # debootstrap mounts /proc and /sys into the target; in a private mount namespace of its own, no mount
    # outlives it even when it fails half-way.
    steps = [
        ["unshare", "--mount", "--propagation", "private",
         "debootstrap", "--variant=minbase", SUITE, str(CHROOT), mirror],
        _enter(unsafe_io),
        *([_enter(["dpkg", "--add-architecture", "i386"])] if with_32bit else []),
    ]
    env = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "DEBIAN_FRONTEND": "noninteractive", "LC_ALL": "C"}
    with open(LOG, "wb") as log:
        for step in steps:
            if not _run_step(step, log, env):
                return f"Making the Debian {SUITE} chroot for Wine {OTHER} failed: {_log_tail()} (see {LOG})"
        # A mirror out of step fails an index now and then: asked again, it is used as far as it goes.
        for attempt in range(3):
            if _run_step(_enter(["apt-get", "update", "-q"]), log, env):
                break
            time.sleep(10)
        # Wine's 32-bit half apart: an i386 index out of step with the amd64 one stops it alone.
        if not _run_step(_enter([*install, *PACKAGES]), log, env):
            return f"Making the Debian {SUITE} chroot for Wine {OTHER} failed: {_log_tail()} (see {LOG})"
        if with_32bit and not _run_step(_enter([*install, *PACKAGES_32BIT]), log, env):
            CHROOT_32BIT_MISSING.write_text(f"apt in the Debian {SUITE} chroot could not install it: "
                                            f"{_log_tail(2)} (see {LOG})\n")
        _run_step(_enter(["apt-get", "clean"]), log, env)
    # Name look-ups under the chroot's Wine go to loopback, as in the rig's namespaces; never to the host's
    # resolver.
    (CHROOT / "etc" / "resolv.conf").write_text("nameserver 127.0.0.1\n")
    (CHROOT / "etc" / "hosts").write_text("127.0.0.1 localhost\n::1 localhost ip6-localhost ip6-loopback\n")
    _make_ca_bundle()
    for path in (LOADERS["x64"], WINESERVER):
        if not (CHROOT / path.lstrip("/")).exists():
            return f"The Debian {SUITE} chroot has no {path}."
    left = mounts_under(CACHE)
    assert not left, f"mounts left under {CACHE}: {left}"
    return None


def _make_ca_bundle():
    if not CA_BUNDLE.exists():
        CA_BUNDLE.parent.mkdir(parents=True, exist_ok=True)
        CA_BUNDLE.touch()


def missing(release):
    """Why RELEASE cannot run here, or None; for the chroot's release, makes and caches the chroot first.
    Call it outside any test network namespace: making the chroot fetches packages."""
    if release == HOST:
        return None
    if READY.exists():
        _make_ca_bundle()  # for a chroot made before it had one
        return None
    if os.geteuid() != 0:
        return f"Wine {release} runs from a Debian {SUITE} chroot, which only root can make and enter."
    for program in ("debootstrap", "unshare", "chroot"):
        if shutil.which(program) is None:
            return f"{program} is missing: run 'make test' as root to install it."
    CACHE.mkdir(parents=True, exist_ok=True)
    with open(LOCK, "a") as lock:
        # Two tests that ask at once: one makes the chroot, the other waits for it and finds it ready.
        fcntl.flock(lock, fcntl.LOCK_EX)
        if READY.exists():
            return None
        started = time.monotonic()
        reason = _make()
        if reason is None:
            version = subprocess.run(_enter([LOADERS["x64"], "--version"]), capture_output=True, text=True,
                                     timeout=60).stdout.strip()
            x86 = None if (CHROOT / LOADERS["x86"].lstrip("/")).exists() else why_32bit_missing(release)
            READY.write_text(f"{version}, {'without its 32-bit loader: ' + x86 if x86 else 'with its 32-bit loader'}"
                             f"\nmade in {time.monotonic() - started:.0f} s\n")
        return reason


# --- command line ---------------------------------------------------------------------------------------

def _check():
    """Runs the chroot's Wine loader with the build folder shared, and shows that the command's mounts are
    seen by the command alone: none in this namespace before, while it runs, or after."""
    reason = missing(OTHER)
    if reason:
        print("Skipped:", reason)
        return 77
    assert mounts_under(BUILD) == [], mounts_under(BUILD)
    inside = f"{LOADERS['x64']} --version && test -d {shlex.quote(str(BUILD))} && read line"
    process = subprocess.Popen(command(OTHER, ["sh", "-c", inside], shared=[BUILD]), stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, text=True)
    try:
        version = process.stdout.readline().strip()
        assert version.startswith(f"wine-{OTHER}."), version
        # The command's own namespace holds its mounts; it is the chroot's sh by now, which sees them at
        # the paths it uses.
        with open(f"/proc/{process.pid}/mountinfo") as mountinfo:
            theirs = {line.split()[4] for line in mountinfo}
        assert {"/proc", "/dev", "/sys", str(BUILD)} <= theirs, theirs
        assert mounts_under(BUILD) == [], f"the command's mounts show here: {mounts_under(BUILD)}"
    finally:
        process.communicate("\n", timeout=30)
    assert process.returncode == 0, process.returncode
    assert mounts_under(BUILD) == [], mounts_under(BUILD)
    print(f"{version}: {len(theirs)} mounts in the command's namespace, none under {BUILD} here")
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = parser.add_subparsers(dest="verb", required=True)
    sub.add_parser("host")
    sub.add_parser("other")
    sub.add_parser("make")
    sub.add_parser("check")
    run = sub.add_parser("run")
    run.add_argument("argv", nargs=argparse.REMAINDER)
    options = parser.parse_args()
    if options.verb in ("host", "other"):
        print(HOST if options.verb == "host" else OTHER)
        return 0
    if options.verb == "make":
        reason = missing(OTHER)
        print(reason or READY.read_text().strip())
        return 1 if reason else 0
    if options.verb == "check":
        return _check()
    reason = missing(OTHER)
    if reason:
        print("Skipped:", reason, file=sys.stderr)
        return 77
    argv = options.argv[1:] if options.argv[:1] == ["--"] else options.argv
    return subprocess.run(command(OTHER, argv, shared=[BUILD])).returncode


if __name__ == "__main__":
    sys.exit(main())
