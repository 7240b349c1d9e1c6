"""comenrol.exe for Compact 2013 on emulated Cortex-A8 and Cortex-A9 cores:
every row of the CE case table, on the CE harness's device model with what
this generation does its own way:

- the image is loaded at 0x10000 and at a higher multiple of 64 KiB, where
  every fix-up must be right; an import that COREDLL does not export ends the
  process with status 0 before the entry runs;
- the entry gets (instance, 0, argument text, 5) on an 8-byte aligned stack and
  gives back r4-r11, d8-d15 and sp; ExitThread ends the run too;
- a block run in ARM state fails the run, and so does a divide instruction,
  which both cores trap;
- a fault or raise in a module's entry is dispatched through the loaded
  image's unwind data (tools/armnt_unwind.py decodes it, unwind() below
  replays it): a handler is called for each frame that has one, from its
  body; what none takes ends the process, unhandled;
- on one configuration (UNWIND_CHECKED), at each instruction the image runs,
  its frames are unwound to the bottom caller (of the entry, or of a handler),
  which must get back its return address, sp and r4-r11.
"""

import struct
import unittest

from unicorn import UC_ARCH_ARM, UC_HOOK_BLOCK, UC_HOOK_CODE, UC_MODE_THUMB, UC_PROT_READ, Uc
from unicorn.arm_const import (UC_ARM_REG_C1_C0_2, UC_ARM_REG_CPSR, UC_ARM_REG_D8,
                               UC_ARM_REG_FPEXC, UC_ARM_REG_LR, UC_ARM_REG_R0, UC_ARM_REG_R1,
                               UC_ARM_REG_R2, UC_ARM_REG_R3, UC_ARM_REG_R12, UC_ARM_REG_SP,
                               UC_CPU_ARM_CORTEX_A8, UC_CPU_ARM_CORTEX_A9)

from test_image import IMAGE, read_map  # and tools/, tests/ and tests/wince/ on the path
import armnt_unwind
import ce_harness
from ce_cases import CASES, server
from ce_harness import (CALL_RETURN, CALLEE_SAVED, COMMAND_LINE_BASE, ENTRY_BASE, REGISTERS,
                        RETURN_ADDRESS, STACK_BASE, STACK_SIZE, STUB_BASE, THUMB, EmulationError,
                        Guest, Image)
from expected import COMPACT2013_COREDLL, boxes, signed32

CORES = {"CortexA8": UC_CPU_ARM_CORTEX_A8, "CortexA9": UC_CPU_ARM_CORTEX_A9}
BASES = (0x10000, 0x01230000)
UNWIND_CHECKED = ("CortexA9", 0x01230000)
INITIAL_SP = STACK_BASE + STACK_SIZE - 16  # the 8-byte alignment the caller keeps
# The COREDLL exports modelled, by ordinal, under the harness's operation names.
COREDLL = COMPACT2013_COREDLL
CONTINUE_SEARCH = 1
SP, LR, PC = 13, 14, 15


def locate(function, offset):
    """Where byte `offset` of the function stands: (the ops to replay, bytes of
    them to pass over, whether it is in the body, outside prolog and epilogs)."""
    prolog = 2 * sum(op[0] for op in function.prolog)
    if offset < prolog:  # pass over the instructions not yet run, last first
        return function.prolog, prolog - offset, False
    for begin, epilog in function.epilogs:
        if 0 <= offset - begin < 2 * sum(op[0] for op in epilog):  # and those already run
            return epilog, offset - begin, False
    return function.prolog, 0, True


def unwind(function, offset, registers, read_word):
    """The caller's registers (a list r0-r15) of a frame stopped at byte
    `offset` of the function; pc becomes the return address."""
    ops, skip, _ = locate(function, offset)
    registers = list(registers)
    for size, action, value in ops:
        if skip > 0:
            skip -= 2 * size
        elif action in ("add", "vpop"):
            registers[SP] += value * (8 if action == "vpop" else 1)
        elif action == "mov_sp":
            registers[SP] = registers[value]
        elif action != "nop":  # pop, ldr_lr
            for register in value if action == "pop" else [LR]:
                registers[register] = read_word(registers[SP])
                registers[SP] += 4
            registers[SP] += value - 4 if action == "ldr_lr" else 0
    registers[PC] = registers[LR]
    return registers


