"""Resources: the entries of a compiled .res file, laid out as the .rsrc
section's type/name/language tree."""

import struct
from typing import NamedTuple, Union

from .layout import ConversionError, align


class Resource(NamedTuple):
    kind: Union[int, str]  # the type, by number or name
    name: Union[int, str]
    language: int
    data: bytes


def read_res(path):
    """Reads a .res file into [Resource]."""
    with open(path, "rb") as stream:
        raw = stream.read()

    def read_id(offset):
        (first,) = struct.unpack_from("<H", raw, offset)
        if first == 0xFFFF:
            (number,) = struct.unpack_from("<H", raw, offset + 2)
            return number, offset + 4
        end = offset
        while struct.unpack_from("<H", raw, end)[0] != 0:
            end += 2
        return raw[offset:end].decode("utf-16-le"), end + 2

    resources = []
    offset = 0
    while offset < len(raw):
        if offset + 8 > len(raw):
            raise ConversionError(f"{path}: truncated resource header")
        data_size, header_size = struct.unpack_from("<II", raw, offset)
        kind, cursor = read_id(offset + 8)
        name, cursor = read_id(cursor)
        cursor = align(cursor, 4)
        _, _, language, _, _ = struct.unpack_from("<IHHII", raw, cursor)
        data_start = offset + header_size
        if data_start + data_size > len(raw):
            raise ConversionError(f"{path}: truncated resource data")
        if not (data_size == 0 and kind == 0 and name == 0):  # the leading empty entry
            resources.append(Resource(kind, name, language,
                                      raw[data_start:data_start + data_size]))
        offset = align(data_start + data_size, 4)
    return resources


def build_resource_section(resources, rva, timestamp):
    """The .rsrc contents: the type/name/language tree, data entries, strings, data."""
    tree = {}
    for kind, name, language, data in resources:
        languages = tree.setdefault(kind, {}).setdefault(name, {})
        if language in languages:
            raise ConversionError(f"resource {kind}/{name}/{language} given twice")
        languages[language] = data

    def ordered(keys):
        # Named entries first, in order of their names, then numbered ones.
        named = sorted((k for k in keys if isinstance(k, str)), key=lambda k: k.upper())
        numbered = sorted(k for k in keys if isinstance(k, int))
        return named + numbered

    # First pass: lay out directories, data entries, strings and data.
    directories = []  # (key path, ordered child keys)

    def walk(path, node):
        keys = ordered(node.keys())
        directories.append((path, keys))
        if len(path) < 2:
            for key in keys:
                walk(path + (key,), node[key])

    walk((), tree)
    directory_offset = {}
    offset = 0
    for path, keys in directories:
        directory_offset[path] = offset
        offset += 16 + 8 * len(keys)
    leaves = [(kind, name, language)
              for kind in ordered(tree) for name in ordered(tree[kind])
              for language in ordered(tree[kind][name])]
    entry_offset = {}
    for leaf in leaves:
        entry_offset[leaf] = offset
        offset += 16
    string_offset = {}
    for path, keys in directories:
        for key in keys:
            if isinstance(key, str) and key not in string_offset:
                string_offset[key] = offset
                offset += 2 + 2 * len(key)
    data_offset = {}
    for leaf in leaves:
        offset = align(offset, 8)
        data_offset[leaf] = offset
        kind, name, language = leaf
        offset += len(tree[kind][name][language])

    out = bytearray(offset)
    for path, keys in directories:
        named = sum(isinstance(k, str) for k in keys)
        base = directory_offset[path]
        struct.pack_into("<IIHHHH", out, base, 0, timestamp, 0, 0, named, len(keys) - named)
        for index, key in enumerate(keys):
            name_field = (0x80000000 | string_offset[key]) if isinstance(key, str) else key
            child = path + (key,)
            if len(child) < 3:
                target = 0x80000000 | directory_offset[child]
            else:
                target = entry_offset[child]
            struct.pack_into("<II", out, base + 16 + 8 * index, name_field, target)
    for leaf in leaves:
        kind, name, language = leaf
        data = tree[kind][name][language]
        struct.pack_into("<IIII", out, entry_offset[leaf], rva + data_offset[leaf], len(data),
                         0, 0)
        out[data_offset[leaf]:data_offset[leaf] + len(data)] = data
    for key, where in string_offset.items():
        encoded = key.encode("utf-16-le")
        struct.pack_into("<H", out, where, len(key))
        out[where + 2:where + 2 + len(encoded)] = encoded
    return bytes(out)
