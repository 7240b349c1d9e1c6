"""Runs comenrol.exe for Windows CE x86 on an emulated CPU as a CE 6/7 device
would, on the shared groundwork (tests/emulation.py):

- Loading at the run's base (0x10000 as on CE 5/6, or elsewhere as on CE 7),
  under strict no-execute: an image without NX_COMPAT is refused.
- Every instruction the image runs must be an i486's: no CMOV, MMX, SSE,
  CPUID, long NOP or later, and no x87 (486SX boards have no FPU).
- Imports: COREDLL.dll by ordinal, the import table's, each a stub running
  the ARM device's model in the platform's convention (the system functions
  pop their arguments, the C library's do not). A model refuses the direction
  flag set, esp not 4-aligned or a caller outside the image, and leaves
  garbage in ecx, edx and its argument slots.
- Each call the image makes must come back with just its callee's arguments
  popped (none for the image's own functions) and ebx, esi, edi, ebp kept; a
  function's calls and its leave happen at one depth, so a callee popping
  other than its caller expects fails even where leave would hide it.
- The entry is called caller-cleans with (instance, 0, text, 5), esp 4- but
  not 16-aligned, fs:[0] heading a chain of one outer record; it must pop only
  its return address and keep ebx, esi, edi, ebp, fs:[0] and a clear DF.
- A row's module entry returns its status, or links its own record, sets DF
  and faults (writes address 0) or raises through RaiseException, dispatched
  as CE 6/7 do (dispatch below) with the filter answering the run's verdicts
  in turn; one no record takes ends the run with the system's box.
- As Compact 2013 (compact2013=True): its COREDLL ordinals alone, an image of
  subsystem version 8.00 or later (CE 6/7 refuse one above 7.00), no handler
  check, ExitThread or TerminateProcess ending the process with their status,
  and an exception no record takes ending it with its code and no box.
"""

import os
import struct
from dataclasses import dataclass, field

from unicorn import (UC_ARCH_X86, UC_HOOK_CODE, UC_HOOK_MEM_INVALID, UC_MEM_WRITE_PROT,
                     UC_MEM_WRITE_UNMAPPED, UC_MODE_32, UC_PROT_EXEC, UC_PROT_READ,
                     UC_PROT_WRITE, Uc, UcError)
from unicorn.x86_const import (UC_X86_REG_EAX, UC_X86_REG_EBP, UC_X86_REG_EBX, UC_X86_REG_ECX,
                               UC_X86_REG_EDI, UC_X86_REG_EDX, UC_X86_REG_EFLAGS, UC_X86_REG_EIP,
                               UC_X86_REG_ESI, UC_X86_REG_ESP, UC_X86_REG_FS, UC_X86_REG_GDTR,
                               UC_X86_REG_SS)

import ce_harness
from ce_cases import FAULT, IMAGE_BASE, Raise
from emulation import EmulationError, Guest, Image
from expected import CE_COREDLL, COMPACT2013_COREDLL, signed32

STUBS = 0x00800000  # 16 bytes of hlt per COREDLL stub, then the module's own callees
RAISE_STUB, MODULE_HANDLER, SYSTEM_HANDLER = STUBS + 0x800, STUBS + 0x810, STUBS + 0x820
MODULE_CODE = 0x00900000  # the modelled modules' entries
RETURN, CALL_RETURN = 0x00A00000, 0x00A00100  # where the entry, and a handler, return to
LINE = 0x00B00000  # the argument text, read-only
THREAD, GDT = 0x00B10000, 0x00B20000  # fs: the thread's block, +0 the chain head
STACK, STACK_SIZE = 0x00C00000, 0x10000
OUTER = STACK + STACK_SIZE - 0x20  # the record the chain starts with: {end, system handler}
START_ESP = STACK + STACK_SIZE - 0x44  # 4-aligned, not 16-aligned
END_OF_CHAIN = 0xFFFFFFFF
INSTRUCTION_LIMIT = 1_000_000

# Each COREDLL operation's arguments (a variadic one's as the run passes them),
# and whether it pops them: the system functions do, the C library's do not.
CONVENTIONS = {"LoadModule": (1, True), "FindEntry": (2, True), "LastErrorCode": (0, True),
               "ShowMessageBox": (4, True), "FormatText": (3, False),
               "FindSubstring": (2, False), "FindUnit": (2, False), "FillBytes": (3, False),
               "FilterException": (2, False), "RaiseException": (4, True),
               "ExitThread": (1, True), "TerminateProcess": (2, True)}
