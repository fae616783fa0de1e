"""What the sessions decide from the list and the environment: which row, which torch, which
index, and what runs an interpreter."""
import os
import sys
import types

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, ROOT)
import noxfile  # noqa: E402

ROWS = noxfile.rows()


class Session:
    def __init__(self, name="test"):
        self.name, self.ran = name, []

    def run(self, *args, **kw):
        self.ran.append(args)

    def error(self, text):
        raise SystemExit(text)


@pytest.fixture
def env(monkeypatch):
    for name in ("PYVER", "PYTHON", "TORCH", "TORCH_INDEX"):
        monkeypatch.delenv(name, raising=False)
    return monkeypatch


def test_one_default_row_and_known_roles():
    assert len([r for r in ROWS if "default" in r.roles]) == 1
    assert all(r.roles <= {"default", "ci"} for r in ROWS)
    assert all(r.source in ("pyenv", "sid", "cpython") for r in ROWS)


@pytest.mark.parametrize("row", ROWS, ids=[r.version for r in ROWS])
def test_pyver_picks_its_row_and_torch(env, row):
    env.setenv("PYVER", row.version)
    assert (noxfile.chosen_row().version, noxfile.chosen_row().tested) == (row.version, row.tested)


def test_no_pyver(env):
    assert "default" in noxfile.chosen_row().roles
    env.setenv("PYTHON", sys.executable)
    assert noxfile.chosen_row() is None
    env.setenv("PYVER", "3.9.99")
    with pytest.raises(SystemExit, match="3.9.99"):
        noxfile.chosen_row()


def test_python_takes_the_torch_of_its_minor(env):
    env.setenv("PYTHON", sys.executable)
    interp = noxfile.Interpreter(Session())
    minor = ".".join(interp.version.split(".")[:2])
    want = [r.tested for r in ROWS if r.version.split(".")[:2] == minor.split(".")] or [ROWS[-1].tested]
    assert interp.torch == want[-1]
    assert interp.run_in == [] and interp.venv == ".venv-" + interp.version


def test_debian_rows_run_in_the_root(env):
    row = next(r for r in ROWS if r.source == "sid")
    interp = noxfile.Interpreter(Session(), row)
    assert interp.run_in == [os.path.join(ROOT, "tools", "sid.sh"), "run"]
    assert interp.base == "/usr/bin/python" + row.version


@pytest.mark.parametrize("system, session, given, want", [
    ("Linux", "test", None, noxfile.CPU_INDEX),
    ("Linux", "gpu-check", None, ""),           # the CUDA build, from PyPI
    ("Darwin", "test", None, ""),               # PyPI's macOS build is the CPU build
    ("Linux", "test", "", ""),                  # TORCH_INDEX= asks for PyPI's
    ("Linux", "test", "https://example.org/whl/cu126", "https://example.org/whl/cu126"),
])
def test_torch_index(env, system, session, given, want):
    env.setattr(noxfile.platform, "system", lambda: system)
    if given is not None:
        env.setenv("TORCH_INDEX", given)
    assert noxfile.torch_index(types.SimpleNamespace(name=session)) == want
