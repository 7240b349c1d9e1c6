"""Runs comenrol.exe for Windows CE on an emulated ARM core of a CE device.

The harness is a small model of what the device does with the image:

- Loading: the PE image is mapped at LOAD_BASE, not at its preferred base, so
  every absolute address in it must be fixed up through its base relocations;
  the preferred base stays unmapped, and a missed fixup faults. Sections get
  the access their characteristics ask for.
- Cores: SA-1110 (ARMv4, no Thumb), TI925T (ARMv4T) and PXA255 (ARMv5TE),
  each rejecting every instruction its architecture lacks (bx on ARMv4, clz
  and blx below ARMv5, ...), so a run completes only if the whole executed
  path suits the core.
- Imports: only COREDLL.dll, only by ordinal, only the ordinals listed in
  platform/wince/coredll_imports.table. Each resolves to a stub ("svc; mov pc,
  lr", or "svc; bx lr" in Thumb state with the slot holding its address | 1)
  whose service call runs the Python model of the operation, then scrambles
  r0-r3 (r0 keeps the result), r12 and the condition flags, as a real callee
  may.
- Modules: LoadModule and FindEntry work over a table of modelled modules whose
  entries, ARM or Thumb code, return programmed statuses, fault, or raise an
  exception. Every callee checks at its first instruction that it was entered
  in its own state.
- Exceptions: a fault or raise in a module's entry is dispatched as CE's
  kernel does it (see dispatch below); one that no frame takes ends the run
  with the system's box instead of a status.
- Start: r0-r3 carry the four entry values, sp is 4-aligned but not 8-aligned,
  lr points at a return address where the run stops; r4-r11 and sp must come
  back unchanged; every call into a stub or a module entry must find sp
  8-byte aligned, as the procedure call standard asks at public interfaces.
"""

import os
import struct
import sys
from dataclasses import dataclass, field

import pefile
from unicorn import (UC_ARCH_ARM, UC_HOOK_CODE, UC_HOOK_INTR, UC_HOOK_MEM_INVALID,
                     UC_HOOK_MEM_WRITE, UC_MEM_WRITE_PROT, UC_MEM_WRITE_UNMAPPED, UC_MODE_ARM,
                     UC_PROT_ALL, UC_PROT_EXEC, UC_PROT_READ, UC_PROT_WRITE, Uc, UcError)
from unicorn.arm_const import (UC_ARM_REG_CPSR, UC_ARM_REG_LR, UC_ARM_REG_PC, UC_ARM_REG_R0,
                               UC_ARM_REG_R1, UC_ARM_REG_R2, UC_ARM_REG_R3, UC_ARM_REG_R4,
                               UC_ARM_REG_R5, UC_ARM_REG_R6, UC_ARM_REG_R7, UC_ARM_REG_R8,
                               UC_ARM_REG_R9, UC_ARM_REG_R10, UC_ARM_REG_R11, UC_ARM_REG_R12,
                               UC_ARM_REG_SP, UC_CPU_ARM_PXA255, UC_CPU_ARM_SA1110,
                               UC_CPU_ARM_TI925T)

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import wince_imports  # noqa: E402

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
ERROR_MOD_NOT_FOUND = 126
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
ENTRY_VALUES = (0x00010000, 0, None, 5)  # instance, previous instance, text, show state

FAULT = object()  # an entry "status" that makes the entry read address 0 instead

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_TABLE = os.path.join(HERE, "..", "..", "platform", "wince", "coredll_imports.table")


class HarnessError(AssertionError):
    """The image did something the device model does not allow."""


@dataclass(frozen=True)
class Raise:
    """An entry "status" that makes the entry raise an exception with this code."""
    code: int


@dataclass
class Module:
    """A modelled in-process server: export name -> status (int), FAULT or Raise."""
    exports: dict = field(default_factory=dict)
    load_error: int = None  # when set, loading fails with this last error code
    thumb: bool = False  # the exports are Thumb code: their addresses have bit 0 set


