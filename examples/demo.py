"""The loss module at work on scikit-learn's handwritten digits (1797 images of 8x8 pixels).

1. Clustering, with labels kept for 10% of the digits. An encoder maps each
   digit to a 32-d embedding; two label-free cluster heads (10 clusters, and
   50 that over-cluster) score it against learned prototypes.
     category_contrastive_loss  each labelled digit must lie closer to its own
                                class than to any other (alone for 10 epochs)
     instance_contrastive_Loss  then two random views of a digit (pixel
                                dropout, noise) must fall in the same cluster of
                                each head, and every cluster must be used; the
                                heads start from k-means on the embedding
   Clusters are k-means on the learned embedding, scored against the true
   digits next to k-means on the raw pixels and on the untrained network.
2. Domain alignment. A classifier learns from labelled clean digits (source)
   and is scored on the other half of the digits on a noisy background
   (target, labels unseen).
     MMD                        the features of source and target batches must
                                have the same distribution
   It is compared with the same classifier trained on the source alone.

The summary table is printed first; then the loss curves and a picture of the learned
embedding go to out/demo.png (skipped, with a note, where matplotlib is not installed).
Usage: demo.py [--seed N] [--ablate instance|category|mmd|all] [--out PATH]
"""
import argparse
import os
import sys
import time

import numpy as np
import torch
import torch.nn.functional as F
from scipy.optimize import linear_sum_assignment
from sklearn.cluster import KMeans
from sklearn.datasets import load_digits
from sklearn.decomposition import PCA
from sklearn.metrics import normalized_mutual_info_score

import loss

CLASSES = 10
LABELLED = 0.10


def log(message):
    print(message)
    sys.stdout.flush()


# ---------------------------------------------------------------- data

def augment(x, gen):
    """A random view of each digit: 20% of the pixels dropped, then noise.

    No shifts: to a fully connected network a digit moved by one pixel is a
    new pattern, and learning that costs more than the demo's time.
    """
    keep = (torch.rand(x.shape, generator=gen) > 0.2).to(x.dtype)
    return (x * keep + 0.1 * torch.randn(x.shape, generator=gen)).clamp(0.0, 1.0)


def noisy_background(x, gen):
    """The target domain: uniform noise of up to 0.8 on every pixel."""
    return (x + 0.8 * torch.rand(x.shape, generator=gen)).clamp(0.0, 1.0)


# ---------------------------------------------------------------- scores

def cluster_accuracy(labels, pred):
    """Accuracy under the best one-to-one matching of clusters to labels."""
    count = np.zeros((CLASSES, CLASSES), dtype=np.int64)
    np.add.at(count, (pred, labels), 1)
    rows, cols = linear_sum_assignment(-count)
    return count[rows, cols].sum() / float(len(labels))


def scores(labels, pred):
    return cluster_accuracy(labels, pred), normalized_mutual_info_score(labels, pred)


def kmeans_scores(features, labels, seed):
    pred = KMeans(CLASSES, n_init=10, random_state=seed).fit_predict(features)
    return scores(labels, pred)


# ---------------------------------------------------------------- clustering

class ClusterNet(torch.nn.Module):
    """An encoder to a unit-length embedding, and two label-free cluster heads.

    Each head scores a digit by its cosine to learned prototypes: one prototype
    per digit, and a wider head that over-clusters. No label reaches the heads.
    """

    def __init__(self, dim=32, over=50):
        super(ClusterNet, self).__init__()
        self.hidden = torch.nn.Sequential(
            torch.nn.Linear(64, 256), torch.nn.BatchNorm1d(256), torch.nn.ReLU(),
            torch.nn.Linear(256, 128), torch.nn.BatchNorm1d(128), torch.nn.ReLU())
        self.project = torch.nn.Linear(128, dim)
        self.head = torch.nn.Linear(dim, CLASSES, bias=False)
        self.over = torch.nn.Linear(dim, over, bias=False)

    def forward(self, x):
        z = F.normalize(self.project(self.hidden(x)), dim=1)
        # The heads pass a tenth of their gradient to the encoder: at full strength
        # their partition overrode the classes that the labelled digits had set.
        zs = 0.1 * z + 0.9 * z.detach()
        # cosines lie in [-1, 1]; scaled so that a softmax can commit
        return (z, F.softmax(10.0 * zs @ F.normalize(self.head.weight, dim=1).t(), dim=1),
                F.softmax(10.0 * zs @ F.normalize(self.over.weight, dim=1).t(), dim=1))


