import traceback

import pytest
import torch

import loss
from helpers import Duck, entries, run_python


def failure(fn, *args):
    with pytest.raises(Exception) as info:
        fn(*args)
    return info.value


def loss_tbs(exc):
    tb, out = exc.__traceback__, []
    while tb is not None:
        if tb.tb_frame.f_code.co_filename == "loss.py":
            out.append(tb)
        tb = tb.tb_next
    return out


def test_entry_looks_like_an_interpreter_frame():
    exc = failure(loss.compute_joint, object(), object())
    assert isinstance(exc, AttributeError)
    (tb,) = loss_tbs(exc)
    frame = tb.tb_frame
    assert tb.tb_lineno == 139 and frame.f_lineno == 139
    assert frame.f_code.co_name == "loss.compute_joint" and frame.f_code.co_firstlineno == 139
    assert frame.f_globals is vars(loss)
    assert frame.f_locals == {}  # never the module namespace
    text = "".join(traceback.format_exception(type(exc), exc, exc.__traceback__))
    assert 'File "loss.py", line 139, in loss.compute_joint' in text
    summary = [s for s in traceback.extract_tb(exc.__traceback__) if s.filename == "loss.py"]
    assert [(s.name, s.lineno) for s in summary] == [("loss.compute_joint", 139)]


@pytest.mark.parametrize("inner, inner_entry", [
    (lambda: loss.compute_joint(1), ("loss.compute_joint", "loss.py", 136)),
    (lambda: loss.guassian_kernel_mmd(1), ("loss.guassian_kernel_mmd", "loss.py", 7)),
    (lambda: loss.compute_joint(object(), 1), ("loss.compute_joint", "loss.py", 139)),
])
def test_nested_failures_list_outermost_first(inner, inner_entry):
    # x_out.size() itself fails inside another module function.
    x = Duck(torch.rand(2, 2), size=inner)
    exc = failure(loss.compute_joint, x, torch.rand(2, 2))
    assert isinstance(exc, (TypeError, AttributeError))
    assert entries(exc) == [("loss.compute_joint", "loss.py", 139), inner_entry]


def test_same_line_shares_code_object():
    codes = [loss_tbs(failure(loss.compute_joint, v, v))[0].tb_frame.f_code for v in (None, 1, "x")]
    assert codes[0] is codes[1] is codes[2]
    binder = [loss_tbs(failure(loss.MMD, *a))[0].tb_frame.f_code for a in ((), (1,), (1,) * 6)]
    assert binder[0] is binder[1] is binder[2] and binder[0] is not codes[0]


CACHE_ORDER = '''
import torch, loss, sys
sys.path.insert(0, %r)
from helpers import Duck
t = torch.rand(3, 3)
make = {
    7: lambda: loss.guassian_kernel_mmd(),
    39: lambda: loss.MMD(),
    136: lambda: loss.compute_joint(),
    139: lambda: loss.compute_joint(None, t),
    140: lambda: loss.compute_joint(t, Duck(t, fail=[("size", 0)])),
    142: lambda: loss.compute_joint(Duck(t, missing=["unsqueeze"]), t),
    143: lambda: loss.compute_joint(Duck(t, fail=[("sum", ("dim", 0))]), t),
    144: lambda: loss.compute_joint(Duck(t, fail=[("t",)]), t),
    145: lambda: loss.compute_joint(Duck(t, fail=[("sum",)]), t),
    150: lambda: loss.instance_contrastive_Loss(),
    172: lambda: loss.category_contrastive_loss(),
}
seen = {}
# Lines arrive out of order so that pairs are inserted at the front, middle and end.
for line in [143, 7, 172, 140, 39, 145, 136, 150, 139, 142, 144] * 2 + [7, 172, 142]:
    try:
        make[line]()
    except Exception as e:
        got = entries(e)
        tb = e.__traceback__
        while tb.tb_frame.f_code.co_filename != "loss.py":
            tb = tb.tb_next
        assert got[-1][2] == line, (line, got)
        code = tb.tb_frame.f_code if len(got) == 1 else None
        if code is not None:
            assert code.co_firstlineno == line
            assert seen.setdefault(line, code) is code, line
    else:
        raise SystemExit("no failure for line %%d" %% line)
assert len(set(map(id, seen.values()))) == len(seen)
print("ok")
'''


def test_code_cache_from_empty_keeps_lines_apart():
    import os
    here = os.path.dirname(os.path.abspath(__file__))
    proc = run_python(CACHE_ORDER % here)
    assert proc.returncode == 0 and proc.stdout.strip() == "ok", proc.stderr

