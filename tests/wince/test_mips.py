"""comenrol.exe for CE on MIPS: both images (MIPSII and MIPSIV kernels) read
back with pefile, and every row of the CE case table run on an emulated
MIPS32 4Kc core (mips_device) at CE's base and at a moved one."""

import struct
import tempfile
import unittest

from elftools.elf.elffile import ELFFile

import mips_device
from ce_cases import CASES, FAULT, IMAGE_BASE
from ce_harness import SystemBox, built, check_calls, read_image
from expected import CE_COREDLL, boxes
from expected_version_record import RECORD, read_back

IMAGES = {0x166: built("COMENROL_WINCEMIPS_MIPSII"), 0x366: built("COMENROL_WINCEMIPS_MIPSIV")}
ELF = built("COMENROL_WINCEMIPS_ELF")
BASES = (IMAGE_BASE, 0x00A30000)
HIGHADJ = 4


class Structure(unittest.TestCase):
    def test_images(self):
        read = {machine: read_image(path) for machine, path in IMAGES.items()}
        with open(ELF, "rb") as stream:
            slots = {symbol.name[len("comenrol_import_"):]: symbol["st_value"] for symbol in
                     ELFFile(stream).get_section_by_name(".symtab").iter_symbols()
                     if symbol.name.startswith("comenrol_import_")}
        for machine, (raw, pe) in read.items():
            with self.subTest(hex(machine)):
                optional = pe.OPTIONAL_HEADER
                self.assertEqual(
                    (pe.FILE_HEADER.Machine, optional.Magic, optional.Subsystem,
                     optional.MajorSubsystemVersion, optional.MinorSubsystemVersion,
                     optional.ImageBase, optional.DllCharacteristics,
                     pe.FILE_HEADER.Characteristics & 0x2003),
                    (machine, 0x10B, 9, 4, 20, IMAGE_BASE, 0x0100, 0x0002))
                self.assertLessEqual(len(raw), 8192)
                self.assertTrue(pe.verify_checksum())
                self.assertEqual(read_back(pe), RECORD)
                self.assertTrue(all(s.VirtualAddress % 0x1000 == 0 for s in pe.sections))
                relocations = optional.DATA_DIRECTORY[5]
                self.assertIn(relocations.VirtualAddress,
                              [s.VirtualAddress for s in pe.sections if s.Name.startswith(b".reloc")])
                fixups = {rva: kind for kind, rva, _ in mips_device.Image(raw).relocations}
                self.assertEqual(set(fixups.values()), {2, 3, 4, 5})  # never HIGH (1)
                (descriptor,) = pe.DIRECTORY_ENTRY_IMPORT
                self.assertEqual({i.address: i.ordinal for i in descriptor.imports
                                  if i.import_by_ordinal and i.name is None},
                                 {slots[name]: ordinal for ordinal, name in CE_COREDLL.items()})
                # 20-byte records, sorted, every address in them relocated, the
                # entry's alone naming a handler and its data.
                exceptions = optional.DATA_DIRECTORY[3]
                records = list(struct.iter_unpack("<5I", pe.get_data(exceptions.VirtualAddress,
                                                                    exceptions.Size)))
                self.assertEqual(records, sorted(records))
                for index, record in enumerate(records):
                    for field, word in enumerate(record):
                        if word:
                            rva = exceptions.VirtualAddress + 20 * index + 4 * field
                            self.assertEqual(fixups.get(rva), 3, hex(rva))
                    self.assertTrue(record[0] < record[4] < record[1])
                guarded = [record[0] for record in records if record[2]]
                self.assertEqual(guarded, [IMAGE_BASE + optional.AddressOfEntryPoint])
        # One code body: the images differ only in Machine and the checksum.
        masked = []
        for raw, pe in read.values():
            data = bytearray(raw)
            for header, name, width in ((pe.FILE_HEADER, "Machine", 2),
                                        (pe.OPTIONAL_HEADER, "CheckSum", 4)):
                at = header.get_field_absolute_offset(name)
                data[at:at + width] = bytes(width)
            masked.append(data)
        self.assertEqual(masked[0], masked[1])


class Runs(unittest.TestCase):
    def test_every_case(self):
        for base in BASES:
            for case in CASES:
                for verdict in (1, 0, -1) if case.exception else (None,):
                    with self.subTest(case.what, base=hex(base), line=case.line[:40],
                                      verdict=verdict):
                        outcome = mips_device.run(IMAGES[0x166], case.line, case.modules,
                                                  base=base, verdict=verdict)
                        check_calls(self, case, outcome)
                        self.assertEqual(outcome.boxes, boxes(case.status, case.text))
                        if case.exception is None:
                            self.assertEqual(outcome.status, case.status)
                            continue
                        # Asked once; a silent run or an accepting filter takes the
                        # code, a decline is left to the system, -1 resumes there.
                        self.assertEqual([c.code for c in outcome.filter_calls],
                                         [case.exception])
                        fault = case.modules[case.loaded].exports[case.entry] == FAULT
                        where = mips_device.MODULE_CODE if fault else mips_device.RAISE_STUB
                        left = SystemBox("comenrol.exe", case.exception, where)
                        expected = ((case.status, None, None) if verdict > 0 or case.silent
                                    else (None, left, None) if verdict == 0
                                    else (None, None, left))
                        self.assertEqual((outcome.status, outcome.unhandled, outcome.resumed),
                                         expected)

    def test_instructions_newer_than_mips2_are_refused(self):
        # The 4Kc would run mul; the device does not let it pass.
        raw, pe = read_image(IMAGES[0x166])
        data = bytearray(raw)
        at = pe.get_offset_from_rva(pe.OPTIONAL_HEADER.AddressOfEntryPoint) + 4
        struct.pack_into("<I", data, at, 0x70421002)  # mul v0, v0, v0
        with tempfile.NamedTemporaryFile(suffix=".exe") as altered:
            altered.write(data)
            altered.flush()
            with self.assertRaisesRegex(AssertionError, "not a MIPS II instruction"):
                mips_device.run(altered.name, "x.dll")


if __name__ == "__main__":
    unittest.main()
