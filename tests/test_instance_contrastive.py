import fractions
import math
import sys

import numpy as np
import pytest
import torch

import loss
from helpers import entries, needs_asserts, rebind

f = loss.instance_contrastive_Loss
MACHINE_EPS = sys.float_info.epsilon


def sites(exc):
    return [(name, line) for name, _, line in entries(exc)]


def oracle(x, y, lamb=1.0, eps=MACHINE_EPS):
    x, y = x.double(), y.double()
    p = x.t() @ y
    p = (p + p.t()) / 2
    p = p / p.sum()
    rows, cols = p.sum(1), p.sum(0)  # marginals of the unbounded joint
    p, rows, cols = (v.clamp(min=eps) for v in (p, rows, cols))
    return -(p * (p.log() - lamb * cols.log()[None, :] - lamb * rows.log()[:, None])).sum()


def scores(bn, k, kind, dtype=torch.float64, seed=0):
    g = torch.Generator().manual_seed(seed)
    if kind == "soft":
        return [torch.softmax(torch.randn(bn, k, generator=g, dtype=dtype) * 2, 1) for _ in range(2)]
    # Hard assignments with unused classes: the joint has zero entries.
    pick = torch.randint(0, max(k - 1, 1), (2, bn), generator=g)
    return [torch.nn.functional.one_hot(p, k).to(dtype) for p in pick]


@pytest.mark.parametrize("bn, k, kind", [(4, 3, "soft"), (16, 10, "soft"), (8, 5, "hard"), (2, 2, "hard")])
@pytest.mark.parametrize("lamb", [None, 0, 2.0])
@pytest.mark.parametrize("eps", [None, 1e-8, 0.1])
@pytest.mark.parametrize("dtype, tol", [(torch.float64, 1e-10), (torch.float32, 1e-5)])
def test_matches_float64_oracle(bn, k, kind, lamb, eps, dtype, tol):
    x, y = scores(bn, k, kind, dtype)
    before = [(v.clone(), v._version) for v in (x, y)]
    kw = {}
    if lamb is not None:
        kw["lamb"] = lamb
    if eps is not None:
        kw["EPS"] = eps
    out = f(x, y, **kw)
    want = oracle(x, y, 1.0 if lamb is None else lamb, MACHINE_EPS if eps is None else eps)
    assert out.numel() == 1 and math.isfinite(out.item())
    # The filler tensor is float32, so bounded entries carry EPS rounded to float32.
    assert abs(out.item() - want.item()) <= max(tol, 1e-7) * (1 + abs(want.item()))
    for v, (copy, version) in zip((x, y), before):
        assert torch.equal(v, copy) and v._version == version


def test_defaults_are_one_and_machine_epsilon():
    x, y = scores(6, 4, "soft")
    assert torch.equal(f(x, y), f(x, y, 1.0, MACHINE_EPS))
    assert torch.equal(f(x, y, 2.0), f(x, y, lamb=2.0, EPS=MACHINE_EPS))


def test_entries_equal_to_eps_are_kept():
    # Joint [[5, 1], [1, 1]] / 8: three entries are exactly 0.125. Kept entries
    # carry gradient; replaced ones would not.
    base = torch.tensor([[2.0, 0.0], [1.0, 1.0]], dtype=torch.float64)
    grads = []
    for fn in (lambda x: f(x, x.detach(), EPS=0.125), lambda x: oracle(x, x.detach(), eps=0.0)):
        x = base.clone().requires_grad_()
        out = fn(x)
        out.backward()
        grads.append((out.detach(), x.grad))
    assert torch.allclose(grads[0][0], grads[1][0], rtol=1e-12)
    assert torch.allclose(grads[0][1], grads[1][1], rtol=1e-10, atol=1e-12)


@pytest.mark.parametrize("lamb", [1.0, 2.0])
def test_gradcheck(lamb):
    x, y = (v.requires_grad_() for v in scores(5, 3, "soft", seed=3))
    assert torch.autograd.gradcheck(lambda a, b: f(a, b, lamb), (x, y))