class Exited(Exception):
    """The process ended before its entry returned."""


class Device(ce_harness.Device):
    """One run of the image on a Compact 2013 device with the row's modules."""

    machine = 0x01C4

    def __init__(self, image, modules, core, base, unwind_check=False):
        Guest.__init__(self, Uc(UC_ARCH_ARM, UC_MODE_THUMB))
        self.uc.ctl_set_cpu_model(CORES[core])
        # VFP on, as the system leaves it: the code may use it, and d8-d15 are kept.
        self.uc.reg_write(UC_ARM_REG_C1_C0_2, self.uc.reg_read(UC_ARM_REG_C1_C0_2) | 0xF << 20)
        self.uc.reg_write(UC_ARM_REG_FPEXC, 0x40000000)
        self.image, self.modules, self.load_base, self.thumb = image, modules, base, True
        self.table, self.last_error, self.handles, self.entries = COREDLL, 0, {}, []
        self.services, self.states = {}, {}
        self.pending = self.raised = self.access = self.callee_pc = None
        self.outcome = ce_harness.Outcome()
        self.outcome.ended_by = None  # ("ExitThread", its return address) or ("unhandled",)
        self.models = {"LoadModule": self.load_module, "FindEntry": self.find_entry,
                       "LastErrorCode": self.last_error_code,
                       "ShowMessageBox": self.show_message_box}
        self.deferred = {"ExitThread": self.exit_thread}
        self.functions = armnt_unwind.read_functions(image.pe)
        self.bottom = None  # (return address, sp, r4-r11) the walk must reach
        self.checked = set() if unwind_check else None  # rvas unwound from
        self.set_up()
        self.uc.hook_add(UC_HOOK_BLOCK, self.on_block)
        if unwind_check:
            self.uc.hook_add(UC_HOOK_CODE, self.on_instruction, begin=base,
                             end=base + image.size - 1)

    def coredll_stub(self, entry):
        if entry.dll.lower() != "coredll.dll" or entry.ordinal not in self.table:
            self.outcome.status, self.outcome.ended_by = 0, ("unresolved", entry)
            return 0
        stub = STUB_BASE + 8 * len(self.services)
        self.services[stub] = self.table[entry.ordinal]
        return self.place_callee(stub, True, False)

    def run(self, command_line):
        if self.outcome.ended_by:  # by the loader, before the entry
            return self.finish()
        text = command_line.encode("utf-16-le") + b"\0\0"
        self.map(COMMAND_LINE_BASE, len(text), UC_PROT_READ, text)
        saved = list(CALLEE_SAVED.items()) + [(UC_ARM_REG_D8 + n, 0xD0D0000000 + n)
                                              for n in range(8)]
        for register, value in saved + [  # a process id as the instance
                (UC_ARM_REG_R0, 0xC0FFEE), (UC_ARM_REG_R1, 0), (UC_ARM_REG_R2, COMMAND_LINE_BASE),
                (UC_ARM_REG_R3, 5), (UC_ARM_REG_R12, 0xC0C0C0C0), (UC_ARM_REG_SP, INITIAL_SP),
                (UC_ARM_REG_LR, RETURN_ADDRESS | 1)]:  # called from Thumb code
            self.uc.reg_write(register, value)
        self.bottom = (RETURN_ADDRESS, INITIAL_SP, [value for _, value in saved[:8]])
        try:
            exception = self.execute(self.entry_point, RETURN_ADDRESS)
            if exception:
                self.dispatch(*exception)
                return self.finish()
        except Exited:
            return self.finish()
        kept = [(register, self.uc.reg_read(register)) for register, _ in saved]
        sp = self.uc.reg_read(UC_ARM_REG_SP)
        if (kept, sp) != (saved, INITIAL_SP):
            raise EmulationError(f"the entry returned with sp 0x{sp:08X} and callee-saved "
                                 f"registers {kept}, not {saved}")
        self.outcome.status = signed32(self.uc.reg_read(UC_ARM_REG_R0))
        return self.finish()

    def exit_thread(self, status, *_):
        self.outcome.status = signed32(status)
        self.outcome.ended_by = ("ExitThread", self.uc.reg_read(UC_ARM_REG_LR))
        raise Exited()

    def on_block(self, uc, address, size, _):
        # State changes only at branches, which end blocks: a check per block sees every one.
        # (Divide instructions need no check: neither core has them, and both trap them.)
        if not uc.reg_read(UC_ARM_REG_CPSR) & THUMB:
            raise EmulationError(f"ARM-state code at 0x{address:08X}")

    # Exceptions ----------------------------------------------------------------

    def walk(self, registers, visit=None):
        """Unwinds from the registers of a stopped frame, calling visit(function,
        offset, registers) for each frame in the image; returns the registers
        where the walk leaves the image and the modules' entries (leaves)."""
        pc = registers[15] & ~1
        for _ in range(32):
            function = None
            if self.load_base <= pc < self.load_base + self.image.size:
                function = armnt_unwind.find(self.functions, pc - self.load_base)
            elif not ENTRY_BASE <= pc < ENTRY_BASE + 0x1000:
                return registers
            if function is None:  # a leaf: the return address is still in lr
                registers = registers[:15] + [registers[14]]
            else:
                offset = pc - self.load_base - function.start
                if visit:
                    visit(function, offset, registers)
                registers = unwind(function, offset, registers, self.read_word)
            pc = (registers[15] & ~1) - 2  # the control pc: within the call
        raise EmulationError("the walk did not leave the image within 32 frames")

    def dispatch(self, code, address, parameters):
        """The system's dispatch of an exception raised at `address`."""
        context = [self.uc.reg_read(register) for register in REGISTERS]
        context[15] = address
        record = (context[13] - 0x200) & ~7  # the records go below the faulting sp
        context_at, dispatcher = record + 80, record + 80 + 0x1A0
        self.write_words(record, [code, 0, 0, address, len(parameters)] + parameters)
        self.write_words(context_at, [0x200007] + context)

        def visit(function, offset, registers):
            # No handler is called for a pc in a prolog or an epilog.
            if function.handler is None or not locate(function, offset)[2]:
                return
            frame = unwind(function, offset, registers, self.read_word)[13]
            handler = self.load_base + function.handler
            self.write_words(dispatcher, [registers[15], self.load_base, 0, frame, 0, context_at,
                                          handler, 0, 0, 0])
            self.bottom = (CALL_RETURN, record, [self.uc.reg_read(r) for r in REGISTERS[4:12]])
            answer = self.call(handler, [record, frame, context_at, dispatcher], record)
            if answer != CONTINUE_SEARCH:
                raise EmulationError(f"the handler answered {answer}, which is not modelled")

        self.walk(context[:16], visit)
        self.outcome.status, self.outcome.ended_by = signed32(code), ("unhandled",)

    def on_instruction(self, uc, address, size, _):
        """Unwinds from here to the bottom frame; it must get back what it saved."""
        rva = address - self.load_base
        if rva in self.checked:
            return
        self.checked.add(rva)
        caller = self.walk([uc.reg_read(register) for register in REGISTERS[:15]] + [address])
        target, sp, saved = self.bottom
        if (caller[15] & ~1, caller[13], caller[4:12]) != (target, sp, saved):
            raise EmulationError(f"unwinding from rva 0x{rva:X} gives pc 0x{caller[15]:08X}, "
                                 f"sp 0x{caller[13]:08X}, r4-r11 {caller[4:12]}")


