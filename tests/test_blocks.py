"""The kernel's routes: in blocks of rows, or with what the sequence computes twice computed
once, the sequence's values bit for bit and its gradients within rounding; wherever anything
observes torch, the sequence's own calls."""
import os
import sys

import pytest
import torch
from torch.overrides import TorchFunctionMode

import loss
from helpers import counting_compile, in_threads, op_log, same

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "benchmarks"))
import reference  # noqa: E402  (the sequence, statement for statement)

kernel = loss.guassian_kernel_mmd
SMALL = (5, 4, 3)        # N^2 D = 243: broadcast, as the sequence does
LARGE = (50, 42, 64)     # N^2 D = 541,696: blocks of rows
WIDE = (3, 2, 24000)     # few rows of many features: N^2 D = 600,000
KWS = [{}, {"kernel_mul": 3, "kernel_num": 4}, {"kernel_num": 1}, {"fix_sigma": 2.5},
       {"kernel_mul": 1.5, "kernel_num": 5, "fix_sigma": 0}]


def batches(n, m, d, dtype=torch.float32, seed=0):
    g = torch.Generator().manual_seed(seed)
    return (torch.randn(n, d, generator=g).to(dtype), (torch.randn(m, d, generator=g) + 0.5).to(dtype))


def took_blocks(out):
    """Whether autograd's graph behind `out` holds the blocks' own backward."""
    seen, todo = set(), [out.grad_fn]
    while todo:
        node = todo.pop()
        if node is None or node in seen:
            continue
        seen.add(node)
        if "SquaredDistances" in type(node).__name__:
            return True
        todo.extend(f for f, _ in node.next_functions)
    return False


@pytest.mark.parametrize("size, blocks", [(SMALL, False), (LARGE, True), (WIDE, True)])
@pytest.mark.parametrize("dtype", [torch.float32, torch.float64, torch.bfloat16])
@pytest.mark.parametrize("kw", KWS)
def test_values_are_the_sequences_bit_for_bit(size, blocks, dtype, kw):
    s, t = batches(*size, dtype=dtype)
    for fn in ("guassian_kernel_mmd", "MMD"):
        got, want = getattr(loss, fn)(s, t, **kw), getattr(reference, fn)(s, t, **kw)
        assert got.dtype == dtype and torch.equal(got, want), fn
    a = s.clone().requires_grad_()
    assert took_blocks(kernel(a, t, **kw)) == blocks


@pytest.mark.parametrize("dtype, tol", [(torch.float64, 1e-12), (torch.float32, 1e-5)])
@pytest.mark.parametrize("kw", KWS[:2] + KWS[3:4])
def test_gradients_are_the_sequences_within_rounding(dtype, tol, kw):
    s, t = batches(*LARGE, dtype=dtype)
    n = LARGE[0] + LARGE[1]
    # A weight per entry, not symmetric: both halves of the backward are used.
    weights = torch.rand(n, n, generator=torch.Generator().manual_seed(1), dtype=dtype)
    grads = []
    for fn in (kernel, reference.guassian_kernel_mmd):
        a, b = s.clone().requires_grad_(), t.clone().requires_grad_()
        (fn(a, b, **kw) * weights).sum().backward()
        grads.append((a.grad, b.grad))
    for got, want in zip(*grads):
        torch.testing.assert_close(got, want, rtol=tol, atol=tol * want.abs().max().item())


def hvp(fn, s, t, v):
    a = s.clone().requires_grad_()
    g, = torch.autograd.grad(fn(a, t, fix_sigma=3.0), a, create_graph=True)
    h, = torch.autograd.grad((g * v).sum(), a)
    return h


def test_second_order():
    s, t = batches(*LARGE, dtype=torch.float64)
    v = torch.randn(s.shape, generator=torch.Generator().manual_seed(2), dtype=torch.float64)
    torch.testing.assert_close(hvp(loss.MMD, s, t, v), hvp(reference.MMD, s, t, v), rtol=1e-10, atol=1e-13)
    # The bandwidth from the data is held constant by design; with fix_sigma nothing is.
    inputs = [x.clone().requires_grad_() for x in batches(*WIDE[:2], 40000, dtype=torch.float64)]
    assert torch.autograd.gradgradcheck(lambda a, b: loss.MMD(a, b, fix_sigma=40000.0), inputs, fast_mode=True)
    assert torch.autograd.gradcheck(lambda a, b: kernel(a, b, fix_sigma=40000.0), inputs, fast_mode=True)