class FakeSys(object):
    class float_info(object):
        epsilon = 0.25


@pytest.mark.parametrize("sys_value", ["keep", None, FakeSys])
def test_rebound_joint_and_eps_default(sys_value, monkeypatch):
    # An all-zero joint bounds every entry and marginal to EPS: the result is
    # 4·EPS·log EPS, which exposes the EPS default directly.
    x, y = torch.rand(3, 2), torch.rand(3, 2)
    calls = []

    def joint(*args):
        calls.append(args)
        return torch.zeros(2, 2, dtype=torch.float64)

    names = {"compute_joint": joint}
    if sys_value != "keep":
        names["sys"] = sys_value
    rebind(monkeypatch, names)
    out = f(x, y)
    (args,) = calls
    assert len(args) == 2 and args[0] is x and args[1] is y
    assert math.isclose(out.item(), 4 * MACHINE_EPS * math.log(MACHINE_EPS), rel_tol=1e-12)


@needs_asserts
@pytest.mark.parametrize("x, y, exc, trail", [
    (torch.rand(4, 3), torch.rand(4, 2), AssertionError,
     [("loss.instance_contrastive_Loss", 153), ("loss.compute_joint", 140)]),
    (torch.rand(4, 3), torch.rand(5, 3), AssertionError,
     [("loss.instance_contrastive_Loss", 153), ("loss.compute_joint", 140)]),
    (torch.rand(4), torch.rand(4), ValueError, [("loss.instance_contrastive_Loss", 152)]),
    (torch.rand(2, 2, 2), torch.rand(2, 2, 2), ValueError, [("loss.instance_contrastive_Loss", 152)]),
])
def test_failure_lines(x, y, exc, trail):
    with pytest.raises(exc) as info:
        f(x, y)
    assert sites(info.value) == trail


@needs_asserts
@pytest.mark.parametrize("names, exc, line", [
    ({"compute_joint": None}, NameError, 153),
    ({"torch": None}, NameError, 159),
    ({"compute_joint": lambda a, b: torch.rand(3, 3)}, AssertionError, 154),
])
def test_globals_at_call_time(names, exc, line, monkeypatch):
    rebind(monkeypatch, names)
    with pytest.raises(exc) as info:
        f(torch.rand(4, 2), torch.rand(4, 2))
    if exc is NameError:
        assert str(info.value) == "name '%s' is not defined" % list(names)[0]
    assert sites(info.value) == [("loss.instance_contrastive_Loss", line)]


def plain_loss(x, y, lamb=1.0, EPS=MACHINE_EPS):
    """The op sequence without the float16 lift."""
    p_i_j = x.t() @ y
    p_i_j = (p_i_j + p_i_j.t()) / 2.0
    return plain_from_joint(p_i_j / p_i_j.sum(), lamb, EPS)


@pytest.mark.parametrize("dtype, tol", [(torch.float16, 6e-3), (torch.bfloat16, 1e-6), (torch.float32, 1e-6)])
def test_hard_assignments_stay_finite_in_every_dtype(dtype, tol):
    # Exact zeros in the joint: the default EPS is 0 in float16, so there the
    # lift uses float16's smallest positive number.
    one_hot = torch.nn.functional.one_hot(torch.arange(8) % 4, 4).float()
    p = torch.softmax(20 * one_hot, 1).to(dtype).requires_grad_()
    out = f(p, p)
    out.backward()
    assert math.isfinite(out.item()) and torch.isfinite(p.grad).all()
    assert abs(out.item() + math.log(4)) <= tol
    if dtype != torch.float16:
        assert torch.equal(out, plain_loss(p, p))


