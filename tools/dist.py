"""Packs the release archives from the builds of both programs (`make dist`).

Writes, into build/dist unless told otherwise:
  qrvxSuninstall-VERSION-win64.zip, qrvxSuninstall-VERSION-win32.zip  the program, the launcher
      qrvx-uninstall.cmd with its check qrvxScheck.exe, the Group Policy startup script
      qrvx-startup.cmd, a sample qrvxconfig.ini, README.txt and
      qrvxSuninstall.spdx.json (the SBOM, SPDX 2.3);
  qrvxSuninstall-VERSION-symbols.zip  the symbol files of both programs;
  SHA256SUMS  over the three archives.

Entries have fixed times, attributes and order, so that the same programs give the same archives.
The SBOM names, besides the two programs as packed, each component that the linker took into them
statically (read from its link map), with the version of the Debian package whose file it took; its
creation time is SOURCE_DATE_EPOCH where set, else the time of the checkout's commit.

With QRVX_SIGN_PFX (a PKCS#12 file) and QRVX_SIGN_PASSWORD set, copies of the programs are signed with
osslsigncode (SHA-256) and the signed copies are packed; QRVX_SIGN_TIMESTAMP_URL adds an RFC 3161 time
stamp. A signing that fails writes no archive at all. The signing certificate's subject and SHA-256
thumbprint are printed, and written into each archive's README.txt, where an unsigned release says that it
is not signed.
"""

import argparse
import hashlib
import json
import os
import re
import subprocess
import sys
import tempfile
import time
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
ARCHES = ("win64", "win32")
PROGRAM = "qrvxSuninstall.exe"
CHECK = "qrvxScheck.exe"  # the launcher's check of the run's whole outcome
# Each shipped program: the description its signature carries.
PROGRAMS = {PROGRAM: "Quorvex service uninstaller", CHECK: "Quorvex service check"}
SYMBOLS = PROGRAM + ".debug"
LAUNCHER = "qrvx-uninstall.cmd"
STARTUP_SCRIPT = "qrvx-startup.cmd"
SBOM = "qrvxSuninstall.spdx.json"
CONFIG = "qrvxconfig.ini"
GUIDE = "README.txt"
# Every file of a program archive, in the order they are packed.
SHIPPED = (PROGRAM, CHECK, LAUNCHER, STARTUP_SCRIPT, CONFIG, GUIDE, SBOM)
# The line of README.txt that says who signed this release, or that nobody did.
SIGNATURE_MARK = "@SIGNATURE@"
UNSIGNED = "This release is not signed: its programs carry no signature."
ENTRY_TIME = (1980, 1, 1, 0, 0, 0)  # the earliest a zip entry can carry
ARCHIVE_ATTRIBUTE = 0x20  # FILE_ATTRIBUTE_ARCHIVE, as Windows' own zip folders write


class DistError(Exception):
    pass


def built_version(build):
    versions = set()
    for arch in ARCHES:
        for name in (*PROGRAMS, *link_maps(), SYMBOLS, "version.txt"):
            if not (build / arch / name).is_file():
                raise DistError(f"{build / arch / name} is missing: build both programs first "
                                "(make win64 win32).")
        versions.add((build / arch / "version.txt").read_text().strip())
    if len(versions) != 1:
        raise DistError(f"The builds are of different versions: {sorted(versions)}.")
    return versions.pop()


def link_maps():
    return [Path(name).stem + ".map" for name in PROGRAMS]


def windows_text(path, version, signature=UNSIGNED):
    text = path.read_text().replace("@VERSION@", version).replace(SIGNATURE_MARK, signature)
    return text.replace("\r\n", "\n").replace("\n", "\r\n").encode()


