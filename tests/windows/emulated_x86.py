#!/usr/bin/python3
"""The x86 comenrol.exe run on an emulated CPU over a model of the parts of
Windows it uses, so that its behaviour is tested where no 32-bit program starts.

- Loading: at LOAD_BASE, through tests/emulation.py.
- Imports: KERNEL32.dll alone, each function a stub whose model runs the call,
  pops the arguments (stdcall), may write over their slots, keeps ebx, esi,
  edi and ebp, and leaves garbage in ecx and edx. A function without a model,
  or any other DLL, fails the run. USER32 is found through GetProcAddress.
  Loading the module USES_OLE32 brings a modelled ole32.dll in, for
  GetModuleHandleW to find; its CoInitializeEx records its arguments.
- Calls: every call and return is followed (see step).
- Modules: the test modules, by their paths in the Windows case table; entries
  return a status, fault at address 0 or raise. An exception that escapes is
  handed to the filter the image registered, with EXCEPTION_POINTERS. A path
  is made full against C:\work; a module of another machine has a header
  to read, and a sibling build that either is missing or ends with a status.
- The run ends at ExitProcess, or at TerminateProcess on the current process.

Usage: emulated_x86.py COMENROL_EXE
"""

import os
import struct
import sys
import unittest
from dataclasses import dataclass, field

from unicorn import (UC_ARCH_X86, UC_HOOK_BLOCK, UC_MODE_32, UC_PROT_EXEC, UC_PROT_READ,
                     UC_PROT_WRITE, Uc, UcError)
from unicorn.x86_const import (UC_X86_REG_EAX, UC_X86_REG_EBP, UC_X86_REG_EBX, UC_X86_REG_ECX,
                               UC_X86_REG_EDI, UC_X86_REG_EDX, UC_X86_REG_EIP, UC_X86_REG_ESI,
                               UC_X86_REG_ESP)

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.dirname(HERE)]
from cases import (BAD_EXE_FORMAT, EXCEPTIONS, NO_SYSTEM_BOXES, OPTION_SETS, RETURNS,  # noqa: E402
                   mod, status_cases)
from emulation import Guest, Image  # noqa: E402
from expected import boxes, load_failed, signed32  # noqa: E402
from wine_host import windows_path  # noqa: E402

