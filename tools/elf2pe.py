#!/usr/bin/python3
"""Converts the linked comenrol ELF into a Windows CE ARM PE executable.

The linker script has already placed every section at its final address
(image base 0x10000 plus its RVA, on 4 KiB boundaries), so sections are copied
as they are, never moved. The converter adds what ELF does not carry:

- the import directory for COREDLL.dll, built from the import slots that end
  the last linked section (each slot holds 0x80000000 | ordinal);
- base relocations (.reloc, HIGHLOW) from the R_ARM_ABS32/R_ARM_TARGET1
  relocations that the link kept (-q);
- the resource section, from a compiled .res file;
- the PE headers: PE32, ARM (0x01C0), Windows CE GUI subsystem 4.20, and the
  checksum.

It refuses, with an error and no output, anything it cannot carry over
faithfully: a relocation type it does not know, a bx the link did not route
through an interworking veneer, a veneer of another kind or Thumb code, a
section it does not expect, an import slot that is not an ordinal. The
output depends only on the inputs and SOURCE_DATE_EPOCH (0 when unset).
"""

import argparse
import os
import re
import struct
import sys

from elftools.elf.elffile import ELFFile
from elftools.elf.relocation import RelocationSection

IMAGE_BASE = 0x10000
SECTION_ALIGNMENT = 0x1000
FILE_ALIGNMENT = 0x200
HEADERS_SIZE = 0x200
MACHINE_ARM = 0x01C0
SUBSYSTEM_WINDOWS_CE_GUI = 9
SUBSYSTEM_VERSION = (4, 20)
IMPORT_DLL = b"COREDLL.dll"
ORDINAL_FLAG = 0x80000000

# ELF relocation types (ARM ELF ABI).
R_ARM_ABS32 = 2
R_ARM_TARGET1 = 38
R_ARM_V4BX = 40
# Relative to the place: the distance does not change when the image moves.
PC_RELATIVE_TYPES = {
    1: "R_ARM_PC24",
    3: "R_ARM_REL32",
    28: "R_ARM_CALL",
    29: "R_ARM_JUMP24",
    42: "R_ARM_PREL31",
}

IMAGE_REL_BASED_ABSOLUTE = 0
IMAGE_REL_BASED_HIGHLOW = 3

SECTION_CODE = 0x60000020  # code, execute, read
SECTION_DATA = 0xC0000040  # initialised data, read, write
SECTION_RODATA = 0x40000040  # initialised data, read
SECTION_RELOC = 0x42000040  # initialised data, discardable, read

# The linked sections the image may hold; anything else allocated (glue,
# unwinding tables) is refused.
EXPECTED_SECTIONS = (".text", ".data")
# Veneers other than the bx veneers below: long-branch or ARM/Thumb glue.
VENEER_SYMBOL = re.compile(r"_veneer$|_from_arm$|_from_thumb$|_change_to_arm$")
# The veneer --fix-v4bx-interworking makes for "bx rN": ARM targets (bit 0
# clear) are entered with mov pc, so an ARMv4 core never reaches the bx.
BX_VENEER_SYMBOL = re.compile(r"^__bx_r(\d+)$")
IAT_START = "__comenrol_iat_start"
IAT_END = "__comenrol_iat_end"


class ConversionError(Exception):
    pass


def align(value, alignment):
    return (value + alignment - 1) // alignment * alignment


class Section:
    def __init__(self, name, rva, data, characteristics, virtual_size=None):
        self.name = name
        self.rva = rva
        self.data = bytearray(data)
        self.characteristics = characteristics
        self.virtual_size = virtual_size

    @property
    def size(self):
        return self.virtual_size if self.virtual_size is not None else len(self.data)


