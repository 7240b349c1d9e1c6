"""What the converter's parts share: alignments, section kinds, the named data
directories, the sections being built, and the error every refusal raises."""

import enum
from dataclasses import dataclass
from typing import Optional

PAGE_SIZE = 0x1000
SECTION_ALIGNMENT = PAGE_SIZE
FILE_ALIGNMENT = 0x200
HEADERS_SIZE = 0x200

SECTION_CODE = 0x60000020  # code, execute, read
SECTION_DATA = 0xC0000040  # initialised data, read, write
SECTION_RODATA = 0x40000040  # initialised data, read
SECTION_RELOC = 0x42000040  # initialised data, discardable, read


class Directory(enum.IntEnum):
    """The data directories the image fills, by their place in the table."""
    IMPORT = 1
    RESOURCE = 2
    EXCEPTION = 3
    BASERELOC = 5
    IAT = 12


DIRECTORY_COUNT = 16


class ConversionError(Exception):
    pass


def align(value, alignment):
    return (value + alignment - 1) // alignment * alignment


@dataclass
class Section:
    name: str
    rva: int
    data: bytearray
    characteristics: int
    virtual_size: Optional[int] = None  # when it differs from the data's length

    def __post_init__(self):
        self.data = bytearray(self.data)

    @property
    def size(self):
        return self.virtual_size if self.virtual_size is not None else len(self.data)


def section_at(sections, rva, length=1):
    for section in sections:
        if section.rva <= rva and rva + length <= section.rva + len(section.data):
            return section
    return None