LOAD_BASE = 0x10000000
STUBS = 0x20000000  # 16 bytes of hlt per stub
MODULE_CODE = 0x21000000  # the modelled modules' own code
STACK, STACK_SIZE = 0x30000000, 0x100000
STACK_TOP = STACK + STACK_SIZE - 0x100
LINE = 0x40000000  # the process's command line, read-only
RETURN = 0x50000000  # where the entry, or the filter, would return to
CURRENT_PROCESS = 0xFFFFFFFF
LOAD_LIBRARY_SEARCH_SYSTEM32, UOI_FLAGS, WSF_VISIBLE = 0x800, 1, 1
LOAD_WITH_ALTERED_SEARCH_PATH = 0x8
# Every flag that adds a place to the search: the altered search path, the
# module's own folder, the program's, the user's folders, the default set.
SEARCH_FLAGS = 0x8 | 0x100 | 0x200 | 0x400 | 0x1000
CURRENT_DIRECTORY, WINDOWS = "C:\\work\\", "C:\\Windows"
PROGRAM = "C:\\Program Files\\comenrol\\x86\\comenrol.exe"
X64_SIBLING = "C:\\Program Files\\comenrol\\x86\\..\\x64\\comenrol.exe"
FILE_HANDLE, PROCESS_HANDLE = 0x9000, 0x9100
ERROR_FILE_NOT_FOUND = 2
CALLEE_SAVED = (UC_X86_REG_EBX, UC_X86_REG_ESI, UC_X86_REG_EDI, UC_X86_REG_EBP)
INHERITED_MODE = 0x4  # SEM_NOALIGNMENTFAULTEXCEPT, as a parent may pass it on
FAULT_AT_ZERO = bytes.fromhex("c7050000000001000000c3")  # mov dword [0], 1; ret


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
# Module files whose header is read: a PE header of another machine.
X64_HEADER = b"MZ".ljust(0x3C, b"\0") + struct.pack("<I", 0x80) + bytes(0x40) + b"PE\0\0\x64\x86"
FILES = {path(Space.mods, "other_bitness"): X64_HEADER}
SYSNATIVE = WINDOWS + "\\Sysnative\\other.dll"
MODULES[SYSNATIVE.lower()], FILES[SYSNATIVE.lower()] = 193, X64_HEADER
MODULES[(CURRENT_DIRECTORY + "sub\\returns_zero.dll").lower()] = both(0)
# A module whose load brings ole32.dll into the process, as an import would.
USES_OLE32 = path(Space.mods, "probe_ole32")
MODULES[USES_OLE32] = both(0)
COINIT_APARTMENTTHREADED = 2


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
    def __init__(self, path):
        with open(path, "rb") as stream:
            self.image = Image(stream.read())
        text = self.image.pe.sections[0]
        self.code = range(LOAD_BASE + text.VirtualAddress,
                          LOAD_BASE + text.VirtualAddress + text.Misc_VirtualSize)
        self.ends_in_call = {}  # (start, end) of a block: whether it ends in a call

    def kernel32(self, entry):
        if entry.dll.upper() != "KERNEL32.DLL":
            raise AssertionError("imports from " + entry.dll)
        return self.stub(getattr(self, "k_" + str(entry.name), None) or self.unmodelled)

    def stub(self, model):
        self.stubs.append(model)
        return STUBS + 16 * (len(self.stubs) - 1)

    def run(self, run):
        self.stubs, self.handles, self.names, self.state = [], {}, {}, run
        super().__init__(Uc(UC_ARCH_X86, UC_MODE_32))
        uc = self.uc
        entry = self.load(self.image, LOAD_BASE)
        code = UC_PROT_READ | UC_PROT_EXEC
        self.map(STUBS, 0x10000, code, b"\xf4" * 0x10000)  # hlt
        self.map(MODULE_CODE, 0x1000, code, FAULT_AT_ZERO)
        self.map(STACK, STACK_SIZE, UC_PROT_READ | UC_PROT_WRITE)
        self.map(LINE, 0x1000, UC_PROT_READ, run.line.encode("utf-16-le") + b"\0\0")
        self.bind(self.image, LOAD_BASE, self.kernel32)
        uc.hook_add(UC_HOOK_BLOCK, self.step)
        self.start(entry, STACK_TOP, [])
        if run.pending:  # the system's unhandled-exception path: the image's filter
            code, address = run.pending
            run.pending = None
            assert run.filter in self.code, "no filter registered"
            frame = uc.reg_read(UC_X86_REG_ESP) - 0x1000
            record = struct.pack("<5I", code, 0, 0, address, 0).ljust(80, b"\0")
            uc.mem_write(frame, record + bytes(716))  # EXCEPTION_RECORD, CONTEXT
            uc.mem_write(frame - 8, struct.pack("<2I", frame, frame + 80))
            self.start(run.filter, frame - 8, [frame - 8])
        assert run.status is not None, "the run did not end"
        return run

    def start(self, address, esp, arguments):
        stack = struct.pack("<%dI" % (1 + len(arguments)), RETURN, *arguments)
        self.uc.mem_write(esp - len(stack), stack)
        self.uc.reg_write(UC_X86_REG_ESP, esp - len(stack))
        self.calls, self.previous = [], None
        try:
            self.uc.emu_start(address, RETURN, count=2_000_000)
        except UcError as error:
            eip = self.uc.reg_read(UC_X86_REG_EIP)
            if eip != MODULE_CODE:
                raise AssertionError("%s at 0x%08X" % (error, eip))
            self.state.pending = (0xC0000005, eip)  # the module's own fault
        if self.state.error:
            raise self.state.error
        if self.state.status is None and not self.state.pending:
            raise AssertionError("returned to 0x%08X" % self.uc.reg_read(UC_X86_REG_EIP))

    def step(self, uc, address, size, _):
        """Follows every call and return: a call into the image's own code
        must come back with only its return address popped (it has no stdcall
        functions of its own that return), one straight into a modelled
        function with its arguments popped too, and either with ebx, esi, edi
        and ebp as they were at the call. A jump from the image's code into a
        modelled function at the end of its own is a call of the former."""
        previous, self.previous = self.previous, (address, address + size)
        # A block that ends in a call leaves the address after it on the stack.
        called = False
        if previous and address != previous[1] and self.ends_in_call.get(previous, True):
            esp = uc.reg_read(UC_X86_REG_ESP)
            called = struct.unpack("<I", uc.mem_read(esp, 4))[0] == previous[1]
            self.ends_in_call[previous] = called
            if called:
                saved = [uc.reg_read(register) for register in CALLEE_SAVED]
                self.calls.append([previous[1], esp, saved, 0])
        if not called and self.calls and address == self.calls[-1][0] and \
                uc.reg_read(UC_X86_REG_ESP) > self.calls[-1][1]:
            ret, at_call, saved, popped = self.calls.pop()
            got = (uc.reg_read(UC_X86_REG_ESP) - at_call - 4,
                   [uc.reg_read(register) for register in CALLEE_SAVED])
            if got != (popped, saved):
                self.state.error = AssertionError(
                    "the call returning to 0x%08X popped %d bytes, not %d; ebx, esi, edi, ebp"
                    " %s, not %s" % (ret, got[0], popped, *(" ".join(map("{:08X}".format, r))
                                                           for r in (got[1], saved))))
                uc.emu_stop()
        if STUBS <= address < STUBS + 0x10000:
            self.call(uc, address, uc.reg_read(UC_X86_REG_ESP), called)

    def call(self, uc, address, esp, called):
        self.previous = None
        model = self.stubs[(address - STUBS) // 16]
        ret, *args = struct.unpack("<11I", uc.mem_read(esp, 44))
        try:
            if ret not in self.code or esp % 4:
                raise AssertionError("%s called from 0x%08X" % (model.__name__, ret))
            count, value = model(*args)
        except Exception as error:  # ends the run: an exit, a raise or a failure
            if not isinstance(error, Ended):
                self.state.error = self.state.error or error
            uc.emu_stop()
            return
        if called:
            self.calls[-1][3] = 4 * count
        uc.reg_write(UC_X86_REG_EAX, value & 0xFFFFFFFF)
        self.clobber([UC_X86_REG_ECX, UC_X86_REG_EDX])
        # The callee pops its arguments and may have written over their slots.
        uc.mem_write(esp + 4, b"\xa5" * 4 * count)
        uc.reg_write(UC_X86_REG_ESP, esp + 4 + 4 * count)
        uc.reg_write(UC_X86_REG_EIP, ret)

    def unmodelled(self, *_):
        raise AssertionError("a KERNEL32 function without a model was called")

    # KERNEL32: (count of stdcall arguments, result)
    def k_GetCommandLineW(self, *_):
        return 0, LINE

    def k_SetUnhandledExceptionFilter(self, function, *_):
        previous, self.state.filter = self.state.filter, function
        return 1, previous

    def k_SetErrorMode(self, mode, *_):
        previous, self.state.mode = self.state.mode, mode
        return 1, previous

    def k_GetLastError(self, *_):
        return 0, self.state.last_error

    def k_SetLastError(self, code, *_):
        self.state.last_error = code
        return 1, 0

    def k_ExitProcess(self, status, *_):
        self.end("ExitProcess", status)

    def k_TerminateProcess(self, process, status, *_):
        assert process == CURRENT_PROCESS, hex(process)
        self.end("TerminateProcess", status)

    def end(self, how, status):
        esp = self.uc.reg_read(UC_X86_REG_ESP)
        assert STACK < esp < STACK_TOP, "ended with esp 0x%08X" % esp  # within its own frames
        self.state.status, self.state.ended_by = status, how
        raise Ended()

    def k_LoadLibraryExW(self, name, file, flags, *_):
        name = self.read_text(name)
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
        if len(full) < capacity:
            self.write_text(buffer, full)
            return 4, len(full)
        return 4, len(full) + 1

    def k_GetModuleFileNameW(self, module, buffer, capacity, *_):
        assert module == 0
        self.write_text(buffer, PROGRAM[:capacity - 1])
        return 3, min(len(PROGRAM), capacity)

    def k_GetWindowsDirectoryW(self, buffer, capacity, *_):
        assert capacity > len(WINDOWS)
        self.write_text(buffer, WINDOWS)
        return 2, len(WINDOWS)

    def k_CompareStringOrdinal(self, first, first_length, second, second_length, fold, *_):
        texts = [bytes(self.uc.mem_read(address, 2 * length)).decode("utf-16-le")
                 for address, length in [(first, first_length), (second, second_length)]]
        if fold:
            texts = [text.upper() for text in texts]
        return 5, 2 + (texts[0] > texts[1]) - (texts[0] < texts[1])  # CSTR_EQUAL is 2

    # The module file, read for its header: read-only, shared with all.
    def k_CreateFileW(self, name, access, share, security, disposition, flags, template, *_):
        name = self.read_text(name)
        assert (access, share, security, disposition, template) == (0x80000000, 7, 0, 3, 0)
        if name.lower() not in FILES:
            self.state.last_error = ERROR_FILE_NOT_FOUND
            return 7, 0xFFFFFFFF
        self.file = [FILES[name.lower()], 0]
        return 7, FILE_HANDLE

    def k_ReadFile(self, handle, buffer, count, read, overlapped, *_):
        assert handle == FILE_HANDLE and overlapped == 0
        data, at = self.file
        piece = data[at:at + count]
        self.write_bytes(buffer, piece)
        self.write_words(read, [len(piece)])
        self.file[1] += len(piece)
        return 5, 1

    def k_SetFilePointer(self, handle, distance, high, method, *_):
        assert (handle, high, method) == (FILE_HANDLE, 0, 0)
        self.file[1] = distance
        return 4, distance

    def k_CloseHandle(self, handle, *_):
        return 1, 1

    def k_CreateProcessW(self, program, line, _, __, inherit, flags, environment, directory,
                         startup, information, *___):
        self.state.started.append((self.read_text(program), self.read_text(line)))
        assert (inherit, flags, environment, directory) == (0, 0, 0, 0)
        assert self.read_word(startup) == 68  # STARTUPINFOW's size
        if self.state.sibling is None:
            self.state.last_error = ERROR_FILE_NOT_FOUND
            return 10, 0
        self.write_words(information, [PROCESS_HANDLE, PROCESS_HANDLE + 4, 1, 1])
        return 10, 1

    def k_WaitForSingleObject(self, handle, timeout, *_):
        assert (handle, timeout) == (PROCESS_HANDLE, 0xFFFFFFFF)
        return 2, 0

    def k_GetExitCodeProcess(self, handle, status, *_):
        assert handle == PROCESS_HANDLE
        self.write_words(status, [self.state.sibling])
        return 2, 1

    def k_GetModuleHandleW(self, name, *_):
        if name == 0:
            return 1, LOAD_BASE
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
            return 2, MODULE_CODE
        return 2, self.stub(lambda *_: self.entry(export))

    def entry(self, status):
        self.state.com_at_entry = list(self.state.com)
        if status == RAISE:
            self.state.pending = (status, 0)
            raise Ended()
        return 0, status

    # ole32, found through GetModuleHandleW and GetProcAddress
    def o_initialise(self, reserved, mode, *_):
        self.state.com.append((reserved, mode))
        return 2, 0

    # USER32, found through GetProcAddress
    def u_station(self, *_):
        return 0, 0x8000

    def u_information(self, handle, index, buffer, length, needed, *_):
        assert (handle, index, length) == (0x8000, UOI_FLAGS, 12)
        flags = WSF_VISIBLE if self.state.visible else 0
        self.write_bytes(buffer, struct.pack("<3I", 1, 0, flags))
        return 5, 1

    def u_box(self, owner, text, caption, style, *_):
        assert owner == 0, "a box owned by window 0x%08X" % owner
        self.state.boxes.append((self.read_text(text), self.read_text(caption), style))
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
        for what, arguments, sibling, status, text, given in [
            ("relative path", "sub\\returns_zero.dll", None, 0, "DllRegisterServer succeeded.",
             None),
            ("handed over", other + " -u", 0xC0000005, 0xC0000005, None, other + " -u"),
            ("handed over, failing", other, 0xFFFFFFFC, 0xFFFFFFFC, None, other),
            ("Sysnative", SYSNATIVE + " /s", 0, 0, None, system32),
            ("no sibling", other, None, 0xFFFFFFFE, load_failed(BAD_EXE_FORMAT), other),
        ]:
            with self.subTest(what):
                run = self.emulator.run(Run(PROGRAM_NAMES[1] + arguments, sibling=sibling))
                self.assertEqual((run.status, run.ended_by), (status, "ExitProcess"))
                self.assertEqual(run.boxes, boxes(signed32(status), text))
                self.assertEqual(run.started,
                                 [(X64_SIBLING, "comenrol.exe " + given)] if given else [])
                if what == "relative path":
                    self.assertIn(CURRENT_DIRECTORY + "sub\\returns_zero.dll", run.loaded)


if __name__ == "__main__":
    EXE = sys.argv.pop(1)
    unittest.main(verbosity=2)
