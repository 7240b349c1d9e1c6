#!/usr/bin/python3
"""A desktop comenrol.exe (x86, x64 or ARM64, as its header says) run on an
emulated CPU over a model of the parts of Windows it uses: its behaviour where
Wine cannot start it, and its calling contract, which Wine would not check.

- Loading: at LOAD_BASE (above 4 GiB for the 64-bit images, so that an
  address cut to 32 bits faults), away from the preferred base, through
  tests/emulation.py.
- Imports: KERNEL32.dll alone, each function a stub whose model runs the call
  in the CPU's convention (x86 stdcall: the arguments popped and their slots
  written over; x64: rcx, rdx, r8, r9, then the stack, the home slots written
  over; ARM64: x0-x7, then the stack), keeps the callee-saved registers and
  scrambles the others. A function without a model, or any other DLL, fails
  the run. USER32 is found through GetProcAddress. Loading the module
  USES_OLE32 brings a modelled ole32.dll in, for GetModuleHandleW to find; its
  CoInitializeEx records its arguments.
- Calls: every call and return is followed (see step); every call into a
  model finds the stack aligned as the convention promises.
- Modules: the test modules, by their paths in the Windows case table; entries
  return a status, fault at address 0 or raise. An exception that escapes is
  handed to the filter the image registered, with EXCEPTION_POINTERS. A path
  is made full against C:\work; a module of another machine has a header
  to read, and a sibling build that either is missing or ends with a status.
- The run ends at ExitProcess, or at TerminateProcess on the current process.

Usage: emulated.py COMENROL_EXE
"""

import os
import struct
import sys
import unittest
from dataclasses import dataclass, field

from unicorn import (UC_ARCH_ARM64, UC_ARCH_X86, UC_HOOK_BLOCK, UC_MODE_32, UC_MODE_64,
                     UC_MODE_ARM, UC_PROT_EXEC, UC_PROT_READ, UC_PROT_WRITE, Uc, UcError)
from unicorn import arm64_const as arm64
from unicorn import x86_const as x86

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.dirname(HERE)]
from cases import (BAD_EXE_FORMAT, EXCEPTIONS, NO_SYSTEM_BOXES, OPTION_SETS, RETURNS,  # noqa: E402
                   mod, status_cases)
from emulation import Guest, Image  # noqa: E402
from expected import boxes, load_failed, signed32  # noqa: E402
from wine_host import windows_path  # noqa: E402

LOAD_BASE = 0x10000000
STUBS = 0x20000000  # 16 bytes of a trap per stub
MODULE_CODE = 0x21000000  # the modelled modules' own code
STACK, STACK_SIZE = 0x30000000, 0x100000
STACK_TOP = STACK + STACK_SIZE - 0x100
LINE = 0x40000000  # the process's command line, read-only
RETURN = 0x50000000  # where the entry, or the filter, would return to
LOAD_LIBRARY_SEARCH_SYSTEM32, UOI_FLAGS, WSF_VISIBLE = 0x800, 1, 1
LOAD_WITH_ALTERED_SEARCH_PATH = 0x8
# Every flag that adds a place to the search: the altered search path, the
# module's own folder, the program's, the user's folders, the default set.
SEARCH_FLAGS = 0x8 | 0x100 | 0x200 | 0x400 | 0x1000
CURRENT_DIRECTORY, WINDOWS = "C:\\work\\", "C:\\Windows"
FILE_HANDLE, PROCESS_HANDLE, INFINITE = 0x9000, 0x9100, 0xFFFFFFFF
D = 0xFFFFFFFF  # a 32-bit argument's bits
ERROR_FILE_NOT_FOUND = 2
INHERITED_MODE = 0x4  # SEM_NOALIGNMENTFAULTEXCEPT, as a parent may pass it on


class Cpu:
    """What differs between the CPUs: registers, conventions, a call's shape."""

    def __init__(self, machine, folder, other, mode, high, pointer, sp, pc, result, saved,
                 scratch, registers, stack_arguments, popped_by_return, aligned, trap, fault):
        self.machine, self.folder, self.other, self.mode, self.high = machine, folder, other, \
            mode, high
        self.pointer, self.sp, self.pc, self.result = pointer, sp, pc, result
        self.saved, self.scratch, self.registers = saved, scratch, registers
        # Where the stacked arguments start, above sp at the callee's entry;
        # what a return pops; how sp sits at a callee's entry (modulus, rest).
        self.stack_arguments, self.popped_by_return, self.aligned = stack_arguments, \
            popped_by_return, aligned
        self.trap, self.fault = trap, fault


