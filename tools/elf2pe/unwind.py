"""ARM unwinding: the exception directory (.pdata), with each function's
prolog read from its code and refused when the kernel could not unwind it."""

import struct
from typing import NamedTuple, Optional

from .elf_input import BX_VENEER_SIZE, BX_VENEER_SYMBOL
from .layout import SECTION_CODE, ConversionError, align

# The CE kernel finds the function that holds a pc through the exception
# directory: 8-byte records sorted by start, word 0 the start VA, word 1 the
# prolog length (bits 0-7) and the function length (bits 8-29) in instructions,
# bit 30 for ARM code and bit 31 when the 8 bytes before the function name its
# language handler and handler data. To find the caller it reverse-executes the
# prolog instructions that ran, knowing only this vocabulary:
#   mov r12, sp                      undone as sp = r12
#   stmdb sp!, {...} / str lr, [sp, #-4]!   undone as the matching load
#   sub sp, sp, #n / ldr r12, [pc, #n]; sub sp, sp, r12   added back
#   mov/add/sub r11, ...             a frame pointer: the stm before it is read
#                                    back through r11 instead
# and passes over anything else. So each function must have a prolog written
# in it, and a function that moves sp anywhere else must either be leaving
# (an epilog) or keep a frame pointer. A function that cannot be described is
# refused rather than given a record that would unwind it wrongly.

PROLOG_LIMIT = 10
EH_DATA_PREFIX = "__eh_"  # an 8-byte object "__eh_F" just before F: F is guarded

REFUSALS = {
    "thumb": "function {name!r} is Thumb code: the image is ARM code only",
    "long": "function {name!r}: prolog of {count} instructions, more than " + str(PROLOG_LIMIT),
    "pc": "function {name!r}: prolog pushes pc at 0x{address:X} (the kernel's trap-frame mark)",
    "undescribable": "function {name!r}: prolog instruction 0x{word:08X} cannot be described "
                     "to the unwinder (at 0x{address:X})",
    "sp": "function {name!r} moves sp at 0x{address:X} outside its prolog and epilogs "
          "without a frame pointer",
}


def refuse(reason, **fields):
    raise ConversionError(REFUSALS[reason].format(**fields))


SP, FP, IP, LR, PC = 13, 11, 12, 14, 15


def rotated_immediate(word):
    value, rotation = word & 0xFF, (word >> 8 & 0xF) * 2
    return (value >> rotation | value << (32 - rotation)) & 0xFFFFFFFF


def written_registers(word):
    """The registers an ARM instruction may write (branches: pc; bl: pc, lr)."""
    kind = word >> 25 & 7
    rn, rd = word >> 16 & 15, word >> 12 & 15
    writeback = not word & 1 << 24 or word & 1 << 21
    if kind == 5:
        return {PC, LR} if word & 1 << 24 else {PC}
    if kind == 4:  # ldm/stm
        written = {rn} if word & 1 << 21 else set()
        if word & 1 << 20:
            written |= {r for r in range(16) if word & 1 << r}
        return written
    if kind in (2, 3):  # ldr/str
        return ({rn} if writeback else set()) | ({rd} if word & 1 << 20 else set())
    if kind == 0 and word & 0x90 == 0x90:
        if word & 0x60 == 0:  # multiplies, swp
            if word & 0x0FB00FF0 == 0x01000090:
                return {rd}
            return {rn, rd} if word & 1 << 23 else {rn}
        return ({rn} if writeback else set()) | ({rd} if word & 1 << 20 else set())
    if kind in (0, 1):
        opcode = word >> 21 & 15
        if 8 <= opcode <= 11 and not word & 1 << 20:  # mrs, msr, bx
            if word & 0x0FFFFFF0 == 0x012FFF10:
                return {PC}
            return {rd} if word & 0x0FBF0FFF == 0x010F0000 else set()
        return set() if 8 <= opcode <= 11 else {rd}
    return set()  # coprocessor, swi


