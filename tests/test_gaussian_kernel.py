import builtins

import pytest
import torch

import loss
from helpers import entries

f = loss.guassian_kernel_mmd
DATA = "data"  # base bandwidth taken from the mean distance over distinct pairs


def sites(exc):
    return [(name, line) for name, _, line in entries(exc)]


def distances(s, t):
    x = torch.cat([s, t]).double()
    return (x[:, None] - x[None]).pow(2).sum(-1)


def oracle(s, t, b0, factors):
    d = distances(s, t)
    if b0 is DATA:
        n = d.shape[0]
        b0 = d.detach().sum() / (n * n - n)  # held constant: no gradient through it
    return sum(torch.exp(-d / (b0 * q)) for q in factors)


def batches(n, m, dim, dtype=torch.float64, seed=0):
    g = torch.Generator().manual_seed(seed)
    return (torch.randn(n, dim, generator=g, dtype=dtype),
            torch.randn(m, dim, generator=g, dtype=dtype) + 0.5)


DEFAULT_LADDER = [1 / 8, 1 / 4, 1 / 2, 1, 2, 4]


@pytest.mark.parametrize("kw, b0, factors", [
    ({}, DATA, DEFAULT_LADDER),
    ({"fix_sigma": 1.0}, 1.0, DEFAULT_LADDER),
    ({"fix_sigma": 4}, 4.0, DEFAULT_LADDER),
    ({"fix_sigma": 0}, DATA, DEFAULT_LADDER),
    ({"fix_sigma": 0.0}, DATA, DEFAULT_LADDER),
    ({"fix_sigma": False}, DATA, DEFAULT_LADDER),
    ({"kernel_num": 5}, DATA, [1 / 4, 1 / 2, 1, 2, 4]),
    ({"kernel_num": 1}, DATA, [1]),
    ({"kernel_mul": 3, "kernel_num": 4}, DATA, [1 / 9, 1 / 3, 1, 3]),
    ({"kernel_mul": 1.5, "kernel_num": 3, "fix_sigma": 2.0}, 2.0, [1 / 1.5, 1, 1.5]),
])
@pytest.mark.parametrize("n, m, dim", [(4, 4, 3), (3, 5, 2), (1, 6, 4)])
@pytest.mark.parametrize("dtype, tol", [(torch.float64, 1e-12), (torch.float32, 1e-5)])
def test_matches_float64_oracle(kw, b0, factors, n, m, dim, dtype, tol):
    s, t = batches(n, m, dim, dtype)
    out = f(s, t, **kw)
    assert out.shape == (n + m, n + m) and out.dtype == dtype
    assert torch.allclose(out.double(), oracle(s, t, b0, factors), rtol=tol, atol=tol)
    assert torch.allclose(out.diagonal().double(), torch.full((n + m,), float(len(factors)), dtype=torch.float64))


@pytest.mark.parametrize("kernel_num", [0, -1])
def test_no_kernels_gives_int_zero(kernel_num):
    s, t = batches(3, 2, 2)
    out = f(s, t, kernel_num=kernel_num)
    assert type(out) is int and out == 0


@pytest.mark.parametrize("value", [1.0, 3.0])
def test_tensor_fix_sigma_is_left_alone(value):
    s, t = batches(3, 4, 2)
    sigma = torch.tensor(value, dtype=torch.float64)
    version = sigma._version
    out = f(s, t, fix_sigma=sigma)
    assert sigma.item() == value and sigma._version == version
    assert torch.allclose(out, f(s, t, fix_sigma=value), rtol=1e-14, atol=0)
    # A second call sees the same bandwidth, not one divided again.
    assert torch.allclose(f(s, t, fix_sigma=sigma), out, rtol=1e-14, atol=0)


