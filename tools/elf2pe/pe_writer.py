"""PE writing: the headers as named records laid out over the sections, then
packed into the image with its checksum."""

import dataclasses
import struct
from dataclasses import dataclass
from typing import ClassVar, NamedTuple

from .layout import (DIRECTORY_COUNT, FILE_ALIGNMENT, HEADERS_SIZE, SECTION_ALIGNMENT,
                     SECTION_CODE, ConversionError, Directory, align)

PE_OFFSET = 0x40  # the headers follow the DOS header, with no stub between
MACHINE_ARM = 0x01C0
# CE on MIPS takes only its kernel's own value: MIPSII and MIPSII_FP kernels
# 0x166, MIPSIV and MIPSIV_FP kernels 0x366, for the same MIPS II code.
MACHINE_MIPS = {"mipsii": 0x0166, "mipsiv": 0x0366}
SUBSYSTEM_WINDOWS_CE_GUI = 9
SUBSYSTEM_VERSION = (4, 20)
PE32_MAGIC = 0x10B
LINKER_VERSION = (2, 38)
STACK_RESERVE, STACK_COMMIT = 0x10000, 0x1000
HEAP_RESERVE, HEAP_COMMIT = 0x100000, 0x1000
FILE_EXECUTABLE = 0x0002
FILE_LINE_NUMBERS_STRIPPED = 0x0004
FILE_LOCAL_SYMBOLS_STRIPPED = 0x0008
FILE_32BIT_MACHINE = 0x0100
FILE_RELOCATIONS_STRIPPED = 0x0001
# CE 7 built for strict no-execute refuses images without it; 4.20 to 6.0
# ignore it.
DLL_NX_COMPAT = 0x0100


def pack(record):
    return struct.pack(record.FORMAT, *dataclasses.astuple(record))


@dataclass
class FileHeader:
    FORMAT: ClassVar[str] = "<4sHHIIIHH"
    signature: bytes
    machine: int
    number_of_sections: int
    time_date_stamp: int
    pointer_to_symbol_table: int
    number_of_symbols: int
    size_of_optional_header: int
    characteristics: int


@dataclass
class OptionalHeader:
    FORMAT: ClassVar[str] = "<HBBIIIIIIIIIHHHHHHIIIIHHIIIIII"
    magic: int
    major_linker_version: int
    minor_linker_version: int
    size_of_code: int
    size_of_initialized_data: int
    size_of_uninitialized_data: int
    address_of_entry_point: int
    base_of_code: int
    base_of_data: int
    image_base: int
    section_alignment: int
    file_alignment: int
    major_operating_system_version: int
    minor_operating_system_version: int
    major_image_version: int
    minor_image_version: int
    major_subsystem_version: int
    minor_subsystem_version: int
    win32_version_value: int
    size_of_image: int
    size_of_headers: int
    check_sum: int
    subsystem: int
    dll_characteristics: int
    size_of_stack_reserve: int
    size_of_stack_commit: int
    size_of_heap_reserve: int
    size_of_heap_commit: int
    loader_flags: int
    number_of_rva_and_sizes: int


class DataDirectory(NamedTuple):
    rva: int
    size: int


@dataclass
class SectionHeader:
    FORMAT: ClassVar[str] = "<8sIIIIIIHHI"
    name: bytes
    virtual_size: int
    virtual_address: int
    size_of_raw_data: int
    pointer_to_raw_data: int
    pointer_to_relocations: int
    pointer_to_linenumbers: int
    number_of_relocations: int
    number_of_linenumbers: int
    characteristics: int


@dataclass
class ImageLayout:
    """The image as it will be written: headers, directories, sections."""
    file_header: FileHeader
    optional_header: OptionalHeader
    directories: list  # [DataDirectory], by Directory
    section_headers: list  # [SectionHeader]
    sections: list  # [Section], in the order of their headers

    def holding(self, rva, size):
        """(section, offset) of `size` bytes at `rva` inside one section's data, or None."""
        for header, section in zip(self.section_headers, self.sections):
            offset = rva - header.virtual_address
            if 0 <= offset and offset + size <= len(section.data):
                return section, offset
        return None


