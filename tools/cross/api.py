"""The interpreter's API as its headers declare it, and the checks of the built modules.

  api.py def INCLUDE_DIR DLL           .def of the names INCLUDE_DIR declares PyAPI_FUNC/PyAPI_DATA
  api.py check MODULE DEF              exports and imports of a PE or Mach-O module, against
                                       DEF's DLL and names

A name counts as the interpreter's when any header declares it with PyAPI_FUNC or
PyAPI_DATA, whatever the #if around it: the compile under the target's pyconfig.h
already rejects what that platform's headers leave out.
"""

import re
import sys
from pathlib import Path

import lief

# zig leaves an empty LC_FUNCTION_STARTS, which LIEF warns about; its errors still show.
lief.logging.set_level(lief.logging.LEVEL.ERROR)

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


# Symbols the linker defines in every Mach-O image: its own header and the DSO handle.
IMAGE_SYMBOLS = {"__mh_dylib_header", "__mh_bundle_header", "___dso_handle"}
# Bind ordinals of a name looked up at load time in the process (flat, or the executable),
# that is in the interpreter: how a module linked with -undefined dynamic_lookup binds them.
FLAT_LOOKUP, MAIN_EXECUTABLE = -2, -1
# The C library: libSystem, and libc++ where a toolchain links it as a library.
C_LIBRARIES = ("/usr/lib/libSystem.B.dylib", "/usr/lib/libc++.1.dylib")
# The C runtime and system DLLs a Windows module may import besides pythonXY.dll.
WINDOWS_DLLS = re.compile(r"kernel32\.dll|msvcrt\.dll|ucrtbase\.dll|api-ms-win-crt-[a-z0-9-]+\.dll", re.I)


def check_pe(pe, dll):
    """Exported: exactly PyInit_loss. Imported: DLL and the C runtime only."""
    if (pe.header.machine != lief.PE.Header.MACHINE_TYPES.AMD64
            or pe.optional_header.magic != lief.PE.PE_TYPE.PE32_PLUS):
        return ["not a 64-bit x86 PE image"], None
    faults = []
    exported = [entry.name for entry in pe.get_export().entries] if pe.has_exports else []
    if exported != ["PyInit_loss"]:
        faults.append(f"exports {exported}, not exactly ['PyInit_loss']")
    imported = [library.name for library in [*pe.imports, *pe.delay_imports]]
    others = [name for name in imported if name.lower() != dll.lower()]
    if len(others) == len(imported) or not all(map(WINDOWS_DLLS.fullmatch, others)):
        faults.append(f"imports {imported}: {dll} and the C runtime only")
    return faults, "exports PyInit_loss; imports " + " ".join(imported)


def check_macho(macho, api):
    """Exported: exactly _PyInit_loss, besides the linker's image symbols. Bound: a name
    looked up in the process at load time must be the interpreter's declared API; every
    other name must come from the C library."""
    if macho.header.magic != lief.MachO.MACHO_TYPES.MAGIC_64:
        return ["not a 64-bit little-endian Mach-O file"], None
    faults = []
    if macho.header.file_type not in (lief.MachO.Header.FILE_TYPE.BUNDLE, lief.MachO.Header.FILE_TYPE.DYLIB):
        faults.append(f"file type {macho.header.file_type.name}, not a loadable bundle or library")
    ours = sorted({symbol.name for symbol in macho.symbols if symbol.has_export_info} - IMAGE_SYMBOLS)
    if ours != ["_PyInit_loss"]:
        faults.append(f"exports {ours}, not exactly ['_PyInit_loss']")
    from_python, from_c = set(), set()
    for bind in macho.bindings:
        # A weak bind names no library: dyld coalesces the image's own definition by name.
        if getattr(bind, "binding_class", None) == lief.MachO.DyldBindingInfo.CLASS.WEAK:
            continue
        name = bind.symbol.name
        if bind.library_ordinal in (FLAT_LOOKUP, MAIN_EXECUTABLE):
            from_python.add(name)
            if name[1:] not in api:
                faults.append(f"{name}: left to the interpreter, whose headers do not declare it")
        elif bind.has_library and bind.library.name in C_LIBRARIES:
            from_c.add(name)
        else:
            library = bind.library.name if bind.has_library else f"ordinal {bind.library_ordinal}"
            faults.append(f"{name}: from {library}, not the interpreter or the C library")
    return faults, f"exports _PyInit_loss; {len(from_python)} names from the interpreter, {len(from_c)} from the C library"


def check(module, def_file):
    """A Windows or macOS module against the DLL and the names of the interpreter's DEF."""
    lines = Path(def_file).read_text().splitlines()
    dll, api = lines[0].split()[1], {line.split()[0] for line in lines[lines.index("EXPORTS") + 1:]}
    binary = lief.parse(module)
    if isinstance(binary, lief.PE.Binary):
        faults, summary = check_pe(binary, dll)
    elif isinstance(binary, lief.MachO.Binary):
        faults, summary = check_macho(binary, api)
    else:
        faults, summary = ["not a PE or Mach-O image"], None
    if faults:
        raise SystemExit(f"{module}:\n  " + "\n  ".join(faults))
    print(f"{Path(module).name}: {summary}")


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "def":
        write_def(sys.argv[2], sys.argv[3])
    elif len(sys.argv) == 4 and sys.argv[1] == "check":
        check(sys.argv[2], sys.argv[3])
    else:
        raise SystemExit(__doc__)
