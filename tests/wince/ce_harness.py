"""Runs comenrol.exe for Windows CE on an emulated ARM core of a CE device.

A small model of what the device does with the image, loaded at LOAD_BASE
through tests/emulation.py:

- Cores: SA-1110 (ARMv4, no Thumb), TI925T (ARMv4T) and PXA255 (ARMv5TE),
  each rejecting every instruction its architecture lacks, so a run completes
  only if the whole executed path suits the core.
- Imports: only COREDLL.dll, only by ordinal, only the ordinals of
  platform/wince/coredll_imports.table. Each resolves to a stub ("svc; mov pc,
  lr", or "svc; bx lr" in Thumb state, the slot holding its address | 1) whose
  service call runs the model of the operation, then scrambles r1-r3, r12 and
  the flags, as a real callee may.
- Modules: those of a row of ce_cases; their entries, ARM or Thumb code,
  return programmed statuses, fault, or raise. Every callee checks at its
  first instruction that it was entered in its own state.
- Exceptions: a fault or raise in a module's entry is dispatched as CE's
  kernel does it (see dispatch below); one that no frame takes ends the run
  with the system's box instead of a status.
- Start: r0-r3 carry the four entry values, sp is 4-aligned but not 8-aligned,
  lr points at a return address where the run stops; r4-r11 and sp must come
  back unchanged; every call into a stub or a module entry must find sp
  8-byte aligned, as the procedure call standard asks at public interfaces.
"""

import os
import re
import struct
import sys
from collections import namedtuple
from dataclasses import dataclass, field

import pefile
from unicorn import (UC_ARCH_ARM, UC_HOOK_CODE, UC_HOOK_INTR, UC_HOOK_MEM_INVALID,
                     UC_HOOK_MEM_WRITE, UC_MEM_WRITE_PROT, UC_MEM_WRITE_UNMAPPED, UC_MODE_ARM,
                     UC_PROT_EXEC, UC_PROT_READ, UC_PROT_WRITE, Uc, UcError)
from unicorn.arm_const import (UC_ARM_REG_CPSR, UC_ARM_REG_LR, UC_ARM_REG_PC, UC_ARM_REG_R0,
                               UC_ARM_REG_R1, UC_ARM_REG_R2, UC_ARM_REG_R3, UC_ARM_REG_R4,
                               UC_ARM_REG_R5, UC_ARM_REG_R6, UC_ARM_REG_R7, UC_ARM_REG_R8,
                               UC_ARM_REG_R9, UC_ARM_REG_R10, UC_ARM_REG_R11, UC_ARM_REG_R12,
                               UC_ARM_REG_SP, UC_CPU_ARM_PXA255, UC_CPU_ARM_SA1110,
                               UC_CPU_ARM_TI925T)

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, "..", "..", "tools"), os.path.join(HERE, "..")]
from ce_cases import FAULT, IMAGE_BASE, MISSING, Raise  # noqa: E402
from emulation import EmulationError, Guest, Image  # noqa: E402
from expected import CE_COREDLL, ENTRY_FAILED, SUCCEEDED, signed32  # noqa: E402

LOAD_BASE = 0x00400000
STUB_BASE = 0x00800000  # COREDLL stubs: svc; return
ENTRY_BASE = 0x00900000  # modelled modules' entries
RETURN_ADDRESS = 0x00A00000  # where the entry returns to
CALL_RETURN = RETURN_ADDRESS + 0x100  # where code called by the dispatcher returns to
COMMAND_LINE_BASE = 0x00B00000  # the argument text, read-only
STACK_BASE = 0x00C00000
STACK_SIZE = 0x10000
INITIAL_SP = STACK_BASE + STACK_SIZE - 12  # 4-aligned, not 8-aligned
MODULE_HANDLE_BASE = 0x02000000
INSTRUCTION_LIMIT = 2_000_000

# name: (Unicorn's model, architecture, has Thumb state)
CORES = {
    "SA-1110": (UC_CPU_ARM_SA1110, "ARMv4", False),
    "TI925T": (UC_CPU_ARM_TI925T, "ARMv4T", True),
    "PXA255": (UC_CPU_ARM_PXA255, "ARMv5TE", True),
}

