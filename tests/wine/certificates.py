"""Throwaway certificates for the TLS tests, made with openssl in a folder of the test's own: a test CA that the
rig makes a trusted root of the test's Wine prefix, and server certificates that WinINet must take (from that
CA, for the name the program is given) or refuse (self-signed, for another name, past its dates)."""

import subprocess
from pathlib import Path

# The kinds of server certificate, each for `name` unless it says otherwise.
TRUSTED, SELF_SIGNED, OTHER_NAME, EXPIRED = "from the test CA", "self-signed", "for another name", "expired"

_CA_CONFIG = """[ca]
default_ca = test
[test]
database = index.txt
unique_subject = no
new_certs_dir = .
serial = serial.txt
default_md = sha256
policy = any
copy_extensions = none
[any]
commonName = supplied
"""


def _openssl(folder, *args):
    subprocess.run(["openssl", *map(str, args)], cwd=folder, check=True, capture_output=True, timeout=60)


class TestCertificates:
    """certificates = TestCertificates(folder, name); certificates.ca_der (to trust),
    certificates.ca_bundle (the CA alone, in PEM), certificates.server(kind) -> (certificate, key) in PEM."""

    def __init__(self, folder, name):
        self.folder = Path(folder)
        self.folder.mkdir(parents=True, exist_ok=True)
        self.name = name
        self.ca_bundle = self.folder / "ca.pem"
        self.ca_der = self.folder / "ca.der"
        (self.folder / "ca.cnf").write_text(_CA_CONFIG)
        (self.folder / "index.txt").write_text("")
        (self.folder / "serial.txt").write_text("1000\n")
        _openssl(self.folder, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out",
                 self.ca_bundle, "-days", "3", "-subj", "/CN=qrvx test CA",
                 "-addext", "basicConstraints=critical,CA:TRUE",
                 "-addext", "keyUsage=critical,keyCertSign,cRLSign")
        _openssl(self.folder, "x509", "-in", self.ca_bundle, "-outform", "DER", "-out", self.ca_der)
        self._made = {}

    def server(self, kind):
        if kind not in self._made:
            self._made[kind] = self._make(kind)
        return self._made[kind]

    def _make(self, kind):
        stem = kind.replace(" ", "-")
        certificate, key = self.folder / f"{stem}.pem", self.folder / f"{stem}.key"
        name = "another.corp.qa.test" if kind == OTHER_NAME else self.name
        extensions = self.folder / f"{stem}.ext"
        extensions.write_text(f"subjectAltName=DNS:{name}\nbasicConstraints=CA:FALSE\n"
                              "keyUsage=critical,digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\n")
        if kind == SELF_SIGNED:
            _openssl(self.folder, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out",
                     certificate, "-days", "3", "-subj", f"/CN={name}", "-addext", f"subjectAltName=DNS:{name}")
            return certificate, key
        request = self.folder / f"{stem}.csr"
        _openssl(self.folder, "req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", request,
                 "-subj", f"/CN={name}")
        dates = ["-startdate", "20250101000000Z", "-enddate", "20250201000000Z"] if kind == EXPIRED \
            else ["-days", "3"]
        _openssl(self.folder, "ca", "-batch", "-config", "ca.cnf", "-cert", self.ca_bundle, "-keyfile", "ca.key",
                 "-in", request, "-out", certificate, "-extfile", extensions, "-notext", *dates)
        return certificate, key
