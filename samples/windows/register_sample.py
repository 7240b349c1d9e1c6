#!/usr/bin/python3
"""Registers the sample COM server with comenrol.exe under Wine, activates it,
unregisters it, and prints each full 32-bit status along the way.

Usage: samples/windows/register_sample.py [BUILD_DIR]   (default: build/windows)
Needs the windows preset built (it uses the runner and the COM client from
tests/windows) and Wine; the prefix is a fresh temporary one.
"""

import json
import os
import re
import shutil
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "windows"))
from wine_host import Wine, windows_path  # noqa: E402


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build/windows"
    with open(os.path.join(build, "tests/windows/wine_suite_config.json"), encoding="utf-8") as f:
        config = json.load(f)

    # comenrol ends the module name at the first "-": keep the paths dash-free.
    work = tempfile.mkdtemp(prefix="comenrolsample", dir="/tmp")
    wine = Wine(os.path.join(work, "prefix"))  # headless: no box is waited for

    def run(args, extra=None):
        code, out, _ = wine.run(args, extra, timeout=120)
        if code != 0:
            raise RuntimeError("%s exited with %d" % (args, code))
        return out

    failed = False
    try:
        tool = shutil.copy(config["comenrol"], work)
        sample = shutil.copy(config["comenrol_sample"], work)
        sample_path = windows_path(sample)
        run(["wineboot", "-i"])

        def comenrol(arguments):
            line = '"%s" %s' % (windows_path(tool), arguments)
            out = run(["wine", config["runner"]], {
                "COMENROL_RUN_APPLICATION": windows_path(tool),
                "COMENROL_RUN_COMMAND_LINE": line,
            })
            status = re.search(r"exit 0x([0-9A-F]{8})", out).group(1)
            print("comenrol.exe %s -> exit status 0x%s" % (arguments, status))
            return status

        def client():
            out = run(["wine", config["com_client"]])
            print("  client: " + "; ".join(out.splitlines()))
            return out

        failed |= "CoCreateInstance 0x80040154" not in client()
        failed |= comenrol(sample_path + " -s") != "00000000"
        failed |= "Add 0x00000000 42" not in client()
        failed |= comenrol(sample_path + " -u -s") != "00000000"
        failed |= "CoCreateInstance 0x80040154" not in client()
    finally:
        wine.stop_server()
        shutil.rmtree(work, ignore_errors=True)
    print("sample registration round trip:", "FAILED" if failed else "ok")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
