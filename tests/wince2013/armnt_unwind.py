"""The ARMv7 (Thumb-2) exception data of a PE image, decoded and replayed as
the system's unwinder reads it: .pdata entries {function start, unwind word},
packed words or .xdata records with their unwind codes, prolog, epilog scopes
and handler. Anything outside the documented format raises UnwindError.

    functions = read_functions(pe)            # decoded, sorted by start
    caller = unwind(function, pc, registers, read_word)
"""

import struct
from dataclasses import dataclass

SP, LR, PC = 13, 14, 15


class UnwindError(AssertionError):
    """Exception data the system's unwinder would refuse or misread."""


@dataclass
class Function:
    start: int  # rva, bit 0 cleared
    length: int  # bytes
    prolog: list  # ops in unwind order: the last prolog instruction first
    epilogs: list  # (offset in bytes, ops in execution order)
    handler: int = None  # rva of the language handler, bit 0 as stored
    handler_data: int = None
    fragment: bool = False  # no prolog of its own


# An op is (size of its instruction in halfwords, action, value):
#   ("add", bytes)  ("pop", registers, pc included as LR)  ("vpop", count)
#   ("mov_sp", register)  ("ldr_lr", bytes)  ("nop", None)
def decode_codes(data, at, epilog):
    """The ops from code byte `at` up to the end code; an epilog counts the
    return instruction an end code 0xFD or 0xFE stands for."""
    ops = []
    while True:
        if at >= len(data):
            raise UnwindError("unwind codes run past their record")
        code = data[at]
        more = data[at + 1:at + 4].ljust(3, b"\0")
        word = code << 8 | more[0]
        if code <= 0x7F:
            op, length = (1, "add", 4 * code), 1
        elif code <= 0xBF:
            op, length = (2, "pop", bits(word & 0x1FFF) + [LR] * (word >> 13 & 1)), 2
        elif code <= 0xCF:
            op, length = (1, "mov_sp", code & 15), 1
        elif code <= 0xDF:
            last = (code & 3) + (4 if code < 0xD8 else 8)
            op, length = (1 if code < 0xD8 else 2, "pop",
                          list(range(4, last + 1)) + [LR] * (code >> 2 & 1)), 1
        elif code <= 0xE7:
            op, length = (2, "vpop", (code & 7) + 1), 1
        elif code <= 0xEB:
            op, length = (2, "add", 4 * (word & 0x3FF)), 2
        elif code <= 0xED:
            op, length = (1, "pop", bits(word & 0xFF) + [LR] * (word >> 8 & 1)), 2
        elif code == 0xEF and more[0] < 0x10:
            op, length = (2, "ldr_lr", 4 * more[0]), 2
        elif code in (0xF5, 0xF6):
            op, length = (2, "vpop", (more[0] & 15) - (more[0] >> 4) + 1), 2
        elif 0xF7 <= code <= 0xFA:
            size = 2 if code in (0xF7, 0xF9) else 3
            amount = int.from_bytes(more[:size], "big")
            op, length = (1 if code <= 0xF8 else 2, "add", 4 * amount), 1 + size
        elif code in (0xFB, 0xFC):
            op, length = (code - 0xFA, "nop", None), 1
        elif code >= 0xFD:
            if epilog and code < 0xFF:
                ops.append((code - 0xFC, "nop", None))
            return ops
        else:  # 0xEE, 0xEF above 0x0F and 0xF0-0xF4
            raise UnwindError(f"unwind code 0x{code:02X} is not one the system runs")
        ops.append(op)
        at += length


def bits(mask):
    return [register for register in range(16) if mask >> register & 1]


def halfwords(ops):
    return sum(size for size, _, _ in ops)


