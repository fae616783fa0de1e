"""Checks that the places naming the supported interpreters agree, and what the wheels workflow
would build.

    workflow_check.py                 the interpreter lists agree (tools/interpreters.txt, the
                                      classifiers, [tool.cibuildwheel], the workflows, the Makefile)
    workflow_check.py --tools DIR     that, and each cibuildwheel release the wheels workflow pins
                                      (installed into DIR on first use) lists exactly one
                                      identifier per interpreter on each of its targets
    workflow_check.py --wheel-tags    the cpXY and cpXYt tags a release has a wheel for, on
                                      each target

The workflows keep each list on one line as JSON (a YAML flow sequence), so that this script
reads them without a YAML parser; setup-python's list of versions is a literal block.
Standard library only, Python 3.8 on: the test suite imports it on every interpreter.
"""
import json
import os
import re
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CI = os.path.join(".github", "workflows", "ci.yml")
WHEELS = os.path.join(".github", "workflows", "wheels.yml")


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
    """(version, source, torch) for each line of tools/interpreters.txt."""
    rows = [line.split() for line in read(root, "tools/interpreters.txt").splitlines()
            if line.strip() and not line.startswith("#")]
    return [tuple(row) for row in rows]


def toml_section(text, name):
    """The lines of one [name] table of a TOML file, as text."""
    m = re.search(r"^\[%s\]\n(.*?)(?=^\[|\Z)" % re.escape(name), text, re.S | re.M)
    return m.group(1) if m else ""


def toml_value(section, key):
    m = re.search(r"^%s\s*=\s*(.+)$" % re.escape(key), section, re.M)
    return json.loads(m.group(1)) if m else None


def classifiers(root):
    return re.findall(r'"Programming Language :: Python :: (3\.\d+)"', read(root, "pyproject.toml"))


def cibuildwheel_table(root, platform=None):
    name = "tool.cibuildwheel" + ("." + platform if platform else "")
    return toml_section(read(root, "pyproject.toml"), name)


def json_line(root, path, key):
    """The value of `key: [...]`, a list on one line of a workflow; None where there is none."""
    m = re.search(r"^\s*%s:\s*(\[.*\])\s*$" % re.escape(key), read(root, path), re.M)
    return json.loads(m.group(1)) if m else None


def literal_block(root, path, key):
    """The lines of the literal block `key: |` in a workflow; None where there is none."""
    lines = read(root, path).splitlines()
    for i, line in enumerate(lines):
        if re.match(r"^\s*%s:\s*\|\s*$" % re.escape(key), line):
            indent = len(line) - len(line.lstrip())
            block = []
            for item in lines[i + 1:]:
                if item.strip() and len(item) - len(item.lstrip()) <= indent:
                    break
                if item.strip():
                    block.append(item.strip())
            return block
    return None


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
    build = toml_value(cibuildwheel_table(root), "build")
    differs("[tool.cibuildwheel] build", build and build.split(), [t + "-*" for t in tags])

    pins = json_line(root, WHEELS, "cibw") or []
    selected = [sel for pin in pins for sel in pin.get("build", "").split()]
    if len(set(selected)) != len(selected):
        out.append("%s: cibw builds an interpreter twice: %s" % (WHEELS, selected))
    differs("%s cibw builds" % WHEELS, sorted(selected), sorted(t + "-*" for t in tags))
    for pin in pins:
        if not re.match(r"^\d+\.\d+\.\d+$", pin.get("version", "")):
            out.append("%s: cibuildwheel %r is not pinned to one release" % (WHEELS, pin.get("version")))
    targets = json_line(root, WHEELS, "target") or []
    for platform in ("linux", "windows", "macos"):
        differs("%s %s archs" % (WHEELS, platform),
                sorted(t["archs"] for t in targets if t.get("platform") == platform),
                sorted(toml_value(cibuildwheel_table(root, platform), "archs") or []))

    # torch's last Intel macOS wheels (2.2.2) are below this package's floor (2.4): a wheel for
    # it could never be used with a released torch.
    macos = [t.get("archs") for t in targets if t.get("platform") == "macos"]
    macos += toml_value(cibuildwheel_table(root, "macos"), "archs") or []
    if set(macos) - {"arm64"}:
        out.append("%s, [tool.cibuildwheel.macos]: macOS archs %s, but torch has no Intel macOS "
                   "wheels at or above 2.4: arm64 only" % (WHEELS, sorted(set(macos))))

    differs("%s python" % CI, json_line(root, CI, "python"), minors)
    legs = json_line(root, CI, "leg") or []
    if not {defaults[0], defaults[-1]} <= {leg.get("python") for leg in legs}:
        out.append("%s: the installed legs %s lack the oldest or the newest interpreter (%s, %s)"
                   % (CI, [leg.get("python") for leg in legs], defaults[0], defaults[-1]))
    for leg in legs:
        if leg.get("python") not in torch:
            out.append("%s: leg %s is no supported interpreter" % (CI, leg.get("python")))
        elif leg.get("torch") != torch[leg["python"]]:
            out.append("%s: leg %s has torch %s, but tools/interpreters.txt gives %s"
                       % (CI, leg["python"], leg.get("torch"), torch[leg["python"]]))
    differs("%s setup-python for the cross builds" % CI, literal_block(root, CI, "python-version"),
            [minor(v) for v, source, _ in rows if source == "pyenv"])

    if not re.search(r"^INTERPRETERS\s*:=.*tools/interpreters\.txt", read(root, "Makefile"), re.M):
        out.append("Makefile: does not read its interpreters from tools/interpreters.txt")
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
    for target in json_line(root, WHEELS, "target"):
        platform, archs = target["platform"], target["archs"]
        got, line = [], []
        for pin in json_line(root, WHEELS, "cibw"):
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
    if argv[1:] == ["--wheel-tags"]:
        print(" ".join(wheel_tags(interpreters(ROOT))))
        return 0
    found = problems()
    for p in found:
        print("interpreters: " + p)
    if not found:
        print("interpreters: tools/interpreters.txt, the classifiers, [tool.cibuildwheel], "
              "the workflows and the Makefile agree")
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
