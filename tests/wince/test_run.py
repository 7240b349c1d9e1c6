"""comenrol.exe for CE, run on emulated CE cores: outcomes, boxes, parse, faults.

Each case starts the real image with an argument text and a table of modelled
modules, and checks the exit status, the one box (or none) and what reached
LoadModule and FindEntry. Every case runs on each configuration below: the
three cores, and on the two with Thumb state also with Thumb callees (module
entries and COREDLL operations).
"""

import dataclasses
import os
import re
import struct
import tempfile
import unittest
from unittest import mock

import pefile
from unicorn.arm_const import UC_ARM_REG_CPSR

import ce_harness
from ce_harness import (ERROR_MOD_NOT_FOUND, FAULT, Box, Device, HarnessError, Module, Raise,
                        SystemBox)

IMAGE = os.environ.get("COMENROL_WINCE_EXE", "")
TABLE = os.environ.get("COMENROL_WINCE_IMPORT_TABLE", ce_harness.DEFAULT_TABLE)

# (core, Thumb callees)
CONFIGURATIONS = [("SA-1110", False), ("TI925T", False), ("TI925T", True), ("PXA255", False),
                  ("PXA255", True)]

# The exact texts of registration/messages.h.
CAPTION = "comenrol.exe"
INFORMATION = 0x40
ERROR = 0x10
USAGE = ("Invalid command line arguments.\n\nUse the following syntax:\n"
         "comenrol.exe DLLNAME [-u] [-s]\n-u - unregister\n-s - silent mode")
REGISTERED = "DllRegisterServer succeeded."
UNREGISTERED = "DllUnregisterServer succeeded."


def setUpModule():
    # Run by CTest after the build: a missing input is a failure, not a skip.
    for path in (IMAGE,):
        if not os.path.isfile(path):
            raise RuntimeError(f"built input {path!r} is missing; set the COMENROL_WINCE_* "
                               "variables or run through ctest")


def load_failed(error):
    return f"Error loading module.\nError {error}."


def entry_not_found(error):
    return f"Unable to get function address.\nError {error}."


def register_failed(status):
    return f"Error.\nDllRegisterServer returned:\n0x{status:08X}."


def unregister_failed(status):
    return f"Error.\nDllUnregisterServer returned:\n0x{status:08X}."


def server(register=0, unregister=0):
    return Module({"DllRegisterServer": register, "DllUnregisterServer": unregister})


class OnEachCore(unittest.TestCase):
    """Cases that load_tests runs once per configuration."""
    core, thumb = "SA-1110", False

    def execute(self, command_line, modules=None, **options):
        if self.thumb:
            modules = {name: dataclasses.replace(module, thumb=True)
                       for name, module in (modules or {}).items()}
        return ce_harness.run(IMAGE, command_line, modules, table_path=TABLE, core=self.core,
                              thumb_coredll=self.thumb, **options)


