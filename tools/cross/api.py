"""The interpreter's API as its headers declare it, and the checks of the built modules.

  api.py def INCLUDE_DIR DLL           .def of the names INCLUDE_DIR declares PyAPI_FUNC/PyAPI_DATA
  api.py macho MODULE DEF              exports and imports of a Mach-O module, against DEF's names

A name counts as the interpreter's when any header declares it with PyAPI_FUNC or
PyAPI_DATA, whatever the #if around it: the compile under the target's pyconfig.h
already rejects what that platform's headers leave out.
"""

import re
import struct
import sys
from pathlib import Path

# One level of parentheses inside the macro's argument: PyAPI_FUNC(void (*)(int)).
DECL = re.compile(r"\bPyAPI_(FUNC|DATA)\s*\(((?:[^()]|\([^()]*\))*)\)([^;{]*)")
# A function's name: the first identifier before its parameter list (after attribute
# macros such as _Py_NO_RETURN).
FUNC_NAME = re.compile(r"(\w+)\s*\(")
# A data declarator's name: the first identifier after the '*', '(' and qualifiers of a
# pointer declarator; a parameter list right after it makes it a function after all.
DATA_NAME = re.compile(r"^(?:[\s*(]|\bconst\b|\bvolatile\b)*(\w+)\s*(\(?)")


def declarators(text):
    """The comma-separated declarators of one declaration (PyAPI_DATA(T) a, b;)."""
    parts, depth, start = [], 0, 0
    for i, c in enumerate(text):
        depth += (c == "(") - (c == ")")
        if c == "," and depth == 0:
            parts.append(text[start:i])
            start = i + 1
    return parts + [text[start:]]


def strip(text):
    """Header text without comments and preprocessor lines (macro definitions included)."""
    text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
    text = re.sub(r"//[^\n]*", "", text)
    text = re.sub(r"\\\n", " ", text)
    return "\n".join(line for line in text.splitlines() if not line.lstrip().startswith("#"))


def declared(include):
    """{name: 'FUNC' or 'DATA'} for every PyAPI declaration under the include folder."""
    names = {}
    for header in sorted(Path(include).rglob("*.h")):
        for kind, _, rest in DECL.findall(strip(header.read_text(errors="replace"))):
            for part in ([rest] if kind == "FUNC" else declarators(rest)):
                match = (FUNC_NAME.search(part) if kind == "FUNC" else DATA_NAME.match(part))
                if not match:
                    raise SystemExit(f"{header}: cannot read the name in PyAPI_{kind}(...){part[:60]}")
                names[match.group(1)] = "FUNC" if kind == "FUNC" or match.group(2) else "DATA"
    if len(names) < 500:
        raise SystemExit(f"{include}: only {len(names)} PyAPI declarations; not CPython's headers?")
    return names


def write_def(include, dll):
    print(f"LIBRARY {dll}\nEXPORTS")
    for name, kind in sorted(declared(include).items()):
        print(f"    {name}" + (" DATA" if kind == "DATA" else ""))


# Mach-O, 64-bit little-endian: what dyld reads of an image, its load commands, the
# export trie and the bind opcodes (the symbol table's library ordinals are not filled
# in by every linker).
MH_MAGIC_64, MH_DYLIB, MH_BUNDLE = 0xFEEDFACF, 6, 8
LC_LOAD_DYLIB, LC_LOAD_WEAK_DYLIB, LC_REEXPORT_DYLIB = 0xC, 0x80000018, 0x8000001F
LC_DYLD_INFO, LC_DYLD_INFO_ONLY, LC_DYLD_CHAINED_FIXUPS = 0x22, 0x80000022, 0x80000034
# Bind ordinals of a name looked up at load time in the process (flat, or the
# executable), that is in the interpreter.
FLAT_LOOKUP, MAIN_EXECUTABLE = -2, -1
# Symbols the linker defines in every image: its own header and the DSO handle.
IMAGE_SYMBOLS = {"__mh_dylib_header", "__mh_bundle_header", "___dso_handle"}
# The C library: libSystem, and libc++ where a toolchain links it as a library.
C_LIBRARIES = ("/usr/lib/libSystem.B.dylib", "/usr/lib/libc++.1.dylib")


def uleb(data, at):
    value = shift = 0
    while True:
        byte = data[at]
        at += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if byte < 0x80:
            return value, at


def cstring(data, at):
    end = data.index(b"\0", at)
    return data[at:end].decode(), end + 1


def exports(data, start, at=0, prefix=""):
    """The names in the export trie at `start`."""
    terminal, after = uleb(data, start + at)
    names = [prefix] if terminal else []
    at = after - start + terminal
    for _ in range(data[start + at]):
        edge, next_at = cstring(data, start + at + 1)
        child, next_at = uleb(data, next_at)
        names += exports(data, start, child, prefix + edge)
        at = next_at - start - 1
    return names


