"""The pages check themselves: the code they show runs and prints what they show, the figures
they quote are what the scripts print, and each troubleshooting row's call raises the message the
row shows. What a page asks to be checked it marks with an HTML comment, `<!-- check: ... -->`:
  runs                     the ```python block below runs (every block of the README runs);
  printed on CPU, torch V  the output block below is exact on that machine, close elsewhere;
  output of SCRIPT         the block below is what `python SCRIPT` prints;
  figures from SCRIPT      every decimal figure of the paragraph below is one SCRIPT prints;
  names for the calls      the block below makes the names the rows' calls use;
  each row's call          each row of the table below whose first cell is a call.
"""
import inspect
import os
import re
import sys
import types

import pytest

import loss
from helpers import child

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir)
PAGES = ("README.md", "docs/api.md", "docs/torch-compile.md", "examples/README.md")
NUMBER = re.compile(r"-?\d+\.\d+|-?\d+")
# A figure ends at a word's end, or at a full stop that no digit follows.
DECIMAL = re.compile(r"(?<![\w.])-?\d+\.\d+(?!\w|\.\d)")
FENCE = r"^```(\w*)\n(.*?)^```\n"
MARK = "<!-- check: %s -->\n"


def read(page):
    with open(os.path.join(ROOT, page), encoding="utf-8") as f:
        return f.read()


def cpu():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return "unknown"


def on_machine(label):
    """Whether this machine is the one a "printed on" label names."""
    import torch
    where, version = re.fullmatch(r"(.*), torch (\S+)", label).groups()
    return cpu().startswith(where) and torch.__version__ == version


def same_output(got, want, exact):
    """Equal words; numbers equal on the page's machine, elsewhere within what another CPU or
    torch release may move them."""
    g, w = got.split(), want.split()
    if exact or len(g) != len(w):
        return g == w
    for a, b in zip(g, w):
        na, nb = NUMBER.fullmatch(a.rstrip(":,")), NUMBER.fullmatch(b.rstrip(":,"))
        if na and nb:
            if abs(float(na.group()) - float(nb.group())) > 0.02 + 0.05 * abs(float(nb.group())):
                return False
        elif a != b:
            return False
    return True


def python_blocks(page):
    """(code, shown output or None, label of the output or None) of each block the page runs."""
    text = read(page)
    out = []
    for m in re.finditer(r"^(%s)?```python\n(.*?)^```\n" % re.escape(MARK % "runs"), text, re.S | re.M):
        if m.group(1) or page == "README.md":
            # Its output: the plain block right below, or the labelled one after a paragraph saying
            # where it was printed.
            shown = re.match(r"\s*(?:[^`\n][^\n]*\n)*?\s*<!-- check: printed on (.*?) -->\n```\n(.*?)^```\n"
                             r"|\s*()```\n(.*?)^```\n", text[m.end():], re.S | re.M)
            out.append((m.group(2),) + ((shown.group(2) or shown.group(4), shown.group(1)) if shown else (None, None)))
    return out


def marked(page, what):
    """(argument, text) of each `what` mark of a page: the text is the block right below it,
    to the next blank line, or the fenced block."""
    text = read(page)
    out = []
    for m in re.finditer(r"^<!-- check: %s ?(.*?) -->\n" % re.escape(what), text, re.M):
        rest = text[m.end():]
        fence = re.match(FENCE, rest, re.S | re.M)
        out.append((m.group(1), fence.group(2) if fence else rest.split("\n\n", 1)[0]))
    return out


def run(args, code=None):
    proc = child(*args, *([code] if code else []), cwd=ROOT)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


SCRIPTS = {}


def script_output(script):
    """What a cheap script prints, run once per session."""
    if script not in SCRIPTS:
        SCRIPTS[script] = run([script])
    return SCRIPTS[script]


BLOCKS = [(page,) + b for page in PAGES for b in python_blocks(page)]
# The quick start and its output must be found, or the test would pass on nothing.
assert any(output for page, _, output, _ in BLOCKS if page == "README.md"), "no python block with its output in README.md"


@pytest.mark.parametrize("page, code, output, label", BLOCKS,
                         ids=["%s-%d" % (b[0], i) for i, b in enumerate(BLOCKS)])
def test_python_block_runs_as_shown(page, code, output, label):
    got = run(["-c"], code)
    if output is not None:
        exact = label is not None and on_machine(label)
        assert same_output(got, output, exact), "printed:\n%s\n%s shows (%s):\n%s" % (
            got, page, "exactly, printed on " + label if exact else "within a tolerance", output)


OUTPUTS = [(page, script, shown) for page in PAGES for script, shown in marked(page, "output of")]
FIGURES = [(page, script, text) for page in PAGES for script, text in marked(page, "figures from")]


