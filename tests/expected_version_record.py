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


def read_back(pe):
    """The version record of a pefile.PE, in the shape of RECORD: the
    resource tree (type, names, languages), the fixed part, the blocks, the
    string tables and the translations."""
    fixed = pe.VS_FIXEDFILEINFO[0]
    blocks = pe.FileInfo[0]
    return {
        "resources": [(kind.id, [(str(name.name) if name.name else name.id,
                                  [language.id for language in name.directory.entries])
                                 for name in kind.directory.entries])
                      for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries],
        "fixed": [(name, getattr(fixed, name)) for name, _ in FIXED_FIELDS],
        "blocks": [block.Key.decode() for block in blocks],
        "strings": [(table.LangID.decode(), [(key.decode(), value.decode())
                                             for key, value in table.entries.items()])
                    for block in blocks if block.Key == b"StringFileInfo"
                    for table in block.StringTable],
        "translations": [var.entry for block in blocks if block.Key == b"VarFileInfo"
                         for var in block.Var],
    }


# The version record alone among the resources, named, in language 0x0419.
RECORD = {"resources": [(16, [("VS_VERSION_INFO", [0x0419])])], "fixed": FIXED_FIELDS,
          "blocks": ["StringFileInfo", "VarFileInfo"], "strings": [("000004b0", STRINGS)],
          "translations": [{b"Translation": "0x0000 0x04b0"}]}
