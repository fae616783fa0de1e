"""The values the losses take on inputs whose answer is known: the figures of docs/api.md's
"What values to expect" and "Choosing the parameters".

Everything is seeded and in float64, so the figures do not depend on the machine beyond the
last digit. One torch thread; the run takes a few seconds.
Usage: expected_values.py
"""
import math
import os
import platform
import sys

import torch

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import loss  # noqa: E402
from bench import machine  # noqa: E402

D = 16
DRAWS = 50


def randn(g, *shape):
    return torch.randn(*shape, generator=g, dtype=torch.float64)


def mmd_one_distribution():
    """Two batches drawn from one distribution: the biased estimate is not 0, and shrinks as 1/n."""
    print("### MMD of two batches drawn from one distribution (N(0, I), D = %d, mean of %d draws)\n"
          % (D, DRAWS))
    print("| n = m | MMD mean | min | max | mean × n |")
    print("| ---: | ---: | ---: | ---: | ---: |")
    g = torch.Generator().manual_seed(0)
    for n in (8, 32, 128, 512):
        values = torch.stack([loss.MMD(randn(g, n, D), randn(g, n, D)) for _ in range(DRAWS)])
        mean = values.mean().item()
        print("| %d | %.3f | %.3f | %.3f | %.1f |" % (n, mean, values.min(), values.max(), mean * n))
    print()


def mmd_range():
    """From identical batches to two far-apart points, with the data's bandwidth and a fixed one."""
    print("### MMD's range (defaults: kernel_mul 2, kernel_num 6; bound 2 · kernel_num = 12)\n")
    print("| batches | data's bandwidth | fix_sigma=1.0 |")
    print("| --- | ---: | ---: |")
    g = torch.Generator().manual_seed(1)
    x = randn(g, 64, D)
    shifted = x + 0.5
    far_s = torch.zeros(64, D, dtype=torch.float64)
    far_t = torch.full((64, D), 100.0, dtype=torch.float64)
    for label, (s, t) in (("identical", (x, x.clone())),
                          ("64 rows of N(0, I), and the same rows shifted by 0.5", (x, shifted)),
                          ("64 rows of N(0, I), and 64 other draws of it", (x, randn(g, 64, D))),
                          ("one point, and one point far away", (far_s[:1], far_t[:1])),
                          ("64 copies of one point, 64 copies of a point far away", (far_s, far_t)),
                          ("one point, and 100 copies of a point far away",
                           (far_s[:1], torch.full((100, D), 100.0, dtype=torch.float64)))):
        print("| %s | %.4f | %.4f |" % (label, loss.MMD(s, t), loss.MMD(s, t, fix_sigma=1.0)))
    print()


def mmd_scale():
    """The data's bandwidth follows the data, so scaling every feature leaves the value as it is;
    a fixed bandwidth does not follow."""
    print("### Scaling every feature\n")
    print("| scale | MMD | MMD, fix_sigma=32.0 |")
    print("| ---: | ---: | ---: |")
    g = torch.Generator().manual_seed(2)
    s, t = randn(g, 32, D), randn(g, 32, D) + 0.5
    for scale in (0.01, 1.0, 100.0):
        print("| %g | %.4f | %.4f |" % (scale, loss.MMD(scale * s, scale * t),
                                        loss.MMD(scale * s, scale * t, fix_sigma=32.0)))
    print()


def mmd_parameters():
    """The value grows with kernel_num (a sum of kernels); kernel_mul widens the ladder."""
    print("### kernel_mul and kernel_num (n = m = 64, target shifted by 0.5)\n")
    g = torch.Generator().manual_seed(3)
    s, t = randn(g, 64, D), randn(g, 64, D) + 0.5
    same = randn(g, 64, D)
    print("| kernel_mul | kernel_num | MMD, shifted | MMD, one distribution | ratio |")
    print("| ---: | ---: | ---: | ---: | ---: |")
    for mul, num in ((2, 1), (2, 3), (2, 6), (2, 10), (1.5, 6), (3, 6)):
        a = loss.MMD(s, t, kernel_mul=mul, kernel_num=num).item()
        b = loss.MMD(s, same, kernel_mul=mul, kernel_num=num).item()
        print("| %g | %d | %.4f | %.4f | %.1f |" % (mul, num, a, b, a / b))
    print()


