#!/usr/bin/python3
"""Finishes the linked Compact 2013 image: checks what the link cannot be told
to guarantee, then marks it as a CE program (subsystem 9).

lld-link knows no CE subsystem, so the image is linked as a Windows GUI
program of subsystem version 8.00, and only the subsystem word is rewritten
(the checksum stays zero, as the link wrote it). Before that:
- every import must come from COREDLL.dll by ordinal: anything else (a
  runtime helper for a division, a stack probe, a memory routine) would not
  resolve, and the system would end the process with status 0 before the entry;
- the exception data must decode (armnt_unwind), or the system could not walk
  the image's frames.
An image that fails is removed, so that nothing half-made is left to install.

Usage: wince2013_finish.py IMAGE
"""

import os
import struct
import sys

import pefile

import armnt_unwind

MACHINE_ARMNT, PE32 = 0x01C4, 0x10B
WINDOWS_GUI, WINDOWS_CE_GUI = 2, 9


def finish(image):
    """Returns the image marked as a CE program; refuses one that breaks a rule."""
    pe = pefile.PE(data=image)
    optional = pe.OPTIONAL_HEADER
    linked = (pe.FILE_HEADER.Machine, optional.Magic, optional.MajorSubsystemVersion,
              optional.MinorSubsystemVersion, optional.Subsystem, optional.CheckSum)
    if linked != (MACHINE_ARMNT, PE32, 8, 0, WINDOWS_GUI, 0):
        raise ValueError("expected a PE32 ARMv7 Windows GUI image of subsystem version 8.00 "
                         "without a checksum; got machine 0x%04X, magic 0x%03X, version "
                         "%d.%02d, subsystem %d, checksum 0x%X" % linked)
    for descriptor in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        for symbol in descriptor.imports:
            if descriptor.dll.lower() != b"coredll.dll" or not symbol.import_by_ordinal:
                raise ValueError(f"import of {symbol.name or symbol.ordinal} from "
                                 f"{descriptor.dll.decode()}: only COREDLL.dll ordinals resolve")
    armnt_unwind.read_functions(pe)
    data = bytearray(image)
    struct.pack_into("<H", data, optional.get_file_offset() + 68, WINDOWS_CE_GUI)
    return bytes(data)


def main():
    if len(sys.argv) != 2:
        raise SystemExit("usage: wince2013_finish.py IMAGE")
    with open(sys.argv[1], "rb") as stream:
        image = stream.read()
    try:
        image = finish(image)
    except (ValueError, armnt_unwind.UnwindError, pefile.PEFormatError) as error:
        os.remove(sys.argv[1])
        raise SystemExit(f"wince2013_finish: {sys.argv[1]}: {error}") from None
    with open(sys.argv[1], "wb") as stream:
        stream.write(image)


if __name__ == "__main__":
    main()