class Cases(unittest.TestCase):
    """The case table, run by load_tests once per core and base."""
    core, base = "CortexA8", BASES[0]

    @classmethod
    def setUpClass(cls):
        with open(IMAGE, "rb") as stream:
            cls.image = Image(stream.read())

    def test_every_case(self):
        checked = set()
        for case in CASES:
            with self.subTest(case.what, line=case.line[:40]):
                device = Device(self.image, case.modules, self.core, self.base,
                                (self.core, self.base) == UNWIND_CHECKED)
                outcome = device.run(case.line)
                checked |= device.checked or set()
                self.assertEqual((outcome.status, outcome.boxes, outcome.loaded,
                                  outcome.looked_up),
                                 (case.status, boxes(case.status, case.text),
                                  [case.loaded] * (case.loaded is not None),
                                  [case.entry] * bool(case.entry)))
                if case.exception is None:
                    self.assertIsNone(outcome.ended_by)
                    continue
                # Ended at once from the entry's guard, by ExitThread with the code.
                self.assertEqual(outcome.ended_by[0], "ExitThread")
                guard = armnt_unwind.find(device.functions, self.image.entry & ~1).handler
                self.assertEqual(armnt_unwind.find(device.functions, outcome.ended_by[1]
                                                   - self.base).start, guard & ~1)
        if (self.core, self.base) == UNWIND_CHECKED:  # each function unwound from
            symbols = sorted(read_map().items())
            ends = [start for start, _ in symbols[1:]] + [self.image.sections[0][0]
                                                          + len(self.image.sections[0][1])]
            self.assertEqual([name for (start, name), end in zip(symbols, ends)
                              if not any(start <= rva < end for rva in checked)], [])


