"""Checks that the places naming the supported interpreters agree, and what the wheels workflow
would build.

    workflow_check.py                 the interpreter lists agree (tools/interpreters.txt, the
                                      classifiers, [tool.cibuildwheel], the workflows), and no
                                      task runner names a version of its own
    workflow_check.py --tools DIR     that, and each cibuildwheel release the wheels workflow pins
                                      (installed into DIR on first use) lists exactly one
                                      identifier per interpreter on each of its targets
"""
import os
import re
import subprocess
import sys

import yaml

try:
    import tomllib
except ImportError:  # before 3.11
    import tomli as tomllib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CI = os.path.join(".github", "workflows", "ci.yml")
WHEELS = os.path.join(".github", "workflows", "wheels.yml")
# What runs the tasks: each takes its interpreters and torch from the list alone.
RUNNERS = ["Makefile", "noxfile.py", os.path.join(".ci", "run")]


def read(root, path):
    with open(os.path.join(root, path), encoding="utf-8") as f:
        return f.read()


def minor(version):
    return ".".join(version.split(".")[:2])


def cp(version):
    """3.10.13 -> cp310"""
    return "cp" + minor(version).replace(".", "")


# Wheels for the free-threaded build of each interpreter from 3.14 on (PEP 779 made it supported
# there; cibuildwheel builds it by default): cp314t beside cp314, and so on. Those built here
# are rows of their own in tools/interpreters.txt ("3.14t").
FREE_THREADED_FROM = (3, 14)


def free_threaded(version):
    return version.endswith("t")


def wheel_tags(rows):
    """The cpXY and cpXYt tags the wheels are built for, in the order of the list."""
    tags = []
    for v, _, _ in rows:
        if free_threaded(v):
            continue
        tags.append(cp(v))
        if tuple(int(x) for x in minor(v).split(".")) >= FREE_THREADED_FROM:
            tags.append(cp(v) + "t")
    return tags


def interpreters(root):
    """(version, source, newest torch) for each line of tools/interpreters.txt."""
    rows = [line.split() for line in read(root, "tools/interpreters.txt").splitlines()
            if line.strip() and not line.startswith("#")]
    return [tuple(row[:3]) for row in rows]


def pyproject(root):
    return tomllib.loads(read(root, "pyproject.toml"))


def classifiers(root):
    prefix = "Programming Language :: Python :: "
    return [c[len(prefix):] for c in pyproject(root)["project"]["classifiers"]
            if re.match(re.escape(prefix) + r"3\.\d+$", c)]


def cibuildwheel_table(root, platform=None):
    table = pyproject(root)["tool"]["cibuildwheel"]
    return table.get(platform, {}) if platform else table


def values(node, key):
    """Every value of `key` anywhere in a parsed workflow, in document order."""
    if isinstance(node, dict):
        for k, v in node.items():
            if k == key:
                yield v
            yield from values(v, key)
    elif isinstance(node, list):
        for item in node:
            yield from values(item, key)


def workflow_value(root, path, key):
    """The first value of `key` in a workflow; None where there is none."""
    return next(values(yaml.safe_load(read(root, path)), key), None)


def setup_python_block(root, path):
    """The versions setup-python is given as a block of lines; None where there is none."""
    for v in values(yaml.safe_load(read(root, path)), "python-version"):
        if isinstance(v, str) and "\n" in v.strip():
            return v.split()
    return None


def named_elsewhere(root, rows):
    """The versions and torch releases of the list that a task runner spells out itself."""
    words = {v for v, _, _ in rows} | {t for _, _, t in rows}
    with open(os.path.join(root, "tools", "interpreters.txt"), encoding="utf-8") as f:
        words |= {line.split()[3] for line in f if line.strip() and not line.startswith("#")}
    out = []
    for path in RUNNERS:
        if not os.path.exists(os.path.join(root, path)):
            continue
        found = sorted(w for w in words
                       if re.search(r"(?<![\w.])%s(?![\w.])" % re.escape(w), read(root, path)))
        if found:
            out.append("%s names %s itself: only tools/interpreters.txt names versions" % (path, ", ".join(found)))
    return out


