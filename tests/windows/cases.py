"""What comenrol.exe for desktop Windows does with the build's test modules
(tests/windows/CMakeLists.txt), for the Wine suite and the emulated x86 run:

    for what, arguments, status, text in status_cases(space):
        status_seen, boxes_seen = run(tool_line(arguments))
        assert status_seen == status and boxes_seen == expected.boxes(status, text)

`space` names where the modules lie (host paths, seen by Windows on Z:):
mods (every module), spaced (returns_zero.dll), non_ascii
(returns_general_failure.dll) and split (returns_zero.dll in "split-dir",
beside which split.dll is returns_general_failure.dll).
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from expected import (ENTRY_NOT_FOUND, LOAD_FAILED, REGISTERED, SUCCEEDED,  # noqa: E402
                      UNREGISTERED, USAGE, USAGE_TEXT, entry_not_found, entry_returned,
                      load_failed)
from wine_host import windows_path  # noqa: E402

# What the loader leaves as the last error: no such module or export, a
# DllMain that refused, a module of the other bitness.
MOD_NOT_FOUND, PROC_NOT_FOUND, DLL_INIT_FAILED, BAD_EXE_FORMAT = 126, 127, 1114, 193

# What the entries of the modules that return a status return.
RETURNS = {"returns_zero": 0, "returns_one": 1, "returns_largest": 0x7FFFFFFF,
           "returns_general_failure": 0x80004005, "returns_sign_bit": 0x80000000}

# SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX: the
# error mode a run that shows no box adds to the one it inherited.
NO_SYSTEM_BOXES = 0x8003

# Modules whose entry raises: name, exception code, whether only a real system
# can run it (a stack overflow). Each runs with every option set.
EXCEPTIONS = [("faults", 0xC0000005, False), ("raises_custom", 0xE0C0FFEE, False),
              ("overflows", 0xC00000FD, True)]
OPTION_SETS = ["", " -s", " -u", " -u -s"]

# The outcomes shown for real in a window, and run on an invisible window station.
SHOWN_IN_WINDOWS = {"empty command line", "missing module", "register only, unregistering",
                    "returns_general_failure", "returns_general_failure -u", "returns_zero",
                    "returns_zero -u"}
ON_INVISIBLE_STATION = {"empty command line", "missing module", "register only, unregistering",
                        "returns_zero", "returns_general_failure -u"}


def mod(space, name):
    """The Windows path of a test module in space.mods."""
    return windows_path(os.path.join(space.mods, name + ".dll"))


def status_cases(space):
    """[(what, command line after the program name, status, box text or None)]."""
    spaced = windows_path(os.path.join(space.spaced, "returns_zero.dll"))
    foreign = windows_path(os.path.join(space.non_ascii, "returns_general_failure.dll"))
    split = windows_path(os.path.join(space.split, "returns_zero.dll"))
    cases = [
        ("empty command line", "", USAGE, USAGE_TEXT),
        ("spaces only", "   ", USAGE, USAGE_TEXT),
        ("missing module", mod(space, "missing"), LOAD_FAILED, load_failed(MOD_NOT_FOUND)),
        ("options before the path", "-s " + mod(space, "returns_zero"), LOAD_FAILED, None),
        # The name starts at the first unit above U+0020 after the program's name.
        ("CR before the name", "\r" + mod(space, "returns_zero"), SUCCEEDED, REGISTERED),
        ("LF before the name", "\n" + mod(space, "returns_zero") + " -u", SUCCEEDED,
         UNREGISTERED),
        ("U+0001 before the name", "\x01" + mod(space, "returns_zero"), SUCCEEDED, REGISTERED),
        ("register only, unregistering", mod(space, "register_only") + " -u", ENTRY_NOT_FOUND,
         entry_not_found(PROC_NOT_FOUND)),
        ("register only, registering", mod(space, "register_only"), SUCCEEDED, REGISTERED),
        ("quoted path with spaces", '"%s" -u' % spaced, SUCCEEDED, UNREGISTERED),
        ("unquoted path with spaces", spaced + " /u", SUCCEEDED, UNREGISTERED),
        # With a "-" on the line the cut falls there, and "/u" stays in the name.
        ("slash option before a dash option", spaced + " /u -s", LOAD_FAILED, None),
        ("non-ASCII path", foreign, *entry_returned(0x80004005)),
        ("non-ASCII path, unregistering", foreign + " -u", *entry_returned(0x80004005, True)),
        # The name ends at the "-" of split-dir: split.dll is what loads.
        ("path cut at its '-'", split, *entry_returned(0x80004005)),
        ("DllMain fails", mod(space, "init_fails"), LOAD_FAILED, load_failed(DLL_INIT_FAILED)),
        ("other bitness", mod(space, "other_bitness"), LOAD_FAILED, load_failed(BAD_EXE_FORMAT)),
    ]
    for module, value in RETURNS.items():
        cases.append((module, mod(space, module), *entry_returned(value)))
        cases.append((module + " -u", mod(space, module) + " -u", *entry_returned(value, True)))
    # Every case again in silent mode: the same status and no box at all. A
    # line that relies on the cut at "/" gets only the "/S" form, which keeps
    # that cut where it was.
    silent = []
    for what, line, status, text in cases:
        if status == USAGE or text is None:
            continue
        if "/" not in line:
            silent.append((what + ", silent", line + " -s", status, None))
        silent.append((what + ", silent as /S", line + " /S", status, None))
    return cases + silent