def embed(net, x):
    """The embedding of every digit and the head's cluster for each."""
    net.eval()
    with torch.no_grad():
        z, p, _ = net(x)
    net.train()
    return z.numpy(), p.argmax(1).numpy()


def train_clustering(x, y, labelled, seed, instance_on=True, category_on=True,
                     epochs=40, batch=128, lamb_max=3.0, ramp=30, warmup=10):
    torch.manual_seed(seed)
    gen = torch.Generator().manual_seed(seed)
    net = ClusterNet()
    x_lab, y_lab = x[labelled], torch.as_tensor(y)[labelled]
    untrained = kmeans_scores(embed(net, x)[0], y, seed)
    opt = torch.optim.Adam(net.parameters(), lr=1e-3)
    curves = dict(instance=[], category=[], uniform=[])
    steps = len(y) // batch
    for epoch in range(1, epochs + 1):
        # lamb > 1 also rewards using every cluster equally; from a near-uniform
        # start a large lamb holds the assignments at uniform, so it grows from 1.
        lamb = 1.0 + (lamb_max - 1.0) * min(1.0, max(0, epoch - warmup - 1) / float(ramp))
        if epoch == warmup + 1:
            # Heads started at random settled into partitions that split some digits
            # and merged others; from k-means on the embedding (no labels) they refine.
            z0 = embed(net, x)[0]
            with torch.no_grad():
                for layer in (net.head, net.over):
                    km = KMeans(layer.out_features, n_init=1, random_state=seed).fit(z0)
                    layer.weight.copy_(torch.as_tensor(km.cluster_centers_, dtype=torch.float32))
        order = torch.randperm(len(y), generator=gen)
        sums = dict(instance=0.0, category=0.0)
        for i in range(steps):
            idx = order[i * batch:(i + 1) * batch]
            # All labelled digits in every step, so that each class has members to compare with.
            z, p, q = net(torch.cat([augment(x[idx], gen), augment(x[idx], gen), augment(x_lab, gen)]))
            # Measured during the warm-up too, so that the curve is whole.
            instance = (loss.instance_contrastive_Loss(p[:batch], p[batch:2 * batch], lamb)
                        + loss.instance_contrastive_Loss(q[:batch], q[batch:2 * batch], lamb)).sum()
            # A sum over the labelled digits, divided so that its weight does not depend on their number.
            category = loss.category_contrastive_loss(z[2 * batch:], y_lab, CLASSES, False) / len(y_lab)
            total = (instance if instance_on and epoch > warmup else 0.0) + (category if category_on else 0.0)
            if torch.is_tensor(total):  # with category off, the warm-up has nothing to train
                opt.zero_grad()
                total.backward()
                opt.step()
            sums["instance"] += instance.item() / steps
            sums["category"] += category.item() / steps
        curves["instance"].append(sums["instance"])
        curves["category"].append(sums["category"])
        curves["uniform"].append(-2.0 * (lamb - 1.0) * (np.log(CLASSES) + np.log(net.over.out_features)))
        if epoch % 5 == 0 or epoch == 1:
            head = scores(y, embed(net, x)[1])
            log("  epoch %2d/%d  lamb %.2f  instance %+7.3f  category %.3f  | head acc %.3f  NMI %.3f"
                % (epoch, epochs, lamb, sums["instance"], sums["category"], head[0], head[1]))
    z, head = embed(net, x)
    return dict(untrained=untrained, kmeans=kmeans_scores(z, y, seed), head=scores(y, head),
                curves=curves, embedding=z)


