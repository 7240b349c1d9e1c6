#!/usr/bin/python3
"""The desktop Windows build of comenrol, run under Wine.

The groups share one Wine prefix that `--setup` makes in a temporary
directory and `--cleanup` removes; each starts its own Wine server and stops
it at the end. The tool and the modules are copied to a directory under /tmp
whose path holds no "-", at which the tool ends the module name.

Full 32-bit exit statuses come through runner.exe (a shell under Wine sees
the low 8 bits). Boxes are read from Wine's relay trace of user32.MessageBoxW,
or from the real windows on a display. The cases are the Windows case
table's (cases.py).

One suite serves the x64 and the x86 build, told by the configuration. Where
Wine cannot start a 32-bit program at all (no 32-bit x86 support in the
kernel, so no wine32), the x86 build's Wine groups exit with SKIPPED (77),
which CTest reports as skipped, never as passed.

Usage: wine_suite.py --config CONFIG.json (--setup | --cleanup | GROUP...)
"""

import argparse
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import xml.etree.ElementTree as ElementTree

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(SOURCE, "tests"))
from cases import (BAD_EXE_FORMAT, EXCEPTIONS, MOD_NOT_FOUND, NO_SYSTEM_BOXES,  # noqa: E402
                   ON_INVISIBLE_STATION, OPTION_SETS, SHOWN_IN_WINDOWS, mod, status_cases)
from expected import (CAPTION, LOAD_FAILED, REGISTERED, SUCCEEDED, UNREGISTERED,  # noqa: E402
                      boxes, entry_returned, load_failed, signed32)
from expected_version_record import FIXED_FIELDS, RECORD, STRINGS, read_back  # noqa: E402
from wine_host import Wine, text_of, windows_path  # noqa: E402

CONFIG = {}

# The exit status of a run of the probe module, whose entry raises what it sees
# as an exception code: 0xE0000000, USER32_LOADED when USER32 is in the
# process, and the error mode in the low bits (0 where Wine starts the tool).
PROBE = 0xE0000000
USER32_LOADED = 0x10000
# COM on the entry's thread, as the probe finds it by initialising it as an
# apartment (S_OK: it was not initialised; S_FALSE: it was an apartment
# already) and then as multithreaded (refused with RPC_E_CHANGED_MODE).
COM_NONE, COM_APARTMENT = 0x20000 | 0x80000, 0x40000 | 0x80000
# The manifest as the probe sees it: the process's run level is as invoker
# (1, in bits 20-21) with no UI access (bit 22), and the system says 10.0.
MANIFEST = 0x100000 | 0x800000
# Wine's device enumerator creates COM objects while it registers.
NEEDS_COM = "devenum.dll"
CO_E_NOTINITIALIZED = 0x800401F0

SKIPPED = 77
MACHINES = {"x86_64": (0x8664, 0x20B), "x86": (0x014C, 0x10B), "arm64": (0xAA64, 0x20B)}
# Each build's folder in a desktop package, and that of its sibling build.
FOLDERS = {"x86_64": ("x64", "x86"), "x86": ("x86", "x64")}


def read_prefix():
    with open(CONFIG["prefix_record"], encoding="utf-8") as record:
        return record.read().strip()