# ARM and Thumb code of the modelled callees.
SVC, MOV_PC_LR, MOV_R0_0, LDR_R0_R0 = 0xEF000000, 0xE1A0F00E, 0xE3A00000, 0xE5900000
THUMB_SVC, THUMB_BX_LR, THUMB_MOVS_R0_0, THUMB_LDR_R0_R0 = 0xDF00, 0x4770, 0x2000, 0x6800

# The registers of a context, in the order of CE's ARM CONTEXT after its flags.
REGISTERS = [UC_ARM_REG_R0, UC_ARM_REG_R1, UC_ARM_REG_R2, UC_ARM_REG_R3, UC_ARM_REG_R4,
             UC_ARM_REG_R5, UC_ARM_REG_R6, UC_ARM_REG_R7, UC_ARM_REG_R8, UC_ARM_REG_R9,
             UC_ARM_REG_R10, UC_ARM_REG_R11, UC_ARM_REG_R12, UC_ARM_REG_SP, UC_ARM_REG_LR,
             UC_ARM_REG_PC, UC_ARM_REG_CPSR]
FP, R12, SP, LR, PC, PSR = 11, 12, 13, 14, 15, 16
THUMB = 0x20  # the CPSR's state bit

ERROR_INVALID_HANDLE = 6
ERROR_PROC_NOT_FOUND = 127

STATUS_ACCESS_VIOLATION = 0xC0000005
RECORD_SIZE = 80  # code, flags, record, address, parameter count, 15 parameters
CONTEXT_SIZE = 244  # flags, r0-r12, sp, lr, pc, psr, then the VFP block
CONTEXT_FULL = 0x43
EXCEPTION_UNWINDING = 0x6
CONTINUE_EXECUTION, CONTINUE_SEARCH, EXECUTE_HANDLER = 0, 1, 4

CALLEE_SAVED = {
    UC_ARM_REG_R4: 0x44440404, UC_ARM_REG_R5: 0x55550505, UC_ARM_REG_R6: 0x66660606,
    UC_ARM_REG_R7: 0x77770707, UC_ARM_REG_R8: 0x88880808, UC_ARM_REG_R9: 0x99990909,
    UC_ARM_REG_R10: 0xAAAA0A0A, UC_ARM_REG_R11: 0xBBBB0B0B,
}
ENTRY_VALUES = (IMAGE_BASE, 0, None, 5)  # instance, previous instance, text, show state



# The system's box for an exception that no frame took.
SystemBox = namedtuple("SystemBox", "process code address")
# A question to the exception filter: the code, the EXCEPTION_POINTERS handed
# over and the code in the record they lead to.
FilterCall = namedtuple("FilterCall", "code pointers record_code")


@dataclass
class Outcome:
    status: int = None  # signed 32-bit exit status; None when the entry never returned
    boxes: list = field(default_factory=list)  # (text, caption, style)
    calls: list = field(default_factory=list)  # operation names, in order
    loaded: list = field(default_factory=list)  # paths handed to LoadModule
    looked_up: list = field(default_factory=list)  # export names handed to FindEntry
    filter_calls: list = field(default_factory=list)  # FilterCall, in order
    unhandled: SystemBox = None  # set when an exception ended the run
    resumed: SystemBox = None  # set when a handler had the system resume at the exception
    stack_low: int = INITIAL_SP  # lowest stack address written
    stack: bytes = b""  # the stack memory at the end of the run


def built(variable):
    """The built file CTest names in the variable; missing, it fails the suite."""
    path = os.environ.get(variable, "")
    if not os.path.isfile(path):
        raise RuntimeError(f"built input {path!r} is missing; set {variable} or run through ctest")
    return path


def check_calls(test, case, outcome):
    """What a run of a case-table row shows on any CE processor: the name
    loaded, the export looked up, the entry called once when it is found, and
    the last error read for a shown box alone."""
    test.assertEqual(outcome.loaded, [] if case.loaded is None else [case.loaded])
    test.assertEqual(outcome.looked_up, [case.entry] if case.entry else [])
    called = case.status in (SUCCEEDED, ENTRY_FAILED) or case.exception
    test.assertEqual([c for c in outcome.calls if "!" in c],
                     [f"{case.loaded}!{case.entry}"] if called else [])
    if not outcome.boxes:
        test.assertFalse({"LastErrorCode", "FormatText"} & set(outcome.calls))