# ---------------------------------------------------------------- domain alignment

class Classifier(torch.nn.Module):
    def __init__(self):
        super(Classifier, self).__init__()
        self.features = torch.nn.Sequential(torch.nn.Linear(64, 256), torch.nn.ReLU(),
                                            torch.nn.Linear(256, 64), torch.nn.ReLU())
        self.out = torch.nn.Linear(64, CLASSES)

    def forward(self, x):
        f = self.features(x)
        return f, self.out(f)


SETTLED = 10  # the last epochs, whose mean target accuracy does not hang on where a run stops


def train_alignment(xs, ys, xt, yt, seed, mmd_on=True, epochs=20, batch=64, mmd_weight=0.5):
    """Learns from the labelled source; the target's labels only score it."""
    torch.manual_seed(seed)
    gen = torch.Generator().manual_seed(seed)
    net = Classifier()
    opt = torch.optim.Adam(net.parameters(), lr=1e-3)
    curves = dict(classification=[], mmd=[], target=[])
    steps = len(ys) // batch
    for epoch in range(1, epochs + 1):
        src, tgt = torch.randperm(len(ys), generator=gen), torch.randperm(len(xt), generator=gen)
        sums = dict(classification=0.0, mmd=0.0)
        for i in range(steps):
            s, t = src[i * batch:(i + 1) * batch], tgt[i * batch:(i + 1) * batch]
            fs, logits = net(xs[s])
            ft, _ = net(xt[t])
            classification = F.cross_entropy(logits, ys[s])
            # Measured in both runs, so the curves compare; only one trains on it.
            # A larger weight lets the features shrink together and the classes blur.
            mmd = loss.MMD(fs, ft)
            total = classification + (mmd_weight * mmd if mmd_on else 0.0)
            opt.zero_grad()
            total.backward()
            opt.step()
            sums["classification"] += classification.item() / steps
            sums["mmd"] += mmd.item() / steps
        with torch.no_grad():
            target_acc = float((net(xt)[1].argmax(1) == yt).float().mean())
        for key in sums:
            curves[key].append(sums[key])
        curves["target"].append(target_acc)
        if epoch % 5 == 0 or epoch == 1:
            log("  epoch %2d/%d  cross-entropy %.3f  MMD %.3f  | target acc %.3f"
                % (epoch, epochs, sums["classification"], sums["mmd"], target_acc))
    last = curves["target"][-SETTLED:]
    return dict(accuracy=curves["target"][-1], settled=sum(last) / len(last), curves=curves)


# ---------------------------------------------------------------- figure and summary