X = [getattr(arm64, f"UC_ARM64_REG_X{n}") for n in range(31)]
CPUS = {cpu.machine: cpu for cpu in [
    Cpu(0x014C, "x86", 0x8664, (UC_ARCH_X86, UC_MODE_32), 0, 4, x86.UC_X86_REG_ESP,
        x86.UC_X86_REG_EIP, x86.UC_X86_REG_EAX,
        [x86.UC_X86_REG_EBX, x86.UC_X86_REG_ESI, x86.UC_X86_REG_EDI, x86.UC_X86_REG_EBP],
        [x86.UC_X86_REG_ECX, x86.UC_X86_REG_EDX], [], 4, 4, (4, 0), b"\xf4",
        bytes.fromhex("c7050000000001000000c3")),  # mov dword [0], 1; ret
    Cpu(0x8664, "x64", 0x014C, (UC_ARCH_X86, UC_MODE_64), 0x7FF000000000, 8,
        x86.UC_X86_REG_RSP, x86.UC_X86_REG_RIP, x86.UC_X86_REG_RAX,
        [getattr(x86, "UC_X86_REG_" + r) for r in "RBX RBP RDI RSI R12 R13 R14 R15".split()]
        + [getattr(x86, f"UC_X86_REG_XMM{n}") for n in range(6, 16)],
        [getattr(x86, "UC_X86_REG_" + r) for r in "RCX RDX R8 R9 R10 R11".split()],
        [getattr(x86, "UC_X86_REG_" + r) for r in "RCX RDX R8 R9".split()], 0x28, 8, (16, 8),
        b"\xf4", bytes.fromhex("c7042500000000" "01000000c3")),  # mov dword [0], 1; ret
    Cpu(0xAA64, "arm64", 0x8664, (UC_ARCH_ARM64, UC_MODE_ARM), 0x7FF000000000, 8,
        arm64.UC_ARM64_REG_SP, arm64.UC_ARM64_REG_PC, X[0],
        X[19:30] + [getattr(arm64, f"UC_ARM64_REG_D{n}") for n in range(8, 16)],
        X[1:18] + [getattr(arm64, f"UC_ARM64_REG_D{n}") for n in range(8)], X[:8], 0, 0, (16, 0),
        struct.pack("<I", 0xD4200000),  # brk #0
        struct.pack("<3I", 0xD2800000, 0xB9000000, 0xD65F03C0)),  # mov x0, 0; str w0, [x0]; ret
]}


class Space:
    """Where the case table finds its modules; only the paths count."""
    root = "/w"
    mods, spaced, non_ascii, split = "/w/mods", "/w/with space", "/w/Модули", "/w/split-dir"


def path(directory, name):
    return windows_path(os.path.join(directory, name + ".dll")).lower()


def both(status):
    return {"DllRegisterServer": status, "DllUnregisterServer": status}


# Windows path -> export name -> status, "fault" or RAISE; or the load's error.
RAISE = {module: code for module, code, _ in EXCEPTIONS}["raises_custom"]
MODULES = {path(Space.mods, name): exports for name, exports in [
    *((name, both(value)) for name, value in RETURNS.items()),
    ("register_only", {"DllRegisterServer": 0}), ("faults", both("fault")),
    ("raises_custom", both(RAISE)), ("init_fails", 1114), ("other_bitness", 193)]}
# The copies elsewhere in the workspace behave as the originals.
MODULES.update({path(directory, copy): both(RETURNS[name]) for directory, copy, name in [
    (Space.spaced, "returns_zero", "returns_zero"),
    (Space.non_ascii, "returns_general_failure", "returns_general_failure"),
    (Space.root, "split", "returns_general_failure")]})
SYSNATIVE = WINDOWS + "\\Sysnative\\other.dll"
MODULES[SYSNATIVE.lower()] = 193
MODULES[(CURRENT_DIRECTORY + "sub\\returns_zero.dll").lower()] = both(0)
# A module whose load brings ole32.dll into the process, as an import would.
USES_OLE32 = path(Space.mods, "probe_ole32")
MODULES[USES_OLE32] = both(0)
COINIT_APARTMENTTHREADED = 2