DIRECTION = 0x400  # EFLAGS.DF
CALLEE_SAVED = (UC_X86_REG_EBX, UC_X86_REG_ESI, UC_X86_REG_EDI, UC_X86_REG_EBP)
# The registers of a CONTEXT from Edi on: Edi, Esi, Ebx, Edx, Ecx, Eax, Ebp, Eip, SegCs,
# EFlags, Esp.
CONTEXT_REGISTERS = (UC_X86_REG_EDI, UC_X86_REG_ESI, UC_X86_REG_EBX, UC_X86_REG_EDX,
                     UC_X86_REG_ECX, UC_X86_REG_EAX, UC_X86_REG_EBP, UC_X86_REG_EIP, None,
                     UC_X86_REG_EFLAGS, UC_X86_REG_ESP)
CONTEXT_SIZE, CONTEXT_EDI, CONTEXT_EAX = 0x2CC, 0x9C, 0xB0
RECORD_SIZE = 80
NONCONTINUABLE, UNWINDING, TARGET_UNWIND = 1, 2, 0x20
CONTINUE_EXECUTION, CONTINUE_SEARCH, EXECUTE_HANDLER = 0, 1, 4
NO_SEH, NX_COMPAT = 0x400, 0x100

# What an i486 runs after 0F; one-byte opcodes are all its own but the x87 escapes.
PREFIXES = frozenset(b"\x26\x2e\x36\x3e\x64\x65\x66\x67\xf0\xf2\xf3")
I486_0F = frozenset([0x00, 0x01, 0x02, 0x03, 0x06, 0x08, 0x09, 0x20, 0x21, 0x22, 0x23,
                     *range(0x80, 0xA2), 0xA3, 0xA4, 0xA5, 0xA8, 0xA9, 0xAB, 0xAC, 0xAD, 0xAF,
                     *range(0xB0, 0xB8), *range(0xBA, 0xC2), *range(0xC8, 0xD0)])


@dataclass
class Frame:
    """A call not yet returned: where it returns to, esp before it, the
    caller's ebx, esi, edi and ebp, the bytes its callee pops, and the depth
    of the calls the callee makes in turn."""
    ret: int
    esp: int
    saved: list
    pops: int = 0
    entered: str = None  # what ran first after the call: "image", "model"
    depth: int = None


@dataclass
class Outcome(ce_harness.Outcome):
    handlers: list = field(default_factory=list)  # (module or system, flags) as they were asked
    ended_by: str = None  # what ended the process, when the entry did not return


class ProcessEnded(Exception):
    """A COREDLL call ended the process: the run is over."""


def gdt_entry(base, limit, access, flags):
    return struct.pack("<Q", limit & 0xFFFF | (base & 0xFFFFFF) << 16 | access << 40
                       | (limit >> 16 & 0xF) << 48 | flags << 52 | (base >> 24) << 56)