def plot(path, clustering, aligned, source_only, y):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import matplotlib.ticker
    fig, axes = plt.subplots(2, 2, figsize=(13, 9.5))

    ax = axes[0, 0]
    c = clustering["curves"]
    epochs = np.arange(1, len(c["instance"]) + 1)
    ax.plot(epochs, c["instance"], "C0", label="instance_contrastive_Loss")
    ax.plot(epochs, c["uniform"], "C0:", label="its value at uniform assignments")
    ax.set(xlabel="epoch", ylabel="instance_contrastive_Loss, both heads\n(from epoch 11; lamb grows from 1 to 3)",
           title="Clustering: training losses")
    ax.grid(alpha=0.3)
    cat_ax = ax.twinx()
    cat_ax.plot(epochs, c["category"], "C3", label="category_contrastive_loss per labelled digit")
    cat_ax.set(ylabel="category_contrastive_loss per labelled digit\n(1 when each is nearest its own class)",
               ylim=(0, 1.05))
    lines, more = ax.get_legend_handles_labels(), cat_ax.get_legend_handles_labels()
    ax.legend(lines[0] + more[0], lines[1] + more[1], fontsize=9, loc="lower left")

    ax = axes[0, 1]
    xy = PCA(2, random_state=0).fit_transform(clustering["embedding"])
    points = ax.scatter(xy[:, 0], xy[:, 1], c=y, cmap="tab10", s=6, vmin=-0.5, vmax=9.5)
    for digit in range(CLASSES):
        cx, cy = np.median(xy[y == digit], axis=0)
        ax.text(cx, cy, str(digit), fontsize=13, weight="bold", ha="center", va="center",
                bbox=dict(boxstyle="round,pad=0.15", fc="white", alpha=0.7, lw=0))
    fig.colorbar(points, ax=ax, ticks=range(CLASSES), label="true digit")
    ax.set(title="Clustering: learned embedding (PCA), coloured by true digit", xticks=[], yticks=[])

    a, s = aligned["curves"], source_only["curves"]
    epochs = np.arange(1, len(a["mmd"]) + 1)
    for ax in axes[1]:
        ax.xaxis.set_major_locator(matplotlib.ticker.MaxNLocator(integer=True))
    ax = axes[1, 0]
    ax.plot(epochs, a["classification"], "C0", label="cross-entropy, with MMD")
    ax.plot(epochs, s["classification"], "C0--", label="cross-entropy, source only")
    ax.plot(epochs, a["mmd"], "C1", label="MMD, with MMD")
    ax.plot(epochs, s["mmd"], "C1--", label="MMD, source only (measured, not trained on)")
    ax.set(xlabel="epoch", ylabel="mean loss per batch", title="Domain alignment: training losses")
    ax.legend(fontsize=9)
    ax.grid(alpha=0.3)

    ax = axes[1, 1]
    ax.plot(epochs, a["target"], "C2", label="with MMD")
    ax.plot(epochs, s["target"], "C2--", label="source only")
    ax.set(xlabel="epoch", ylabel="accuracy", ylim=(0, 1),
           title="Domain alignment: accuracy on the target digits (noisy background)")
    ax.legend(fontsize=9, loc="lower right")
    ax.grid(alpha=0.3)

    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)


def summary(raw, clustering, source_only, aligned):
    rows = ["clustering                         accuracy   NMI"]
    for label, (acc, nmi) in (("k-means on raw pixels", raw),
                              ("untrained network", clustering["untrained"]),
                              ("trained: head argmax", clustering["head"]),
                              ("trained: k-means on embedding", clustering["kmeans"])):
        rows.append("%-34s %.3f      %.3f" % (label, acc, nmi))
    # The source-only accuracy wobbles from epoch to epoch: the mean of the last epochs, and
    # the last epoch's, which alone could land on a high or a low.
    rows.append("domain alignment (target digits)   accuracy   last epoch")
    for label, run in (("source only", source_only), ("with MMD", aligned)):
        rows.append("%-34s %.3f      %.3f" % (label, run["settled"], run["accuracy"]))
    rows.append("(target accuracy: the mean over the last %d of %d epochs)"
                % (SETTLED, len(aligned["curves"]["target"])))
    return "\n".join(rows)


def ablation(opts, x, y, labelled, clustering, source_only, aligned):
    """Trains again with one loss off at a time; MMD off is the source-only run."""
    names = ("instance", "category", "mmd") if opts.ablate == "all" else (opts.ablate,)
    row = "%-26s %-6s %-6s    %-6s %-6s    %s"
    f3 = "%.3f"
    rows = ["ablation, seed %d           k-means on emb.  head argmax      target, mean of last %d epochs"
            % (opts.seed, SETTLED),
            row % ("", "acc", "NMI", "acc", "NMI", "acc"),
            row % (("all losses",) + tuple(f3 % v for v in clustering["kmeans"] + clustering["head"])
                   + (f3 % aligned["settled"],))]
    for name in names:
        if name == "mmd":
            rows.append(row % ("MMD off (source only)", "", "", "", "", f3 % source_only["settled"]))
            continue
        log("clustering with %s off:" % {"instance": "instance_contrastive_Loss",
                                          "category": "category_contrastive_loss"}[name])
        off = train_clustering(x, y, labelled, opts.seed, epochs=opts.epochs,
                               instance_on=(name != "instance"), category_on=(name != "category"))
        label = {"instance": "instance contrastive off", "category": "category contrastive off"}[name]
        rows.append(row % ((label,) + tuple(f3 % v for v in off["kmeans"] + off["head"]) + ("",)))
    return "\n".join(r.rstrip() for r in rows)


