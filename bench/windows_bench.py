#!/usr/bin/python3
"""Size and start-to-exit time of the desktop Windows comenrol.exe under Wine.

Prints the size of comenrol.exe, then times 50 silent registrations of a test
module (returns_zero.dll) against 50 runs of an empty program built the same
way (no C runtime, GUI subsystem), interleaved, in one fresh prefix whose
server is kept up, and prints the ratio of the two.

Usage: bench/windows_bench.py [BUILD_DIR]   (default: build/windows)
Needs the windows preset built: cmake --preset windows && cmake --build --preset windows
"""

import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "windows"))
from wine_host import Wine, windows_path  # noqa: E402

RUNS = 50
WARM_UP = 3


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build/windows"
    with open(os.path.join(build, "tests/windows/wine_suite_config.json"), encoding="utf-8") as f:
        config = json.load(f)

    size = os.path.getsize(config["comenrol"])
    print("comenrol.exe: %d bytes (%.2f KiB)" % (size, size / 1024))

    # The tool ends the module name at the first "-": keep the paths dash-free.
    work = tempfile.mkdtemp(prefix="comenrolbench", dir="/tmp")
    wine = Wine(os.path.join(work, "prefix"))
    try:
        tool = shutil.copy(config["comenrol"], work)
        empty = shutil.copy(config["empty_program"], work)
        module = shutil.copy(config["modules"]["returns_zero"], work)
        module_path = windows_path(module)

        if wine.run(["wineboot", "-i"], timeout=180)[0] != 0:
            raise RuntimeError("wineboot failed")
        # A server that stays up between runs, as for any program started often.
        wine.start_server()

        def timed(args):
            with tempfile.TemporaryFile() as errors:
                started = time.perf_counter()
                code = subprocess.run(args, env=wine.env, cwd=work, timeout=60,
                                      stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                      stderr=errors).returncode
                elapsed = time.perf_counter() - started
                if code != 0:
                    errors.seek(0)
                    raise RuntimeError("%s exited with %d: %s" %
                                       (args, code, errors.read().decode(errors="replace")))
            return elapsed

        register = ["wine", tool, module_path, "-s"]
        baseline = ["wine", empty]
        for _ in range(WARM_UP):
            timed(register)
            timed(baseline)
        tool_times, empty_times = [], []
        for _ in range(RUNS):
            tool_times.append(timed(register))
            empty_times.append(timed(baseline))
    finally:
        wine.stop_server()
        shutil.rmtree(work, ignore_errors=True)

    def describe(name, times):
        print("%-36s total %.3f s, mean %.1f ms, median %.1f ms" %
              (name, sum(times), 1000 * statistics.mean(times), 1000 * statistics.median(times)))

    describe("%d silent registrations:" % RUNS, tool_times)
    describe("%d empty no-CRT program runs:" % RUNS, empty_times)
    print("ratio (registrations / empty runs): %.2f" % (sum(tool_times) / sum(empty_times)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
