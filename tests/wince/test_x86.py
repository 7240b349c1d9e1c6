"""comenrol.exe for Windows CE x86: its structure read back with pefile, and
every row of the CE case table (ce_cases.py) run on an emulated CPU
(x86_device.py) at CE 5/6's base and at another, as CE 7 with address
randomisation may load it. Rows whose entry faults or raises (silent and with
boxes) run with the runtime's filter answering 1, 0 and -1.
"""

import os
import struct
import sys
import tempfile
import unittest
from unittest import mock

import pefile

import x86_device
from ce_cases import CASES, FAULT, server
from ce_harness import built, check_calls, read_image
from expected import COMPACT2013_COREDLL, CE_COREDLL, REGISTERED, SUCCEEDED, boxes

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, "..", "..", "tools"), os.path.join(HERE, "..")]
import pe_load_config  # noqa: E402
from expected_version_record import RECORD, read_back  # noqa: E402

IMAGE, LINKED = built("COMENROL_WINCEX86_EXE"), built("COMENROL_WINCEX86_LINKED")
# The image for CE 4.20 to 7, or for Compact 2013, and what that one imports:
# COREDLL's system functions and a way to end the process, nothing else.
COMPACT2013 = os.environ.get("COMENROL_WINCEX86_GENERATION") == "2013"
BASES = (0x10000, 0x02A70000)
if COMPACT2013:
    COREDLL, VERSION = COMPACT2013_COREDLL, (8, 0)
    ORDINALS = {528, 530, 516, 858, 6}
else:
    COREDLL, VERSION = CE_COREDLL, (4, 20)
    ORDINALS = set(CE_COREDLL) - {87}  # all but the ARM exception data's handler
SYMBOLS = {name: rvas[0] for name, rvas in pe_load_config.symbols(open(LINKED, "rb").read())
           .items()}
HANDLER = SYMBOLS["_comenrol_exception_handler"]