def read_elf(path):
    """Returns (sections, symbol addresses by name, relocations, entry address,
    indices of the allocated sections)."""
    with open(path, "rb") as stream:
        elf = ELFFile(stream)
        if elf.elfclass != 32 or not elf.little_endian or elf["e_machine"] != "EM_ARM":
            raise ConversionError("not a 32-bit little-endian ARM ELF file")
        if elf["e_type"] != "ET_EXEC":
            raise ConversionError("not a linked executable")

        symtab = elf.get_section_by_name(".symtab")
        if symtab is None:
            raise ConversionError("no symbol table")
        symbols = {}
        for symbol in symtab.iter_symbols():
            name = symbol.name
            if VENEER_SYMBOL.search(name):
                raise ConversionError(f"linker veneer {name!r} in the image")
            if symbol["st_info"]["type"] == "STT_FUNC" and symbol["st_value"] & 1:
                raise ConversionError(f"Thumb function {name!r}: the image is ARM code only")
            if name.startswith("$t"):
                raise ConversionError("Thumb code in the image")
            if name:
                symbols[name] = symbol["st_value"]

        alloc_index = {}
        sections = []
        for index, section in enumerate(elf.iter_sections()):
            if not section["sh_flags"] & 0x2:  # SHF_ALLOC
                continue
            if section["sh_size"] == 0:
                continue
            name = section.name
            if name not in EXPECTED_SECTIONS:
                raise ConversionError(f"unexpected section {name!r} (veneer or glue?)")
            if section["sh_type"] != "SHT_PROGBITS":
                raise ConversionError(f"section {name!r} is not PROGBITS")
            address = section["sh_addr"]
            if address < IMAGE_BASE + SECTION_ALIGNMENT or address % SECTION_ALIGNMENT:
                raise ConversionError(f"section {name!r} at 0x{address:X} is not on a page "
                                      "boundary above the headers")
            if section["sh_flags"] & 0x4:  # SHF_EXECINSTR
                characteristics = SECTION_CODE
            elif section["sh_flags"] & 0x1:  # SHF_WRITE
                characteristics = SECTION_DATA
            else:
                characteristics = SECTION_RODATA
            alloc_index[index] = len(sections)
            sections.append(Section(name, address - IMAGE_BASE, section.data(), characteristics))
        sections.sort(key=lambda s: s.rva)
        for before, after in zip(sections, sections[1:]):
            if before.rva + before.size > after.rva:
                raise ConversionError(f"sections {before.name!r} and {after.name!r} overlap")

        relocations = []
        for section in elf.iter_sections():
            if not isinstance(section, RelocationSection):
                continue
            target = elf.get_section(section["sh_info"])
            if not target["sh_flags"] & 0x2:
                continue  # a non-allocated target (debug data) is not in the image
            if section.is_RELA():
                raise ConversionError(f"{section.name}: RELA relocations are not expected on ARM")
            relocation_symbols = elf.get_section(section["sh_link"])
            for relocation in section.iter_relocations():
                kind = relocation["r_info_type"]
                symbol = relocation_symbols.get_symbol(relocation["r_info_sym"])
                relocations.append((relocation["r_offset"], kind, symbol.name,
                                    symbol["st_shndx"], target.name))
        entry = elf["e_entry"]
        allocated = {index for index in alloc_index}
    return sections, symbols, relocations, entry, allocated


def section_at(sections, rva, length=1):
    for section in sections:
        if section.rva <= rva and rva + length <= section.rva + len(section.data):
            return section
    return None


def collect_base_relocations(sections, relocations, allocated, iat_range):
    """Returns the sorted RVAs that need a HIGHLOW fixup; refuses anything unknown."""
    fixups = set()
    for address, kind, symbol_name, symbol_section, target in relocations:
        rva = address - IMAGE_BASE
        where = f"{target}+0x{address:X} ({symbol_name or 'section'})"
        defined_in_image = isinstance(symbol_section, int) and symbol_section in allocated
        if kind in (R_ARM_ABS32, R_ARM_TARGET1):
            if not defined_in_image:
                raise ConversionError(f"absolute relocation at {where} to a symbol outside "
                                      "the image")
            if section_at(sections, rva, 4) is None:
                raise ConversionError(f"absolute relocation at {where} outside the sections")
            if iat_range[0] <= rva < iat_range[1]:
                raise ConversionError(f"relocation at {where} inside the import slots")
            if rva % 4:
                raise ConversionError(f"unaligned absolute relocation at {where}")
            fixups.add(rva)
        elif kind in PC_RELATIVE_TYPES:
            if not defined_in_image:
                raise ConversionError(f"{PC_RELATIVE_TYPES[kind]} at {where} to a symbol "
                                      "outside the image")
        elif kind == R_ARM_V4BX:
            # A marker on a "bx" the linker rewrote for ARMv4; no address in it.
            # Make sure the rewrite really happened.
            section = section_at(sections, rva, 4)
            if section is None:
                raise ConversionError(f"R_ARM_V4BX at {where} outside the sections")
            offset = rva - section.rva
            (word,) = struct.unpack_from("<I", section.data, offset)
            if word & 0x0FFFFFF0 == 0x012FFF10:
                raise ConversionError(f"bx left at {where}: link with "
                                      "--fix-v4bx-interworking")
        else:
            raise ConversionError(f"relocation type {kind} at {where} is not supported")
    return sorted(fixups)


