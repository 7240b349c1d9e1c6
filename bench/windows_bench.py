#!/usr/bin/python3
"""Size and start-to-exit time of the desktop Windows comenrol.exe under Wine.

For each build given (default: build/windows and build/windows32) prints the
size of comenrol.exe, then times 50 silent registrations of a module that
does not use USER32 (returns_zero.dll) against 50 bare loads of the same
module by bare_loader.exe (LoadLibraryW, GetProcAddress, the call and
ExitProcess; KERNEL32 only, no C runtime), interleaved, in one fresh prefix
whose server is kept up, and prints the ratio of the medians.

Usage: bench/windows_bench.py [BUILD_DIR...]
Needs the presets built: cmake --preset windows && cmake --build --preset windows
(and the same for windows32).
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


def bench(wine, work, build):
    with open(os.path.join(build, "tests/windows/wine_suite_config.json"), encoding="utf-8") as f:
        config = json.load(f)
    size = os.path.getsize(config["comenrol"])
    print("%s (%s): comenrol.exe %d bytes (%.2f KiB)" %
          (build, config["machine"], size, size / 1024))

    # The tool ends the module name at the first "-": keep the paths dash-free.
    here = tempfile.mkdtemp(prefix="run", dir=work)
    tool = shutil.copy(config["comenrol"], here)
    bare = shutil.copy(config["bare_loader"], here)
    module = windows_path(shutil.copy(config["modules"]["returns_zero"], here))

    def timed(args):
        with tempfile.TemporaryFile() as errors:
            started = time.perf_counter()
            code = subprocess.run(args, env=wine.env, cwd=here, timeout=60,
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                  stderr=errors).returncode
            elapsed = time.perf_counter() - started
            if code != 0:
                errors.seek(0)
                raise RuntimeError("%s exited with %d: %s" %
                                   (args, code, errors.read().decode(errors="replace")[-500:]))
        return elapsed

    register = ["wine", tool, module, "-s"]
    baseline = ["wine", bare, module]
    try:
        for _ in range(WARM_UP):
            timed(register)
            timed(baseline)
    except RuntimeError:
        print("  not measured: Wine does not start this build's programs here"
              " (WoW64 needs wine32:i386 and a kernel that runs 32-bit x86 programs)")
        return
    tool_times, bare_times = [], []
    for _ in range(RUNS):
        tool_times.append(timed(register))
        bare_times.append(timed(baseline))

    def describe(name, times):
        print("  %-32s median %.1f ms, mean %.1f ms" %
              (name, 1000 * statistics.median(times), 1000 * statistics.mean(times)))

    describe("%d silent registrations:" % RUNS, tool_times)
    describe("%d bare loads:" % RUNS, bare_times)
    print("  ratio of medians (registration / bare load): %.3f" %
          (statistics.median(tool_times) / statistics.median(bare_times)))


def main():
    builds = sys.argv[1:] or ["build/windows", "build/windows32"]
    work = tempfile.mkdtemp(prefix="comenrolbench", dir="/tmp")
    wine = Wine(os.path.join(work, "prefix"))
    try:
        if wine.run(["wineboot", "-i"], timeout=180)[0] != 0:
            raise RuntimeError("wineboot failed")
        # A server that stays up between runs, as for any program started often.
        wine.start_server()
        for build in builds:
            bench(wine, work, build)
    finally:
        wine.stop_server()
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