@dataclass
class Box:
    owner: int
    text: str
    caption: str
    style: int


@dataclass
class SystemBox:
    """The system's box for an exception that no frame took."""
    process: str
    code: int
    address: int


@dataclass
class FilterCall:
    code: int
    pointers: int  # the EXCEPTION_POINTERS handed over
    record_code: int  # the code in the record those pointers lead to


@dataclass
class Outcome:
    status: int = None  # signed 32-bit exit status; None when the entry never returned
    boxes: list = field(default_factory=list)
    calls: list = field(default_factory=list)  # operation names, in order
    loaded: list = field(default_factory=list)  # paths handed to LoadModule
    looked_up: list = field(default_factory=list)  # export names handed to FindEntry
    filter_calls: list = field(default_factory=list)  # FilterCall, in order
    unhandled: SystemBox = None  # set when an exception ended the run
    stack_low: int = INITIAL_SP  # lowest stack address written
    stack: bytes = b""  # the stack memory at the end of the run


def read_import_table(path=DEFAULT_TABLE):
    """Returns {ordinal: operation} from the import table the build uses, read
    by the same reader that generates the import slots."""
    return {ordinal: name for name, ordinal in wince_imports.read_table(path)}


def signed32(value):
    value &= 0xFFFFFFFF
    return value - 0x100000000 if value & 0x80000000 else value


