"""Counts the graphs torch.compile makes when a step calls the losses with changing sizes and
arguments: the module's functions with allow_in_graph, against the plain-Python equivalent
(reference.py) compiled directly.

A graph is one call of the compiling backend; the backend here only counts and runs the graph
as traced, so nothing is timed and the counts do not depend on the machine. Each case starts
from torch._dynamo.reset() with its own step function, under dynamo's default recompile limit.
Besides the count, each case reports the first call of the series that fullgraph=True refuses
(usually: the recompile limit), or "none". With --export, it prints instead what torch.export
makes of MMD, strict and not, with the data's bandwidth and with a fixed one.
Usage: compile_graphs.py [--export]
"""
import argparse
import logging
import os
import platform
import sys
import types

import torch

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import loss  # noqa: E402
import reference  # noqa: E402

NAMES = ("guassian_kernel_mmd", "MMD", "compute_joint", "instance_contrastive_Loss",
         "category_contrastive_loss")
# (n, m, D): every one of the three changes along the series.
MMD_SIZES = [(8, 8, 4), (16, 12, 4), (24, 24, 8), (32, 20, 16), (40, 40, 16), (48, 36, 32),
             (56, 56, 32), (64, 60, 64), (72, 72, 64), (80, 70, 128)]
# (bn, k) for the contrastive losses.
PAIR_SIZES = [(8, 4), (16, 4), (24, 6), (32, 8), (40, 8), (48, 10), (56, 10), (64, 12), (72, 12), (80, 16)]
SIGMAS = [0.5, 1.0, 2.0, 4.0, 8.0]
MULS = [1.5, 2.0, 2.5, 3.0, 3.5]
NUMS = [2, 4, 6, 8, 10]
LAMBS = [0.5, 1.0, 1.5, 2.0, 2.5]


def allow(fns):
    """The user's one step: dynamo writes the calls into the graph as single nodes."""
    allow_in_graph = getattr(torch.compiler, "allow_in_graph", None) or torch._dynamo.allow_in_graph
    allow_in_graph(list(fns))


class CountingBackend:
    def __init__(self):
        self.graphs = 0

    def __call__(self, gm, example_inputs):
        self.graphs += 1
        return gm.forward


def mmd_inputs(n, m, d):
    g = torch.Generator().manual_seed(n * 1000 + m * 10 + d)
    return torch.randn(n, d, generator=g), torch.randn(m, d, generator=g) + 0.5


def pair_inputs(bn, k):
    g = torch.Generator().manual_seed(bn * 100 + k)
    return torch.randn(bn, k, generator=g).softmax(1), torch.randn(bn, k, generator=g).softmax(1)


def category_inputs(bn, d, classes=10):
    # The number of classes is a Python int, so it stays fixed; the batch and its features change.
    g = torch.Generator().manual_seed(bn * 100 + d)
    return torch.randn(bn, d, generator=g), torch.randint(0, classes, (bn,), generator=g), classes, False


def new_step(fn, tag):
    # A code object of its own per case, so no case finds another's cache entries.
    env = {"fn": fn}
    exec(compile("def step(*args, **kw):\n    return fn(*args, **kw).sum()\n", "<%s>" % tag, "exec"), env)
    return env["step"]


def count(fn, calls, dynamic=None, tag="case"):
    """(graphs made over `calls` without fullgraph, index of the first call fullgraph refuses)."""
    result = []
    for fullgraph in (False, True):
        torch._dynamo.reset()
        backend = CountingBackend()
        step = torch.compile(new_step(fn, "%s %s" % (tag, fullgraph)), backend=backend,
                             fullgraph=fullgraph, dynamic=dynamic)
        failed = None
        for i, (args, kw) in enumerate(calls):
            try:
                step(*args, **kw)
            except Exception as e:  # the refusal's type varies between torch versions
                failed = "call %d of %d: %s" % (i + 1, len(calls), type(e).__name__)
                break
        result.append(backend.graphs if not fullgraph else failed)
    return result[0], result[1] or "none"


