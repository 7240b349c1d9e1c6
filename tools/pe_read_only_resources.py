#!/usr/bin/python3
"""Marks the resource section of a PE image linked by GNU ld read-only.

GNU ld makes a section named .rsrc writable whatever its input says, and
nothing ever writes to the resources. The checksum, when the image has one,
is written anew. Rewrites the image in place.

Usage: pe_read_only_resources.py IMAGE
"""

import sys

import pefile

SECTION_WRITE = 0x80000000


def read_only_resources(pe):
    """Clears the write permission of the image's .rsrc section."""
    for section in pe.sections:
        if section.Name.rstrip(b"\0") == b".rsrc":
            section.Characteristics &= ~SECTION_WRITE


def main():
    if len(sys.argv) != 2:
        raise SystemExit("usage: pe_read_only_resources.py IMAGE")
    pe = pefile.PE(sys.argv[1])
    read_only_resources(pe)
    if pe.OPTIONAL_HEADER.CheckSum:
        pe.OPTIONAL_HEADER.CheckSum = pe.generate_checksum()
    image = pe.write()
    pe.close()
    with open(sys.argv[1], "wb") as output:
        output.write(image)


if __name__ == "__main__":
    main()
