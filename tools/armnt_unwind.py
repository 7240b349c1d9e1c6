"""The ARMv7 (Thumb-2) exception data of a Compact 2013 image, decoded as the
system's unwinder reads it: .pdata entries {function start | 1, unwind word},
each word packed or the RVA of an .xdata record (unwind codes, epilogs,
handler). The build refuses an image whose data does not decode: codes the
system refuses, and forms the code here never has (fragments, conditional
epilogs, homed arguments, saved VFP registers, folded stack adjustments), so
that one new to the image is looked at before it ships.

    functions = read_functions(pe)  # pefile.PE; decoded, in table order
    function = find(functions, rva)  # None: a leaf, unwound by its return address
"""

import struct
from dataclasses import dataclass

LR = 14


class UnwindError(Exception):
    """Exception data the system would refuse, or of a form the image never has."""


@dataclass
class Function:
    start: int  # rva
    length: int  # bytes
    prolog: list  # ops, the last prolog instruction first
    epilogs: list  # (offset in bytes, ops in execution order)
    handler: int = None  # rva, with the Thumb bit as stored


def bits(mask):
    return [register for register in range(16) if mask >> register & 1]


# An op is (halfwords of its instruction, action, value): ("add", bytes to sp),
# ("pop", registers, LR standing for pc in an epilog), ("vpop", d registers),
# ("mov_sp", register), ("ldr_lr", bytes to sp after the load), ("nop", None).
def decode_codes(data, at, epilog):
    """The ops from code byte `at` to the end code, or the end of the codes; in
    an epilog, an end code 0xFD or 0xFE also stands for the return instruction."""
    ops, data = [], data + b"\xff\xff"
    while data[at] < 0xFD:
        code, second = data[at], data[at + 1]
        pair = code << 8 | second
        if code < 0x80:
            op, size = (1, "add", 4 * code), 1
        elif code < 0xC0:
            op, size = (2, "pop", bits(pair & 0x1FFF) + [LR] * (pair >> 13 & 1)), 2
        elif code < 0xD0:
            op, size = (1, "mov_sp", code & 15), 1
        elif code < 0xE0:
            wide = code >= 0xD8
            last = (code & 3) + (8 if wide else 4)
            op, size = (1 + wide, "pop", list(range(4, last + 1)) + [LR] * (code >> 2 & 1)), 1
        elif code < 0xE8:
            op, size = (2, "vpop", (code & 7) + 1), 1
        elif code < 0xEC:
            op, size = (2, "add", 4 * (pair & 0x3FF)), 2
        elif code < 0xEE:
            op, size = (1, "pop", bits(pair & 0xFF) + [LR] * (pair >> 8 & 1)), 2
        elif code == 0xEF and second < 0x10:
            op, size = (2, "ldr_lr", 4 * second), 2
        elif code in (0xF5, 0xF6):
            op, size = (2, "vpop", (second & 15) - (second >> 4) + 1), 2
        elif 0xF7 <= code <= 0xFA:
            size = 3 if code in (0xF7, 0xF9) else 4
            op = (1 if code < 0xF9 else 2, "add", 4 * int.from_bytes(data[at + 1:at + size], "big"))
        elif code in (0xFB, 0xFC):
            op, size = (code - 0xFA, "nop", None), 1
        else:  # 0xEE, 0xEF above 0x0F, 0xF0-0xF4
            raise UnwindError(f"unwind code 0x{code:02X}, which the system refuses")
        ops.append(op)
        at += size
    return ops + [(data[at] - 0xFC, "nop", None)] * (epilog and data[at] < 0xFF)


def decode_packed(start, word):
    """The prolog and the one epilog at the end that a packed word stands for."""
    length, ret, homes, reg, floats, link, chain, adjust = (
        2 * (word >> 2 & 0x7FF), word >> 13 & 3, word >> 15 & 1, word >> 16 & 7, word >> 19 & 1,
        word >> 20 & 1, word >> 21 & 1, 4 * (word >> 22))
    if word & 3 != 1 or homes or floats or adjust >= 4 * 0x3F4:
        raise UnwindError(f"packed word 0x{word:08X}: a form the image never has")
    saved = list(range(4, reg + 5)) + [11] * chain + [LR] * link
    push = (1 if all(r <= 7 or r == LR for r in saved) else 2, "pop", saved)
    pop = (1 if all(r <= 7 or r == LR and ret == 0 for r in saved) else 2, "pop", saved)
    stack = [(1 if adjust <= 508 else 2, "add", adjust)] * bool(adjust)
    prolog = stack + [(2, "nop", None)] * chain + [push]  # add r11, sp, #n
    epilog = stack + [pop] + [(ret, "nop", None)] * (ret in (1, 2))  # bx lr, b
    size = 2 * sum(op[0] for op in epilog)
    return Function(start, length, prolog, [(length - size, epilog)] if ret != 3 else [])


def decode_xdata(start, image, rva):
    (header,) = struct.unpack_from("<I", image, rva)
    length, handler, single = 2 * (header & 0x3FFFF), header >> 20 & 1, header >> 21 & 1
    epilogs, words, at = header >> 23 & 0x1F, header >> 28, rva + 4
    if header >> 18 & 3 or header >> 22 & 1:
        raise UnwindError(f"version {header >> 18 & 3} or fragment unwind data at 0x{rva:X}")
    if not epilogs and not words:
        (extended,) = struct.unpack_from("<I", image, at)
        epilogs, words, at = extended & 0xFFFF, extended >> 16 & 0xFF, at + 4
    scopes = [] if single else struct.unpack_from(f"<{epilogs}I", image, at)
    codes = image[:at + 4 * len(scopes) + 4 * words]
    at += 4 * len(scopes)
    if any(scope >> 20 & 15 != 14 for scope in scopes):
        raise UnwindError(f"a conditional epilog at 0x{rva:X}")
    found = [(2 * (scope & 0x3FFFF), decode_codes(codes, at + (scope >> 24), True))
             for scope in scopes]
    if single:  # the one epilog ends the function
        epilog = decode_codes(codes, at + epilogs, True)
        found = [(length - 2 * sum(op[0] for op in epilog), epilog)]
    function = Function(start, length, decode_codes(codes, at, False), found)
    if handler:
        (function.handler,) = struct.unpack_from("<I", image, len(codes))
    return function


def read_functions(pe):
    """Every .pdata entry of the image, decoded."""
    directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[3]
    image = pe.get_memory_mapped_image()
    functions = []
    for start, word in struct.iter_unpack("<II", pe.get_data(directory.VirtualAddress,
                                                            directory.Size)):
        if not start & 1:
            raise UnwindError(f"function 0x{start:X} is not Thumb code")
        functions.append(decode_xdata(start - 1, image, word) if word & 3 == 0
                         else decode_packed(start - 1, word))
    return functions


def find(functions, rva):
    return next((f for f in functions if f.start <= rva < f.start + f.length), None)
