#!/usr/bin/python3
"""Signed release packages: scripts/package run in two clones of this
checkout (its tracked and new files as they stand), each with the same
throwaway key made here by openssl, once behind a password and once behind
none.

- The two give the same SHA256SUMS, and so the same zips.
- Every image in every zip carries one Authenticode signature that verifies
  against the throwaway certificate, signed at SOURCE_DATE_EPOCH, with no
  timestamp and nothing nested: SHA-256 digests on the desktop images, SHA-1
  on the CE images, which stay within 8 KiB.
- The desktop zip holds every desktop build in its folder.
- The signed CE image passes the CE run suite on the emulated cores, as the
  unsigned one does.
- The signed x64 image registers a module under Wine.

Usage: signed_package.py wine_suite_config.json (the windows preset's)
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)
from wine_host import Wine, windows_path  # noqa: E402
from wine_suite import CONFIG, parse_status, read_prefix  # noqa: E402


def run(args, **options):
    return subprocess.run(args, check=True, capture_output=True, text=True, **options).stdout


def clone(into):
    """A clone of this checkout's commit, with its working files copied over it."""
    run(["git", "clone", "-q", SOURCE, into])
    listed = run(["git", "-C", SOURCE, "ls-files", "-z", "--cached", "--others",
                  "--exclude-standard"])
    for name in filter(None, listed.split("\0")):
        if os.path.isfile(os.path.join(SOURCE, name)):
            os.makedirs(os.path.dirname(os.path.join(into, name)), exist_ok=True)
            shutil.copy2(os.path.join(SOURCE, name), os.path.join(into, name))


class SignedPackages(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="comenrolsign", dir="/tmp")
        cls.addClassCleanup(shutil.rmtree, cls.work, ignore_errors=True)
        key, cls.cert = (os.path.join(cls.work, name) for name in ("key.pem", "cert.pem"))
        run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
             "/CN=comenrol throwaway signer", "-keyout", key, "-out", cls.cert])
        cls.dist = []
        for name, password in [("a", "throwaway pass"), ("b", "")]:
            bundle = os.path.join(cls.work, name + ".p12")
            run(["openssl", "pkcs12", "-export", "-inkey", key, "-in", cls.cert, "-out", bundle,
                 "-passout", "pass:" + password])
            checkout = os.path.join(cls.work, name)
            clone(checkout)
            env = dict(os.environ, SIGN_CODE_KEY=bundle, SIGN_CODE_KEY_PASS=password)
            env.pop("SIGN_TIMESTAMP_URL", None)
            run([os.path.join(checkout, "scripts", "package")], env=env, timeout=600)
            cls.dist.append(os.path.join(checkout, "dist"))
        cls.epoch = int(os.environ.get("SOURCE_DATE_EPOCH") or
                        run(["git", "-C", checkout, "log", "-1", "--format=%ct"]))
        cls.zips = {}  # target ("windows") -> its members
        cls.images = {}  # target and folder ("windows/x64") -> its comenrol.exe, from the zip
        for name in sorted(os.listdir(cls.dist[0])):
            if name.endswith(".zip"):
                target = name[:-len(".zip")].split("-", 2)[2]
                with zipfile.ZipFile(os.path.join(cls.dist[0], name)) as archive:
                    cls.zips[target] = archive.namelist()
                    for member in cls.zips[target]:
                        if member.endswith("comenrol.exe"):
                            key = os.path.dirname(os.path.join(target, member))
                            os.makedirs(os.path.join(cls.work, key))
                            cls.images[key] = os.path.join(cls.work, key, "comenrol.exe")
                            with open(cls.images[key], "wb") as image:
                                image.write(archive.read(member))

    def test_same_bytes_from_two_clones(self):
        sums = [open(os.path.join(dist, "SHA256SUMS"), encoding="ascii").read()
                for dist in self.dist]
        self.assertEqual(sums[0], sums[1])
        self.assertEqual(len(sums[0].splitlines()), len(self.zips))
        self.assertEqual(self.zips["windows"][-3:],
                         ["arm64/comenrol.exe", "x64/comenrol.exe", "x86/comenrol.exe"])
        self.assertGreaterEqual(len(self.images), 9)

    def test_signatures(self):
        signed_at = time.strftime("%y%m%d%H%M%SZ", time.gmtime(self.epoch))
        for target, image in self.images.items():
            with self.subTest(target):
                run(["osslsigncode", "verify", "-in", image, "-CAfile", self.cert])
                # As PEM: osslsigncode before 2.9 writes the raw certificate
                # table entry, header and all, without it.
                signature = image + ".p7"
                run(["osslsigncode", "extract-signature", "-pem", "-in", image, "-out", signature])
                fields = run(["openssl", "asn1parse", "-in", signature])
                # The digest algorithm, the signing time after its attribute,
                # no timestamp, RFC 3161 or older, and no nested signature.
                digest, other = ("sha256", "sha1") if target.startswith("windows/") else \
                    ("sha1", "sha256")
                self.assertRegex(fields, r"OBJECT\s*:%s\s*\n" % digest)
                self.assertNotRegex(fields, r"OBJECT\s*:%s\s*\n" % other)
                self.assertNotIn(":1.3.6.1.4.1.311.2.4.1", fields)
                if not target.startswith("windows/"):
                    self.assertLessEqual(os.path.getsize(image), 8 * 1024)
                self.assertRegex(fields, r":signingTime\s*\n.*SET.*\n.*UTCTIME\s*:%s\s" % signed_at)
                self.assertNotIn(":1.3.6.1.4.1.311.3.3.1", fields)
                self.assertNotIn(":countersignature", fields)

    def test_signed_ce_image_runs_on_the_emulated_cores(self):
        env = dict(os.environ, COMENROL_WINCE_EXE=self.images["wince-armv4"],
                   PYTHONDONTWRITEBYTECODE="1")
        result = subprocess.run([sys.executable, "-B", "-m", "unittest", "test_run"], env=env,
                                cwd=os.path.join(SOURCE, "tests", "wince"), capture_output=True,
                                text=True, timeout=300)
        self.assertEqual(result.returncode, 0, result.stderr[-3000:])
        self.assertRegex(result.stderr, r"\nRan [1-9][0-9]* tests")

    def test_signed_x64_image_registers_under_wine(self):
        here = tempfile.mkdtemp(prefix="run", dir=self.work)
        tool = shutil.copy(self.images["windows/x64"], os.path.join(here, "comenrol.exe"))
        module = shutil.copy(CONFIG["modules"]["returns_zero"], here)
        wine = Wine(read_prefix())
        wine.start_server()
        try:
            code, stdout, stderr = wine.run(["wine", CONFIG["runner"]], {
                "COMENROL_RUN_APPLICATION": windows_path(tool),
                "COMENROL_RUN_COMMAND_LINE": '"%s" %s -s' % (windows_path(tool),
                                                              windows_path(module)),
            })
        finally:
            wine.stop_server()
        self.assertEqual((code, parse_status(stdout)), (0, 0), stderr[-2000:])


if __name__ == "__main__":
    with open(sys.argv.pop(1), encoding="utf-8") as config:
        CONFIG.update(json.load(config))
    unittest.main(verbosity=2)
