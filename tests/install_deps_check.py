#!/usr/bin/python3
"""scripts/install-deps against a package index that fails to update: with
stand-ins for apt-get, dpkg and dpkg-query first on PATH, one host package
reported missing and every `apt-get update` failing, it must try the update
twice, say that it goes on, install the missing package from the lists at
hand and succeed; with nothing missing it must only ask dpkg.

Usage: install_deps_check.py SOURCE_DIR
"""

import os
import subprocess
import sys
import tempfile
import unittest

SOURCE = sys.argv.pop(1) if __name__ == "__main__" else "."
STAND_IN = """#!/bin/bash
echo "$(basename "$0") $*" >> "$CALLS"
case "$(basename "$0") $*" in
  "apt-get update"*) exit 100 ;;
  "dpkg-query "*) [ "$MISSING" = "${@: -1}" ] || echo "install ok installed" ;;
esac
exit 0
"""


class InstallDeps(unittest.TestCase):
    def run_script(self, missing):
        with tempfile.TemporaryDirectory() as stand_ins:
            for name in ("apt-get", "dpkg", "dpkg-query", "sudo"):
                with open(os.path.join(stand_ins, name), "w", encoding="ascii") as script:
                    script.write(STAND_IN if name != "sudo" else '#!/bin/sh\nexec "$@"\n')
                os.chmod(os.path.join(stand_ins, name), 0o755)
            calls = os.path.join(stand_ins, "calls")
            env = dict(os.environ, PATH=stand_ins + ":" + os.environ["PATH"], CALLS=calls,
                       MISSING=missing, COMENROL_APT_RETRY_PAUSE="0")
            result = subprocess.run([os.path.join(SOURCE, "scripts", "install-deps"), "host"],
                                    env=env, capture_output=True, text=True, timeout=60)
            with open(calls, encoding="ascii") as made:
                return result, [call for call in made.read().splitlines()
                                if call.startswith("apt-get")]

    def test_update_fails(self):
        result, apt = self.run_script("libgtest-dev")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual([call.split()[1] for call in apt], ["update", "update", "install"])
        self.assertIn("libgtest-dev", apt[-1])
        self.assertIn("retrying", result.stderr)
        self.assertIn("failed again", result.stderr)

    def test_nothing_missing(self):
        result, apt = self.run_script("")
        self.assertEqual((result.returncode, apt), (0, []), result.stderr)


if __name__ == "__main__":
    unittest.main(verbosity=2)