class Workspace:
    """A dash-free directory under /tmp with the tool and the modules.

    mods/            every test module and the COM sample
    with space/      returns_zero.dll, for quoted and unquoted paths
    Модули/          the same modules again, for a non-ASCII path
    split.dll        returns_general_failure.dll, where a cut at "-" lands
    split-dir/       returns_zero.dll, the module named but never reached
    tool/            comenrol.exe and bare_loader.exe
    tool -s -u dir/  comenrol.exe again, for a program name with options in it
    planted/         helper.dll that fails, for the current directory
    planted tool/    comenrol.exe with a USER32.dll beside it that ends the process
    stand in/        this build in its package folder, a stand-in for its sibling
    package/         this build and the real sibling build in their folders
    """

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="comenrol", dir="/tmp")
        if "-" in self.root:
            raise RuntimeError("temporary directory holds a '-': " + self.root)
        modules, sample, tool = CONFIG["modules"], CONFIG["comenrol_sample"], CONFIG["comenrol"]
        self.mods = self._dir("mods", *modules.values(), sample, *CONFIG["other_bitness"])
        with open(os.path.join(self.mods, "not_a_module.dll"), "w", encoding="ascii") as text:
            text.write("MZ, and no more")
        self.spaced = self._dir("with space", modules["returns_zero"])
        self.non_ascii = self._dir("Модули", modules["returns_zero"],
                                   modules["returns_general_failure"], sample)
        shutil.copy(modules["returns_general_failure"], os.path.join(self.root, "split.dll"))
        self.split = self._dir("split-dir", modules["returns_zero"])
        self.tool = os.path.join(self._dir("tool", tool, CONFIG["bare_loader"]), "comenrol.exe")
        self.bare = os.path.join(self.root, "tool", "bare_loader.exe")
        self.odd_tool = os.path.join(self._dir("tool -s -u dir", tool), "comenrol.exe")
        self.planted = self._dir("planted")
        self.planted_tool = os.path.join(self._dir("planted tool", tool), "comenrol.exe")
        shutil.copy(modules["planted_user32"], os.path.join(self.root, "planted tool", "USER32.dll"))
        shutil.copy(modules["planted_helper"], os.path.join(self.planted, "helper.dll"))
        self.stand_in = self._package("stand in", CONFIG["stand_in"])
        self.package = self._package("package", CONFIG["sibling"])

    def _package(self, name, sibling):
        """This build and a sibling in their folders of a package; this build's path."""
        own, other = FOLDERS[CONFIG["machine"]]
        os.makedirs(os.path.join(self.root, name, other))
        shutil.copy(sibling, os.path.join(self.root, name, other, "comenrol.exe"))
        return os.path.join(self._dir(os.path.join(name, own), CONFIG["comenrol"]), "comenrol.exe")

    def bare_line(self, module):
        """The bare loader's command line for a module: the one it calls."""
        return '"%s" %s' % (windows_path(self.bare), module)

    def _dir(self, name, *files):
        path = os.path.join(self.root, name)
        os.mkdir(path)
        for file in files:
            shutil.copy(file, path)
        return path

    def remove(self):
        shutil.rmtree(self.root, ignore_errors=True)


# One MessageBoxW call in the relay trace:
# Call user32.MessageBoxW(00000000,0021f980 L"text",1400016a0 L"caption",00000040) ret=...
RELAY_CALL = re.compile(
    r'Call user32\.MessageBoxW\(([0-9a-fA-F]+),(?:[0-9a-fA-F]+ )?L"((?:[^"\\]|\\.)*)",'
    r'(?:[0-9a-fA-F]+ )?L"((?:[^"\\]|\\.)*)",([0-9a-fA-F]+)\)')


def unescape_trace(text):
    """Wine's debug strings escape \\n, \\r, \\t, \\\\, \\" and other units as \\xHHHH."""
    def unit(match):
        code = match[1]
        if code[0] == "x" and len(code) > 1:
            return chr(int(code[1:], 16))
        return {"n": "\n", "r": "\r", "t": "\t"}.get(code, code)
    return re.sub(r"\\(x[0-9a-fA-F]{1,4}|.)", unit, text, flags=re.S)


def parse_boxes(trace):
    """The boxes of the trace as (text, caption, style); none may have an owner."""
    calls = RELAY_CALL.findall(trace)
    if any(int(owner, 16) for owner, _, _, _ in calls):
        raise AssertionError("a box with an owner window: %r" % calls)
    return [(unescape_trace(text), unescape_trace(caption), int(style, 16))
            for _, text, caption, style in calls]


def parse_status(stdout):
    """The runner's full 32-bit exit status, signed."""
    match = re.search(r"^exit 0x([0-9A-F]{8})$", stdout, re.MULTILINE)
    if match is None:
        raise AssertionError("runner gave no status: %r" % stdout)
    return signed32(int(match.group(1), 16))


