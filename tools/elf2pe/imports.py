"""Imports: the slots the link left at the end of the last section, one word
per COREDLL operation (written by tools/wince_imports.py), and the import
directory built behind them."""

import struct
from typing import NamedTuple

from wince_imports import IMPORT_DLL, ORDINAL_FLAG, ORDINAL_MASK

from .layout import ConversionError, align

# Defined by the linker script around the slots.
IAT_START = "__comenrol_iat_start"
IAT_END = "__comenrol_iat_end"


class ImportSlots(NamedTuple):
    section: object  # the last Section, which the slots end
    rva: int
    ordinals: list

    @property
    def size(self):
        """The slots with the zero word that ends them."""
        return 4 * (len(self.ordinals) + 1)


def import_slots(elf):
    """Finds the import slots; refuses anything but a table of ordinals."""
    if IAT_START not in elf.symbols or IAT_END not in elf.symbols:
        raise ConversionError(f"no import slots ({IAT_START}/{IAT_END} undefined)")
    start = elf.symbols[IAT_START] - elf.image_base
    end = elf.symbols[IAT_END] - elf.image_base
    section = elf.section_at(elf.symbols[IAT_START], max(end - start, 1))
    if section is None or section is not elf.sections[-1]:
        raise ConversionError("the import slots are not in the last section")
    if end != section.rva + len(section.data):
        raise ConversionError("the import slots do not end the last section")
    words = struct.unpack_from(f"<{(end - start) // 4}I", section.data, start - section.rva)
    if (end - start) % 4 or start % 4 or not words or words[-1] != 0:
        raise ConversionError("the import slots are not a zero-terminated table of words")
    ordinals = []
    for index, word in enumerate(words[:-1]):
        if word & ~ORDINAL_MASK != ORDINAL_FLAG or not word & ORDINAL_MASK:
            raise ConversionError(f"import slot {index} (0x{word:08X}) is not an ordinal import")
        ordinals.append(word & ORDINAL_MASK)
    if len(set(ordinals)) != len(ordinals):
        raise ConversionError("an ordinal is imported twice")
    return ImportSlots(section, start, ordinals)


def append_import_directory(slots):
    """Appends the descriptor, lookup table and DLL name; returns the
    descriptors' (rva, size)."""
    data = slots.section.data
    data.extend(b"\0" * (align(len(data), 4) - len(data)))
    descriptor_rva = slots.section.rva + len(data)
    lookup_rva = descriptor_rva + 2 * 20
    name_rva = lookup_rva + slots.size
    data += struct.pack("<5I", lookup_rva, 0, 0, name_rva, slots.rva)
    data += b"\0" * 20  # end of the descriptors
    for ordinal in slots.ordinals:
        data += struct.pack("<I", ORDINAL_FLAG | ordinal)
    data += struct.pack("<I", 0)
    data += IMPORT_DLL.encode("ascii") + b"\0"
    data.extend(b"\0" * (align(len(data), 4) - len(data)))
    return descriptor_rva, 2 * 20