def category():
    """Each sample nearest its own class adds exactly 1; a misclassified one adds its margin."""
    print("### category_contrastive_loss\n")
    labels = torch.tensor([0, 0, 1, 1])
    right = torch.tensor([[1.0, 0.0], [0.9, 0.1], [0.0, 1.0], [0.1, 0.9]], dtype=torch.float64)
    # Rows (1, ±t): each sample's partner in its class is the one with the other sign, so it is
    # nearer the other class by t² on average.
    t = 0.067
    wrong = torch.tensor([[1.0, t], [1.0, -t], [1.0, t], [1.0, -t]], dtype=torch.float64)
    print("| batch | loss | loss / N |")
    print("| --- | ---: | ---: |")
    for label, repre in (("4 samples, 2 classes, each nearest its own class", right),
                         ("the same labels, each nearer the other class by %.4f" % (t * t), wrong)):
        value = loss.category_contrastive_loss(repre, labels, 2, False).item()
        print("| %s | %.3f | %.4f |" % (label, value, value / 4))
    # Unit-length rows, as after F.normalize: similarities lie in [-1, 1], so a margin in [0, 2].
    g = torch.Generator().manual_seed(4)
    unit = torch.nn.functional.normalize
    for n in (32, 128, 512):
        labels = torch.randint(0, 4, (n,), generator=g)
        clustered = unit(torch.nn.functional.one_hot(labels, 16).double() + 0.3 * randn(g, n, 16), dim=1)
        for label, repre in (("random", unit(randn(g, n, 16), dim=1)), ("clustered by label", clustered)):
            value = loss.category_contrastive_loss(repre, labels, 4, False).item()
            print("| N = %d, 4 classes, %s unit rows | %.2f | %.3f |" % (n, label, value, value / n))
    # Classes beyond those present still compete, each at mean similarity 0.
    g = torch.Generator().manual_seed(6)
    labels = torch.randint(0, 4, (32,), generator=g)
    repre = unit(randn(g, 32, 16), dim=1)
    for classes in (4, 5, 8):
        value = loss.category_contrastive_loss(repre, labels, classes, False).item()
        print("| N = 32, labels 0 to 3, random unit rows, classes=%d | %.3f | %.3f |" % (classes, value, value / 32))
    print()


def instance():
    """The best value is -(2·lamb - 1)·ln k (one-hot, balanced, both views agreeing); uniform
    assignments give -2·(lamb - 1)·ln k."""
    print("### instance_contrastive_Loss\n")
    print("| k | lamb | agreeing one-hot views | −(2·lamb − 1)·ln k | uniform views | −2·(lamb − 1)·ln k |"
          " random softmax views |")
    print("| ---: | ---: | ---: | ---: | ---: | ---: | ---: |")
    g = torch.Generator().manual_seed(5)
    for k in (4, 10):
        onehot = torch.eye(k, dtype=torch.float64).repeat(8, 1)
        uniform = torch.full((8 * k, k), 1.0 / k, dtype=torch.float64)
        a, b = randn(g, 8 * k, k).softmax(1), randn(g, 8 * k, k).softmax(1)
        for lamb in (1.0, 2.0):
            print("| %d | %g | %.4f | %.4f | %.4f | %.4f | %.4f |" % (
                k, lamb, loss.instance_contrastive_Loss(onehot, onehot, lamb),
                -(2 * lamb - 1) * math.log(k), loss.instance_contrastive_Loss(uniform, uniform, lamb),
                -2 * (lamb - 1) * math.log(k), loss.instance_contrastive_Loss(a, b, lamb)))
    print()


def half_precision():
    """float16 probabilities: the lift touches exact zeros only, so clusters beyond 128 (joint
    entries below float16's smallest normal number) keep their value."""
    print("### instance_contrastive_Loss in float16 (default EPS)\n")
    print("| views | float16 | float32 |")
    print("| --- | ---: | ---: |")
    onehot = torch.nn.functional.one_hot(torch.arange(8) % 4, 4)
    cases = [("8 samples, hard assignments to 4 clusters", onehot, onehot)]
    for k in (160, 256):
        uniform = torch.full((8, k), 1.0 / k)
        cases.append(("uniform over k = %d" % k, uniform, uniform))
    g = torch.Generator().manual_seed(7)
    cases.append(("random softmax, k = 256, N = 1024",
                  torch.randn(1024, 256, generator=g).softmax(1), torch.randn(1024, 256, generator=g).softmax(1)))
    for label, a, b in cases:
        print("| %s | %.4f | %.4f |" % (label, loss.instance_contrastive_Loss(a.half(), b.half()),
                                        loss.instance_contrastive_Loss(a.float(), b.float())))
    print()


def main():
    torch.set_num_threads(1)
    print("## Values to expect\n")
    print("- machine: %s, %d cores; Python %s, torch %s; float64, seeded\n" % (
        machine(), os.cpu_count() or 0, platform.python_version(), torch.__version__))
    mmd_one_distribution()
    mmd_range()
    mmd_scale()
    mmd_parameters()
    category()
    instance()
    half_precision()


if __name__ == "__main__":
    main()
