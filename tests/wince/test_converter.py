"""The ELF to PE converter: reproducible output, and hard errors instead of
silent misses, shown on altered copies of the linked comenrol ELF and of the
image's layout."""

import os
import resource
import signal
import struct
import subprocess
import sys
import tempfile
import unittest

import pefile
from elftools.elf.elffile import ELFFile

from ce_harness import built

IMAGE, ELF, RES = (built(f"COMENROL_WINCE_{name}") for name in ("EXE", "ELF", "RES"))
HERE = os.path.dirname(os.path.abspath(__file__))
CONVERTER = os.environ.get("COMENROL_ELF2PE", os.path.join(HERE, "..", "..", "tools", "elf2pe"))
sys.path.insert(0, os.path.dirname(os.path.abspath(CONVERTER)))
from elf2pe.layout import Directory  # noqa: E402

# Runs the converter with the image's layout altered between laying it out and
# checking the loader's rules, which no ELF the link makes can break.
ALTERED_LAYOUT_RUN = """
import sys
import test_converter  # puts the converter's package on the path
import elf2pe.pipeline as pipeline
alter, lay_out = getattr(test_converter, sys.argv.pop(1)), pipeline.lay_out
def altered(*arguments):
    layout = lay_out(*arguments)
    alter(layout)
    return layout
pipeline.lay_out = altered
pipeline.main()
"""

R_ARM_ABS32 = 2
R_ARM_ABS16 = 5
R_ARM_V4BX = 40
R_ARM_TARGET1 = 38
BX_LR = 0xE12FFF1E
SUB_SP_SP_0 = 0xE24DD000


def convert(elf_path, output, epoch=None, alter_layout=None, **options):
    environment = {k: v for k, v in os.environ.items() if k != "SOURCE_DATE_EPOCH"}
    if epoch is not None:
        environment["SOURCE_DATE_EPOCH"] = str(epoch)
    command = [sys.executable, CONVERTER]
    if alter_layout is not None:
        command = [sys.executable, "-c", ALTERED_LAYOUT_RUN, alter_layout.__name__]
    return subprocess.run(command + ["--resources", RES, elf_path, output], cwd=HERE,
                          env=environment, capture_output=True, text=True, check=False,
                          **options)


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


def symbol_moved(name, change):
    """An alteration that gives the symbol `name` the value change(value)."""
    def alter(elf, data):
        symtab = elf.get_section_by_name(".symtab")
        for index, symbol in enumerate(symtab.iter_symbols()):
            if symbol.name == name:  # st_value is the second word of the entry
                patch(data, symtab["sh_offset"] + 16 * index + 4, change(symbol["st_value"]))
    return alter


def instruction_changed(name, index, change):
    """An alteration that makes instruction `index` of function `name` change(word)."""
    def alter(elf, data):
        where = function_word(elf, name, index)
        patch(data, where, change(struct.unpack_from("<I", data, where)[0]))
    return alter


thumb_function = symbol_moved("ComenrolEntry", lambda value: value | 1)
image_base_off_64k = symbol_moved("__comenrol_image_base", lambda value: value + 0x1000)
# Its first instructions only fill the services record; an sp move as the
# 12th makes that part of the prolog.
long_prolog = instruction_changed("ComenrolEntry", 11, lambda _: SUB_SP_SP_0)
prolog_pushing_pc = instruction_changed("comenrol_start", 1, lambda word: word | 1 << 15)
frame_pointer_off_the_saved_registers = instruction_changed(  # add r11, sp, #20
    "comenrol_start", 2, lambda word: word - 4)


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


def on_layout(alter):
    alter.on_layout = True
    return alter


@on_layout
def fifteen_data_directories(layout):
    layout.optional_header.number_of_rva_and_sizes = 15
    del layout.directories[15:]


@on_layout
def section_off_its_page(layout):
    layout.section_headers[1].virtual_address += 4


@on_layout
def section_beyond_the_image(layout):
    layout.optional_header.size_of_image -= 0x1000


@on_layout
def relocations_inside_a_section(layout):
    directory = layout.directories[Directory.BASERELOC]
    layout.directories[Directory.BASERELOC] = directory._replace(rva=directory.rva + 8)


@on_layout
def exception_directory_cut_mid_entry(layout):
    directory = layout.directories[Directory.EXCEPTION]
    layout.directories[Directory.EXCEPTION] = directory._replace(size=directory.size - 4)


def exception_entries(layout):
    """The bytes that hold the laid-out exception entries, and where they start."""
    section, offset = layout.holding(*layout.directories[Directory.EXCEPTION])
    return section.data, offset


@on_layout
def prolog_length_255(layout):
    data, offset = exception_entries(layout)
    data[offset + 8 + 4] = 0xFF


