"""The release plumbing: every place that names the supported interpreters agrees with
tools/interpreters.txt and no task runner names a version of its own, the changelog agrees with
the project's version, and the contents check takes each platform's wheel."""
import io
import os
import re
import shutil
import sys
import tarfile
import zipfile

import pytest

TOOLS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ROOT = os.path.dirname(TOOLS)
sys.path.insert(0, TOOLS)
import dist_check  # noqa: E402
import release_check  # noqa: E402
import workflow_check  # noqa: E402

FILES = ["tools/interpreters.txt", "pyproject.toml", workflow_check.CI, workflow_check.WHEELS] + workflow_check.RUNNERS


def test_interpreter_lists_agree():
    assert workflow_check.problems(ROOT) == []


def edit(path, old, new):
    """Replaces the one occurrence of the pattern `old` in a copied file."""
    with open(path, encoding="utf-8") as f:
        text = f.read()
    text, n = re.subn(old, new, text, flags=re.M)
    assert n == 1, (path, old)
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


# An interpreter added in one place alone, or one place changed alone: (file, pattern, new text,
# what the report must name).
ONE_PLACE = {
    "list file": ("tools/interpreters.txt", r"\Z", "3.16 sid 2.15.0 2.15.0 -\n", "classifiers"),
    "classifier": ("pyproject.toml", r'^(    "Programming Language :: Python :: 3.15",)$',
                   r'\1\n    "Programming Language :: Python :: 3.16",', "classifiers"),
    "cibuildwheel build": ("pyproject.toml", r'^(build = ".*cp315t-\*)"', r'\1 cp316-*"', "[tool.cibuildwheel] build"),
    "wheels workflow": (workflow_check.WHEELS, r'cp315t-\*"\}\]', 'cp315t-* cp316-*"}]', "cibw builds"),
    "cibuildwheel twice": (workflow_check.WHEELS, r'"build": "cp38-\*"', '"build": "cp38-* cp39-*"', "twice"),
    "cibuildwheel unpinned": (workflow_check.WHEELS, r'"version": "3\.4\.1"', '"version": "3.4"', "pinned"),
    "wheels target": (workflow_check.WHEELS, r', \{"os": "ubuntu-24.04-arm"[^}]*\}', "", "linux archs"),
    "CI wheel legs": (workflow_check.CI, r'"3\.14t"\]$', '"3.14t", "3.16"]', "python"),
    "CI installed legs": (workflow_check.CI, r'\{"python": "3\.15", "torch": "2\.15\.0"\}',
                          '{"python": "3.14", "torch": "2.15.0"}', "installed legs"),
    "CI installed torch": (workflow_check.CI, r'"torch": "2\.4\.1"', '"torch": "2.5.0"', "2.4.1"),
    "CI cross headers": (workflow_check.CI, r"^( +)3\.13$", r"\g<1>3.13\n\g<1>3.16", "cross builds"),
    "free-threaded wheel": ("pyproject.toml", r'^(build = ".*) cp315t-\*"', r'\1"', "[tool.cibuildwheel] build"),
    "free-threaded workflow": (workflow_check.WHEELS, r' cp314t-\*', "", "cibw builds"),
    "free-threaded row without wheels": ("tools/interpreters.txt", r"\Z", "3.13t cpython 2.15.0 2.15.0 -\n", "3.13t"),
    "a version in the CI script": (".ci/run", r"^make ci-wheels$", "make test-wheel PYVER=3.8.18", ".ci/run"),
    "a torch in the noxfile": ("noxfile.py", r'^(CPU_INDEX = .*)$', r'\1\nTORCH_3_11 = "2.13.0"', "noxfile.py"),
}


@pytest.fixture
def copy(tmp_path):
    for name in FILES:
        os.makedirs(str(tmp_path / os.path.dirname(name)), exist_ok=True)
        shutil.copy(os.path.join(ROOT, name), str(tmp_path / name))
    return tmp_path


@pytest.mark.parametrize("case", sorted(ONE_PLACE))
def test_one_place_alone_fails(copy, case):
    name, old, new, named = ONE_PLACE[case]
    edit(str(copy / name), old, new)
    found = workflow_check.problems(str(copy))
    assert any(named in p for p in found), found


@pytest.mark.parametrize("archs", ["x86_64", "universal2"])
def test_no_intel_macos_target(copy, archs):
    # Added in both places, so the lists still agree with each other.
    edit(str(copy / workflow_check.WHEELS), r'"archs": "arm64"\}\]',
         '"archs": "arm64"}, {"os": "macos-15", "platform": "macos", "archs": "%s"}]' % archs)
    edit(str(copy / "pyproject.toml"), r'^archs = \["arm64"\]$', 'archs = ["arm64", "%s"]' % archs)
    found = workflow_check.problems(str(copy))
    assert any("no Intel macOS" in p for p in found), found