def plain_from_joint(p_i_j, lamb=1.0, EPS=MACHINE_EPS):
    """plain_loss's steps after the joint, which the module forms with compute_joint's ops."""
    k = p_i_j.size(0)
    p_i = p_i_j.sum(dim=1).view(k, 1).expand(k, k)
    p_j = p_i_j.sum(dim=0).view(1, k).expand(k, k)
    p_i_j = torch.where(p_i_j < EPS, torch.tensor([EPS], device=p_i_j.device), p_i_j)
    p_j = torch.where(p_j < EPS, torch.tensor([EPS], device=p_j.device), p_j)
    p_i = torch.where(p_i < EPS, torch.tensor([EPS], device=p_i.device), p_i)
    return (-p_i_j * (torch.log(p_i_j) - lamb * torch.log(p_j) - lamb * torch.log(p_i))).sum()


def uniform_half(bn, k):
    return torch.full((bn, k), 1.0 / k).half()


@pytest.mark.parametrize("make", [
    lambda: (uniform_half(8, 160), uniform_half(8, 160)),
    lambda: (uniform_half(8, 256), uniform_half(8, 256)),
    lambda: scores(1024, 256, "soft", torch.float32, seed=7),
    lambda: scores(64, 200, "soft", torch.float32, seed=8),
])
def test_float16_keeps_every_nonzero_probability(make):
    # Over 128 clusters the joint's entries (about 1/k²) lie below float16's smallest normal
    # number; none is 0, so nothing is lifted: value and gradient are the plain sequence's.
    x, y = (v.half().requires_grad_() for v in make())
    out = f(x, y)
    grads = torch.autograd.grad(out, (x, y))
    want = plain_from_joint(loss.compute_joint(x, y))
    want_grads = torch.autograd.grad(want, (x, y))
    assert torch.equal(out, want) and all(torch.equal(a, b) for a, b in zip(grads, want_grads))
    k = x.size(1)
    single = f(x.detach().float(), y.detach().float()).item()
    assert -math.log(k) <= out.item() <= 1e-3 and abs(out.item() - single) < 2e-3


HARD = torch.nn.functional.one_hot(torch.arange(8) % 4, 6)  # two unused clusters: zeros in the joint


@pytest.mark.parametrize("eps", [
    None, 1e-10, 2.0 ** -25, torch.tensor(1e-10), torch.tensor(1e-20, dtype=torch.float64),
    torch.tensor([1e-12]), np.float32(1e-10), np.float64(1e-12), fractions.Fraction(1, 10 ** 9),
])
def test_float16_eps_that_vanishes_lifts_zeros_only(eps):
    # Any positive EPS that float16 makes 0 lifts exact zeros to 2**-24 and nothing else.
    x = HARD.half().requires_grad_()
    out = f(x, x) if eps is None else f(x, x, EPS=eps)
    (grad,) = torch.autograd.grad(out, x)
    assert math.isfinite(out.item()) and torch.isfinite(grad).all()
    want = oracle(HARD, HARD, eps=2.0 ** -24)
    assert abs(out.item() - want.item()) < 1e-6 and abs(out.item() + math.log(4)) < 1e-5


@pytest.mark.parametrize("eps", [2.0 ** -24, 1e-3, torch.tensor(1e-3), np.float32(1e-3), 0.0, -1.0])
def test_float16_eps_it_can_hold_is_used_as_given(eps):
    # Not positive (no bound asked for: 0 · log 0 stays NaN), or nonzero in float16: as given.
    x = HARD.half()
    torch.testing.assert_close(f(x, x, EPS=eps), plain_loss(x, x, EPS=eps), rtol=0, atol=0, equal_nan=True)


@pytest.mark.parametrize("dtype", [torch.float32, torch.float64, torch.bfloat16])
@pytest.mark.parametrize("eps", [torch.tensor(1e-10), np.float32(1e-10), 1e-10])
def test_other_dtypes_take_any_eps_as_given(dtype, eps):
    x, y = scores(16, 5, "hard", dtype, seed=2)
    assert torch.equal(f(x, y, EPS=eps), plain_loss(x, y, EPS=eps))