class WineTestCase(unittest.TestCase):
    """A group with its own workspace and Wine server, headless by default."""

    display = None

    @classmethod
    def setUpClass(cls):
        cls.wine = Wine(read_prefix(), cls.display)
        cls.wine.start_server()
        cls.space = Workspace()

    @classmethod
    def tearDownClass(cls):
        cls.wine.stop_server()
        cls.space.remove()

    def tool_line(self, arguments, tool=None):
        """The command line of a run: the quoted program name, then the arguments."""
        line = '"%s"' % windows_path(tool or self.space.tool)
        return line + " " + arguments if arguments else line

    def runner_environment(self, command_line, tool=None, timeout_ms=20000):
        """What runner.exe reads: the program, its exact command line, the longest wait."""
        return {"COMENROL_RUN_APPLICATION": windows_path(tool or self.space.tool),
                "COMENROL_RUN_COMMAND_LINE": command_line,
                "COMENROL_RUN_TIMEOUT_MS": str(timeout_ms)}

    def run_tool(self, command_line, tool=None, relay=False, timeout_ms=20000, station=None,
                 directory=None, environment=None):
        """Runs the tool through the runner; returns the status and the boxes.

        With a station name the tool starts on a new window station of that
        name, which is not visible; with a directory, in that directory."""
        extra = self.runner_environment(command_line, tool, timeout_ms)
        extra.update(environment or {})
        if station:
            extra["COMENROL_RUN_WINDOW_STATION"] = station
        if directory:
            extra["COMENROL_RUN_DIRECTORY"] = windows_path(directory)
        if relay:
            extra["WINEDEBUG"] = "-all,+relay"
        code, stdout, stderr = self.wine.run(["wine", CONFIG["runner"]], extra,
                                             timeout=timeout_ms / 1000 + 30)
        self.assertEqual(code, 0, "runner failed: %s %s" % (stdout, stderr[-2000:]))
        self.last_stderr = stderr
        return parse_status(stdout), parse_boxes(stderr) if relay else None

    def check(self, command_line, status, text, tool=None, **options):
        """One run's full status and its boxes, from the relay trace of every
        process of the run."""
        got_status, shown = self.run_tool(command_line, tool=tool, relay=True, **options)
        self.assertEqual(got_status, status, "status 0x%08X" % (got_status & 0xFFFFFFFF))
        self.assertEqual(shown, boxes(status, text))


class StatusTests(WineTestCase):
    """Every outcome's full status and its one box (or none), from the relay trace."""

    def test_outcomes(self):
        for what, arguments, status, text in status_cases(self.space):
            with self.subTest(what, arguments=arguments):
                self.check(self.tool_line(arguments), status, text)

    def test_invisible_window_station(self):
        # Nobody could dismiss a box there: each outcome keeps its status,
        # shows no box (usage included) and ends at once.
        for what, arguments, status, _ in status_cases(self.space):
            if what not in ON_INVISIBLE_STATION:
                continue
            with self.subTest(what, arguments=arguments):
                started = time.monotonic()
                self.check(self.tool_line(arguments), status, None, station="comenrolhidden")
                self.assertLess(time.monotonic() - started, 15)

    def test_what_the_entry_sees(self):
        # USER32 only where a box may be shown (or where ole32 brings it), the
        # system's error boxes off wherever the run shows none, COM an
        # apartment only for a module that brought ole32, and the manifest's
        # run level and version everywhere.
        probe, probe_ole32 = mod(self.space, "probe"), mod(self.space, "probe_ole32")
        for what, arguments, station, status in [
            ("silent", probe + " -s", None, NO_SYSTEM_BOXES | COM_NONE),
            ("with a box", probe, None, USER32_LOADED | COM_NONE),
            ("invisible window station", probe + " -u", "comenrolhidden",
             USER32_LOADED | NO_SYSTEM_BOXES | COM_NONE),
            ("invisible window station, silent", probe + " -s", "comenrolhidden",
             NO_SYSTEM_BOXES | COM_NONE),
            ("ole32 imported, silent", probe_ole32 + " -s", None,
             USER32_LOADED | NO_SYSTEM_BOXES | COM_APARTMENT),
            ("ole32 imported, with a box", probe_ole32, None, USER32_LOADED | COM_APARTMENT),
        ]:
            with self.subTest(what):
                self.check(self.tool_line(arguments), signed32(PROBE | MANIFEST | status), None,
                           station=station)
        # The bare loader, without a manifest or COM, in the same prefix:
        # run level unspecified (0), version 6.2.
        with self.subTest("bare loader"):
            self.check(self.space.bare_line(probe), signed32(PROBE | COM_NONE), None,
                       self.space.bare)

    def test_user32_only_from_the_system_folder(self):
        # Wine told to prefer a native USER32 would take one beside the tool
        # if it were searched for there; that one ends the process with
        # 0xE0575E32 the moment it loads.
        overrides = Wine(read_prefix()).env["WINEDLLOVERRIDES"] + ";user32=n,b"
        for arguments, text in [(mod(self.space, "returns_zero"), REGISTERED),
                                (mod(self.space, "missing"), load_failed(MOD_NOT_FOUND))]:
            with self.subTest(arguments):
                self.check(self.tool_line(arguments, self.space.planted_tool),
                           SUCCEEDED if text == REGISTERED else LOAD_FAILED, text,
                           tool=self.space.planted_tool,
                           environment={"WINEDLLOVERRIDES": overrides})

    def test_program_name_is_skipped(self):
        # WinMain's command line starts after the program's own name and the
        # white space after it; options inside the name count for nothing.
        returns_zero = mod(self.space, "returns_zero")
        cases = [
            ("quoted name holding -s and -u", self.tool_line(returns_zero, self.space.odd_tool),
             self.space.odd_tool, REGISTERED),
            ("unquoted name, tab after it",
             windows_path(self.space.tool) + "\t" + returns_zero + " -u", None, UNREGISTERED),
            ("unquoted name, spaces after it",
             windows_path(self.space.tool) + "    " + returns_zero, None, REGISTERED),
        ]
        for what, line, tool, text in cases:
            with self.subTest(what):
                self.check(line, SUCCEEDED, text, tool=tool)


