#!/usr/bin/python3
"""Reads the COREDLL import table and writes the import slots as assembly (ARM, MIPS),
or, with --def, a module definition for the x86 image's import library.

Each ARM slot is a 32-bit word named comenrol_import_<operation>, pre-filled
with 0x80000000 | ordinal; the loader overwrites it with the operation's
address, and the code calls through it. A zero word ends the slots. The ELF to
PE converter finds the slots by their section and builds the import directory
from the words, so the slots are the only place the ordinals are written.

The x86 image is linked by the PE linker from an import library that the
module definition describes: each operation comenrol_import_<operation> by
ordinal alone (NONAME), so its slot is __imp__comenrol_import_<operation>.
--set names the image whose operations are taken (the table's third column).
"""

import argparse

SLOT_SECTION = ".comenrol.iat"
IMPORT_DLL = "COREDLL.dll"
ORDINAL_FLAG = 0x80000000  # a slot's word: ORDINAL_FLAG | ordinal
ORDINAL_MASK = 0xFFFF


def read_table(path, image):
    """Returns the image's [(operation, ordinal)] in table order; refuses a
    malformed table."""
    entries = []
    with open(path, encoding="utf-8") as table:
        for number, line in enumerate(table, 1):
            fields = line.split("#", 1)[0].split()
            if not fields:
                continue
            if len(fields) < 3 or not fields[0].isidentifier() or not fields[1].isdigit():
                raise SystemExit(f"{path}:{number}: expected 'Operation ordinal image...'")
            if image not in fields[2:]:
                continue
            ordinal = int(fields[1])
            if not 0 < ordinal <= ORDINAL_MASK:
                raise SystemExit(f"{path}:{number}: ordinal {ordinal} out of range")
            entries.append((fields[0], ordinal))
    names = [name for name, _ in entries]
    ordinals = [ordinal for _, ordinal in entries]
    if not entries or len(set(names)) != len(names) or len(set(ordinals)) != len(ordinals):
        raise SystemExit(f"{path}: empty table, or an operation or ordinal listed twice")
    return entries


def slots_assembly(entries):
    lines = [
        "/* Generated from coredll_imports.table; do not edit. */",
        f'    .section {SLOT_SECTION},"aw",%progbits',
        "    .balign 4",
    ]
    for name, ordinal in entries:
        lines += [
            f"    .global comenrol_import_{name}",
            f"    .type comenrol_import_{name}, %object",
            f"    .size comenrol_import_{name}, 4",
            f"comenrol_import_{name}:",
            f"    .word 0x{ORDINAL_FLAG | ordinal:08X}  /* {IMPORT_DLL} ordinal {ordinal} */",
        ]
    lines.append("    .word 0  /* end of the slots */")
    return "\n".join(lines) + "\n"


def module_definition(entries):
    lines = ["; Generated from coredll_imports.table; do not edit.", f"LIBRARY {IMPORT_DLL}",
             "EXPORTS"]
    lines += [f"    comenrol_import_{name} @{ordinal} NONAME" for name, ordinal in entries]
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--def", dest="definition", action="store_true",
                        help="write a module definition instead of the slots")
    parser.add_argument("--set", required=True, choices=("arm", "mips", "x86", "2013"))
    parser.add_argument("table")
    parser.add_argument("output")
    arguments = parser.parse_args()
    entries = read_table(arguments.table, arguments.set)
    text = (module_definition if arguments.definition else slots_assembly)(entries)
    with open(arguments.output, "w", encoding="utf-8", newline="\n") as output:
        output.write(text)


if __name__ == "__main__":
    main()