def test_changelog_agrees_with_pyproject():
    # On main the version may still be unreleased, with no section of its own yet; a release tag
    # is held to more (tests/test_release_check.py).
    version = release_check.project_version(ROOT)
    with open(os.path.join(ROOT, "CHANGELOG.md"), encoding="utf-8") as f:
        found, _ = release_check.problems(f.read(), version)
    assert found == []


@pytest.mark.parametrize("platform, module, ok", [
    ("manylinux_2_17_x86_64.manylinux2014_x86_64", "loss.cpython-311-x86_64-linux-gnu.so", True),
    ("manylinux_2_28_aarch64", "loss.cpython-311-aarch64-linux-gnu.so", True),
    ("win_amd64", "loss.cp311-win_amd64.pyd", True),
    ("macosx_11_0_arm64", "loss.cpython-311-darwin.so", True),
    ("linux_x86_64", "loss.cpython-311-x86_64-linux-gnu.so", False),   # no index takes it
    ("win_amd64", "loss.cpython-311-x86_64-linux-gnu.so", False),
    ("macosx_11_0_arm64", "loss.cp311-win_amd64.pyd", False),
    ("win_amd64", None, False),
])
def test_dist_check_wheel(tmp_path, capsys, platform, module, ok):
    path = fake_wheel(tmp_path, platform, module)
    if ok:
        dist_check.check_wheel(path)
        assert module in capsys.readouterr().out
    else:
        with pytest.raises(SystemExit):
            dist_check.check_wheel(path)


INFO = "torch_mmd_contrastive-0.1.0.dist-info/"


def fake_wheel(tmp_path, platform, module, licence=INFO + "licenses/LICENSE",
               metadata="Metadata-Version: 2.4\nLicense-Expression: MIT\nLicense-File: LICENSE\n"):
    path = str(tmp_path / ("torch_mmd_contrastive-0.1.0-cp311-cp311-%s.whl" % platform))
    with zipfile.ZipFile(path, "w") as z:
        z.writestr("loss-stubs/__init__.pyi", "")
        if module:
            z.writestr(module, "")
        if licence:
            z.writestr(licence, "MIT License\n")
        z.writestr(INFO + "METADATA", metadata)
    return path


@pytest.mark.parametrize("licence, metadata", [
    (None, "License-File: LICENSE\n"),                                  # no file
    (INFO + "LICENSE", "License-File: LICENSE\n"),                       # not where PEP 639 puts it
    ("licenses/LICENSE", "License-File: LICENSE\n"),                     # outside the metadata
    (INFO + "licenses/LICENSE", "Metadata-Version: 2.1\nLicense: MIT\n"),  # METADATA names none
])
def test_dist_check_wheel_needs_the_licence(tmp_path, licence, metadata):
    path = fake_wheel(tmp_path, "win_amd64", "loss.cp311-win_amd64.pyd", licence, "\n" + metadata)
    with pytest.raises(SystemExit, match="LICENSE"):
        dist_check.check_wheel(path)


@pytest.mark.parametrize("leave_out, ok", [(None, True), ("LICENSE", False), ("tests/conftest.py", False)])
def test_dist_check_sdist(tmp_path, leave_out, ok):
    path = str(tmp_path / "torch_mmd_contrastive-0.1.0.tar.gz")
    with tarfile.open(path, "w:gz") as tar:
        for name in dist_check.NEEDED + ["src/module/module.cpp"]:
            if name != leave_out:
                info = tarfile.TarInfo("torch_mmd_contrastive-0.1.0/" + name)
                tar.addfile(info, io.BytesIO(b""))
    if ok:
        dist_check.check_sdist(path)
    else:
        with pytest.raises(SystemExit, match=leave_out):
            dist_check.check_sdist(path)


def test_release_counts_the_wheels_with_functions_that_exist():
    # The release job counts the wheels it expects with an inline call into workflow_check: a
    # renamed function there would fail only at release time.
    import subprocess

    import yaml

    with open(os.path.join(ROOT, ".github", "workflows", "release.yml"), encoding="utf-8") as f:
        runs = [v for v in workflow_check.values(yaml.safe_load(f), "run") if "import workflow_check" in v]
    (code,) = [m for run in runs for m in re.findall(r"python -c '([^']*)'", run)]
    out = subprocess.run([sys.executable, "-c", code], cwd=ROOT, stdout=subprocess.PIPE, universal_newlines=True)
    assert out.returncode == 0 and int(out.stdout) > 0, out.stdout