class LoadingTests(WineTestCase):
    """Where a module's own DLLs are found, and a module of another
    architecture run by the sibling build in the package."""

    def test_own_dlls_found_beside_the_module(self):
        # needs_helper.dll imports helper.dll, which lies beside it in mods;
        # planted holds a helper.dll whose status is a failure.
        needs = mod(self.space, "needs_helper")
        root, mods, planted = self.space.root, self.space.mods, self.space.planted
        for what, directory, arguments, status, text in [
            ("from another directory", root, needs, SUCCEEDED, REGISTERED),
            ("from another directory, unregistering", root, needs + " -u", SUCCEEDED, UNREGISTERED),
            ("from another directory, silent", root, needs + " -s", SUCCEEDED, None),
            ("relative path", root, r"mods\needs_helper.dll", SUCCEEDED, REGISTERED),
            ("relative path from below", planted, r"..\mods\needs_helper.dll", SUCCEEDED,
             REGISTERED),
            ("helper planted in the current directory", planted, needs, SUCCEEDED, REGISTERED),
            ("bare name in the current directory", mods, "needs_helper.dll", SUCCEEDED,
             REGISTERED),
        ]:
            with self.subTest(what):
                self.check(self.tool_line(arguments), status, text, directory=directory)
        # The usual search order would take the planted one: the check can fail.
        with self.subTest("bare loader, planted helper"):
            status, _ = self.run_tool(self.space.bare_line(needs), self.space.bare, directory=planted)
            self.assertEqual(status, signed32(0x80004005))

    def test_hand_over_to_the_sibling_folder(self):
        # A stand-in sibling records its command line and ends with a chosen
        # status, which the tool ends with, whole, showing no box itself.
        record = os.path.join(self.space.root, "record.txt")
        module = mod(self.space, "other_bitness")
        for status in [0, -4, 0xC0000005, 0x7FFFFFFF]:
            for options in ["", " -u -s"]:
                with self.subTest(status=hex(status), options=options):
                    self.check(self.tool_line(module + options, self.space.stand_in),
                               signed32(status), None, tool=self.space.stand_in,
                               environment={"COMENROL_STAND_IN_RECORD": windows_path(record),
                                            "COMENROL_STAND_IN_STATUS": "%X" % (status & 0xFFFFFFFF)})
                    with open(record, encoding="utf-16-le") as given:
                        self.assertEqual(given.read(), "comenrol.exe " + module + options)
                    os.remove(record)
        # A module whose machine cannot be read, or is this build's own, stays
        # here: error 193 as the load left it, and the stand-in never runs.
        for what, arguments, text in [("not a module", mod(self.space, "not_a_module"),
                                       load_failed(BAD_EXE_FORMAT)),
                                      ("not a module, silent",
                                       mod(self.space, "not_a_module") + " -s", None)]:
            with self.subTest(what):
                self.check(self.tool_line(arguments, self.space.stand_in), LOAD_FAILED, text,
                           tool=self.space.stand_in,
                           environment={"COMENROL_STAND_IN_RECORD": windows_path(record),
                                        "COMENROL_STAND_IN_STATUS": "0"})
                self.assertFalse(os.path.exists(record))

    def test_hand_over_to_the_sibling_build(self):
        # The real sibling runs the module and shows the one box of the run.
        sibling = os.path.join(os.path.dirname(os.path.dirname(self.space.package)),
                               FOLDERS[CONFIG["machine"]][1], "comenrol.exe")
        environment = dict(self.runner_environment(self.tool_line("", sibling), sibling),
                           COMENROL_RUN_WINDOW_STATION="comenrolprobe")
        if "exit 0xFFFFFFFF" not in self.wine.run(["wine", CONFIG["runner"]], environment)[1]:
            self.skipTest("Wine starts no program of the sibling's machine here")
        for what, arguments, status, text in [
            ("registers", mod(self.space, "other_bitness"), SUCCEEDED, REGISTERED),
            ("unregisters, silent", mod(self.space, "other_bitness") + " -u -s", SUCCEEDED, None),
            ("fails", mod(self.space, "other_bitness_failure"), *entry_returned(0x80004005)),
            ("faults", mod(self.space, "other_bitness_faults") + " -u", signed32(0xC0000005),
             None),
        ]:
            with self.subTest(what):
                self.check(self.tool_line(arguments, self.space.package), status, text,
                           tool=self.space.package)


    def test_module_named_through_sysnative(self):
        # A 32-bit build reaches the 64-bit system folder as Sysnative, which
        # its 64-bit sibling has not: that one is given the file in System32.
        if CONFIG["machine"] != "x86":
            self.skipTest("only a 32-bit build sees Sysnative")
        name = "comenrolsysnative.dll"
        installed = os.path.join(read_prefix(), "drive_c", "windows", "system32", name)
        shutil.copy(CONFIG["other_bitness"][0], installed)
        self.addCleanup(os.remove, installed)
        record = os.path.join(self.space.root, "record.txt")
        self.check(self.tool_line(r"C:\windows\Sysnative\%s -s" % name, self.space.stand_in),
                   SUCCEEDED, None, tool=self.space.stand_in,
                   environment={"COMENROL_STAND_IN_RECORD": windows_path(record),
                                "COMENROL_STAND_IN_STATUS": "0"})
        with open(record, encoding="utf-16-le") as given:
            self.assertEqual(given.read(), r'comenrol.exe "C:\windows\System32\%s" -s' % name)
        self.check(self.tool_line(r"C:\windows\Sysnative\%s" % name, self.space.package),
                   SUCCEEDED, REGISTERED, tool=self.space.package)