@pytest.mark.parametrize("page, script, shown", OUTPUTS, ids=["%s-%s" % o[:2] for o in OUTPUTS])
def test_script_output_is_as_shown(page, script, shown):
    got = script_output(script)
    # The line that names the machine decides whether the figures must be exact.
    machine = [line for line in shown.splitlines() if line.startswith("- machine:")]
    exact = bool(machine) and machine[0] in got.splitlines()
    if not exact:  # another machine, interpreter or torch: its line differs, the figures may move
        got, shown = (re.sub(r"(?m)^- machine:.*$", "", t) for t in (got, shown))
    assert same_output(got, shown, exact), "%s prints:\n%s\n%s shows:\n%s" % (script, got, page, shown)


def quoted(figure, printed):
    """A page's figure is one the script printed, rounded to the figure's places."""
    places = lambda s: len(s.split(".")[1])  # noqa: E731
    return any(abs(float(figure) - float(p)) <= 0.5 * 10 ** -places(figure) + 0.5 * 10 ** -places(p)
               for p in printed)


@pytest.mark.parametrize("page, script, text", FIGURES, ids=["%s-%d" % (f[0], i) for i, f in enumerate(FIGURES)])
def test_quoted_figures_are_the_scripts(page, script, text):
    printed = DECIMAL.findall(script_output(script))
    # Code spans are the reader's own arguments (`fix_sigma=32.0`), not figures.
    prose = re.sub(r"`[^`]*`", "", text).replace("\u2212", "-")
    figures = DECIMAL.findall(prose)
    assert figures, "a figures mark on %s without figures below it" % page
    missing = [f for f in figures if not quoted(f, printed)]
    assert not missing, "%s quotes figures %s prints nowhere: %s\n%s" % (page, script, missing, text)


# ---- troubleshooting: each row's call, and the message it gives

def cells(line):
    """The cells of a table row, splitting at the bars outside code spans."""
    out, cell, code = [], "", False
    for ch in line.strip()[1:-1]:
        if ch == "`":
            code = not code
        if ch == "|" and not code:
            out.append(cell.strip())
            cell = ""
        else:
            cell += ch
    return out + [cell.strip()]


def span(cell):
    found = re.search(r"`([^`]*)`", cell)
    return found.group(1) if found else None


def rows(page):
    """(call, what the page shows, what Python 3 would say or None) of each checked table."""
    out = []
    for _, table in marked(page, "each row's call"):
        lines = table.splitlines()
        head = cells(lines[0])
        py = head.index("Python 3 would say") if "Python 3 would say" in head else None
        for line in lines[2:]:
            c = cells(line)
            out.append((span(c[head.index("you call")]), span(c[head.index("you see")]),
                        span(c[py]) if py is not None else None))
    return out


def names(page):
    (_, setup), = marked(page, "names for the calls")
    ns = {}
    exec(setup, ns)
    return ns


def outcome(call, ns):
    """What the call raises as the interpreter prints it, or its value."""
    try:
        return eval(call, ns)
    except Exception as e:
        return "%s: %s" % (type(e).__name__, e) if str(e) else type(e).__name__


ROWS = [(page,) + r for page in PAGES for r in rows(page)]
assert len([r for r in ROWS if r[0] == "docs/api.md"]) >= 18, "the troubleshooting rows were not found"


@pytest.mark.parametrize("page, call, shown, python", ROWS, ids=["%d-%s" % (i, r[1]) for i, r in enumerate(ROWS)])
def test_troubleshooting_call_gives_what_the_row_shows(page, call, shown, python):
    if shown.startswith("AssertionError") and sys.flags.optimize:
        pytest.skip("-O removes the assertion")
    ns = names(page)
    got = outcome(call, ns)
    if isinstance(got, str):
        pattern = ".*".join(re.escape(part) for part in shown.split("\u2026"))
        assert re.fullmatch(pattern, got, re.S), "%s raises\n  %s\n%s shows\n  %s" % (call, got, page, shown)
    else:
        assert "%.*f" % (len(shown.split(".")[1]), got) == shown, "%s gives %s, %s shows %s" % (call, got, page, shown)
    if python:
        # Python's own message, from a plain function of the same signature.
        plain = {}
        for name in re.findall(r"loss\.(\w+)\(", call):
            fn = getattr(loss, name)
            exec("def %s%s:\n    pass" % (name, inspect.signature(fn)), plain)
        said = outcome(call, dict(ns, loss=types.SimpleNamespace(**plain)))
        assert said.split(": ", 1)[1].startswith(python), "Python 3 says %r, %s shows %r" % (said, page, python)
