"""What the version record of every comenrol.exe must hold, for the suites
that read it back (desktop Windows under Wine, Windows CE with pefile)."""

# The fixed part, in file order, under pefile's field names.
FIXED_FIELDS = [
    ("Signature", 0xFEEF04BD),
    ("StrucVersion", 0x00010000),
    ("FileVersionMS", 0x00010000),
    ("FileVersionLS", 0x000604B0),
    ("ProductVersionMS", 0x00010000),
    ("ProductVersionLS", 0x00000001),
    ("FileFlagsMask", 0x3F),
    ("FileFlags", 0),
    ("FileOS", 0x00040004),
    ("FileType", 1),
    ("FileSubtype", 0),
    ("FileDateMS", 0),
    ("FileDateLS", 0),
]

# The one string table, "000004b0", key by key in order; empty values stay.
STRINGS = [
    ("Comments", "Syntax: comenrlo DLLNAME [-u] [-s]"),
    ("CompanyName", "comenrol developers"),
    ("FileDescription", "In-proc COM server registration tool."),
    ("FileVersion", "1, 0, 6, 1200"),
    ("InternalName", "comenrol"),
    ("LegalCopyright", "Copyright (C) 2026 comenrol developers"),
    ("LegalTrademarks", ""),
    ("OriginalFilename", "comenrol.exe"),
    ("PrivateBuild", ""),
    ("ProductName", "comenrol"),
    ("ProductVersion", "1, 0, 0, 1"),
    ("SpecialBuild", ""),
]


def check_version_record(test, pe):
    """Asserts, in the unittest case `test`, that the image's only resource is
    the record above, named VS_VERSION_INFO, language 0x0419, as pefile reads it."""
    import pefile  # Debian's python3-pefile, asked for only by the suites that read images
    types = [entry for entry in pe.DIRECTORY_ENTRY_RESOURCE.entries
             if entry.id == pefile.RESOURCE_TYPE["RT_VERSION"]]
    test.assertEqual(len(pe.DIRECTORY_ENTRY_RESOURCE.entries), 1)
    test.assertEqual(len(types), 1)
    names = types[0].directory.entries
    test.assertEqual([str(entry.name) if entry.name else entry.id for entry in names],
                     ["VS_VERSION_INFO"])
    test.assertEqual([entry.id for entry in names[0].directory.entries], [0x0419])

    fixed = pe.VS_FIXEDFILEINFO[0]
    test.assertEqual({field: getattr(fixed, field) for field in dict(FIXED_FIELDS)},
                     dict(FIXED_FIELDS))

    string_tables = [table for info in pe.FileInfo[0] if info.Key == b"StringFileInfo"
                     for table in info.StringTable]
    test.assertEqual([table.LangID for table in string_tables], [b"000004b0"])
    test.assertEqual([(key.decode(), value.decode())
                      for key, value in string_tables[0].entries.items()], STRINGS)
    translations = [var.entry for info in pe.FileInfo[0] if info.Key == b"VarFileInfo"
                    for var in info.Var]
    test.assertEqual(translations, [{b"Translation": "0x0000 0x04b0"}])
