"""The check that every compiler-specific pragma in src/ sits inside a test of its compiler:
MSVC warns about GCC's pragmas (C4068) and GCC about clang's and MSVC's, and the builds turn
warnings into errors."""
import os
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TOOLS = os.path.join(ROOT, "tools")
if not os.path.isfile(os.path.join(TOOLS, "pragma_check.py")):
    pytest.skip("no checkout beside the tests", allow_module_level=True)
sys.path.insert(0, TOOLS)
import pragma_check  # noqa: E402


def test_sources_pass():
    assert pragma_check.main(["pragma_check.py", os.path.join(ROOT, "src")]) == 0


ACCEPTED = {
    "include guard": "#pragma once\n",
    "GCC's, under __GNUC__": "#if defined(__GNUC__)\n#pragma GCC diagnostic push\n#endif\n",
    "MSVC's in the #elif": ("#if defined(__GNUC__)\n#pragma GCC diagnostic pop\n"
                            "#elif defined(_MSC_VER)\n#pragma warning(pop)\n#endif\n"),
    "nested in a version test": ("#if PY_VERSION_HEX >= 0x030E0000\n#else\n#ifdef __clang__\n"
                                 "#pragma clang diagnostic push\n#endif\n#endif\n"),
    "version of the compiler": "#if __GNUC__ >= 8\n#pragma GCC diagnostic ignored \"-Wcast-function-type\"\n#endif\n",
    "both alternatives GCC-like": "#if defined(__GNUC__) || defined(__clang__)\n#pragma GCC diagnostic push\n#endif\n",
    "operator in a guarded macro": ('#if defined(__GNUC__)\n#define PUSH _Pragma("GCC diagnostic push")\n'
                                    "#endif\n"),
    "commented out": "// #pragma GCC diagnostic push\n/* #pragma warning(disable : 4996)\n*/\n",
}

# (source, the line the report must name)
REJECTED = {
    "unguarded GCC": ("#pragma GCC diagnostic push\n", 1),
    "unguarded MSVC": ("int x;\n#pragma warning(disable : 4996)\n", 2),
    "after the guard closed": ("#if defined(__GNUC__)\n#endif\n#pragma GCC diagnostic pop\n", 3),
    "in the #else of a GCC test": ("#if defined(__GNUC__)\n#else\n#pragma GCC diagnostic push\n#endif\n", 3),
    "negated test": ("#if !defined(_MSC_VER)\n#pragma GCC diagnostic push\n#endif\n", 2),
    "#ifndef": ("#ifndef __GNUC__\n#pragma GCC diagnostic push\n#endif\n", 2),
    "clang's under __GNUC__ (GCC warns)": ("#if defined(__GNUC__)\n#pragma clang diagnostic push\n#endif\n", 2),
    "MSVC's under __GNUC__": ("#ifdef __GNUC__\n#pragma warning(push)\n#endif\n", 2),
    "one alternative another compiler": ("#if defined(__GNUC__) || defined(_MSC_VER)\n"
                                         "#pragma GCC diagnostic push\n#endif\n", 2),
    "_Pragma operator": ('#define PUSH _Pragma("GCC diagnostic push")\n', 1),
    "__pragma keyword": ("#define OFF __pragma(warning(disable : 4996))\n", 1),
    "continued directive": ("#pragma GCC \\\n  diagnostic push\n", 1),
}


@pytest.mark.parametrize("case", sorted(ACCEPTED))
def test_accepts(case):
    assert pragma_check.check_text(ACCEPTED[case]) == []


@pytest.mark.parametrize("case", sorted(REJECTED))
def test_rejects(case):
    text, line = REJECTED[case]
    found = pragma_check.check_text(text, "x.cpp")
    assert len(found) == 1 and found[0].startswith("x.cpp:%d: " % line), found


def test_fails_on_a_file(tmp_path, capsys):
    src = tmp_path / "src"
    src.mkdir()
    (src / "ok.h").write_text("#pragma once\n")
    (src / "bad.cpp").write_text("#include \"ok.h\"\n#pragma GCC diagnostic push\n")
    assert pragma_check.main(["pragma_check.py", str(src)]) == 1
    assert "bad.cpp:2: pragma GCC outside a test of __GNUC__ or __clang__" in capsys.readouterr().out
