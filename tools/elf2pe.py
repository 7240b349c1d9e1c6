#!/usr/bin/python3
"""Converts the linked comenrol ELF into a Windows CE ARM PE executable.

The linker script has already placed every section at its final address
(image base 0x10000 plus its RVA, on 4 KiB boundaries), so sections are copied
as they are, never moved. The converter adds what ELF does not carry:

- the import directory for COREDLL.dll, built from the import slots that end
  the last linked section (each slot holds 0x80000000 | ordinal);
- the exception directory (.pdata, appended to the code section): one record
  per function, its prolog length read from the code, so that CE's kernel can
  unwind every frame and find the entry's exception handler;
- base relocations (.reloc, HIGHLOW) from the R_ARM_ABS32/R_ARM_TARGET1
  relocations that the link kept (-q), and for each .pdata function start;
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
BX_VENEER_SIZE = 12
# ARM ELF mapping symbols: $a starts ARM code, $d data, $t Thumb code.
MAPPING_SYMBOL = re.compile(r"^\$([adt])(\.|$)")
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
    indices of the allocated sections, function symbols as (address, size,
    name), ARM mapping symbols as (address, "a"/"d"/"t"))."""
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
        functions = []
        mapping = []
        for symbol in symtab.iter_symbols():
            name = symbol.name
            if VENEER_SYMBOL.search(name):
                raise ConversionError(f"linker veneer {name!r} in the image")
            if MAPPING_SYMBOL.match(name):
                mapping.append((symbol["st_value"], name[1]))
            elif symbol["st_info"]["type"] == "STT_FUNC":
                functions.append((symbol["st_value"], symbol["st_size"], name))
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
    return (sections, symbols, relocations, entry, allocated, sorted(set(functions)),
            sorted(mapping))


def section_at(sections, rva, length=1):
    for section in sections:
        if section.rva <= rva and rva + length <= section.rva + len(section.data):
            return section
    return None


def collect_base_relocations(sections, relocations, allocated, iat_range):
    """Returns the set of RVAs that need a HIGHLOW fixup; refuses anything unknown."""
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
    return fixups


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
        words = section and struct.unpack_from("<3I", section.data, rva - section.rva)
        if words != expected:
            raise ConversionError(f"veneer {name!r} is not tst/moveq pc/bx on r{register}")


# Exception data (.pdata) ------------------------------------------------------
#
# The CE kernel finds the function that holds a pc through the exception
# directory: 8-byte records sorted by start, word 0 the start VA, word 1 the
# prolog length (bits 0-7) and the function length (bits 8-29) in instructions,
# bit 30 for ARM code and bit 31 when the 8 bytes before the function name its
# language handler and handler data. To find the caller it reverse-executes the
# prolog instructions that ran, knowing only this vocabulary:
#   mov r12, sp                      undone as sp = r12
#   stmdb sp!, {...} / str lr, [sp, #-4]!   undone as the matching load
#   sub sp, sp, #n / ldr r12, [pc, #n]; sub sp, sp, r12   added back
#   mov/add/sub r11, ...             a frame pointer: the stm before it is read
#                                    back through r11 instead
# and passes over anything else. So each function must have a prolog written
# in it, and a function that moves sp anywhere else must either be leaving
# (an epilog) or keep a frame pointer. A function that cannot be described is
# refused rather than given a record that would unwind it wrongly.

PROLOG_LIMIT = 10
EH_DATA_PREFIX = "__eh_"  # an 8-byte object "__eh_F" just before F: F is guarded

REFUSALS = {
    "thumb": "function {name!r} is Thumb code: the image is ARM code only",
    "long": "function {name!r}: prolog of {count} instructions, more than " + str(PROLOG_LIMIT),
    "pc": "function {name!r}: prolog pushes pc at 0x{address:X} (the kernel's trap-frame mark)",
    "undescribable": "function {name!r}: prolog instruction 0x{word:08X} cannot be described "
                     "to the unwinder (at 0x{address:X})",
    "sp": "function {name!r} moves sp at 0x{address:X} outside its prolog and epilogs "
          "without a frame pointer",
}


def refuse(reason, **fields):
    raise ConversionError(REFUSALS[reason].format(**fields))


SP, FP, IP, LR, PC = 13, 11, 12, 14, 15


def rotated_immediate(word):
    value, rotation = word & 0xFF, (word >> 8 & 0xF) * 2
    return (value >> rotation | value << (32 - rotation)) & 0xFFFFFFFF


