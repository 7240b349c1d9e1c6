#!/usr/bin/python3
"""Marks a linked Compact 2013 image as a CE GUI program (subsystem 9).

lld-link knows no CE subsystem, so the image is linked as a Windows GUI
program of subsystem version 8.00 and this rewrites the one subsystem word in
place. It refuses anything else than such a PE32 image for ARMv7 (Thumb-2):
a link that went wrong is never marked. The checksum is left at zero, as the
link wrote it.

Usage: ce_subsystem.py IMAGE
"""

import struct
import sys

MACHINE_ARMNT, PE32 = 0x01C4, 0x10B
WINDOWS_GUI, WINDOWS_CE_GUI = 2, 9


def mark(image):
    """Returns the image with its subsystem word set to 9."""
    data = bytearray(image)
    (header,) = struct.unpack_from("<I", data, 0x3C)
    optional = header + 24
    if data[:2] != b"MZ" or data[header:header + 4] != b"PE\0\0" or len(data) < optional + 72:
        raise SystemExit("ce_subsystem: not a PE image")
    (machine,) = struct.unpack_from("<H", data, header + 4)
    (magic,) = struct.unpack_from("<H", data, optional)
    version = struct.unpack_from("<HH", data, optional + 48)
    checksum, subsystem = struct.unpack_from("<IH", data, optional + 64)
    if (machine, magic, version, subsystem) != (MACHINE_ARMNT, PE32, (8, 0), WINDOWS_GUI):
        raise SystemExit(f"ce_subsystem: expected a PE32 ARMv7 Windows GUI image of subsystem "
                         f"version 8.00, got machine 0x{machine:04X}, magic 0x{magic:03X}, "
                         f"version {version[0]}.{version[1]:02d}, subsystem {subsystem}")
    if checksum:
        raise SystemExit("ce_subsystem: the image has a checksum that the change would break")
    struct.pack_into("<H", data, optional + 68, WINDOWS_CE_GUI)
    return bytes(data)


def main():
    if len(sys.argv) != 2:
        raise SystemExit("usage: ce_subsystem.py IMAGE")
    with open(sys.argv[1], "rb") as stream:
        image = mark(stream.read())
    with open(sys.argv[1], "wb") as stream:
        stream.write(image)


if __name__ == "__main__":
    main()