def signer(pfx, password):
    """(subject, SHA-256 thumbprint) of the signing certificate in the PKCS#12 file, as Windows shows them:
    the subject most specific part first, ", " between parts; the thumbprint in upper-case hex."""
    with tempfile.TemporaryDirectory() as work:
        password_file = Path(work) / "password"
        password_file.touch(mode=0o600)
        password_file.write_text(password)
        certificate = subprocess.run(["openssl", "pkcs12", "-in", pfx, "-passin", f"file:{password_file}",
                                      "-nokeys", "-clcerts"], stdin=subprocess.DEVNULL, capture_output=True)
    if certificate.returncode != 0 or b"BEGIN CERTIFICATE" not in certificate.stdout:
        raise DistError(f"No certificate could be read from {pfx}:\n{certificate.stderr.decode(errors='replace')}"
                        .rstrip())
    shown = subprocess.run(["openssl", "x509", "-noout", "-subject", "-nameopt", "RFC2253", "-nameopt",
                            "sep_comma_plus_space", "-fingerprint",
                            "-sha256"], input=certificate.stdout, capture_output=True)
    text = shown.stdout.decode(errors="replace")
    subject = re.search(r"(?m)^subject=\s*(.+)$", text)
    thumbprint = re.search(r"(?m)^sha256 Fingerprint=([0-9A-F:]+)$", text, re.I)
    if shown.returncode != 0 or not subject or not thumbprint:
        raise DistError(f"The certificate in {pfx} gives no subject or thumbprint:\n{text}"
                        f"{shown.stderr.decode(errors='replace')}".rstrip())
    return subject[1].strip(), thumbprint[1].replace(":", "").upper()


def signature_line(identity):
    if identity is None:
        return UNSIGNED
    subject, thumbprint = identity
    return f"This release is signed by {subject}, SHA-256 thumbprint {thumbprint}."


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
    """Signed copies of the programs ({(arch, name): bytes}); the build outputs are left as they are."""
    result = {}
    with tempfile.TemporaryDirectory() as work:
        work = Path(work)
        password_file = work / "password"
        password_file.touch(mode=0o600)
        password_file.write_text(password)
        for (arch, name), data in programs.items():
            unsigned, signed_copy = work / f"{arch}-unsigned-{name}", work / f"{arch}-{name}"
            unsigned.write_bytes(data)
            command = ["osslsigncode", "sign", "-pkcs12", pfx, "-readpass", str(password_file),
                       "-h", "sha256", "-n", PROGRAMS[name]]
            if timestamp_url:
                command += ["-ts", timestamp_url]
            command += ["-in", str(unsigned), "-out", str(signed_copy)]
            run = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, text=True)
            if run.returncode != 0 or not signed_copy.is_file():
                raise DistError(f"Signing the {arch} {name} failed:\n{run.stdout}{run.stderr}".rstrip())
            result[arch, name] = signed_copy.read_bytes()
    return result


def release_files(build, version, sign, identity=None):
    """{file name: bytes} of everything that goes into the output folder; identity is the signer's
    (subject, thumbprint) when signed."""
    programs = {(arch, name): (build / arch / name).read_bytes() for arch in ARCHES for name in PROGRAMS}
    if sign:
        programs = signed(programs, *sign)
    texts = {name: windows_text(ROOT / "packaging" / name, version, signature_line(identity))
             for name in (LAUNCHER, STARTUP_SCRIPT, CONFIG, GUIDE)}
    created = creation_time()

    components = linked_components([(build / arch, name) for arch in ARCHES for name in PROGRAMS])
    files = {}
    for arch in ARCHES:
        folder = f"qrvxSuninstall-{version}-{arch}/"
        shipped = {name: programs[arch, name] for name in PROGRAMS}
        contents = {name: (data, components[build / arch, name]) for name, data in shipped.items()}
        sbom = spdx_document(f"qrvxSuninstall-{version}-{arch}", version, created, contents)
        packed = {**shipped, **texts, SBOM: sbom}
        files[folder[:-1] + ".zip"] = archive([(folder + name, packed[name]) for name in SHIPPED])
    folder = f"qrvxSuninstall-{version}-symbols/"
    files[folder[:-1] + ".zip"] = archive(
        [(f"{folder}{arch}/{SYMBOLS}", (build / arch / SYMBOLS).read_bytes()) for arch in ARCHES])
    files["SHA256SUMS"] = "".join(f"{hashlib.sha256(data).hexdigest()}  {name}\n"
                                  for name, data in files.items()).encode()
    return files


# --- the SBOM ------------------------------------------------------------------------------------------

