"""Checks that the version in pyproject.toml and CHANGELOG.md agree, for a release tag or for main.

    release_check.py TAG     a release: TAG is "v" and the version; the changelog's newest section
                             is that version's, dated, not empty, and nothing is left under
                             "Unreleased"; prints that section, the release notes
    release_check.py         main: the changelog's sections are in order ("Unreleased" first,
                             then "## X.Y.Z — YYYY-MM-DD", newest first), and the version is the
                             newest dated one or the next one, still unreleased

Nothing has been published until a tag is pushed, so on main "Unreleased" may hold entries and
the version may have no section yet. Standard library only (tomli before 3.11).
"""
import datetime
import os
import re
import sys

try:
    import tomllib
except ImportError:  # before 3.11
    import tomli as tomllib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
UNRELEASED = "Unreleased"
# "## 0.1.0 — 2026-12-09": an em dash, or a plain hyphen, between the version and the date.
DATED = re.compile(r"^(\d+(?:\.\d+)*) +(?:—|-) +(\d{4}-\d{2}-\d{2})$")


def project_version(root=ROOT):
    with open(os.path.join(root, "pyproject.toml"), "rb") as f:
        return tomllib.load(f)["project"]["version"]


def key(version):
    return tuple(int(p) for p in version.split("."))


def sections(text):
    """(heading, body) of each "## " section, in order; bodies stripped."""
    out = []
    for line in text.splitlines():
        if line.startswith("## "):
            out.append([line[3:].strip(), []])
        elif out:
            out[-1][1].append(line)
    return [(heading, "\n".join(body).strip()) for heading, body in out]


def problems(text, version, tag=None, today=None):
    """What is wrong, one line each (empty where nothing is), and the notes of `version`'s
    section (None where it has none). With `tag`, the rules of a release; without, of main."""
    found, dated, unreleased, notes = [], [], None, None
    for i, (heading, body) in enumerate(sections(text)):
        if heading == UNRELEASED:
            if i:
                found.append('"## %s" is not the first section' % UNRELEASED)
            unreleased = body
            continue
        m = DATED.match(heading)
        if not m:
            found.append('"## %s" is neither "## %s" nor "## X.Y.Z — YYYY-MM-DD"' % (heading, UNRELEASED))
            continue
        try:
            date = datetime.date(*map(int, m.group(2).split("-")))
        except ValueError:
            found.append('"## %s": no such date' % heading)
            continue
        if not body:
            found.append('"## %s" is empty' % heading)
        if dated and key(m.group(1)) >= key(dated[-1][0]):
            found.append('"## %s" stands below %s: newest first' % (heading, dated[-1][0]))
        elif dated and date > dated[-1][1]:
            found.append('"## %s" is dated after the newer %s' % (heading, dated[-1][0]))
        dated.append((m.group(1), date))
        if m.group(1) == version:
            notes = body
    if not re.match(r"^\d+(\.\d+)*$", version):
        found.append("version %s is not of the form X.Y.Z" % version)
        return found, notes
    newest = dated[0][0] if dated else None
    if newest and key(version) < key(newest):
        found.append("version %s is older than the changelog's newest section, %s" % (version, newest))
    if tag is None:
        return found, notes
    if tag != "v" + version:
        found.append("tag %s, but pyproject.toml says version %s (tag v%s)" % (tag, version, version))
    if newest != version:
        found.append("the changelog has no dated section for %s at its top (## %s — YYYY-MM-DD)"
                     % (version, version))
    elif dated[0][1] > (today or datetime.date.today()) + datetime.timedelta(days=1):
        found.append("the section for %s is dated %s, in the future" % (version, dated[0][1]))
    if unreleased:
        found.append('"## %s" still holds entries: move them into the section for %s'
                     % (UNRELEASED, version))
    return found, notes


def main(argv):
    if len(argv) > 2 or any(a.startswith("-") for a in argv[1:]):
        sys.exit(__doc__)
    tag = argv[1] if len(argv) == 2 else None
    version = project_version()
    with open(os.path.join(ROOT, "CHANGELOG.md"), encoding="utf-8") as f:
        found, notes = problems(f.read(), version, tag)
    for line in found:
        print("release: " + line, file=sys.stderr)
    if found:
        return 1
    if tag:
        print(notes)
    else:
        print("release: version %s and CHANGELOG.md agree (%s)"
              % (version, "released" if notes is not None else "not yet released"))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