def lay_out(sections, entry_rva, directories, timestamp, image_base, machine=MACHINE_ARM):
    """Places the headers and sections; `directories` maps Directory to (rva, size)."""
    optional_size = struct.calcsize(OptionalHeader.FORMAT) + 8 * DIRECTORY_COUNT
    section_table = PE_OFFSET + struct.calcsize(FileHeader.FORMAT) + optional_size
    if section_table + struct.calcsize(SectionHeader.FORMAT) * len(sections) > HEADERS_SIZE:
        raise ConversionError("too many sections for the headers")

    file_offset = HEADERS_SIZE
    section_headers = []
    for section in sections:
        raw_size = align(len(section.data), FILE_ALIGNMENT)
        section_headers.append(SectionHeader(
            section.name.encode("ascii")[:8], section.size, section.rva, raw_size, file_offset,
            0, 0, 0, 0, section.characteristics))
        file_offset += raw_size

    code = [s for s in sections if s.characteristics == SECTION_CODE]
    other = [s for s in sections if s.characteristics != SECTION_CODE]
    characteristics = (FILE_EXECUTABLE | FILE_LINE_NUMBERS_STRIPPED
                       | FILE_LOCAL_SYMBOLS_STRIPPED | FILE_32BIT_MACHINE)
    if Directory.BASERELOC not in directories:
        characteristics |= FILE_RELOCATIONS_STRIPPED
    file_header = FileHeader(b"PE\0\0", machine, len(sections), timestamp, 0, 0,
                             optional_size, characteristics)
    optional_header = OptionalHeader(
        magic=PE32_MAGIC,
        major_linker_version=LINKER_VERSION[0], minor_linker_version=LINKER_VERSION[1],
        size_of_code=sum(align(len(s.data), FILE_ALIGNMENT) for s in code),
        size_of_initialized_data=sum(align(len(s.data), FILE_ALIGNMENT) for s in other),
        size_of_uninitialized_data=0,
        address_of_entry_point=entry_rva,
        base_of_code=code[0].rva if code else 0, base_of_data=other[0].rva if other else 0,
        image_base=image_base, section_alignment=SECTION_ALIGNMENT,
        file_alignment=FILE_ALIGNMENT,
        major_operating_system_version=SUBSYSTEM_VERSION[0],
        minor_operating_system_version=SUBSYSTEM_VERSION[1],
        major_image_version=0, minor_image_version=0,
        major_subsystem_version=SUBSYSTEM_VERSION[0],
        minor_subsystem_version=SUBSYSTEM_VERSION[1],
        win32_version_value=0,
        size_of_image=align(sections[-1].rva + sections[-1].size, SECTION_ALIGNMENT),
        size_of_headers=HEADERS_SIZE, check_sum=0,
        subsystem=SUBSYSTEM_WINDOWS_CE_GUI, dll_characteristics=DLL_NX_COMPAT,
        size_of_stack_reserve=STACK_RESERVE, size_of_stack_commit=STACK_COMMIT,
        size_of_heap_reserve=HEAP_RESERVE, size_of_heap_commit=HEAP_COMMIT,
        loader_flags=0, number_of_rva_and_sizes=DIRECTORY_COUNT)
    table = [DataDirectory(0, 0)] * DIRECTORY_COUNT
    for directory, (rva, size) in directories.items():
        table[directory] = DataDirectory(rva, size)
    return ImageLayout(file_header, optional_header, table, section_headers, list(sections))


def checksum(image):
    """The image checksum, over an image whose checksum field holds zero."""
    total = 0
    for offset in range(0, len(image), 2):
        word = image[offset] | ((image[offset + 1] << 8) if offset + 1 < len(image) else 0)
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return (total + len(image)) & 0xFFFFFFFF


def write_image(layout):
    """Packs a laid-out image into its bytes."""
    last = layout.section_headers[-1]
    image = bytearray(last.pointer_to_raw_data + last.size_of_raw_data)
    # The DOS header: "MZ", the sizes a DOS header carries, and where the PE
    # headers start.
    struct.pack_into("<2sHHHHH", image, 0, b"MZ", 0x90, 3, 0, 4, 0)
    struct.pack_into("<I", image, 0x3C, PE_OFFSET)

    def headers(optional_header):
        return b"".join([pack(layout.file_header), pack(optional_header)]
                        + [struct.pack("<II", *entry) for entry in layout.directories]
                        + [pack(header) for header in layout.section_headers])

    for header, section in zip(layout.section_headers, layout.sections):
        start = header.pointer_to_raw_data
        image[start:start + len(section.data)] = section.data
    unsummed = headers(dataclasses.replace(layout.optional_header, check_sum=0))
    image[PE_OFFSET:PE_OFFSET + len(unsummed)] = unsummed
    summed = headers(dataclasses.replace(layout.optional_header, check_sum=checksum(image)))
    image[PE_OFFSET:PE_OFFSET + len(summed)] = summed
    return bytes(image)
