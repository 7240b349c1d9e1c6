#!/usr/bin/python3
"""Checks the linked ARM64 desktop image's unwind data, which the system needs
to walk its frames when an exception passes through them (the tool's own
filter is found only after that walk).

Every function of the link map that saves a register or moves sp must start
an exception-table entry, and every entry's unwind data must decode: packed
data with the function's own length, or an .xdata record of version 0 with
the function's length, its epilog scopes inside the function and unwind codes
that the system knows, ending in "end". An image that fails is removed.

Usage: arm64_unwind_check.py IMAGE MAP
"""

import os
import re
import struct
import sys

import pefile

# The ARM64 unwind codes by their first byte: (mask, value, bytes taken).
UNWIND_CODES = [
    (0xE0, 0x00, 1),  # alloc_s
    (0xE0, 0x20, 1),  # save_r19r20_x
    (0xC0, 0x40, 1),  # save_fplr
    (0xC0, 0x80, 1),  # save_fplr_x
    (0xF8, 0xC0, 2),  # alloc_m
    (0xFC, 0xC8, 2), (0xFC, 0xCC, 2), (0xFC, 0xD0, 2), (0xFE, 0xD4, 2),  # save_regp(_x), save_reg
    (0xFE, 0xD6, 2),  # save_lrpair
    (0xFE, 0xD8, 2), (0xFE, 0xDA, 2), (0xFE, 0xDC, 2), (0xFF, 0xDE, 2),  # save_fregp(_x), fregs
    (0xFF, 0xE0, 4),  # alloc_l
    (0xFF, 0xE1, 1), (0xFF, 0xE2, 2), (0xFF, 0xE3, 1),  # set_fp, add_fp, nop
    (0xFF, 0xE4, 1), (0xFF, 0xE5, 1), (0xFF, 0xE6, 1),  # end, end_c, save_next
]
END = 0xE4


class UnwindError(ValueError):
    pass


def writes_sp_or_saves(word):
    """Whether an instruction moves sp or stores a callee-saved register at sp."""
    if word & 0x7F80001F == 0x1100001F:  # add/sub (immediate), 64-bit, into sp
        return True
    base = word >> 5 & 31
    if word & 0x3A000000 == 0x28000000 and base == 31:  # load/store pair at sp
        writeback = word >> 23 & 3 in (1, 3)
        first, second = word & 31, word >> 10 & 31
        saved = word >> 22 & 1 == 0 and (first >= 19 or second >= 19 or word & 0x04000000 and
                                          (8 <= first <= 15 or 8 <= second <= 15))
        return writeback or saved
    if word & 0x3B200400 == 0x38000400 and base == 31:  # load/store register, pre/post-index
        return True
    return False


def decode_xdata(pe, rva, length):
    header = pe.get_dword_at_rva(rva)
    words, at = header >> 27, rva + 4
    function_length, version, exception, single = (header & 0x3FFFF) * 4, header >> 18 & 3, \
        header >> 20 & 1, header >> 21 & 1
    epilogs = header >> 22 & 31
    if words == 0 and epilogs == 0:
        extension = pe.get_dword_at_rva(at)
        epilogs, words, at = extension & 0xFFFF, extension >> 16 & 0xFF, at + 4
    if version != 0 or function_length != length:
        raise UnwindError(f"version {version}, length {function_length}, not 0 and {length}")
    scopes = [] if single else [pe.get_dword_at_rva(at + 4 * i) for i in range(epilogs)]
    codes = pe.get_data(at + 4 * len(scopes), 4 * words)
    for scope in scopes:
        if (scope & 0x3FFFF) * 4 >= length or scope >> 22 >= len(codes):
            raise UnwindError(f"epilog scope 0x{scope:08X} outside the function or its codes")
    starts = [0] + [scope >> 22 for scope in scopes] + ([epilogs] if single else [])
    for start in starts:
        index = start
        while index < len(codes) and codes[index] != END:
            for mask, value, size in UNWIND_CODES:
                if codes[index] & mask == value:
                    index += size
                    break
            else:
                raise UnwindError(f"unwind code 0x{codes[index]:02X} is not the system's")
        if index >= len(codes):
            raise UnwindError("unwind codes without an end")
    if exception:
        pe.get_dword_at_rva(at + 4 * (len(scopes) + words))  # the handler's address


def check(pe, map_text):
    """Raises UnwindError unless every function that needs unwind data has it."""
    text = pe.sections[0]
    functions = {text.VirtualAddress + int(offset, 16): int(size, 16)
                 for offset, size in re.findall(r"^ 0001:([0-9a-f]{8}) ([0-9a-f]{8})H \.text\$",
                                                map_text, re.M)}
    if not functions:
        raise UnwindError("the map names no function")
    directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[3]
    table = pe.get_data(directory.VirtualAddress, directory.Size)
    entries = dict(struct.iter_unpack("<II", table))
    if directory.Size % 8 or list(entries) != sorted(entries):
        raise UnwindError("the exception table is not whole and sorted")
    for start, length in functions.items():
        code = struct.unpack(f"<{length // 4}I", pe.get_data(start, length))
        if start not in entries:
            if any(writes_sp_or_saves(word) for word in code):
                raise UnwindError(f"the function at 0x{start:X} saves registers or moves sp "
                                  "without an exception-table entry")
            continue
        unwind = entries[start]
        if unwind & 3 == 0:
            decode_xdata(pe, unwind, length)
        elif unwind & 3 == 3 or (unwind >> 2 & 0x7FF) * 4 != length:
            raise UnwindError(f"packed unwind data 0x{unwind:08X} does not fit the function "
                              f"at 0x{start:X}")
    stray = set(entries) - set(functions)
    if stray:
        raise UnwindError(f"exception-table entries at no function: {sorted(stray)}")


def main():
    if len(sys.argv) != 3:
        raise SystemExit("usage: arm64_unwind_check.py IMAGE MAP")
    try:
        with open(sys.argv[2], encoding="utf-8") as stream:
            check(pefile.PE(sys.argv[1]), stream.read())
    except (UnwindError, pefile.PEFormatError, struct.error) as error:
        os.remove(sys.argv[1])
        raise SystemExit(f"arm64_unwind_check: {sys.argv[1]}: {error}") from None


if __name__ == "__main__":
    main()
