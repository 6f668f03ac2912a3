"""Two builds of the same sources, in two folders of different names and lengths, give the same programs,
symbol files and archives, byte for byte: this checkout's own build (which `make test` brings up to date
first), and a clean build of a copy of its tracked files in a temporary folder.

python3 test_reproducible.py [unittest args]; exits 77 (skipped) outside a git checkout.
python3 test_reproducible.py --second-build: makes only the second build, for the test to take later, and
writes where it is to build/reproducible-second.txt. `make test` makes it beside the checkout's own build,
while the machine would otherwise wait on configure steps and links; the test waits for it to end, and takes
it only if the copy's sources are still the checkout's, and otherwise builds its own.
"""

import contextlib
import fcntl
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
SKIPPED = 77
OUTPUTS = [f"build/{arch}/{name}" for arch in ("win64", "win32")
           for name in ("qrvxSuninstall.exe", "qrvxSuninstall.exe.debug", "qrvxScheck.exe")]
SECOND = ROOT / "build" / "reproducible-second.txt"
# Held by the second build made beside this checkout's while it runs: the test, which may start first, waits
# for it rather than making one of its own at the same time.
SECOND_LOCK = ROOT / "build" / "reproducible-second.lock"
FINISHED = "finished"  # in the copy's build folder once its build and archives are whole


def tracked_files():
    listing = subprocess.run(["git", "-C", str(ROOT), "ls-files", "-z"], capture_output=True,
                             check=True).stdout
    return [name for name in listing.decode().split("\0") if name]


def commit_time():
    return subprocess.run(["git", "-C", str(ROOT), "log", "-1", "--format=%ct"], capture_output=True,
                          check=True, text=True).stdout.strip()


def run(command, folder):
    # Signing variables of the caller's shell must not reach the dist run: signatures carry a time.
    env = {k: v for k, v in os.environ.items() if not k.startswith("QRVX_SIGN_")}
    # The copies are no git checkouts: the SBOM's time comes from this checkout's commit, as a rebuild
    # from a source archive would set it.
    env.setdefault("SOURCE_DATE_EPOCH", commit_time())
    result = subprocess.run(command, cwd=folder, env=env, stdin=subprocess.DEVNULL, capture_output=True,
                            text=True)
    if result.returncode != 0:
        raise AssertionError(f"{' '.join(command)} failed in {folder}:\n{result.stdout}{result.stderr}")


def clean_release_build(folder):
    for preset in ("win64", "win32"):
        run(["cmake", "--preset", preset], folder)
        run(["cmake", "--build", "--preset", preset, "--parallel", "2",
             "--target", "qrvxSuninstall", "qrvxScheck"], folder)
    run([sys.executable, "tools/dist.py"], folder)
    (folder / "build" / FINISHED).touch()


def copy_tracked_files():
    copy = Path(tempfile.mkdtemp(prefix="qrvx-reproducible-second-copy-"))
    for name in tracked_files():
        (copy / name).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(ROOT / name, copy / name)
    return copy


@contextlib.contextmanager
def second_build_lock():
    SECOND_LOCK.parent.mkdir(parents=True, exist_ok=True)
    with open(SECOND_LOCK, "wb") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        yield


def made_beside():
    """The second build that `make test` made, once it has ended, if it is whole and its sources are the
    checkout's now."""
    with second_build_lock():
        pass
    if not SECOND.is_file():
        return None
    copy = Path(SECOND.read_text().strip())
    if not (copy / "build" / FINISHED).is_file():
        return None
    for name in tracked_files():
        if not (copy / name).is_file() or (copy / name).read_bytes() != (ROOT / name).read_bytes():
            return None
    return copy


class ReproducibleTest(unittest.TestCase):
    def test_two_folders_build_the_same_bytes(self):
        built = ROOT / "build"
        for name in OUTPUTS:
            if not (ROOT / name).is_file():
                self.fail(f"{ROOT / name} is missing: build both programs first (make win64 win32)")
        packed = Path(tempfile.mkdtemp(prefix="qrvx-a-"))
        self.addCleanup(shutil.rmtree, packed, ignore_errors=True)
        run([sys.executable, "tools/dist.py", "--build", str(built), "--out", str(packed / "dist")], ROOT)
        copy = made_beside()
        if copy is None:
            copy = copy_tracked_files()
            clean_release_build(copy)
        else:
            print(f"The second build is the one made beside this checkout's, in {copy}.")
        self.addCleanup(shutil.rmtree, copy, ignore_errors=True)
        self.addCleanup(SECOND.unlink, missing_ok=True)

        archives = sorted(p.name for p in (packed / "dist").iterdir())
        self.assertEqual(len(archives), 4, archives)  # three archives and SHA256SUMS
        pairs = [(ROOT / name, copy / name) for name in OUTPUTS]
        pairs += [(packed / "dist" / name, copy / "build/dist" / name) for name in archives]
        for first_path, second_path in pairs:
            with self.subTest(str(second_path.relative_to(copy))):
                first, second = first_path.read_bytes(), second_path.read_bytes()
                self.assertTrue(first)
                self.assertTrue(first == second, f"{first_path} differs from {second_path}")


def second_build():
    with second_build_lock():
        if SECOND.is_file():
            shutil.rmtree(SECOND.read_text().strip(), ignore_errors=True)
        copy = copy_tracked_files()
        SECOND.write_text(f"{copy}\n")
        clean_release_build(copy)
    return 0


if __name__ == "__main__":
    try:
        tracked_files()
    except (OSError, subprocess.CalledProcessError):
        print("Not a git checkout: the sources to copy are not known. Skipped.")
        sys.exit(SKIPPED)
    if sys.argv[1:] == ["--second-build"]:
        sys.exit(second_build())
    unittest.main(verbosity=2)
