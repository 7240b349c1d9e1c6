"""The ELF to PE converter: reproducible output, and hard errors instead of
silent misses, shown on altered copies of the linked comenrol ELF."""

import os
import struct
import subprocess
import sys
import tempfile
import unittest

import pefile
from elftools.elf.elffile import ELFFile

from ce_harness import built

IMAGE, ELF, RES = (built(f"COMENROL_WINCE_{name}") for name in ("EXE", "ELF", "RES"))
CONVERTER = os.environ.get("COMENROL_ELF2PE", os.path.join(
    os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "elf2pe.py"))

R_ARM_ABS32 = 2
R_ARM_ABS16 = 5
R_ARM_V4BX = 40
BX_LR = 0xE12FFF1E
SUB_SP_SP_0 = 0xE24DD000


def convert(elf_path, output, epoch=None):
    environment = {k: v for k, v in os.environ.items() if k != "SOURCE_DATE_EPOCH"}
    if epoch is not None:
        environment["SOURCE_DATE_EPOCH"] = str(epoch)
    return subprocess.run([sys.executable, CONVERTER, "--resources", RES, elf_path, output],
                          env=environment, capture_output=True, text=True, check=False)


def first_abs32(elf):
    """(file offset of the r_info of the first R_ARM_ABS32 in .rel.text, its r_offset)."""
    section = elf.get_section_by_name(".rel.text")
    for index, relocation in enumerate(section.iter_relocations()):
        if relocation["r_info_type"] == R_ARM_ABS32:
            return section["sh_offset"] + 8 * index + 4, relocation["r_offset"]
    raise AssertionError("no R_ARM_ABS32 in .rel.text")


def file_offset(elf, address):
    for section in elf.iter_sections():
        start = section["sh_addr"]
        if section["sh_flags"] & 2 and start <= address < start + section["sh_size"]:
            return section["sh_offset"] + address - start
    raise AssertionError(f"0x{address:X} is in no section")


def unknown_relocation_type(elf, data):
    where, _ = first_abs32(elf)
    data[where] = R_ARM_ABS16


def bx_left_behind_a_v4bx_marker(elf, data):
    where, address = first_abs32(elf)
    data[where] = R_ARM_V4BX
    struct.pack_into("<I", data, file_offset(elf, address), BX_LR)


def slot_not_an_ordinal(elf, data):
    symbol = elf.get_section_by_name(".symtab").get_symbol_by_name("comenrol_import_FindUnit")
    data[file_offset(elf, symbol[0]["st_value"]) + 3] &= 0x7F


def symbol_named_like_a_veneer(elf, data):
    symbol = elf.get_section_by_name(".symtab").get_symbol_by_name("ComenrolEntry")[0]
    strtab = elf.get_section_by_name(".strtab")
    start = strtab["sh_offset"] + symbol["st_name"]
    data[start:start + len("ComenrolEntry")] = b"x_from_thumb\0"


def function_word(elf, name, index):
    """The file offset of instruction `index` of the function `name`."""
    (symbol,) = elf.get_section_by_name(".symtab").get_symbol_by_name(name)
    return file_offset(elf, symbol["st_value"] + 4 * index)


def patch(data, where, word):
    struct.pack_into("<I", data, where, word)


def thumb_function(elf, data):
    symtab = elf.get_section_by_name(".symtab")
    for index, symbol in enumerate(symtab.iter_symbols()):
        if symbol.name == "ComenrolEntry":  # st_value is the second word of the entry
            patch(data, symtab["sh_offset"] + 16 * index + 4, symbol["st_value"] | 1)


def long_prolog(elf, data):
    # Its first instructions only fill the services record; an sp move as
    # the 12th makes that part of the prolog.
    patch(data, function_word(elf, "ComenrolEntry", 11), SUB_SP_SP_0)


def prolog_pushing_pc(elf, data):
    where = function_word(elf, "comenrol_start", 1)
    patch(data, where, struct.unpack_from("<I", data, where)[0] | 1 << 15)


def frame_pointer_off_the_saved_registers(elf, data):
    where = function_word(elf, "comenrol_start", 2)  # add r11, sp, #20
    patch(data, where, struct.unpack_from("<I", data, where)[0] - 4)


def sp_moved_in_the_body(elf, data):
    # Just after ComenrolEntry's call of the run, before its epilog.
    index = 0
    while struct.unpack_from("<I", data, function_word(elf, "ComenrolEntry", index))[0] \
            & 0x0F000000 != 0x0B000000:
        index += 1
    patch(data, function_word(elf, "ComenrolEntry", index + 1), SUB_SP_SP_0 | 8)


def unexpected_section(elf, data):
    shstrtab = elf.get_section(elf["e_shstrndx"])
    text = elf.get_section_by_name(".data")
    start = shstrtab["sh_offset"] + text["sh_name"]
    data[start:start + 5] = b".glue"


class Converter(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.TemporaryDirectory()
        self.addCleanup(self.directory.cleanup)

    def path(self, name):
        return os.path.join(self.directory.name, name)

    def test_output_is_byte_reproducible(self):
        first, second = self.path("a.exe"), self.path("b.exe")
        for output in (first, second):
            self.assertEqual(convert(ELF, output, epoch=1700000000).returncode, 0)
        with open(first, "rb") as a, open(second, "rb") as b:
            self.assertEqual(a.read(), b.read())
        self.assertEqual(pefile.PE(first).FILE_HEADER.TimeDateStamp, 1700000000)

    def test_build_output_is_a_fresh_conversion(self):
        # The build's image is what the converter gives for its inputs and the
        # time stamp the build ran with (SOURCE_DATE_EPOCH, 0 when unset).
        stamp = pefile.PE(IMAGE).FILE_HEADER.TimeDateStamp
        output = self.path("c.exe")
        self.assertEqual(convert(ELF, output, epoch=stamp if stamp else None).returncode, 0)
        with open(output, "rb") as converted, open(IMAGE, "rb") as built:
            self.assertEqual(converted.read(), built.read())

    def test_refusals(self):
        cases = [
            (unknown_relocation_type, "relocation type 5"),
            (bx_left_behind_a_v4bx_marker, "bx left"),
            (slot_not_an_ordinal, "not an ordinal import"),
            (symbol_named_like_a_veneer, "linker veneer"),
            (unexpected_section, "unexpected section '.glue'"),
            (thumb_function, "'ComenrolEntry' is Thumb code"),
            (long_prolog, "'ComenrolEntry': prolog of 12 instructions, more than 10"),
            (prolog_pushing_pc, "'comenrol_start': prolog pushes pc"),
            (frame_pointer_off_the_saved_registers,
             "'comenrol_start': prolog instruction 0xE28DB010 cannot be described"),
            (sp_moved_in_the_body, "'ComenrolEntry' moves sp at"),
        ]
        with open(ELF, "rb") as stream:
            original = stream.read()
        for alter, message in cases:
            with self.subTest(alter.__name__):
                data = bytearray(original)
                with open(ELF, "rb") as stream:
                    alter(ELFFile(stream), data)
                altered = self.path(alter.__name__ + ".elf")
                with open(altered, "wb") as stream:
                    stream.write(data)
                output = self.path(alter.__name__ + ".exe")
                result = convert(altered, output)
                self.assertNotEqual(result.returncode, 0)
                self.assertIn(message, result.stderr)
                self.assertFalse(os.path.exists(output))


if __name__ == "__main__":
    unittest.main()
