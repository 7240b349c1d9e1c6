"""Groundwork for running a PE image on an emulated CPU (python3-unicorn),
whatever the architecture: the loader and the guest memory every harness needs.

    image = Image(open(path, "rb").read())   # parsed once, mapped per run
    guest = Guest(Uc(UC_ARCH_X86, UC_MODE_32))  # or subclass Guest
    guest.load(image, 0x10000000)            # sections, protections, relocations
    guest.bind(image, 0x10000000, lambda imp: stub_address_for(imp))
    guest.read_text(guest.read_word(address))

The image goes where the caller says, away from its preferred base, which
stays unmapped: a missed relocation faults. Each section gets the access its
characteristics ask for, the rest of the image none, so a stray write into
code or read-only data faults too; models write for the guest through
write_bytes, which obeys the same. Every refusal raises EmulationError.
"""

import struct
from collections import namedtuple

import pefile
from unicorn import UC_PROT_EXEC, UC_PROT_NONE, UC_PROT_READ, UC_PROT_WRITE, UC_PROT_ALL

PAGE = 0x1000
# The base relocation types modelled; 0 pads a block. HIGH, LOW, HIGHADJ and
# JMPADDR are MIPS's, applied as CE applies them.
HIGH, LOW, HIGHLOW, HIGHADJ, JMPADDR, THUMB_MOV32, DIR64 = 1, 2, 3, 4, 5, 7, 10
# Section characteristics: read, write, execute.
ACCESS = ((0x40000000, UC_PROT_READ), (0x80000000, UC_PROT_WRITE), (0x20000000, UC_PROT_EXEC))


class EmulationError(AssertionError):
    """The image, or the code it ran, did something the model does not allow."""


# One imported function: its DLL, its ordinal or name (the other None), its slot.
Import = namedtuple("Import", "dll ordinal name rva")


def pages(size):
    return (size + PAGE - 1) & ~(PAGE - 1)


class Image:
    """A PE file read once, its sections, relocations and imports ready for any run."""

    def __init__(self, data):
        self.pe = pe = pefile.PE(data=data)
        optional = pe.OPTIONAL_HEADER
        self.preferred_base, self.size = optional.ImageBase, pages(optional.SizeOfImage)
        self.pointer = 8 if optional.Magic == 0x20B else 4  # PE32+ or PE32
        self.entry = optional.AddressOfEntryPoint
        self.headers = data[:optional.SizeOfHeaders]
        self.sections = []  # (rva, bytes, span, access)
        for section in pe.sections:
            content = section.get_data()[:section.Misc_VirtualSize or None]
            access = sum(bit for flag, bit in ACCESS if section.Characteristics & flag)
            span = pages(max(section.Misc_VirtualSize, len(content)))
            self.sections.append((section.VirtualAddress, content, span, access))
        self.relocations = read_base_relocations(pe)
        self.imports = [
            Import(descriptor.dll.decode("ascii", "replace"),
                   symbol.ordinal if symbol.import_by_ordinal else None,
                   symbol.name.decode("ascii", "replace") if symbol.name else None,
                   symbol.address - self.preferred_base)
            for descriptor in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])
            for symbol in descriptor.imports]


def read_base_relocations(pe):
    """[(type, rva, the value of the entry a HIGHADJ takes, or None)], read
    from the directory as a loader does: a HIGHADJ takes the next entry."""
    directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[5]
    table = pe.get_data(directory.VirtualAddress, directory.Size) if directory.Size else b""
    relocations = []
    while table:
        page, size = struct.unpack_from("<II", table)
        entries = list(struct.unpack_from(f"<{(size - 8) // 2}H", table, 8))
        while entries:
            entry = entries.pop(0)
            if entry >> 12 == HIGHADJ and not entries:
                raise EmulationError(f"a HIGHADJ entry ends the block of page 0x{page:X}")
            extra = entries.pop(0) if entry >> 12 == HIGHADJ else None
            if entry >> 12:
                relocations.append((entry >> 12, page + (entry & 0xFFF), extra))
        table = table[size:]
    return relocations


