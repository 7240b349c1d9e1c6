#!/usr/bin/python3
"""Finishes a PE32 image linked by GNU ld: points data directory 10 at its load
configuration, then strips the symbol table and stamps the image.

GNU ld leaves directory 10 empty. This step finds the load configuration by
its symbol (__load_config_used) in the image's COFF symbol table, checks it
(4-aligned, its Size field at least up to the safe-handler count, a table of
ascending image-relative addresses of code), and sets the directory to its
address and Size. It then drops the symbol table, which the linker wrote
after the last section, and writes the time stamp (SOURCE_DATE_EPOCH, or 0)
and the checksum, so that the same input gives the same bytes.
"""

import argparse
import os
import struct
import sys

import pefile

LOAD_CONFIG_SYMBOL = b"__load_config_used"
LOAD_CONFIG_MINIMUM = 0x48  # Size .. SEHandlerCount
SE_HANDLER_TABLE, SE_HANDLER_COUNT = 0x40, 0x44
SECTION_EXECUTE = 0x20000000


class PostLinkError(Exception):
    pass


def finish(image, timestamp):
    image = bytearray(image)
    header = struct.unpack_from("<I", image, 0x3C)[0]
    if image[header:header + 4] != b"PE\0\0":
        raise PostLinkError("not a PE image")
    (count, symbols_at, symbol_count, optional_size) = struct.unpack_from("<2xHxxxxIIH", image,
                                                                           header + 4)
    optional = header + 24
    if struct.unpack_from("<H", image, optional)[0] != 0x10B:
        raise PostLinkError("not a PE32 image")
    image_base = struct.unpack_from("<I", image, optional + 28)[0]
    sections = []
    for index in range(count):
        (virtual_size, rva, raw_size, raw_at,
         flags) = struct.unpack_from("<8xIIII12xI", image, optional + optional_size + 40 * index)
        sections.append((rva, virtual_size, raw_at, raw_size, flags))
    raw_end = max(raw_at + raw_size for _, _, raw_at, raw_size, _ in sections)
    if not symbols_at or symbols_at < raw_end:
        raise PostLinkError("no symbol table after the sections")

    def section_of(rva, size=4):
        for start, virtual_size, raw_at, raw_size, flags in sections:
            if start <= rva and rva + size <= start + min(virtual_size, raw_size):
                return raw_at + rva - start, flags
        raise PostLinkError(f"RVA 0x{rva:X} is outside the sections' data")

    names_at = symbols_at + 18 * symbol_count
    found = []
    index = 0
    while index < symbol_count:
        entry = image[symbols_at + 18 * index:symbols_at + 18 * index + 18]
        name = entry[:8]
        if name[:4] == b"\0\0\0\0":
            start = names_at + struct.unpack_from("<I", name, 4)[0]
            name = image[start:image.index(b"\0", start)]
        value, section = struct.unpack_from("<Ih", entry, 8)
        if name.rstrip(b"\0") == LOAD_CONFIG_SYMBOL and section > 0:
            found.append(sections[section - 1][0] + value)
        index += 1 + entry[17]  # auxiliary records follow
    if len(found) != 1:
        raise PostLinkError(f"{len(found)} symbols {LOAD_CONFIG_SYMBOL.decode()}")
    (rva,) = found
    offset, _ = section_of(rva, LOAD_CONFIG_MINIMUM)
    size = struct.unpack_from("<I", image, offset)[0]
    if rva % 4 or size < LOAD_CONFIG_MINIMUM:
        raise PostLinkError(f"load configuration at 0x{rva:X}, {size} bytes: misaligned or short")
    table, handlers = struct.unpack_from("<II", image, offset + SE_HANDLER_TABLE)
    entries = []
    if table or handlers:
        at, _ = section_of(table - image_base, 4 * handlers)
        entries = list(struct.unpack_from(f"<{handlers}I", image, at))
    if not entries or entries != sorted(set(entries)):
        raise PostLinkError("the safe-handler table is empty or not ascending")
    for handler in entries:
        if not section_of(handler, 1)[1] & SECTION_EXECUTE:
            raise PostLinkError(f"safe handler 0x{handler:X} is not in code")

    struct.pack_into("<II", image, optional + 96 + 8 * 10, rva, size)
    struct.pack_into("<III", image, header + 8, timestamp, 0, 0)  # no symbol table
    del image[raw_end:]
    struct.pack_into("<I", image, optional + 64, pefile.PE(data=bytes(image)).generate_checksum())
    return bytes(image)


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