# Toolchain files outside the target's own library folder, by name: the component each belongs to.
GCC_COMPONENTS = {"libstdc++.a": "libstdc++", "libssp.a": "libssp", "libssp_nonshared.a": "libssp",
                  "libgcc.a": "libgcc", "libgcc_eh.a": "libgcc", "crtbegin.o": "libgcc", "crtend.o": "libgcc"}
# The startup code, libmingw32, libmingwex and the import libraries' thunks.
RUNTIME = "mingw-w64-runtime"
RUNTIME_FOLDER = re.compile(r"^/usr/[^/]+-w64-mingw32/lib/")


def linked_files(link_map):
    """The toolchain's files of which the linker took something into the program: each archive it took a
    member of, and each object it loaded whole. The project's own inputs are named relative to the build."""
    text = link_map.read_text(errors="replace")
    members, found, _ = text.partition("\nDiscarded input sections")
    if not found:
        raise DistError(f"{link_map} is not a link map of GNU ld.")
    taken = set(re.findall(r"(?m)^(/[^\s(]+)\(", members))
    taken |= set(re.findall(r"(?m)^LOAD (/\S+\.o)$", text))
    return {os.path.realpath(path) for path in taken}


def component_of(path):
    if RUNTIME_FOLDER.match(path):
        return RUNTIME
    component = GCC_COMPONENTS.get(Path(path).name)
    if component is None:
        raise DistError(f"The link took in {path}, of no known component: the SBOM would leave it out.")
    return component


def debian_owners(paths):
    """{path: the Debian package that installed it}, from one `dpkg -S` for all of them."""
    search = subprocess.run(["dpkg", "-S", *sorted(paths)], capture_output=True, text=True)
    owners = {}
    for line in search.stdout.splitlines():
        names, found, path = line.partition(": ")
        if found and not line.startswith("diversion "):
            owners[path] = names
    if search.returncode != 0 or set(owners) != set(paths):
        raise DistError(f"dpkg cannot tell which Debian package holds each of {sorted(paths)}:\n"
                        f"{search.stdout}{search.stderr}".rstrip())
    return owners


def package_fields(names):
    """{name as dpkg -S gives it: {field: value}}, from one dpkg-query for all of them."""
    fields = ("Package", "Version", "Architecture")
    template = "\\t".join(f"${{{f}}}" for f in ("binary:Package", *fields)) + "\\n"
    query = subprocess.run(["dpkg-query", "-W", "-f=" + template, *sorted(names)], capture_output=True, text=True)
    found = {}
    for line in query.stdout.splitlines():
        name, *values = line.split("\t")
        if len(values) == len(fields) and all(values):
            found[name] = found[f"{values[0]}:{values[2]}"] = dict(zip(fields, values))
    if query.returncode != 0 or not set(names) <= set(found):
        raise DistError(f"dpkg-query cannot tell the version of each of {sorted(names)}:\n"
                        f"{query.stderr}".rstrip())
    return {name: found[name] for name in names}


def linked_components(programs):
    """{(build, program): {component: (Debian package fields, [files])}} of what the linker put into each
    program. dpkg is asked once for all of them: each of its answers reads its whole database."""
    files = {}
    for build, program in programs:
        by_component = files[build, program] = {}
        for path in linked_files(build / (Path(program).stem + ".map")):
            by_component.setdefault(component_of(path), []).append(path)
    owners = debian_owners({path for by_component in files.values() for paths in by_component.values()
                            for path in paths})
    packages = package_fields(set(owners.values()))
    result = {}
    for key, by_component in files.items():
        result[key] = {}
        for component, paths in by_component.items():
            names = {owners[path] for path in paths}
            if len(names) != 1:
                raise DistError(f"No one Debian package holds {sorted(paths)}: {', '.join(sorted(names))}.")
            result[key][component] = (packages[names.pop()], sorted(paths))
    return result


def creation_time():
    """The same in every build of one commit: SOURCE_DATE_EPOCH, else the commit's time; never the clock."""
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    if epoch is None:
        log = subprocess.run(["git", "-C", str(ROOT), "log", "-1", "--format=%ct"], capture_output=True,
                             text=True)
        if log.returncode != 0:
            raise DistError("Not a git checkout: set SOURCE_DATE_EPOCH to the sources' time for the SBOM.")
        epoch = log.stdout.strip()
    if not epoch.isdigit():
        raise DistError(f"Not a time in seconds: {epoch!r}.")
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(int(epoch)))


