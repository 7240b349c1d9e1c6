"""MIPS: the instruction set check, the base relocations, and the exception
directory, whose records CE's unwinder reads by undoing each prolog from its
start.

CE's MIPS exception directory is a sorted table of 20-byte records {Begin,
End, Handler, HandlerData, PrologEnd}, all addresses (so each non-zero word is
relocated). To find a caller the unwinder re-decodes the instructions from
Begin to the pc (at most PrologEnd) and undoes them in reverse: addiu sp
subtracted back, each store to sp loaded back, move s8,sp read as sp = s8;
then the caller's pc is ra - 4. A function without a record is a leaf that
never moved sp. So each function with a frame must open with its sp
adjustment, follow with its saves and nothing else, move sp nowhere but in
its epilogs (before or in the delay slot of its return, or of a tail
call's jump), and save nothing anywhere else (a save in a delay slot would
only be undone by following the call as a prolog helper). Every record is
replayed here as the unwinder would undo it: sp and every saved register
must come back."""

import struct
from typing import NamedTuple

from .layout import SECTION_CODE, ConversionError, align
from .relocations import IMAGE_REL_BASED_HIGHADJ, IMAGE_REL_BASED_HIGHLOW, Fixups
from .unwind import EH_DATA_PREFIX  # __eh_F: the handler and its data for F

R_MIPS_32, R_MIPS_26, R_MIPS_HI16, R_MIPS_LO16 = 2, 4, 5, 6
GP_RELATIVE = {7: "R_MIPS_GPREL16", 12: "R_MIPS_GPREL32", 9: "R_MIPS_GOT16",
               11: "R_MIPS_CALL16"}
PC_RELATIVE = {10: "R_MIPS_PC16"}
IMAGE_REL_BASED_LOW, IMAGE_REL_BASED_MIPS_JMPADDR = 2, 5

ZERO, GP, SP, S8, RA = 0, 28, 29, 30, 31
CALLEE_SAVED = frozenset(range(16, 24)) | {GP, S8, RA}
JR_RA = 0x03E00008

# What MIPS II has, by major opcode; SPECIAL and REGIMM by their function or rt
# field. Nothing of MIPS32 (mul, clz, movn, ...), MIPS III (64-bit), the
# coprocessors (the image is soft float) or later.
MIPS2_OPCODES = {2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 20, 21, 22, 23, 32, 33, 34, 35,
                 36, 37, 38, 40, 41, 42, 43, 46, 48, 56}
MIPS2_SPECIAL = {0, 2, 3, 4, 6, 7, 8, 9, 12, 13, 15, 16, 17, 18, 19, 24, 25, 26, 27, 32, 33, 34,
                 35, 36, 37, 38, 39, 42, 43, 48, 49, 50, 51, 52, 54}
MIPS2_REGIMM = {0, 1, 2, 3, 8, 9, 10, 11, 12, 14, 16, 17, 18, 19}


class MipsRecord(NamedTuple):
    begin: int
    end: int
    handler: int
    handler_data: int
    prolog_end: int


def is_mips2(word):
    opcode = word >> 26
    if opcode == 0:
        funct, shift = word & 63, word >> 6 & 31
        rotate = funct == 2 and word >> 21 & 31 or funct == 6 and shift  # rotr, rotrv
        hint = funct in (8, 9) and shift  # jr.hb, jalr.hb
        return funct in MIPS2_SPECIAL and not rotate and not hint
    if opcode == 1:
        return word >> 16 & 31 in MIPS2_REGIMM
    return opcode in MIPS2_OPCODES


def sp_adjustment(word):
    """addiu sp, sp, imm: the signed imm, else None."""
    return sign16(word) if word >> 16 == 0x27BD else None


def sign16(word):
    return (word & 0xFFFF) - ((word & 0x8000) << 1)


def stored_at_sp(word):
    """sw rt, imm(sp): (rt, imm), else None."""
    return (word >> 16 & 31, sign16(word)) if word >> 21 == (43 << 5 | SP) else None


def moves(word):
    """move rd, rs as addu/or rd, rs, zero: (rd, rs), else None."""
    if word >> 26 == 0 and word & 0x7FF in (0x21, 0x25) and word >> 16 & 31 == ZERO:
        return word >> 11 & 31, word >> 21 & 31
    return None