class Guest:
    """A Unicorn CPU with guest memory helpers; harnesses subclass it or hold one."""

    def __init__(self, uc):
        self.uc = uc
        self.clobbered = 0  # calls whose registers clobber() has scrambled

    def map(self, address, size, access, data=b""):
        """Maps whole pages at address with the access and writes data there."""
        self.uc.mem_map(address, pages(max(size, len(data))), access)
        self.uc.mem_write(address, data)

    def load(self, image, base, at_preferred_base=False):
        """Maps the image at base with each section's access and applies its
        base relocations. Returns the address of its entry point. The
        preferred base is refused unless at_preferred_base says it is meant."""
        if base == image.preferred_base and not at_preferred_base:
            raise EmulationError("an image loaded at its preferred base proves no relocation")
        self.map(base, image.size, UC_PROT_ALL, image.headers)
        for rva, content, _, _ in image.sections:
            self.uc.mem_write(base + rva, content)
        delta = base - image.preferred_base
        high = None  # a HIGH entry waiting for its LOW
        # A loader applies the fix-ups only to an image away from its base.
        for kind, rva, extra in image.relocations if delta else []:
            if kind in (LOW, HIGHADJ, JMPADDR, HIGH):
                high = self.relocate_mips(base + rva, kind, delta, extra, high)
            elif kind == HIGHLOW:
                self.write_words(base + rva, [self.read_word(base + rva) + delta])
            elif kind == THUMB_MOV32:
                self.relocate_mov32(base + rva, delta)
            elif kind == DIR64:
                self.write_pointers(base + rva, [self.read_pointers(base + rva, 1, 8)[0] + delta], 8)
            else:
                raise EmulationError(f"base relocation type {kind} is not modelled")
        self.uc.mem_protect(base, image.size, UC_PROT_NONE)
        self.uc.mem_protect(base, pages(len(image.headers)), UC_PROT_READ)
        for rva, _, span, access in image.sections:
            self.uc.mem_protect(base + rva, span, access)
        return base + image.entry

    def relocate_mips(self, address, kind, delta, extra, high):
        """A MIPS fix-up as CE makes it; returns the HIGH entry still waiting
        for its LOW. HIGHADJ rounds with the signed low half it carries; a
        HIGH is settled by the next LOW, which reads its low half unsigned."""
        word = self.read_word(address)
        if kind == HIGHADJ:
            low = extra - ((extra & 0x8000) << 1)
            word = word & ~0xFFFF | ((word << 16) + low + delta + 0x8000) >> 16 & 0xFFFF
        elif kind == JMPADDR:
            word = word & ~0x3FFFFFF | (word + (delta >> 2)) & 0x3FFFFFF
        elif kind == HIGH:
            return address
        else:  # LOW
            if high is not None:
                high_word = self.read_word(high)
                full = ((high_word & 0xFFFF) << 16) + (word & 0xFFFF) + delta
                self.write_words(high, [high_word & ~0xFFFF | (full + 0x8000) >> 16 & 0xFFFF])
            word = word & ~0xFFFF | (word + delta) & 0xFFFF
        self.write_words(address, [word])
        return None

    def relocate_mov32(self, address, delta):
        """A Thumb movw/movt pair that loads an address: both halves move."""
        halves = struct.unpack("<4H", self.uc.mem_read(address, 8))
        if (halves[0] & 0xFBF0, halves[2] & 0xFBF0) != (0xF240, 0xF2C0):
            raise EmulationError(f"no movw/movt pair at 0x{address:08X}")
        value = 0
        for first, second in (halves[2:], halves[:2]):
            value = value << 16 | ((first & 0xF) << 12 | (first >> 10 & 1) << 11
                                   | (second >> 12 & 7) << 8 | second & 0xFF)
        value = (value + delta) & 0xFFFFFFFF
        patched = []
        for (first, second), part in zip((halves[:2], halves[2:]), (value & 0xFFFF, value >> 16)):
            patched += [first & 0xFBF0 | (part >> 11 & 1) << 10 | part >> 12,
                        second & 0x8F00 | (part >> 8 & 7) << 12 | part & 0xFF]
        self.uc.mem_write(address, struct.pack("<4H", *patched))

    def bind(self, image, base, address_of):
        """Points every import slot of the image loaded at base at the
        address address_of(Import) gives; that may raise to refuse it."""
        for entry in image.imports:
            self.write_pointers(base + entry.rva, [address_of(entry)], image.pointer)

    def clobber(self, registers):
        """Leaves in each register what a callee may: a value unlike any it
        had at the last call."""
        self.clobbered += 1
        for index, register in enumerate(registers):
            self.uc.reg_write(register, 0xDEAD0000 | 0x1111 * (index + 1) ^ self.clobbered)

    def read_words(self, address, count):
        return list(struct.unpack(f"<{count}I", self.uc.mem_read(address, 4 * count)))

    def read_word(self, address):
        return self.read_words(address, 1)[0]

    def write_words(self, address, words):
        self.write_pointers(address, words, 4)

    def read_pointers(self, address, count, size):
        """count words of size bytes (4 or 8)."""
        return list(struct.unpack(f"<{count}{'IQ'[size // 8]}",
                                  self.uc.mem_read(address, size * count)))

    def write_pointers(self, address, words, size):
        mask = (1 << 8 * size) - 1
        self.uc.mem_write(address, struct.pack(f"<{len(words)}{'IQ'[size // 8]}",
                                               *(word & mask for word in words)))

    def read_text(self, address, limit=4096, unit=2):
        """NUL-terminated UTF-16 text (unit=1: 8-bit, as export names are)."""
        data = b""
        while (piece := bytes(self.uc.mem_read(address + len(data), unit))) != bytes(unit):
            data += piece
            if len(data) > limit * unit:
                raise EmulationError(f"unterminated text at 0x{address:08X}")
        return data.decode("utf-16-le" if unit == 2 else "latin-1")

    def write_bytes(self, address, data):
        """Writes for the guest where the guest itself could write."""
        for begin, end, access in self.uc.mem_regions():
            if begin <= address and address + len(data) - 1 <= end and access & UC_PROT_WRITE:
                self.uc.mem_write(address, data)
                return
        raise EmulationError(f"{len(data)} bytes written at 0x{address:08X}: not writable")

    def write_text(self, address, text):
        self.write_bytes(address, text.encode("utf-16-le") + b"\0\0")