class Device(Guest):
    """One run at `base`; the filter answers `verdicts` in turn, the last one
    for good."""

    def __init__(self, image_path, modules=None, base=0x10000, verdicts=(), compact2013=False):
        super().__init__(Uc(UC_ARCH_X86, UC_MODE_32))
        self.modules, self.verdicts, self.base = modules or {}, list(verdicts), base
        self.compact2013 = compact2013
        self.table = COMPACT2013_COREDLL if compact2013 else CE_COREDLL
        self.process = os.path.basename(image_path)
        self.outcome = Outcome()
        self.last_error, self.handles, self.entries, self.stubs = 0, {}, [], {}
        self.frames, self.error, self.raised, self.access = [], None, None, None
        # The COREDLL operations are modelled once for every CE processor.
        self.models = ce_harness.coredll_models(self)
        self.models["FilterException"] = self.filter_exception  # the verdicts in turn
        self.models["ExitThread"] = lambda code: self.end_process("ExitThread", code)
        self.models["TerminateProcess"] = lambda process, code: self.end_process(
            f"TerminateProcess(0x{process:X})", code)
        with open(image_path, "rb") as stream:
            self.image = Image(stream.read())
        optional = self.image.pe.OPTIONAL_HEADER
        if (self.image.pe.FILE_HEADER.Machine != 0x014C
                or not optional.DllCharacteristics & NX_COMPAT):
            raise EmulationError("not an x86 image that strict no-execute lets run")
        version = (optional.MajorSubsystemVersion, optional.MinorSubsystemVersion)
        if (version < (8, 0)) if compact2013 else (version > (7, 0)):
            raise EmulationError("subsystem version %d.%02d: not an image this generation runs"
                                 % version)
        self.entry = self.load(self.image, base, at_preferred_base=base == optional.ImageBase)
        self.code = range(base, base + self.image.size)
        self.map(STUBS, 0x1000, UC_PROT_READ | UC_PROT_EXEC, b"\xf4" * 0x1000)
        self.bind(self.image, base, ce_harness.stub_binder(self, STUBS))
        self.stubs[RAISE_STUB] = "RaiseException"
        ce_harness.place_module_entries(self, MODULE_CODE)
        self.map(RETURN, 0x1000, UC_PROT_READ | UC_PROT_EXEC, b"\xf4" * 0x1000)
        self.map(STACK, STACK_SIZE, UC_PROT_READ | UC_PROT_WRITE)
        self.map(THREAD, 0x1000, UC_PROT_READ | UC_PROT_WRITE, struct.pack(
            "<3I", OUTER, STACK + STACK_SIZE, STACK))
        # fs selects the thread's block; loading it needs a descriptor table,
        # which then has to describe the flat 32-bit stack too.
        self.map(GDT, 0x1000, UC_PROT_READ, bytes(8) + gdt_entry(THREAD, 0xFFF, 0xF2, 0x4)
                 + gdt_entry(0, 0xFFFFF, 0x92, 0xC))
        self.write_words(OUTER, [END_OF_CHAIN, SYSTEM_HANDLER])
        self.uc.hook_add(UC_HOOK_CODE, self.on_image, begin=base, end=base + self.image.size - 1)
        self.uc.hook_add(UC_HOOK_CODE, self.on_callee, begin=STUBS, end=MODULE_CODE + 0xFFF)
        self.uc.hook_add(UC_HOOK_MEM_INVALID, self.on_invalid_access)

    @staticmethod
    def entry_code(status):
        """x86 code of a module's entry that does `status`."""
        if not (status is FAULT or isinstance(status, Raise)):
            return b"\xb8" + struct.pack("<I", status & 0xFFFFFFFF) + b"\xc3"  # mov eax; ret
        # push handler; push fs:[0]; mov fs:[0], esp; std
        code = b"\x68" + struct.pack("<I", MODULE_HANDLER) + bytes.fromhex("64ff3500000000"
                                                                            "64892500000000fd")
        if status is FAULT:
            code += bytes.fromhex("c7050000000001000000")  # mov dword [0], 1
        else:  # RaiseException(code, 0, 0, 0) through eax
            code += bytes.fromhex("6a006a006a0068") + struct.pack("<I", status.code) + \
                b"\xb8" + struct.pack("<I", RAISE_STUB) + b"\xff\xd0"
        # cld; pop fs:[0]; pop ecx; xor eax, eax; ret
        return code + bytes.fromhex("fc648f05000000005931c0c3")

    # Running -----------------------------------------------------------

    def run(self, command_line):
        text = command_line.encode("utf-16-le") + b"\0\0"
        self.map(LINE, len(text), UC_PROT_READ, text)
        self.uc.reg_write(UC_X86_REG_GDTR, (0, GDT, 0x18, 0))
        self.uc.reg_write(UC_X86_REG_FS, 1 << 3 | 3)
        self.uc.reg_write(UC_X86_REG_SS, 2 << 3)
        self.write_words(START_ESP, [IMAGE_BASE, 0, LINE, 5])
        self.write_words(START_ESP - 4, [RETURN])
        self.uc.reg_write(UC_X86_REG_ESP, START_ESP - 4)
        for index, register in enumerate(CALLEE_SAVED):
            self.uc.reg_write(register, 0x5AFE0000 + index)
        self.uc.reg_write(UC_X86_REG_EFLAGS, 0x202)
        self.frames = [Frame(RETURN, START_ESP, self.registers(CALLEE_SAVED))]
        pc = self.entry
        try:
            while (exception := self.execute(pc, RETURN)) is not None:
                if len(self.outcome.filter_calls) > 8:
                    raise EmulationError("the exception keeps coming back")
                pc = self.dispatch(*exception)
                if pc is None:
                    return self.outcome
        except ProcessEnded:
            return self.outcome
        got = (self.uc.reg_read(UC_X86_REG_ESP), self.registers(CALLEE_SAVED),
               self.read_word(THREAD), self.uc.reg_read(UC_X86_REG_EFLAGS) & DIRECTION)
        kept = (START_ESP, self.frames[0].saved, OUTER, 0)
        if got != kept:
            raise EmulationError("the entry returned with esp, ebx, esi, edi, ebp, fs:[0], DF "
                                 f"{hexes(got)}, not {hexes(kept)}")
        self.outcome.status = signed32(self.uc.reg_read(UC_X86_REG_EAX))
        return self.outcome

    def registers(self, registers):
        return [self.uc.reg_read(register) for register in registers]

    def execute(self, pc, until):
        """Runs from pc to `until`. Returns None, or an exception of a
        module's entry as (code, address, parameters, eip, esp)."""
        self.raised = self.access = None
        try:
            self.uc.emu_start(pc, until, count=INSTRUCTION_LIMIT)
        except UcError as error:
            if self.error:
                raise self.error from None
            eip = self.uc.reg_read(UC_X86_REG_EIP)
            if self.access and eip in range(MODULE_CODE, MODULE_CODE + 0x1000):
                return 0xC0000005, eip, list(self.access), eip, self.uc.reg_read(UC_X86_REG_ESP)
            raise EmulationError(f"{error} at 0x{eip:08X}") from None
        if self.error:
            raise self.error
        if self.outcome.ended_by:
            raise ProcessEnded()
        if self.raised:
            return self.raised
        if self.uc.reg_read(UC_X86_REG_EIP) != until:
            raise EmulationError(f"stopped at 0x{self.uc.reg_read(UC_X86_REG_EIP):08X}")
        return None

    def fail(self, message):
        self.error = self.error or EmulationError(message)
        self.uc.emu_stop()

    def on_invalid_access(self, uc, access, address, size, value, user_data):
        self.access = (int(access in (UC_MEM_WRITE_UNMAPPED, UC_MEM_WRITE_PROT)), address)
        return False

    def on_image(self, uc, address, size, user_data):
        code = bytes(uc.mem_read(address, size))
        at = 0
        while code[at] in PREFIXES:
            at += 1
        opcode = code[at]
        if (opcode == 0x0F and code[at + 1] not in I486_0F or 0xD8 <= opcode <= 0xDF
                or opcode in (0xC4, 0xC5) and code[at + 1] >= 0xC0):
            return self.fail(f"{code.hex()} at 0x{address:08X} is not an i486 instruction")
        esp = uc.reg_read(UC_X86_REG_ESP)
        top = self.frames[-1]
        if address == top.ret and esp >= top.esp:  # the call returns
            got = (esp - top.esp, self.registers(CALLEE_SAVED))
            if got != (top.pops, top.saved):
                return self.fail(f"the call returning to 0x{address:08X} popped {got[0]} bytes, "
                                 f"not {top.pops}; ebx, esi, edi, ebp {hexes(got[1])}, not "
                                 f"{hexes(top.saved)}")
            self.frames.pop()
            top = self.frames[-1]
        elif top.entered is None:
            top.entered = "image"
        if esp == top.esp - 4:  # at a function's start: it may be a tail call's callee
            top.depth = None
        if opcode == 0xE8 or opcode == 0xFF and code[at + 1] >> 3 & 7 == 2 or opcode == 0xC9:
            if top.depth not in (None, esp):
                return self.fail(f"0x{address:08X} runs at esp 0x{esp:08X}, its function's "
                                 f"calls at 0x{top.depth:08X}: a callee popped other than "
                                 "expected")
            top.depth = esp
            if opcode != 0xC9:
                self.frames.append(Frame(address + size, esp, self.registers(CALLEE_SAVED)))

    def on_callee(self, uc, address, size, user_data):
        for name, export, _, entry in self.entries:
            if address == entry:
                self.outcome.calls.append(f"{name}!{export}")
        if address not in self.stubs:
            return
        name = self.stubs[address]
        count, pops = CONVENTIONS[name]
        pops *= 4 * count
        esp = uc.reg_read(UC_X86_REG_ESP)
        ret, *args = self.read_words(esp, 1 + count + (name == "FormatText"))
        top = self.frames[-1]
        try:
            if name == "RaiseException":  # by a module, with the flags it had
                self.raised = (args[0], ret, [], ret, esp + 4 + pops)
                return uc.emu_stop()
            if esp % 4 or uc.reg_read(UC_X86_REG_EFLAGS) & DIRECTION or ret not in self.code:
                raise EmulationError(f"{name} called from 0x{ret:08X} with esp 0x{esp:08X}, "
                                     f"EFLAGS 0x{uc.reg_read(UC_X86_REG_EFLAGS):X}")
            self.outcome.calls.append(name)
            result = self.models[name](*args)
        except EmulationError as error:
            self.error = self.error or error
            return uc.emu_stop()
        if top.entered is None and (top.ret, top.esp) == (ret, esp + 4):
            top.entered, top.pops = "model", pops
        self.clobber((UC_X86_REG_ECX, UC_X86_REG_EDX))
        uc.reg_write(UC_X86_REG_EAX, (result or 0) & 0xFFFFFFFF)
        uc.mem_write(esp + 4, b"\xa5" * 4 * count)  # a callee may write over its arguments
        uc.reg_write(UC_X86_REG_ESP, esp + 4 + pops)
        uc.reg_write(UC_X86_REG_EIP, ret)

    def end_process(self, how, code):
        self.outcome.status, self.outcome.ended_by = signed32(code), how
        self.uc.emu_stop()

    def filter_exception(self, code, pointers, *_):
        record = self.read_word(pointers)
        self.outcome.filter_calls.append(
            ce_harness.FilterCall(code, pointers, self.read_word(record)))
        if not self.verdicts:
            raise EmulationError("the exception filter was asked, but the run chose no verdict")
        return self.verdicts.pop(0) if len(self.verdicts) > 1 else self.verdicts[0]

    # Exception dispatch, as CE 6/7's COREDLL does it ---------------------

    def dispatch(self, code, address, parameters, eip, esp):
        """Writes the record and the CONTEXT under the faulting esp and walks
        the chain from fs:[0] while a record passes CE's stack check. Returns
        where to resume, or None when no record takes the exception."""
        context = (esp - CONTEXT_SIZE - 0x40) & ~3
        record = context - RECORD_SIZE
        dispatcher = record - 16
        self.uc.mem_write(context, bytes(CONTEXT_SIZE))
        self.write_words(context, [0x10007])  # CONTEXT_FULL
        registers = [eip if r == UC_X86_REG_EIP else esp if r == UC_X86_REG_ESP else
                     0x1B if r is None else self.uc.reg_read(r) for r in CONTEXT_REGISTERS]
        self.write_words(context + CONTEXT_EDI, registers)
        self.write_words(record, [code, 0, 0, address, len(parameters)] + parameters)
        frame = self.read_word(THREAD)
        while frame % 4 == 0 and STACK < frame <= STACK + STACK_SIZE - 16:
            handler = self.read_word(frame + 4)
            self.write_words(dispatcher, [frame, 0, 0, 0])  # the control pc zeroed
            answer = self.call(handler, [record, frame, context, dispatcher], dispatcher - 64,
                               registers[9])
            if answer == EXECUTE_HANDLER:
                self.unwind(record, frame, context, dispatcher)
                self.write_words(context + CONTEXT_EAX, [code])
                return self.resume(context)
            if answer == CONTINUE_EXECUTION and not self.read_word(record + 4) & NONCONTINUABLE:
                return self.resume(context)
            if answer != CONTINUE_SEARCH:
                break
            frame = self.read_word(frame)
        if self.compact2013:  # the process ends with the code, and no box
            self.end_process("unhandled", code)
            return None
        self.outcome.unhandled = ce_harness.SystemBox(self.process, code, address)
        return None

    def unwind(self, record, target, context, dispatcher):
        """Calls each record above the target as unwinding, taking it off the
        chain, then the target's own handler, which must pass."""
        flags = self.read_word(record + 4)
        while (frame := self.read_word(THREAD)) != target:
            self.write_words(record + 4, [flags | UNWINDING])
            self.call(self.read_word(frame + 4), [record, frame, context, dispatcher],
                      dispatcher - 64, 0x202)
            self.write_words(THREAD, [self.read_word(frame)])
        self.write_words(record + 4, [flags | UNWINDING | TARGET_UNWIND])
        answer = self.call(self.read_word(target + 4), [record, target, context, dispatcher],
                           dispatcher - 64, 0x202)
        if answer != CONTINUE_SEARCH:
            raise EmulationError(f"the handler answered {answer} to its own unwind")

    def resume(self, context):
        """Loads the registers from the CONTEXT, as CE 6/7 do (4 bytes under
        the new esp are written on the way); returns the new eip."""
        values = self.read_words(context + CONTEXT_EDI, 11)
        for register, value in zip(CONTEXT_REGISTERS, values):
            if register not in (None, UC_X86_REG_EIP):
                self.uc.reg_write(register, value)
        esp = values[10]
        self.write_words(esp - 4, [0xDEADD15C])
        self.frames = [frame for frame in self.frames if frame.esp > esp]
        return values[7]

    def call(self, handler, args, sp, flags):
        """Validates the handler as CE 6/7 do and calls it with the flags
        given; returns its answer. Either convention will do (the dispatcher
        resumes from the CONTEXT); ebx, esi, edi, ebp and fs:[0] must be kept."""
        self.validate(handler)
        if handler in (MODULE_HANDLER, SYSTEM_HANDLER):
            kind = "module" if handler == MODULE_HANDLER else "system"
            self.outcome.handlers.append((kind, self.read_word(args[0] + 4)))
            return CONTINUE_SEARCH
        self.write_words(sp, [CALL_RETURN] + args)
        self.uc.reg_write(UC_X86_REG_ESP, sp)
        self.uc.reg_write(UC_X86_REG_EFLAGS, flags)
        chain = self.read_word(THREAD)
        self.frames.append(Frame(CALL_RETURN, sp + 4, self.registers(CALLEE_SAVED), entered="-"))
        if self.execute(handler, CALL_RETURN) is not None:
            raise EmulationError("an exception while one is dispatched is not modelled")
        frame = self.frames.pop()
        if (self.registers(CALLEE_SAVED), self.read_word(THREAD)) != (frame.saved, chain):
            raise EmulationError("the handler did not keep ebx, esi, edi, ebp and fs:[0]")
        return self.uc.reg_read(UC_X86_REG_EAX)

    def validate(self, handler):
        """CE 6/7's check of a frame handler. In an image: refused when the
        image has NO_SEH; when its load configuration lists safe handlers,
        accepted if listed and refused if not; otherwise its page must be
        committed and executable, and the image's pages count as not yet
        paged in. Outside an image: an executable page passes. Compact 2013
        checks nothing."""
        if self.compact2013:
            return
        if handler not in self.code:
            if handler not in range(STUBS, MODULE_CODE + 0x1000):
                raise EmulationError(f"handler 0x{handler:08X} is not in executable memory")
            return
        header = self.base + self.read_word(self.base + 0x3C)
        characteristics = self.read_word(header + 0x5C) >> 16
        directory, size = self.read_words(header + 0x78 + 8 * 10, 2)
        why = "the image has NO_SEH"
        if not characteristics & NO_SEH:
            why = "its page is not paged in and the execute check is on"
            if directory and size >= 4 and self.read_word(self.base + directory) >= 0x48:
                table, count = self.read_words(self.base + directory + 0x40, 2)
                if table and count:
                    # A binary search, which may read one entry past the end.
                    if handler - self.base in self.read_words(table, count + 1)[:count]:
                        return
                    why = "it is not in the image's safe-handler table"
        raise EmulationError(f"CE refuses handler 0x{handler:08X}: {why} (report 0xC0000409, "
                             "the exception unhandled)")


def hexes(values):
    return " ".join(hexes(v) if isinstance(v, list) else f"{v:08X}" for v in values)


def run(image_path, command_line, modules=None, **device):
    """Runs the image once with the argument text; returns the Outcome.
    `device` takes the base, the filter's verdicts and the generation."""
    return Device(image_path, modules, **device).run(command_line)