def spdx_id(name):
    return "SPDXRef-" + re.sub(r"[^A-Za-z0-9.-]", "x", name)


def purl(package):
    version = "".join(c if c.isalnum() or c in ".-_~" else f"%{ord(c):02X}" for c in package["Version"])
    return f"pkg:deb/debian/{package['Package']}@{version}?arch={package['Architecture']}"


def spdx_document(name, version, created, programs):
    """The SBOM of one archive, SPDX 2.3 in JSON. programs: {file name: (bytes as packed, components)}."""
    unknown = {"downloadLocation": "NOASSERTION", "filesAnalyzed": False, "licenseConcluded": "NOASSERTION",
               "licenseDeclared": "NOASSERTION", "copyrightText": "NOASSERTION"}
    packages, relationships, listed = [], [], {}
    for file_name, (data, components) in programs.items():
        program_id = spdx_id(Path(file_name).stem)
        checksum = {"algorithm": "SHA256", "checksumValue": hashlib.sha256(data).hexdigest()}
        packages.append({"SPDXID": program_id, "name": Path(file_name).stem, "versionInfo": version,
                         "packageFileName": file_name, "primaryPackagePurpose": "APPLICATION",
                         "checksums": [checksum], **unknown})
        relationships.append({"spdxElementId": "SPDXRef-DOCUMENT", "relationshipType": "DESCRIBES",
                              "relatedSpdxElement": program_id})
        for component, (package, paths) in sorted(components.items()):
            listed.setdefault(component, (package, set()))[1].update(paths)
            relationships.append({"spdxElementId": program_id, "relationshipType": "CONTAINS",
                                  "relatedSpdxElement": spdx_id(component)})
    for component, (package, paths) in sorted(listed.items()):
        packages.append({
            "SPDXID": spdx_id(component), "name": component, "versionInfo": package["Version"],
            "primaryPackagePurpose": "LIBRARY",
            "sourceInfo": f"Linked statically from the Debian package {package['Package']} "
                          f"{package['Version']} ({package['Architecture']}): " + ", ".join(sorted(paths)),
            "externalRefs": [{"referenceCategory": "PACKAGE-MANAGER", "referenceType": "purl",
                              "referenceLocator": purl(package)}],
            **unknown})
    program_sha = packages[0]["checksums"][0]["checksumValue"]
    document = {
        "spdxVersion": "SPDX-2.3",
        "dataLicense": "CC0-1.0",
        "SPDXID": "SPDXRef-DOCUMENT",
        "name": name,
        # Unique to what is packed, and the same each time the same programs are packed.
        "documentNamespace": f"https://spdx.org/spdxdocs/{name}-{program_sha}",
        "creationInfo": {"created": created, "creators": ["Tool: qrvxSuninstall-dist"]},
        "packages": packages,
        "relationships": relationships,
    }
    return (json.dumps(document, indent=2) + "\n").encode()


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
        identity = signer(*sign[:2]) if sign else None
        files = release_files(options.build, version, sign, identity)
    except DistError as error:
        print(f"{error}\nNo archive written.", file=sys.stderr)
        return 1

    if sign:
        stamp = " and a time stamp" if sign[2] else ", without a time stamp"
        print(f"Signed both programs with {sign[0]}{stamp}.")
        print(f"Signer: {identity[0]}")
        print(f"SHA-256 thumbprint: {identity[1]}")
        print("Publish the thumbprint where admins get the release, apart from the archives: README.txt names it "
              "too, but an archive that was replaced could name another.")
    else:
        print("Not signed: QRVX_SIGN_PFX is not set, so the archives hold unsigned programs, and README.txt "
              "says so.")
    options.out.mkdir(parents=True, exist_ok=True)
    for name, data in files.items():
        (options.out / name).write_bytes(data)
        print(options.out / name)
    return 0


if __name__ == "__main__":
    sys.exit(main())