def check_bx_veneers(sections, symbols):
    """Each bx veneer must be exactly tst rN, #1; moveq pc, rN; bx rN."""
    for name, address in sorted(symbols.items()):
        match = BX_VENEER_SYMBOL.match(name)
        if not match:
            continue
        register = int(match.group(1))
        expected = (0xE3100001 | register << 16, 0x01A0F000 | register, 0xE12FFF10 | register)
        rva = address - IMAGE_BASE
        section = section_at(sections, rva, 12)
        if section is None or struct.unpack_from("<3I", section.data, rva - section.rva) != expected:
            raise ConversionError(f"veneer {name!r} is not tst/moveq pc/bx on r{register}")


def import_slots(sections, symbols):
    """Finds the import slots and returns (section, start rva, [ordinals])."""
    if IAT_START not in symbols or IAT_END not in symbols:
        raise ConversionError(f"no import slots ({IAT_START}/{IAT_END} undefined)")
    start = symbols[IAT_START] - IMAGE_BASE
    end = symbols[IAT_END] - IMAGE_BASE
    section = section_at(sections, start, max(end - start, 1))
    if section is None or section is not sections[-1]:
        raise ConversionError("the import slots are not in the last section")
    if end != section.rva + len(section.data):
        raise ConversionError("the import slots do not end the last section")
    words = struct.unpack_from(f"<{(end - start) // 4}I", section.data, start - section.rva)
    if (end - start) % 4 or start % 4 or not words or words[-1] != 0:
        raise ConversionError("the import slots are not a zero-terminated table of words")
    ordinals = []
    for index, word in enumerate(words[:-1]):
        if not word & ORDINAL_FLAG or word & 0x7FFF0000 or not word & 0xFFFF:
            raise ConversionError(f"import slot {index} (0x{word:08X}) is not an ordinal import")
        ordinals.append(word & 0xFFFF)
    if len(set(ordinals)) != len(ordinals):
        raise ConversionError("an ordinal is imported twice")
    return section, start, ordinals


def append_import_directory(section, iat_rva, ordinals):
    """Appends the descriptor, lookup table and DLL name; returns (descriptor rva, iat size)."""
    data = section.data
    data.extend(b"\0" * (align(len(data), 4) - len(data)))
    descriptor_rva = section.rva + len(data)
    lookup_rva = descriptor_rva + 2 * 20
    name_rva = lookup_rva + 4 * (len(ordinals) + 1)
    data += struct.pack("<5I", lookup_rva, 0, 0, name_rva, iat_rva)
    data += b"\0" * 20  # end of the descriptors
    for ordinal in ordinals:
        data += struct.pack("<I", ORDINAL_FLAG | ordinal)
    data += struct.pack("<I", 0)
    data += IMPORT_DLL + b"\0"
    data.extend(b"\0" * (align(len(data), 4) - len(data)))
    return descriptor_rva, 4 * (len(ordinals) + 1)


def build_base_relocations(rvas):
    """The .reloc contents: one block per 4 KiB page, HIGHLOW entries."""
    pages = {}
    for rva in rvas:
        pages.setdefault(rva & ~0xFFF, []).append(rva & 0xFFF)
    out = bytearray()
    for page in sorted(pages):
        entries = [(IMAGE_REL_BASED_HIGHLOW << 12) | offset for offset in pages[page]]
        if len(entries) % 2:
            entries.append(IMAGE_REL_BASED_ABSOLUTE << 12)  # pad the block to 4 bytes
        out += struct.pack("<II", page, 8 + 2 * len(entries))
        out += struct.pack(f"<{len(entries)}H", *entries)
    return bytes(out)


def read_res(path):
    """Reads a .res file into [(type, name, language, data)]; type/name are int or str."""
    with open(path, "rb") as stream:
        raw = stream.read()

    def read_id(offset):
        (first,) = struct.unpack_from("<H", raw, offset)
        if first == 0xFFFF:
            (number,) = struct.unpack_from("<H", raw, offset + 2)
            return number, offset + 4
        end = offset
        while struct.unpack_from("<H", raw, end)[0] != 0:
            end += 2
        return raw[offset:end].decode("utf-16-le"), end + 2

    resources = []
    offset = 0
    while offset < len(raw):
        if offset + 8 > len(raw):
            raise ConversionError(f"{path}: truncated resource header")
        data_size, header_size = struct.unpack_from("<II", raw, offset)
        kind, cursor = read_id(offset + 8)
        name, cursor = read_id(cursor)
        cursor = align(cursor, 4)
        _, _, language, _, _ = struct.unpack_from("<IHHII", raw, cursor)
        data_start = offset + header_size
        if data_start + data_size > len(raw):
            raise ConversionError(f"{path}: truncated resource data")
        if not (data_size == 0 and kind == 0 and name == 0):  # the leading empty entry
            resources.append((kind, name, language, raw[data_start:data_start + data_size]))
        offset = align(data_start + data_size, 4)
    return resources


