"""Converts the linked comenrol ELF into a Windows CE PE executable, for ARM or
(in its part mips, for the kernel family --mips-kernel names) for MIPS.

The linker script has already placed every section at its final address (the
image base it defines as __comenrol_image_base, plus its RVA, on 4 KiB
boundaries), so sections are copied as they are, never moved. The converter
adds what ELF does not carry:

- the import directory for COREDLL.dll, built from the import slots that end
  the last linked section (each slot holds 0x80000000 | ordinal);
- the exception directory (.pdata, appended to the code section): one record
  per function, its prolog length read from the code, so that CE's kernel can
  unwind every frame and find the entry's exception handler;
- base relocations (.reloc, HIGHLOW) from the R_ARM_ABS32/R_ARM_TARGET1
  relocations that the link kept (-q), and for each .pdata function start;
- the resource section, from a compiled .res file;
- the PE headers: PE32, ARM (0x01C0), Windows CE GUI subsystem 4.20, and the
  checksum.

It refuses, with a one-line reason, a nonzero status and no output file
(never a part of one), anything it cannot carry over faithfully: a relocation
type it does not know, a bx the link did not route through an interworking
veneer, a veneer of another kind or Thumb code, a section it does not expect,
an import slot that is not an ordinal, a function the kernel could not unwind.
Last, just before writing, it refuses an image that breaks a rule of the CE
6.0 or 7 loader (loader_rules): a section not on a page or beyond
SizeOfImage, base relocations at which no section begins, fewer than 16 data
directories, an exception entry with the reserved prolog length 255, or
exception entries not sorted by start. The output depends only on the inputs
and SOURCE_DATE_EPOCH (0 when unset).

What is said above is the ARM image; the MIPS one differs in its exception
records, relocations and checks, as the part mips says.

Run as `python3 tools/elf2pe [--resources RES] [--mips-kernel K] ELF OUTPUT`.
The parts: pipeline (the steps in order), elf_input, relocations, unwind
(prologs and .pdata), mips, imports, resources, pe_writer, loader_rules, and
layout (what they share).
"""