def cases():
    """(label, function, calls, dynamic) for every series."""
    mmd_calls = [(mmd_inputs(*s), {}) for s in MMD_SIZES]
    pair_calls = [(pair_inputs(*s), {}) for s in PAIR_SIZES]
    cat_calls = [(category_inputs(*s), {}) for s in PAIR_SIZES]
    fixed = mmd_inputs(32, 32, 16)
    out = []
    for name in ("guassian_kernel_mmd", "MMD"):
        for side, fn in (("module, allow_in_graph", getattr(loss, name)),
                         ("Python equivalent", getattr(reference, name))):
            out.append(("%s, 10 sizes (n, m, D), %s" % (name, side), fn, mmd_calls, None))
        out.append(("%s, 10 sizes (n, m, D), module, allow_in_graph, dynamic=True" % name,
                    getattr(loss, name), mmd_calls, True))
    # The plain-Python equivalent made one node, as the module's functions are: a copy of the
    # function, so that the directly compiled series above still trace into the original.
    py_node = types.FunctionType(reference.MMD.__code__, vars(reference), "MMD", reference.MMD.__defaults__)
    allow([py_node])
    out.append(("MMD, 10 sizes (n, m, D), Python equivalent, allow_in_graph", py_node, mmd_calls, None))
    for key, values in (("fix_sigma", SIGMAS), ("kernel_mul", MULS), ("kernel_num", NUMS)):
        for side, fn in (("module, allow_in_graph", loss.MMD), ("Python equivalent", reference.MMD)):
            out.append(("MMD, 5 values of %s, %s" % (key, side), fn,
                        [(fixed, {key: v}) for v in values], None))
    for name, calls in (("compute_joint", pair_calls), ("instance_contrastive_Loss", pair_calls),
                        ("category_contrastive_loss", cat_calls)):
        dims = "(N, D), 10 classes" if name == "category_contrastive_loss" else "(N, k)"
        out.append(("%s, 10 sizes %s, module, allow_in_graph" % (name, dims), getattr(loss, name), calls, None))
    out.append(("instance_contrastive_Loss, 5 values of lamb, module, allow_in_graph",
                loss.instance_contrastive_Loss, [(pair_inputs(32, 8), {"lamb": v}) for v in LAMBS], None))
    return out


class ExportMMD(torch.nn.Module):
    def __init__(self, **kw):
        super().__init__()
        self.kw = kw

    def forward(self, source, target):
        return loss.MMD(source, target, **self.kw)


def exports():
    """What the exported program of a module calling MMD gives back, against the eager value."""
    print("## torch.export of a module that calls MMD\n")
    print("- Python %s, torch %s" % (platform.python_version(), torch.__version__))
    print()
    print("| export | fix_sigma | export | the program's result |")
    print("| --- | --- | --- | --- |")
    source, target = mmd_inputs(6, 5, 3)
    fake_type = torch._subclasses.FakeTensor
    for strict in (False, True):
        for kw in ({}, {"fix_sigma": 1.0}):
            cells = ["strict=%s" % strict, str(kw.get("fix_sigma"))]
            try:
                program = torch.export.export(ExportMMD(**kw), (source, target), strict=strict)
            except Exception as e:  # the refusal's type varies between torch versions
                cells += ["fails: %s: %s" % (type(e).__name__, str(e).splitlines()[0][:90]), ""]
            else:
                fakes = [name for name, c in program.constants.items() if isinstance(c, fake_type)]
                out = program.module()(source * 2, target)
                if isinstance(out, fake_type):
                    got = "a fake tensor (constants holding fake tensors: %s)" % ", ".join(fakes)
                else:
                    want = loss.MMD(source * 2, target, **kw)
                    got = "%.4f, eager %.4f" % (out, want)
                cells += ["succeeds", got]
            print("| %s |" % " | ".join(cells))


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--export", action="store_true", help="what torch.export makes of MMD, instead")
    args = p.parse_args()
    allow(getattr(loss, n) for n in NAMES)
    torch.set_num_threads(1)
    if args.export:
        exports()
        return
    # The recompile-limit warnings would bury the table; the table names the refusals.
    logging.getLogger("torch._dynamo").setLevel(logging.ERROR)
    print("## Graphs made by torch.compile over changing sizes and arguments\n")
    print("- Python %s, torch %s; a counting backend; recompile limit %s" % (
        platform.python_version(), torch.__version__,
        getattr(torch._dynamo.config, "recompile_limit", None) or torch._dynamo.config.cache_size_limit))
    print()
    print("| series | graphs | fullgraph=True refuses |")
    print("| --- | ---: | --- |")
    for i, (label, fn, calls, dynamic) in enumerate(cases()):
        graphs, failed = count(fn, calls, dynamic, tag="case %d" % i)
        print("| %s | %d | %s |" % (label, graphs, failed))
        sys.stdout.flush()


if __name__ == "__main__":
    main()