class FaultTests(WineTestCase):
    """An exception escaping the entry ends the tool with its code, promptly.

    The tool's own filter accepts it, so the system never goes on to its
    unhandled-exception path: Wine would report "Unhandled ..., starting
    debugger" there (the debugger itself is disabled in this prefix).
    """

    def test_exceptions_end_with_their_code(self):
        for module, code, _ in EXCEPTIONS:
            for options in OPTION_SETS:
                with self.subTest(module=module, options=options):
                    started = time.monotonic()
                    status, shown = self.run_tool(self.tool_line(mod(self.space, module) + options),
                                                  relay=True, timeout_ms=15000)
                    self.assertEqual(status, signed32(code), "0x%08X" % (status & 0xFFFFFFFF))
                    self.assertEqual(shown, [])
                    self.assertNotIn("Unhandled", self.last_stderr)
                    self.assertNotIn("starting debugger", self.last_stderr)
                    self.assertLess(time.monotonic() - started, 15)


class ComTests(WineTestCase):
    """The sample COM server registered and unregistered by the tool."""

    def client(self):
        code, stdout, stderr = self.wine.run(["wine", CONFIG["com_client"]], timeout=60)
        self.assertEqual(code, 0, stdout + stderr[-2000:])
        return stdout.splitlines()

    def test_register_activate_unregister(self):
        sample = windows_path(os.path.join(self.space.non_ascii, "comenrol_sample.dll"))
        unregistered = ["InprocServer32 none", "ThreadingModel none",
                        "CoCreateInstance 0x80040154"]
        self.assertEqual(self.client(), unregistered)

        status, _ = self.run_tool(self.tool_line(sample + " -s"))
        self.assertEqual(status, 0)
        self.assertEqual(self.client(), [
            "InprocServer32 " + sample.replace("\\", "\\\\"),
            "ThreadingModel Apartment",
            "CoCreateInstance 0x00000000",
            "Add 0x00000000 42",
        ])

        status, _ = self.run_tool(self.tool_line(sample + " -u -s"))
        self.assertEqual(status, 0)
        self.assertEqual(self.client(), unregistered)

        # Nothing left to remove: the sample answers S_FALSE, which is success.
        status, shown = self.run_tool(self.tool_line(sample + " -u"), relay=True)
        self.assertEqual((status, shown), (SUCCEEDED, boxes(SUCCEEDED, UNREGISTERED)))

    def test_server_that_needs_com(self):
        # Called bare it fails; through the tool it registers, unregisters and
        # registers again, as the prefix had it. The registry view is the
        # build's own.
        status, _ = self.run_tool(self.space.bare_line(NEEDS_COM), self.space.bare)
        self.assertEqual(status, signed32(CO_E_NOTINITIALIZED))
        key = r"HKCR\CLSID\{62BE5D10-60EB-11d0-BD3B-00A0C911CE86}\InprocServer32"
        view = "/reg:%d" % (64 if CONFIG["machine"] == "x86_64" else 32)
        for options, registered in [(" -u -s", False), (" -s", True)]:
            with self.subTest(options):
                status, _ = self.run_tool(self.tool_line(NEEDS_COM + options))
                self.assertEqual(status, SUCCEEDED)
                code, stdout, _ = self.wine.run(["wine", "reg", "query", key, view])
                self.assertEqual((code, NEEDS_COM in stdout), (0, True) if registered else (1, False))




