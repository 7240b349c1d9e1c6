"""What comenrol.exe for Windows CE does, as data: one row per behaviour, for
every emulated CE run, whatever its processor. A run takes each row of CASES,
models the row's modules, starts the image with the row's argument text and
checks what the row expects:

    for case in ce_cases.CASES:
        outcome = my_harness.run(image, case.line, case.modules)
        assert outcome.status == case.status               # for exception rows see below
        assert outcome.boxes == expected.boxes(case.status, case.text)
        assert outcome.loaded == ([case.loaded] if case.loaded is not None else [])
        assert outcome.looked_up == ([case.entry] if case.entry else [])

The modelled system: LoadModule finds a module by the exact name in the row's
`modules`; a name not there fails with MISSING, a Module with a load_error
fails with that. FindEntry finds the module's exports; any other name fails
with ERROR_PROC_NOT_FOUND (127). An export's value is what its entry does:
return that status, FAULT (read address 0) or Raise(code).

A row with an `exception` raises it in the entry; the tool shows no box. Its
`status` is what the run returns when the runtime's exception filter accepts
the exception; when the filter declines, the exception stays unhandled and
the run returns nothing.
"""

from dataclasses import dataclass, field, replace
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from expected import (ENTRY_FAILED, ENTRY_NOT_FOUND, LOAD_FAILED, REGISTER_ENTRY,  # noqa: E402
                      REGISTERED, SUCCEEDED, UNREGISTER_ENTRY, UNREGISTERED, USAGE, USAGE_TEXT,
                      entry_not_found, load_failed, register_failed, signed32,
                      unregister_failed)

IMAGE_BASE = 0x10000  # where the CE image is linked; CE hands it to the entry as its instance
MISSING = 126  # ERROR_MOD_NOT_FOUND, for a module that is not in the row
FAULT = "fault"  # an entry that reads address 0


@dataclass(frozen=True)
class Raise:
    """An entry that raises an exception with this code."""
    code: int


@dataclass
class Module:
    """A modelled in-process server: export name -> status, FAULT or Raise."""
    exports: dict = field(default_factory=dict)
    load_error: int = None  # when set, loading fails with this last error


@dataclass(frozen=True)
class Case:
    what: str
    line: str  # the argument text the entry gets
    modules: dict  # name -> Module
    status: int  # signed
    text: str = None  # of the one box; None: no box
    loaded: str = None  # the one name handed to LoadModule; None: nothing loaded
    entry: str = None  # the one export looked up; None: none
    exception: int = None  # raised in the entry


def server(register=0, unregister=0):
    return Module({REGISTER_ENTRY: register, UNREGISTER_ENTRY: unregister})


def x_dll(entry, status):
    """A row's module x.dll, whose entry of the mode does `status`."""
    key = "register" if entry == REGISTER_ENTRY else "unregister"
    return {"x.dll": server(**{key: status})}


def entry_returns(what, line, entry, status, text):
    return Case(what, line, x_dll(entry, status), SUCCEEDED if status < 0x80000000 else
                ENTRY_FAILED, text, "x.dll", entry)


def parsed(what, line, name, entry, silent=False):
    """A line whose module `name` loads and whose entry succeeds."""
    text = None if silent else REGISTERED if entry == REGISTER_ENTRY else UNREGISTERED
    return Case(what, line, {name: server()}, SUCCEEDED, text, name, entry)


def not_loaded(what, line, name, silent=False):
    """A line whose name (one not modelled) reaches LoadModule and fails there."""
    return Case(what, line, {}, LOAD_FAILED, None if silent else load_failed(MISSING), name)


def long_line(units, tail=""):
    """A path of `units` UTF-16 units in all, tail included."""
    return "\\" + "n" * (units - len(tail) - 5) + ".dll" + tail


def refused(units, tail="", silent=False):
    line = long_line(units, tail)
    return Case(f"{units} units{tail} are usage", line, {line: server()}, USAGE,
                None if silent else USAGE_TEXT)


