"""Runs comenrol.exe for Windows CE on MIPS on an emulated MIPS32 4Kc core as
a CE device would, on the shared groundwork (tests/emulation.py):

- Loading at the run's base, with CE's MIPS fix-ups (HIGHADJ, LOW, JMPADDR;
  HIGH as CE settles it with its LOW).
- Every instruction the image runs must be MIPS II: the 4Kc runs movn, mul,
  clz and the like without a word, so they are refused here.
- Imports: COREDLL.dll by ordinal, each a stub running the ARM device's model
  with a0-a3 as its arguments and v0 as its result; a model refuses sp not
  8-aligned or a caller outside the image, and leaves garbage in every
  register a callee may change.
- The entry is called with a0-a3 = (instance, 0, text, 5), an 8-aligned sp
  over a 16-byte home area, and must give back sp, s0-s8 and gp.
- A row's module entry returns its status, faults (writes address 0) or
  raises (through a stub, as RaiseException does), dispatched as CE's MIPS
  dispatcher does it: the frames walked from the exception through the loaded
  image's .pdata (20-byte records), each prolog undone in reverse as CE's
  unwinder does (a function without a record is a leaf: the caller is at
  ra - 4), and a guarded frame's handler called as code, with COREDLL's C
  language handler modelled over its scope table and the run's verdict from
  the runtime's filter.
"""

import struct
from dataclasses import dataclass, field

from unicorn import (UC_ARCH_MIPS, UC_HOOK_CODE, UC_HOOK_MEM_INVALID, UC_MODE_LITTLE_ENDIAN,
                     UC_MODE_MIPS32, UC_PROT_EXEC, UC_PROT_READ, UC_PROT_WRITE, Uc, UcError)
from unicorn.mips_const import UC_CPU_MIPS32_4KC, UC_MIPS_REG_0, UC_MIPS_REG_PC

import ce_harness
from ce_cases import FAULT, IMAGE_BASE, Raise
from emulation import EmulationError, Guest, Image
from expected import CE_COREDLL, signed32

STUBS = 0x00800000  # 16 bytes per COREDLL stub: jr ra; nop
RAISE_STUB = STUBS + 0x800
MODULE_CODE = 0x00900000  # the modelled modules' entries
RETURN, CALL_RETURN = 0x00A00000, 0x00A00100  # where the entry, and a handler, return to
LINE = 0x00B00000
STACK, STACK_SIZE = 0x00C00000, 0x10000
START_SP = STACK + STACK_SIZE - 0x40
INSTRUCTION_LIMIT = 1_000_000
JR_RA_NOP = struct.pack("<2I", 0x03E00008, 0)
REGISTER = [UC_MIPS_REG_0 + n for n in range(32)]
A0, V0, SP, S8, RA, PC = 4, 2, 29, 30, 31, 32
KEPT = [*range(16, 24), 28, S8]  # s0-s7, gp, s8
SCRATCH = [1, 3, *range(4, 16), 24, 25]  # at, v1, a0-a3, t0-t9
CONTINUE_EXECUTION, CONTINUE_SEARCH, EXECUTE_HANDLER = 0, 1, 4


def not_mips2(word):
    """MIPS32 and later, 64-bit, coprocessor or MIPS IV instructions."""
    opcode, funct = word >> 26, word & 63
    return (opcode in (17, 18, 19, 24, 25, 26, 27, 28, 29, 30, 31, 44, 45, 47, 49, 51, 52, 53,
                       54, 55, 57, 60, 61, 62, 63)
            or opcode == 0 and (funct in (1, 10, 11, 20, 22, 23, 28, 29, 30, 31, 44, 45, 46, 47,
                                          56, 58, 59, 60, 62, 63)
                                or funct == 2 and word >> 21 & 31 or funct == 6 and word >> 6 & 31
                                or funct in (8, 9) and word >> 6 & 31))


@dataclass
class Outcome(ce_harness.Outcome):
    handlers: list = field(default_factory=list)  # control pcs whose handler was called