class Structure(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.raw, cls.pe = read_image(IMAGE)

    def test_format_and_flags(self):
        header, optional = self.pe.FILE_HEADER, self.pe.OPTIONAL_HEADER
        self.assertEqual(
            (header.Machine, header.SizeOfOptionalHeader, optional.Magic,
             optional.NumberOfRvaAndSizes, optional.Subsystem, optional.MajorSubsystemVersion,
             optional.MinorSubsystemVersion, optional.ImageBase, optional.SectionAlignment,
             optional.DllCharacteristics, header.Characteristics & 0x2003),
            (0x014C, 0xE0, 0x10B, 16, 9, *VERSION, 0x10000, 0x1000, 0x0100, 0x0002))  # NX only;
        # an executable, not a DLL, relocations kept
        self.assertLessEqual(len(self.raw), 8192)
        self.assertTrue(self.pe.verify_checksum())
        for section in self.pe.sections:
            self.assertEqual(section.VirtualAddress % 0x1000, 0, section.Name)
            if section.Name.startswith(b".rsrc"):
                self.assertFalse(section.Characteristics & 0x80000000)  # read-only
            self.assertLessEqual(section.VirtualAddress + section.Misc_VirtualSize,
                                 optional.SizeOfImage)
        relocations = optional.DATA_DIRECTORY[5]
        self.assertIn(b".reloc\0\0", [s.Name for s in self.pe.sections
                                      if s.VirtualAddress == relocations.VirtualAddress])
        entries = [e for b in self.pe.DIRECTORY_ENTRY_BASERELOC for e in b.entries if e.type]
        self.assertEqual({e.type for e in entries}, {3})
        for entry in entries:  # each fixed-up word is an address inside the image
            word = self.pe.get_dword_at_rva(entry.rva) - optional.ImageBase
            self.assertTrue(0 <= word < optional.SizeOfImage, hex(entry.rva))
        present = {i for i, d in enumerate(optional.DATA_DIRECTORY) if d.VirtualAddress or d.Size}
        self.assertEqual(present, {1, 2, 5, 10, 12})  # no CLR, exports, TLS or delayed imports

    def test_imports_by_ordinal_only(self):
        (descriptor,) = self.pe.DIRECTORY_ENTRY_IMPORT
        self.assertEqual(descriptor.dll, b"COREDLL.dll")
        self.assertNotEqual(descriptor.struct.OriginalFirstThunk, 0)  # read by every CE loader
        self.assertTrue(all(i.import_by_ordinal and i.name is None for i in descriptor.imports))
        # The link names each slot for the operation the code calls through it.
        self.assertEqual({i.address - self.pe.OPTIONAL_HEADER.ImageBase: i.ordinal
                          for i in descriptor.imports},
                         {SYMBOLS["__imp__comenrol_import_" + name]: ordinal
                          for ordinal, name in COREDLL.items() if ordinal in ORDINALS})

    def test_version_record(self):
        self.assertEqual(read_back(self.pe), RECORD)

    def test_the_load_configuration_lists_the_handler(self):
        directory = self.pe.OPTIONAL_HEADER.DATA_DIRECTORY[10]
        rva = SYMBOLS["__load_config_used"]
        size, *_ = struct.unpack_from("<I", self.pe.get_data(rva, 4))
        table, count = struct.unpack("<II", self.pe.get_data(rva + 0x40, 8))
        relocated = {e.rva for b in self.pe.DIRECTORY_ENTRY_BASERELOC for e in b.entries}
        self.assertEqual((directory.VirtualAddress, directory.Size, size, rva % 4, count),
                         (rva, 0x48, 0x48, 0, 1))
        self.assertIn(rva + 0x40, relocated)  # the table's address moves with the image
        table -= self.pe.OPTIONAL_HEADER.ImageBase
        self.assertEqual(struct.unpack("<2I", self.pe.get_data(table, 8)), (HANDLER, 0))
        self.assertTrue(self.pe.get_section_by_rva(HANDLER).Characteristics & 0x20000000)


def exception_outcome(case, verdicts):
    """(status, boxes, filter calls, handlers asked, unhandled code) a row with
    an exception ends with. On Compact 2013 the guard ends the process with the
    code at once. Otherwise a silent run or an accepting filter takes the
    code; a declining one leaves it to the system; -1 resumes where it was
    raised: a fault comes back (and is accepted), a raise returns."""
    code, fault = case.exception, case.modules["x.dll"].exports[case.entry] == FAULT
    if COMPACT2013:
        return case.status, [], 0, [("module", 0)], None
    taken = [("module", 0), ("module", 2)]
    if case.silent or verdicts[0] > 0:
        return case.status, [], 1, taken, None
    if verdicts[0] == 0:
        return None, [], 1, [("module", 0), ("system", 0)], code
    if fault:
        return case.status, [], 2, [("module", 0)] + taken, None
    return SUCCEEDED, boxes(SUCCEEDED, REGISTERED), 1, [("module", 0)], None


class Runs(unittest.TestCase):
    def test_every_case(self):
        for base in BASES:
            for case in CASES:
                for verdicts in ((1,), (0,), (-1, 1)) if case.exception and not COMPACT2013 \
                        else [()]:
                    with self.subTest(case.what, base=hex(base), line=case.line[:40],
                                      verdicts=verdicts):
                        self.check(case, verdicts, x86_device.run(
                            IMAGE, case.line, case.modules, base=base, verdicts=verdicts,
                            compact2013=COMPACT2013))

    def check(self, case, verdicts, outcome):
        check_calls(self, case, outcome)
        if case.exception is None:
            self.assertEqual((outcome.status, outcome.boxes, outcome.filter_calls),
                             (case.status, boxes(case.status, case.text), []))
            return
        status, shown, asked, handlers, unhandled = exception_outcome(case, verdicts)
        self.assertEqual((outcome.status, outcome.boxes, outcome.handlers,
                          outcome.unhandled and outcome.unhandled.code),
                         (status, shown, handlers, unhandled))
        self.assertEqual([(c.code, c.record_code) for c in outcome.filter_calls],
                         [(case.exception, case.exception)] * asked)
        if COMPACT2013:
            self.assertEqual(outcome.ended_by, "ExitThread")


class DeviceContract(unittest.TestCase):
    """What the device refuses, each shown to bite on an altered image or model."""

    def test_the_handler_passes_an_unwind_by(self):
        # Called as the dispatcher unwinds (the records above the target, the
        # exit unwind, the target's own record), the guard's handler answers
        # "continue search", silent or not, asks no filter and leaves the
        # context alone.
        device = x86_device.Device(IMAGE, verdicts=(1,), compact2013=COMPACT2013)
        record, context = x86_device.STACK + 0x8000, x86_device.STACK + 0x8100
        for silent in (0, 1):
            device.write_bytes(device.base + SYMBOLS["_comenrol_run_shows_no_box"], bytes([silent]))
            for flags in (2, 4, 2 | 0x20):
                with self.subTest(silent=silent, flags=flags):
                    device.uc.mem_write(context, bytes(0x2CC))
                    device.write_words(record, [0xC0000005, flags, 0, 0, 0])
                    self.assertEqual(device.call(device.base + HANDLER,
                                                 [record, x86_device.OUTER, context, record - 16],
                                                 x86_device.STACK + 0x4000, 0x202),
                                     x86_device.CONTINUE_SEARCH)
                    self.assertEqual(bytes(device.uc.mem_read(context, 0x2CC)), bytes(0x2CC))
        self.assertEqual(device.outcome.filter_calls, [])

    def test_refusals(self):
        leave, start = SYMBOLS["comenrol_start_leave"], SYMBOLS["_comenrol_start"]
        table = SYMBOLS["comenrol_safe_handlers"]
        # (what, image offset, bytes there, changed conventions, what the entry does, message)
        cases = [
            ("a stdcall entry", leave + 13, b"\xc2\x10\x00", {}, 0, "the entry returned with esp"),
            ("a cmove", start, b"\x0f\x44\xe5", {}, 0, "0f44e5 at .* is not an i486 instruction"),
            ("the handler not listed", table, struct.pack("<I", start), {}, FAULT,
             "not in the image's safe-handler table"),
            ("no load configuration", "directory 10", bytes(8), {}, FAULT, "not paged in"),
            ("NO_SEH", "flags", b"\x00\x05", {}, FAULT, "the image has NO_SEH"),
            ("not NX compatible", "flags", b"\x00\x00", {}, 0, "strict no-execute"),
            ("LoadModule caller-cleans", None, b"", {"LoadModule": (1, False)}, 0, "popped other"),
            ("FindUnit callee-pops", None, b"", {"FindUnit": (2, True)}, 0, "popped"),
            # Each generation runs only the subsystem versions it knows.
            ("the other generation's version", "version", b"\x04\x00\x14\x00" if COMPACT2013
             else b"\x08\x00\x00\x00", {}, 0, "not an image this generation runs"),
        ]
        if COMPACT2013:  # no handler check, and no C library imported
            cases = [case for case in cases if case[0] not in (
                "the handler not listed", "no load configuration", "NO_SEH", "FindUnit callee-pops")]
        pe = pefile.PE(IMAGE)
        places = {"directory 10": pe.OPTIONAL_HEADER.DATA_DIRECTORY[10].get_file_offset(),
                  "flags": pe.OPTIONAL_HEADER.get_field_absolute_offset("DllCharacteristics"),
                  "version": pe.OPTIONAL_HEADER.get_field_absolute_offset("MajorSubsystemVersion")}
        with open(IMAGE, "rb") as stream:
            original = stream.read()
        for what, where, data, conventions, entry, message in cases:
            with self.subTest(what), tempfile.NamedTemporaryFile(suffix=".exe") as altered, \
                    mock.patch.dict(x86_device.CONVENTIONS, conventions):
                image = bytearray(original)
                if where is not None:
                    at = places[where] if where in places else pe.get_offset_from_rva(where)
                    image[at:at + len(data)] = data
                altered.write(image)
                altered.flush()
                with self.assertRaisesRegex(AssertionError, message):
                    x86_device.run(altered.name, "x.dll", {"x.dll": server(entry)},
                                   verdicts=(1,), compact2013=COMPACT2013)


if __name__ == "__main__":
    unittest.main()