def decode_packed(start, word):
    """Spells a packed unwind word out as the prolog and the one epilog it stands for."""
    length, ret, homes = 2 * (word >> 2 & 0x7FF), word >> 13 & 3, word >> 15 & 1
    reg, floats, link, chain, adjust = word >> 16 & 7, word >> 19 & 1, word >> 20 & 1, \
        word >> 21 & 1, word >> 22
    folded = adjust >= 0x3F4
    prolog_fold = folded and adjust & 4
    epilog_fold = folded and adjust & 8
    extra = list(range(4 - ((adjust & 3) + 1), 4)) if folded else []
    stack = 0 if folded else 4 * adjust
    saved = ([] if floats else list(range(4, reg + 5))) + [11] * chain
    prolog, epilog = [], []
    if homes:
        prolog.append((1, "add", 16))
    if chain or link or not floats or prolog_fold:
        pushed = (extra if prolog_fold else []) + saved + [LR] * link
        prolog.append((1 if all(r <= 7 or r == LR for r in pushed) else 2, "pop", pushed))
    if chain:
        prolog.append((1, "nop", None) if floats and not prolog_fold else (2, "nop", None))
    if floats and reg != 7:
        prolog.append((2, "vpop", reg + 1))
    if stack and not prolog_fold:
        prolog.append((1 if stack <= 508 else 2, "add", stack))
    if ret != 3:
        if stack and not epilog_fold:
            epilog.append((1 if stack <= 508 else 2, "add", stack))
        if floats and reg != 7:
            epilog.append((2, "vpop", reg + 1))
        pops_pc = link and not homes and ret == 0  # lr's slot goes straight into pc
        if chain or (link and (not homes or ret)) or not floats or epilog_fold:
            popped = (extra if epilog_fold else []) + saved + [LR] * (link and (not homes or ret))
            low = all(r <= 7 for r in popped if r != LR)
            epilog.append((1 if low and (pops_pc or LR not in popped) else 2, "pop", popped))
        if homes:
            epilog.append((2, "ldr_lr", 20) if link and ret == 0 else (1, "add", 16))
        if ret:
            epilog.append((ret, "nop", None))
    prolog.reverse()
    epilogs = [(length - 2 * halfwords(epilog), epilog)] if epilog else []
    return Function(start, length, prolog, epilogs, fragment=word & 3 == 2)


def decode_xdata(start, data, rva):
    """An .xdata record at rva of the image's bytes `data`."""
    (header,) = struct.unpack_from("<I", data, rva)
    length, version = 2 * (header & 0x3FFFF), header >> 18 & 3
    has_handler, single, fragment = header >> 20 & 1, header >> 21 & 1, header >> 22 & 1
    epilogs, words, at = header >> 23 & 0x1F, header >> 28, rva + 4
    if version:
        raise UnwindError(f"version {version} unwind data")
    if not epilogs and not words:
        (extended,) = struct.unpack_from("<I", data, at)
        epilogs, words, at = extended & 0xFFFF, extended >> 16 & 0xFF, at + 4
    scopes = [] if single else list(struct.unpack_from(f"<{epilogs}I", data, at))
    codes = at + 4 * len(scopes)
    end = codes + 4 * words
    prolog = decode_codes(data[:end], codes, False)
    if single:
        ops = decode_codes(data[:end], codes + epilogs, True)
        found = [(length - 2 * halfwords(ops), ops)]
    else:
        found = []
        for scope in scopes:
            if scope >> 20 & 15 != 14:
                raise UnwindError("a conditional epilog")
            found.append((2 * (scope & 0x3FFFF), decode_codes(data[:end], codes + (scope >> 24),
                                                              True)))
    function = Function(start, length, prolog, found, fragment=bool(fragment))
    if has_handler:
        function.handler, function.handler_data = struct.unpack_from("<II", data, end)
    return function


def read_functions(pe):
    """Every .pdata entry of the image, decoded, in table order."""
    directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[3]
    table = pe.get_data(directory.VirtualAddress, directory.Size)
    image = pe.get_memory_mapped_image()
    functions = []
    for start, word in struct.iter_unpack("<II", table):
        if not start & 1:
            raise UnwindError(f"function 0x{start:X} is not Thumb code")
        if word & 3 == 0:
            functions.append(decode_xdata(start & ~1, image, word))
        elif word & 3 == 3:
            raise UnwindError(f"reserved unwind word at 0x{start:X}")
        else:
            functions.append(decode_packed(start & ~1, word))
    return functions


def find(functions, rva):
    for function in functions:
        if function.start <= rva < function.start + function.length:
            return function
    return None


def unwind(function, offset, registers, read_word):
    """The caller's registers (r0-r15 list) for a frame stopped at byte
    `offset` of the function: the prolog ops for the instructions that ran,
    or those of the epilog it stands in. pc becomes the return address."""
    ops, skip = function.prolog, 0
    prolog = 0 if function.fragment else 2 * halfwords(ops)
    if offset < prolog:
        skip = prolog - offset  # the instructions not yet run, last first
    else:
        for begin, epilog in function.epilogs:
            if begin <= offset < begin + 2 * halfwords(epilog):
                ops, skip = epilog, offset - begin  # the instructions already run
    registers = list(registers)
    for size, action, value in ops:
        if skip > 0:
            skip -= 2 * size
            continue
        if action == "add":
            registers[SP] += value
        elif action == "pop":
            for register in value:
                registers[register] = read_word(registers[SP])
                registers[SP] += 4
        elif action == "vpop":
            registers[SP] += 8 * value
        elif action == "mov_sp":
            registers[SP] = registers[value]
        elif action == "ldr_lr":
            registers[LR] = read_word(registers[SP])
            registers[SP] += value
    registers[SP] &= 0xFFFFFFFF
    registers[PC] = registers[LR]
    return registers