class VersionTests(WineTestCase):
    """The version record as the system reads it: found by name, every value exact."""

    def test_record_read_by_name(self):
        code, stdout, stderr = self.wine.run(
            ["wine", CONFIG["version_reader"], windows_path(self.space.tool)]
            + [key for key, _ in STRINGS], timeout=60)
        self.assertEqual(code, 0, stdout + stderr[-2000:])
        expected = (["resource 0x0419"] + ["fixed 0x%08X" % value for _, value in FIXED_FIELDS]
                    + ["translation 0x0000 0x04B0"] + ["string %s=%s" % pair for pair in STRINGS])
        self.assertEqual(stdout.splitlines(), expected)


class ImageTests(unittest.TestCase):
    """comenrol.exe itself, parsed with pefile, independently of Windows."""

    @classmethod
    def setUpClass(cls):
        import pefile  # Debian's python3-pefile
        cls.pe = pefile.PE(CONFIG["comenrol"])

    def test_image(self):
        pe = self.pe
        self.assertLessEqual(os.path.getsize(CONFIG["comenrol"]), 10 * 1024)
        machine, magic = MACHINES[CONFIG["machine"]]
        self.assertEqual(pe.FILE_HEADER.Machine, machine)
        self.assertEqual(pe.OPTIONAL_HEADER.Magic, magic)  # PE32+ or PE32
        self.assertEqual(pe.OPTIONAL_HEADER.Subsystem, 2)  # Windows GUI
        # KERNEL32 alone: USER32 is loaded only when a box may be shown.
        self.assertEqual([entry.dll.decode() for entry in pe.DIRECTORY_ENTRY_IMPORT],
                         ["KERNEL32.dll"])
        # Hardened: relocatable (its base relocations kept), ASLR with
        # high-entropy addresses on x64, NX.
        flags = pe.OPTIONAL_HEADER.DllCharacteristics
        wanted = 0x0040 | 0x0100 | (0x0020 if magic == 0x20B else 0)
        self.assertEqual(flags & 0x0160, wanted, hex(flags))
        self.assertFalse(pe.FILE_HEADER.Characteristics & 0x0001)  # relocations stripped
        # The ARM64 code addresses everything relative to itself: it needs no
        # base relocations (the emulated run proves it at another base).
        if CONFIG["machine"] != "arm64":
            self.assertGreater(len(pe.DIRECTORY_ENTRY_BASERELOC), 0)
        # Nothing in the image is writable, its resources included.
        self.assertFalse([s.Name for s in pe.sections if s.Characteristics & 0x80000000])
        # Reproducible: the time stamp is SOURCE_DATE_EPOCH's, or none.
        self.assertEqual(pe.FILE_HEADER.TimeDateStamp, int(CONFIG["source_date_epoch"] or 0))
        # No static initialisers or thread-local data to run before the entry.
        self.assertFalse(hasattr(pe, "DIRECTORY_ENTRY_TLS"))

    def test_unwind_check_refuses_a_function_without_its_entry(self):
        # The ARM64 post-link check, on the image with one function's entry
        # taken out of its exception table: refused, and the image removed.
        if "map" not in CONFIG:
            self.skipTest("the ARM64 image's own check")
        directory = self.pe.OPTIONAL_HEADER.DATA_DIRECTORY[3]
        at = self.pe.get_offset_from_rva(directory.VirtualAddress)
        with open(CONFIG["comenrol"], "rb") as image:
            data = bytearray(image.read())
        data[at:at + directory.Size] = data[at + 8:at + directory.Size] + bytes(8)
        struct.pack_into("<I", data, directory.get_file_offset() + 4, directory.Size - 8)
        with tempfile.TemporaryDirectory() as work:
            altered = os.path.join(work, "comenrol.exe")
            with open(altered, "wb") as image:
                image.write(data)
            checked = subprocess.run([sys.executable, "-B", os.path.join(
                SOURCE, "tools", "arm64_unwind_check.py"), altered,
                CONFIG["map"]], capture_output=True, text=True)
            self.assertEqual(checked.returncode, 1)
            self.assertIn("without an exception-table entry", checked.stderr)
            self.assertFalse(os.path.exists(altered))

    def test_version_resource(self):
        # Beside it, the manifest: RT_MANIFEST 1, language neutral.
        self.assertEqual(read_back(self.pe),
                         dict(RECORD, resources=RECORD["resources"] + [(24, [(1, [0])])]))

    def test_manifest(self):
        # Minified, and exactly: as invoker without UI access, the supported
        # systems, the DPI settings; nothing else, no Common Controls.
        manifest = [kind for kind in self.pe.DIRECTORY_ENTRY_RESOURCE.entries if kind.id == 24]
        data = manifest[0].directory.entries[0].directory.entries[0].data.struct
        text = self.pe.get_data(data.OffsetToData, data.Size)
        self.assertIsNone(re.search(rb">\s|\s<|<!|<\?", text), text)
        asm1, asm3 = "{urn:schemas-microsoft-com:asm.v1}", "{urn:schemas-microsoft-com:asm.v3}"
        compatibility = "{urn:schemas-microsoft-com:compatibility.v1}"
        settings = "{http://schemas.microsoft.com/SMI/%s/WindowsSettings}"
        systems = ["e2011457-1546-43c5-a5fe-008deee3d3f0",  # Vista
                   "35138b9a-5d96-4fbd-8e2d-a2440225f93a",  # 7
                   "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38",  # 8
                   "1f676c76-80e1-4239-95bb-83d0f6d0da78",  # 8.1
                   "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a"]  # 10 and 11
        level = {"level": "asInvoker", "uiAccess": "false"}
        expected = [
            (asm1 + "assembly", {"manifestVersion": "1.0"}, None),
            (asm3 + "trustInfo", {}, None), (asm3 + "security", {}, None),
            (asm3 + "requestedPrivileges", {}, None),
            (asm3 + "requestedExecutionLevel", level, None),
            (compatibility + "compatibility", {}, None), (compatibility + "application", {}, None),
        ] + [(compatibility + "supportedOS", {"Id": "{%s}" % guid}, None) for guid in systems] + [
            (asm3 + "application", {}, None), (asm3 + "windowsSettings", {}, None),
            (settings % 2005 + "dpiAware", {}, "true/pm"),
            (settings % 2016 + "dpiAwareness", {}, "PerMonitorV2"),
        ]
        self.assertEqual([(element.tag, element.attrib, element.text)
                          for element in ElementTree.fromstring(text).iter()], expected)


