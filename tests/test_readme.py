"""The README's Python blocks run as they stand, and print what the README shows after them."""
import os
import re
import subprocess
import sys

import pytest

README = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "README.md")
NUMBER = re.compile(r"-?\d+\.\d+|-?\d+")


def blocks():
    """(python source, expected output or None) for each ```python block; an untagged block
    right after one is its output."""
    with open(README, encoding="utf-8") as f:
        found = re.findall(r"^```(\w*)\n(.*?)^```\n", f.read(), re.S | re.M)
    out = []
    for i, (lang, text) in enumerate(found):
        if lang == "python":
            after = found[i + 1] if i + 1 < len(found) else None
            out.append((text, after[1] if after and after[0] == "" else None))
    return out


def same_output(got, want):
    """Equal words, and numbers within what another CPU or torch release may move them."""
    g, w = got.split(), want.split()
    if len(g) != len(w):
        return False
    for a, b in zip(g, w):
        na, nb = NUMBER.fullmatch(a.rstrip(":")), NUMBER.fullmatch(b.rstrip(":"))
        if na and nb:
            if abs(float(na.group()) - float(nb.group())) > 0.02 + 0.05 * abs(float(nb.group())):
                return False
        elif a != b:
            return False
    return True


BLOCKS = blocks()
# The quick start and its output must be found, or the test would pass on nothing.
assert any(output for _, output in BLOCKS), "no python block with its output in README.md"


@pytest.mark.parametrize("code, output", BLOCKS, ids=["block%d" % i for i in range(len(BLOCKS))])
def test_readme_python_block_runs_as_shown(code, output):
    env = dict(os.environ)
    env.pop("PYTHONOPTIMIZE", None)
    proc = subprocess.run([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, env=env, timeout=300)
    assert proc.returncode == 0, proc.stderr
    if output is not None:
        assert same_output(proc.stdout, output), "printed:\n%s\nREADME shows:\n%s" % (proc.stdout, output)