@on_layout
def exception_entries_out_of_order(layout):
    data, offset = exception_entries(layout)
    data[offset:offset + 16] = data[offset + 8:offset + 16] + data[offset:offset + 8]


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

    def test_every_absolute_word_of_the_link_is_fixed_up(self):
        # The link's own record of the words that hold an address (ABS32 and
        # TARGET1), read here from the ELF, and the first word of each
        # exception entry, which the converter writes: the built image fixes
        # up exactly those, and none in the import slots.
        pe = pefile.PE(IMAGE)
        base = pe.OPTIONAL_HEADER.ImageBase
        with open(ELF, "rb") as stream:
            elf = ELFFile(stream)
            symbols = elf.get_section_by_name(".symtab")
            slots = {symbol["st_value"] for symbol in symbols.iter_symbols()
                     if symbol.name.startswith("comenrol_import_")}
            absolute = {relocation["r_offset"] - base
                        for section in elf.iter_sections() if section.name.startswith(".rel.")
                        and elf.get_section(section["sh_info"])["sh_flags"] & 2  # allocated
                        for relocation in section.iter_relocations()
                        if relocation["r_info_type"] in (R_ARM_ABS32, R_ARM_TARGET1)}
        fixed = [entry for block in pe.DIRECTORY_ENTRY_BASERELOC for entry in block.entries
                 if entry.type]
        self.assertEqual({entry.type for entry in fixed}, {3})
        exceptions = pe.OPTIONAL_HEADER.DATA_DIRECTORY[3]
        begins = range(exceptions.VirtualAddress, exceptions.VirtualAddress + exceptions.Size, 8)
        self.assertGreater(len(begins), 1)
        self.assertEqual(sorted(entry.rva for entry in fixed), sorted(absolute | set(begins)))
        self.assertFalse({rva + base for rva in absolute} & slots)

    def test_a_page_with_an_odd_count_of_fixups_is_padded(self):
        # A base relocation block is a whole number of 32-bit words: an odd
        # count of entries in a page takes one ABSOLUTE (type 0) entry more.
        sys.path.insert(0, os.path.dirname(os.path.abspath(CONVERTER)))
        from elf2pe.relocations import build_base_relocations
        table = build_base_relocations([0x1008, 0x1010, 0x1FFC, 0x2004, 0x2008])
        blocks = []
        while table:
            page, size = struct.unpack_from("<II", table)
            self.assertEqual(size % 4, 0)
            blocks.append((page, list(struct.unpack_from("<%dH" % ((size - 8) // 2), table, 8))))
            table = table[size:]
        self.assertEqual(blocks, [(0x1000, [0x3008, 0x3010, 0x3FFC, 0]),
                                  (0x2000, [0x3004, 0x3008])])

    def test_refusals(self):
        cases = [
            (unknown_relocation_type, "relocation type 5"),
            (bx_left_behind_a_v4bx_marker, "bx left"),
            (slot_not_an_ordinal, "not an ordinal import"),
            (symbol_named_like_a_veneer, "linker veneer"),
            (unexpected_section, "unexpected section '.glue'"),
            (image_base_off_64k, "__comenrol_image_base is undefined or not on a 64 KiB"),
            (thumb_function, "'ComenrolEntry' is Thumb code"),
            (long_prolog, "'ComenrolEntry': prolog of 12 instructions, more than 10"),
            (prolog_pushing_pc, "'comenrol_start': prolog pushes pc"),
            (frame_pointer_off_the_saved_registers,
             "'comenrol_start': prolog instruction 0xE28DB010 cannot be described"),
            (sp_moved_in_the_body, "'ComenrolEntry' moves sp at"),
            # The loader's rules, on the image as laid out.
            (fifteen_data_directories, "15 data directories: the loaders read all 16"),
            (section_off_its_page, "section '.data' at RVA 0x2004 is not on a page boundary"),
            (section_beyond_the_image, "section '.reloc' at RVA 0x4000 lies beyond SizeOfImage"),
            (relocations_inside_a_section, "no section begins at the base relocations"),
            (exception_directory_cut_mid_entry, "exception directory is not whole entries"),
            (prolog_length_255, "has prolog length 255, which CE 7 reserves"),
            (exception_entries_out_of_order, "exception entries not sorted by start"),
        ]
        with open(ELF, "rb") as stream:
            original = stream.read()
        for number, (alter, message) in enumerate(cases):
            with self.subTest(message):
                output = self.path(f"{number}.exe")
                with open(output, "wb") as stream:
                    stream.write(b"an image from an earlier run")
                if hasattr(alter, "on_layout"):
                    result = convert(ELF, output, alter_layout=alter)
                else:
                    data = bytearray(original)
                    with open(ELF, "rb") as stream:
                        alter(ELFFile(stream), data)
                    altered = self.path(f"{number}.elf")
                    with open(altered, "wb") as stream:
                        stream.write(data)
                    result = convert(altered, output)
                self.assertNotEqual(result.returncode, 0)
                (reason,) = result.stderr.splitlines()
                self.assertIn(message, reason)
                self.assertFalse(os.path.exists(output))

    def test_a_failed_write_leaves_no_file(self):
        # A file size limit cuts the write short, as a full disk would.
        def limit():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (1024, 1024))

        result = convert(ELF, self.path("cut.exe"), preexec_fn=limit)
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("File too large", result.stderr)
        self.assertEqual(os.listdir(self.directory.name), [])


if __name__ == "__main__":
    unittest.main()