class WindowTests(WineTestCase):
    """Each box shown for real on the X display that CTest starts the group on
    (xvfb-run), read back, pressed."""

    display = os.environ.get("DISPLAY")

    def box_watch(self, mode):
        code, stdout, stderr = self.wine.run(["wine", CONFIG["box_watch"], mode, "30000"],
                                             timeout=60)
        self.assertEqual(code, 0, stdout + stderr[-2000:])
        return stdout

    def test_boxes(self):
        os.makedirs(CONFIG["artifacts"], exist_ok=True)
        screenshot = os.path.join(CONFIG["artifacts"], "message_box.png")
        if os.path.exists(screenshot):
            os.remove(screenshot)
        for what, arguments, status, text in status_cases(self.space):
            if what not in SHOWN_IN_WINDOWS:
                continue
            with self.subTest(what):
                with tempfile.TemporaryFile() as output:
                    environment = self.runner_environment(self.tool_line(arguments),
                                                          timeout_ms=60000)
                    tool = self.wine.start(["wine", CONFIG["runner"]], environment, output)
                    try:
                        shown = self.box_watch("find")
                        if not os.path.exists(screenshot):
                            time.sleep(0.5)  # let the box finish painting
                            subprocess.run(["import", "-display", self.display, "-window",
                                            "root", screenshot], timeout=30, check=True,
                                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                        self.box_watch("press")
                        tool.wait(timeout=60)
                    finally:
                        if tool.poll() is None:
                            tool.kill()
                            tool.wait(timeout=10)
                    output.seek(0)
                    stdout = output.read()
                escaped = text.replace("\\", "\\\\").replace("\n", "\\n")
                self.assertEqual(shown.splitlines(),
                                 ["caption " + CAPTION, "text " + escaped, "button OK"])
                self.assertEqual(parse_status(text_of(stdout)), status)
        self.assertGreater(os.path.getsize(screenshot), 0)


def setup_prefix():
    prefix = tempfile.mkdtemp(prefix="comenrolwine", dir="/tmp")
    wine = Wine(prefix)
    try:
        code, _, stderr = wine.run(["wineboot", "-i"], timeout=150)
        if code != 0:
            raise RuntimeError("wineboot failed: " + stderr[-2000:])
        # The relay trace of the suite is of MessageBoxW alone, and the prefix
        # is Windows 10, which a program must declare it supports to be told.
        for key, name, value in [(r"HKCU\Software\Wine\Debug", "RelayInclude",
                                  "user32.MessageBoxW"),
                                 (r"HKCU\Software\Wine", "Version", "win10")]:
            code, _, stderr = wine.run(["wine", "reg", "add", key, "/v", name, "/d", value, "/f"])
            if code != 0:
                raise RuntimeError("reg add failed: " + stderr[-2000:])
    finally:
        wine.stop_server()
    with open(CONFIG["prefix_record"], "w", encoding="utf-8") as record:
        record.write(prefix + "\n")
    print("Wine prefix ready in", prefix)


def cleanup_prefix():
    if not os.path.exists(CONFIG["prefix_record"]):
        return
    prefix = read_prefix()
    Wine(prefix).stop_server()
    shutil.rmtree(prefix, ignore_errors=True)
    os.remove(CONFIG["prefix_record"])
    print("Wine prefix removed:", prefix)


def starts_programs():
    """Whether Wine starts this build's own programs; asked of x86 builds only."""
    if CONFIG["machine"] != "x86":
        return True
    wine = Wine(read_prefix())
    try:
        _, _, stderr = wine.run(["wine", CONFIG["runner"]], timeout=60)
    finally:
        wine.stop_server()
    return "COMENROL_RUN_APPLICATION is not set" in stderr


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--config", required=True)
    parser.add_argument("--setup", action="store_true")
    parser.add_argument("--cleanup", action="store_true")
    parser.add_argument("groups", nargs="*")
    options = parser.parse_args()
    with open(options.config, encoding="utf-8") as config:
        CONFIG.update(json.load(config))
    CONFIG["modules"] = {k: v for k, v in CONFIG["modules"].items() if v}
    if options.setup:
        setup_prefix()
        return 0
    if options.cleanup:
        cleanup_prefix()
        return 0
    module = sys.modules[__name__]
    if options.groups != ["ImageTests"] and not starts_programs():
        print("SKIPPED: Wine starts no program of this build's machine (%s) here: WoW64 needs"
              " wine32:i386 and a kernel that runs 32-bit x86 programs" % CONFIG["machine"])
        return SKIPPED
    suite = unittest.TestSuite(
        unittest.defaultTestLoader.loadTestsFromTestCase(getattr(module, group))
        for group in options.groups)
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    return 0 if result.wasSuccessful() and result.testsRun > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