def binds(data, start, size):
    """[(name, library ordinal)] for every bind in one bind opcode stream."""
    result, ordinal, name, at = [], 0, None, start
    while at < start + size:
        opcode, imm = data[at] & 0xF0, data[at] & 0x0F
        at += 1
        if opcode == 0x10:                      # SET_DYLIB_ORDINAL_IMM
            ordinal = imm
        elif opcode == 0x20:                    # SET_DYLIB_ORDINAL_ULEB
            ordinal, at = uleb(data, at)
        elif opcode == 0x30:                    # SET_DYLIB_SPECIAL_IMM
            ordinal = imm - 16 if imm else 0
        elif opcode == 0x40:                    # SET_SYMBOL_TRAILING_FLAGS_IMM
            name, at = cstring(data, at)
        elif opcode in (0x60, 0x70, 0x80):      # SET_ADDEND_SLEB, SET_SEGMENT_AND_OFFSET_ULEB, ADD_ADDR_ULEB
            _, at = uleb(data, at)
        elif opcode in (0x90, 0xB0):            # DO_BIND, DO_BIND_ADD_ADDR_IMM_SCALED
            result.append((name, ordinal))
        elif opcode == 0xA0:                    # DO_BIND_ADD_ADDR_ULEB
            result.append((name, ordinal))
            _, at = uleb(data, at)
        elif opcode == 0xC0:                    # DO_BIND_ULEB_TIMES_SKIPPING_ULEB
            _, at = uleb(data, at)
            _, at = uleb(data, at)
            result.append((name, ordinal))
        elif opcode == 0xD0 and imm == 0:       # THREADED, SET_BIND_ORDINAL_TABLE_SIZE_ULEB
            _, at = uleb(data, at)
        # DONE (which also separates lazy binds), SET_TYPE_IMM, THREADED APPLY: no operand.
    return result


def macho(path):
    """(file type, dylibs in ordinal order, exported names, [(bound name, library ordinal)])."""
    data = Path(path).read_bytes()
    magic, _, _, filetype, ncmds, _, _, _ = struct.unpack_from("<8I", data, 0)
    if magic != MH_MAGIC_64:
        raise SystemExit(f"{path}: not a 64-bit little-endian Mach-O file")
    dylibs, info, offset = [], None, 32
    for _ in range(ncmds):
        cmd, size = struct.unpack_from("<2I", data, offset)
        if cmd in (LC_LOAD_DYLIB, LC_LOAD_WEAK_DYLIB, LC_REEXPORT_DYLIB):
            name_at = struct.unpack_from("<I", data, offset + 8)[0]
            dylibs.append(cstring(data, offset + name_at)[0])
        elif cmd in (LC_DYLD_INFO, LC_DYLD_INFO_ONLY):
            info = struct.unpack_from("<10I", data, offset + 8)
        elif cmd == LC_DYLD_CHAINED_FIXUPS:
            raise SystemExit(f"{path}: chained fixups, which this check does not read")
        offset += size
    if info is None:
        raise SystemExit(f"{path}: no dyld information")
    _, _, bind_off, bind_size, _, _, lazy_off, lazy_size, export_off, _ = info
    bound = binds(data, bind_off, bind_size) + binds(data, lazy_off, lazy_size)
    return filetype, dylibs, exports(data, export_off), bound


def check_macho(module, def_file):
    """Exported: exactly _PyInit_loss, besides the linker's image symbols. Bound: a name
    looked up in the process at load time must be the interpreter's declared API; every
    other name must come from the C library."""
    filetype, dylibs, exported, bound = macho(module)
    lines = Path(def_file).read_text().splitlines()
    api = {"_" + line.split()[0] for line in lines[lines.index("EXPORTS") + 1:]}
    faults = []
    if filetype not in (MH_BUNDLE, MH_DYLIB):
        faults.append(f"file type {filetype}, not a loadable bundle or library")
    ours = sorted(set(exported) - IMAGE_SYMBOLS)
    if ours != ["_PyInit_loss"]:
        faults.append(f"exports {ours}, not exactly ['_PyInit_loss']")
    for name, ordinal in bound:
        if ordinal in (FLAT_LOOKUP, MAIN_EXECUTABLE):
            if name not in api:
                faults.append(f"{name}: left to the interpreter, whose headers do not declare it")
        elif not 1 <= ordinal <= len(dylibs) or dylibs[ordinal - 1] not in C_LIBRARIES:
            library = dylibs[ordinal - 1] if 1 <= ordinal <= len(dylibs) else f"ordinal {ordinal}"
            faults.append(f"{name}: from {library}, not the interpreter or the C library")
    if faults:
        raise SystemExit(f"{module}:\n  " + "\n  ".join(faults))
    names = {name for name, _ in bound}
    from_python = {name for name, ordinal in bound if ordinal in (FLAT_LOOKUP, MAIN_EXECUTABLE)}
    print(f"{Path(module).name}: exports _PyInit_loss; {len(from_python)} names from the interpreter, "
          f"{len(names - from_python)} from the C library")


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "def":
        write_def(sys.argv[2], sys.argv[3])
    elif len(sys.argv) == 4 and sys.argv[1] == "macho":
        check_macho(sys.argv[2], sys.argv[3])
    else:
        raise SystemExit(__doc__)
