"""The argument checks: integer features that wrap around, parameters every kind of real number
gives (NumPy's scalars, tensors read where line 26 reads them anyway), bandwidths out of the
features' range, batches without columns, EPS out of its range; and calls beside them that go on."""
import math

import numpy as np
import pytest
import torch

import loss
from helpers import entries

X, Y = torch.rand(6, 4), torch.rand(5, 4) + 100
U8 = torch.randint(0, 256, (6, 4), dtype=torch.uint8)
P = torch.rand(8, 4).softmax(1)
GT = torch.arange(6) % 3
WRAPS = "%s(): %s has dtype torch.%s, whose differences and squares wrap around; convert it to float first (as %s.float())"
MMD_AT = [("loss.MMD", "loss.py", 39)]
KERNEL_26 = [("loss.MMD", "loss.py", 52), ("loss.guassian_kernel_mmd", "loss.py", 26)]


@pytest.mark.parametrize("call, message, where", [
    (lambda: loss.MMD(U8, U8), WRAPS % ("MMD", "source", "uint8", "source"), MMD_AT),
    (lambda: loss.MMD(U8.bool(), U8.to(torch.int16)), WRAPS % ("MMD", "target", "int16", "target"), MMD_AT),
    (lambda: loss.guassian_kernel_mmd(U8.to(torch.int8), U8.to(torch.int32)),
     WRAPS % ("guassian_kernel_mmd", "source", "int8", "source"), [("loss.guassian_kernel_mmd", "loss.py", 7)]),
    (lambda: loss.category_contrastive_loss(U8, GT, 3, False), WRAPS % ("category_contrastive_loss", "repre", "uint8", "repre"),
     [("loss.category_contrastive_loss", "loss.py", 172)]),
    (lambda: loss.MMD(X, Y, fix_sigma=math.inf), "MMD(): fix_sigma must be finite, got inf", MMD_AT),
    (lambda: loss.MMD(X, Y, fix_sigma=np.float32("inf")), "MMD(): fix_sigma must be finite, got %r" % np.float32("inf"), MMD_AT),
    (lambda: loss.MMD(X, Y, fix_sigma=torch.tensor(math.inf)),
     "guassian_kernel_mmd(): fix_sigma must be finite, got tensor(inf)", KERNEL_26),
    (lambda: loss.MMD(X, Y, fix_sigma=torch.tensor(-1.0)),
     "guassian_kernel_mmd(): fix_sigma must be 0 or greater, got tensor(-1.)", KERNEL_26),
    (lambda: loss.MMD(X, Y, fix_sigma=np.int64(-1)), "MMD(): fix_sigma must be 0 or greater, got %r" % np.int64(-1), MMD_AT),
    (lambda: loss.MMD(X, Y, kernel_mul=np.float32(-2)), "MMD(): kernel_mul must be greater than 0, got %r" % np.float32(-2), MMD_AT),
    (lambda: loss.MMD(X, Y, kernel_mul=np.int64(0)), "MMD(): kernel_mul must be greater than 0, got %r" % np.int64(0), MMD_AT),
    (lambda: loss.MMD(X, Y, kernel_mul=math.inf), "MMD(): kernel_mul must be finite, got inf", MMD_AT),
    (lambda: loss.MMD(X, Y, fix_sigma=1e300),
     "MMD(): kernel_mul=2, kernel_num=6 and fix_sigma=1e+300 give bandwidths that overflow in float32", MMD_AT),
    (lambda: loss.MMD(X, Y, kernel_mul=1e-300),
     "MMD(): kernel_mul=1e-300, kernel_num=6 and fix_sigma=None give bandwidths that overflow in float32", MMD_AT),
    (lambda: loss.MMD(X.double(), Y.double(), fix_sigma=1e-320),
     "MMD(): kernel_mul=2, kernel_num=6 and fix_sigma=1e-320 give bandwidths that underflow in float64", MMD_AT),
    (lambda: loss.MMD(torch.rand(4, 0), torch.rand(3, 0)), "MMD(): source has no features (no columns)",
     [("loss.MMD", "loss.py", 48)]),
    (lambda: loss.category_contrastive_loss(torch.rand(6, 0), GT, 3, False),
     "category_contrastive_loss(): repre has no features (no columns)", [("loss.category_contrastive_loss", "loss.py", 172)]),
    (lambda: loss.instance_contrastive_Loss(torch.rand(8, 0), torch.rand(8, 0)),
     "instance_contrastive_Loss(): x_out has no scores (no columns)", [("loss.instance_contrastive_Loss", "loss.py", 152)]),
] + [
    (lambda e=e: loss.instance_contrastive_Loss(P, P, EPS=e),
     "instance_contrastive_Loss(): EPS must be finite and below 1, got %r" % (e,), [("loss.instance_contrastive_Loss", "loss.py", 150)])
    for e in (1.0, 2, math.inf, -math.inf, math.nan, np.float32(3))
])
def test_refused(call, message, where):
    with pytest.raises(ValueError) as info:
        call()
    assert str(info.value) == message
    assert entries(info.value) == where


def mmd64(x, y, widths):
    """MMD in float64 from the formula, the bandwidths given."""
    z = torch.cat([x, y]).double()
    d = ((z[:, None] - z[None]) ** 2).sum(2)
    k = sum(torch.exp(-d / w) for w in widths)
    n = len(x)
    return (k[:n, :n].mean() + k[n:, n:].mean() - k[:n, n:].mean() - k[n:, :n].mean()).item()


LADDER = [0.125, 0.25, 0.5, 1.0, 2.0, 4.0]


@pytest.mark.parametrize("call, expected", [
    # A float or int64 side stacks to a dtype that does not wrap.
    (lambda: loss.MMD(U8.float(), U8[:5]), None),
    (lambda: loss.MMD(U8.long(), U8[:5].long(), fix_sigma=2.0), mmd64(U8, U8[:5], [2 * w for w in LADDER])),
    (lambda: loss.MMD(X, Y, fix_sigma=torch.tensor(2.0)), mmd64(X, Y, [2 * w for w in LADDER])),
    (lambda: loss.MMD(X, Y, kernel_mul=np.float64(2), fix_sigma=np.int64(2)), mmd64(X, Y, [2 * w for w in LADDER])),
    (lambda: loss.MMD(X.double(), Y.double(), fix_sigma=1e300), mmd64(X, Y, [1e300 * w for w in LADDER])),
])
def test_accepted(call, expected):
    got = call().item()
    if expected is None:  # the bandwidth from the data: the value the float batches give
        expected = loss.MMD(U8.float(), U8[:5].float()).item()
    assert got == pytest.approx(expected, rel=1e-5, abs=1e-6)


def test_negative_eps_floors_nothing_as_zero_does():
    assert torch.equal(loss.instance_contrastive_Loss(P, P, EPS=-1.0), loss.instance_contrastive_Loss(P, P, EPS=0.0))
