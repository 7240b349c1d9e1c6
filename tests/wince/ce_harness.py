"""Runs comenrol.exe for Windows CE on an emulated StrongARM SA-1110.

The harness is a small model of what the device does with the image:

- Loading: the PE image is mapped at LOAD_BASE, not at its preferred base, so
  every absolute address in it must be fixed up through its base relocations;
  the preferred base stays unmapped, and a missed fixup faults. Sections get
  the access their characteristics ask for.
- Imports: only COREDLL.dll, only by ordinal, only the ordinals listed in
  platform/wince/coredll_imports.table. Each resolves to a stub ("svc; mov pc,
  lr") whose service call runs the Python model of the operation, then
  scrambles r0-r3 (r0 keeps the result), r12 and the condition flags, as a real
  callee may.
- Modules: LoadModule and FindEntry work over a table of modelled modules whose
  entries return programmed statuses or fault.
- Start: r0-r3 carry the four entry values, sp is 4-aligned but not 8-aligned,
  lr points at a return address where the run stops; r4-r11 and sp must come
  back unchanged; every call into a stub or a module entry must find sp
  8-byte aligned, as the procedure call standard asks at public interfaces.

The CPU model rejects every instruction newer than ARMv4 (bx, blx, clz, movw,
...), so the run only completes if the whole executed path is ARMv4 code.
"""

import os
import struct
import sys
from dataclasses import dataclass, field

import pefile
from unicorn import (UC_ARCH_ARM, UC_HOOK_INTR, UC_HOOK_MEM_WRITE, UC_MODE_ARM, UC_PROT_ALL,
                     UC_PROT_EXEC, UC_PROT_READ, UC_PROT_WRITE, Uc, UcError)
from unicorn.arm_const import (UC_ARM_REG_CPSR, UC_ARM_REG_LR, UC_ARM_REG_PC, UC_ARM_REG_R0,
                               UC_ARM_REG_R1, UC_ARM_REG_R2, UC_ARM_REG_R3, UC_ARM_REG_R4,
                               UC_ARM_REG_R5, UC_ARM_REG_R6, UC_ARM_REG_R7, UC_ARM_REG_R8,
                               UC_ARM_REG_R9, UC_ARM_REG_R10, UC_ARM_REG_R11, UC_ARM_REG_R12,
                               UC_ARM_REG_SP, UC_CPU_ARM_SA1110)

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import wince_imports  # noqa: E402

LOAD_BASE = 0x00400000
STUB_BASE = 0x00800000  # COREDLL stubs: svc #index; mov pc, lr
ENTRY_BASE = 0x00900000  # modelled modules' entries
RETURN_ADDRESS = 0x00A00000  # where the entry returns to
COMMAND_LINE_BASE = 0x00B00000  # the argument text, read-only
STACK_BASE = 0x00C00000
STACK_SIZE = 0x10000
INITIAL_SP = STACK_BASE + STACK_SIZE - 12  # 4-aligned, not 8-aligned
MODULE_HANDLE_BASE = 0x02000000
INSTRUCTION_LIMIT = 2_000_000

SVC = 0xEF000000
MOV_PC_LR = 0xE1A0F00E
MOV_R0_0 = 0xE3A00000
LDR_R0_R0 = 0xE5900000

ERROR_INVALID_HANDLE = 6
ERROR_MOD_NOT_FOUND = 126
ERROR_PROC_NOT_FOUND = 127

CALLEE_SAVED = {
    UC_ARM_REG_R4: 0x44440404, UC_ARM_REG_R5: 0x55550505, UC_ARM_REG_R6: 0x66660606,
    UC_ARM_REG_R7: 0x77770707, UC_ARM_REG_R8: 0x88880808, UC_ARM_REG_R9: 0x99990909,
    UC_ARM_REG_R10: 0xAAAA0A0A, UC_ARM_REG_R11: 0xBBBB0B0B,
}
ENTRY_VALUES = (0x00010000, 0, None, 5)  # instance, previous instance, text, show state

FAULT = object()  # an entry "status" that makes the entry fault instead

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_TABLE = os.path.join(HERE, "..", "..", "platform", "wince", "coredll_imports.table")


class HarnessError(AssertionError):
    """The image did something the device model does not allow."""


@dataclass
class Module:
    """A modelled in-process server: export name -> status (int) or FAULT."""
    exports: dict = field(default_factory=dict)
    load_error: int = None  # when set, loading fails with this last error code


@dataclass
class Box:
    owner: int
    text: str
    caption: str
    style: int