def problems(root=ROOT):
    """What disagrees with tools/interpreters.txt, one line each; empty where all agree."""
    rows = interpreters(root)
    minors = [minor(v) for v, _, _ in rows]
    defaults = [m for m in minors if not free_threaded(m)]
    torch = {minor(v): t for v, _, t in rows}
    tags = wheel_tags(rows)
    out = []

    def differs(where, got, want):
        if got != want:
            out.append("%s: %s, but tools/interpreters.txt gives %s" % (where, got, want))

    for m in minors:
        if free_threaded(m) and cp(m) not in tags:
            out.append("tools/interpreters.txt: %s is free-threaded but no wheel is built for it "
                       "(free-threaded wheels from %d.%d on)" % ((m,) + FREE_THREADED_FROM))
    differs("pyproject.toml classifiers", classifiers(root), defaults)
    build = cibuildwheel_table(root).get("build")
    differs("[tool.cibuildwheel] build", build and build.split(), [t + "-*" for t in tags])

    pins = workflow_value(root, WHEELS, "cibw") or []
    selected = [sel for pin in pins for sel in pin.get("build", "").split()]
    if len(set(selected)) != len(selected):
        out.append("%s: cibw builds an interpreter twice: %s" % (WHEELS, selected))
    differs("%s cibw builds" % WHEELS, sorted(selected), sorted(t + "-*" for t in tags))
    for pin in pins:
        if not re.match(r"^\d+\.\d+\.\d+$", pin.get("version", "")):
            out.append("%s: cibuildwheel %r is not pinned to one release" % (WHEELS, pin.get("version")))
    targets = workflow_value(root, WHEELS, "target") or []
    for platform in ("linux", "windows", "macos"):
        differs("%s %s archs" % (WHEELS, platform),
                sorted(t["archs"] for t in targets if t.get("platform") == platform),
                sorted(cibuildwheel_table(root, platform).get("archs", [])))

    # torch's last Intel macOS wheels (2.2.2) are below this package's floor (2.4): a wheel for
    # it could never be used with a released torch.
    macos = [t.get("archs") for t in targets if t.get("platform") == "macos"]
    macos += cibuildwheel_table(root, "macos").get("archs", [])
    if set(macos) - {"arm64"}:
        out.append("%s, [tool.cibuildwheel.macos]: macOS archs %s, but torch has no Intel macOS "
                   "wheels at or above 2.4: arm64 only" % (WHEELS, sorted(set(macos))))

    differs("%s python" % CI, workflow_value(root, CI, "python"), minors)
    legs = workflow_value(root, CI, "leg") or []
    if not {defaults[0], defaults[-1]} <= {leg.get("python") for leg in legs}:
        out.append("%s: the installed legs %s lack the oldest or the newest interpreter (%s, %s)"
                   % (CI, [leg.get("python") for leg in legs], defaults[0], defaults[-1]))
    for leg in legs:
        if leg.get("python") not in torch:
            out.append("%s: leg %s is no supported interpreter" % (CI, leg.get("python")))
        elif leg.get("torch") != torch[leg["python"]]:
            out.append("%s: leg %s has torch %s, but tools/interpreters.txt gives %s"
                       % (CI, leg["python"], leg.get("torch"), torch[leg["python"]]))
    differs("%s setup-python for the cross builds" % CI, setup_python_block(root, CI),
            [minor(v) for v, source, _ in rows if source == "pyenv"])

    out += named_elsewhere(root, rows)
    return out


def platform_tag(platform, archs):
    if platform == "linux":
        return "manylinux_" + archs
    if platform == "macos":
        return "macosx_" + archs
    return "win_" + archs.lower()


def cibuildwheel(tools, version):
    """The cibuildwheel command of release `version`, installed into tools/ where missing."""
    venv = os.path.join(tools, "cibuildwheel-" + version)
    exe = os.path.join(venv, "bin", "cibuildwheel")
    if not os.path.exists(exe):
        print("installing cibuildwheel %s into %s" % (version, venv), flush=True)
        subprocess.check_call([sys.executable, "-m", "venv", venv])
        subprocess.check_call([os.path.join(venv, "bin", "python"), "-m", "pip", "-q",
                               "--disable-pip-version-check", "install", "cibuildwheel==" + version])
    return exe


def identifiers(tools, root=ROOT):
    """Each target's identifiers, from each pinned release with its build selector: exactly
    one per interpreter, nothing more. Prints one line per target; returns the problems."""
    want_cps = wheel_tags(interpreters(root))
    # The caller's own CIBW_ settings must not change what the workflow would build.
    env = {k: v for k, v in os.environ.items() if not k.startswith("CIBW_")}
    out = []
    for target in workflow_value(root, WHEELS, "target"):
        platform, archs = target["platform"], target["archs"]
        got, line = [], []
        for pin in workflow_value(root, WHEELS, "cibw"):
            proc = subprocess.run([cibuildwheel(tools, pin["version"]), "--print-build-identifiers",
                                   "--platform", platform, "--archs", archs],
                                  cwd=root, env=dict(env, CIBW_BUILD=pin["build"]),
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)
            if proc.returncode:
                out.append("cibuildwheel %s, %s %s: %s" % (pin["version"], platform, archs, proc.stdout.strip()))
                continue
            ids = proc.stdout.split()
            got += ids
            line.append("%s: %s" % (pin["version"], " ".join(i.split("-")[0] for i in ids)))
        want = [c + "-" + platform_tag(platform, archs) for c in want_cps]
        if sorted(got) != sorted(want):
            out.append("%s %s: cibuildwheel would build %s, not %s" % (platform, archs, sorted(got), want))
        print("%-8s %-8s %d identifiers  (%s)" % (platform, archs, len(got), "; ".join(line)))
    return out


def main(argv):
    found = problems()
    for p in found:
        print("interpreters: " + p)
    if not found:
        print("interpreters: tools/interpreters.txt, the classifiers, [tool.cibuildwheel], "
              "the workflows and the task runners agree")
    if len(argv) == 3 and argv[1] == "--tools":
        failed = identifiers(argv[2])
        for p in failed:
            print("identifiers: " + p)
        found += failed
    elif len(argv) != 1:
        sys.exit(__doc__)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
