"""The guarded edges across the losses: no device synchronisation on any of their paths, empty
batches, and what the checks cost under torch.compile."""
import numpy as np
import pytest
import torch

import loss
from helpers import assert_steady, counting_compile, op_log

NAMES = ("guassian_kernel_mmd", "MMD", "compute_joint", "instance_contrastive_Loss",
         "category_contrastive_loss")
# Operations that copy a value to the host, which on CUDA waits for the device.
SYNCING = ("aten.item", "aten._local_scalar_dense", "aten.is_nonzero", "aten.nonzero")


def rows(n, d, dtype=torch.float32, shift=0.0, seed=0):
    g = torch.Generator().manual_seed(seed)
    return (torch.randn(n, d, generator=g) + shift).to(dtype)


def soft(n, k, seed):
    return rows(n, k, seed=seed).softmax(1)


HARD = torch.nn.functional.one_hot(torch.arange(8) % 4, 6)


@pytest.mark.parametrize("name, args, kw", [
    ("MMD", lambda: (rows(6, 3), rows(5, 3, shift=1)), {}),
    ("MMD", lambda: (rows(32, 16, torch.float16), rows(32, 16, torch.float16, shift=1)), {}),
    ("MMD", lambda: (torch.zeros(4, 3), torch.zeros(5, 3)), {}),
    ("MMD", lambda: (torch.zeros(3, 1), torch.full((4, 1), 2.0 ** -74)), {}),
    ("MMD", lambda: (rows(6, 3, torch.bfloat16), rows(5, 3, torch.bfloat16)), {"kernel_mul": 1.5, "fix_sigma": 2.0}),
    ("instance_contrastive_Loss", lambda: (soft(8, 4, 0), soft(8, 4, 1)), {}),
    ("instance_contrastive_Loss", lambda: (HARD.half(), HARD.half()), {}),
    ("instance_contrastive_Loss", lambda: (HARD.half(), HARD.half()), {"EPS": torch.tensor(1e-10)}),
    ("instance_contrastive_Loss", lambda: (HARD.half(), HARD.half()), {"EPS": np.float32(1e-10)}),
    ("instance_contrastive_Loss", lambda: (HARD.float(), HARD.float()), {"lamb": 2.0, "EPS": torch.tensor(1e-8)}),
])
def test_forward_and_backward_never_wait_for_the_device(name, args, kw):
    inputs = [a.requires_grad_() for a in args()]
    with op_log() as forward:
        out = getattr(loss, name)(*inputs, **kw)
    with op_log() as backward:
        torch.autograd.grad(out, inputs)
    ops = forward.ops + backward.ops
    assert not [op for op in ops if op.startswith(SYNCING)], ops
    assert forward.ops and backward.ops and torch.isfinite(out)


@pytest.mark.parametrize("dtype", [torch.float32, torch.float16])
def test_empty_batches_where_the_sum_over_nothing_is_right(dtype):
    # The kernel of the other batch's rows alone, and a sum over no samples, stay as they are.
    x = torch.rand(3, 2, dtype=dtype)
    assert torch.equal(loss.guassian_kernel_mmd(x[:1], x[:0]), torch.full((1, 1), 6, dtype=dtype))
    out = loss.category_contrastive_loss(x[:0], torch.zeros(0, dtype=torch.int64), 3, False)
    assert out.item() == 0


def allow():
    allow_in_graph = getattr(torch.compiler, "allow_in_graph", None) or torch._dynamo.allow_in_graph
    allow_in_graph([getattr(loss, n) for n in NAMES])


def pair_inputs(bn, k, name):
    if name == "MMD":
        return rows(bn, k), rows(bn + 3, k, shift=0.5, seed=1)
    return soft(bn, k, 0), soft(bn, k, 1)


compiles = pytest.mark.skipif(not torch._dynamo.is_dynamo_supported(), reason="no torch.compile here")


@compiles
@pytest.mark.parametrize("name", ["MMD", "compute_joint", "instance_contrastive_Loss"])
@pytest.mark.parametrize("dynamic, graphs", [(True, 1), (None, 2)])
def test_empty_checks_leave_batch_sizes_symbolic(name, dynamic, graphs):
    # The checks must not fix a symbolic batch size: one graph serves every size (dynamic), or
    # the second size makes the batch dynamic (default), as before the checks.
    allow()
    fn = getattr(loss, name)
    step, made = counting_compile(fn, dynamic)
    for bn in (4, 9, 17, 30, 52):
        a, b = pair_inputs(bn, 5, name)
        torch.testing.assert_close(step(a, b), fn(a, b).sum())
    assert 1 <= len(made) <= graphs


@compiles
def test_empty_batch_is_refused_under_compile():
    allow()
    torch._dynamo.reset()
    step = torch.compile(lambda a, b: loss.MMD(a, b), backend="aot_eager", fullgraph=True, dynamic=True)
    step(rows(6, 3), rows(5, 3))
    # torch wraps what a function in the graph raises while it traces.
    with pytest.raises(Exception, match=r"MMD\(\): target is an empty batch \(no rows\)"):
        step(rows(6, 3), rows(0, 3))



EMPTY = rows(4, 3)[:0]
TENSOR_EPS, NUMPY_EPS = torch.tensor(1e-10), np.float32(1e-10)
CLOSE = torch.full((4, 1), 2.0 ** -74)


@pytest.mark.parametrize("call, objs", [
    (lambda: loss.MMD(HARD.float(), EMPTY), (EMPTY,)),
    (lambda: loss.MMD(CLOSE, CLOSE, kernel_mul=0), (CLOSE,)),
    (lambda: loss.guassian_kernel_mmd(CLOSE, CLOSE, fix_sigma=-1.0), (CLOSE,)),
    (lambda: loss.compute_joint(EMPTY, EMPTY), (EMPTY,)),
    (lambda: loss.MMD(torch.zeros(3, 1), CLOSE), (CLOSE,)),
    (lambda: loss.instance_contrastive_Loss(HARD.half(), HARD.half(), EPS=TENSOR_EPS), (TENSOR_EPS,)),
    (lambda: loss.instance_contrastive_Loss(HARD.half(), HARD.half(), EPS=NUMPY_EPS), (NUMPY_EPS,)),
])
def test_guarded_paths_keep_no_references(call, objs):
    # Reference counts only: torch's own caches fill over the first few hundred calls.
    assert_steady(call, *objs, warmup=20, rounds=200, swallow=ValueError, blocks=False)
