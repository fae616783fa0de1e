"""Prints the body of CHANGELOG.md's section for one version: the release notes of its tag.

    changelog_section.py VERSION [CHANGELOG.md]

A section starts at a "## VERSION" heading (a date may follow) and ends at the next "## "
heading. A version without a section, or with an empty one, fails: a release must say what
it brings.
"""
import re
import sys


def section(text, version):
    """The stripped body of the section for `version`; ValueError where there is none."""
    heading = re.compile(r"^## +%s(?![\w.+-])" % re.escape(version))
    body, inside, found = [], False, False
    for line in text.splitlines():
        if line.startswith("## "):
            if inside:
                break
            inside = found = bool(heading.match(line))
        elif inside:
            body.append(line)
    if not found:
        raise ValueError("no section for %s" % version)
    notes = "\n".join(body).strip()
    if not notes:
        raise ValueError("the section for %s is empty" % version)
    return notes


def main(argv):
    if len(argv) not in (2, 3):
        sys.exit(__doc__)
    path = argv[2] if len(argv) == 3 else "CHANGELOG.md"
    with open(path, encoding="utf-8") as f:
        text = f.read()
    try:
        print(section(text, argv[1]))
    except ValueError as e:
        sys.exit("%s: %s" % (path, e))


if __name__ == "__main__":
    main(sys.argv)
