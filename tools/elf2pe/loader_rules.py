"""The CE 6.0 and 7 loaders' rules for an image's layout, checked on the image
as laid out, just before it is written: an image that breaks one would be
refused, or loaded wrongly, on a device, so it is never written."""

import struct

from .layout import DIRECTORY_COUNT, PAGE_SIZE, ConversionError, Directory
from .pe_writer import MACHINE_ARM
from .relocations import IMAGE_REL_BASED_HIGHADJ

RESERVED_PROLOG_LENGTH = 0xFF  # CE 7 gives an exception entry's 255 another meaning


def check_loader_rules(layout):
    optional = layout.optional_header
    if optional.number_of_rva_and_sizes < DIRECTORY_COUNT:
        raise ConversionError(f"{optional.number_of_rva_and_sizes} data directories: the "
                              f"loaders read all {DIRECTORY_COUNT}")
    for header in layout.section_headers:
        name = header.name.rstrip(b"\0").decode("ascii")
        if header.virtual_address % PAGE_SIZE:
            raise ConversionError(f"section {name!r} at RVA 0x{header.virtual_address:X} is "
                                  "not on a page boundary")
        if header.virtual_address + header.virtual_size > optional.size_of_image:
            raise ConversionError(f"section {name!r} at RVA 0x{header.virtual_address:X} lies "
                                  f"beyond SizeOfImage 0x{optional.size_of_image:X}")
    relocations = layout.directories[Directory.BASERELOC]
    if relocations.size and all(header.virtual_address != relocations.rva
                                for header in layout.section_headers):
        raise ConversionError(f"no section begins at the base relocations (RVA "
                              f"0x{relocations.rva:X}): CE 7 would not apply them")
    check_high_adjustments(layout, relocations)
    exceptions = layout.directories[Directory.EXCEPTION]
    if not exceptions.size:
        return
    record_size = 8 if layout.file_header.machine == MACHINE_ARM else 20
    holder = layout.holding(exceptions.rva, exceptions.size)
    if holder is None or exceptions.size % record_size:
        raise ConversionError("the exception directory is not whole entries in one section")
    section, offset = holder
    previous = None
    for record in struct.iter_unpack(f"<{record_size // 4}I",
                                     section.data[offset:offset + exceptions.size]):
        start, word = record[0], record[1]
        if record_size == 20 and not start <= record[4] < word:
            raise ConversionError(f"the exception entry for 0x{start:X} ends its prolog "
                                  "outside the function: the unwinder would take it for "
                                  "another entry")
        if record_size == 8 and word & 0xFF == RESERVED_PROLOG_LENGTH:
            raise ConversionError(f"the exception entry for 0x{start:X} has prolog length "
                                  f"{RESERVED_PROLOG_LENGTH}, which CE 7 reserves")
        if previous is not None and start <= previous:
            raise ConversionError(f"exception entries not sorted by start: 0x{start:X} after "
                                  f"0x{previous:X}")
        previous = start


def check_high_adjustments(layout, relocations):
    """CE 7 fails an image whose HIGHADJ entry ends its block: the entry that
    follows it, its low half, must be in the same block."""
    if not relocations.size:
        return
    section, offset = layout.holding(relocations.rva, relocations.size)
    table = bytes(section.data[offset:offset + relocations.size])
    while table:
        page, size = struct.unpack_from("<II", table)
        entries = struct.unpack_from(f"<{(size - 8) // 2}H", table, 8)
        index = 0
        while index < len(entries):
            if entries[index] >> 12 == IMAGE_REL_BASED_HIGHADJ:
                if index + 1 == len(entries):
                    raise ConversionError(f"a HIGHADJ entry ends the block of page 0x{page:X}")
                index += 1
            index += 1
        table = table[size:]