def written_registers(word):
    """The registers an ARM instruction may write (branches: pc; bl: pc, lr)."""
    kind = word >> 25 & 7
    rn, rd = word >> 16 & 15, word >> 12 & 15
    writeback = not word & 1 << 24 or word & 1 << 21
    if kind == 5:
        return {PC, LR} if word & 1 << 24 else {PC}
    if kind == 4:  # ldm/stm
        written = {rn} if word & 1 << 21 else set()
        if word & 1 << 20:
            written |= {r for r in range(16) if word & 1 << r}
        return written
    if kind in (2, 3):  # ldr/str
        return ({rn} if writeback else set()) | ({rd} if word & 1 << 20 else set())
    if kind == 0 and word & 0x90 == 0x90:
        if word & 0x60 == 0:  # multiplies, swp
            if word & 0x0FB00FF0 == 0x01000090:
                return {rd}
            return {rn, rd} if word & 1 << 23 else {rn}
        return ({rn} if writeback else set()) | ({rd} if word & 1 << 20 else set())
    if kind in (0, 1):
        opcode = word >> 21 & 15
        if 8 <= opcode <= 11 and not word & 1 << 20:  # mrs, msr, bx
            if word & 0x0FFFFFF0 == 0x012FFF10:
                return {PC}
            return {rd} if word & 0x0FBF0FFF == 0x010F0000 else set()
        return set() if 8 <= opcode <= 11 else {rd}
    return set()  # coprocessor, swi


def describe_prolog(name, start, words):
    """Returns (prolog length, whether it sets a frame pointer)."""
    offset = 0  # sp relative to its value on entry, in bytes
    r12_is_entry_sp = False
    pushes = []  # (offset after the push, registers)
    frame_pointer = None
    allocating = False
    length = 0
    for index, word in enumerate(words):
        address = start + 4 * index
        written = written_registers(word)
        unconditional = word >> 28 == 0xE
        if word & 0x0FFF0000 == 0x092D0000 and unconditional:  # stmdb sp!, {...}
            if word & 1 << PC:
                refuse("pc", name=name, address=address)
            if allocating or frame_pointer is not None:
                break
            registers = {r for r in range(16) if word & 1 << r}
            offset -= 4 * len(registers)
            pushes.append((offset, registers))
        elif word == 0xE52DE004:  # str lr, [sp, #-4]!
            if allocating or frame_pointer is not None:
                break
            offset -= 4
            pushes.append((offset, {LR}))
        elif word == 0xE1A0C00D and index == 0:  # mov r12, sp
            r12_is_entry_sp = True
        elif word & 0xFFFFF000 == 0xE24DD000:  # sub sp, sp, #n
            offset -= rotated_immediate(word)
            allocating = True
        elif word == 0xE04DD00C and index and words[index - 1] & 0xFFFFF000 == 0xE59FC000:
            allocating = True  # sub sp, sp, r12 after ldr r12, [pc, #n]
        elif FP in written and not allocating and frame_pointer is None and (
                word & 0xFFFFF000 in (0xE28DB000, 0xE24CB000, 0xE28CB000)
                or word in (0xE1A0B00C, 0xE1A0B00D)):
            # add r11, sp, #n / sub r11, r12, #n / add r11, r12, #n / mov r11, r12 / mov r11, sp
            base = offset if word & 0xF0000 == 0xD0000 or word == 0xE1A0B00D else 0
            step = rotated_immediate(word) if word & 1 << 25 else 0
            frame_pointer = base - step if word & 0x01E00000 == 0x00400000 else base + step
            if (not r12_is_entry_sp or len(pushes) != 1 or IP not in pushes[0][1]
                    or frame_pointer != pushes[0][0] + 4 * len(pushes[0][1])):
                refuse("undescribable", name=name, word=word, address=address)
        elif SP in written and not (frame_pointer is not None or releases_sp(word)):
            refuse("undescribable", name=name, word=word, address=address)
        elif written & {SP, FP, PC} or word & 0x0FFF0FFF == 0x01A0000D:
            break  # the body starts: a branch, an epilog, a frame pointer use, mov rX, sp
        elif r12_is_entry_sp and not pushes and IP in written:
            refuse("undescribable", name=name, word=word, address=address)
        else:
            continue  # passed over by the unwinder, not a prolog instruction
        length = index + 1
    if r12_is_entry_sp and not (pushes and IP in pushes[0][1]):
        refuse("undescribable", name=name, word=words[0], address=start)
    if length > PROLOG_LIMIT:
        refuse("long", name=name, count=length)
    return length, frame_pointer is not None


def releases_sp(word):
    """add sp, sp, #n; ldmia sp!, {...}; ldr rX, [sp], #n: giving stack back."""
    return (word & 0x0FFFF000 == 0x028DD000 or word & 0x0FFF0000 == 0x08BD0000
            or word & 0x0FFF0000 == 0x049D0000)


def check_sp_moves(name, start, words, code, prolog_length):
    """Outside the prolog sp may only be given back on the way out: each
    release must run, unconditionally, into the function's exit."""
    end = start + 4 * len(words)
    for index in range(prolog_length, len(words)):
        word = words[index]
        if not code[index] or SP not in written_registers(word):
            continue
        address = start + 4 * index
        if word >> 28 != 0xE or not releases_sp(word):
            refuse("sp", name=name, address=address)
        for later in range(index, len(words)):
            word = words[later]
            written = written_registers(word)
            if not code[later]:
                refuse("sp", name=name, address=address)
            if later > index and SP in written and not (word >> 28 == 0xE and releases_sp(word)):
                refuse("sp", name=name, address=address)
            if PC not in written:
                continue
            target = start + 4 * later + 8 + ((word & 0xFFFFFF ^ 0x800000) - 0x800000) * 4
            leaves = word >> 25 & 7 != 5 or not start <= target < end
            called = LR in written or (later and words[later - 1] == 0xE1A0E00F)
            if word >> 28 != 0xE or not leaves or called:
                refuse("sp", name=name, address=address)
            break
        else:
            refuse("sp", name=name, address=address)


