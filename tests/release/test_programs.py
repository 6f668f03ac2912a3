"""What an admin checks in a shipped program, read from the files without running them, so that it holds on
any host: the kind of program, its imports and loader flags, the symbol file it links to, its manifest and
its version resource.

python3 test_programs.py --arch x64|x86 --version X.Y.Z [--build DIR] [unittest args]
"""

import argparse
import re
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ET
import zlib
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
PROGRAM = "qrvxSuninstall.exe"
SYMBOLS = PROGRAM + ".debug"

# arch: (build folder, binutils prefix, objdump's file format, PE magic, DllCharacteristics)
ARCHES = {
    "x64": ("win64", "x86_64-w64-mingw32-", "pei-x86-64", "(PE32+)", 0x160),  # + HIGH_ENTROPY_VA
    "x86": ("win32", "i686-w64-mingw32-", "pei-i386", "(PE32)", 0x140),  # DYNAMIC_BASE, NX_COMPAT
}
SUPPORTED_OS = {
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # Windows 7
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # Windows 8
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # Windows 8.1
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  # Windows 10 and 11
}
options = None


def tool(name, *args):
    return subprocess.run([ARCHES[options.arch][1] + name, *map(str, args)], check=True, capture_output=True,
                          text=True, errors="replace").stdout


def local_name(element):
    return element.tag.rpartition("}")[2]


class ProgramTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = options.build / ARCHES[options.arch][0]
        cls.program = cls.folder / PROGRAM
        cls.symbols = cls.folder / SYMBOLS
        if not cls.program.is_file():
            raise AssertionError(f"{cls.program} was not built")
        cls.headers = tool("objdump", "-p", "-h", cls.program)

    def sections(self, path):
        listing = tool("objdump", "-h", path)
        return {m[1]: m[2] for m in re.finditer(r"^\s*\d+ (\S+)\s.*\n\s+(.*)$", listing, re.M)}

    def test_console_program_of_its_architecture(self):
        _, _, file_format, magic, _ = ARCHES[options.arch]
        self.assertIn(f"file format {file_format}\n", self.headers)
        self.assertRegex(self.headers, rf"Magic\s+\w+\s+{re.escape(magic)}\n")
        self.assertRegex(self.headers, r"Subsystem\s+00000003\s+\(Windows CUI\)")

    def test_imports_only_the_systems_own_dlls(self):
        imported = {name.lower() for name in re.findall(r"DLL Name: (\S+)", self.headers)}
        self.assertEqual(imported, {"kernel32.dll", "advapi32.dll", "msvcrt.dll"})

    def test_check_beside_it_imports_only_the_systems_own_dlls(self):
        check = self.folder / "qrvxScheck.exe"
        imported = {name.lower() for name in re.findall(r"DLL Name: (\S+)", tool("objdump", "-p", check))}
        self.assertEqual(imported, {"kernel32.dll", "advapi32.dll", "msvcrt.dll"})

    def test_loader_flags(self):
        flags = int(re.search(r"DllCharacteristics\s+([0-9a-f]+)", self.headers)[1], 16)
        self.assertEqual(flags, ARCHES[options.arch][4], hex(flags))

    def test_no_debug_information_but_a_link_to_the_symbol_file(self):
        sections = self.sections(self.program)
        self.assertEqual([name for name in sections if name.startswith(".debug")], [])
        with tempfile.TemporaryDirectory() as work:
            link = Path(work, "link")
            tool("objcopy", f"--dump-section=.gnu_debuglink={link}", self.program, Path(work, "copy"))
            name, _, rest = link.read_bytes().partition(b"\0")
        self.assertEqual(name.decode(), SYMBOLS)
        self.assertTrue(self.symbols.is_file(), f"{self.symbols} is missing")
        crc = int.from_bytes(rest[-4:], "little")
        self.assertEqual(crc, zlib.crc32(self.symbols.read_bytes()), "the link names another build's symbols")

        symbol_sections = self.sections(self.symbols)
        self.assertIn("CONTENTS", symbol_sections.get(".debug_info", ""), symbol_sections)
        self.assertIn("CONTENTS", symbol_sections.get(".debug_line", ""), symbol_sections)
        self.assertNotIn(str(ROOT).encode(), self.symbols.read_bytes(), "the build folder is in the symbols")

    def test_stack_protector_linked_in(self):
        names = {line.split()[-1] for line in tool("objdump", "-t", self.symbols).splitlines() if line}
        underscore = "_" if options.arch == "x86" else ""  # C names of i386 carry one more
        for name in ("__stack_chk_fail", "__stack_chk_guard"):
            self.assertIn(underscore + name, names, "stack protector not linked in")

    def test_size(self):
        if options.arch != "x64":
            self.skipTest("only the x64 programs have a size bound")
        # The check carries the report's code for its dry run, and stays small all the same.
        for name, bound in ((PROGRAM, 200 * 1024), ("qrvxScheck.exe", 128 * 1024)):
            with self.subTest(name):
                self.assertLessEqual((self.folder / name).stat().st_size, bound)

    def test_manifest(self):
        raw = subprocess.run(["wrestool", "-x", "--raw", "--type=24", "--name=1", str(self.program)],
                             check=True, capture_output=True).stdout
        self.assertTrue(raw, "no manifest")
        manifest = ET.fromstring(raw)
        elements = list(manifest.iter())
        levels = [e.attrib for e in elements if local_name(e) == "requestedExecutionLevel"]
        self.assertEqual(levels, [{"level": "requireAdministrator", "uiAccess": "false"}])
        supported = {e.get("Id") for e in elements if local_name(e) == "supportedOS"}
        self.assertEqual(supported, SUPPORTED_OS)
        self.assertNotIn("activeCodePage", {local_name(e) for e in elements})

    def test_version_resource(self):
        resources = tool("windres", "-i", self.program, "-O", "rc")
        numbers = ", ".join(options.version.split(".") + ["0"])
        self.assertRegex(resources, rf"\n FILEVERSION {numbers}\n")
        self.assertRegex(resources, rf"\n PRODUCTVERSION {numbers}\n")
        values = dict(re.findall(r'VALUE "(\w+)", "([^"]*)"', resources))
        self.assertEqual(values, {
            "FileDescription": "Quorvex service uninstaller",
            "FileVersion": options.version,
            "InternalName": "qrvxSuninstall",
            "OriginalFilename": PROGRAM,
            "ProductName": "Quorvex",
            "ProductVersion": options.version,
        })


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--arch", choices=sorted(ARCHES), required=True)
    parser.add_argument("--version", required=True, help="the project version the programs must carry")
    parser.add_argument("--build", type=Path, default=ROOT / "build")
    options, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)