# ---------------------------------------------------------------- main

def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--seed", type=int, default=0)
    p.add_argument("--epochs", type=int, default=40, help="clustering epochs")
    p.add_argument("--ablate", choices=("instance", "category", "mmd", "all"),
                   help="also train with this loss off (all: each in turn) and compare")
    p.add_argument("--out", default=os.path.join("out", "demo.png"))
    opts = p.parse_args()
    started = time.time()
    torch.set_num_threads(1)  # the networks are small; on a busy 2-core machine threads only wait on each other
    np.random.seed(opts.seed)
    torch.manual_seed(opts.seed)

    digits = load_digits()
    x = torch.tensor(digits.data / 16.0, dtype=torch.float32)
    y = digits.target
    gen = torch.Generator().manual_seed(opts.seed)
    labelled = torch.zeros(len(y), dtype=torch.bool)
    labelled[torch.randperm(len(y), generator=gen)[:int(LABELLED * len(y))]] = True
    log("digits: %d images of 64 pixels, labels kept for %d (%.0f%%), seed %d"
        % (len(y), int(labelled.sum()), 100 * LABELLED, opts.seed))

    raw = kmeans_scores(x.numpy(), y, opts.seed)
    log("k-means on raw pixels: accuracy %.3f  NMI %.3f" % raw)
    log("clustering: category_contrastive_loss on the labelled digits, then also"
        " instance_contrastive_Loss on two views")
    clustering = train_clustering(x, y, labelled, opts.seed, epochs=opts.epochs)
    log("  untrained network, k-means on embedding: accuracy %.3f  NMI %.3f" % clustering["untrained"])
    log("  trained network, k-means on embedding:   accuracy %.3f  NMI %.3f" % clustering["kmeans"])

    # Source and target are disjoint halves of the digits.
    order = torch.randperm(len(y), generator=gen)
    src, tgt = order[:len(y) // 2], order[len(y) // 2:]
    y_all = torch.as_tensor(y)
    xs, ys = x[src], y_all[src]
    xt, yt = noisy_background(x[tgt], gen), y_all[tgt]
    log("domain alignment: %d labelled clean digits -> %d unlabelled digits on a noisy background"
        % (len(src), len(tgt)))
    log("source only:")
    source_only = train_alignment(xs, ys, xt, yt, opts.seed, mmd_on=False)
    log("with MMD between source and target features:")
    aligned = train_alignment(xs, ys, xt, yt, opts.seed, mmd_on=True)

    log("")
    log(summary(raw, clustering, source_only, aligned))
    if opts.ablate:
        log("")
        log(ablation(opts, x, y, labelled, clustering, source_only, aligned))
    log("")
    # Drawing comes last and is optional, so the table never depends on matplotlib.
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        log("figure skipped: matplotlib is not installed (pip install matplotlib to draw %s)" % opts.out)
    else:
        out_dir = os.path.dirname(opts.out)
        if out_dir:
            os.makedirs(out_dir, exist_ok=True)
        plot(opts.out, clustering, aligned, source_only, y)
        log("figure: %s" % os.path.abspath(opts.out))
    log("run time: %.1f s" % (time.time() - started))


if __name__ == "__main__":
    main()
