"""The release's refusal of a tag whose version, changelog or "Unreleased" section disagree, and
the weaker rules that hold on main, where the next version may still be unreleased."""
import datetime
import os
import subprocess
import sys

import pytest

TOOLS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ROOT = os.path.dirname(TOOLS)
sys.path.insert(0, TOOLS)
import release_check  # noqa: E402

TODAY = datetime.date(2026, 12, 9)

RELEASED = """# Changelog

Text before the sections.

## Unreleased

## 0.2.0 — 2026-12-09

- Two.

## 0.1.0 - 2026-11-01

- One.
"""


def check(text, version, tag=None):
    return release_check.problems(text, version, tag, today=TODAY)


def test_a_release_passes_and_gives_its_notes():
    assert check(RELEASED, "0.2.0", "v0.2.0") == ([], "- Two.")
    # The same without the empty "Unreleased" heading.
    assert check(RELEASED.replace("## Unreleased\n", ""), "0.2.0", "v0.2.0") == ([], "- Two.")


# (changelog, version, tag, what the report must say)
REFUSED = {
    "tag is not the version": (RELEASED, "0.2.0", "v0.2.1", "tag v0.2.1"),
    "tag without v": (RELEASED, "0.2.0", "0.2.0", "tag 0.2.0"),
    "version has no section": (RELEASED, "0.3.0", "v0.3.0", "no dated section for 0.3.0"),
    "version's section not dated": (RELEASED.replace("0.2.0 — 2026-12-09", "0.2.0"), "0.2.0", "v0.2.0",
                                    "neither"),
    "version's section not the newest": (RELEASED, "0.1.0", "v0.1.0", "older than"),
    "Unreleased holds entries": (RELEASED.replace("## Unreleased\n", "## Unreleased\n\n- Three.\n"),
                                 "0.2.0", "v0.2.0", "still holds entries"),
    "dated in the future": (RELEASED.replace("2026-12-09", "2027-01-05"), "0.2.0", "v0.2.0", "future"),
    "no such date": (RELEASED.replace("2026-12-09", "2026-02-30"), "0.2.0", "v0.2.0", "no such date"),
    "empty section": (RELEASED.replace("- Two.\n", ""), "0.2.0", "v0.2.0", "empty"),
    "sections out of order": (RELEASED.replace("0.1.0 - 2026-11-01", "0.3.0 - 2026-11-01"), "0.3.0", "v0.3.0",
                              "newest first"),
    "Unreleased below a release": (RELEASED.replace("## Unreleased\n\n", "") + "\n## Unreleased\n", "0.2.0",
                                   "v0.2.0", "not the first"),
}


@pytest.mark.parametrize("case", sorted(REFUSED))
def test_a_release_is_refused(case):
    text, version, tag, said = REFUSED[case]
    found, _ = check(text, version, tag)
    assert any(said in line for line in found), found


UNRELEASED = RELEASED.replace("## Unreleased\n", "## Unreleased\n\n- Three.\n")


@pytest.mark.parametrize("text, version", [
    (UNRELEASED, "0.3.0"),          # the next version, its changes still under "Unreleased"
    (UNRELEASED, "0.2.0"),          # released, not yet bumped
    ("# Changelog\n\n## Unreleased\n\n- First.\n", "0.1.0"),   # nothing published yet
])
def test_main_may_hold_unreleased_entries(text, version):
    assert check(text, version)[0] == []


@pytest.mark.parametrize("text, version, said", [
    (UNRELEASED, "0.1.0", "older than"),
    (UNRELEASED.replace("## 0.2.0 — 2026-12-09", "## 0.2.0 (soon)"), "0.3.0", "neither"),
    (UNRELEASED, "0.3.0rc1", "not of the form"),
])
def test_main_is_refused(text, version, said):
    found, _ = check(text, version)
    assert any(said in line for line in found), found


@pytest.mark.parametrize("args, rc", [([], 0), (["v0.0.0"], 1)])
def test_command_on_this_checkout(args, rc):
    proc = subprocess.run([sys.executable, os.path.join(TOOLS, "release_check.py")] + args,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)
    assert proc.returncode == rc, proc.stdout