def function_records(sections, functions, mapping, symbols):
    """Returns [(start, word 1, handler data address or None)] sorted by start,
    one per function of the image."""
    starts = {}
    for address, size, name in functions:
        if BX_VENEER_SYMBOL.match(name) and size == 0:
            size = BX_VENEER_SIZE  # checked by check_bx_veneers
        if address & 1 or any(kind == "t" and address & ~1 <= at < (address & ~1) + size
                              for at, kind in mapping):
            refuse("thumb", name=name)
        if size == 0 or size % 4 or address % 4:
            raise ConversionError(f"function {name!r} has no size or is not word aligned")
        if starts.get(address, (size, name))[0] != size:
            raise ConversionError(f"functions {starts[address][1]!r} and {name!r} overlap")
        starts[address] = (size, name)
    for at, kind in mapping:
        if kind == "t":
            raise ConversionError(f"Thumb code at 0x{at:X} in the image")
    records = []
    previous_end = 0
    for start in sorted(starts):
        size, name = starts[start]
        if start < previous_end:
            raise ConversionError(f"function {name!r} overlaps the one before it")
        previous_end = start + size
        rva = start - IMAGE_BASE
        section = section_at(sections, rva, size)
        if section is None or section.characteristics != SECTION_CODE:
            raise ConversionError(f"function {name!r} is not in a code section")
        words = struct.unpack_from(f"<{size // 4}I", section.data, rva - section.rva)
        # Data in the function (literal pools) is not decoded.
        code = []
        for index in range(len(words)):
            at = start + 4 * index
            kinds = [kind for where, kind in mapping if where <= at]
            code.append(not kinds or kinds[-1] != "d")
        prolog = 0
        while prolog < len(words) and code[prolog]:
            prolog += 1
        prolog_length, frame_pointer = describe_prolog(name, start, words[:prolog])
        if not frame_pointer:
            check_sp_moves(name, start, words, code, prolog_length)
        handler_data = symbols.get(EH_DATA_PREFIX + name)
        if handler_data is not None:
            if handler_data != start - 8:
                raise ConversionError(f"{EH_DATA_PREFIX + name} is not just before {name!r}")
            if prolog_length == 0:
                raise ConversionError(f"guarded function {name!r} has no prolog: the kernel "
                                      "would never call its handler")
        word = prolog_length | (size // 4) << 8 | 1 << 30 | (handler_data is not None) << 31
        records.append((start, word, handler_data))
    return records


def append_exception_directory(sections, records, fixups):
    """Appends the .pdata records to the code section that holds the
    functions; returns its (rva, size). The starts, the handler words and
    the handler data words are relocated."""
    section = section_at(sections, records[0][0] - IMAGE_BASE)
    data = section.data
    data.extend(b"\0" * (align(len(data), 4) - len(data)))
    rva = section.rva + len(data)
    starts = {start for start, _, _ in records}
    for start, word, handler_data in records:
        fixups.add(section.rva + len(data))
        data += struct.pack("<II", start, word)
        if handler_data is None:
            continue
        for where in (handler_data, handler_data + 4):
            holder = section_at(sections, where - IMAGE_BASE, 4)
            value = struct.unpack_from("<I", holder.data, where - IMAGE_BASE - holder.rva)[0]
            if where - IMAGE_BASE not in fixups or section_at(sections, value - IMAGE_BASE) is None:
                raise ConversionError(f"handler word at 0x{where:X} is not a relocated address "
                                      "in the image")
            if where == handler_data and value not in starts:
                raise ConversionError(f"the handler at 0x{value:X} is not a function")
    following = [s for s in sections if s.rva > section.rva]
    if following and section.rva + len(data) > min(s.rva for s in following):
        raise ConversionError("the exception data does not fit before the next section")
    return rva, 8 * len(records)


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
    (sections, symbols, relocations, entry, allocated, functions,
     mapping) = read_elf(elf_path)
    if not sections:
        raise ConversionError("no sections to convert")
    entry_rva = entry - IMAGE_BASE
    entry_section = section_at(sections, entry_rva, 4)
    if entry_section is None or entry_section.characteristics != SECTION_CODE or entry_rva % 4:
        raise ConversionError(f"entry point 0x{entry:X} is not ARM code in the image")

    check_bx_veneers(sections, symbols)
    records = function_records(sections, functions, mapping, symbols)
    iat_section, iat_rva, ordinals = import_slots(sections, symbols)
    fixups = collect_base_relocations(sections, relocations, allocated,
                                      (iat_rva, iat_rva + 4 * (len(ordinals) + 1)))
    directories = {3: append_exception_directory(sections, records, fixups)}
    descriptor_rva, iat_size = append_import_directory(iat_section, iat_rva, ordinals)
    directories.update({1: (descriptor_rva, 40), 12: (iat_rva, iat_size)})

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
        data = build_base_relocations(sorted(fixups))
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