def build_resource_section(resources, rva, timestamp):
    """The .rsrc contents: the type/name/language tree, data entries, strings, data."""
    tree = {}
    for kind, name, language, data in resources:
        languages = tree.setdefault(kind, {}).setdefault(name, {})
        if language in languages:
            raise ConversionError(f"resource {kind}/{name}/{language} given twice")
        languages[language] = data

    def ordered(keys):
        # Named entries first, in order of their names, then numbered ones.
        named = sorted((k for k in keys if isinstance(k, str)), key=lambda k: k.upper())
        numbered = sorted(k for k in keys if isinstance(k, int))
        return named + numbered

    # First pass: lay out directories, data entries, strings and data.
    directories = []  # (key path, ordered child keys)

    def walk(path, node):
        keys = ordered(node.keys())
        directories.append((path, keys))
        if len(path) < 2:
            for key in keys:
                walk(path + (key,), node[key])

    walk((), tree)
    directory_offset = {}
    offset = 0
    for path, keys in directories:
        directory_offset[path] = offset
        offset += 16 + 8 * len(keys)
    leaves = [(kind, name, language)
              for kind in ordered(tree) for name in ordered(tree[kind])
              for language in ordered(tree[kind][name])]
    entry_offset = {}
    for leaf in leaves:
        entry_offset[leaf] = offset
        offset += 16
    string_offset = {}
    for path, keys in directories:
        for key in keys:
            if isinstance(key, str) and key not in string_offset:
                string_offset[key] = offset
                offset += 2 + 2 * len(key)
    data_offset = {}
    for leaf in leaves:
        offset = align(offset, 8)
        data_offset[leaf] = offset
        kind, name, language = leaf
        offset += len(tree[kind][name][language])

    out = bytearray(offset)
    for path, keys in directories:
        named = sum(isinstance(k, str) for k in keys)
        base = directory_offset[path]
        struct.pack_into("<IIHHHH", out, base, 0, timestamp, 0, 0, named, len(keys) - named)
        for index, key in enumerate(keys):
            name_field = (0x80000000 | string_offset[key]) if isinstance(key, str) else key
            child = path + (key,)
            if len(child) < 3:
                target = 0x80000000 | directory_offset[child]
            else:
                target = entry_offset[child]
            struct.pack_into("<II", out, base + 16 + 8 * index, name_field, target)
    for leaf in leaves:
        kind, name, language = leaf
        data = tree[kind][name][language]
        struct.pack_into("<IIII", out, entry_offset[leaf], rva + data_offset[leaf], len(data),
                         0, 0)
        out[data_offset[leaf]:data_offset[leaf] + len(data)] = data
    for key, where in string_offset.items():
        encoded = key.encode("utf-16-le")
        struct.pack_into("<H", out, where, len(key))
        out[where + 2:where + 2 + len(encoded)] = encoded
    return bytes(out)


def checksum(image, checksum_offset):
    total = 0
    for offset in range(0, len(image), 2):
        if checksum_offset <= offset < checksum_offset + 4:
            continue
        word = image[offset] | ((image[offset + 1] << 8) if offset + 1 < len(image) else 0)
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return (total + len(image)) & 0xFFFFFFFF


