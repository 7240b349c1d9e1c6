"""comenrol.exe for Compact 2013 read back with pefile: what the system's
loader checks, its imports, relocations, version record and unwind data."""

import os
import re
import struct
import sys
import unittest

import pefile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "wince"))
from ce_harness import built  # noqa: E402 (and tools/ and tests/ on the path)
import armnt_unwind  # noqa: E402
from expected_version_record import RECORD, read_back  # noqa: E402

IMAGE, MAP = built("COMENROL_WINCE2013_EXE"), built("COMENROL_WINCE2013_MAP")
# COREDLL's exports on this generation at the ordinals of CE 4.20-7: LoadLibraryW,
# GetProcAddressW, GetLastError, MessageBoxW, wsprintfW, ExitThread, TerminateProcess.
DOCUMENTED = {528, 530, 516, 858, 56, 6, 544}


def read_map():
    """{rva: name} of every symbol the link placed in the code section."""
    with open(MAP, encoding="ascii") as stream:
        return {0x1000 + int(offset, 16): name for offset, name in
                re.findall(r"^ 0001:([0-9a-f]{8}) +(\S+)", stream.read(), re.MULTILINE)}


class Image(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pe = pefile.PE(IMAGE)
        cls.optional = cls.pe.OPTIONAL_HEADER

    def test_header_as_the_loader_reads_it(self):
        optional, header = self.optional, self.pe.FILE_HEADER
        self.assertEqual((optional.Magic, header.Machine, optional.Subsystem,
                          optional.MajorSubsystemVersion, optional.MinorSubsystemVersion,
                          optional.ImageBase), (0x10B, 0x01C4, 9, 8, 0, 0x10000))
        self.assertEqual(header.Characteristics & 0x2003, 0x0002)  # an EXE, relocations kept
        self.assertTrue(optional.DllCharacteristics & 0x0100)  # NX compatible
        self.assertEqual(header.TimeDateStamp, int(os.environ.get("SOURCE_DATE_EPOCH") or 0))
        self.assertLessEqual(os.path.getsize(IMAGE), 8192)
        self.assertTrue(0 < optional.SizeOfImage < 1 << 30)
        for section in self.pe.sections:
            self.assertEqual(section.VirtualAddress % 0x1000, 0, section.Name)
            self.assertLessEqual(section.VirtualAddress + section.Misc_VirtualSize,
                                 optional.SizeOfImage, section.Name)
        # Relocations count only where a section begins at their directory.
        relocations = optional.DATA_DIRECTORY[5].VirtualAddress
        self.assertIn(relocations, [section.VirtualAddress for section in self.pe.sections])
        # Imports, resources, exception data, relocations, import slots: nothing else.
        self.assertEqual([index for index, entry in enumerate(optional.DATA_DIRECTORY)
                          if entry.VirtualAddress or entry.Size], [1, 2, 3, 5, 12])
        # The entry is Thumb code: bit 0 set, in an executable section.
        self.assertEqual(optional.AddressOfEntryPoint & 1, 1)
        code = self.pe.get_section_by_rva(optional.AddressOfEntryPoint)
        self.assertTrue(code.Characteristics & 0x20000000)

    def test_imports_are_coredll_ordinals_alone(self):
        (descriptor,) = self.pe.DIRECTORY_ENTRY_IMPORT
        self.assertEqual(descriptor.dll, b"COREDLL.dll")
        self.assertEqual([(i.import_by_ordinal, i.name) for i in descriptor.imports],
                         [(True, None)] * len(descriptor.imports))
        self.assertLessEqual({i.ordinal for i in descriptor.imports}, DOCUMENTED)
        # The loader makes only the first descriptor's slots writable: one section.
        slots = {self.pe.get_section_by_rva(i.address - self.optional.ImageBase).Name
                 for i in descriptor.imports}
        self.assertEqual(len(slots), 1)

    def test_relocations_are_movw_movt_pairs_and_words(self):
        # Whether each one is right shows in the emulated runs at another base.
        # Words (3) only where the data holds an address: there may be none.
        kinds = {e.type for b in self.pe.DIRECTORY_ENTRY_BASERELOC for e in b.entries}
        self.assertIn(7, kinds)
        self.assertLessEqual(kinds - {0}, {3, 7})

    def test_version_record(self):
        self.assertEqual(read_back(self.pe), RECORD)

    def test_each_function_has_decodable_unwind_data_or_is_a_leaf(self):
        # The compiler gives a function that neither saves lr nor moves sp no
        # entry; the system unwinds a pc outside every entry as such a leaf.
        functions = armnt_unwind.read_functions(self.pe)
        starts = [f.start for f in functions]
        self.assertEqual(starts, sorted(starts))
        for function, following in zip(functions, functions[1:]):
            self.assertLessEqual(function.start + function.length, following.start)
        symbols = read_map()
        self.assertLessEqual(set(starts), set(symbols))
        text = self.pe.sections[0]
        self.assertTrue(all(text.VirtualAddress <= f.start and f.start + f.length
                            <= text.VirtualAddress + text.Misc_VirtualSize for f in functions))
        # The entry alone has a handler: the guard, a function of the image.
        entry = self.optional.AddressOfEntryPoint & ~1
        self.assertEqual([(f.start, f.handler & 1) for f in functions if f.handler is not None],
                         [(entry, 1)])
        guard = armnt_unwind.find(functions, entry).handler & ~1
        self.assertEqual(symbols.get(guard), "comenrol_guard")

    def test_code_is_thumb2_without_division_or_a_switch_to_arm_state(self):
        # Every instruction in turn (the code holds no data): no sdiv or udiv,
        # no blx to an immediate, which always enters ARM state.
        text = self.pe.sections[0]
        code, at = text.get_data()[:text.Misc_VirtualSize], 0
        while at + 2 <= len(code):
            first, second = struct.unpack_from("<HH", code + b"\0\0", at)
            wide = first >> 11 in (0b11101, 0b11110, 0b11111)
            self.assertFalse(wide and (first & 0xFFD0 == 0xFB90 and second & 0xF0 == 0xF0
                                       or first >> 11 == 0b11110 and second & 0xD000 == 0xC000),
                             hex(text.VirtualAddress + at))
            at += 4 if wide else 2


if __name__ == "__main__":
    unittest.main()
