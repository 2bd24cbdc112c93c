"""The release command: a clean build that is byte for byte the tested one, a
signature that verifies, a checksum that `sha256sum -c` accepts, an exe that
still runs, and bad signing input that fails in one line and leaves no exe."""
import os
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

import wine_harness as wine

SOURCE, EXE = Path(os.environ["SOURCE_DIR"]), Path(os.environ["SHIPPED_EXE"])
PASSWORD = "correct horse 7 battery"
# Each release: its name, the PKCS#12 file it signs with (none: unsigned),
# what it changes in the environment, and the cause its one line of error
# names (none: it succeeds).
RELEASES = (
    ("unsigned", None, {}, None),
    ("modern", "modern", {}, None),
    ("legacy", "legacy", {}, None),
    ("wrong-password", "modern", {"SIGNING_PASSWORD": "not it"}, "wrong password"),
    ("not-pkcs12", "not", {}, "not a PKCS#12 file"),
    ("missing", "missing", {}, "cannot read"),
    ("time-stamp", "modern", {"SIGNING_TIMESTAMP_URL": "http://127.0.0.1:9/"}, "no time stamp"))


class Release(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        assert EXE.exists(), "build the 32-bit exe first: cmake --preset win32 && cmake --build --preset win32"
        cls.folder = Path(tempfile.mkdtemp())
        # A throwaway self-signed code-signing certificate, with its key in
        # PKCS#12 files encrypted as OpenSSL 3 does (AES) and the legacy way
        # (RC2, 3DES), as Windows' export and many authorities do.
        for arguments in (
                "req -x509 -newkey rsa:2048 -nodes -days 2 -keyout signer.key -out signer.pem"
                " -subj /CN=Signer -addext extendedKeyUsage=codeSigning"
                " -addext keyUsage=digitalSignature",
                "pkcs12 -export -in signer.pem -inkey signer.key -out modern.p12",
                "pkcs12 -export -legacy -in signer.pem -inkey signer.key -out legacy.p12"):
            subprocess.run(["openssl", *arguments.split(), "-passout", "pass:" + PASSWORD],
                           cwd=cls.folder, check=True, capture_output=True)
        (cls.folder / "not.p12").write_bytes(b"-----BEGIN CERTIFICATE-----\n")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder)

    def test_releases_verify_and_bad_signing_input_fails_in_one_line(self):
        for name, kind, changes, cause in RELEASES:
            with self.subTest(name):
                # Each into a folder of its own that holds an earlier release.
                dist = self.folder / name
                dist.mkdir()
                (dist / EXE.name).write_bytes(b"an earlier release")
                environment = {key: value for key, value in os.environ.items()
                               if "SIGNING" not in key}
                if kind:
                    environment.update(SIGNING_CERTIFICATE=str(self.folder / (kind + ".p12")),
                                       SIGNING_PASSWORD=PASSWORD,
                                       SIGNING_CA_FILE=str(self.folder / "signer.pem"))
                environment.update(changes, DIST_DIR=str(dist))
                result = subprocess.run(["bash", str(SOURCE / "scripts" / "release.sh")],
                                        env=environment, capture_output=True, text=True,
                                        timeout=600)
                self.assertNotIn("horse", result.stdout + result.stderr)
                if cause:
                    self.assertNotEqual(result.returncode, 0)
                    self.assertRegex(result.stderr, "^release: .*" + cause + ".*\n$")
                    self.assertEqual(list(dist.iterdir()), [])
                    continue
                self.assertEqual(result.returncode, 0, result.stderr)
                subprocess.run(["sha256sum", "-c", "SHA256SUMS"], cwd=dist, check=True)
                if not kind:
                    # Built afresh elsewhere, it is still the exe tested here.
                    self.assertIn("not signed", result.stdout)
                    self.assertEqual((dist / EXE.name).read_bytes(), EXE.read_bytes())
                    continue
                subprocess.run(["osslsigncode", "verify", "-CAfile", str(self.folder / "signer.pem"),
                                "-in", str(dist / EXE.name)], check=True, capture_output=True)
        # Where 32-bit code runs, the signed exe still runs (else the
        # verification covers the image).
        if wine.runs_32_bit_code():
            status, boxes, _ = wine.run_uninstaller(Path(os.environ["WINE_PREFIX"]),
                                                    self.folder / "legacy" / EXE.name)
            self.assertEqual((status, [box[1:] for box in boxes]),
                             (1, [(wine.CAPTION, wine.REPORT_STYLE)]))


if __name__ == "__main__":
    unittest.main()