def test_forward_mode():
    import torch.autograd.forward_ad as fwAD
    s, t = batches(*LARGE, dtype=torch.float64)
    tangent = torch.randn(s.shape, generator=torch.Generator().manual_seed(3), dtype=torch.float64)
    got = []
    for fn in (kernel, reference.guassian_kernel_mmd):
        with fwAD.dual_level():
            out = fn(fwAD.make_dual(s, tangent), t, fix_sigma=3.0)
            got.append(fwAD.unpack_dual(out).tangent)
    torch.testing.assert_close(got[0], got[1], rtol=1e-10, atol=1e-13)
    # functorch's transforms see the sequence's calls.
    want = torch.func.jvp(lambda a: reference.MMD(a, t, fix_sigma=3.0), (s,), (tangent,))
    torch.testing.assert_close(torch.func.jvp(lambda a: loss.MMD(a, t, fix_sigma=3.0), (s,), (tangent,)), want)
    want = torch.func.grad(lambda a: reference.MMD(a, t))(s)
    torch.testing.assert_close(torch.func.grad(lambda a: loss.MMD(a, t))(s), want)


def test_forward_mode_over_a_backward():
    # A dual input's tangent rides along into the backward, which runs without create_graph.
    import torch.autograd.forward_ad as fwAD
    s, t = batches(*LARGE, dtype=torch.float64)
    tangent = torch.randn(s.shape, generator=torch.Generator().manual_seed(4), dtype=torch.float64)
    got = []
    for fn in (kernel, reference.guassian_kernel_mmd):
        a = s.clone().requires_grad_()
        with fwAD.dual_level():
            out = fn(fwAD.make_dual(a, tangent), t, fix_sigma=3.0)
            grad, = torch.autograd.grad((out * out).sum(), a)
            got.append((fwAD.unpack_dual(grad).primal, fwAD.unpack_dual(grad).tangent))
    for mine, theirs in zip(*got):
        torch.testing.assert_close(mine, theirs, rtol=1e-10, atol=1e-10)


@pytest.mark.parametrize("size", [SMALL, LARGE])
def test_a_single_kernel_may_be_changed_in_place(size):
    # With kernel_num=1 the result must not be the tensor torch.exp's backward keeps.
    s, t = batches(*size)
    for fn in (kernel, reference.guassian_kernel_mmd):
        a = s.clone().requires_grad_()
        out = fn(a, t, kernel_num=1)
        out.mul_(2)
        out.sum().backward()
        assert a.grad is not None


def test_retained_graph_hooks_and_anomaly_mode():
    s, t = batches(*LARGE)
    a = s.clone().requires_grad_()
    seen = []
    a.register_hook(lambda g: seen.append(g.shape))
    with torch.autograd.detect_anomaly():
        out = loss.MMD(a, t)
        first, = torch.autograd.grad(out, a, retain_graph=True)
        second, = torch.autograd.grad(out, a)
    assert torch.equal(first, second) and seen == [a.shape, a.shape]


def test_no_host_synchronisation():
    s, t = (x.requires_grad_() for x in batches(*LARGE))
    with torch.profiler.profile() as prof:
        torch.autograd.grad(loss.MMD(s, t), (s, t))
    names = {e.name for e in prof.events()}
    assert "aten::sub" in names
    assert not names & {"aten::item", "aten::_local_scalar_dense", "aten::is_nonzero", "aten::nonzero"}


@pytest.mark.parametrize("requires_grad, no_grad, square", [
    (False, False, "aten::pow_"), (True, True, "aten::pow_"), (True, False, "aten::pow")])
def test_differences_squared_in_place_where_autograd_records_nothing(requires_grad, no_grad, square):
    # One N x N x D temporary alive instead of two; recorded, autograd would copy it for pow_.
    s, t = (x.requires_grad_(requires_grad) for x in batches(*SMALL))
    with torch.profiler.profile() as prof, torch.set_grad_enabled(not no_grad):
        out = kernel(s, t)
        want = reference.guassian_kernel_mmd(s, t)
    squares = [e.name for e in prof.events() if e.name in ("aten::pow", "aten::pow_")]
    assert squares[0] == square and same(out, want)