@pytest.mark.parametrize("n, m, kw, b0, factors", [
    (3, 4, {}, DATA, DEFAULT_LADDER),
    (5, 2, {"kernel_num": 3, "kernel_mul": 1.7}, DATA, [1 / 1.7, 1, 1.7]),
    (2, 3, {"fix_sigma": 2.5}, 2.5, DEFAULT_LADDER),
])
def test_gradients_hold_bandwidth_constant(n, m, kw, b0, factors):
    s, t = batches(n, m, 3)
    weights = torch.rand(n + m, n + m, generator=torch.Generator().manual_seed(1), dtype=torch.float64)
    grads = []
    for fn in (lambda a, b: f(a, b, **kw), lambda a, b: oracle(a, b, b0, factors)):
        a, b = s.clone().requires_grad_(), t.clone().requires_grad_()
        (fn(a, b) * weights).sum().backward()
        grads.append((a.grad, b.grad))
    for got, want in zip(*grads):
        assert torch.allclose(got, want, rtol=1e-10, atol=1e-12)


@pytest.mark.parametrize("space", [loss, builtins])
@pytest.mark.parametrize("name", ["range", "sum"])
def test_rebinding_range_and_sum_has_no_effect(space, name, monkeypatch):
    s, t = batches(3, 4, 2)
    expected = f(s, t)

    def trap(*a, **k):
        raise AssertionError("looked up " + name)

    monkeypatch.setattr(space, name, trap, raising=False)
    out = f(s, t)
    monkeypatch.undo()
    assert torch.equal(out, expected)


@pytest.mark.parametrize("args, kw, exc, line", [
    ((torch.randn(4), torch.randn(3)), {}, IndexError, 19),
    ((torch.randn(2, 3, 2), torch.randn(2, 3, 2)), {}, RuntimeError, 19),
    ((torch.randn(3, 2), torch.randn(2, 3)), {}, RuntimeError, 17),
    ((torch.randn(3, 2), torch.randn(2, 2)), {"kernel_num": 6.0}, TypeError, 33),
    ((torch.randn(3, 2), torch.randn(2, 2)), {"fix_sigma": torch.ones(2)}, RuntimeError, 26),
])
def test_failure_lines(args, kw, exc, line):
    with pytest.raises(exc) as info:
        f(*args, **kw)
    assert sites(info.value) == [("loss.guassian_kernel_mmd", line)]


def test_missing_torch_global(monkeypatch):
    monkeypatch.delattr(loss, "torch")
    with pytest.raises(NameError) as info:
        f(torch.randn(2, 2), torch.randn(2, 2))
    assert str(info.value) == "name 'torch' is not defined"
    assert sites(info.value) == [("loss.guassian_kernel_mmd", 17)]


def plain_kernel(source, target, kernel_mul=2, kernel_num=6):
    """The op sequence without the guards for collapsed rows and float16."""
    n_samples = source.size(0) + target.size(0)
    total = torch.cat([source, target], dim=0)
    total0 = total.unsqueeze(0).expand(total.size(0), total.size(0), total.size(1))
    total1 = total.unsqueeze(1).expand(total.size(0), total.size(0), total.size(1))
    L2_distance = ((total0 - total1) ** 2).sum(2)
    bandwidth = torch.sum(L2_distance.data) / (n_samples ** 2 - n_samples)
    bandwidth /= kernel_mul ** (kernel_num // 2)
    return sum(torch.exp(-L2_distance / (bandwidth * kernel_mul ** i)) for i in range(kernel_num))


@pytest.mark.parametrize("dtype", [torch.float32, torch.float64, torch.bfloat16])
@pytest.mark.parametrize("n, m, dim", [(7, 5, 4), (2, 1, 3), (16, 16, 8)])
def test_distinct_rows_give_the_plain_sequence_bit_for_bit(dtype, n, m, dim):
    s, t = batches(n, m, dim, dtype, seed=n)
    assert torch.equal(f(s, t), plain_kernel(s, t))


ALL_FLOATS = [torch.float16, torch.bfloat16, torch.float32, torch.float64]


@pytest.mark.parametrize("dtype", ALL_FLOATS)
@pytest.mark.parametrize("n, m", [(6, 4), (3, 3), (1, 0), (0, 1)])
def test_collapsed_rows_give_kernel_num_everywhere(dtype, n, m):
    # Every pair at distance 0 (or no pair at all): each Gaussian is 1, not exp(-0/0).
    row = torch.tensor([[0.25, -1.0, 3.0]], dtype=dtype)
    out = f(row.expand(n, 3), row.expand(m, 3), kernel_num=5)
    assert out.dtype == dtype and torch.equal(out, torch.full((n + m, n + m), 5, dtype=dtype))
