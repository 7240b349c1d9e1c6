"""What a user of comenrol is shown and what a caller gets back, for every
Python suite (the Wine suite, the emulated x86 run, the emulated CE runs).

Written apart from the product's own message catalogue on purpose: a test
that read the product's strings would only restate them.

    from expected import LOAD_FAILED, boxes, load_failed
    assert run.status == LOAD_FAILED
    assert run.boxes == boxes(LOAD_FAILED, load_failed(126))  # [(text, caption, style)]

Statuses are signed 32-bit values.
"""

CAPTION = "comenrol.exe"
INFORMATION = 0x40  # successes and the usage text
ERROR = 0x10  # every failure

# The five exit statuses.
SUCCEEDED, USAGE, LOAD_FAILED, ENTRY_NOT_FOUND, ENTRY_FAILED = 0, -1, -2, -3, -4

USAGE_TEXT = ("Invalid command line arguments.\n\nUse the following syntax:\n"
              "comenrol.exe DLLNAME [-u] [-s]\n-u - unregister\n-s - silent mode")
REGISTERED = "DllRegisterServer succeeded."
UNREGISTERED = "DllUnregisterServer succeeded."
REGISTER_ENTRY, UNREGISTER_ENTRY = "DllRegisterServer", "DllUnregisterServer"

# What each COREDLL.dll ordinal an image may import does, set by set, as the
# platform numbers them; each names the operation a device model runs for it.
# Written here apart from the build's own tables, so that a wrong or swapped
# ordinal there fails the structure tests and the runs.
CE_COREDLL = {  # CE 4.20 to 7
    528: "LoadModule",  # LoadLibraryW
    530: "FindEntry",  # GetProcAddressW
    516: "LastErrorCode",  # GetLastError
    1097: "FormatText",  # swprintf
    858: "ShowMessageBox",  # MessageBoxW
    73: "FindSubstring",  # wcsstr
    59: "FindUnit",  # wcschr
    1047: "FillBytes",  # memset
    1645: "FilterException",  # the C runtime's exception filter
    87: "HandleException",  # the C language handler (ARM exception data)
}
COMPACT2013_COREDLL = {  # what Compact 2013 still exports at the ordinals of 4.20 to 7
    528: "LoadModule", 530: "FindEntry", 516: "LastErrorCode", 858: "ShowMessageBox",
    6: "ExitThread", 544: "TerminateProcess",
}


def load_failed(error):
    return f"Error loading module.\nError {signed32(error)}."


def entry_not_found(error):
    return f"Unable to get function address.\nError {signed32(error)}."


def register_failed(status):
    return f"Error.\nDllRegisterServer returned:\n0x{status & 0xFFFFFFFF:08X}."


def unregister_failed(status):
    return f"Error.\nDllUnregisterServer returned:\n0x{status & 0xFFFFFFFF:08X}."


def entry_returned(value, unregister=False):
    """The status and box text of a run whose entry returned value: a set
    sign bit is a failure, anything else success."""
    if value & 0x80000000:
        return ENTRY_FAILED, (unregister_failed if unregister else register_failed)(value)
    return SUCCEEDED, UNREGISTERED if unregister else REGISTERED


def boxes(status, text):
    """The boxes of a run that ends with status and shows text: that one box,
    in the style of the status, or none when text is None."""
    style = INFORMATION if status in (SUCCEEDED, USAGE) else ERROR
    return [] if text is None else [(text, CAPTION, style)]


def signed32(value):
    """A 32-bit exit status or error number as the signed value it stands for."""
    value &= 0xFFFFFFFF
    return value - 0x100000000 if value & 0x80000000 else value
