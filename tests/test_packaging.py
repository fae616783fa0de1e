"""What the installed distribution carries besides the extension: stubs and metadata."""
import ast
import filecmp
import os
from importlib import metadata

import pytest

import loss
from helpers import child

STUBS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                     "stubs", "loss-stubs", "__init__.pyi")
INSTALLED = os.path.join(os.path.dirname(loss.__file__), "loss-stubs", "__init__.pyi")
# The distribution's name; `loss` on the package index is an unrelated project.
DIST = "torch-mmd-contrastive"
NAMES = ["guassian_kernel_mmd", "MMD", "compute_joint", "instance_contrastive_Loss",
         "category_contrastive_loss"]


def test_stubs_installed_beside_the_extension():
    assert os.path.isfile(INSTALLED), "stubs missing from " + os.path.dirname(loss.__file__)
    assert filecmp.cmp(STUBS, INSTALLED, shallow=False), "installed stubs are stale"


def _stub_signatures():
    with open(STUBS) as f:
        tree = ast.parse(f.read(), STUBS)
    sigs = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            args = node.args
            assert not args.posonlyargs and not args.kwonlyargs and not args.vararg
            sigs.setdefault(node.name, []).append(
                ([a.arg for a in args.args], len(args.defaults)))
    return sigs


@pytest.mark.parametrize("name", NAMES)
def test_stub_signature_matches_the_function(name):
    code = getattr(loss, name).__code__
    params = list(code.co_varnames[:code.co_argcount])
    ndefaults = len(getattr(loss, name).__defaults__ or ())
    sigs = _stub_signatures()[name]
    # Every overload, too, must bind exactly like the function.
    assert sigs and all(sig == (params, ndefaults) for sig in sigs), sigs


def test_installed_under_its_own_name():
    files = metadata.files(DIST) or []
    assert any(f.name == os.path.basename(loss.__file__) for f in files), files


def test_torch_is_only_an_extra():
    reqs = metadata.requires(DIST) or []
    assert reqs and all("extra ==" in r for r in reqs), reqs
    assert any(r.replace(" ", "").startswith("torch>=2.4;") for r in reqs), reqs
    assert "torch" in (metadata.metadata(DIST).get_all("Provides-Extra") or [])


# Line, then the text mypy must report there ("" = no error). torch is not analysed here (it is
# slow), so only the parameters and non-tensor types are checked; `make typecheck` does the rest.
MYPY_CASES = [
    ("loss.MMD(t, t)", ""),
    ("loss.MMD(target=t, source=t, fix_sigma=1.0)", ""),
    ("loss.guassian_kernel_mmd(t, t, 2.0, 5, None)", ""),
    ("loss.instance_contrastive_Loss(t, t, lamb=0.5, EPS=1e-8)", ""),
    ("loss.category_contrastive_loss(t, t, 3, flag_gt=True)", ""),
    ("loss.compute_joint(object(), object())", ""),
    ("loss.MMD(1, 2, 3, 4, 5, 6)", 'Too many arguments for "MMD"'),
    ("loss.MMD(t, t, sigma=1.0)", 'Unexpected keyword argument "sigma"'),
    ("loss.guassian_kernel_mmd(t, t, kernel_num=6.0)", 'incompatible type "float"'),
    ("loss.compute_joint(t)", "compute_joint"),
    ("loss.instance_contrastive_Loss(t, t, EPS='x')", 'incompatible type "str"'),
    ("loss.category_contrastive_loss(t, t, 3)", 'Missing positional argument "flag_gt"'),
    ("loss.gaussian_kernel_mmd(t, t)", 'has no attribute "gaussian_kernel_mmd"'),
]


@pytest.fixture(scope="module")
def mypy_report(tmp_path_factory):
    pytest.importorskip("mypy")
    if not os.path.isfile(INSTALLED):
        pytest.skip("stubs not installed")
    tmp = tmp_path_factory.mktemp("mypy")
    header = ["import torch", "import loss", "t = torch.zeros(2, 2)"]
    (tmp / "snippet.py").write_text("\n".join(header + [c for c, _ in MYPY_CASES]) + "\n")
    (tmp / "mypy.ini").write_text("[mypy]\n[mypy-torch.*]\nfollow_imports = skip\n")
    proc = child("-m", "mypy", "--config-file", "mypy.ini", "--no-incremental", "--show-error-codes", "snippet.py",
                 cwd=str(tmp))
    errors = {}
    for line in proc.stdout.splitlines():
        parts = line.split(":", 3)
        if len(parts) == 4 and parts[0] == "snippet.py" and parts[2].strip() == "error":
            errors.setdefault(int(parts[1]) - len(header), []).append(parts[3])
    return errors


@pytest.mark.parametrize("lineno, case", list(enumerate(MYPY_CASES, 1)), ids=[c for c, _ in MYPY_CASES])
def test_mypy_sees_the_signatures(mypy_report, lineno, case):
    found = mypy_report.get(lineno, [])
    if case[1]:
        assert any(case[1] in e for e in found), found
    else:
        assert not found, found