def write_pe(sections, entry_rva, directories, timestamp):
    """Lays out headers and sections; returns the image bytes."""
    pe_offset = 0x40
    optional_size = 0xE0
    section_table = pe_offset + 4 + 20 + optional_size
    if section_table + 40 * len(sections) > HEADERS_SIZE:
        raise ConversionError("too many sections for the headers")

    file_offset = HEADERS_SIZE
    raw = []
    for section in sections:
        raw_size = align(len(section.data), FILE_ALIGNMENT)
        raw.append((file_offset, raw_size))
        file_offset += raw_size
    image = bytearray(file_offset)

    dos = bytearray(0x40)
    struct.pack_into("<2sHHHHH", dos, 0, b"MZ", 0x90, 3, 0, 4, 0)
    struct.pack_into("<I", dos, 0x3C, pe_offset)
    image[0:0x40] = dos

    code = [s for s in sections if s.characteristics == SECTION_CODE]
    other = [s for s in sections if s.characteristics != SECTION_CODE]
    size_of_code = sum(align(len(s.data), FILE_ALIGNMENT) for s in code)
    size_of_data = sum(align(len(s.data), FILE_ALIGNMENT) for s in other)
    size_of_image = align(sections[-1].rva + sections[-1].size, SECTION_ALIGNMENT)
    characteristics = 0x0002 | 0x0004 | 0x0008 | 0x0100  # executable, stripped, 32-bit
    if 5 not in directories:
        characteristics |= 0x0001  # relocations stripped

    struct.pack_into("<4sHHIIIHH", image, pe_offset, b"PE\0\0", MACHINE_ARM, len(sections),
                     timestamp, 0, 0, optional_size, characteristics)
    optional = pe_offset + 24
    struct.pack_into(
        "<HBBIIIIIIIIIHHHHHHIIIIHHIIIIII", image, optional,
        0x10B, 2, 38, size_of_code, size_of_data, 0, entry_rva,
        code[0].rva if code else 0, other[0].rva if other else 0,
        IMAGE_BASE, SECTION_ALIGNMENT, FILE_ALIGNMENT,
        SUBSYSTEM_VERSION[0], SUBSYSTEM_VERSION[1], 0, 0,
        SUBSYSTEM_VERSION[0], SUBSYSTEM_VERSION[1], 0,
        size_of_image, HEADERS_SIZE, 0, SUBSYSTEM_WINDOWS_CE_GUI, 0,
        0x10000, 0x1000, 0x100000, 0x1000, 0, 16)
    directory_table = optional + 96
    for index, (rva, size) in directories.items():
        struct.pack_into("<II", image, directory_table + 8 * index, rva, size)

    for index, section in enumerate(sections):
        offset, raw_size = raw[index]
        struct.pack_into("<8sIIIIIIHHI", image, section_table + 40 * index,
                         section.name.encode("ascii")[:8], section.size, section.rva, raw_size,
                         offset, 0, 0, 0, 0, section.characteristics)
        image[offset:offset + len(section.data)] = section.data

    checksum_offset = optional + 64
    struct.pack_into("<I", image, checksum_offset, checksum(image, checksum_offset))
    return bytes(image)


def convert(elf_path, res_path, timestamp):
    sections, symbols, relocations, entry, allocated = read_elf(elf_path)
    if not sections:
        raise ConversionError("no sections to convert")
    entry_rva = entry - IMAGE_BASE
    entry_section = section_at(sections, entry_rva, 4)
    if entry_section is None or entry_section.characteristics != SECTION_CODE or entry_rva % 4:
        raise ConversionError(f"entry point 0x{entry:X} is not ARM code in the image")

    check_bx_veneers(sections, symbols)
    iat_section, iat_rva, ordinals = import_slots(sections, symbols)
    fixups = collect_base_relocations(sections, relocations, allocated,
                                      (iat_rva, iat_rva + 4 * (len(ordinals) + 1)))
    descriptor_rva, iat_size = append_import_directory(iat_section, iat_rva, ordinals)
    directories = {1: (descriptor_rva, 40), 12: (iat_rva, iat_size)}

    def next_rva():
        last = sections[-1]
        return align(last.rva + last.size, SECTION_ALIGNMENT)

    if res_path is not None:
        resources = read_res(res_path)
        if resources:
            rva = next_rva()
            data = build_resource_section(resources, rva, timestamp)
            sections.append(Section(".rsrc", rva, data, SECTION_RODATA))
            directories[2] = (rva, len(data))
    if fixups:
        rva = next_rva()
        data = build_base_relocations(fixups)
        sections.append(Section(".reloc", rva, data, SECTION_RELOC))
        directories[5] = (rva, len(data))
    return write_pe(sections, entry_rva, directories, timestamp)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--resources", help="compiled resources (.res) to carry")
    parser.add_argument("elf")
    parser.add_argument("output")
    arguments = parser.parse_args()
    timestamp = int(os.environ.get("SOURCE_DATE_EPOCH", "0")) & 0xFFFFFFFF
    try:
        image = convert(arguments.elf, arguments.resources, timestamp)
    except ConversionError as error:
        try:
            os.remove(arguments.output)
        except FileNotFoundError:
            pass
        sys.exit(f"elf2pe: {arguments.elf}: {error}")
    with open(arguments.output, "wb") as output:
        output.write(image)


if __name__ == "__main__":
    main()
