"""The losses under torch.compile and torch.func."""
import pytest
import torch

import loss
from helpers import counting_compile

NAMES = ("guassian_kernel_mmd", "MMD", "compute_joint", "instance_contrastive_Loss",
         "category_contrastive_loss")


def inputs(name):
    """Small float64 batches shaped as in training, and the keywords of the call."""
    g = torch.Generator().manual_seed(0)

    def randn(*shape):
        return torch.randn(*shape, generator=g, dtype=torch.float64)

    if name in ("guassian_kernel_mmd", "MMD"):
        return [randn(24, 16), randn(20, 16) + 0.5], {}
    if name in ("compute_joint", "instance_contrastive_Loss"):
        kw = {"lamb": 1.5} if name == "instance_contrastive_Loss" else {}
        return [randn(64, 10).softmax(1), randn(64, 10).softmax(1)], kw
    # Labels 1..10 with flag_gt, so the shift runs inside the graph too.
    return [randn(64, 10), torch.randint(1, 11, (64,), generator=g)], {"classes": 10, "flag_gt": True}


@pytest.mark.skipif(not torch._dynamo.is_dynamo_supported(), reason="no torch.compile on this interpreter")
@pytest.mark.parametrize("name", NAMES)
def test_compiled_matches_eager(name):
    # The user's one step; torch.compiler's spelling forwards to dynamo's on every torch we support.
    allow = getattr(torch.compiler, "allow_in_graph", None) or torch._dynamo.allow_in_graph
    allow([getattr(loss, n) for n in NAMES])
    torch._dynamo.reset()
    fn = getattr(loss, name)

    def step(*args, **kw):
        return fn(*args, **kw).sum() * 0.5

    args, kw = inputs(name)
    leaves = [a.requires_grad_() for a in args if a.is_floating_point()]
    want = step(*args, **kw)
    want_grads = torch.autograd.grad(want, leaves)
    # fullgraph: a graph break raises instead of running the call eagerly. aot_eager traces the
    # calls into the graph inductor would get, without inductor's C++ build, which on torch 2.4
    # uses -ffast-math and so turns on flush-to-zero for the rest of the process.
    got = torch.compile(step, fullgraph=True, backend="aot_eager")(*args, **kw)
    got_grads = torch.autograd.grad(got, leaves)
    torch.testing.assert_close(got, want)
    torch.testing.assert_close(got_grads, want_grads)


def test_func_grad_matches_autograd():
    (source, target), _ = inputs("MMD")
    got = torch.func.grad(lambda s: loss.MMD(s, target))(source)
    s = source.clone().requires_grad_()
    want, = torch.autograd.grad(loss.MMD(s, target), s)
    torch.testing.assert_close(got, want)


# Every one of n, m and D changes, and no two are equal, so dynamo's duck sizing merges nothing.
SIZES = [(8, 6, 4), (16, 12, 5), (24, 20, 8), (33, 17, 16), (40, 30, 7)]


@pytest.mark.skipif(not torch._dynamo.is_dynamo_supported(), reason="no torch.compile on this interpreter")
@pytest.mark.parametrize("name", ["guassian_kernel_mmd", "MMD"])
@pytest.mark.parametrize("dynamic, graphs", [(True, 1), (None, 2)])
def test_one_graph_across_batch_sizes(name, dynamic, graphs):
    # int() of a symbolic size would fix each graph to one (n, m, D): a graph per size, and
    # fullgraph fails once the recompile limit is reached. By default the first call is
    # compiled static and the second makes every size that changed dynamic.
    allow = getattr(torch.compiler, "allow_in_graph", None) or torch._dynamo.allow_in_graph
    allow([getattr(loss, n) for n in NAMES])
    fn = getattr(loss, name)
    step, made = counting_compile(fn, dynamic)
    g = torch.Generator().manual_seed(0)
    for n, m, d in SIZES:
        s = torch.randn(n, d, generator=g, dtype=torch.float64)
        t = torch.randn(m, d, generator=g, dtype=torch.float64)
        torch.testing.assert_close(step(s, t), fn(s, t).sum())
    # At most: another torch may merge more; a graph per size is the fault this catches.
    assert 1 <= len(made) <= graphs
