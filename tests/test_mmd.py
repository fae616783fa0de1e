import pytest
import torch

import loss
from helpers import entries, op_log, rebind
from test_gaussian_kernel import plain_kernel


def sites(exc):
    return [(name, line) for name, _, line in entries(exc)]


def batches(n, m, dim, dtype=torch.float64, seed=0):
    g = torch.Generator().manual_seed(seed)
    return (torch.randn(n, dim, generator=g, dtype=dtype),
            torch.randn(m, dim, generator=g, dtype=dtype) * 1.5 + 0.7)


def kernel_oracle(s, t, kernel_mul=2, kernel_num=6, fix_sigma=None):
    x = torch.cat([s, t]).double()
    d = (x[:, None] - x[None]).pow(2).sum(-1)
    size = d.shape[0]
    b0 = float(fix_sigma) if fix_sigma else d.detach().sum() / (size * size - size)
    b = b0 / kernel_mul ** (kernel_num // 2)
    return sum(torch.exp(-d / (b * kernel_mul ** q)) for q in range(kernel_num))


def mmd_from(k, n):
    return k[:n, :n].mean() + k[n:, n:].mean() - k[:n, n:].mean() - k[n:, :n].mean()


@pytest.mark.parametrize("dtype, tol", [(torch.float64, 1e-12), (torch.float32, 1e-5)])
@pytest.mark.parametrize("n", [2, 5])
def test_identical_batches_give_zero(dtype, tol, n):
    s, _ = batches(n, 1, 3, dtype)
    out = loss.MMD(s, s.clone())
    assert out.dim() == 0 and abs(out.item()) < tol


@pytest.mark.parametrize("kw", [
    {}, {"kernel_mul": 3, "kernel_num": 4}, {"kernel_num": 1},
    {"fix_sigma": 1.0}, {"fix_sigma": 4}, {"fix_sigma": 0.0}, {"kernel_mul": 1.5, "kernel_num": 3, "fix_sigma": 0.3},
])
@pytest.mark.parametrize("n, m, dim", [(4, 4, 3), (3, 6, 2), (5, 2, 4)])
@pytest.mark.parametrize("dtype, tol", [(torch.float64, 1e-12), (torch.float32, 1e-5)])
def test_matches_float64_oracle(kw, n, m, dim, dtype, tol):
    s, t = batches(n, m, dim, dtype)
    out = loss.MMD(s, t, **kw)
    assert out.dim() == 0 and out.dtype == dtype
    want = mmd_from(kernel_oracle(s, t, **kw), n)
    assert abs(out.item() - want.item()) <= tol * (1 + abs(want.item()))


@pytest.mark.parametrize("n, m, kw", [(3, 4, {}), (5, 2, {"kernel_num": 3}), (2, 3, {"fix_sigma": 2.0})])
def test_gradients_hold_bandwidth_constant(n, m, kw):
    s, t = batches(n, m, 3)
    grads = []
    for fn in (lambda a, b: loss.MMD(a, b, **kw), lambda a, b: mmd_from(kernel_oracle(a, b, **kw), n)):
        a, b = s.clone().requires_grad_(), t.clone().requires_grad_()
        fn(a, b).backward()
        grads.append((a.grad, b.grad))
    for got, want in zip(*grads):
        assert torch.allclose(got, want, rtol=1e-10, atol=1e-12)


@pytest.mark.parametrize("args, kw, exc, trail", [
    ((torch.randn(3, 2), torch.randn(2, 2)), {"kernel_num": 0}, TypeError, [("loss.MMD", 55)]),
    ((torch.randn(3, 2), torch.randn(2, 2)), {"kernel_num": -1}, TypeError, [("loss.MMD", 55)]),
    ((torch.randn(3), torch.randn(2)), {}, IndexError, [("loss.MMD", 52), ("loss.guassian_kernel_mmd", 19)]),
    ((torch.randn(3, 2), torch.randn(2, 2)), {"kernel_num": 6.0}, TypeError,
     [("loss.MMD", 52), ("loss.guassian_kernel_mmd", 33)]),
    ((torch.tensor(1.0), torch.randn(2, 2)), {}, IndexError, [("loss.MMD", 48)]),
])
def test_failure_lines(args, kw, exc, trail):
    with pytest.raises(exc) as info:
        loss.MMD(*args, **kw)
    assert sites(info.value) == trail
    if trail == [("loss.MMD", 55)]:
        assert str(info.value) == "'int' object is not subscriptable"


@pytest.mark.parametrize("kw, seen", [
    ({}, {"kernel_mul": 2, "kernel_num": 6, "fix_sigma": None}),
    ({"kernel_mul": 3.0, "kernel_num": 4, "fix_sigma": 1.5}, {"kernel_mul": 3.0, "kernel_num": 4, "fix_sigma": 1.5}),
])
def test_calls_rebound_kernel_by_keyword(kw, seen, monkeypatch):
    s, t = batches(2, 3, 2)
    k = torch.arange(25, dtype=torch.float64).view(5, 5)
    calls = []

    def kernel(*args, **kwargs):
        calls.append((args, kwargs))
        return k

    monkeypatch.setattr(loss, "guassian_kernel_mmd", kernel)
    out = loss.MMD(s, t, **kw)
    (args, kwargs), = calls
    assert len(args) == 2 and args[0] is s and args[1] is t
    assert kwargs == seen and [type(v) for v in kwargs.values()] == [type(v) for v in seen.values()]
    assert torch.allclose(out, mmd_from(k, 2), rtol=1e-14)


@pytest.mark.parametrize("names, trail", [
    ({"guassian_kernel_mmd": None}, [("loss.MMD", 52)]),
    ({"torch": None}, [("loss.MMD", 52), ("loss.guassian_kernel_mmd", 17)]),
    ({"torch": None, "guassian_kernel_mmd": lambda s, t, **kw: torch.ones(4, 4)}, [("loss.MMD", 61)]),
])
def test_missing_globals(names, trail, monkeypatch):
    rebind(monkeypatch, names)
    with pytest.raises(NameError) as info:
        loss.MMD(torch.randn(2, 2), torch.randn(2, 2))
    missing = [k for k, v in names.items() if v is None][0]
    assert str(info.value) == "name '%s' is not defined" % missing
    assert sites(info.value) == trail


COLLAPSED_SIZES = [(6, 4), (3, 3), (1, 1), (5, 7), (32, 17)]


@pytest.mark.parametrize("dtype", [torch.float16, torch.bfloat16, torch.float32, torch.float64])
@pytest.mark.parametrize("n, m", COLLAPSED_SIZES)
def test_collapsed_features_give_zero_and_zero_gradients(dtype, n, m):
    s = torch.zeros(n, 5, dtype=dtype, requires_grad=True)
    t = torch.zeros(m, 5, dtype=dtype, requires_grad=True)
    out = loss.MMD(s, t)
    out.backward()
    # The four block means cancel exactly for n == m; otherwise up to their rounding.
    if n == m:
        assert out.item() == 0.0
    else:
        assert abs(out.item()) <= 16 * torch.finfo(dtype).eps
    assert torch.equal(s.grad, torch.zeros_like(s)) and torch.equal(t.grad, torch.zeros_like(t))


def test_collapsed_features_compiled():
    torch._dynamo.allow_in_graph(loss.MMD)
    step = torch.compile(lambda s, t: loss.MMD(s, t) * 1, backend="aot_eager", fullgraph=True)
    s = torch.ones(6, 5, requires_grad=True)
    out = step(s, torch.ones(4, 5))
    out.backward()
    assert out.item() == 0.0 and torch.equal(s.grad, torch.zeros_like(s))


def test_float16_bandwidth_is_accumulated_in_float32():
    # Pairwise distances of 64 rows of 16 features add up past float16's largest value.
    s, t = batches(32, 32, 16, torch.float32, seed=3)
    s, t = s / 1.5, t - 0.7  # both unit variance, apart by their means
    want = loss.MMD(s, t).item()
    half = s.half().requires_grad_()
    out = loss.MMD(half, t.half())
    out.backward()
    assert out.dtype == torch.float16 and want > 0.5
    assert abs(out.item() - want) <= 4e-3 * want
    assert half.grad.abs().sum().item() > 0


X = torch.randn(5, 3)


@pytest.mark.parametrize("source, target, empty, line", [
    (X, X[:0], "target", 49),
    (X[:0], X, "source", 48),
    (X[:0], X[:0], "source", 48),
    (torch.ones(1, 2), torch.zeros(0, 2), "target", 49),
    (torch.zeros(0, 2, dtype=torch.float16), torch.ones(3, 2, dtype=torch.float16), "source", 48),
])
def test_empty_batch_is_refused_before_any_computation(source, target, empty, line, monkeypatch):
    # A per-class loop whose class is absent from the batch: no number, however plausible.
    def kernel(*a, **k):
        raise AssertionError("the kernel was called")

    monkeypatch.setattr(loss, "guassian_kernel_mmd", kernel)
    with op_log() as log, pytest.raises(ValueError) as info:
        loss.MMD(source.requires_grad_(), target)
    assert str(info.value) == "MMD(): %s is an empty batch (no rows)" % empty
    assert sites(info.value) == [("loss.MMD", line)] and log.ops == []


@pytest.mark.parametrize("fn, def_line", [("MMD", 39), ("guassian_kernel_mmd", 7)])
@pytest.mark.parametrize("kw, message", [
    ({"kernel_mul": 0}, "kernel_mul must be greater than 0, got 0"),
    ({"kernel_mul": -2}, "kernel_mul must be greater than 0, got -2"),
    ({"kernel_mul": 0.0}, "kernel_mul must be greater than 0, got 0.0"),
    ({"kernel_mul": -0.5, "kernel_num": 0}, "kernel_mul must be greater than 0, got -0.5"),
    ({"kernel_mul": float("nan")}, "kernel_mul must be greater than 0, got nan"),
    ({"kernel_mul": False}, "kernel_mul must be greater than 0, got False"),
    ({"kernel_mul": -10 ** 30}, "kernel_mul must be greater than 0, got -%d" % 10 ** 30),
    ({"fix_sigma": -1.0}, "fix_sigma must be 0 or greater, got -1.0"),
    ({"fix_sigma": -3}, "fix_sigma must be 0 or greater, got -3"),
    ({"fix_sigma": float("nan")}, "fix_sigma must be 0 or greater, got nan"),
])
def test_parameters_out_of_range_are_refused(fn, def_line, kw, message):
    t = X + 1
    with op_log() as log, pytest.raises(ValueError) as info:
        getattr(loss, fn)(X, t, **kw)
    assert str(info.value) == "%s(): %s" % (fn, message)
    assert sites(info.value) == [("loss." + fn, def_line)] and log.ops == []


@pytest.mark.parametrize("fn", ["MMD", "guassian_kernel_mmd"])
@pytest.mark.parametrize("kw, same_as", [
    ({"fix_sigma": 0}, {}), ({"fix_sigma": -0.0}, {}), ({"fix_sigma": None}, {}),
    ({"kernel_mul": 0.5, "kernel_num": 3}, None), ({"kernel_mul": 10 ** 30, "kernel_num": 1}, None),
    ({"kernel_mul": True, "kernel_num": 2}, {"kernel_mul": 1, "kernel_num": 2}),
])
def test_parameters_in_range_are_taken(fn, kw, same_as):
    s, t = batches(4, 3, 2)
    out = getattr(loss, fn)(s, t, **kw)
    assert torch.isfinite(out).all()
    if same_as is not None:
        assert torch.equal(out, getattr(loss, fn)(s, t, **same_as))


def test_tensor_kernel_mul_is_not_read():
    # Checking a tensor's value would wait for its device: such values are the caller's to keep. A
    # tensor fix_sigma is read by line 26's truth test anyway, and checked there.
    s, t = batches(3, 3, 2)
    assert loss.MMD(s, t, kernel_mul=torch.tensor(-2.0)).dim() == 0


# Rows a little apart, below what the dtype resolves: the ladder's smallest bandwidth (the data's
# divided by 8) underflows to 0. Just above, at 2**-72 in float32, the plain sequence holds.
UNRESOLVED = [(torch.float32, 2.0 ** -74), (torch.float32, 2.0 ** -80), (torch.bfloat16, 2.0 ** -74),
              (torch.float64, 2e-162), (torch.float64, 2.0 ** -537)]


@pytest.mark.parametrize("dtype, spread", UNRESOLVED)
@pytest.mark.parametrize("n, m", [(3, 4), (5, 5)])
def test_rows_closer_than_the_dtype_resolves_count_as_collapsed(dtype, spread, n, m):
    s = torch.zeros(n, 1, dtype=dtype, requires_grad=True)
    t = torch.full((m, 1), spread, dtype=dtype, requires_grad=True)
    k = loss.guassian_kernel_mmd(s, t)
    assert torch.equal(k, torch.full_like(k, 6))
    out = loss.MMD(s, t)
    out.backward()
    assert abs(out.item()) <= 16 * torch.finfo(dtype).eps
    assert torch.isfinite(s.grad).all() and torch.isfinite(t.grad).all()


@pytest.mark.parametrize("dtype, spread", [(torch.float32, 2.0 ** -72), (torch.float64, 1e-161)])
def test_rows_the_dtype_resolves_keep_the_plain_sequence(dtype, spread):
    s, t = torch.zeros(3, 1, dtype=dtype), torch.full((4, 1), spread, dtype=dtype)
    k = loss.guassian_kernel_mmd(s, t)
    assert torch.isfinite(k).all() and torch.equal(k, plain_kernel(s, t))