class Device:
    def __init__(self, image_path, modules, missing_error, table_path, core="SA-1110",
                 thumb_coredll=False, verdict=None):
        self.modules = modules
        self.missing_error = missing_error
        self.table = read_import_table(table_path)
        self.thumb_coredll = thumb_coredll
        self.verdict = verdict  # what the runtime exception filter answers
        self.process = os.path.basename(image_path)
        self.last_error = 0
        self.outcome = Outcome()
        self.handles = {}
        self.entries = []  # (module name, export name, status, address)
        self.services = {}  # callee address -> operation name, or index into entries
        self.states = {}  # callee address -> whether it is Thumb code
        self.scramble = 0
        self.pending = self.raised = self.access = None
        self.callee_pc = None  # the last instruction run in a stub or an entry
        model, _, has_thumb = CORES[core]
        if not has_thumb and (thumb_coredll or any(m.thumb for m in modules.values())):
            raise HarnessError(f"{core} has no Thumb state")
        self.uc = Uc(UC_ARCH_ARM, UC_MODE_ARM)
        self.uc.ctl_set_cpu_model(model)
        with open(image_path, "rb") as stream:
            self.image = stream.read()
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
            raise HarnessError(f"no model for the imported operations {sorted(missing)}")
        self.load()

    # Loading -----------------------------------------------------------

    def load(self):
        pe = pefile.PE(data=self.image)
        if pe.FILE_HEADER.Machine != 0x01C0:
            raise HarnessError("not an ARM image")
        optional = pe.OPTIONAL_HEADER
        # The certificate table (4) of a signed image lies in the file past
        # the sections, and is never mapped.
        for index, directory in enumerate(optional.DATA_DIRECTORY):
            if index not in (1, 2, 3, 4, 5, 12) and (directory.VirtualAddress or directory.Size):
                raise HarnessError(f"data directory {directory.name} is not modelled")
        size = (optional.SizeOfImage + 0xFFF) & ~0xFFF
        self.image_end = LOAD_BASE + size
        self.uc.mem_map(LOAD_BASE, size, UC_PROT_ALL)
        self.uc.mem_write(LOAD_BASE, self.image[:optional.SizeOfHeaders])
        protections = [(LOAD_BASE, 0x1000, UC_PROT_READ)]
        for section in pe.sections:
            data = section.get_data()[:section.Misc_VirtualSize]
            self.uc.mem_write(LOAD_BASE + section.VirtualAddress, data)
            access = 0
            if section.Characteristics & 0x40000000:
                access |= UC_PROT_READ
            if section.Characteristics & 0x80000000:
                access |= UC_PROT_WRITE
            if section.Characteristics & 0x20000000:
                access |= UC_PROT_EXEC
            span = (section.Misc_VirtualSize + 0xFFF) & ~0xFFF
            protections.append((LOAD_BASE + section.VirtualAddress, span, access))

        delta = LOAD_BASE - optional.ImageBase
        for block in getattr(pe, "DIRECTORY_ENTRY_BASERELOC", []):
            for entry in block.entries:
                if entry.type == 0:
                    continue
                if entry.type != 3:
                    raise HarnessError(f"base relocation type {entry.type} is not modelled")
                where = LOAD_BASE + entry.rva
                self.write_words(where, [self.read_word(where) + delta])

        self.uc.mem_map(STUB_BASE, 0x1000, UC_PROT_READ | UC_PROT_EXEC)
        imports = getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])
        if len(imports) != 1:
            raise HarnessError(f"{len(imports)} import descriptors; only COREDLL.dll is allowed")
        for descriptor in imports:
            if descriptor.dll.decode("ascii", "replace").lower() != "coredll.dll":
                raise HarnessError(f"import from {descriptor.dll!r}; only COREDLL.dll is allowed")
            for index, symbol in enumerate(descriptor.imports):
                if symbol.import_by_ordinal is not True or symbol.name is not None:
                    raise HarnessError(f"import by name {symbol.name!r}")
                if symbol.ordinal not in self.table:
                    raise HarnessError(f"ordinal {symbol.ordinal} is not in the import table")
                stub = self.place_callee(STUB_BASE + 8 * index, self.thumb_coredll, False)
                self.services[STUB_BASE + 8 * index] = self.table[symbol.ordinal]
                slot = symbol.address - optional.ImageBase + LOAD_BASE
                self.write_words(slot, [stub])

        for address, span, access in protections:
            self.uc.mem_protect(address, span, access)
        self.entry_point = LOAD_BASE + optional.AddressOfEntryPoint

        # Module entries: a programmed status comes back from a service call
        # (and so does a raise); a faulting entry reads address 0, never mapped.
        self.uc.mem_map(ENTRY_BASE, 0x1000, UC_PROT_READ | UC_PROT_EXEC)
        for name, module in self.modules.items():
            for export, status in module.exports.items():
                address = ENTRY_BASE + 8 * len(self.entries)
                self.services[address] = len(self.entries)
                address = self.place_callee(address, module.thumb, status is FAULT)
                self.entries.append((name, export, status, address))

        self.uc.mem_map(RETURN_ADDRESS, 0x1000, UC_PROT_READ | UC_PROT_EXEC)
        self.uc.mem_map(STACK_BASE, STACK_SIZE, UC_PROT_READ | UC_PROT_WRITE)
        self.uc.hook_add(UC_HOOK_INTR, self.on_service_call)
        self.uc.hook_add(UC_HOOK_CODE, self.on_callee, begin=STUB_BASE, end=ENTRY_BASE + 0xFFF)
        self.uc.hook_add(UC_HOOK_MEM_INVALID, self.on_invalid_access)
        self.uc.hook_add(UC_HOOK_MEM_WRITE, self.on_stack_write, begin=STACK_BASE,
                         end=STACK_BASE + STACK_SIZE - 1)

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
        self.uc.mem_map(COMMAND_LINE_BASE, (len(text) + 0xFFF) & ~0xFFF, UC_PROT_READ)
        self.uc.mem_write(COMMAND_LINE_BASE, text)
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
                raise HarnessError(f"callee-saved register {register} not preserved")
        if self.uc.reg_read(UC_ARM_REG_SP) != INITIAL_SP:
            raise HarnessError("sp not preserved across the entry")
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
                raise HarnessError(f"{error} at pc 0x{pc:08X} (image offset "
                                   f"0x{pc - LOAD_BASE:X})") from error
            if self.raised:
                return self.raised
            if self.pending is None:
                break
            operation, args = self.pending
            self.returned(operation(*args))
            pc = self.uc.reg_read(UC_ARM_REG_PC) | bool(self.uc.reg_read(UC_ARM_REG_CPSR) & THUMB)
        pc = self.uc.reg_read(UC_ARM_REG_PC)
        if pc != until:
            raise HarnessError(f"stopped at 0x{pc:08X} without returning "
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
            raise HarnessError("an exception while one is dispatched is not modelled")
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
            raise HarnessError(f"{own} callee at 0x{address:08X} entered in {other} state")

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
            raise HarnessError(f"unexpected exception {interrupt} at 0x{pc:08X}")
        service = self.services.get(address)
        if service is None:
            raise HarnessError(f"service call from 0x{address:08X}: not a stub")
        if uc.reg_read(UC_ARM_REG_SP) % 8:
            raise HarnessError(f"call from 0x{uc.reg_read(UC_ARM_REG_LR):08X} with sp not "
                               "8-byte aligned")
        args = [uc.reg_read(r) for r in REGISTERS[:4]]
        if isinstance(service, int):  # a module's entry
            name, export, status, _ = self.entries[service]
            self.outcome.calls.append(f"{name}!{export}")
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
        self.scramble += 1
        uc.reg_write(UC_ARM_REG_R0, (result if result is not None else 0xDEAD0000) & 0xFFFFFFFF)
        uc.reg_write(UC_ARM_REG_R1, 0xDEAD1111 ^ self.scramble)
        uc.reg_write(UC_ARM_REG_R2, 0xDEAD2222 ^ self.scramble)
        uc.reg_write(UC_ARM_REG_R3, 0xDEAD3333 ^ self.scramble)
        uc.reg_write(UC_ARM_REG_R12, 0xDEADCCCC ^ self.scramble)
        flags = 0xF0000000 if self.scramble % 2 else 0x50000000
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
                            raise HarnessError("unwinding through a guarded frame is not modelled")
                        # The inner frames are unwound; this frame's prolog is not.
                        target = self.read_word(dispatcher)
                        registers[0] = code
                        registers[PSR] = registers[PSR] & ~THUMB | (THUMB if target & 1 else 0)
                        for register, value in zip(REGISTERS, registers):
                            self.uc.reg_write(register, value)
                        return target
                    if disposition != CONTINUE_SEARCH:
                        raise HarnessError(f"disposition {disposition} is not modelled")
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
                    raise HarnessError(f"the prolog at 0x{start:08X} pushes pc: a trap frame")
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
                    raise HarnessError(f"sub sp, sp, r12 at 0x{at:08X} without ldr r12, [pc, #n]")
                registers[SP] += self.read_word(at + 4 + (load & 0xFFF))
            elif word & 0x0C000000 == 0 and word >> 21 & 15 in (0x2, 0x4, 0xD) and rd == FP:
                frame_pointer = True  # mov/add/sub r11, ...
            elif word & 0x0FBF0FFF == 0x010F0000:  # mrs rX, psr
                registers[PSR] = registers[rd]
        registers[SP] &= 0xFFFFFFFF
        registers[PC] = registers[LR]
        return registers

    def handle_exception(self, record, frame, context, dispatcher):
        """COREDLL's C language handler over the function's scope table: the
        first scope that holds the control pc and has a jump target gets its
        filter asked, as emulated code with r11 = the establisher frame."""
        if self.read_word(record + 4) & EXCEPTION_UNWINDING:
            raise HarnessError("termination handlers are not modelled")
        control_pc, function_entry = self.read_words(dispatcher, 2)
        scopes = self.read_word(self.read_word(function_entry) - 4)
        for index in range(self.read_word(scopes)):
            begin, end, filter_address, target = self.read_words(scopes + 4 + 16 * index, 4)
            if begin <= control_pc < end and target:
                pointers = (self.uc.reg_read(UC_ARM_REG_SP) - 8) & ~7
                self.write_words(pointers, [record, context])
                verdict = signed32(self.call(filter_address, [pointers], pointers, r11=frame))
                if verdict > 0:
                    self.write_words(dispatcher, [target])
                    return EXECUTE_HANDLER
                if verdict < 0:
                    return CONTINUE_EXECUTION
        return CONTINUE_SEARCH

    # Memory helpers ------------------------------------------------------

    def read_words(self, address, count):
        return list(struct.unpack(f"<{count}I", self.uc.mem_read(address, 4 * count)))

    def read_word(self, address):
        return self.read_words(address, 1)[0]

    def write_words(self, address, words):
        self.uc.mem_write(address, struct.pack(f"<{len(words)}I",
                                               *(word & 0xFFFFFFFF for word in words)))

    def read_text(self, address, limit=4096):
        units = []
        while True:
            (unit,) = struct.unpack("<H", self.uc.mem_read(address + 2 * len(units), 2))
            if unit == 0:
                return "".join(map(chr, units))
            units.append(unit)
            if len(units) > limit:
                raise HarnessError(f"unterminated text at 0x{address:08X}")

    def check_writable(self, address, size):
        # A callee writing for the image obeys the page protections too.
        for begin, end, access in self.uc.mem_regions():
            if begin <= address and address + size - 1 <= end and access & UC_PROT_WRITE:
                return
        raise HarnessError(f"operation writes {size} bytes at 0x{address:08X}: not writable")

    def write_text(self, address, text):
        data = text.encode("utf-16-le") + b"\0\0"
        self.check_writable(address, len(data))
        self.uc.mem_write(address, data)

    # Operation models ------------------------------------------------------

    def load_module(self, path, *_):
        name = self.read_text(path)
        self.outcome.loaded.append(name)
        module = self.modules.get(name)
        if module is None or module.load_error is not None:
            self.last_error = self.missing_error if module is None else module.load_error
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
        format_text = self.read_text(format_address)
        values = [first, second]
        out = []
        i = 0
        while i < len(format_text):
            if format_text.startswith("%%", i):
                out.append("%")
                i += 2
            elif format_text.startswith("%i", i) or format_text.startswith("%08X", i):
                if not values:
                    raise HarnessError("FormatText model takes two values at most")
                value = values.pop(0)
                if format_text[i + 1] == "i":
                    out.append(str(signed32(value)))
                    i += 2
                else:
                    out.append(f"{value & 0xFFFFFFFF:08X}")
                    i += 4
            elif format_text[i] == "%":
                raise HarnessError(f"format {format_text!r} is not modelled")
            else:
                out.append(format_text[i])
                i += 1
        text = "".join(out)
        self.write_text(destination, text)
        return len(text)

    def show_message_box(self, owner, text, caption, style):
        self.outcome.boxes.append(Box(owner, self.read_text(text), self.read_text(caption),
                                      style))
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
        self.check_writable(destination, count)
        self.uc.mem_write(destination, bytes([value & 0xFF]) * count)
        return destination

    def filter_exception(self, code, pointers, *_):
        record = self.read_word(pointers)
        self.outcome.filter_calls.append(FilterCall(code, pointers, self.read_word(record)))
        if self.verdict is None:
            raise HarnessError("the exception filter was asked, but the run chose no verdict")
        return self.verdict


def run(image_path, command_line, modules=None, missing_error=ERROR_MOD_NOT_FOUND,
        table_path=DEFAULT_TABLE, **device):
    """Runs the image once with the argument text; returns the Outcome.
    `device` takes the core, thumb_coredll and the filter's verdict."""
    return Device(image_path, modules or {}, missing_error, table_path, **device).run(command_line)
