"""Clusters scikit-learn's handwritten digits with the loss module.

Each digit is seen twice, through two random augmentations (noise, pixel
dropout, a shift of up to one pixel), by two small MLP encoders. Each encoder
ends in an embedding and a softmax head over 10 clusters. Training minimises
  instance_contrastive_Loss(head A, head B, lamb) the two views agree on a cluster
                                                  (lamb > 1 also rewards using every cluster)
  + MMD(embedding A, embedding B)               the two encoders' embeddings match
  + category_contrastive_loss on the 10% of samples whose label we keep.
At the end it prints cluster accuracy (best one-to-one matching of clusters to
digits) and NMI next to the same networks untrained, and plots the losses.
Usage: demo.py [--epochs N] [--out PATH] [--seed S]
"""
import argparse
import os
import sys
import time

import numpy as np
import torch
import torch.nn.functional as F
from scipy.optimize import linear_sum_assignment
from sklearn.datasets import load_digits
from sklearn.metrics import normalized_mutual_info_score

import loss

CLUSTERS = 10
LABELLED = 0.10


def augment(x, gen):
    """A random view of a batch of 8x8 digits in [0, 1]: shift, dropout, noise."""
    img = F.pad(x.view(-1, 1, 8, 8), (1, 1, 1, 1))
    dy, dx = torch.randint(0, 3, (2,), generator=gen).tolist()
    img = img[:, :, dy:dy + 8, dx:dx + 8].reshape(-1, 64)
    keep = (torch.rand(img.shape, generator=gen) > 0.2).to(img.dtype)
    return (img * keep + 0.1 * torch.randn(img.shape, generator=gen)).clamp(0.0, 1.0)


class Encoder(torch.nn.Module):
    def __init__(self, dim=32):
        super(Encoder, self).__init__()
        self.body = torch.nn.Sequential(torch.nn.Linear(64, 256), torch.nn.ReLU(),
                                        torch.nn.Linear(256, 128), torch.nn.ReLU(),
                                        torch.nn.Linear(128, dim))
        self.head = torch.nn.Linear(dim, CLUSTERS)

    def forward(self, x):
        z = F.normalize(self.body(x), dim=1)  # unit length: the category loss compares cosines
        return z, F.softmax(self.head(z) * 5.0, dim=1)


def cluster_accuracy(labels, pred):
    """Accuracy under the best one-to-one mapping of clusters onto labels."""
    count = np.zeros((CLUSTERS, CLUSTERS), dtype=np.int64)
    np.add.at(count, (pred, labels), 1)
    rows, cols = linear_sum_assignment(-count)
    return count[rows, cols].sum() / float(len(labels))


def evaluate(enc_a, enc_b, x, y):
    with torch.no_grad():
        pred = ((enc_a(x)[1] + enc_b(x)[1]) / 2).argmax(1).numpy()
    return cluster_accuracy(y, pred), normalized_mutual_info_score(y, pred)


