"""Base relocations: which words the loader must fix up when it maps the image
away from its base, taken from the relocations the link kept (-q), and the
.reloc contents that list them."""

import struct

from .layout import ConversionError

# ELF relocation types (ARM ELF ABI).
R_ARM_ABS32 = 2
R_ARM_TARGET1 = 38
R_ARM_V4BX = 40
# Relative to the place: the distance does not change when the image moves.
PC_RELATIVE_TYPES = {
    1: "R_ARM_PC24",
    3: "R_ARM_REL32",
    28: "R_ARM_CALL",
    29: "R_ARM_JUMP24",
    42: "R_ARM_PREL31",
}

IMAGE_REL_BASED_ABSOLUTE = 0
IMAGE_REL_BASED_HIGHLOW = 3
IMAGE_REL_BASED_HIGHADJ = 4  # takes the next entry as the low half of the full address


class Fixups(dict):
    """The base relocations to write: RVA -> (type, the value of the entry
    that follows it, or None)."""

    def add(self, rva, kind=IMAGE_REL_BASED_HIGHLOW, extra=None):
        self[rva] = (kind, extra)


def collect_base_relocations(elf, iat_range):
    """Returns the RVAs that need a HIGHLOW fixup; refuses anything unknown."""
    fixups = Fixups()
    for relocation in elf.relocations:
        address, kind = relocation.address, relocation.kind
        rva = address - elf.image_base
        where = f"{relocation.target}+0x{address:X} ({relocation.symbol_name or 'section'})"
        defined_in_image = (isinstance(relocation.symbol_section, int)
                            and relocation.symbol_section in elf.allocated)
        if kind in (R_ARM_ABS32, R_ARM_TARGET1):
            if not defined_in_image:
                raise ConversionError(f"absolute relocation at {where} to a symbol outside "
                                      "the image")
            if elf.section_at(address, 4) is None:
                raise ConversionError(f"absolute relocation at {where} outside the sections")
            if iat_range[0] <= rva < iat_range[1]:
                raise ConversionError(f"relocation at {where} inside the import slots")
            if rva % 4:
                raise ConversionError(f"unaligned absolute relocation at {where}")
            fixups.add(rva)
        elif kind in PC_RELATIVE_TYPES:
            if not defined_in_image:
                raise ConversionError(f"{PC_RELATIVE_TYPES[kind]} at {where} to a symbol "
                                      "outside the image")
        elif kind == R_ARM_V4BX:
            # A marker on a "bx" the linker rewrote for ARMv4; no address in it.
            # Make sure the rewrite really happened.
            section = elf.section_at(address, 4)
            if section is None:
                raise ConversionError(f"R_ARM_V4BX at {where} outside the sections")
            (word,) = struct.unpack_from("<I", section.data, rva - section.rva)
            if word & 0x0FFFFFF0 == 0x012FFF10:
                raise ConversionError(f"bx left at {where}: link with "
                                      "--fix-v4bx-interworking")
        else:
            raise ConversionError(f"relocation type {kind} at {where} is not supported")
    return fixups


def build_base_relocations(fixups):
    """The .reloc contents: one block per 4 KiB page, each HIGHADJ entry
    followed by its low half in the same block. `fixups` is a Fixups, or
    RVAs for HIGHLOW entries."""
    if not isinstance(fixups, dict):
        fixups = {rva: (IMAGE_REL_BASED_HIGHLOW, None) for rva in fixups}
    pages = {}
    for rva in sorted(fixups):
        kind, extra = fixups[rva]
        pages.setdefault(rva & ~0xFFF, []).extend(
            [kind << 12 | rva & 0xFFF] + ([] if extra is None else [extra & 0xFFFF]))
    out = bytearray()
    for page in sorted(pages):
        entries = pages[page]
        if len(entries) % 2:
            entries.append(IMAGE_REL_BASED_ABSOLUTE << 12)  # pad the block to 4 bytes
        out += struct.pack("<II", page, 8 + 2 * len(entries))
        out += struct.pack(f"<{len(entries)}H", *entries)
    return bytes(out)
