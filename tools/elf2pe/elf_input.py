"""Reads the linked ELF into one record, refusing what the image cannot hold:
another machine, glue or veneers other than the bx veneers, sections off
their pages."""

import re
import struct
from dataclasses import dataclass
from typing import NamedTuple, Union

from elftools.elf.elffile import ELFFile
from elftools.elf.relocation import RelocationSection

from .layout import (SECTION_ALIGNMENT, SECTION_CODE, SECTION_DATA, SECTION_RODATA,
                     ConversionError, Section, section_at)

# Defined by the linker script, which places the sections at their addresses.
IMAGE_BASE_SYMBOL = "__comenrol_image_base"
IMAGE_BASE_ALIGNMENT = 0x10000
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


class Relocation(NamedTuple):
    address: int  # of the place, as linked
    kind: int  # the ELF relocation type
    symbol_name: str
    symbol_section: Union[int, str]  # st_shndx: a section index, or SHN_ABS/SHN_UNDEF
    target: str  # the section the place is in


class Function(NamedTuple):
    address: int
    size: int
    name: str


class MappingSymbol(NamedTuple):
    address: int
    kind: str  # "a", "d" or "t"


# MIPS input: e_flags and the ABI flags a MIPS II, o32, soft-float, non-PIC
# link has.
EF_MIPS_PIC, EF_MIPS_CPIC, EF_MIPS_ARCH, EF_MIPS_ARCH_2 = 0x2, 0x4, 0xF0000000, 0x10000000
EF_MIPS_ABI, EF_MIPS_ABI_O32 = 0xF000, 0x1000
FP_ABI_SOFT = 3


@dataclass
class ElfImage:
    machine: str  # "arm" or "mips"
    image_base: int
    sections: list  # [Section], by RVA
    symbols: dict  # name: address
    relocations: list  # [Relocation]
    entry: int  # address
    allocated: set  # indices of the ELF sections that are in the image
    functions: list  # [Function], sorted
    mapping: list  # [MappingSymbol], sorted

    def section_at(self, address, length=1):
        """The section holding `length` bytes at the linked `address`."""
        return section_at(self.sections, address - self.image_base, length)


def read_elf(path):
    with open(path, "rb") as stream:
        elf = ELFFile(stream)
        if elf.elfclass != 32 or not elf.little_endian or \
                elf["e_machine"] not in ("EM_ARM", "EM_MIPS"):
            raise ConversionError("not a 32-bit little-endian ARM or MIPS ELF file")
        machine = "arm" if elf["e_machine"] == "EM_ARM" else "mips"
        if machine == "mips":
            check_mips_flags(elf)
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
                mapping.append(MappingSymbol(symbol["st_value"], name[1]))
            elif symbol["st_info"]["type"] == "STT_FUNC":
                functions.append(Function(symbol["st_value"], symbol["st_size"], name))
            if name:
                symbols[name] = symbol["st_value"]
        image_base = symbols.get(IMAGE_BASE_SYMBOL)
        if image_base is None or image_base % IMAGE_BASE_ALIGNMENT:
            raise ConversionError(f"{IMAGE_BASE_SYMBOL} is undefined or not on a 64 KiB "
                                  "boundary")

        allocated = set()
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
            if address < image_base + SECTION_ALIGNMENT or address % SECTION_ALIGNMENT:
                raise ConversionError(f"section {name!r} at 0x{address:X} is not on a page "
                                      "boundary above the headers")
            if section["sh_flags"] & 0x4:  # SHF_EXECINSTR
                characteristics = SECTION_CODE
            elif section["sh_flags"] & 0x1:  # SHF_WRITE
                characteristics = SECTION_DATA
            else:
                characteristics = SECTION_RODATA
            allocated.add(index)
            sections.append(Section(name, address - image_base, section.data(), characteristics))
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
                raise ConversionError(f"{section.name}: RELA relocations are not expected")
            relocation_symbols = elf.get_section(section["sh_link"])
            for relocation in section.iter_relocations():
                symbol = relocation_symbols.get_symbol(relocation["r_info_sym"])
                relocations.append(Relocation(relocation["r_offset"], relocation["r_info_type"],
                                              symbol.name, symbol["st_shndx"], target.name))
        entry = elf["e_entry"]
    return ElfImage(machine, image_base, sections, symbols, relocations, entry, allocated,
                    sorted(set(functions)), sorted(mapping))


def check_mips_flags(elf):
    """MIPS II, o32, no PIC or abicalls, soft float; nothing newer."""
    flags = elf["e_flags"]
    if flags & (EF_MIPS_PIC | EF_MIPS_CPIC):
        raise ConversionError("position-independent (abicalls) MIPS input")
    if flags & EF_MIPS_ARCH != EF_MIPS_ARCH_2 or flags & EF_MIPS_ABI != EF_MIPS_ABI_O32:
        raise ConversionError(f"not MIPS II o32 input (e_flags 0x{flags:08X})")
    abiflags = elf.get_section_by_name(".MIPS.abiflags")
    if abiflags is None:
        raise ConversionError("no .MIPS.abiflags to check the ISA and float ABI against")
    _, isa_level, isa_revision, _, fpu_size, _, fp_abi = struct.unpack_from(
        "<HBBBBBB", abiflags.data())
    if (isa_level, isa_revision, fpu_size, fp_abi) != (2, 0, 0, FP_ABI_SOFT):
        raise ConversionError(f"ABI flags of MIPS level {isa_level} revision {isa_revision}, "
                              f"FPU size {fpu_size}, float ABI {fp_abi}: not MIPS II soft float")


def check_bx_veneers(elf):
    """Each bx veneer must be exactly tst rN, #1; moveq pc, rN; bx rN."""
    for name, address in sorted(elf.symbols.items()):
        match = BX_VENEER_SYMBOL.match(name)
        if not match:
            continue
        register = int(match.group(1))
        expected = (0xE3100001 | register << 16, 0x01A0F000 | register, 0xE12FFF10 | register)
        section = elf.section_at(address, 12)
        words = section and struct.unpack_from("<3I", section.data,
                                               address - elf.image_base - section.rva)
        if words != expected:
            raise ConversionError(f"veneer {name!r} is not tst/moveq pc/bx on r{register}")
