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
