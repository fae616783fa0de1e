"""Fails on a compiler-specific pragma that no test of its compiler encloses.

    pragma_check.py [PATH...]     files or folders (default: src/); C and C++ sources and headers

A compiler warns about another compiler's pragma (MSVC: C4068 on "#pragma GCC"; GCC with -Wall:
-Wunknown-pragmas on "#pragma clang" and "#pragma warning"), and the builds treat warnings as
errors, so each such pragma must sit inside a conditional branch that tests for its compiler:
"#pragma GCC" (and _Pragma("GCC ...")) inside a test of __GNUC__ or __clang__, "#pragma clang"
inside a test of __clang__, any other pragma (MSVC's "warning", "comment", ... and __pragma)
inside a test of _MSC_VER. "#pragma once", "pack", "push_macro", "pop_macro" and "STDC" are
understood everywhere. A branch tests a compiler where its condition names the macro without
negating it, in every alternative of a top-level "||"; "#else" and "#ifndef" test none.
Standard library only, Python 3.8 on: the test suite imports it on every interpreter.
"""
import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SUFFIXES = (".h", ".hpp", ".hh", ".c", ".cc", ".cpp", ".cxx")
PORTABLE = {"once", "pack", "push_macro", "pop_macro", "STDC"}
GUARDS = {"GCC": ("__GNUC__", "__clang__"), "clang": ("__clang__",)}
MSVC = ("_MSC_VER",)

DIRECTIVE = re.compile(r"^\s*#\s*(\w+)\s*(.*)$")
OPERATOR = re.compile(r'\b_Pragma\s*\(\s*"\s*(\w+)|\b__pragma\s*\(')


def guards(name):
    """The macros of which one must be tested for the pragma `name`; () where none need be."""
    if name in PORTABLE:
        return ()
    return GUARDS.get(name, MSVC)


def tests(condition, macros):
    """Whether the branch condition holds only where one of `macros` is defined."""
    if condition is None:
        return False
    for alternative in condition.split("||"):
        positive = False
        for macro in macros:
            for m in re.finditer(r"\b%s\b" % re.escape(macro), alternative):
                before = alternative[:m.start()]
                if not re.search(r"!\s*(defined\s*\(?\s*)?$", before):
                    positive = True
        if not positive:
            return False
    return True


def logical_lines(text):
    """(line number, text) with comments blanked and backslash continuations joined."""
    text = re.sub(r"/\*.*?\*/", lambda m: re.sub(r"[^\n]", " ", m.group(0)), text, flags=re.S)
    out, start, pending = [], 0, ""
    for number, line in enumerate(text.splitlines(), 1):
        line = re.sub(r"//.*$", "", line)
        if not pending:
            start = number
        if line.endswith("\\"):
            pending += line[:-1] + " "
            continue
        out.append((start, pending + line))
        pending = ""
    if pending:
        out.append((start, pending))
    return out


def check_text(text, path="<text>"):
    """One line for each unguarded pragma of a file's text; empty where there is none."""
    branches = []   # the condition of the branch each open conditional is in; None: tests nothing
    found = []

    def report(number, name, macros):
        if not any(tests(c, macros) for c in branches):
            found.append("%s:%d: pragma %s outside a test of %s"
                         % (path, number, name, " or ".join(macros)))

    for number, line in logical_lines(text):
        m = DIRECTIVE.match(line)
        if m:
            word, rest = m.group(1), m.group(2).strip()
            if word == "if":
                branches.append(rest)
            elif word == "ifdef":
                branches.append("defined(%s)" % rest)
            elif word == "ifndef":
                branches.append(None)
            elif word in ("elif", "elifdef") and branches:
                branches[-1] = rest if word == "elif" else "defined(%s)" % rest
            elif word in ("else", "elifndef") and branches:
                branches[-1] = None
            elif word == "endif" and branches:
                branches.pop()
            elif word == "pragma":
                name = (rest.split() or [""])[0].split("(")[0]
                macros = guards(name)
                if macros:
                    report(number, name, macros)
            if word != "define":
                continue
        for op in OPERATOR.finditer(line):
            name = op.group(1) or "__pragma"
            macros = guards(name) if op.group(1) else MSVC
            if macros:
                report(number, name, macros)
    return found


def sources(paths):
    for path in paths:
        if os.path.isfile(path):
            yield path
        for folder, dirs, files in os.walk(path):
            dirs.sort()
            for name in sorted(files):
                if name.endswith(SUFFIXES):
                    yield os.path.join(folder, name)


def main(argv):
    if any(a.startswith("-") for a in argv[1:]):
        sys.exit(__doc__)
    paths = argv[1:] or [os.path.join(ROOT, "src")]
    found, count = [], 0
    for path in sources(paths):
        count += 1
        with open(path, encoding="utf-8") as f:
            found += check_text(f.read(), os.path.relpath(path))
    for line in found:
        print(line)
    if not count:
        print("pragmas: no sources under %s" % " ".join(paths))
        return 1
    if not found:
        print("pragmas: every compiler-specific pragma in %d files sits inside a test of its compiler"
              % count)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
