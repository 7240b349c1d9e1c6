"""The structure of comenrol.exe for CE, read back with pefile."""

import struct
import unittest

from elftools.elf.elffile import ELFFile

import ce_harness  # puts tests/ on the path as well
from ce_cases import IMAGE_BASE
from expected import CE_COREDLL
from expected_version_record import RECORD, read_back

IMAGE, ELF = ce_harness.built("COMENROL_WINCE_EXE"), ce_harness.built("COMENROL_WINCE_ELF")
BX_VENEER_SIZE = 12  # the linker's bx veneers are function symbols without a size


class Structure(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.raw, cls.pe = ce_harness.read_image(IMAGE)

    def test_headers(self):
        header = self.pe.FILE_HEADER
        optional = self.pe.OPTIONAL_HEADER
        self.assertEqual(optional.Magic, 0x10B)  # PE32
        self.assertEqual(header.Machine, 0x01C0)
        self.assertEqual(optional.Subsystem, 9)
        self.assertEqual((optional.MajorSubsystemVersion, optional.MinorSubsystemVersion),
                         (4, 20))
        self.assertEqual(optional.ImageBase, IMAGE_BASE)
        self.assertEqual(optional.DllCharacteristics, 0x0100)  # NX compatible, nothing else
        self.assertTrue(header.Characteristics & 0x0002)  # executable
        self.assertFalse(header.Characteristics & 0x0001)  # relocations kept
        self.assertTrue(self.pe.verify_checksum())
        self.assertLessEqual(len(self.raw), 8192)

    def test_sections_lie_on_pages_and_the_entry_is_code(self):
        optional = self.pe.OPTIONAL_HEADER
        for section in self.pe.sections:
            self.assertEqual(section.VirtualAddress % 0x1000, 0, section.Name)
        code = self.pe.get_section_by_rva(optional.AddressOfEntryPoint)
        self.assertTrue(code.Characteristics & 0x20000000)  # executable

    def test_each_slot_imports_its_operations_ordinal_from_coredll(self):
        descriptors = self.pe.DIRECTORY_ENTRY_IMPORT
        self.assertEqual([d.dll for d in descriptors], [b"COREDLL.dll"])
        imports = descriptors[0].imports
        self.assertTrue(all(i.import_by_ordinal and i.name is None for i in imports))
        # The ELF names each slot for the operation the code calls through it.
        with open(ELF, "rb") as stream:
            slots = {symbol.name[len("comenrol_import_"):]: symbol["st_value"] for symbol in
                     ELFFile(stream).get_section_by_name(".symtab").iter_symbols()
                     if symbol.name.startswith("comenrol_import_")}
        self.assertEqual({i.address: i.ordinal for i in imports},
                         {slots[name]: ordinal for ordinal, name in CE_COREDLL.items()})
        for unexpected in ("DIRECTORY_ENTRY_DELAY_IMPORT", "DIRECTORY_ENTRY_EXPORT",
                           "DIRECTORY_ENTRY_TLS"):
            self.assertFalse(hasattr(self.pe, unexpected), unexpected)

    def test_base_relocations_are_highlow_inside_the_image(self):
        blocks = self.pe.DIRECTORY_ENTRY_BASERELOC
        entries = [e for b in blocks for e in b.entries if e.type != 0]
        self.assertGreater(len(entries), 0)
        self.assertEqual({e.type for e in entries}, {3})
        base = self.pe.OPTIONAL_HEADER.ImageBase
        size = self.pe.OPTIONAL_HEADER.SizeOfImage
        for entry in entries:
            # Each fixed-up word is an address inside the image.
            word = self.pe.get_dword_at_rva(entry.rva)
            self.assertTrue(base <= word < base + size, hex(entry.rva))

    def relocated(self):
        return {e.rva for b in self.pe.DIRECTORY_ENTRY_BASERELOC for e in b.entries
                if e.type == 3}

    def exception_records(self):
        """[(start rva, record rva, prolog, length in bytes, flags)] of data directory 3."""
        directory = self.pe.OPTIONAL_HEADER.DATA_DIRECTORY[3]
        data = self.pe.get_data(directory.VirtualAddress, directory.Size)
        base = self.pe.OPTIONAL_HEADER.ImageBase
        records = []
        for offset in range(0, len(data), 8):
            start, word = struct.unpack_from("<II", data, offset)
            records.append((start - base, directory.VirtualAddress + offset, word & 0xFF,
                            4 * (word >> 8 & 0x3FFFFF), word >> 30))
        return records

    def test_exception_data_covers_every_function_once_sorted_and_relocated(self):
        records = self.exception_records()
        base = self.pe.OPTIONAL_HEADER.ImageBase
        with open(ELF, "rb") as stream:
            symbols = ELFFile(stream).get_section_by_name(".symtab").iter_symbols()
            functions = {(f["st_value"] - base, f["st_size"] or BX_VENEER_SIZE)
                         for f in symbols if f["st_info"]["type"] == "STT_FUNC"}
        self.assertEqual([(start, length) for start, _, _, length, _ in records],
                         sorted(functions))
        for (start, _, _, length, _), (after, *_) in zip(records, records[1:]):
            self.assertLessEqual(start + length, after)
        relocated = self.relocated()
        for start, where, prolog, _, flags in records:
            self.assertIn(where, relocated, hex(start))
            self.assertLessEqual(prolog, 10)
            self.assertIn(flags, (0b01, 0b11))  # ARM code; bit 31 for the guarded one
        entry = self.pe.OPTIONAL_HEADER.AddressOfEntryPoint
        guarded = [(start, prolog) for start, _, prolog, _, flags in records if flags == 0b11]
        self.assertEqual([start for start, _ in guarded], [entry])
        self.assertGreater(guarded[0][1], 0)  # with no prolog its handler is never called

    def test_the_entry_names_its_handler_and_scopes(self):
        base = self.pe.OPTIONAL_HEADER.ImageBase
        entry = self.pe.OPTIONAL_HEADER.AddressOfEntryPoint
        records = {start: length for start, _, _, length, _ in self.exception_records()}
        relocated = self.relocated()
        handler, scopes = (self.pe.get_dword_at_rva(entry - 8 + 4 * i) - base for i in (0, 1))
        self.assertLessEqual({entry - 8, entry - 4}, relocated)
        self.assertIn(handler, records)  # a thunk in the image, called as code
        self.assertEqual(self.pe.get_dword_at_rva(scopes), 1)
        begin, end, filter_, target = (self.pe.get_dword_at_rva(scopes + 4 * i) - base
                                       for i in range(1, 5))
        self.assertLessEqual({scopes + 4 * i for i in range(1, 5)}, relocated)
        self.assertTrue(entry < begin < end <= entry + records[entry])
        self.assertTrue(entry < target < entry + records[entry])
        self.assertIn(filter_, records)

    def test_no_instruction_newer_than_armv4_outside_the_bx_veneers(self):
        # A bx only as the third of tst rN, #1; moveq pc, rN; bx rN, which an
        # ARMv4 core never reaches; nothing from the unconditional space (blx).
        for start, _, _, length, _ in self.exception_records():
            words = struct.unpack("<%dI" % (length // 4), self.pe.get_data(start, length))
            for index, word in enumerate(words):
                where = hex(start + 4 * index)
                self.assertNotEqual(word >> 28, 0xF, where)
                if word & 0x0FFFFFD0 == 0x012FFF10:
                    register = word & 15
                    self.assertEqual((word, words[index - 2:index]),
                                     (0xE12FFF10 | register,
                                      (0xE3100001 | register << 16, 0x01A0F000 | register)),
                                     where)

    def test_version_record(self):
        self.assertEqual(read_back(self.pe), RECORD)


if __name__ == "__main__":
    unittest.main()