class DeviceContract(unittest.TestCase):
    """What the device model refuses, shown to bite, and the guard's refusal."""

    def test_arm_state_division_and_wrong_unwind_codes_fail_the_run(self):
        with open(IMAGE, "rb") as stream:
            raw = stream.read()
        pe = Image(raw).pe
        entry = pe.OPTIONAL_HEADER.AddressOfEntryPoint
        exceptions = pe.OPTIONAL_HEADER.DATA_DIRECTORY[3]
        table = pe.get_data(exceptions.VirtualAddress, exceptions.Size)
        xdata = dict(struct.iter_unpack("<II", table))[entry]  # both with the Thumb bit
        # (what, file offset, bytes written there, the refusal)
        for what, at, patch, refusal in [
                ("entry in ARM state", pe.OPTIONAL_HEADER.get_file_offset() + 16,
                 struct.pack("<I", entry & ~1), "ARM-state code"),
                ("udiv r0, r0, r0", pe.get_offset_from_rva(entry & ~1), b"\xb0\xfb\xf0\xf0",
                 "UC_ERR_INSN_INVALID"),
                ("the entry's push {r4, lr} described as push {r4}",
                 pe.get_offset_from_rva(xdata + 4), b"\xd0", "unwinding from")]:
            data = bytearray(raw)
            data[at:at + len(patch)] = patch
            for core in CORES:
                with self.subTest(what, core=core), self.assertRaisesRegex(EmulationError,
                                                                           refusal):
                    Device(Image(bytes(data)), {"x.dll": server()}, core, BASES[1],
                           unwind_check=True).run("x.dll")

    def test_the_guard_declines_when_the_system_unwinds(self):
        with open(IMAGE, "rb") as stream:
            device = Device(Image(stream.read()), {}, "CortexA9", BASES[1])
        guard = armnt_unwind.find(device.functions, device.image.entry & ~1).handler
        record = INITIAL_SP - 0x100
        for flags in (2, 4):  # unwinding; unwinding to exit
            device.write_words(record, [0xC0000005, flags, 0, 0, 0])
            self.assertEqual(device.call(BASES[1] + guard, [record, INITIAL_SP, 0, 0], record),
                             CONTINUE_SEARCH)
        self.assertIsNone(device.outcome.ended_by)


def load_tests(loader, standard_tests, pattern):
    suite = unittest.TestSuite()
    for core in CORES:
        for base in BASES:
            configured = type(f"Cases_{core}_at_{base:08X}", (Cases,), {"core": core,
                                                                          "base": base})
            suite.addTests(loader.loadTestsFromTestCase(configured))
    suite.addTests(loader.loadTestsFromTestCase(DeviceContract))
    return suite


if __name__ == "__main__":
    unittest.main()