class Device(Guest):
    """One run at `base`; the filter answers `verdict`."""

    scope_disposition = ce_harness.Device.scope_disposition

    def __init__(self, image_path, modules=None, base=IMAGE_BASE, verdict=None):
        super().__init__(Uc(UC_ARCH_MIPS, UC_MODE_MIPS32 | UC_MODE_LITTLE_ENDIAN))
        self.uc.ctl_set_cpu_model(UC_CPU_MIPS32_4KC)
        self.modules, self.verdict, self.base = modules or {}, verdict, base
        self.process, self.outcome = "comenrol.exe", Outcome()
        self.last_error, self.handles, self.entries, self.stubs = 0, {}, [], {}
        self.table, self.error, self.raised = CE_COREDLL, None, None
        self.models = ce_harness.coredll_models(self)
        self.models["HandleException"] = self.handle_exception
        with open(image_path, "rb") as stream:
            self.image = Image(stream.read())
        if self.image.pe.FILE_HEADER.Machine not in (0x166, 0x366):
            raise EmulationError("not an image a CE MIPS kernel runs")
        self.entry = self.load(self.image, base, at_preferred_base=base == IMAGE_BASE)
        self.code = range(base, base + self.image.size)
        self.map(STUBS, 0x1000, UC_PROT_READ | UC_PROT_EXEC, JR_RA_NOP * 0x200)
        self.bind(self.image, base, ce_harness.stub_binder(self, STUBS))
        self.stubs[RAISE_STUB] = "RaiseException"
        ce_harness.place_module_entries(self, MODULE_CODE)
        self.map(RETURN, 0x1000, UC_PROT_READ | UC_PROT_EXEC, JR_RA_NOP * 0x200)
        self.map(STACK, STACK_SIZE, UC_PROT_READ | UC_PROT_WRITE)
        self.uc.hook_add(UC_HOOK_CODE, self.on_image, begin=base, end=base + self.image.size - 1)
        self.uc.hook_add(UC_HOOK_CODE, self.on_callee, begin=STUBS, end=MODULE_CODE + 0xFFF)
        self.uc.hook_add(UC_HOOK_MEM_INVALID, lambda *_: False)

    @staticmethod
    def entry_code(status):
        """MIPS code of a module's entry that does `status`: a leaf."""
        if status is FAULT:
            return struct.pack("<3I", 0xAC000000, 0x03E00008, 0)  # sw zero, 0(zero)
        code = status.code if isinstance(status, Raise) else status & 0xFFFFFFFF
        target = 0x08000000 | (RAISE_STUB >> 2 & 0x3FFFFFF)  # j RaiseException, code in a0
        finish = [target, 0] if isinstance(status, Raise) else [0x03E00008, 0]
        register = 4 if isinstance(status, Raise) else 2
        return struct.pack("<4I", 0x3C000000 | register << 16 | code >> 16,
                           0x34000000 | register << 21 | register << 16 | code & 0xFFFF, *finish)

    def registers(self):
        return [self.uc.reg_read(register) for register in REGISTER] + \
            [self.uc.reg_read(UC_MIPS_REG_PC)]

    def set_registers(self, values):
        for register, value in zip(REGISTER[1:], values[1:32]):
            self.uc.reg_write(register, value & 0xFFFFFFFF)

    def run(self, command_line):
        text = command_line.encode("utf-16-le") + b"\0\0"
        self.map(LINE, len(text), UC_PROT_READ, text)
        values = [0] * 32
        values[4:8] = [IMAGE_BASE, 0, LINE, 5]
        for index, register in enumerate(KEPT):
            values[register] = 0x5AFE0000 + index
        values[SP], values[RA] = START_SP, RETURN
        self.set_registers(values)
        pc = self.entry
        while (exception := self.execute(pc, RETURN)) is not None:
            if len(self.outcome.filter_calls) > 8:
                raise EmulationError("the exception keeps coming back")
            pc = self.dispatch(*exception)
            if pc is None:
                return self.outcome
        got = [self.uc.reg_read(REGISTER[register]) for register in KEPT + [SP]]
        if got != [values[register] for register in KEPT + [SP]]:
            raise EmulationError(f"the entry returned with s0-s7, gp, s8, sp {got}")
        self.outcome.status = signed32(self.uc.reg_read(REGISTER[V0]))
        return self.outcome

    def execute(self, pc, until):
        """Runs from pc to `until`, running the language handler between
        stretches (it runs code itself). Returns None, or an exception as
        (code, address)."""
        while True:
            self.raised = self.pending = None
            try:
                self.uc.emu_start(pc, until, count=INSTRUCTION_LIMIT)
            except UcError as error:
                if self.error:
                    raise self.error from None
                pc = self.uc.reg_read(UC_MIPS_REG_PC)
                if pc in range(MODULE_CODE, MODULE_CODE + 0x1000):
                    return 0xC0000005, pc
                raise EmulationError(f"{error} at 0x{pc:08X}") from None
            if self.error:
                raise self.error
            if self.raised:
                return self.raised
            if self.pending is None:
                break
            operation, args, pc = self.pending
            result = operation(*args)
            self.clobber([REGISTER[register] for register in SCRATCH])
            self.uc.reg_write(REGISTER[V0], result)
        if self.uc.reg_read(UC_MIPS_REG_PC) != until:
            raise EmulationError(f"stopped at 0x{self.uc.reg_read(UC_MIPS_REG_PC):08X}")
        return None

    def fail(self, message):
        self.error = self.error or EmulationError(message)
        self.uc.emu_stop()

    def on_image(self, uc, address, size, user_data):
        word = self.read_word(address)
        if not_mips2(word):
            self.fail(f"0x{word:08X} at 0x{address:08X} is not a MIPS II instruction")

    def on_callee(self, uc, address, size, user_data):
        for module, export, _, entry in self.entries:
            if address == entry:
                self.outcome.calls.append(f"{module}!{export}")
        name = self.stubs.get(address)
        if name is None:
            return
        args = [uc.reg_read(REGISTER[A0 + n]) for n in range(4)]
        sp, ra = uc.reg_read(REGISTER[SP]), uc.reg_read(REGISTER[RA])
        if name == "RaiseException":
            self.raised = (args[0], address)
            return uc.emu_stop()
        if name == "HandleException":  # called as code by the dispatcher
            self.pending = (self.handle_exception, args, ra)  # it runs code itself
            return uc.emu_stop()
        try:
            if sp % 8 or ra - 8 not in self.code:
                raise EmulationError(f"{name} called from 0x{ra:08X} with sp 0x{sp:08X}")
            self.outcome.calls.append(name)
            result = self.models[name](*args)
        except EmulationError as error:
            return self.fail(str(error))
        self.clobber([REGISTER[register] for register in SCRATCH])
        uc.reg_write(REGISTER[V0], (result or 0) & 0xFFFFFFFF)
        uc.reg_write(UC_MIPS_REG_PC, ra)

    # Exception dispatch, as CE's MIPS dispatcher does it ---------------------

    def function_entry(self, pc):
        """The loaded image's record (address, begin, end, handler, data,
        prolog end) whose function holds pc, or None."""
        header = self.base + self.read_word(self.base + 0x3C)
        table, size = self.read_words(header + 24 + 96 + 3 * 8, 2)
        for at in range(self.base + table, self.base + table + size, 20):
            record = self.read_words(at, 5)
            if record[0] <= pc < record[1]:
                return (at, *record)
        return None

    def unwind(self, entry, pc, registers):
        """CE's unwinder: the prolog instructions that ran, undone last first;
        the caller's registers, with pc = the restored ra - 4 (its jal's
        delay slot). At a jr ra, the delay slot's addiu sp is applied."""
        _, begin, _, _, _, prolog_end = entry
        registers = list(registers)
        if self.read_word(pc) == 0x03E00008:
            slot = self.read_word(pc + 4)
            if slot >> 16 == 0x27BD:
                registers[SP] += slot & 0xFFFF ^ 0x8000 - 0x8000
        else:
            for at in range(min(pc, prolog_end) - 4, begin - 1, -4):
                word = self.read_word(at)
                rs, rt, rd = word >> 21 & 31, word >> 16 & 31, word >> 11 & 31
                immediate = (word & 0xFFFF ^ 0x8000) - 0x8000
                if word >> 26 == 9 and rs == rt:  # addiu rX, rX, imm
                    registers[rt] -= immediate
                elif word >> 26 == 43:  # sw rt, imm(rs)
                    registers[rt] = self.read_word(registers[rs] + immediate & 0xFFFFFFFF)
                elif word >> 26 == 0 and word & 0x7FF in (0x21, 0x25) and rt == 0:  # move
                    registers[rs] = registers[rd]
        registers[SP] &= 0xFFFFFFFF
        registers[PC] = registers[RA] - 4
        return registers

    def dispatch(self, code, address):
        """Walks the frames from the exception; returns where to resume, or
        None when no frame takes it (the system's box) or a handler has the
        system resume where it was."""
        registers = self.registers()
        registers[PC] = address
        record = (registers[SP] - 0x400) & ~7
        context, dispatcher = record + 0x50, record + 0x200
        self.write_words(record, [code, 0, 0, address, 0])
        pc, seen = address, set()
        while pc not in seen and (pc in self.code or pc in range(STUBS, MODULE_CODE + 0x1000)):
            seen.add(pc)
            entry = self.function_entry(pc)
            if entry is None:  # a leaf: ra still holds the return
                caller = list(registers)
                caller[PC] = registers[RA] - 4
            else:
                caller = self.unwind(entry, pc, registers)
                frame = caller[SP]
                if frame % 8 or not STACK < frame <= STACK + STACK_SIZE:
                    break
                at, begin, _, handler, _, prolog_end = entry
                if handler and not begin <= pc < prolog_end:
                    self.outcome.handlers.append(pc)
                    self.write_words(dispatcher, [pc, at, frame, context])
                    disposition = self.call(handler, [record, frame, context, dispatcher],
                                            record - 64)
                    if disposition == EXECUTE_HANDLER:  # this frame's own registers
                        registers[V0] = code
                        self.set_registers(registers)
                        return self.read_word(dispatcher)
                    if disposition == CONTINUE_EXECUTION:
                        self.outcome.resumed = ce_harness.SystemBox(self.process, code, address)
                        return None
                    if disposition != CONTINUE_SEARCH:
                        raise EmulationError(f"disposition {disposition} is not modelled")
            registers, pc = caller, caller[PC]
        self.outcome.unhandled = ce_harness.SystemBox(self.process, code, address)
        return None

    def call(self, address, args, sp):
        """Runs the image's code at address with a0-a3 = args; returns v0.
        It must give back sp, s0-s7, gp and s8."""
        values = self.registers()
        values[A0:A0 + len(args)] = args
        values[SP], values[RA] = sp, CALL_RETURN
        self.set_registers(values)
        if self.execute(address, CALL_RETURN) is not None:
            raise EmulationError("an exception while one is dispatched is not modelled")
        if [self.uc.reg_read(REGISTER[r]) for r in KEPT + [SP]] != \
                [values[r] for r in KEPT + [SP]]:
            raise EmulationError(f"the code at 0x{address:08X} did not keep s0-s8, gp and sp")
        return self.uc.reg_read(REGISTER[V0])

    def handle_exception(self, record, frame, context, dispatcher):
        """COREDLL's C language handler over the record's scope table, its
        filters asked as emulated code with a0 = the exception pointers."""
        saved = self.registers()

        def ask(address, pointers):
            verdict = self.call(address, [pointers], pointers - 32)
            self.set_registers(saved)
            return verdict
        return self.scope_disposition(record, context, dispatcher,
                                      self.read_word(self.read_word(dispatcher + 4) + 12),
                                      self.uc.reg_read(REGISTER[SP]), ask)


def run(image_path, command_line, modules=None, **device):
    """Runs the image once with the argument text; returns the Outcome.
    `device` takes the base and the filter's verdict."""
    return Device(image_path, modules, **device).run(command_line)
