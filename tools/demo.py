"""The whole job of qrvxSuninstall under Wine, shown step by step.

A private network namespace holds two adapters with known addresses and a stand-in management server on
127.0.0.1:80 that knows the second one as registered; a sample service "QUORVEX$TARNIKE" runs under Wine's
Service Control Manager; qrvxconfig.ini beside the program points at the stand-in server. The check's dry
run goes first, then the run itself. Run as root, through `make demo`.
"""

import argparse
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "wine"))

import rig  # noqa: E402
from server import RecordingServer, management_server  # noqa: E402

ADAPTERS = ("00:1a:2b:3c:4d:5e", "00:1a:2b:3c:4d:5f")
REGISTERED = "00-1A-2B-3C-4D-5F"
CONFIG = b"; the demo's stand-in server\r\n[Configuration]\r\nHostAddress=127.0.0.1\r\n"
STATES = {1: "STOPPED", 2: "START_PENDING", 3: "STOP_PENDING", 4: "RUNNING"}
EVENT_TYPES = {rig.EVENT_ERROR: "Error", rig.EVENT_WARNING: "Warning", rig.EVENT_INFORMATION: "Information"}


def describe(state):
    kind, value = state
    if kind == "state":
        return f"installed, {STATES.get(value, value)}"
    if value == rig.ERROR_SERVICE_DOES_NOT_EXIST:
        return "not installed"
    return f"cannot be read (error {value})"


def demo(namespace, peer_namespace):
    print("Preparing Wine (the first run makes a Wine prefix, which takes a few seconds)...")
    wine = rig.Wine("x64", rig.copy_template(rig.private_prefix(namespace)))
    adapters = rig.Adapters(peer_namespace)
    wine.start()
    try:
        adapters.make(*ADAPTERS)
        wine.restart()
        wine.remove_service_if_installed()
        wine.install_service(["--stop-after", "1500"])
        exe = wine.place("demo", wine.program("qrvxSuninstall"))
        (wine.work / "demo" / "qrvxconfig.ini").write_bytes(CONFIG)

        print()
        print(f"Adapters:        {', '.join(a.upper().replace(':', '-') for a in ADAPTERS)}")
        print(f"Server knows:    {REGISTERED} as registered")
        print(f"Program:         {exe}")
        print(f"qrvxconfig.ini:  {CONFIG.decode().strip().replace(chr(13) + chr(10), ' | ')}")
        print(f"Service before:  {rig.SERVICE_NAME} {describe(wine.service_state())}")
        print()
        # First as an admin tries a package: the check's dry run, which removes nothing and tells nothing.
        check = wine.place("demo", wine.build / "qrvxScheck.exe")
        print(f"$ {check} preflight")
        with RecordingServer(management_server([REGISTERED])) as server:
            dry_run = wine.run(check, ["preflight"])
        sys.stdout.write(dry_run.stdout.decode(errors="replace").replace("\r\n", "\n"))
        print(f"(exit status {dry_run.returncode}; the server saw {', '.join(r.path for r in server.requests)})")
        print(f"Service after the dry run: {rig.SERVICE_NAME} {describe(wine.service_state())}")
        print()
        print(f"$ {exe}")
        with RecordingServer(management_server([REGISTERED])) as server:
            result = wine.run(exe)
        sys.stdout.write(result.stdout.decode(errors="replace").replace("\r\n", "\n"))
        print(f"(exit status {result.returncode}, {result.elapsed:.1f} s)")
        print()
        print("The server saw:")
        for n, request in enumerate(server.requests, 1):
            reply = request.reply.body.decode(errors="replace") if request.reply else ""
            print(f"  {n}. {request.method} {request.path}")
            print(f"     body:  {request.body.decode(errors='replace')!r}")
            print(f"     reply: {reply!r}")
        print()
        print(f"Service after:   {rig.SERVICE_NAME} {describe(wine.state_once_settled())}")
        print()
        for kind, event_id, text in result.events:
            print(f"Event:           ID {event_id}, {EVENT_TYPES.get(kind, kind)}, source qrvxSuninstall "
                  "(its start, as Wine's trace shows it)")
            for line in text.splitlines():
                print(f"                 {line}".rstrip())
        # What the launcher asks after the program: the service's state and the outcome the run kept.
        verdict = wine.run(check)
        print(f"qrvxScheck.exe:  {verdict.stdout.decode(errors='replace').strip()} (exit status {verdict.returncode})")
    finally:
        adapters.clear()
        wine.stop()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--inside", nargs=2, metavar=("NAMESPACE", "PEER"))
    options = parser.parse_args()
    if options.inside:
        demo(*options.inside)
        return 0
    reason = rig.missing_prerequisite()
    if reason:
        print(reason, "Run 'make demo' as root.")
        return 1
    return rig.in_private_namespace(Path(__file__).resolve(), [])


if __name__ == "__main__":
    sys.exit(main())