def read_image(path):
    """A built image's bytes and their pefile reading."""
    with open(path, "rb") as stream:
        raw = stream.read()
    return raw, pefile.PE(data=raw)


class Device(Guest):
    """One run's device. thumb: the module entries and the COREDLL operations
    are Thumb code (their addresses have bit 0 set)."""
    machine, load_base = 0x01C0, LOAD_BASE  # the image's machine, and where it goes

    def __init__(self, image_path, modules=None, table=CE_COREDLL, core="SA-1110",
                 thumb=False, verdict=None):
        self.modules = modules or {}
        self.table = table
        self.thumb = thumb
        self.verdict = verdict  # what the runtime exception filter answers
        self.process = os.path.basename(image_path)
        self.last_error = 0
        self.outcome = Outcome()
        self.handles = {}
        self.entries = []  # (module name, export name, status, address)
        self.services = {}  # callee address -> operation name, or index into entries
        self.states = {}  # callee address -> whether it is Thumb code
        self.pending = self.raised = self.access = None
        self.callee_pc = None  # the last instruction run in a stub or an entry
        model, _, has_thumb = CORES[core]
        if thumb and not has_thumb:
            raise EmulationError(f"{core} has no Thumb state")
        super().__init__(Uc(UC_ARCH_ARM, UC_MODE_ARM))
        self.uc.ctl_set_cpu_model(model)
        with open(image_path, "rb") as stream:
            self.image = Image(stream.read())
        self.models = {
            "LoadModule": self.load_module, "FindEntry": self.find_entry,
            "LastErrorCode": self.last_error_code, "FormatText": self.format_text,
            "ShowMessageBox": self.show_message_box, "FindSubstring": self.find_substring,
            "FindUnit": self.find_unit, "FillBytes": self.fill_bytes,
            "FilterException": self.filter_exception,
        }
        # Operations that run emulated code themselves: called between stretches of emulation.
        self.deferred = {"HandleException": self.handle_exception}
        missing = set(self.table.values()) - set(self.models) - set(self.deferred)
        if missing:
            raise EmulationError(f"no model for the imported operations {sorted(missing)}")
        self.set_up()

    # Loading -----------------------------------------------------------

    def set_up(self):
        pe = self.image.pe
        if pe.FILE_HEADER.Machine != self.machine:
            raise EmulationError(f"machine 0x{pe.FILE_HEADER.Machine:04X} is not modelled")
        # The certificate table (4) of a signed image lies in the file past
        # the sections, and is never mapped.
        for index, directory in enumerate(pe.OPTIONAL_HEADER.DATA_DIRECTORY):
            if index not in (1, 2, 3, 4, 5, 12) and (directory.VirtualAddress or directory.Size):
                raise EmulationError(f"data directory {directory.name} is not modelled")
        self.entry_point = super().load(self.image, self.load_base,
                                        self.load_base == self.image.preferred_base)
        self.image_end = self.load_base + self.image.size
        self.map(STUB_BASE, 0x1000, UC_PROT_READ | UC_PROT_EXEC)
        self.bind(self.image, self.load_base, self.coredll_stub)

        # Module entries: a programmed status comes back from a service call
        # (and so does a raise); a faulting entry reads address 0, never mapped.
        self.map(ENTRY_BASE, 0x1000, UC_PROT_READ | UC_PROT_EXEC)
        for name, module in self.modules.items():
            for export, status in module.exports.items():
                address = ENTRY_BASE + 8 * len(self.entries)
                self.services[address] = len(self.entries)
                address = self.place_callee(address, self.thumb, status is FAULT)
                self.entries.append((name, export, status, address))

        self.map(RETURN_ADDRESS, 0x1000, UC_PROT_READ | UC_PROT_EXEC)
        self.map(STACK_BASE, STACK_SIZE, UC_PROT_READ | UC_PROT_WRITE)
        self.uc.hook_add(UC_HOOK_INTR, self.on_service_call)
        self.uc.hook_add(UC_HOOK_CODE, self.on_callee, begin=STUB_BASE, end=ENTRY_BASE + 0xFFF)
        self.uc.hook_add(UC_HOOK_MEM_INVALID, self.on_invalid_access)
        self.uc.hook_add(UC_HOOK_MEM_WRITE, self.on_stack_write, begin=STACK_BASE,
                         end=STACK_BASE + STACK_SIZE - 1)

    def coredll_stub(self, entry):
        """The stub an import slot is pointed at: COREDLL.dll by ordinal only,
        an ordinal of the import table."""
        if entry.dll.lower() != "coredll.dll":
            raise EmulationError(f"import from {entry.dll!r}; only COREDLL.dll is allowed")
        if entry.name is not None:
            raise EmulationError(f"import by name {entry.name!r}")
        if entry.ordinal not in self.table:
            raise EmulationError(f"ordinal {entry.ordinal} is not in the import table")
        stub = STUB_BASE + 8 * len(self.services)
        self.services[stub] = self.table[entry.ordinal]
        return self.place_callee(stub, self.thumb, False)

    def place_callee(self, address, thumb, fault):
        """Writes a callee: a service call and a return, or a read of address 0.
        Returns the address to call it by, with bit 0 set for Thumb code."""
        if thumb:
            code = (THUMB_MOVS_R0_0, THUMB_LDR_R0_R0) if fault else (THUMB_SVC, THUMB_BX_LR)
            self.uc.mem_write(address, struct.pack("<HH", *code))
        else:
            code = (MOV_R0_0, LDR_R0_R0) if fault else (SVC, MOV_PC_LR)
            self.write_words(address, code)
        self.states[address] = thumb
        return address | thumb

    # Running -----------------------------------------------------------

    def run(self, command_line):
        text = command_line.encode("utf-16-le") + b"\0\0"
        self.map(COMMAND_LINE_BASE, len(text), UC_PROT_READ, text)
        instance, previous, _, show = ENTRY_VALUES
        for register, value in zip(REGISTERS, (instance, previous, COMMAND_LINE_BASE, show)):
            self.uc.reg_write(register, value)
        for register, value in CALLEE_SAVED.items():
            self.uc.reg_write(register, value)
        self.uc.reg_write(UC_ARM_REG_R12, 0xC0C0C0C0)
        self.uc.reg_write(UC_ARM_REG_SP, INITIAL_SP)
        self.uc.reg_write(UC_ARM_REG_LR, RETURN_ADDRESS)
        pc = self.entry_point
        while True:
            exception = self.execute(pc, RETURN_ADDRESS)
            if exception is None:
                break
            pc = self.dispatch(*exception)
            if pc is None:
                return self.finish()
        for register, value in CALLEE_SAVED.items():
            if self.uc.reg_read(register) != value:
                raise EmulationError(f"callee-saved register {register} not preserved")
        if self.uc.reg_read(UC_ARM_REG_SP) != INITIAL_SP:
            raise EmulationError("sp not preserved across the entry")
        self.outcome.status = signed32(self.uc.reg_read(UC_ARM_REG_R0))
        return self.finish()

    def execute(self, pc, until):
        """Runs emulated code from pc until it reaches `until`, running the
        deferred operations between stretches. Returns None, or an exception
        raised in a module's entry as (code, address, parameters)."""
        while True:
            self.pending = self.raised = self.access = None
            try:
                self.uc.emu_start(pc, until, count=INSTRUCTION_LIMIT)
            except UcError as error:
                pc = self.uc.reg_read(UC_ARM_REG_PC)
                if self.access and ENTRY_BASE <= pc < ENTRY_BASE + 0x1000:
                    return STATUS_ACCESS_VIOLATION, self.callee_pc, list(self.access)
                raise EmulationError(f"{error} at pc 0x{pc:08X} (image offset "
                                     f"0x{pc - self.load_base:X})") from error
            if self.raised:
                return self.raised
            if self.pending is None:
                break
            operation, args = self.pending
            self.returned(operation(*args))
            pc = self.uc.reg_read(UC_ARM_REG_PC) | bool(self.uc.reg_read(UC_ARM_REG_CPSR) & THUMB)
        pc = self.uc.reg_read(UC_ARM_REG_PC)
        if pc != until:
            raise EmulationError(f"stopped at 0x{pc:08X} without returning "
                                 f"(more than {INSTRUCTION_LIMIT} instructions?)")
        return None

    def call(self, address, args, sp, r11=None):
        """Calls emulated code with r0-r3 = args (and r11 when given) on the
        stack at sp; returns its r0 and puts every register back."""
        saved = [self.uc.reg_read(register) for register in REGISTERS]
        for register, value in zip(REGISTERS, args):
            self.uc.reg_write(register, value)
        if r11 is not None:
            self.uc.reg_write(UC_ARM_REG_R11, r11)
        self.uc.reg_write(UC_ARM_REG_SP, sp)
        self.uc.reg_write(UC_ARM_REG_LR, CALL_RETURN)
        if self.execute(address, CALL_RETURN) is not None:
            raise EmulationError("an exception while one is dispatched is not modelled")
        result = self.uc.reg_read(UC_ARM_REG_R0)
        for register, value in zip(REGISTERS, saved):
            self.uc.reg_write(register, value)
        return result

    def finish(self):
        self.outcome.stack = bytes(self.uc.mem_read(STACK_BASE, STACK_SIZE))
        return self.outcome

    def on_stack_write(self, uc, access, address, size, value, user_data):
        self.outcome.stack_low = min(self.outcome.stack_low, address)

    def on_invalid_access(self, uc, access, address, size, value, user_data):
        self.access = (int(access in (UC_MEM_WRITE_UNMAPPED, UC_MEM_WRITE_PROT)), address)
        return False

    def on_callee(self, uc, address, size, user_data):
        # Each callee's first instruction checks the state it was entered in.
        self.callee_pc = address
        thumb = self.states.get(address)
        if thumb is not None and bool(uc.reg_read(UC_ARM_REG_CPSR) & THUMB) != thumb:
            own, other = ("Thumb", "ARM") if thumb else ("ARM", "Thumb")
            raise EmulationError(f"{own} callee at 0x{address:08X} entered in {other} state")
        if isinstance(self.services.get(address), int):  # a module's entry, faulting or not
            name, export, _, _ = self.entries[self.services[address]]
            self.outcome.calls.append(f"{name}!{export}")

    def on_service_call(self, uc, interrupt, user_data):
        pc = uc.reg_read(UC_ARM_REG_PC)
        if uc.reg_read(UC_ARM_REG_CPSR) & THUMB:
            address = pc - 2
            (instruction,) = struct.unpack("<H", uc.mem_read(address, 2))
            is_svc = instruction & 0xFF00 == THUMB_SVC
        else:
            address = pc - 4
            instruction = self.read_word(address)
            is_svc = instruction & 0x0F000000 == SVC & 0x0F000000
        if interrupt != 2 or not is_svc:
            raise EmulationError(f"unexpected exception {interrupt} at 0x{pc:08X}")
        service = self.services.get(address)
        if service is None:
            raise EmulationError(f"service call from 0x{address:08X}: not a stub")
        if uc.reg_read(UC_ARM_REG_SP) % 8:
            raise EmulationError(f"call from 0x{uc.reg_read(UC_ARM_REG_LR):08X} with sp not "
                                 "8-byte aligned")
        args = [uc.reg_read(r) for r in REGISTERS[:4]]
        if isinstance(service, int):  # a module's entry
            _, _, status, _ = self.entries[service]
            if isinstance(status, Raise):
                self.raised = (status.code, address, [])
                uc.emu_stop()
                return
            result = status
        else:
            self.outcome.calls.append(service)
            if service in self.deferred:
                self.pending = (self.deferred[service], args)
                uc.emu_stop()
                return
            result = self.models[service](*args)
        self.returned(result)

    def returned(self, result):
        # A callee may leave anything in r1-r3, r12 and the flags.
        uc = self.uc
        self.clobber([UC_ARM_REG_R1, UC_ARM_REG_R2, UC_ARM_REG_R3, UC_ARM_REG_R12])
        uc.reg_write(UC_ARM_REG_R0, (result if result is not None else 0xDEAD0000) & 0xFFFFFFFF)
        flags = 0xF0000000 if self.clobbered % 2 else 0x50000000
        uc.reg_write(UC_ARM_REG_CPSR, (uc.reg_read(UC_ARM_REG_CPSR) & 0x0FFFFFFF) | flags)

    # Exception dispatch, as CE's kernel does it ---------------------------

    def dispatch(self, code, address, parameters):
        """Dispatches an exception raised at `address` with the registers as
        they stand. The record and the context go under the faulting sp; the
        frames are walked from `address` through the image's .pdata, and each
        guarded frame's handler is called as code. Returns where to resume, or
        None when no frame takes the exception (the system's box)."""
        context = [self.uc.reg_read(register) for register in REGISTERS]
        context[PC] = address
        record = (context[SP] - 0x200) & ~7  # also the sp of the code called from here
        context_at = record + RECORD_SIZE
        dispatcher = context_at + CONTEXT_SIZE  # control pc, function entry, frame, context
        self.write_words(record, [code, 0, 0, address, len(parameters)] + parameters
                         + [0] * (15 - len(parameters)))
        self.write_words(context_at, [CONTEXT_FULL] + context + [0] * (CONTEXT_SIZE // 4 - 18))
        registers, control_pc, seen, passed_handler = context, address, set(), False
        while control_pc not in seen and (LOAD_BASE <= control_pc < self.image_end
                                          or ENTRY_BASE <= control_pc < ENTRY_BASE + 0x1000):
            seen.add(control_pc)
            entry = self.function_entry(control_pc)
            if entry is None:  # a leaf: nothing saved, the return address still in lr
                caller = registers[:PC] + [registers[LR], registers[PSR]]
            else:
                caller = self.unwind(entry, control_pc, registers)
                frame = caller[SP]  # the establisher frame: sp with the prolog undone
                if frame % 4 or not STACK_BASE <= frame <= STACK_BASE + STACK_SIZE:
                    break
                entry_address, start, info = entry
                if info & 0x80000000 and info & 0xFF:
                    self.write_words(dispatcher, [control_pc, entry_address, frame, context_at])
                    disposition = self.call(self.read_word(start - 8),
                                            [record, frame, context_at, dispatcher], record)
                    if disposition == EXECUTE_HANDLER:
                        if passed_handler:
                            raise EmulationError("unwinding through a guarded frame is not "
                                                 "modelled")
                        # The inner frames are unwound; this frame's prolog is not.
                        target = self.read_word(dispatcher)
                        registers[0] = code
                        registers[PSR] = registers[PSR] & ~THUMB | (THUMB if target & 1 else 0)
                        for register, value in zip(REGISTERS, registers):
                            self.uc.reg_write(register, value)
                        return target
                    if disposition == CONTINUE_EXECUTION:  # the system would resume there
                        self.outcome.resumed = SystemBox(self.process, code, address)
                        return None
                    if disposition != CONTINUE_SEARCH:
                        raise EmulationError(f"disposition {disposition} is not modelled")
                    passed_handler = True
            registers, control_pc = caller, caller[PC] - 4
        self.outcome.unhandled = SystemBox(self.process, code, address)
        return None

    def function_entry(self, pc):
        """The loaded image's .pdata entry (address, start, info) whose
        function holds pc, or None. The table is found through data directory
        3 of the image in memory, so its starts are the relocated ones."""
        header = LOAD_BASE + self.read_word(LOAD_BASE + 0x3C)
        table, size = self.read_words(header + 24 + 96 + 3 * 8, 2)
        for at in range(LOAD_BASE + table, LOAD_BASE + table + size - 7, 8):
            start, info = self.read_words(at, 2)
            if start <= pc < start + 4 * (info >> 8 & 0x3FFFFF):
                return at, start, info
        return None

    def unwind(self, entry, control_pc, registers):
        """Reverse-executes the prolog instructions that ran before control_pc,
        last first, in the unwinder's vocabulary. Returns the caller's
        registers with pc = the return address."""
        _, start, info = entry
        registers = list(registers)
        frame_pointer = False
        ran = min(info & 0xFF, (control_pc - start) // 4)
        for at in range(start + 4 * (ran - 1), start - 1, -4):
            word = self.read_word(at)
            rd = word >> 12 & 15
            if word & 0x0FEF0FFF == 0x01A0000D:  # mov rX, sp
                registers[SP] = registers[rd]
            elif word & 0x0E100000 == 0x08000000 and word >> 16 & 15 == SP:  # stm sp
                listed = [r for r in range(16) if word >> r & 1]
                if PC in listed:
                    raise EmulationError(f"the prolog at 0x{start:08X} pushes pc: a trap frame")
                if frame_pointer:  # replayed as ldmdb r11, no write-back
                    base = registers[FP] - 4 * len(listed)
                else:  # the matching ldm
                    span, up, before = 4 * len(listed), word >> 23 & 1, word >> 24 & 1
                    if word >> 21 & 1:
                        registers[SP] += -span if up else span
                    base = registers[SP] + (before * 4 if up else (1 - before) * 4 - span)
                for index, register in enumerate(listed):
                    registers[register] = self.read_word(base + 4 * index)
            elif word == 0xE52DE004:  # str lr, [sp, #-4]!
                registers[LR] = self.read_word(registers[SP])
                registers[SP] += 4
            elif word & 0x0FFFF000 == 0x024DD000:  # sub sp, sp, #imm
                immediate, rotate = word & 0xFF, (word >> 8 & 15) * 2
                registers[SP] += (immediate >> rotate | immediate << (32 - rotate)) & 0xFFFFFFFF
            elif word & 0x0FFFFFFF == 0x004DD00C:  # sub sp, sp, r12 after ldr r12, [pc, #n]
                load = self.read_word(at - 4)
                if at == start or load & 0x0FFFF000 != 0x059FC000:
                    raise EmulationError(f"sub sp, sp, r12 at 0x{at:08X} without ldr r12, [pc, #n]")
                registers[SP] += self.read_word(at + 4 + (load & 0xFFF))
            elif word & 0x0C000000 == 0 and word >> 21 & 15 in (0x2, 0x4, 0xD) and rd == FP:
                frame_pointer = True  # mov/add/sub r11, ...
            elif word & 0x0FBF0FFF == 0x010F0000:  # mrs rX, psr
                registers[PSR] = registers[rd]
        registers[SP] &= 0xFFFFFFFF
        registers[PC] = registers[LR]
        return registers

    def handle_exception(self, record, frame, context, dispatcher):
        """COREDLL's C language handler, its filters asked as emulated code
        with r11 = the establisher frame."""
        function_entry = self.read_word(dispatcher + 4)
        return self.scope_disposition(
            record, context, dispatcher, self.read_word(self.read_word(function_entry) - 4),
            self.uc.reg_read(UC_ARM_REG_SP),
            lambda address, pointers: self.call(address, [pointers], pointers, r11=frame))

    def scope_disposition(self, record, context, dispatcher, scopes, sp, ask):
        """COREDLL's C language handler over a scope table: the first scope
        that holds the control pc and has a jump target gets its filter asked
        (ask(filter, the exception pointers under sp)); a positive verdict
        runs the handler at the target, a negative one resumes."""
        if self.read_word(record + 4) & EXCEPTION_UNWINDING:
            raise EmulationError("termination handlers are not modelled")
        control_pc = self.read_word(dispatcher)
        for index in range(self.read_word(scopes)):
            begin, end, filter_address, target = self.read_words(scopes + 4 + 16 * index, 4)
            if begin <= control_pc < end and target:
                pointers = (sp - 0x100) & ~7
                self.write_words(pointers, [record, context])
                verdict = signed32(ask(filter_address, pointers))
                if verdict > 0:
                    self.write_words(dispatcher, [target])
                    return EXECUTE_HANDLER
                if verdict < 0:
                    return CONTINUE_EXECUTION
        return CONTINUE_SEARCH

    # Operation models ------------------------------------------------------

    def load_module(self, path, *_):
        name = self.read_text(path)
        self.outcome.loaded.append(name)
        module = self.modules.get(name)
        if module is None or module.load_error is not None:
            self.last_error = MISSING if module is None else module.load_error
            return 0
        handle = MODULE_HANDLE_BASE + 0x10000 * list(self.modules).index(name)
        self.handles[handle] = name
        return handle

    def find_entry(self, handle, name_address, *_):
        name = self.read_text(name_address)
        self.outcome.looked_up.append(name)
        module_name = self.handles.get(handle)
        if module_name is None:
            self.last_error = ERROR_INVALID_HANDLE
            return 0
        for owner, export, _, address in self.entries:
            if owner == module_name and export == name:
                return address
        self.last_error = ERROR_PROC_NOT_FOUND
        return 0

    def last_error_code(self, *_):
        return self.last_error

    def format_text(self, destination, format_address, first, second):
        # Variadic: the first value is in r2, the next in r3, later ones on the stack.
        values = [first, second]

        def convert(match):
            if match[0] == "%%":
                return "%"
            if match[0] not in ("%i", "%08X") or not values:
                raise EmulationError(f"format {match[0]!r} with {2 - len(values)} values before "
                                     "is not modelled")
            value = values.pop(0)
            return str(signed32(value)) if match[0] == "%i" else f"{value:08X}"

        text = re.sub("%(%|i|08X|.?)", convert, self.read_text(format_address))
        self.write_text(destination, text)
        return len(text)

    def show_message_box(self, owner, text, caption, style):
        if owner:
            raise EmulationError(f"a box owned by window 0x{owner:08X}")
        self.outcome.boxes.append((self.read_text(text), self.read_text(caption), style))
        return 1  # OK

    def find_substring(self, text_address, pattern_address, *_):
        text = self.read_text(text_address)
        position = text.find(self.read_text(pattern_address))
        return 0 if position < 0 else text_address + 2 * position

    def find_unit(self, text_address, unit, *_):
        text = self.read_text(text_address) + "\0"
        position = text.find(chr(unit & 0xFFFF))
        return 0 if position < 0 else text_address + 2 * position

    def fill_bytes(self, destination, value, count, *_):
        self.write_bytes(destination, bytes([value & 0xFF]) * count)
        return destination

    def filter_exception(self, code, pointers, *_):
        record = self.read_word(pointers)
        self.outcome.filter_calls.append(FilterCall(code, pointers, self.read_word(record)))
        if self.verdict is None:
            raise EmulationError("the exception filter was asked, but the run chose no verdict")
        return self.verdict


def coredll_models(device):
    """The COREDLL operation models, bound to another CE device."""
    return {name: getattr(Device, method).__get__(device) for name, method in (
        ("LoadModule", "load_module"), ("FindEntry", "find_entry"),
        ("LastErrorCode", "last_error_code"), ("FormatText", "format_text"),
        ("ShowMessageBox", "show_message_box"), ("FindSubstring", "find_substring"),
        ("FindUnit", "find_unit"), ("FillBytes", "fill_bytes"),
        ("FilterException", "filter_exception"))}


def place_module_entries(device, address):
    """Maps the modules' entries of another CE device from address on, 0x40
    bytes each, in its own code (device.entry_code), into device.entries."""
    device.map(address, 0x1000, UC_PROT_READ | UC_PROT_EXEC)
    for name, module in device.modules.items():
        for export, status in module.exports.items():
            at = address + 0x40 * len(device.entries)
            device.uc.mem_write(at, device.entry_code(status))
            device.entries.append((name, export, status, at))


def stub_binder(device, stubs_base):
    """A bind() callback of another CE device: COREDLL.dll by ordinal only,
    an ordinal of the device's table, each given a 16-byte stub in turn."""
    def stub(entry):
        if entry.dll.lower() != "coredll.dll" or entry.name is not None:
            raise EmulationError(f"import {entry}: COREDLL.dll by ordinal only")
        if entry.ordinal not in device.table:
            raise EmulationError(f"ordinal {entry.ordinal} is not in the import table")
        address = stubs_base + 16 * len(device.stubs)
        device.stubs[address] = device.table[entry.ordinal]
        return address
    return stub


def run(image_path, command_line, modules=None, **device):
    """Runs the image once with the argument text; returns the Outcome.
    `device` takes the table path, core, thumb and the filter's verdict."""
    return Device(image_path, modules, **device).run(command_line)