def plot(history, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    epochs = np.arange(1, len(history["total"]) + 1)
    fig, axes = plt.subplots(1, 2, figsize=(11, 4))
    for key, label in (("total", "total"), ("instance", "instance_contrastive_Loss"),
                       ("mmd", "MMD (x weight)"), ("category", "category_contrastive_loss (x weight)")):
        axes[0].plot(epochs, history[key], label=label)
    axes[0].set(xlabel="epoch", ylabel="mean loss per batch", title="Training losses")
    axes[0].legend()
    axes[0].grid(alpha=0.3)
    axes[1].plot(epochs, history["acc"], label="cluster accuracy")
    axes[1].plot(epochs, history["nmi"], label="NMI")
    axes[1].axhline(history["base_acc"], color="C0", ls=":", label="untrained accuracy")
    axes[1].axhline(history["base_nmi"], color="C1", ls=":", label="untrained NMI")
    axes[1].set(xlabel="epoch", ylim=(0, 1), title="Clustering quality on all digits")
    axes[1].legend(loc="lower right")
    axes[1].grid(alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--epochs", type=int, default=40)
    p.add_argument("--batch", type=int, default=256)
    p.add_argument("--lamb", type=float, default=2.0)
    p.add_argument("--mmd-weight", type=float, default=0.1)
    p.add_argument("--category-weight", type=float, default=0.5)
    p.add_argument("--seed", type=int, default=0)
    p.add_argument("--out", default=os.path.join("out", "demo_losses.png"))
    opts = p.parse_args()
    started = time.time()
    torch.manual_seed(opts.seed)
    torch.set_num_threads(2)
    gen = torch.Generator().manual_seed(opts.seed)

    digits = load_digits()
    x = torch.tensor(digits.data / 16.0, dtype=torch.float32)
    y = digits.target
    labelled = torch.zeros(len(y), dtype=torch.bool)
    labelled[torch.randperm(len(y), generator=gen)[:int(LABELLED * len(y))]] = True
    y_t = torch.tensor(y, dtype=torch.int64)
    print("digits: %d samples, 64 pixels, %d labels kept (%.0f%%)"
          % (len(y), int(labelled.sum()), 100 * LABELLED))

    enc_a, enc_b = Encoder(), Encoder()
    base_acc, base_nmi = evaluate(enc_a, enc_b, x, y)
    print("untrained: accuracy %.3f  NMI %.3f" % (base_acc, base_nmi))
    opt = torch.optim.Adam(list(enc_a.parameters()) + list(enc_b.parameters()), lr=1e-3)
    history = dict((k, []) for k in ("total", "instance", "mmd", "category", "acc", "nmi"))
    history.update(base_acc=base_acc, base_nmi=base_nmi)

    for epoch in range(1, opts.epochs + 1):
        enc_a.train()
        enc_b.train()
        sums = dict(total=0.0, instance=0.0, mmd=0.0, category=0.0)
        order = torch.randperm(len(y), generator=gen)
        batches = [order[i:i + opts.batch] for i in range(0, len(y), opts.batch)]
        for idx in batches:
            za, pa = enc_a(augment(x[idx], gen))
            zb, pb = enc_b(augment(x[idx], gen))
            instance = loss.instance_contrastive_Loss(pa, pb, opts.lamb)
            mmd = opts.mmd_weight * loss.MMD(za, zb)
            mask = labelled[idx]
            z_lab = torch.cat([za[mask], zb[mask]])
            y_lab = torch.cat([y_t[idx][mask], y_t[idx][mask]])
            # Averaged per labelled sample, so its weight does not grow with the batch.
            category = opts.category_weight * loss.category_contrastive_loss(z_lab, y_lab, CLUSTERS, False) \
                / max(1, len(y_lab))
            total = instance + mmd + category
            opt.zero_grad()
            total.backward()
            opt.step()
            for key, value in (("total", total), ("instance", instance), ("mmd", mmd), ("category", category)):
                sums[key] += float(value) / len(batches)
        enc_a.eval()
        enc_b.eval()
        acc, nmi = evaluate(enc_a, enc_b, x, y)
        for key in sums:
            history[key].append(sums[key])
        history["acc"].append(acc)
        history["nmi"].append(nmi)
        print("epoch %2d/%d  total %+.4f  instance %+.4f  mmd %.4f  category %.4f  | acc %.3f  NMI %.3f"
              % (epoch, opts.epochs, sums["total"], sums["instance"], sums["mmd"], sums["category"], acc, nmi))
        sys.stdout.flush()

    out_dir = os.path.dirname(opts.out)
    if out_dir:
        os.makedirs(out_dir, exist_ok=True)
    plot(history, opts.out)
    print()
    print("               accuracy   NMI")
    print("untrained      %.3f      %.3f" % (base_acc, base_nmi))
    print("trained        %.3f      %.3f" % (history["acc"][-1], history["nmi"][-1]))
    print("loss curves:   %s" % os.path.abspath(opts.out))
    print("run time:      %.1f s" % (time.time() - started))


if __name__ == "__main__":
    main()
