#!/usr/bin/python3
"""Finishes a PE32 image linked by GNU ld: points data directory 10 at its load
configuration, then strips the symbol table and stamps the image.

GNU ld leaves directory 10 empty. This step finds the load configuration by
its symbol (__load_config_used) in the image's COFF symbol table, checks it
(4-aligned, its Size field at least up to the safe-handler count, a table of
ascending image-relative addresses of code), and sets the directory to its
address and Size. It then drops the symbol table, which the linker wrote
after the last section, marks the resources read-only (GNU ld makes them
writable), and writes the time stamp (SOURCE_DATE_EPOCH, or 0) and the
checksum, so that the same input gives the same bytes.
"""

import argparse
import os
import struct
import sys

import pefile

from pe_read_only_resources import read_only_resources

LOAD_CONFIG_SYMBOL = "__load_config_used"
LOAD_CONFIG_MINIMUM = 0x48  # Size .. SEHandlerCount
SE_HANDLER_TABLE, SE_HANDLER_COUNT = 0x40, 0x44
SECTION_EXECUTE = 0x20000000


class PostLinkError(Exception):
    pass


def parse(image):
    try:
        pe = pefile.PE(data=bytes(image))
    except pefile.PEFormatError as error:
        raise PostLinkError(f"not a PE image: {error}") from None
    if pe.OPTIONAL_HEADER.Magic != 0x10B:
        raise PostLinkError("not a PE32 image")
    return pe


def section_holding(pe, rva, size=4):
    """The section whose data holds size bytes at rva."""
    for section in pe.sections:
        start = section.VirtualAddress
        if start <= rva and rva + size <= start + min(section.Misc_VirtualSize,
                                                      section.SizeOfRawData):
            return section
    raise PostLinkError(f"RVA 0x{rva:X} is outside the sections' data")


def raw_end(pe):
    return max(s.PointerToRawData + s.SizeOfRawData for s in pe.sections)


def symbols(image):
    """{name: [rva, ...]} of the symbols the linker left in the image's COFF symbol table."""
    pe = parse(image)
    symbols_at, count = pe.FILE_HEADER.PointerToSymbolTable, pe.FILE_HEADER.NumberOfSymbols
    if not symbols_at or symbols_at < raw_end(pe):
        raise PostLinkError("no symbol table after the sections")
    names_at = symbols_at + 18 * count
    found = {}
    index = 0
    while index < count:
        entry = image[symbols_at + 18 * index:symbols_at + 18 * index + 18]
        name = entry[:8].rstrip(b"\0")
        if entry[:4] == b"\0\0\0\0":
            start = names_at + struct.unpack_from("<I", entry, 4)[0]
            name = image[start:image.index(b"\0", start)]
        value, section = struct.unpack_from("<Ih", entry, 8)
        if section > 0:
            found.setdefault(name.decode("ascii", "replace"), []).append(
                pe.sections[section - 1].VirtualAddress + value)
        index += 1 + entry[17]  # auxiliary records follow
    return found


def finish(image, timestamp):
    pe = parse(image)
    found = symbols(image).get(LOAD_CONFIG_SYMBOL, [])
    if len(found) != 1:
        raise PostLinkError(f"{len(found)} symbols {LOAD_CONFIG_SYMBOL}")
    (rva,) = found
    section_holding(pe, rva, LOAD_CONFIG_MINIMUM)
    size = pe.get_dword_at_rva(rva)
    if rva % 4 or size < LOAD_CONFIG_MINIMUM:
        raise PostLinkError(f"load configuration at 0x{rva:X}, {size} bytes: misaligned or short")
    table = pe.get_dword_at_rva(rva + SE_HANDLER_TABLE)
    handlers = pe.get_dword_at_rva(rva + SE_HANDLER_COUNT)
    entries = []
    if table or handlers:
        table -= pe.OPTIONAL_HEADER.ImageBase
        section_holding(pe, table, 4 * handlers)
        entries = list(struct.unpack(f"<{handlers}I", pe.get_data(table, 4 * handlers)))
    if not entries or entries != sorted(set(entries)):
        raise PostLinkError("the safe-handler table is empty or not ascending")
    for handler in entries:
        if not section_holding(pe, handler, 1).Characteristics & SECTION_EXECUTE:
            raise PostLinkError(f"safe handler 0x{handler:X} is not in code")

    directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[10]
    directory.VirtualAddress, directory.Size = rva, size
    read_only_resources(pe)
    header = pe.FILE_HEADER
    header.TimeDateStamp, header.PointerToSymbolTable, header.NumberOfSymbols = timestamp, 0, 0
    image = pe.write()[:raw_end(pe)]
    pe = pefile.PE(data=bytes(image))
    pe.OPTIONAL_HEADER.CheckSum = pe.generate_checksum()
    return bytes(pe.write())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("linked")
    parser.add_argument("output")
    arguments = parser.parse_args()
    timestamp = int(os.environ.get("SOURCE_DATE_EPOCH", "0")) & 0xFFFFFFFF
    with open(arguments.linked, "rb") as linked:
        data = linked.read()
    try:
        image = finish(data, timestamp)
    except PostLinkError as error:
        sys.exit(f"pe_load_config: {arguments.linked}: {error}")
    with open(arguments.output, "wb") as output:
        output.write(image)


if __name__ == "__main__":
    main()
