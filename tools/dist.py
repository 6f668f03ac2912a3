"""Packs the release archives from the builds of both programs (`make dist`).

Writes, into build/dist unless told otherwise:
  qrvxSuninstall-VERSION-win64.zip, qrvxSuninstall-VERSION-win32.zip  the program, a sample
      qrvxconfig.ini and README.txt;
  qrvxSuninstall-VERSION-symbols.zip  the symbol files of both programs;
  SHA256SUMS  over the three archives.

Entries have fixed times, attributes and order, so that the same programs give the same archives.

With QRVX_SIGN_PFX (a PKCS#12 file) and QRVX_SIGN_PASSWORD set, copies of both programs are signed with
osslsigncode (SHA-256) and the signed copies are packed; QRVX_SIGN_TIMESTAMP_URL adds an RFC 3161 time
stamp. A signing that fails writes no archive at all.
"""

import argparse
import hashlib
import os
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
ARCHES = ("win64", "win32")
PROGRAM = "qrvxSuninstall.exe"
SYMBOLS = PROGRAM + ".debug"
ENTRY_TIME = (1980, 1, 1, 0, 0, 0)  # the earliest a zip entry can carry
ARCHIVE_ATTRIBUTE = 0x20  # FILE_ATTRIBUTE_ARCHIVE, as Windows' own zip folders write


class DistError(Exception):
    pass


def built_version(build):
    versions = set()
    for arch in ARCHES:
        for name in (PROGRAM, SYMBOLS, "version.txt"):
            if not (build / arch / name).is_file():
                raise DistError(f"{build / arch / name} is missing: build both programs first "
                                "(make win64 win32).")
        versions.add((build / arch / "version.txt").read_text().strip())
    if len(versions) != 1:
        raise DistError(f"The builds are of different versions: {sorted(versions)}.")
    return versions.pop()


def windows_text(path, version):
    return path.read_text().replace("@VERSION@", version).replace("\r\n", "\n").replace("\n", "\r\n").encode()


def archive(entries):
    """The bytes of a zip of (name, bytes) pairs, in the order given."""
    with tempfile.TemporaryFile() as file:
        with zipfile.ZipFile(file, "w") as zip_file:
            for name, data in entries:
                info = zipfile.ZipInfo(name, date_time=ENTRY_TIME)
                info.create_system = 0
                info.external_attr = ARCHIVE_ATTRIBUTE
                info.compress_type = zipfile.ZIP_DEFLATED
                zip_file.writestr(info, data, compresslevel=9)
        file.seek(0)
        return file.read()


def signed(programs, pfx, password, timestamp_url):
    """Signed copies of the programs ({arch: bytes}); the build outputs are left as they are."""
    result = {}
    with tempfile.TemporaryDirectory() as work:
        work = Path(work)
        password_file = work / "password"
        password_file.touch(mode=0o600)
        password_file.write_text(password)
        for arch, data in programs.items():
            unsigned, signed_copy = work / f"{arch}-unsigned.exe", work / f"{arch}.exe"
            unsigned.write_bytes(data)
            command = ["osslsigncode", "sign", "-pkcs12", pfx, "-readpass", str(password_file),
                       "-h", "sha256", "-n", "Quorvex service uninstaller"]
            if timestamp_url:
                command += ["-ts", timestamp_url]
            command += ["-in", str(unsigned), "-out", str(signed_copy)]
            run = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, text=True)
            if run.returncode != 0 or not signed_copy.is_file():
                raise DistError(f"Signing the {arch} program failed:\n{run.stdout}{run.stderr}".rstrip())
            result[arch] = signed_copy.read_bytes()
    return result


def release_files(build, version, sign):
    """{file name: bytes} of everything that goes into the output folder."""
    programs = {arch: (build / arch / PROGRAM).read_bytes() for arch in ARCHES}
    if sign:
        programs = signed(programs, *sign)
    readme = windows_text(ROOT / "packaging" / "README.txt", version)
    config = windows_text(ROOT / "packaging" / "qrvxconfig.ini", version)

    files = {}
    for arch in ARCHES:
        folder = f"qrvxSuninstall-{version}-{arch}/"
        files[folder[:-1] + ".zip"] = archive([(folder + PROGRAM, programs[arch]),
                                               (folder + "qrvxconfig.ini", config),
                                               (folder + "README.txt", readme)])
    folder = f"qrvxSuninstall-{version}-symbols/"
    files[folder[:-1] + ".zip"] = archive(
        [(f"{folder}{arch}/{SYMBOLS}", (build / arch / SYMBOLS).read_bytes()) for arch in ARCHES])
    files["SHA256SUMS"] = "".join(f"{hashlib.sha256(data).hexdigest()}  {name}\n"
                                  for name, data in files.items()).encode()
    return files


def signing_from_environment():
    pfx = os.environ.get("QRVX_SIGN_PFX")
    if not pfx:
        return None
    if "QRVX_SIGN_PASSWORD" not in os.environ:
        raise DistError("QRVX_SIGN_PFX is set but QRVX_SIGN_PASSWORD is not.")
    if not Path(pfx).is_file():
        raise DistError(f"QRVX_SIGN_PFX names no file: {pfx}")
    return pfx, os.environ["QRVX_SIGN_PASSWORD"], os.environ.get("QRVX_SIGN_TIMESTAMP_URL")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", type=Path, default=ROOT / "build",
                        help="folder of the win64 and win32 builds")
    parser.add_argument("--out", type=Path, default=ROOT / "build" / "dist", help="output folder")
    options = parser.parse_args()

    # Archives of an earlier run must not pass for this run's when this one fails.
    if options.out.is_dir():
        for old in [*options.out.glob("qrvxSuninstall-*.zip"), options.out / "SHA256SUMS"]:
            old.unlink(missing_ok=True)
    try:
        version = built_version(options.build)
        sign = signing_from_environment()
        files = release_files(options.build, version, sign)
    except DistError as error:
        print(f"{error}\nNo archive written.", file=sys.stderr)
        return 1

    if sign:
        stamp = " and a time stamp" if sign[2] else ", without a time stamp"
        print(f"Signed both programs with {sign[0]}{stamp}.")
    else:
        print("Not signed: QRVX_SIGN_PFX is not set, so the archives hold unsigned programs.")
    options.out.mkdir(parents=True, exist_ok=True)
    for name, data in files.items():
        (options.out / name).write_bytes(data)
        print(options.out / name)
    return 0


if __name__ == "__main__":
    sys.exit(main())
