"""What comenrol.exe for Windows CE does, one row per behaviour, for every
emulated CE run whatever its processor. A run models the row's modules,
starts the image with the row's line and checks the status, the boxes
(expected.boxes(case.status, case.text)), the name handed to LoadModule and
the export looked up (each one or, when None, none).

The modelled system: LoadModule finds a module by its exact name in the row;
any other name fails with MISSING, a Module with a load_error with that.
FindEntry finds the module's exports; any other name fails with 127. An
export's entry returns its status, reads address 0 (FAULT) or raises.

A row with an `exception` has it raised in the entry and shows no box; its
status is what the run returns when the runtime's exception filter accepts,
and, for a silent line, whatever the filter answers.
"""

import os
import sys
from collections import namedtuple
from dataclasses import dataclass, field, replace

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from expected import (ENTRY_NOT_FOUND, LOAD_FAILED, REGISTER_ENTRY, SUCCEEDED,  # noqa: E402
                      UNREGISTER_ENTRY, USAGE, USAGE_TEXT, entry_not_found, entry_returned,
                      load_failed, signed32)

IMAGE_BASE = 0x10000  # where the CE image is linked; CE hands it to the entry as its instance
MISSING = 126  # ERROR_MOD_NOT_FOUND
FAULT = "fault"
REG, UNREG = REGISTER_ENTRY, UNREGISTER_ENTRY
Raise = namedtuple("Raise", "code")  # an entry that raises an exception with this code


@dataclass
class Module:
    exports: dict = field(default_factory=dict)  # name -> status, FAULT or Raise
    load_error: int = None


@dataclass(frozen=True)
class Case:
    what: str
    line: str
    modules: dict  # name -> Module
    status: int
    text: str = None  # of the one box
    loaded: str = None
    entry: str = None
    exception: int = None
    silent: bool = False  # of a row with an exception: the filter's answer does not matter


def server(register=0, unregister=0):
    return Module({REG: register, UNREG: unregister})


def entry_returns(what, line, entry, value):
    """x.dll loads, and its entry of the mode returns value."""
    exports = {"register" if entry == REG else "unregister": value}
    return Case(what, line, {"x.dll": server(**exports)}, *entry_returned(value, entry == UNREG),
                "x.dll", entry)


def entry_raises(what, does, code, line="x.dll", silent=False):
    """x.dll loads, and its register entry faults or raises: no box."""
    return Case(what, line, {"x.dll": server(does)}, signed32(code), None, "x.dll", REG, code,
                silent)


def fails_to_load(what, line, name, error=MISSING, silent=False):
    modules = {} if error == MISSING else {name: Module(load_error=error)}
    return Case(what, line, modules, LOAD_FAILED, None if silent else load_failed(error), name)


def parsed(what, line, name, entry, silent=False):
    """The line names module `name` and the mode's entry, which succeeds."""
    _, text = entry_returned(0, entry == UNREG)
    return Case(what, line, {name: server()}, SUCCEEDED, None if silent else text, name, entry)


def long_line(units, tail=""):
    return "\\" + "n" * (units - len(tail) - 5) + ".dll" + tail


def refused(units, tail="", silent=False):
    line = long_line(units, tail)
    text = None if silent else USAGE_TEXT
    return Case(f"{units} units{tail}", line, {line: server()}, USAGE, text)


OUTCOMES = [
    Case("usage", "", {}, USAGE, USAGE_TEXT),
    entry_returns("registers", "x.dll", REG, 0),
    entry_returns("a positive status registers", "x.dll", REG, 1),
    entry_returns("the largest status registers", "x.dll", REG, 0x7FFFFFFF),
    entry_returns("unregisters", "x.dll -u", UNREG, 0),
    entry_returns("a positive status unregisters", "x.dll -u", UNREG, 1),
    entry_returns("registration fails", "x.dll", REG, 0x80004005),
    entry_returns("the sign bit fails", "x.dll", REG, 0x80000000),
    entry_returns("unregistration fails", "x.dll -u", UNREG, 0x80004005),
    entry_returns("the sign bit fails unregistering", "x.dll -u", UNREG, 0x80000000),
    fails_to_load("module missing", "missing.dll", "missing.dll"),
    fails_to_load("module of a foreign format", "bad.dll", "bad.dll", 193),
    fails_to_load("negative load error", "odd.dll", "odd.dll", -5 & 0xFFFFFFFF),
    fails_to_load("load error of the sign bit", "odd.dll", "odd.dll", 0x80000000),
    Case("no unregister entry", "x.dll -u", {"x.dll": Module({REG: 0})}, ENTRY_NOT_FOUND,
         entry_not_found(127), "x.dll", UNREG),
    Case("no register entry", "x.dll", {"x.dll": Module({UNREG: 0})}, ENTRY_NOT_FOUND,
         entry_not_found(127), "x.dll", REG),
]

CASES = OUTCOMES + [replace(case, what=case.what + ", silent", line=case.line + " -s", text=None)
                    for case in OUTCOMES if case.line] + [
    entry_raises("the entry faults", FAULT, 0xC0000005),
    entry_raises("the entry raises", Raise(0xE0000123), 0xE0000123),
    entry_raises("the entry faults, silent", FAULT, 0xC0000005, "x.dll -s", True),
    entry_raises("the entry raises, silent", Raise(0xE0000123), 0xE0000123, "x.dll /S", True),
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
    parsed("-silent is -s", "\\Windows\\x.dll -silent", "\\Windows\\x.dll", REG, silent=True),
    parsed("a tab stays in the name", "x.dll\t-s", "x.dll\t", REG, silent=True),
    parsed("two quotes become spaces", '"a"b".dll', 'a b".dll', REG),
    parsed("a quoted dash still cuts", '"\\tmp\\a-b.dll" -u', "\\tmp\\a", UNREG),
    parsed("spaces trimmed", "  x.dll  ", "x.dll", REG),
    parsed("without a dash the cut is at the slash", "\\path\\un/u.dll", "\\path\\un", UNREG),
    # Lines without a name are handed on, not usage: the empty name fails to load.
    fails_to_load("spaces only", "   ", ""),
    fails_to_load("-u alone", "-u", ""),
    fails_to_load("options first", "-s x.dll", "", silent=True),
    fails_to_load("a tab alone", "\t", "\t"),
    fails_to_load("a tab, then -s", "\t -s", "\t", silent=True),
    # 511 units fit the working buffer; 512 or more are usage.
    parsed("511 units", long_line(511), long_line(511), REG),
    parsed("511 units with options", long_line(511, " -u -s"), long_line(505), UNREG, silent=True),
    refused(512), refused(513), refused(600, " -u"), refused(4000),
    refused(512, " -s", silent=True), refused(512, " -S", silent=True),
    refused(700, " /s", silent=True), refused(512, " /S", silent=True),
    refused(2048, " -u -s", silent=True),
]
