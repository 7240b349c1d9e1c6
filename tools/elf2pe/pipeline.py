"""The conversion, step by step, and the command line that runs it."""

import argparse
import contextlib
import os
import sys

from . import __doc__ as OVERVIEW
from . import mips
from .elf_input import check_bx_veneers, read_elf
from .imports import append_import_directory, import_slots
from .layout import (SECTION_ALIGNMENT, SECTION_CODE, SECTION_RELOC, SECTION_RODATA,
                     ConversionError, Directory, Section, align)
from .loader_rules import check_loader_rules
from .pe_writer import MACHINE_ARM, MACHINE_MIPS, lay_out, write_image
from .relocations import build_base_relocations, collect_base_relocations
from .resources import build_resource_section, read_res
from .unwind import append_exception_directory, function_records


def convert(elf_path, res_path, timestamp, mips_kernel=None):
    layout = build_layout(elf_path, res_path, timestamp, mips_kernel)
    check_loader_rules(layout)
    return write_image(layout)


def build_layout(elf_path, res_path, timestamp, mips_kernel=None):
    elf = read_elf(elf_path)
    if (elf.machine == "mips") != (mips_kernel is not None):
        raise ConversionError("a MIPS image is made for a kernel family (--mips-kernel), "
                              "and only a MIPS image")
    sections = elf.sections
    if not sections:
        raise ConversionError("no sections to convert")
    entry_rva = elf.entry - elf.image_base
    entry_section = elf.section_at(elf.entry, 4)
    if entry_section is None or entry_section.characteristics != SECTION_CODE or entry_rva % 4:
        raise ConversionError(f"entry point 0x{elf.entry:X} is not code in the image")

    slots = import_slots(elf)
    if elf.machine == "mips":
        records = mips.function_records(elf)
        fixups = mips.collect_base_relocations(elf, (slots.rva, slots.rva + slots.size))
        directories = {Directory.EXCEPTION: mips.append_exception_directory(elf, records, fixups)}
    else:
        check_bx_veneers(elf)
        records = function_records(elf)
        fixups = collect_base_relocations(elf, (slots.rva, slots.rva + slots.size))
        directories = {Directory.EXCEPTION: append_exception_directory(elf, records, fixups)}
    directories[Directory.IMPORT] = append_import_directory(slots)
    directories[Directory.IAT] = (slots.rva, slots.size)

    def next_rva():
        last = sections[-1]
        return align(last.rva + last.size, SECTION_ALIGNMENT)

    if res_path is not None:
        resources = read_res(res_path)
        if resources:
            rva = next_rva()
            data = build_resource_section(resources, rva, timestamp)
            sections.append(Section(".rsrc", rva, data, SECTION_RODATA))
            directories[Directory.RESOURCE] = (rva, len(data))
    if fixups:
        rva = next_rva()
        data = build_base_relocations(fixups)
        sections.append(Section(".reloc", rva, data, SECTION_RELOC))
        directories[Directory.BASERELOC] = (rva, len(data))
    machine = MACHINE_MIPS[mips_kernel] if mips_kernel else MACHINE_ARM
    return lay_out(sections, entry_rva, directories, timestamp, elf.image_base, machine)


def main():
    parser = argparse.ArgumentParser(prog="elf2pe", description=OVERVIEW.splitlines()[0])
    parser.add_argument("--resources", help="compiled resources (.res) to carry")
    parser.add_argument("--mips-kernel", choices=sorted(MACHINE_MIPS),
                        help="the CE MIPS kernel family a MIPS image is for")
    parser.add_argument("elf")
    parser.add_argument("output")
    arguments = parser.parse_args()
    timestamp = int(os.environ.get("SOURCE_DATE_EPOCH", "0")) & 0xFFFFFFFF
    try:
        write_whole(arguments.output, convert(arguments.elf, arguments.resources, timestamp,
                                              arguments.mips_kernel))
    except BaseException as error:
        remove(arguments.output)  # no image from an earlier run stays behind
        if not isinstance(error, (ConversionError, OSError)):
            raise  # a fault of the converter's own: show where
        sys.exit(f"elf2pe: {arguments.elf}: {error}")


def write_whole(path, image):
    """Writes under a temporary name, then renames: `path` never holds part of an image."""
    partial = path + ".partial"
    try:
        with open(partial, "wb") as output:
            output.write(image)
        os.replace(partial, path)
    except OSError:
        remove(partial)
        raise


def remove(path):
    with contextlib.suppress(OSError):
        os.remove(path)