class Outcomes(OnEachCore):
    """Every outcome, registering and unregistering, with and without -s."""

    # (command line, modules, status, box text or None, box style)
    CASES = [
        ("", {}, -1, USAGE, INFORMATION),
        ("x.dll", {"x.dll": server(register=0)}, 0, REGISTERED, INFORMATION),
        ("x.dll", {"x.dll": server(register=1)}, 0, REGISTERED, INFORMATION),
        ("x.dll", {"x.dll": server(register=0x7FFFFFFF)}, 0, REGISTERED, INFORMATION),
        ("x.dll -u", {"x.dll": server(unregister=0)}, 0, UNREGISTERED, INFORMATION),
        ("x.dll -u", {"x.dll": server(unregister=1)}, 0, UNREGISTERED, INFORMATION),
        ("x.dll", {"x.dll": server(register=0x80004005)}, -4, register_failed(0x80004005),
         ERROR),
        ("x.dll", {"x.dll": server(register=0x80000000)}, -4, register_failed(0x80000000),
         ERROR),
        ("x.dll -u", {"x.dll": server(unregister=0x80004005)}, -4,
         unregister_failed(0x80004005), ERROR),
        ("x.dll -u", {"x.dll": server(unregister=0x80000000)}, -4,
         unregister_failed(0x80000000), ERROR),
        ("missing.dll", {}, -2, load_failed(126), ERROR),
        ("bad.dll", {"bad.dll": Module(load_error=193)}, -2, load_failed(193), ERROR),
        ("odd.dll", {"odd.dll": Module(load_error=0xFFFFFFFB)}, -2, load_failed(-5), ERROR),
        ("odd.dll", {"odd.dll": Module(load_error=0x80000000)}, -2,
         load_failed(-2147483648), ERROR),
        ("x.dll -u", {"x.dll": Module({"DllRegisterServer": 0})}, -3, entry_not_found(127),
         ERROR),
        ("x.dll", {"x.dll": Module({"DllUnregisterServer": 0})}, -3, entry_not_found(127),
         ERROR),
    ]

    def test_each_outcome_shows_its_one_box_and_returns_its_status(self):
        for command_line, modules, status, text, style in self.CASES:
            with self.subTest(command_line=command_line, modules=modules):
                outcome = self.execute(command_line, modules)
                self.assertEqual(outcome.status, status)
                self.assertEqual(outcome.boxes, [Box(0, text, CAPTION, style)])

    def test_silent_runs_keep_the_status_and_show_nothing(self):
        for command_line, modules, status, _, _ in self.CASES:
            if not command_line:
                continue  # an empty line holds no silent form
            with self.subTest(command_line=command_line, modules=modules):
                outcome = self.execute(command_line + " -s", modules)
                self.assertEqual(outcome.status, status)
                self.assertEqual(outcome.boxes, [])
                # The last error is read only for a box that will be shown.
                self.assertNotIn("LastErrorCode", outcome.calls)
                self.assertNotIn("FormatText", outcome.calls)

    def test_the_entry_of_the_mode_is_looked_up_and_called_once(self):
        for command_line, export in (("x.dll", "DllRegisterServer"),
                                     ("x.dll -u", "DllUnregisterServer"),
                                     ("x.dll /U", "DllUnregisterServer")):
            with self.subTest(command_line=command_line):
                outcome = self.execute(command_line, {"x.dll": server()})
                self.assertEqual(outcome.loaded, ["x.dll"])
                self.assertEqual(outcome.looked_up, [export])
                self.assertEqual([c for c in outcome.calls if "!" in c], [f"x.dll!{export}"])

    def test_empty_line_is_usage_without_consulting_anything(self):
        outcome = self.execute("")
        self.assertEqual(outcome.calls, ["ShowMessageBox"])


class Faults(OnEachCore):
    """An exception in the module's entry, dispatched by CE through the image's
    guard: the exception filter decides, the tool shows nothing."""

    # (entry status, exception code, offset of the faulting instruction in an
    # ARM entry, in a Thumb entry)
    EXCEPTIONS = [(FAULT, 0xC0000005, 4, 2), (Raise(0xE0000123), 0xE0000123, 0, 0)]

    def test_a_faulting_entry_ends_the_run_without_a_box(self):
        for status, code, arm_offset, thumb_offset in self.EXCEPTIONS:
            for verdict in (1, 0):  # accept, decline
                with self.subTest(code=f"{code:08X}", verdict=verdict):
                    outcome = self.execute("x.dll", {"x.dll": server(register=status)},
                                           verdict=verdict)
                    self.assertEqual(outcome.boxes, [])
                    self.assertEqual([(c.code, c.record_code) for c in outcome.filter_calls],
                                     [(code, code)])
                    if verdict:  # the entry returns the code; the harness checks r4-r11, sp
                        self.assertEqual((outcome.status, outcome.unhandled),
                                         (ce_harness.signed32(code), None))
                    else:
                        address = ce_harness.ENTRY_BASE + (thumb_offset if self.thumb
                                                           else arm_offset)
                        self.assertEqual((outcome.status, outcome.unhandled),
                                         (None, SystemBox("comenrol.exe", code, address)))


