"""The release command: a clean build that is byte for byte the tested one, a
signature that verifies, a checksum `sha256sum -c` accepts, an executable that
still runs, and bad signing input that fails in one line and leaves no exe."""
import os
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

import wine_harness as wine

SOURCE = Path(os.environ["SOURCE_DIR"])
EXE = Path(os.environ["SHIPPED_EXE"])
PREFIX = Path(os.environ["WINE_PREFIX"])
PASSWORD = "correct horse 7 battery"
SIGNING = ("SIGNING_CERTIFICATE", "SIGNING_PASSWORD", "SIGNING_TIMESTAMP_URL", "SIGNING_CA_FILE")


def openssl(folder, *arguments):
    subprocess.run(["openssl", *arguments], cwd=folder, check=True, capture_output=True)


def make_certificate(folder):
    """A throwaway authority and a code-signing certificate it issued, with
    the key in two PKCS#12 files: one encrypted as OpenSSL 3 does by default
    (AES), one the legacy way (RC2 and 3DES), as Windows' certificate export
    and many authorities still make them. Returns ({kind: PKCS#12 file},
    authority's certificate)."""
    openssl(folder, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
            "-keyout", "ca.key", "-out", "ca.pem", "-subj", "/CN=Throwaway Test Authority",
            "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=keyCertSign")
    openssl(folder, "req", "-newkey", "rsa:2048", "-nodes", "-keyout", "signer.key",
            "-out", "signer.csr", "-subj", "/CN=Throwaway Test Signer")
    Path(folder, "signer.ext").write_text(
        "extendedKeyUsage=codeSigning\nkeyUsage=digitalSignature\nbasicConstraints=CA:FALSE\n")
    openssl(folder, "x509", "-req", "-in", "signer.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
            "-CAcreateserial", "-days", "2", "-extfile", "signer.ext", "-out", "signer.pem")
    files = {}
    for kind, options in (("modern", []), ("legacy", ["-legacy"])):
        openssl(folder, "pkcs12", "-export", *options, "-in", "signer.pem", "-inkey",
                "signer.key", "-certfile", "ca.pem", "-out", kind + ".p12",
                "-passout", "pass:" + PASSWORD)
        files[kind] = Path(folder, kind + ".p12")
    Path(folder, "not-pkcs12.p12").write_bytes(Path(folder, "signer.pem").read_bytes())
    return files, Path(folder, "ca.pem")


def release(dist, **signing):
    environment = {name: value for name, value in os.environ.items() if name not in SIGNING}
    environment.update(signing, DIST_DIR=str(dist))
    return subprocess.run(["bash", str(SOURCE / "scripts" / "release.sh")], env=environment,
                          capture_output=True, text=True, timeout=600)


class Release(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory()
        cls.certificates, cls.authority = make_certificate(cls.folder.name)

    @classmethod
    def tearDownClass(cls):
        cls.folder.cleanup()

    def dist(self, name):
        return Path(self.folder.name, name)

    def test_unsigned_release_is_the_tested_build(self):
        dist = self.dist("unsigned")
        result = release(dist)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("not signed", result.stdout)
        # Built afresh in another folder, it is still the executable tested here.
        self.assertEqual((dist / EXE.name).read_bytes(), EXE.read_bytes())
        subprocess.run(["sha256sum", "-c", "SHA256SUMS"], cwd=dist, check=True)

    def test_signed_release_verifies_and_runs(self):
        for kind, certificate in self.certificates.items():
            with self.subTest(kind):
                dist = self.dist("signed-" + kind)
                result = release(dist, SIGNING_CERTIFICATE=str(certificate),
                                 SIGNING_PASSWORD=PASSWORD, SIGNING_CA_FILE=str(self.authority))
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertNotIn(PASSWORD, result.stdout + result.stderr)
                subprocess.run(["osslsigncode", "verify", "-CAfile", str(self.authority),
                                "-in", str(dist / EXE.name)], check=True, capture_output=True)
                subprocess.run(["sha256sum", "-c", "SHA256SUMS"], cwd=dist, check=True)
                if kind == "legacy" or not wine.runs_32_bit_code():
                    continue  # running it once is enough; verify covers the image
                status, boxes, _ = wine.run_uninstaller(PREFIX, dist / EXE.name)
                self.assertEqual(status, 1)
                self.assertEqual([box[1:] for box in boxes], [(wine.CAPTION, wine.REPORT_STYLE)])

    def test_bad_signing_input_fails_in_one_line_and_leaves_no_exe(self):
        # (what is wrong, what the line must name)
        cases = {
            "wrong password": (dict(SIGNING_PASSWORD="not " + PASSWORD), "wrong password"),
            "wrong password, legacy file": (
                dict(SIGNING_CERTIFICATE=str(self.certificates["legacy"]),
                     SIGNING_PASSWORD="not " + PASSWORD), "wrong password"),
            "not PKCS#12": (dict(SIGNING_CERTIFICATE=str(Path(self.folder.name,
                                                              "not-pkcs12.p12"))),
                            "not a PKCS#12 file"),
            "missing certificate": (dict(SIGNING_CERTIFICATE=str(self.dist("none.p12"))),
                                    "cannot read"),
            "failed time stamp": (dict(SIGNING_TIMESTAMP_URL="http://127.0.0.1:9/"),
                                  "no time stamp"),
        }
        for name, (bad, cause) in cases.items():
            with self.subTest(name):
                dist = self.dist(name.replace(" ", "-").replace(",", "").replace("#", ""))
                dist.mkdir()
                (dist / EXE.name).write_bytes(b"an earlier release")
                signing = dict(SIGNING_CERTIFICATE=str(self.certificates["modern"]),
                               SIGNING_PASSWORD=PASSWORD, SIGNING_CA_FILE=str(self.authority))
                signing.update(bad)
                result = release(dist, **signing)
                self.assertNotEqual(result.returncode, 0)
                self.assertEqual(len(result.stderr.splitlines()), 1, result.stderr)
                self.assertTrue(result.stderr.startswith("release: "), result.stderr)
                self.assertIn(cause, result.stderr)
                self.assertNotIn("horse", result.stdout + result.stderr)
                self.assertEqual(sorted(path.name for path in dist.iterdir()), [])


if __name__ == "__main__":
    unittest.main()