def pe_header(machine):
    """The start of a module file of that machine, as far as its header is read."""
    return b"MZ".ljust(0x3C, b"\0") + struct.pack("<I", 0x80) + bytes(0x40) + b"PE\0\0" + \
        struct.pack("<H", machine)


class Ended(Exception):
    """The process ended, or an exception left a module's entry."""


@dataclass
class Run:
    line: str  # the whole command line, program name first
    visible: bool = True  # the window station's WSF_VISIBLE
    user32: bool = True  # whether USER32.dll loads
    sibling: int = None  # the sibling build's status, when there is one
    started: list = field(default_factory=list)  # CreateProcessW's program and line
    boxes: list = field(default_factory=list)
    mode: int = INHERITED_MODE  # the process's error mode
    loaded: list = field(default_factory=list)  # LoadLibraryExW's names
    com: list = field(default_factory=list)  # CoInitializeEx's arguments
    com_at_entry: list = None  # and those made before the module's entry ran
    filter: int = 0
    status: int = None
    ended_by: str = None
    last_error: int = 0
    pending: tuple = None  # an exception code and address to dispatch
    error: Exception = None  # what the model found wrong


class Emulator(Guest):
    def __init__(self, image_path):
        with open(image_path, "rb") as stream:
            self.image = Image(stream.read())
        self.cpu = cpu = CPUS[self.image.pe.FILE_HEADER.Machine]
        (self.load_base, self.stubs_at, self.module_code, self.stack, self.stack_top, self.line,
         self.return_at) = (address + cpu.high for address in (
             LOAD_BASE, STUBS, MODULE_CODE, STACK, STACK_TOP, LINE, RETURN))
        self.program = "C:\\Program Files\\comenrol\\%s\\comenrol.exe" % cpu.folder
        other = {0x8664: "x64", 0x014C: "x86"}[cpu.other]
        self.sibling = "C:\\Program Files\\comenrol\\%s\\..\\%s\\comenrol.exe" % (cpu.folder,
                                                                                   other)
        self.files = {path(Space.mods, "other_bitness"): pe_header(cpu.other),
                      SYSNATIVE.lower(): pe_header(0x8664)}
        self.mask = (1 << 8 * cpu.pointer) - 1
        text = self.image.pe.sections[0]
        self.code = range(self.load_base + text.VirtualAddress,
                          self.load_base + text.VirtualAddress + text.Misc_VirtualSize)
        self.ends_in_call = {}  # (start, end) of a block: whether it ends in a call

    def kernel32(self, entry):
        if entry.dll.upper() != "KERNEL32.DLL":
            raise AssertionError("imports from " + entry.dll)
        return self.stub(getattr(self, "k_" + str(entry.name), None) or self.unmodelled)

    def stub(self, model):
        self.stubs.append(model)
        return self.stubs_at + 16 * (len(self.stubs) - 1)

    def run(self, run):
        self.stubs, self.handles, self.names, self.state = [], {}, {}, run
        cpu = self.cpu
        super().__init__(Uc(*cpu.mode))
        entry = self.load(self.image, self.load_base)
        code = UC_PROT_READ | UC_PROT_EXEC
        self.map(self.stubs_at, 0x10000, code, cpu.trap * (0x10000 // len(cpu.trap)))
        self.map(self.module_code, 0x1000, code, cpu.fault)
        self.map(self.stack, STACK_SIZE, UC_PROT_READ | UC_PROT_WRITE)
        self.map(self.line, 0x1000, UC_PROT_READ, run.line.encode("utf-16-le") + b"\0\0")
        self.map(self.return_at, 0x1000, code, cpu.trap * (0x1000 // len(cpu.trap)))
        self.bind(self.image, self.load_base, self.kernel32)
        self.uc.hook_add(UC_HOOK_BLOCK, self.step)
        self.start(entry, self.stack_top, [])
        if run.pending:  # the system's unhandled-exception path: the image's filter
            code, address = run.pending
            run.pending = None
            assert run.filter in self.code, "no filter registered"
            frame = self.uc.reg_read(cpu.sp) - 0x1000 & ~15
            record = struct.pack("<2I", code, 0) + struct.pack("<2Q", 0, address)
            self.uc.mem_write(frame, record.ljust(0x100, b"\0") + bytes(0x500))
            pointers = frame - 16
            self.write_pointers(pointers, [frame, frame + 0x100], cpu.pointer)
            self.start(run.filter, pointers - 64, [pointers])
        assert run.status is not None, "the run did not end"
        return run

    def start(self, address, sp, arguments):
        """Calls the function at address with the arguments, returning to RETURN."""
        cpu = self.cpu
        if cpu.popped_by_return:  # the return address on the stack, then the arguments
            stack = [self.return_at] + (arguments if not cpu.registers else [0] * 4)
            sp -= cpu.pointer * len(stack)
            self.write_pointers(sp, stack, cpu.pointer)
        else:
            self.uc.reg_write(X[30], self.return_at)
        for register, value in zip(cpu.registers, arguments):
            self.uc.reg_write(register, value)
        for index, register in enumerate(cpu.saved):  # values no code would make up
            self.uc.reg_write(register, 0x5AFE0000 + index)
        self.uc.reg_write(cpu.sp, sp)
        self.calls, self.previous = [], None
        try:
            self.uc.emu_start(address, self.return_at, count=2_000_000)
        except UcError as error:
            pc = self.uc.reg_read(cpu.pc)
            if pc not in range(self.module_code, self.module_code + 0x1000):
                raise AssertionError("%s at 0x%08X" % (error, pc))
            self.state.pending = (0xC0000005, pc)  # the module's own fault
        if self.state.error:
            raise self.state.error
        if self.state.status is None and not self.state.pending:
            raise AssertionError("returned to 0x%08X" % self.uc.reg_read(cpu.pc))

    def called(self, previous):
        """Whether the block that ended at previous[1] was a call: it left its
        end as the return address, on the stack or in the link register."""
        if self.cpu.popped_by_return:
            return self.read_pointers(self.uc.reg_read(self.cpu.sp), 1,
                                      self.cpu.pointer)[0] == previous[1]
        word = self.read_word(previous[1] - 4)
        return self.uc.reg_read(X[30]) == previous[1] and (word & 0xFC000000 == 0x94000000 or
                                                            word & 0xFFFFFC1F == 0xD63F0000)

    def step(self, uc, address, size, _):
        """Follows every call and return: a call into the image's own code
        must come back with only its return address popped (it has no stdcall
        functions of its own that return), one straight into a modelled
        function with its arguments popped too where the convention says so,
        and either with the callee-saved registers as they were at the call.
        A jump from the image's code into a modelled function at the end of
        its own is a call of the former."""
        cpu = self.cpu
        previous, self.previous = self.previous, (address, address + size)
        called = False
        if previous and address != previous[1] and self.ends_in_call.get(previous, True):
            called = self.called(previous)
            self.ends_in_call[previous] = called
            if called:
                saved = [uc.reg_read(register) for register in cpu.saved]
                self.calls.append([previous[1], uc.reg_read(cpu.sp), saved, 0])
        sp = uc.reg_read(cpu.sp)
        if not called and self.calls and address == self.calls[-1][0] and \
                sp >= self.calls[-1][1] + cpu.popped_by_return:
            ret, at_call, saved, popped = self.calls.pop()
            got = (sp - at_call - cpu.popped_by_return,
                   [uc.reg_read(register) for register in cpu.saved])
            if got != (popped, saved):
                self.state.error = AssertionError(
                    "the call returning to 0x%08X popped %d bytes, not %d; callee-saved"
                    " registers %s, not %s" % (ret, got[0], popped, *(
                        " ".join(map("{:X}".format, r)) for r in (got[1], saved))))
                uc.emu_stop()
        if self.stubs_at <= address < self.stubs_at + 0x10000:
            self.call(uc, address, sp, called)

    def call(self, uc, address, sp, called):
        cpu = self.cpu
        self.previous = None
        model = self.stubs[(address - self.stubs_at) // 16]
        if cpu.popped_by_return:
            ret = self.read_pointers(sp, 1, cpu.pointer)[0]
        else:
            ret = uc.reg_read(X[30])
        stacked = self.read_pointers(sp + cpu.stack_arguments, 10, cpu.pointer)
        args = [uc.reg_read(register) for register in cpu.registers] + stacked
        try:
            if ret not in self.code or sp % cpu.aligned[0] != cpu.aligned[1]:
                raise AssertionError("%s called from 0x%08X with sp 0x%X" % (
                    model.__name__, ret, sp))
            count, value = model(*args)
        except Exception as error:  # ends the run: an exit, a raise or a failure
            if not isinstance(error, Ended):
                self.state.error = self.state.error or error
            uc.emu_stop()
            return
        popped = 4 * count if cpu.pointer == 4 else 0
        if called:
            self.calls[-1][3] = popped
        uc.reg_write(cpu.result, value & self.mask)
        self.clobber(cpu.scratch)
        # The callee may write over its arguments' slots, and pops them on x86.
        if cpu.popped_by_return:
            uc.mem_write(sp + cpu.pointer, b"\xa5" * (popped or 0x20 * (cpu.pointer == 8)))
        uc.reg_write(cpu.sp, sp + cpu.popped_by_return + popped)
        uc.reg_write(cpu.pc, ret)

    def unmodelled(self, *_):
        raise AssertionError("a KERNEL32 function without a model was called")

    # KERNEL32: (count of stdcall arguments, result). A 32-bit argument in a
    # 64-bit register may bring anything in its upper half: those are cut.
    def k_GetCommandLineW(self, *_):
        return 0, self.line

    def k_SetUnhandledExceptionFilter(self, function, *_):
        previous, self.state.filter = self.state.filter, function
        return 1, previous

    def k_SetErrorMode(self, mode, *_):
        previous, self.state.mode = self.state.mode, mode & D
        return 1, previous

    def k_GetLastError(self, *_):
        return 0, self.state.last_error

    def k_SetLastError(self, code, *_):
        self.state.last_error = code & D
        return 1, 0

    def k_ExitProcess(self, status, *_):
        self.end("ExitProcess", status & D)

    def k_TerminateProcess(self, process, status, *_):
        assert process == self.mask, hex(process)  # the current process's pseudo handle
        self.end("TerminateProcess", status & D)

    def end(self, how, status):
        sp = self.uc.reg_read(self.cpu.sp)
        assert self.stack < sp < self.stack_top, "ended with sp 0x%X" % sp  # in its own frames
        self.state.status, self.state.ended_by = status, how
        raise Ended()

    def k_LoadLibraryExW(self, name, file, flags, *_):
        name, flags = self.read_text(name), flags & D
        self.state.loaded.append(name)
        assert file == 0
        if name.lower().endswith("user32.dll"):
            # Only from the system folder: by its full path there, or by its
            # name with the system folder as the one place searched.
            system_only = (name.lower() == (WINDOWS + "\\System32\\user32.dll").lower() and
                           not flags & SEARCH_FLAGS & ~LOAD_WITH_ALTERED_SEARCH_PATH) or \
                (name.lower() == "user32.dll" and flags & LOAD_LIBRARY_SEARCH_SYSTEM32 and
                 not flags & SEARCH_FLAGS)
            assert system_only, "USER32 loaded as %r with flags 0x%X" % (name, flags)
            module = {"GetProcessWindowStation": self.u_station,
                      "GetUserObjectInformationW": self.u_information,
                      "MessageBoxW": self.u_box} if self.state.user32 else 126
        else:
            # A path, made full, loads with the altered search path; a bare
            # name with the usual search.
            full = name[1:3] == ":\\"
            assert flags == (LOAD_WITH_ALTERED_SEARCH_PATH if full else 0), (name, hex(flags))
            assert full or "\\" not in name, name
            if "." not in name.rsplit("\\", 1)[-1]:
                name += ".dll"  # the loader's default extension
            module = MODULES.get(name.lower(), 126)
        if isinstance(module, int):
            self.state.last_error = module
            return 3, 0
        if name.lower() == USES_OLE32:
            self.names["ole32.dll"] = self.handle({"CoInitializeEx": self.o_initialise})
        base_name = name.rsplit("\\", 1)[-1].lower()
        self.names[base_name] = self.handle(module)
        return 3, self.names[base_name]

    def handle(self, module):
        self.handles[0x7000 + 0x10 * len(self.handles)] = module
        return 0x7000 + 0x10 * (len(self.handles) - 1)

    def k_GetFullPathNameW(self, name, capacity, buffer, part, *_):
        name = self.read_text(name).replace("/", "\\")
        full = name if name[1:3] == ":\\" else CURRENT_DIRECTORY + name
        assert part == 0
        if len(full) < capacity & D:
            self.write_text(buffer, full)
            return 4, len(full)
        return 4, len(full) + 1

    def k_GetModuleFileNameW(self, module, buffer, capacity, *_):
        assert module == 0
        capacity &= D
        self.write_text(buffer, self.program[:capacity - 1])
        return 3, min(len(self.program), capacity)

    def k_GetWindowsDirectoryW(self, buffer, capacity, *_):
        assert capacity & D > len(WINDOWS)
        self.write_text(buffer, WINDOWS)
        return 2, len(WINDOWS)

    def k_CompareStringOrdinal(self, first, first_length, second, second_length, fold, *_):
        texts = [bytes(self.uc.mem_read(address, 2 * length)).decode("utf-16-le")
                 for address, length in [(first, first_length & D), (second, second_length & D)]]
        if fold & D:
            texts = [text.upper() for text in texts]
        return 5, 2 + (texts[0] > texts[1]) - (texts[0] < texts[1])  # CSTR_EQUAL is 2

    # The module file, read for its header: read-only, shared with all.
    def k_CreateFileW(self, name, access, share, security, disposition, flags, template, *_):
        name = self.read_text(name)
        assert (access & D, share & D, security, disposition & D, template) == \
            (0x80000000, 7, 0, 3, 0)
        if name.lower() not in self.files:
            self.state.last_error = ERROR_FILE_NOT_FOUND
            return 7, -1
        self.file = [self.files[name.lower()], 0]
        return 7, FILE_HANDLE

    def k_ReadFile(self, handle, buffer, count, read, overlapped, *_):
        assert handle == FILE_HANDLE and overlapped == 0
        data, at = self.file
        piece = data[at:at + (count & D)]
        self.write_bytes(buffer, piece)
        self.write_words(read, [len(piece)])
        self.file[1] += len(piece)
        return 5, 1

    def k_SetFilePointer(self, handle, distance, high, method, *_):
        assert (handle, high, method & D) == (FILE_HANDLE, 0, 0)
        self.file[1] = distance & D
        return 4, distance & D

    def k_CloseHandle(self, handle, *_):
        return 1, 1

    def k_CreateProcessW(self, program, line, _, __, inherit, flags, environment, directory,
                         startup, information, *___):
        self.state.started.append((self.read_text(program), self.read_text(line)))
        assert (inherit & D, flags & D, environment, directory) == (0, 0, 0, 0)
        assert self.read_word(startup) == {4: 68, 8: 104}[self.cpu.pointer]  # STARTUPINFOW
        if self.state.sibling is None:
            self.state.last_error = ERROR_FILE_NOT_FOUND
            return 10, 0
        self.write_pointers(information, [PROCESS_HANDLE, PROCESS_HANDLE + 4], self.cpu.pointer)
        self.write_words(information + 2 * self.cpu.pointer, [1, 1])
        return 10, 1

    def k_WaitForSingleObject(self, handle, timeout, *_):
        assert (handle, timeout & D) == (PROCESS_HANDLE, INFINITE)
        return 2, 0

    def k_GetExitCodeProcess(self, handle, status, *_):
        assert handle == PROCESS_HANDLE
        self.write_words(status, [self.state.sibling])
        return 2, 1

    def k_GetModuleHandleW(self, name, *_):
        if name == 0:
            return 1, self.load_base
        name = self.read_text(name).lower()
        handle = self.names.get(name if "." in name else name + ".dll", 0)
        if not handle:
            self.state.last_error = 126
        return 1, handle

    def k_GetProcAddress(self, handle, name, *_):
        export = self.handles[handle].get(self.read_text(name, unit=1))
        if export is None:
            self.state.last_error = 127
            return 2, 0
        if callable(export):
            return 2, self.stub(export)
        if export == "fault":
            return 2, self.module_code
        return 2, self.stub(lambda *_: self.entry(export))

    def entry(self, status):
        self.state.com_at_entry = list(self.state.com)
        if status == RAISE:
            self.state.pending = (status, 0)
            raise Ended()
        return 0, status

    # ole32, found through GetModuleHandleW and GetProcAddress
    def o_initialise(self, reserved, mode, *_):
        self.state.com.append((reserved, mode & D))
        return 2, 0

    # USER32, found through GetProcAddress
    def u_station(self, *_):
        return 0, 0x8000

    def u_information(self, handle, index, buffer, length, needed, *_):
        assert (handle, index & D, length & D) == (0x8000, UOI_FLAGS, 12)
        flags = WSF_VISIBLE if self.state.visible else 0
        self.write_bytes(buffer, struct.pack("<3I", 1, 0, flags))
        return 5, 1

    def u_box(self, owner, text, caption, style, *_):
        assert owner == 0, "a box owned by window 0x%08X" % owner
        self.state.boxes.append((self.read_text(text), self.read_text(caption), style & D))
        return 4, 1


PROGRAM_NAMES = ['"C:\\Program Files\\comenrol.exe" ', "C:\\tools\\comenrol.exe\t"]


class EmulatedRuns(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.emulator = Emulator(EXE)

    def test_outcomes(self):
        # Each outcome as the Wine suite expects it, with either program name,
        # on a visible window station, an invisible one, and without USER32.
        for what, arguments, status, text in status_cases(Space):
            for name in PROGRAM_NAMES:
                for visible, user32 in [(True, True), (False, True), (True, False)]:
                    with self.subTest(what, name=name, visible=visible, user32=user32):
                        run = self.emulator.run(Run(name + arguments, visible, user32))
                        shown = text is not None and visible and user32
                        self.assertEqual((signed32(run.status), run.ended_by),
                                         (status, "ExitProcess"))
                        self.assertEqual(run.boxes, boxes(status, text if shown else None))
                        # The system's boxes are off wherever the run shows none.
                        self.assertEqual(run.mode,
                                         INHERITED_MODE | (0 if shown else NO_SYSTEM_BOXES))
                        # A silent run never loads USER32.
                        self.assertEqual("USER32.dll" in run.loaded, text is not None)

    def test_com_only_for_modules_that_brought_ole32(self):
        # Initialised as an apartment after the load and before the entry,
        # with boxes or without; never for a module without ole32.
        for module, com in [("probe_ole32", [(0, COINIT_APARTMENTTHREADED)]), ("returns_zero", [])]:
            for options in ["", " -s"]:
                with self.subTest(module=module, options=options):
                    run = self.emulator.run(Run(PROGRAM_NAMES[0] + mod(Space, module) + options))
                    self.assertEqual((run.status, run.com_at_entry, run.com), (0, com, com))

    def test_exceptions_end_in_the_filter(self):
        for module, code in [(module, code) for module, code, real in EXCEPTIONS if not real]:
            for options in OPTION_SETS:
                with self.subTest(module=module, options=options):
                    run = self.emulator.run(Run(PROGRAM_NAMES[0] + mod(Space, module) + options))
                    self.assertEqual((run.status, run.ended_by, run.boxes),
                                     (code, "TerminateProcess", []))

    def test_paths_and_hand_over(self):
        # A relative path is made full before it loads. A module of another
        # machine goes to the x64 build beside this one, found by this
        # program's own path, with the same arguments (a Sysnative path as
        # the same file in System32); the run ends with that build's status,
        # whole, and shows nothing itself. Without it: error 193, as loaded.
        other = mod(Space, "other_bitness")
        system32 = '"%s\\System32\\other.dll" -s' % WINDOWS
        sysnative = SYSNATIVE + " /s", 0, 0, None, system32  # a 32-bit build's alone
        for what, arguments, sibling, status, text, given in [
            ("relative path", "sub\\returns_zero.dll", None, 0, "DllRegisterServer succeeded.",
             None),
            ("handed over", other + " -u", 0xC0000005, 0xC0000005, None, other + " -u"),
            ("handed over, failing", other, 0xFFFFFFFC, 0xFFFFFFFC, None, other),
            *[("Sysnative", *sysnative)] * (self.emulator.cpu.pointer == 4),
            ("no sibling", other, None, 0xFFFFFFFE, load_failed(BAD_EXE_FORMAT), other),
        ]:
            with self.subTest(what):
                run = self.emulator.run(Run(PROGRAM_NAMES[1] + arguments, sibling=sibling))
                self.assertEqual((run.status, run.ended_by), (status, "ExitProcess"))
                self.assertEqual(run.boxes, boxes(signed32(status), text))
                self.assertEqual(run.started,
                                 [(self.emulator.sibling, "comenrol.exe " + given)] if given else [])
                if what == "relative path":
                    self.assertIn(CURRENT_DIRECTORY + "sub\\returns_zero.dll", run.loaded)


if __name__ == "__main__":
    EXE = sys.argv.pop(1)
    unittest.main(verbosity=2)