def describe_prolog(name, start, words):
    """Returns (prolog length, whether it sets a frame pointer)."""
    offset = 0  # sp relative to its value on entry, in bytes
    r12_is_entry_sp = False
    pushes = []  # (offset after the push, registers)
    frame_pointer = None
    allocating = False
    length = 0
    for index, word in enumerate(words):
        address = start + 4 * index
        written = written_registers(word)
        unconditional = word >> 28 == 0xE
        if word & 0x0FFF0000 == 0x092D0000 and unconditional:  # stmdb sp!, {...}
            if word & 1 << PC:
                refuse("pc", name=name, address=address)
            if allocating or frame_pointer is not None:
                break
            registers = {r for r in range(16) if word & 1 << r}
            offset -= 4 * len(registers)
            pushes.append((offset, registers))
        elif word == 0xE52DE004:  # str lr, [sp, #-4]!
            if allocating or frame_pointer is not None:
                break
            offset -= 4
            pushes.append((offset, {LR}))
        elif word == 0xE1A0C00D and index == 0:  # mov r12, sp
            r12_is_entry_sp = True
        elif word & 0xFFFFF000 == 0xE24DD000:  # sub sp, sp, #n
            offset -= rotated_immediate(word)
            allocating = True
        elif word == 0xE04DD00C and index and words[index - 1] & 0xFFFFF000 == 0xE59FC000:
            allocating = True  # sub sp, sp, r12 after ldr r12, [pc, #n]
        elif FP in written and not allocating and frame_pointer is None and (
                word & 0xFFFFF000 in (0xE28DB000, 0xE24CB000, 0xE28CB000)
                or word in (0xE1A0B00C, 0xE1A0B00D)):
            # add r11, sp, #n / sub r11, r12, #n / add r11, r12, #n / mov r11, r12 / mov r11, sp
            base = offset if word & 0xF0000 == 0xD0000 or word == 0xE1A0B00D else 0
            step = rotated_immediate(word) if word & 1 << 25 else 0
            frame_pointer = base - step if word & 0x01E00000 == 0x00400000 else base + step
            if (not r12_is_entry_sp or len(pushes) != 1 or IP not in pushes[0][1]
                    or frame_pointer != pushes[0][0] + 4 * len(pushes[0][1])):
                refuse("undescribable", name=name, word=word, address=address)
        elif SP in written and not (frame_pointer is not None or releases_sp(word)):
            refuse("undescribable", name=name, word=word, address=address)
        elif written & {SP, FP, PC} or word & 0x0FFF0FFF == 0x01A0000D:
            break  # the body starts: a branch, an epilog, a frame pointer use, mov rX, sp
        elif r12_is_entry_sp and not pushes and IP in written:
            refuse("undescribable", name=name, word=word, address=address)
        else:
            continue  # passed over by the unwinder, not a prolog instruction
        length = index + 1
    if r12_is_entry_sp and not (pushes and IP in pushes[0][1]):
        refuse("undescribable", name=name, word=words[0], address=start)
    if length > PROLOG_LIMIT:
        refuse("long", name=name, count=length)
    return length, frame_pointer is not None


def releases_sp(word):
    """add sp, sp, #n; ldmia sp!, {...}; ldr rX, [sp], #n: giving stack back."""
    return (word & 0x0FFFF000 == 0x028DD000 or word & 0x0FFF0000 == 0x08BD0000
            or word & 0x0FFF0000 == 0x049D0000)


def check_sp_moves(name, start, words, code, prolog_length):
    """Outside the prolog sp may only be given back on the way out: each
    release must run, unconditionally, into the function's exit."""
    end = start + 4 * len(words)
    for index in range(prolog_length, len(words)):
        word = words[index]
        if not code[index] or SP not in written_registers(word):
            continue
        address = start + 4 * index
        if word >> 28 != 0xE or not releases_sp(word):
            refuse("sp", name=name, address=address)
        for later in range(index, len(words)):
            word = words[later]
            written = written_registers(word)
            if not code[later]:
                refuse("sp", name=name, address=address)
            if later > index and SP in written and not (word >> 28 == 0xE and releases_sp(word)):
                refuse("sp", name=name, address=address)
            if PC not in written:
                continue
            target = start + 4 * later + 8 + ((word & 0xFFFFFF ^ 0x800000) - 0x800000) * 4
            leaves = word >> 25 & 7 != 5 or not start <= target < end
            called = LR in written or (later and words[later - 1] == 0xE1A0E00F)
            if word >> 28 != 0xE or not leaves or called:
                refuse("sp", name=name, address=address)
            break
        else:
            refuse("sp", name=name, address=address)


