"""Two builds of the same sources, in two folders of different names and lengths, give the same programs,
symbol files and archives, byte for byte: this checkout's own build (which `make test` brings up to date
first), and a clean build of a copy of its tracked files in a temporary folder.

python3 test_reproducible.py [unittest args]; exits 77 (skipped) outside a git checkout.
"""

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


class ReproducibleTest(unittest.TestCase):
    def test_two_folders_build_the_same_bytes(self):
        built = ROOT / "build"
        for name in OUTPUTS:
            if not (ROOT / name).is_file():
                self.fail(f"{ROOT / name} is missing: build both programs first (make win64 win32)")
        packed = Path(tempfile.mkdtemp(prefix="qrvx-a-"))
        copy = Path(tempfile.mkdtemp(prefix="qrvx-reproducible-second-copy-"))
        for folder in (packed, copy):
            self.addCleanup(shutil.rmtree, folder, ignore_errors=True)
        run([sys.executable, "tools/dist.py", "--build", str(built), "--out", str(packed / "dist")], ROOT)
        for name in tracked_files():
            (copy / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(ROOT / name, copy / name)
        clean_release_build(copy)

        archives = sorted(p.name for p in (packed / "dist").iterdir())
        self.assertEqual(len(archives), 4, archives)  # three archives and SHA256SUMS
        pairs = [(ROOT / name, copy / name) for name in OUTPUTS]
        pairs += [(packed / "dist" / name, copy / "build/dist" / name) for name in archives]
        for first_path, second_path in pairs:
            with self.subTest(str(second_path.relative_to(copy))):
                first, second = first_path.read_bytes(), second_path.read_bytes()
                self.assertTrue(first)
                self.assertTrue(first == second, f"{first_path} differs from {second_path}")


if __name__ == "__main__":
    try:
        tracked_files()
    except (OSError, subprocess.CalledProcessError):
        print("Not a git checkout: the sources to copy are not known. Skipped.")
        sys.exit(SKIPPED)
    unittest.main(verbosity=2)