class Parse(OnEachCore):
    """The argument text as CE hands it over, seen through what the run does."""

    # (command line, name handed to LoadModule, unregister, silent)
    CASES = [
        ("x.dll", "x.dll", False, False),
        ("x.dll -u -s", "x.dll", True, True),
        ("x.dll -s -u", "x.dll", True, True),
        ("x.dll /u /s", "x.dll", True, True),
        ("x.dll -U -S", "x.dll", True, True),
        ("x.dll /s", "x.dll", False, True),
        ("x.dll /u -s", "x.dll /u", True, True),
        ('"\\Program Files\\my server.dll" -u', "\\Program Files\\my server.dll", True, False),
        ("\\Windows\\my-server.dll", "\\Windows\\my", False, True),
        ("\\Windows\\x.dll -silent", "\\Windows\\x.dll", False, True),
        ("x.dll\t-s", "x.dll\t", False, True),
        ('"a"b".dll', 'a b".dll', False, False),
        ('"\\tmp\\a-b.dll" -u', "\\tmp\\a", True, False),
        ("  x.dll  ", "x.dll", False, False),
        ("\\path\\un/u.dll", "\\path\\un", True, False),
    ]

    def test_name_and_flags(self):
        for command_line, name, unregister, silent in self.CASES:
            with self.subTest(command_line=command_line):
                outcome = self.execute(command_line, {name: server()})
                self.assertEqual(outcome.loaded, [name])
                export = "DllUnregisterServer" if unregister else "DllRegisterServer"
                self.assertEqual(outcome.looked_up, [export])
                self.assertEqual(outcome.status, 0)
                expected = [] if silent else [
                    Box(0, UNREGISTERED if unregister else REGISTERED, CAPTION, INFORMATION)]
                self.assertEqual(outcome.boxes, expected)

    def test_lines_without_a_name_are_handed_on_not_usage(self):
        # CE passes the argument text as it stands, so spaces alone are not
        # an empty line: the empty name reaches LoadModule and fails there.
        # (command line, name handed to LoadModule, silent)
        for command_line, name, silent in (("   ", "", False), ("-u", "", False),
                                           ("-s x.dll", "", True), ("\t", "\t", False),
                                           ("\t -s", "\t", True)):
            with self.subTest(command_line=command_line):
                outcome = self.execute(command_line)
                self.assertEqual(outcome.status, -2)
                self.assertEqual(outcome.loaded, [name])
                self.assertEqual(outcome.boxes,
                                 [] if silent else [Box(0, load_failed(126), CAPTION, ERROR)])


class LongLines(OnEachCore):
    """511 units fit the working buffer; 512 or more are refused as usage."""

    @staticmethod
    def line(units, tail=""):
        name = "\\" + "n" * (units - len(tail) - 5) + ".dll"
        return name + tail

    def test_511_units_are_taken_whole(self):
        command_line = self.line(511)
        self.assertEqual(len(command_line), 511)
        outcome = self.execute(command_line, {command_line: server()})
        self.assertEqual(outcome.loaded, [command_line])
        self.assertEqual(outcome.status, 0)

    def test_511_units_with_options_still_parse(self):
        command_line = self.line(511, " -u -s")
        outcome = self.execute(command_line, {command_line[:-6]: server()})
        self.assertEqual(outcome.looked_up, ["DllUnregisterServer"])
        self.assertEqual((outcome.status, outcome.boxes), (0, []))

    def test_512_units_or_more_are_usage(self):
        # (length, tail, box shown)
        cases = [(512, "", True), (513, "", True), (600, " -u", True), (4000, "", True),
                 (512, " -s", False), (512, " -S", False), (700, " /s", False),
                 (512, " /S", False), (2048, " -u -s", False)]
        for units, tail, shown in cases:
            with self.subTest(units=units, tail=tail):
                command_line = self.line(units, tail)
                self.assertEqual(len(command_line), units)
                outcome = self.execute(command_line, {command_line: server()})
                self.assertEqual(outcome.status, -1)
                self.assertEqual(outcome.loaded, [])
                self.assertEqual(outcome.boxes,
                                 [Box(0, USAGE, CAPTION, INFORMATION)] if shown else [])
                # Refused before any copy: the text never reaches the stack,
                # and the run stays within its own frames.
                self.assertNotIn(("n" * 64).encode("utf-16-le"), outcome.stack)
                self.assertGreater(outcome.stack_low, ce_harness.INITIAL_SP - 2048)