class ExceptionRecord(NamedTuple):
    start: int  # the function's address
    word: int  # prolog and function length, ARM, handler flag
    handler_data: Optional[int]  # the address of its handler words, when guarded


def function_records(elf):
    """Returns an ExceptionRecord per function of the image, sorted by start."""
    starts = {}
    for address, size, name in elf.functions:
        if BX_VENEER_SYMBOL.match(name) and size == 0:
            size = BX_VENEER_SIZE  # checked by check_bx_veneers
        if address & 1 or any(kind == "t" and address & ~1 <= at < (address & ~1) + size
                              for at, kind in elf.mapping):
            refuse("thumb", name=name)
        if size == 0 or size % 4 or address % 4:
            raise ConversionError(f"function {name!r} has no size or is not word aligned")
        if starts.get(address, (size, name))[0] != size:
            raise ConversionError(f"functions {starts[address][1]!r} and {name!r} overlap")
        starts[address] = (size, name)
    for at, kind in elf.mapping:
        if kind == "t":
            raise ConversionError(f"Thumb code at 0x{at:X} in the image")
    records = []
    previous_end = 0
    for start in sorted(starts):
        size, name = starts[start]
        if start < previous_end:
            raise ConversionError(f"function {name!r} overlaps the one before it")
        previous_end = start + size
        section = elf.section_at(start, size)
        if section is None or section.characteristics != SECTION_CODE:
            raise ConversionError(f"function {name!r} is not in a code section")
        words = struct.unpack_from(f"<{size // 4}I", section.data,
                                   start - elf.image_base - section.rva)
        # Data in the function (literal pools) is not decoded.
        code = []
        for index in range(len(words)):
            at = start + 4 * index
            kinds = [kind for where, kind in elf.mapping if where <= at]
            code.append(not kinds or kinds[-1] != "d")
        prolog = 0
        while prolog < len(words) and code[prolog]:
            prolog += 1
        prolog_length, frame_pointer = describe_prolog(name, start, words[:prolog])
        if not frame_pointer:
            check_sp_moves(name, start, words, code, prolog_length)
        handler_data = elf.symbols.get(EH_DATA_PREFIX + name)
        if handler_data is not None:
            if handler_data != start - 8:
                raise ConversionError(f"{EH_DATA_PREFIX + name} is not just before {name!r}")
            if prolog_length == 0:
                raise ConversionError(f"guarded function {name!r} has no prolog: the kernel "
                                      "would never call its handler")
        word = prolog_length | (size // 4) << 8 | 1 << 30 | (handler_data is not None) << 31
        records.append(ExceptionRecord(start, word, handler_data))
    return records


def append_exception_directory(elf, records, fixups):
    """Appends the .pdata records to the code section that holds the
    functions; returns its (rva, size). The starts, the handler words and
    the handler data words are relocated."""
    section = elf.section_at(records[0].start)
    data = section.data
    data.extend(b"\0" * (align(len(data), 4) - len(data)))
    rva = section.rva + len(data)
    starts = {record.start for record in records}
    for record in records:
        fixups.add(section.rva + len(data))
        data += struct.pack("<II", record.start, record.word)
        if record.handler_data is None:
            continue
        for where in (record.handler_data, record.handler_data + 4):
            holder = elf.section_at(where, 4)
            value = struct.unpack_from("<I", holder.data,
                                       where - elf.image_base - holder.rva)[0]
            if where - elf.image_base not in fixups or elf.section_at(value) is None:
                raise ConversionError(f"handler word at 0x{where:X} is not a relocated address "
                                      "in the image")
            if where == record.handler_data and value not in starts:
                raise ConversionError(f"the handler at 0x{value:X} is not a function")
    following = [s for s in elf.sections if s.rva > section.rva]
    if following and section.rva + len(data) > min(s.rva for s in following):
        raise ConversionError("the exception data does not fit before the next section")
    return rva, 8 * len(records)
