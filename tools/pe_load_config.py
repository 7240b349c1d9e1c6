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

LOAD_CONFIG_SYMBOL = "__load_config_used"
LOAD_CONFIG_MINIMUM = 0x48  # Size .. SEHandlerCount
SE_HANDLER_TABLE, SE_HANDLER_COUNT = 0x40, 0x44
SECTION_EXECUTE = 0x20000000


class PostLinkError(Exception):
    pass


class Layout:
    """Where the headers, the sections and the symbol table of an image are."""

    def __init__(self, image):
        self.header = struct.unpack_from("<I", image, 0x3C)[0]
        if image[self.header:self.header + 4] != b"PE\0\0":
            raise PostLinkError("not a PE image")
        count, self.symbols_at, self.symbol_count, optional_size = struct.unpack_from(
            "<2xH4xIIH", image, self.header + 4)
        self.optional = self.header + 24
        if struct.unpack_from("<H", image, self.optional)[0] != 0x10B:
            raise PostLinkError("not a PE32 image")
        self.image_base = struct.unpack_from("<I", image, self.optional + 28)[0]
        self.sections = [  # (rva, virtual size, file offset, file size, characteristics)
            struct.unpack_from("<8xIIII12xI", image, self.optional + optional_size + 40 * index)
            for index in range(count)]
        self.sections = [(rva, size, at, raw, flags)
                         for size, rva, raw, at, flags in self.sections]
        self.raw_end = max(at + raw for _, _, at, raw, _ in self.sections)

    def offset(self, rva, size=4):
        """The file offset of size bytes at rva, and their section's characteristics."""
        for start, virtual_size, at, raw, flags in self.sections:
            if start <= rva and rva + size <= start + min(virtual_size, raw):
                return at + rva - start, flags
        raise PostLinkError(f"RVA 0x{rva:X} is outside the sections' data")


def symbols(image):
    """{name: rva} of the symbols the linker left in the image's COFF symbol table."""
    layout = Layout(image)
    if not layout.symbols_at or layout.symbols_at < layout.raw_end:
        raise PostLinkError("no symbol table after the sections")
    names_at = layout.symbols_at + 18 * layout.symbol_count
    found = {}
    index = 0
    while index < layout.symbol_count:
        entry = image[layout.symbols_at + 18 * index:layout.symbols_at + 18 * index + 18]
        name = entry[:8].rstrip(b"\0")
        if entry[:4] == b"\0\0\0\0":
            start = names_at + struct.unpack_from("<I", entry, 4)[0]
            name = image[start:image.index(b"\0", start)]
        value, section = struct.unpack_from("<Ih", entry, 8)
        if section > 0:
            found.setdefault(name.decode("ascii", "replace"), []).append(
                layout.sections[section - 1][0] + value)
        index += 1 + entry[17]  # auxiliary records follow
    return found


def finish(image, timestamp):
    image = bytearray(image)
    layout = Layout(image)
    found = symbols(image).get(LOAD_CONFIG_SYMBOL, [])
    if len(found) != 1:
        raise PostLinkError(f"{len(found)} symbols {LOAD_CONFIG_SYMBOL}")
    (rva,) = found
    offset, _ = layout.offset(rva, LOAD_CONFIG_MINIMUM)
    size = struct.unpack_from("<I", image, offset)[0]
    if rva % 4 or size < LOAD_CONFIG_MINIMUM:
        raise PostLinkError(f"load configuration at 0x{rva:X}, {size} bytes: misaligned or short")
    table, handlers = struct.unpack_from("<II", image, offset + SE_HANDLER_TABLE)
    entries = []
    if table or handlers:
        at, _ = layout.offset(table - layout.image_base, 4 * handlers)
        entries = list(struct.unpack_from(f"<{handlers}I", image, at))
    if not entries or entries != sorted(set(entries)):
        raise PostLinkError("the safe-handler table is empty or not ascending")
    for handler in entries:
        if not layout.offset(handler, 1)[1] & SECTION_EXECUTE:
            raise PostLinkError(f"safe handler 0x{handler:X} is not in code")

    struct.pack_into("<II", image, layout.optional + 96 + 8 * 10, rva, size)
    struct.pack_into("<III", image, layout.header + 8, timestamp, 0, 0)  # no symbol table
    del image[layout.raw_end:]
    struct.pack_into("<I", image, layout.optional + 64,
                     pefile.PE(data=bytes(image)).generate_checksum())
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