def writes_sp(word):
    """Whether an instruction writes sp: an immediate or register add into it."""
    opcode = word >> 26
    if opcode in (8, 9, 10, 11, 12, 13, 14, 15, 32, 33, 34, 35, 36, 37, 38):
        return word >> 16 & 31 == SP
    return opcode == 0 and word >> 11 & 31 == SP and word & 63 in (0x21, 0x23, 0x25, 0x27)


def is_transfer(word):
    """Branches and jumps, which have a delay slot."""
    opcode = word >> 26
    return opcode in (1, 2, 3, 4, 5, 6, 7, 20, 21, 22, 23) or opcode == 0 and word & 63 in (8, 9)


def replay(name, words):
    """Runs the prolog on names for the registers (sp as an offset from its
    value on entry), then undoes it as CE's unwinder does; sp and every saved
    register must come back."""
    registers = {register: ("r", register) for register in range(32)}
    registers[SP] = ("sp", 0)
    memory = {}
    for word in words:
        if (adjustment := sp_adjustment(word)) is not None:
            registers[SP] = ("sp", registers[SP][1] + adjustment)
        elif (store := stored_at_sp(word)) is not None:
            memory[registers[SP][1] + store[1]] = registers[store[0]]
        elif (move := moves(word)) is not None:
            registers[move[0]] = registers[move[1]]
    for word in reversed(words):
        if (adjustment := sp_adjustment(word)) is not None:
            registers[SP] = ("sp", registers[SP][1] - adjustment)
        elif (store := stored_at_sp(word)) is not None:
            registers[store[0]] = memory.get(registers[SP][1] + store[1])
        elif (move := moves(word)) is not None:
            registers[move[1]] = registers[move[0]]
    saved = {store[0] for word in words if (store := stored_at_sp(word)) is not None}
    wrong = [register for register in sorted(saved | {SP})
             if registers[register] != (("sp", 0) if register == SP else ("r", register))]
    if wrong:
        raise ConversionError(f"function {name!r}: undoing its prolog does not give back "
                              f"registers {wrong}")


def function_record(elf, name, start, words):
    """The record of a function, or None for a leaf that never moves sp."""
    if not any(writes_sp(word) for word in words):
        if any(word >> 26 == 3 or word >> 26 == 0 and word & 63 == 9 for word in words):
            raise ConversionError(f"function {name!r} calls without a frame")
        return None
    if sp_adjustment(words[0]) is None or sp_adjustment(words[0]) >= 0 or words[0] & 7:
        raise ConversionError(f"function {name!r} does not open with its sp adjustment")
    prolog = 1
    for index in range(1, len(words)):
        store, move = stored_at_sp(words[index]), moves(words[index])
        if store is None and move != (S8, SP):
            break
        if move or store[0] in CALLEE_SAVED:
            prolog = index + 1
    frame_pointer = any(moves(word) == (S8, SP) for word in words[:prolog])
    for index in range(prolog, len(words)):
        word = words[index]
        store, move = stored_at_sp(word), moves(word)
        at = start + 4 * index
        if store is not None and store[0] in CALLEE_SAVED:
            raise ConversionError(f"function {name!r} saves a register outside its prolog at "
                                  f"0x{at:X}")
        if move is not None and move[1] == SP and move[0] != S8:
            raise ConversionError(f"function {name!r} copies sp at 0x{at:X}")
        if writes_sp(word):
            # Given back just before or in the delay slot of the return, or of
            # the jump of a tail call.
            epilog = (sp_adjustment(word) or 0) > 0 and (
                JR_RA in words[index - 1:index + 2] or words[index - 1] >> 26 == 2) \
                or frame_pointer and move == (SP, S8)
            if not epilog:
                raise ConversionError(f"function {name!r} moves sp at 0x{at:X} outside its "
                                      "prolog and epilogs")
    replay(name, words[:prolog])
    handler = handler_data = 0
    eh_data = elf.symbols.get(EH_DATA_PREFIX + name)
    if eh_data is not None:
        holder = elf.section_at(eh_data, 8)
        handler, handler_data = struct.unpack_from("<II", holder.data,
                                                   eh_data - elf.image_base - holder.rva)
    return MipsRecord(start, start + 4 * len(words), handler, handler_data, start + 4 * prolog)