REG, UNREG = REGISTER_ENTRY, UNREGISTER_ENTRY
OUTCOMES = [
    Case("usage", "", {}, USAGE, USAGE_TEXT),
    entry_returns("registers", "x.dll", REG, 0, REGISTERED),
    entry_returns("a positive status registers", "x.dll", REG, 1, REGISTERED),
    entry_returns("the largest status registers", "x.dll", REG, 0x7FFFFFFF, REGISTERED),
    entry_returns("unregisters", "x.dll -u", UNREG, 0, UNREGISTERED),
    entry_returns("a positive status unregisters", "x.dll -u", UNREG, 1, UNREGISTERED),
    entry_returns("registration fails", "x.dll", REG, 0x80004005, register_failed(0x80004005)),
    entry_returns("the sign bit alone fails", "x.dll", REG, 0x80000000,
                  register_failed(0x80000000)),
    entry_returns("unregistration fails", "x.dll -u", UNREG, 0x80004005,
                  unregister_failed(0x80004005)),
    entry_returns("the sign bit alone fails unregistering", "x.dll -u", UNREG, 0x80000000,
                  unregister_failed(0x80000000)),
    not_loaded("module missing", "missing.dll", "missing.dll"),
    Case("module of a foreign format", "bad.dll", {"bad.dll": Module(load_error=193)},
         LOAD_FAILED, load_failed(193), "bad.dll"),
    Case("negative load error", "odd.dll", {"odd.dll": Module(load_error=0xFFFFFFFB)},
         LOAD_FAILED, load_failed(-5), "odd.dll"),
    Case("load error of the sign bit alone", "odd.dll",
         {"odd.dll": Module(load_error=0x80000000)}, LOAD_FAILED, load_failed(-2147483648),
         "odd.dll"),
    Case("no unregister entry", "x.dll -u", {"x.dll": Module({REG: 0})}, ENTRY_NOT_FOUND,
         entry_not_found(127), "x.dll", UNREG),
    Case("no register entry", "x.dll", {"x.dll": Module({UNREG: 0})}, ENTRY_NOT_FOUND,
         entry_not_found(127), "x.dll", REG),
]

CASES = OUTCOMES + [
    # Each outcome again with -s: the same status, no box.
    *(replace(case, what=case.what + ", silent", line=case.line + " -s", text=None)
      for case in OUTCOMES if case.line),
    # An exception in the entry.
    Case("the entry faults", "x.dll", x_dll(REG, FAULT), signed32(0xC0000005), None, "x.dll",
         REG, 0xC0000005),
    Case("the entry raises", "x.dll", x_dll(REG, Raise(0xE0000123)), signed32(0xE0000123), None,
         "x.dll", REG, 0xE0000123),
    # The argument text as CE hands it over.
    parsed("/U unregisters", "x.dll /U", "x.dll", UNREG),
    parsed("-u -s", "x.dll -u -s", "x.dll", UNREG, silent=True),
    parsed("-s -u", "x.dll -s -u", "x.dll", UNREG, silent=True),
    parsed("/u /s", "x.dll /u /s", "x.dll", UNREG, silent=True),
    parsed("-U -S", "x.dll -U -S", "x.dll", UNREG, silent=True),
    parsed("/s alone", "x.dll /s", "x.dll", REG, silent=True),
    parsed("cut at the dash, not the slash", "x.dll /u -s", "x.dll /u", UNREG, silent=True),
    parsed("quoted path with a space", '"\\Program Files\\my server.dll" -u',
           "\\Program Files\\my server.dll", UNREG),
    parsed("-s inside the path", "\\Windows\\my-server.dll", "\\Windows\\my", REG, silent=True),
    parsed("-silent counts as -s", "\\Windows\\x.dll -silent", "\\Windows\\x.dll", REG,
           silent=True),
    parsed("a tab stays in the name", "x.dll\t-s", "x.dll\t", REG, silent=True),
    parsed("two quotes become spaces, a third stays", '"a"b".dll', 'a b".dll', REG),
    parsed("a quoted dash still cuts", '"\\tmp\\a-b.dll" -u', "\\tmp\\a", UNREG),
    parsed("spaces trimmed at both ends", "  x.dll  ", "x.dll", REG),
    parsed("without a dash the cut is at the slash", "\\path\\un/u.dll", "\\path\\un", UNREG),
    # Lines without a name are handed on, not usage: the name fails to load.
    not_loaded("spaces only", "   ", ""),
    not_loaded("-u alone", "-u", ""),
    not_loaded("options first", "-s x.dll", "", silent=True),
    not_loaded("a tab alone", "\t", "\t"),
    not_loaded("a tab, then -s", "\t -s", "\t", silent=True),
    # 511 units fit the working buffer; 512 or more are refused as usage.
    parsed("511 units are taken whole", long_line(511), long_line(511), REG),
    parsed("511 units with options", long_line(511, " -u -s"), long_line(511, " -u -s")[:-6],
           UNREG, silent=True),
    refused(512), refused(513), refused(600, " -u"), refused(4000),
    refused(512, " -s", silent=True), refused(512, " -S", silent=True),
    refused(700, " /s", silent=True), refused(512, " /S", silent=True),
    refused(2048, " -u -s", silent=True),
]
