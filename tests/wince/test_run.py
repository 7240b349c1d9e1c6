"""comenrol.exe for CE on emulated CE cores: every row of the CE case table
(ce_cases.py) on each configuration below (the three cores, the two with
Thumb state also with Thumb callees), and what the harness itself enforces.

Besides the row's status, box, loaded name and entry, every run checks that
the entry is called once when found, that the last error is read only for a
box that is shown, and that a refused line consults nothing and never
reaches the stack.
"""

import os
import re
import struct
import tempfile
import unittest
from unittest import mock

import pefile
from unicorn.arm_const import UC_ARM_REG_CPSR

import ce_harness
from ce_cases import CASES, FAULT, Module, server
from ce_harness import Device, EmulationError, SystemBox
from expected import CE_COREDLL, USAGE, boxes

IMAGE = ce_harness.built("COMENROL_WINCE_EXE")

# (core, Thumb callees)
CONFIGURATIONS = [("SA-1110", False), ("TI925T", False), ("TI925T", True), ("PXA255", False),
                  ("PXA255", True)]


class OnEachCore(unittest.TestCase):
    """The case table, run by load_tests once per configuration."""
    core, thumb = "SA-1110", False

    def test_every_case(self):
        for case in CASES:
            for verdict in (1, 0, -1) if case.exception else (None,):  # accept, decline, resume
                with self.subTest(case.what, line=case.line[:40], verdict=verdict):
                    self.check(case, verdict, ce_harness.run(
                        IMAGE, case.line, case.modules, core=self.core, thumb=self.thumb,
                        verdict=verdict))

    def check(self, case, verdict, outcome):
        ce_harness.check_calls(self, case, outcome)
        self.assertEqual(outcome.boxes, boxes(case.status, case.text))
        if case.status == USAGE:
            consulted = [c for c in outcome.calls if c not in ("FindSubstring", "FindUnit")]
            self.assertEqual(consulted, ["ShowMessageBox"] if case.text else [])
            self.assertGreater(outcome.stack_low, ce_harness.INITIAL_SP - 2048)
            middle = case.line[len(case.line) // 2 - 32:][:64]
            if len(middle) == 64:  # a long line is refused before it is copied anywhere
                self.assertNotIn(middle.encode("utf-16-le"), outcome.stack)
        if case.exception is None:
            self.assertEqual(outcome.status, case.status)
            return
        self.assertEqual([(c.code, c.record_code) for c in outcome.filter_calls],
                         [(case.exception, case.exception)])
        # A run that shows no box takes the exception whatever the filter said;
        # one that may show boxes leaves a decline to the system's box and a
        # resume to the system. Accepted, the entry returns the code; the
        # harness checks r4-r11 and sp.
        fault = case.modules[case.loaded].exports[case.entry] == FAULT
        address = ce_harness.ENTRY_BASE + (0 if not fault else 2 if self.thumb else 4)
        left = SystemBox("comenrol.exe", case.exception, address)
        expected = ((case.status, None, None) if verdict > 0 or case.silent
                    else (None, left, None) if verdict == 0 else (None, None, left))
        self.assertEqual((outcome.status, outcome.unhandled, outcome.resumed), expected)


class DeviceContract(unittest.TestCase):
    """What the harness itself enforces on every run, shown to bite."""

    def written(self, name, data):
        """A file of this test's own with the data."""
        path = os.path.join(self.enterContext(tempfile.TemporaryDirectory()), name)
        with open(path, "wb") as stream:
            stream.write(data)
        return path

    def test_only_the_tables_ordinals_resolve(self):
        # On a device that lacks one of the image's ordinals the loader refuses.
        table = {ordinal: name for ordinal, name in CE_COREDLL.items() if ordinal != 1047}
        with self.assertRaisesRegex(EmulationError, "ordinal 1047 is not in the import table"):
            ce_harness.run(IMAGE, "x.dll", table=table)

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

        for alter, message in ((other_dll, "import from 'OTHERDL.dll'"),
                               (by_name, "import by name 'COREDLL.dll'")):
            with self.subTest(alter.__name__):
                data = bytearray(original)
                alter(pefile.PE(data=original), data)
                with self.assertRaisesRegex(EmulationError, re.escape(message)):
                    ce_harness.run(self.written("comenrol.exe", data), "x.dll")

    def test_without_pdata_the_walk_gives_up_and_no_filter_is_asked(self):
        # Every pc is then a leaf, so the control pc repeats at the first frame
        # in the image: the kernel gives up, the fault is unhandled.
        with open(IMAGE, "rb") as stream:
            data = bytearray(stream.read())
        directory = pefile.PE(data=bytes(data)).OPTIONAL_HEADER.DATA_DIRECTORY[3]
        struct.pack_into("<II", data, directory.get_file_offset(), 0, 0)
        outcome = ce_harness.run(self.written("comenrol.exe", data), "x.dll",
                                 {"x.dll": server(register=FAULT)}, verdict=1)
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
        device = Device(IMAGE)
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
                        with self.assertRaisesRegex(EmulationError, "pushes pc: a trap frame"):
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
                with self.assertRaisesRegex(EmulationError, message):
                    ce_harness.run(IMAGE, "x.dll", {"x.dll": Module({"DllRegisterServer": 0})},
                                   core="TI925T", thumb=thumb)


def load_tests(loader, standard_tests, pattern):
    suite = unittest.TestSuite()
    for core, thumb in CONFIGURATIONS:
        name = f"Cases_{core.replace('-', '')}{'_Thumb' if thumb else ''}"
        configured = type(name, (OnEachCore,), {"core": core, "thumb": thumb})
        suite.addTests(loader.loadTestsFromTestCase(configured))
    suite.addTests(loader.loadTestsFromTestCase(DeviceContract))
    return suite


if __name__ == "__main__":
    unittest.main()
