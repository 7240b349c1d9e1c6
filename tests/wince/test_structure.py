"""The structure of comenrol.exe for CE, read back with pefile."""

import os
import struct
import sys
import unittest

import pefile

import ce_harness

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from expected_version_record import FIXED_FIELDS, STRINGS  # noqa: E402

IMAGE = os.environ.get("COMENROL_WINCE_EXE", "")
TABLE = os.environ.get("COMENROL_WINCE_IMPORT_TABLE", ce_harness.DEFAULT_TABLE)



def setUpModule():
    # Run by CTest after the build: a missing input is a failure, not a skip.
    for path in (IMAGE,):
        if not os.path.isfile(path):
            raise RuntimeError(f"built input {path!r} is missing; set the COMENROL_WINCE_* "
                               "variables or run through ctest")


def parse_version_block(data, offset):
    """One version-resource block: (key, value bytes, value type, children, end)."""
    length, value_length, kind = struct.unpack_from("<HHH", data, offset)
    end = offset + length
    cursor = offset + 6
    key_end = cursor
    while struct.unpack_from("<H", data, key_end)[0] != 0:
        key_end += 2
    key = data[cursor:key_end].decode("utf-16-le")
    cursor = (key_end + 2 + 3) & ~3
    value_size = value_length * 2 if kind == 1 else value_length
    value = data[cursor:cursor + value_size]
    cursor = (cursor + value_size + 3) & ~3
    children = []
    while cursor < end:
        child = parse_version_block(data, cursor)
        children.append(child)
        cursor = (child[4] + 3) & ~3
    return key, value, kind, children, end


class Structure(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(IMAGE, "rb") as stream:
            cls.raw = stream.read()
        cls.pe = pefile.PE(data=cls.raw)

    def test_headers(self):
        header = self.pe.FILE_HEADER
        optional = self.pe.OPTIONAL_HEADER
        self.assertEqual(optional.Magic, 0x10B)  # PE32
        self.assertEqual(header.Machine, 0x01C0)
        self.assertEqual(optional.Subsystem, 9)
        self.assertEqual((optional.MajorSubsystemVersion, optional.MinorSubsystemVersion),
                         (4, 20))
        self.assertEqual(optional.ImageBase, 0x10000)
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

    def test_imports_only_the_tables_ordinals_from_coredll(self):
        table = ce_harness.read_import_table(TABLE)
        descriptors = self.pe.DIRECTORY_ENTRY_IMPORT
        self.assertEqual([d.dll for d in descriptors], [b"COREDLL.dll"])
        imports = descriptors[0].imports
        self.assertTrue(all(i.import_by_ordinal and i.name is None for i in imports))
        self.assertEqual([i.ordinal for i in imports], list(table))
        self.assertEqual(set(table), {528, 530, 516, 1097, 858, 73, 59, 1047, 1645, 87})
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

    def version_resource(self):
        (version,) = [t for t in self.pe.DIRECTORY_ENTRY_RESOURCE.entries if t.id == 16]
        (name,) = version.directory.entries
        (language,) = name.directory.entries
        return name, language

    def test_version_record_name_and_language(self):
        name, language = self.version_resource()
        self.assertEqual(str(name.name), "VS_VERSION_INFO")
        self.assertEqual(language.id, 0x0419)

    def test_version_record_fields(self):
        _, language = self.version_resource()
        entry = language.data.struct
        data = self.pe.get_data(entry.OffsetToData, entry.Size)
        key, fixed, kind, children, _ = parse_version_block(data, 0)
        self.assertEqual((key, kind), ("VS_VERSION_INFO", 0))
        fields = struct.unpack("<13I", fixed)
        self.assertEqual(fields, tuple(value for _, value in FIXED_FIELDS))
        self.assertEqual([c[0] for c in children], ["StringFileInfo", "VarFileInfo"])
        (table,) = children[0][3]
        self.assertEqual(table[0], "000004b0")
        strings = [(c[0], c[1].decode("utf-16-le").rstrip("\0")) for c in table[3]]
        self.assertEqual(strings, STRINGS)
        (translation,) = children[1][3]
        self.assertEqual(translation[0], "Translation")
        self.assertEqual(struct.unpack("<HH", translation[1]), (0x0000, 0x04B0))


if __name__ == "__main__":
    unittest.main()