@dataclass
class Outcome:
    status: int = None  # signed 32-bit exit status; None when the run faulted
    boxes: list = field(default_factory=list)
    calls: list = field(default_factory=list)  # operation names, in order
    loaded: list = field(default_factory=list)  # paths handed to LoadModule
    looked_up: list = field(default_factory=list)  # export names handed to FindEntry
    fault: str = None
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
    def __init__(self, image_path, modules, missing_error, table_path):
        self.modules = modules
        self.missing_error = missing_error
        self.table = read_import_table(table_path)
        self.last_error = 0
        self.outcome = Outcome()
        self.handles = {}
        self.entries = []  # (module name, export name, status or FAULT)
        self.scramble = 0
        self.uc = Uc(UC_ARCH_ARM, UC_MODE_ARM)
        self.uc.ctl_set_cpu_model(UC_CPU_ARM_SA1110)
        with open(image_path, "rb") as stream:
            self.image = stream.read()
        self.models = {
            "LoadModule": self.load_module, "FindEntry": self.find_entry,
            "LastErrorCode": self.last_error_code, "FormatText": self.format_text,
            "ShowMessageBox": self.show_message_box, "FindSubstring": self.find_substring,
            "FindUnit": self.find_unit, "FillBytes": self.fill_bytes,
        }
        missing = set(self.table.values()) - set(self.models)
        if missing:
            raise HarnessError(f"no model for the imported operations {sorted(missing)}")
        self.load()

    # Loading -----------------------------------------------------------

    def load(self):
        pe = pefile.PE(data=self.image)
        if pe.FILE_HEADER.Machine != 0x01C0:
            raise HarnessError("not an ARM image")
        optional = pe.OPTIONAL_HEADER
        for index, directory in enumerate(optional.DATA_DIRECTORY):
            if index not in (1, 2, 5, 12) and (directory.VirtualAddress or directory.Size):
                raise HarnessError(f"data directory {directory.name} is not modelled")
        size = (optional.SizeOfImage + 0xFFF) & ~0xFFF
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
                (word,) = struct.unpack("<I", self.uc.mem_read(where, 4))
                self.uc.mem_write(where, struct.pack("<I", (word + delta) & 0xFFFFFFFF))

        self.uc.mem_map(STUB_BASE, 0x1000, UC_PROT_READ | UC_PROT_EXEC)
        self.stubs = {}
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
                stub = STUB_BASE + 8 * index
                self.uc.mem_write(stub, struct.pack("<II", SVC | index, MOV_PC_LR))
                self.stubs[index] = self.table[symbol.ordinal]
                slot = symbol.address - optional.ImageBase + LOAD_BASE
                self.uc.mem_write(slot, struct.pack("<I", stub))

        for address, span, access in protections:
            self.uc.mem_protect(address, span, access)
        self.entry_point = LOAD_BASE + optional.AddressOfEntryPoint

        # Module entries: a programmed status comes back from a service call;
        # a faulting entry reads address 0, which is never mapped.
        self.uc.mem_map(ENTRY_BASE, 0x1000, UC_PROT_READ | UC_PROT_EXEC)
        for name, module in self.modules.items():
            for export, status in module.exports.items():
                address = ENTRY_BASE + 8 * len(self.entries)
                if status is FAULT:
                    code = struct.pack("<II", MOV_R0_0, LDR_R0_R0)
                else:
                    code = struct.pack("<II", SVC | (0x1000 + len(self.entries)), MOV_PC_LR)
                self.uc.mem_write(address, code)
                self.entries.append((name, export, status, address))

        self.uc.mem_map(RETURN_ADDRESS, 0x1000, UC_PROT_READ | UC_PROT_EXEC)
        self.uc.mem_map(STACK_BASE, STACK_SIZE, UC_PROT_READ | UC_PROT_WRITE)
        self.uc.hook_add(UC_HOOK_INTR, self.on_service_call)
        self.uc.hook_add(UC_HOOK_MEM_WRITE, self.on_stack_write, begin=STACK_BASE,
                         end=STACK_BASE + STACK_SIZE - 1)

    # Running -----------------------------------------------------------

    def run(self, command_line):
        text = command_line.encode("utf-16-le") + b"\0\0"
        self.uc.mem_map(COMMAND_LINE_BASE, (len(text) + 0xFFF) & ~0xFFF, UC_PROT_READ)
        self.uc.mem_write(COMMAND_LINE_BASE, text)
        instance, previous, _, show = ENTRY_VALUES
        for register, value in zip((UC_ARM_REG_R0, UC_ARM_REG_R1, UC_ARM_REG_R2, UC_ARM_REG_R3),
                                   (instance, previous, COMMAND_LINE_BASE, show)):
            self.uc.reg_write(register, value)
        for register, value in CALLEE_SAVED.items():
            self.uc.reg_write(register, value)
        self.uc.reg_write(UC_ARM_REG_R12, 0xC0C0C0C0)
        self.uc.reg_write(UC_ARM_REG_SP, INITIAL_SP)
        self.uc.reg_write(UC_ARM_REG_LR, RETURN_ADDRESS)
        try:
            self.uc.emu_start(self.entry_point, RETURN_ADDRESS, count=INSTRUCTION_LIMIT)
        except UcError as error:
            pc = self.uc.reg_read(UC_ARM_REG_PC)
            if ENTRY_BASE <= pc < ENTRY_BASE + 0x1000:
                self.outcome.fault = f"{error} in a module entry"
                return self.finish()
            raise HarnessError(f"{error} at pc 0x{pc:08X} (image offset "
                               f"0x{pc - LOAD_BASE:X})") from error
        pc = self.uc.reg_read(UC_ARM_REG_PC)
        if pc != RETURN_ADDRESS:
            raise HarnessError(f"stopped at 0x{pc:08X} without returning "
                               f"(more than {INSTRUCTION_LIMIT} instructions?)")
        for register, value in CALLEE_SAVED.items():
            if self.uc.reg_read(register) != value:
                raise HarnessError(f"callee-saved register {register} not preserved")
        if self.uc.reg_read(UC_ARM_REG_SP) != INITIAL_SP:
            raise HarnessError("sp not preserved across the entry")
        self.outcome.status = signed32(self.uc.reg_read(UC_ARM_REG_R0))
        return self.finish()

    def finish(self):
        self.outcome.stack = bytes(self.uc.mem_read(STACK_BASE, STACK_SIZE))
        return self.outcome

    def on_stack_write(self, uc, access, address, size, value, user_data):
        self.outcome.stack_low = min(self.outcome.stack_low, address)

    def on_service_call(self, uc, interrupt, user_data):
        pc = uc.reg_read(UC_ARM_REG_PC)
        (instruction,) = struct.unpack("<I", uc.mem_read(pc - 4, 4))
        if interrupt != 2 or instruction & 0xFF000000 != SVC:
            raise HarnessError(f"unexpected exception {interrupt} at 0x{pc:08X}")
        number = instruction & 0xFFFFFF
        if uc.reg_read(UC_ARM_REG_SP) % 8:
            raise HarnessError(f"call from 0x{uc.reg_read(UC_ARM_REG_LR):08X} with sp not "
                               "8-byte aligned")
        args = [uc.reg_read(r) for r in (UC_ARM_REG_R0, UC_ARM_REG_R1, UC_ARM_REG_R2,
                                         UC_ARM_REG_R3)]
        if STUB_BASE < pc <= STUB_BASE + 0x1000 and number in self.stubs:
            operation = self.stubs[number]
            self.outcome.calls.append(operation)
            result = self.models[operation](*args)
        elif ENTRY_BASE < pc <= ENTRY_BASE + 0x1000 and number >= 0x1000:
            name, export, status, _ = self.entries[number - 0x1000]
            self.outcome.calls.append(f"{name}!{export}")
            result = status
        else:
            raise HarnessError(f"service call {number:#x} from 0x{pc - 4:08X}: not a stub")
        # A callee may leave anything in r1-r3, r12 and the flags.
        self.scramble += 1
        uc.reg_write(UC_ARM_REG_R0, (result if result is not None else 0xDEAD0000) & 0xFFFFFFFF)
        uc.reg_write(UC_ARM_REG_R1, 0xDEAD1111 ^ self.scramble)
        uc.reg_write(UC_ARM_REG_R2, 0xDEAD2222 ^ self.scramble)
        uc.reg_write(UC_ARM_REG_R3, 0xDEAD3333 ^ self.scramble)
        uc.reg_write(UC_ARM_REG_R12, 0xDEADCCCC ^ self.scramble)
        flags = 0xF0000000 if self.scramble % 2 else 0x50000000
        uc.reg_write(UC_ARM_REG_CPSR, (uc.reg_read(UC_ARM_REG_CPSR) & 0x0FFFFFFF) | flags)

    # Memory helpers ------------------------------------------------------

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


def run(image_path, command_line, modules=None, missing_error=ERROR_MOD_NOT_FOUND,
        table_path=DEFAULT_TABLE):
    """Runs the image once with the argument text; returns the Outcome."""
    device = Device(image_path, modules or {}, missing_error, table_path)
    return device.run(command_line)
