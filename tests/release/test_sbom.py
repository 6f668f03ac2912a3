"""The SBOM in each program archive, held against the archive itself and against this machine's
toolchain: the programs with the SHA-256 of the copies packed beside it, and each statically linked
component with the version of the Debian package that the toolchain's own file of it comes from.

python3 test_sbom.py --version X.Y.Z [--build DIR] [unittest args]
"""

import argparse
import hashlib
import json
import os
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
ARCHES = ("win64", "win32")
PROGRAMS = ("qrvxSuninstall.exe", "qrvxScheck.exe")
SBOM = "qrvxSuninstall.spdx.json"
# Each component, by a file of it that the compiler driver links.
COMPONENT_FILES = {"mingw-w64-runtime": "libmingwex.a", "libgcc": "libgcc.a", "libstdc++": "libstdc++.a",
                   "libssp": "libssp.a"}
options = None


def output(*command):
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout.strip()


def commit_time():
    try:
        return output("git", "-C", str(ROOT), "log", "-1", "--format=%ct")
    except (OSError, subprocess.CalledProcessError):
        return None


def compiler(build):
    cache = (build / "CMakeCache.txt").read_text()
    [line] = [line for line in cache.splitlines() if line.startswith("CMAKE_CXX_COMPILER:")]
    return line.partition("=")[2]


def installed_package(path):
    """(package, version) of the Debian package that installed the file, as dpkg itself tells."""
    owner = output("dpkg", "-S", os.path.realpath(path))
    package = owner.rpartition(": ")[0]
    return package, output("dpkg-query", "-W", "-f=${Version}", package)


class SbomTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        work = tempfile.TemporaryDirectory()
        cls.addClassCleanup(work.cleanup)
        env = {k: v for k, v in os.environ.items()
               if not k.startswith("QRVX_SIGN_") and k != "SOURCE_DATE_EPOCH"}
        cls.epoch = commit_time()
        if cls.epoch is None:  # not a git checkout: the time must then be given
            cls.epoch = env["SOURCE_DATE_EPOCH"] = "1700000000"
        command = [sys.executable, str(ROOT / "tools" / "dist.py"), "--build", str(options.build),
                   "--out", work.name]
        packed = subprocess.run(command, env=env, capture_output=True, text=True, timeout=300)
        if packed.returncode != 0:
            raise AssertionError(f"dist.py failed:\n{packed.stdout}{packed.stderr}")
        cls.archives = {}
        for arch in ARCHES:
            [archive] = Path(work.name).glob(f"qrvxSuninstall-*-{arch}.zip")
            with zipfile.ZipFile(archive) as zip_file:
                cls.archives[arch] = {Path(name).name: zip_file.read(name) for name in zip_file.namelist()}

    def document(self, arch):
        return json.loads(self.archives[arch][SBOM])

    def test_names_the_programs_as_packed(self):
        for arch in ARCHES:
            with self.subTest(arch):
                document = self.document(arch)
                self.assertEqual(document["spdxVersion"], "SPDX-2.3")
                self.assertEqual(document["creationInfo"]["created"],
                                 time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(int(self.epoch))))
                packages = {p["name"]: p for p in document["packages"]}
                for program in PROGRAMS:
                    package = packages[Path(program).stem]
                    self.assertEqual(package["versionInfo"], options.version)
                    self.assertEqual(package["packageFileName"], program)
                    self.assertEqual(package["checksums"], [{
                        "algorithm": "SHA256",
                        "checksumValue": hashlib.sha256(self.archives[arch][program]).hexdigest()}])

    def test_lists_each_component_with_its_package_version(self):
        for arch in ARCHES:
            driver = compiler(options.build / arch)
            document = self.document(arch)
            ids = {p["name"]: p["SPDXID"] for p in document["packages"]}
            contained = {(r["spdxElementId"], r["relatedSpdxElement"]) for r in document["relationships"]
                         if r["relationshipType"] == "CONTAINS"}
            packages = {p["name"]: p for p in document["packages"]}
            for component, file_name in COMPONENT_FILES.items():
                with self.subTest(arch=arch, component=component):
                    package, version = installed_package(output(driver, f"-print-file-name={file_name}"))
                    self.assertEqual(packages[component]["versionInfo"], version)
                    [reference] = packages[component]["externalRefs"]
                    self.assertTrue(reference["referenceLocator"].startswith(f"pkg:deb/debian/{package}@"),
                                    reference)
                    self.assertIn((ids["qrvxSuninstall"], ids[component]), contained)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--version", required=True, help="the project version the programs must carry")
    parser.add_argument("--build", type=Path, default=ROOT / "build")
    options, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)