class Logged(torch.Tensor):
    """A subclass whose every torch function call is logged."""
    log = []

    @classmethod
    def __torch_function__(cls, func, types, args=(), kwargs=None):
        cls.log.append(getattr(func, "__name__", str(func)))
        return super().__torch_function__(func, types, args, kwargs or {})


class FunctionLog(TorchFunctionMode):
    def __init__(self):
        super().__init__()
        self.log = []

    def __torch_function__(self, func, types, args=(), kwargs=None):
        self.log.append(getattr(func, "__name__", str(func)))
        return func(*args, **(kwargs or {}))


def observed(how, fn, s, t):
    """What `how` sees of `fn(s, t)`."""
    if how == "subclass":
        Logged.log = []
        fn(s.as_subclass(Logged), t.as_subclass(Logged))
        return Logged.log
    if how == "function mode":
        with FunctionLog() as mode:
            fn(s, t)
        return mode.log
    if how == "dispatch mode":
        with op_log() as mode:
            fn(s, t)
        return mode.ops
    from torch.fx.experimental.proxy_tensor import make_fx
    return [str(node.target) for node in make_fx(lambda a, b: fn(a, b))(s, t).graph.nodes]


@pytest.mark.parametrize("size", [SMALL, LARGE])
@pytest.mark.parametrize("how", ["subclass", "function mode", "dispatch mode", "traced"])
def test_observers_see_the_sequences_calls(how, size):
    s, t = (x.requires_grad_() for x in batches(*size))
    for fn in ("guassian_kernel_mmd", "MMD"):
        got = observed(how, getattr(loss, fn), s, t)
        assert got and got == observed(how, getattr(reference, fn), s, t), fn


@pytest.mark.parametrize("size", [SMALL, LARGE])
def test_an_observed_fix_sigma_sees_the_sequences_calls(size):
    # Plain inputs, but the bandwidth a subclass: it takes part in every kernel and the sum.
    s, t = batches(*size)
    logs = []
    for fn in (kernel, reference.guassian_kernel_mmd):
        Logged.log = []
        out = fn(s, t, fix_sigma=torch.tensor(3.0).as_subclass(Logged))
        logs.append((Logged.log, out.as_subclass(torch.Tensor)))
    assert logs[0][0] and logs[0][0] == logs[1][0] and torch.equal(logs[0][1], logs[1][1])


@pytest.mark.parametrize("make", [
    lambda s, t: (torch.nn.Parameter(s), t),        # not exactly a tensor
    lambda s, t: (s, t.double()),                   # two dtypes, promoted by torch.cat
    lambda s, t: (s.to_sparse(), t.to_sparse()),    # another layout
])
def test_other_inputs_keep_the_sequence(make):
    s, t = batches(*LARGE)
    s, t = make(s.requires_grad_(), t)
    try:
        want = reference.guassian_kernel_mmd(s, t)
    except (RuntimeError, NotImplementedError) as e:
        with pytest.raises(type(e)):
            kernel(s, t)
        return
    got = kernel(s, t)
    assert torch.equal(got, want) and not took_blocks(got)


def test_a_rebound_torch_keeps_the_sequence(monkeypatch):
    class Spy(object):
        def __getattr__(self, name):
            return getattr(torch, name)

    monkeypatch.setattr(loss, "torch", Spy())
    s, t = batches(*LARGE)
    out = kernel(s.requires_grad_(), t)
    assert torch.equal(out, reference.guassian_kernel_mmd(s, t)) and not took_blocks(out)


@pytest.mark.skipif(not torch._dynamo.is_dynamo_supported(), reason="no torch.compile on this interpreter")
def test_compiled_graphs_at_large_changing_sizes():
    allow = getattr(torch.compiler, "allow_in_graph", None) or torch._dynamo.allow_in_graph
    allow([loss.guassian_kernel_mmd, loss.MMD])
    step, made = counting_compile(loss.MMD, None)
    for n, m, d in [(50, 42, 64), (57, 41, 80), (70, 52, 96)]:
        s, t = batches(n, m, d)
        torch.testing.assert_close(step(s, t), reference.MMD(s, t).sum())
    assert 1 <= len(made) <= 2


def test_threads_share_no_buffer():
    cases = [batches(*LARGE, seed=k) for k in range(8)]
    serial = [loss.MMD(s, t) for s, t in cases]
    got = in_threads(lambda k: [loss.MMD(*cases[k]) for _ in range(3)], 8)
    assert all(same(g, serial[k]) for k, results in enumerate(got) for g in results)