def function_records(elf):
    """Checks every function's instructions; returns the records, sorted."""
    records = []
    previous_end = 0
    for start, size, name in elf.functions:
        section = elf.section_at(start, size)
        if size == 0 or size % 4 or start % 4 or start < previous_end or section is None \
                or section.characteristics != SECTION_CODE:
            raise ConversionError(f"function {name!r} is not whole words of code after the "
                                  "one before it")
        previous_end = start + size
        words = struct.unpack_from(f"<{size // 4}I", section.data,
                                   start - elf.image_base - section.rva)
        for index, word in enumerate(words):
            if not is_mips2(word):
                raise ConversionError(f"0x{word:08X} at 0x{start + 4 * index:X} in {name!r} is "
                                      "not a MIPS II instruction")
        record = function_record(elf, name, start, words)
        if record is not None:
            records.append(record)
    return records


def collect_base_relocations(elf, iat_range):
    """The base relocations of the link's own: R_MIPS_32 as HIGHLOW, R_MIPS_HI16
    as HIGHADJ with the low half of the full address (from its LO16, which
    becomes LOW), R_MIPS_26 as JMPADDR. Never HIGH, which pairs with a LOW
    one off whenever the low half is 0x8000 or more."""
    fixups = Fixups()
    pending = []  # HI16s waiting for their LO16: (rva, high half, symbol)

    def word_at(address):
        section = elf.section_at(address, 4)
        if section is None:
            raise ConversionError(f"relocation at 0x{address:X} outside the sections")
        return struct.unpack_from("<I", section.data, address - elf.image_base - section.rva)[0]

    for relocation in elf.relocations:
        address, kind = relocation.address, relocation.kind
        rva = address - elf.image_base
        symbol = (relocation.symbol_name, relocation.symbol_section)
        where = f"{relocation.target}+0x{address:X} ({relocation.symbol_name or 'section'})"
        if kind in PC_RELATIVE:
            continue
        if kind in GP_RELATIVE:
            raise ConversionError(f"{GP_RELATIVE[kind]} at {where}: no gp-relative data")
        if kind not in (R_MIPS_32, R_MIPS_26, R_MIPS_HI16, R_MIPS_LO16):
            raise ConversionError(f"relocation type {kind} at {where} is not supported")
        if not (isinstance(relocation.symbol_section, int)
                and relocation.symbol_section in elf.allocated):
            raise ConversionError(f"relocation at {where} to a symbol outside the image")
        if iat_range[0] <= rva < iat_range[1] or rva % 4:
            raise ConversionError(f"relocation at {where} in the import slots or unaligned")
        word = word_at(address)
        if kind == R_MIPS_32:
            fixups.add(rva)
        elif kind == R_MIPS_HI16:
            pending.append((rva, word & 0xFFFF, symbol))
        elif kind == R_MIPS_LO16:
            fixups.add(rva, IMAGE_REL_BASED_LOW)
            for high in [entry for entry in pending if entry[2] == symbol]:
                full = (high[1] << 16) + sign16(word) & 0xFFFFFFFF
                if elf.section_at(full) is None and full != elf.image_base + iat_range[1]:
                    raise ConversionError(f"HI16/LO16 pair at {where} addresses 0x{full:X}, "
                                          "outside the image")
                fixups.add(high[0], IMAGE_REL_BASED_HIGHADJ, full)
                pending.remove(high)
        else:
            target = (address + 4) & 0xF0000000 | (word & 0x03FFFFFF) << 2
            if elf.section_at(target) is None:
                raise ConversionError(f"jump at {where} to 0x{target:X}, outside the image")
            fixups.add(rva, IMAGE_REL_BASED_MIPS_JMPADDR)
    if pending:
        raise ConversionError(f"R_MIPS_HI16 at RVA 0x{pending[0][0]:X} without its R_MIPS_LO16")
    return fixups


def append_exception_directory(elf, records, fixups):
    """Appends the 20-byte records to the code section; returns its (rva, size).
    Every non-zero word is an address and is relocated; the handler and its
    data must be relocated addresses in the image themselves."""
    section = elf.section_at(records[0].begin)
    data = section.data
    data.extend(b"\0" * (align(len(data), 4) - len(data)))
    rva = section.rva + len(data)
    for record in records:
        for value in (record.handler, record.handler_data):
            if value and elf.section_at(value) is None:
                raise ConversionError(f"exception data 0x{value:X} of the function at "
                                      f"0x{record.begin:X} is not in the image")
        for index, word in enumerate(record):
            if word:
                fixups.add(section.rva + len(data) + 4 * index, IMAGE_REL_BASED_HIGHLOW)
        data += struct.pack("<5I", *record)
    following = [s for s in elf.sections if s.rva > section.rva]
    if following and section.rva + len(data) > min(s.rva for s in following):
        raise ConversionError("the exception data does not fit before the next section")
    return rva, 20 * len(records)
