"""The five functions' results and gradients on fixed inputs, one line each: the case, dtype,
shape, the first value, a digest of every byte, and whether the plain sequence of torch calls
(reference.py) gives the same bytes here. Two builds of the module (Linux and Windows under
Wine, say) with the same torch agree bit for bit where their lines are equal; where only the
digests differ and both say "= sequence", torch's own builds differ, not the module.
Usage: bitwise.py [OUT]    (OUT: also save the tensors there, to compare where lines differ)
"""
import hashlib
import os
import sys

import torch

import loss

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import reference  # noqa: E402


def inputs(dtype):
    g = torch.Generator().manual_seed(0)
    x = torch.randn(32, 16, generator=g, dtype=torch.float64).to(dtype)
    y = (torch.randn(24, 16, generator=g, dtype=torch.float64) + 0.5).to(dtype)
    p = torch.rand(32, 4, generator=g, dtype=torch.float64).softmax(1).to(dtype)
    q = torch.rand(32, 4, generator=g, dtype=torch.float64).softmax(1).to(dtype)
    labels = torch.randint(0, 4, (32,), generator=g)
    return x, y, p, q, labels


def cases(loss):
    for dtype in (torch.float32, torch.float64):
        name = str(dtype).replace("torch.", "")
        x, y, p, q, labels = inputs(dtype)
        yield name + " kernel", lambda a: loss.guassian_kernel_mmd(a, y), x
        yield name + " kernel mul 3 num 4", lambda a: loss.guassian_kernel_mmd(a, y, 3.0, 4), x
        yield name + " kernel fix_sigma 2", lambda a: loss.guassian_kernel_mmd(a, y, fix_sigma=2.0), x
        yield name + " MMD", lambda a: loss.MMD(a, y), x
        yield name + " MMD equal sizes", lambda a: loss.MMD(a, x.flip(0) + 1), x
        yield name + " compute_joint", lambda a: loss.compute_joint(a, q), p
        yield name + " instance", lambda a: loss.instance_contrastive_Loss(a, q), p
        yield name + " instance lamb 2", lambda a: loss.instance_contrastive_Loss(a, q, 2.0), p
        yield name + " category", lambda a: loss.category_contrastive_loss(a, labels, 4, False), x
        yield name + " category flag_gt", lambda a: loss.category_contrastive_loss(a, labels + 1, 4, True), x


def digest(t):
    return hashlib.sha256(t.detach().contiguous().numpy().tobytes()).hexdigest()[:16]


def line(name, t, plain):
    return "%-34s %-8s %-6s %-24r %s %s sequence" % (name, str(t.dtype).replace("torch.", ""),
                                                    "x".join(map(str, t.shape)) or "()", t.flatten()[0].item(),
                                                    digest(t), "=" if digest(t) == digest(plain) else "!=")


def results(module):
    for name, f, a in cases(module):
        a = a.clone().requires_grad_()
        out = f(a)
        (grad,) = torch.autograd.grad(out.sum(), a)
        yield name, out.detach()
        yield name + " grad", grad


def main(argv):
    torch.set_num_threads(1)
    saved = dict(results(loss))
    for (name, t), (_, plain) in zip(saved.items(), results(reference)):
        print(line(name, t, plain))
    if len(argv) > 1:
        torch.save(saved, argv[1])


if __name__ == "__main__":
    main(sys.argv)
