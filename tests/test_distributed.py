"""One data-parallel training step with the losses, two gloo processes on this machine."""
import os
import sys
import time
from datetime import timedelta

import pytest
import torch

import loss

dist = pytest.importorskip("torch.distributed")
if not dist.is_available() or not dist.is_gloo_available():
    pytest.skip("torch.distributed with gloo is not available", allow_module_level=True)

import torch.multiprocessing as mp  # noqa: E402
from torch.nn.parallel import DistributedDataParallel  # noqa: E402

WORLD = 2
CLASSES = 3


def _model():
    torch.manual_seed(0)
    return torch.nn.Linear(5, 4).double()


def _batch():
    g = torch.Generator().manual_seed(1)
    source = torch.randn(8, 5, generator=g, dtype=torch.float64)
    target = torch.randn(8, 5, generator=g, dtype=torch.float64) + 0.5
    augmented = source + 0.1 * torch.randn(8, 5, generator=g, dtype=torch.float64)
    # Every class in both halves, so each half has a class with two members.
    labels = torch.tensor([0, 1, 2, 0, 1, 2, 2, 0])
    return source, target, augmented, labels


def _half(rank, tensors):
    return [t.chunk(WORLD)[rank] for t in tensors]


def _step_loss(model, fns, source, target, augmented, labels):
    mmd, contrastive, category = fns
    zs, zt, za = model(source), model(target), model(augmented)
    return (mmd(zs, zt)
            + contrastive(torch.softmax(zs, dim=1), torch.softmax(za, dim=1))
            + category(zs, labels, CLASSES, False))


def _global_mmd_step(mmd, source, target):
    """MMD of the whole batch across ranks: each rank gathers every rank's features with a
    gather that carries gradients back to their owners, then computes the same value."""
    import torch.distributed.nn.functional as dist_fn

    model = DistributedDataParallel(_model())
    zs, zt = model(source), model(target)
    value = mmd(torch.cat(dist_fn.all_gather(zs)), torch.cat(dist_fn.all_gather(zt)))
    value.backward()
    return value.detach(), [p.grad.clone() for p in model.parameters()]


def _worker(rank, out_dir, fns):
    # Unpickled by name: the worker's own module functions, not copies.
    by_name = all(f is getattr(loss, f.__name__) for f in fns)
    if sys.platform.startswith("linux"):
        os.environ.setdefault("GLOO_SOCKET_IFNAME", "lo")
    # A file store: no port to pick and lose to another process in between.
    dist.init_process_group("gloo", init_method="file://" + os.path.join(out_dir, "store"),
                            rank=rank, world_size=WORLD, timeout=timedelta(seconds=300))
    try:
        model = DistributedDataParallel(_model())
        opt = torch.optim.SGD(model.parameters(), lr=0.1)
        opt.zero_grad()
        _step_loss(model, fns, *_half(rank, _batch())).backward()
        grads = [p.grad.clone() for p in model.parameters()]
        opt.step()
        global_value, global_grads = _global_mmd_step(fns[0], *_half(rank, _batch()[:2]))
        path = os.path.join(out_dir, "rank%d.pt" % rank)
        torch.save({"by_name": by_name, "grads": grads,
                    "params": [p.detach().clone() for p in model.parameters()],
                    "global_value": global_value, "global_grads": global_grads}, path + ".tmp")
        os.replace(path + ".tmp", path)
    finally:
        dist.destroy_process_group()
    # gloo's threads can abort the interpreter's shutdown ("terminate called without an active
    # exception") after the step is done and saved; leave without it. A step that raised never
    # gets here, and its traceback reaches the parent as before.
    sys.stdout.flush()
    sys.stderr.flush()
    os._exit(0)


def _reference():
    """Mean of the gradients of the two half-batches, computed here in one process."""
    model, fns = _model(), (loss.MMD, loss.instance_contrastive_Loss, loss.category_contrastive_loss)
    grads = []
    for rank in range(WORLD):
        model.zero_grad()
        _step_loss(model, fns, *_half(rank, _batch())).backward()
        grads.append([p.grad.clone() for p in model.parameters()])
    mean = [sum(gs) / WORLD for gs in zip(*grads)]
    params = [p.detach() - 0.1 * g for p, g in zip(model.parameters(), mean)]
    return grads, mean, params


def _whole_batch_mmd():
    model = _model()
    source, target = _batch()[:2]
    value = loss.MMD(model(source), model(target))
    value.backward()
    halves = [loss.MMD(*(model(t) for t in _half(rank, (source, target)))).detach() for rank in range(WORLD)]
    return value.detach(), [p.grad for p in model.parameters()], halves


def test_ddp_gradients_are_the_mean_of_the_half_batches(tmp_path):
    fns = (loss.MMD, loss.instance_contrastive_Loss, loss.category_contrastive_loss)
    ctx = mp.spawn(_worker, args=(str(tmp_path), fns), nprocs=WORLD, join=False)
    # Bounds a hang only: on a loaded machine each worker's import of torch alone can take a minute.
    deadline = time.time() + 600
    while not ctx.join(timeout=5):
        if time.time() > deadline:
            for p in ctx.processes:
                p.terminate()
            pytest.fail("workers did not finish in time")
    halves, mean, params = _reference()
    # The halves really differ, so averaging is what makes the ranks agree.
    assert not all(torch.allclose(a, b) for a, b in zip(*halves))
    assert all(m.abs().max() > 0 for m in mean)
    for rank in range(WORLD):
        got = torch.load(str(tmp_path / ("rank%d.pt" % rank)), weights_only=True)
        assert got["by_name"]
        for g, m in zip(got["grads"], mean):
            torch.testing.assert_close(g, m, rtol=1e-10, atol=1e-12)
        for p, q in zip(got["params"], params):
            torch.testing.assert_close(p, q, rtol=1e-10, atol=1e-12)
    # The gathered pattern: every rank holds the whole batch's MMD, not its own half's, and
    # the gather's backward sums what each rank sends back, which DDP's mean turns into the
    # whole batch's gradient.
    value, grads, halves = _whole_batch_mmd()
    assert all(abs(h - value) > 1e-3 for h in halves)
    for rank in range(WORLD):
        got = torch.load(str(tmp_path / ("rank%d.pt" % rank)), weights_only=True)
        torch.testing.assert_close(got["global_value"], value, rtol=1e-10, atol=1e-12)
        for g, w in zip(got["global_grads"], grads):
            torch.testing.assert_close(g, w, rtol=1e-10, atol=1e-12)
