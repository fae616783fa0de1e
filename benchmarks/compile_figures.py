"""The figures of docs/torch-compile.md that no other script prints.

  --autocast       each function under CPU autocast, per autocast dtype and per dtype of its
                   inputs: the result's dtype and how far it moves from the float32 value
                   without autocast (20 seeded draws; no compile).
  --graphs         graphs under dynamic=True when a first call has two sizes equal (n = m, or
                   n = D) and later calls have none (a counting backend; no inductor).
  --compile-times  wall seconds of the first call and of the first call at a second batch size
                   of MMD's forward and backward compiled with inductor, and of a third size;
                   each in a fresh interpreter with an empty inductor cache.
  --compiled-step  runs the page's compiled training step as it stands and prints its output.
Without an option, all four; the compiles take about a minute on 2 cores.
Usage: compile_figures.py [--autocast] [--graphs] [--compile-times] [--compiled-step]
"""
import argparse
import json
import os
import platform
import re
import statistics
import subprocess
import sys
import tempfile
import time

import torch

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import loss  # noqa: E402
from bench import machine  # noqa: E402
from compile_graphs import CountingBackend, allow, new_step  # noqa: E402

NAMES = ("guassian_kernel_mmd", "MMD", "compute_joint", "instance_contrastive_Loss",
         "category_contrastive_loss")
DRAWS = 20


def draw(name, seed):
    """Inputs as a training step hands them over: features (n, D) of two domains, sharp class
    probabilities of two views, 256 raw representations in 4 classes, some near another class."""
    g = torch.Generator().manual_seed(seed)
    if name in NAMES[:2]:
        return torch.randn(64, 32, generator=g), torch.randn(64, 32, generator=g) + 0.5
    if name in NAMES[2:4]:
        logits = 3 * torch.randn(64, 8, generator=g)
        return logits.softmax(1), (logits + torch.randn(64, 8, generator=g)).softmax(1)
    labels = torch.randint(0, 4, (256,), generator=g)
    z = torch.nn.functional.one_hot(labels, 16).float() + 1.5 * torch.randn(256, 16, generator=g)
    return z, labels, 4, False


def with_dtype(args, dtype):
    return tuple(a.to(dtype) if isinstance(a, torch.Tensor) and a.is_floating_point() else a for a in args)


def autocast():
    print("### Autocast on the CPU, per dtype of the inputs (%d draws)\n" % DRAWS)
    print("Deviation: the largest difference from the float32 result without autocast over that "
          "result's largest entry; median and largest over the draws.\n")
    print("| autocast dtype | inputs | function | result dtype | median deviation | largest | "
          "draws that moved by a whole step |")
    print("| --- | --- | --- | --- | ---: | ---: | ---: |")
    for dtype in (torch.bfloat16, torch.float16):
        for inputs in (torch.float32, dtype):
            for name in NAMES:
                fn = getattr(loss, name)
                devs, steps, example, out_dtype = [], 0, "", None
                for seed in range(DRAWS):
                    args = draw(name, seed)
                    want = fn(*args).double()
                    with torch.autocast("cpu", dtype=dtype):
                        got = fn(*with_dtype(args, inputs))
                    out_dtype = got.dtype
                    diff = (got.double() - want).abs().max().item()
                    devs.append(diff / want.abs().max().item())
                    # The category loss adds exactly 1 per sample nearest its own class.
                    if name == NAMES[4] and diff > 0.5:
                        steps += 1
                        example = example or " (draw %d: %.2f, autocast %.2f)" % (seed, want, got)
                print("| %s | %s | %s | %s | %.1e | %.1e | %s |" % (
                    str(dtype)[6:], str(inputs)[6:], name, str(out_dtype)[6:], statistics.median(devs), max(devs),
                    "%d of %d%s" % (steps, DRAWS, example) if name == NAMES[4] else ""))
    print()


def graphs():
    print("### Graphs under dynamic=True when sizes coincide (counting backend)\n")
    print("| first call (n, m, D) | later calls | graphs |")
    print("| --- | --- | ---: |")
    later = [(12, 16, 20), (20, 28, 12), (36, 24, 8)]
    for i, first in enumerate(((8, 8, 4), (8, 9, 8), (8, 9, 4))):
        torch._dynamo.reset()
        backend = CountingBackend()
        step = torch.compile(new_step(loss.MMD, "graphs %d" % i), backend=backend, fullgraph=True, dynamic=True)
        for n, m, d in (first,) + tuple(later):
            step(torch.randn(n, d), torch.randn(m, d))
        print("| %s | %s | %d |" % (first, ", ".join(str(s) for s in later), backend.graphs))
    print()


def timed_compiles():
    """In a child with an empty inductor cache: wall seconds of each size's first call."""
    torch.set_num_threads(1)
    allow([getattr(loss, n) for n in NAMES])
    step = torch.compile(new_step(loss.MMD, "compile times"), fullgraph=True)
    out = []
    for n in (128, 256, 512):
        s = torch.randn(n, 128, requires_grad=True)
        t = (torch.randn(n, 128) + 0.5).requires_grad_()
        t0 = time.perf_counter()
        torch.autograd.grad(step(s, t), (s, t))
        out.append(time.perf_counter() - t0)
    print(json.dumps(out))


def compile_times():
    print("### First calls of MMD forward and backward compiled with inductor (D = 128, one torch "
          "thread, empty inductor cache)\n")
    print("| run | n = m = 128 (first compile) | 256 (second size) | 512 (third size) |")
    print("| --- | ---: | ---: | ---: |")
    for run in (1, 2):
        with tempfile.TemporaryDirectory() as cache:
            env = dict(os.environ, TORCHINDUCTOR_CACHE_DIR=cache)
            got = subprocess.run([sys.executable, os.path.abspath(__file__), "--timed-compiles"], env=env,
                                 stdout=subprocess.PIPE, check=True, universal_newlines=True).stdout
        walls = json.loads(got.strip().splitlines()[-1])
        print("| %d | %s |" % (run, " | ".join("%.1f s" % w for w in walls)))
    print()


def compiled_step():
    """The block under "A compiled training step", run as a user would paste it."""
    page = os.path.join(HERE, os.pardir, "docs", "torch-compile.md")
    with open(page, encoding="utf-8") as f:
        text = f.read()
    section = text[text.index("## A compiled training step"):]
    code = re.search(r"^```python\n(.*?)^```", section, re.S | re.M).group(1)
    print("### The compiled training step of docs/torch-compile.md prints\n")
    out = subprocess.run([sys.executable, "-c", code], stdout=subprocess.PIPE, check=True,
                         universal_newlines=True).stdout
    print("```\n%s```\n" % out)


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    for opt in ("--autocast", "--graphs", "--compile-times", "--compiled-step"):
        p.add_argument(opt, action="store_true")
    p.add_argument("--timed-compiles", action="store_true", help=argparse.SUPPRESS)
    opts = p.parse_args()
    if opts.timed_compiles:
        timed_compiles()
        return
    every = not (opts.autocast or opts.graphs or opts.compile_times or opts.compiled_step)
    torch.set_num_threads(1)
    print("## Figures of docs/torch-compile.md\n")
    print("- machine: %s, %d cores; Python %s, torch %s; %s\n" % (
        machine(), os.cpu_count() or 0, platform.python_version(), torch.__version__, time.strftime("%Y-%m-%d")))
    allow([getattr(loss, n) for n in NAMES])
    if every or opts.autocast:
        autocast()
    if every or opts.graphs:
        graphs()
    if every or opts.compile_times:
        compile_times()
    if every or opts.compiled_step:
        compiled_step()


if __name__ == "__main__":
    main()