class DeviceContract(unittest.TestCase):
    """What the harness itself enforces on every run, shown to bite."""

    def test_only_the_tables_ordinals_resolve(self):
        # With a table that lacks one of the image's ordinals the loader refuses.
        with open(TABLE, encoding="utf-8") as stream:
            lines = [line for line in stream if not line.startswith("FillBytes")]
        with tempfile.NamedTemporaryFile("w", suffix=".table", delete=False) as table:
            table.writelines(lines)
        try:
            with self.assertRaisesRegex(HarnessError, "ordinal 1047 is not in the import table"):
                ce_harness.run(IMAGE, "x.dll", table_path=table.name)
        finally:
            os.remove(table.name)

    def test_imports_from_another_dll_or_by_name_are_refused(self):
        with open(IMAGE, "rb") as stream:
            original = stream.read()
        descriptor = pefile.PE(data=original).DIRECTORY_ENTRY_IMPORT[0].struct

        def other_dll(pe, data):
            name = pe.get_offset_from_rva(descriptor.Name)
            data[name:name + 11] = b"OTHERDL.dll"

        def by_name(pe, data):
            # The first slot names "COREDLL.dll" as a hint/name entry.
            for thunk in (descriptor.OriginalFirstThunk, descriptor.FirstThunk):
                struct.pack_into("<I", data, pe.get_offset_from_rva(thunk), descriptor.Name - 2)

        for alter, message in ((other_dll, "import from b'OTHERDL.dll'"),
                               (by_name, "import by name b'COREDLL.dll'")):
            with self.subTest(alter.__name__):
                data = bytearray(original)
                alter(pefile.PE(data=original), data)
                with tempfile.NamedTemporaryFile(suffix=".exe", delete=False) as altered:
                    altered.write(data)
                try:
                    with self.assertRaisesRegex(HarnessError, re.escape(message)):
                        ce_harness.run(altered.name, "x.dll", table_path=TABLE)
                finally:
                    os.remove(altered.name)

    def test_without_pdata_the_walk_gives_up_and_no_filter_is_asked(self):
        # Every pc is then a leaf, so the control pc repeats at the first frame
        # in the image: the kernel gives up, the fault is unhandled.
        with open(IMAGE, "rb") as stream:
            data = bytearray(stream.read())
        directory = pefile.PE(data=bytes(data)).OPTIONAL_HEADER.DATA_DIRECTORY[3]
        struct.pack_into("<II", data, directory.get_file_offset(), 0, 0)
        with tempfile.NamedTemporaryFile(suffix=".exe", delete=False) as altered:
            altered.write(data)
        try:
            outcome = ce_harness.run(altered.name, "x.dll", {"x.dll": server(register=FAULT)},
                                     table_path=TABLE, verdict=1)
        finally:
            os.remove(altered.name)
        self.assertEqual((outcome.status, outcome.filter_calls, outcome.unhandled.code),
                         (None, [], 0xC0000005))

    def test_the_unwinder_undoes_what_each_prolog_ran(self):
        # Each function runs on the core, stopped after each of its first
        # instructions; undoing the prolog instructions that ran gives back the
        # caller's r4-r11, sp and lr, and pc = lr.
        # (code, prolog length, instructions to run)
        functions = [
            ([0xE92D41F0, 0xE24DDB01], 2, 2),  # push {r4-r8, lr}; sub sp, sp, #1024
            ([0xE3A0C000, 0xE52DE004, 0xE24DD034], 3, 3),  # mov ip, #0 (passed over);
            # str lr, [sp, #-4]!; sub sp, sp, #52
            ([0xE1A0C00D, 0xE92D5830, 0xE28DB014, 0xE24DD008], 3, 4),  # mov r12, sp;
            # stmdb sp!, {r4, r5, r11, r12, lr}; add r11, sp, #20 (a frame pointer);
            # then the body moves sp: sub sp, sp, #8
            ([0xE92D4010, 0xE59FC000, 0xE04DD00C, 0x208], 3, 3),  # push {r4, lr};
            # ldr r12, [pc]; sub sp, sp, r12 (the word after it)
            ([0xE92DC010], 1, 1)]  # push {r4, lr, pc}: the kernel's own trap frame, refused
        device = Device(IMAGE, {}, ERROR_MOD_NOT_FOUND, TABLE)
        caller = [0x0A0A0000 + n for n in range(13)] + [
            ce_harness.STACK_BASE + 0x8000, 0x00412340, 0, device.uc.reg_read(UC_ARM_REG_CPSR)]
        device.uc.mem_map(0x00D00000, 0x1000)
        for index, (words, length, runs) in enumerate(functions):
            code = 0x00D00000 + 0x40 * index  # each its own place: the core caches translations
            device.write_words(code, words)
            for ran in range(runs + 1):
                with self.subTest(code=[f"{word:08X}" for word in words], ran=ran):
                    for register, value in zip(ce_harness.REGISTERS, caller):
                        device.uc.reg_write(register, value)
                    if ran:
                        device.uc.emu_start(code, code + 0x1000, count=ran)
                    body = [device.uc.reg_read(register) for register in ce_harness.REGISTERS]
                    if words[0] == 0xE92DC010 and ran:
                        with self.assertRaisesRegex(HarnessError, "pushes pc: a trap frame"):
                            device.unwind((0, code, length), code + 4 * ran, body)
                        continue
                    back = device.unwind((0, code, length), code + 4 * ran, body)
                    self.assertEqual(back[4:12] + back[13:16],
                                     caller[4:12] + caller[13:15] + caller[14:15])

    def test_a_callee_entered_in_the_wrong_state_is_refused(self):
        # Slots and entries whose bit 0 misstates the callee's state.
        place = Device.place_callee
        for thumb, flip, message in ((True, lambda a: a & ~1, "Thumb callee .* in ARM state"),
                                     (False, lambda a: a | 1, "ARM callee .* in Thumb state")):
            with self.subTest(message=message), mock.patch.object(
                    Device, "place_callee", lambda self, *a: flip(place(self, *a))):
                with self.assertRaisesRegex(HarnessError, message):
                    ce_harness.run(IMAGE, "x.dll", {"x.dll": Module({"DllRegisterServer": 0},
                                                                     thumb=thumb)},
                                   table_path=TABLE, core="TI925T", thumb_coredll=thumb)


def load_tests(loader, standard_tests, pattern):
    suite = unittest.TestSuite()
    for case in (Outcomes, Faults, Parse, LongLines):
        for core, thumb in CONFIGURATIONS:
            name = f"{case.__name__}_{core.replace('-', '')}{'_Thumb' if thumb else ''}"
            configured = type(name, (case,), {"core": core, "thumb": thumb})
            suite.addTests(loader.loadTestsFromTestCase(configured))
    suite.addTests(loader.loadTestsFromTestCase(DeviceContract))
    return suite


if __name__ == "__main__":
    unittest.main()
