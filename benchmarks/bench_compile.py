"""Times the losses under torch.compile: the module, its functions allowed into the graph, against
the compiled plain-Python equivalent (reference.py), forward and forward + backward.

Each row runs module compiled and Python compiled back to back, round after round, in one
process, and reports the medians of their times and of the per-round ratios; the eager module's
time stands beside them. The peak resident memory one call adds is measured in a fresh
interpreter per function, eager and compiled, after warm-up calls (which compile) and with the
high-water mark reset, so that compiling's own memory is not counted.
Table:
  (d) realistic sizes from bench.py: time per call, ratio = module compiled / Python compiled,
      and the peak memory of the module eager and compiled.
Usage: bench_compile.py [--quick] [--threads N]
"""
import argparse
import ctypes
import gc
import json
import os
import platform
import statistics
import subprocess
import sys
import time
import timeit

import torch

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import loss  # noqa: E402
import reference  # noqa: E402
from bench import NAMES, beyond_noise, high_water_kib, machine, missed, noise, real_inputs, row, verdict  # noqa: E402

SIZES = dict({n: (256, 10) for n in NAMES[2:]}, guassian_kernel_mmd=(512, 128), MMD=(512, 128))
PASSES = ("forward", "forward+backward")


def allow_module():
    """The user's one step: dynamo writes the calls into the graph instead of breaking on them."""
    allow = getattr(torch.compiler, "allow_in_graph", None) or torch._dynamo.allow_in_graph
    allow([getattr(loss, n) for n in NAMES])


def make_step(fn, tag):
    # A code object of its own per side and pass, so dynamo's cache entries never share guards.
    env = {"fn": fn}
    exec(compile("def step(*args):\n    return fn(*args).sum()\n", "<step %s>" % tag, "exec"), env)
    return env["step"]


def case_inputs(name, backward, size=None):
    args = list(real_inputs(name, size or SIZES[name]))
    if backward:
        args = [a.clone().requires_grad_() if isinstance(a, torch.Tensor) and a.is_floating_point() else a
                for a in args]
    return args


def runner(step, args, backward):
    """A no-argument call of one step: the forward, or the forward and the gradients."""
    if not backward:
        return lambda: step(*args)
    leaves = [a for a in args if isinstance(a, torch.Tensor) and a.requires_grad]
    return lambda: torch.autograd.grad(step(*args), leaves)


def sides(name, backward, size=None):
    """(label, call, first-call seconds) for module compiled, Python compiled, module eager."""
    args = case_inputs(name, backward, size)
    tag = "%s %s %s" % (name, PASSES[backward], size)
    out = []
    for label, fn, compiled in (("module", getattr(loss, name), True),
                                ("python", getattr(reference, name), True),
                                ("eager", getattr(loss, name), False)):
        step = make_step(fn, "%s %s" % (label, tag))
        if compiled:
            step = torch.compile(step, fullgraph=True)
        call = runner(step, args, backward)
        t0 = time.perf_counter()
        call()
        first = time.perf_counter() - t0
        # Calls after the first still pay for the backward's compile and for busy compile workers.
        t0, n = time.perf_counter(), 0
        while n < 3 or time.perf_counter() - t0 < 0.3:
            call()
            n += 1
        out.append((label, call, first))
    return out


def per_call(call, number):
    return timeit.Timer(call).timeit(number) / number


def batch_size(call, batch_s):
    return max(1, int(batch_s / max(per_call(call, 1), 1e-9)))


def compare(module, python, rounds, batch_s):
    """Median seconds per call of each side, the median of the per-round ratios and their noise
    band: the two batches of a round run back to back, so a change in the machine's load falls
    on both."""
    n_mod, n_py = batch_size(module, batch_s), batch_size(python, batch_s)
    tm, tp, ratios = [], [], []
    # One collection per row: with dynamo loaded a full one takes about half a second, and
    # timeit keeps the collector off inside each batch anyway.
    gc.collect()
    for r in range(rounds):
        # Swap who goes first every round so neither always runs on a warm cache.
        if r % 2:
            a = per_call(module, n_mod)
            b = per_call(python, n_py)
        else:
            b = per_call(python, n_py)
            a = per_call(module, n_mod)
        tm.append(a)
        tp.append(b)
        ratios.append(a / b)
    return statistics.median(tm), statistics.median(tp), statistics.median(ratios), noise(ratios)


def eager_time(call, budget_s):
    """Median seconds per call of the eager module, beside the compiled rows; a few calls suffice."""
    number = batch_size(call, budget_s / 5)
    return statistics.median(per_call(call, number) for _ in range(5))


# ---- peak memory, each function in a fresh interpreter

def reset_high_water():
    """Hands freed heap back to the system and sets VmHWM to the current resident set.
    False where the kernel does not let a process reset its own mark."""
    try:
        ctypes.CDLL(None).malloc_trim(0)
    except (OSError, AttributeError):
        pass
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def peak_case(name):
    """Run in a child: the resident-memory peak one call adds, in MiB, for each mode and pass
    (None where it cannot be told). Trimming before each reset returns freed pages, so a call
    that reuses memory an earlier one freed still counts it."""
    allow_module()
    out = {}
    for mode in ("eager", "compiled"):
        for backward in (False, True):
            step = make_step(getattr(loss, name), "%s %s %d" % (name, mode, backward))
            if mode == "compiled":
                step = torch.compile(step, fullgraph=True)
            call = runner(step, case_inputs(name, backward), backward)
            call()
            call()
            gc.collect()
            if not reset_high_water():
                out[mode, backward] = None
                continue
            before = high_water_kib()
            res = call()
            out[mode, backward] = (high_water_kib() - before) / 1024.0
            del res, call, step
    return dict(("%s %d" % k, v) for k, v in out.items())


def peaks(name, threads):
    cmd = [sys.executable, os.path.abspath(__file__), "--peak-case", name, "--threads", str(threads)]
    out = subprocess.run(cmd, stdout=subprocess.PIPE, check=True, universal_newlines=True).stdout
    got = json.loads(out.strip().splitlines()[-1])
    return dict(((k.split()[0], bool(int(k.split()[1]))), v) for k, v in got.items())


def mib(v):
    return "n/a" if v is None else "%.1f" % v


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--quick", action="store_true", help="fewer rounds, for a smoke run")
    p.add_argument("--threads", type=int, default=1, help="torch intra-op threads (default 1)")
    p.add_argument("--no-memory", action="store_true", help="leave out the peak-memory columns")
    p.add_argument("--peak-case", metavar="NAME", help=argparse.SUPPRESS)
    opts = p.parse_args()
    torch.set_num_threads(opts.threads)
    if opts.peak_case:
        print(json.dumps(peak_case(opts.peak_case)))
        return
    allow_module()
    rounds, batch_s = (11, 0.01) if opts.quick else (101, 0.01)
    misses = []
    start = time.perf_counter()

    print("## loss under torch.compile: module vs compiled plain-Python equivalent\n")
    print("- machine: %s, %d cores; torch threads: %d" % (machine(), os.cpu_count() or 0, opts.threads))
    print("- Python %s, torch %s; torch.compile(fullgraph=True), default backend" % (
        platform.python_version(), torch.__version__))
    print("- %d rounds, module and Python compiled back to back in each; medians of the times and of the "
          "per-round ratios module compiled / Python compiled; eager: median of 5 batches" % rounds)
    print("- peak: resident growth during one call after warm-up, fresh interpreter per function\n")

    print("### (d) compiled, realistic sizes\n")
    row(("function", "input", "pass", "module eager ms", "module compiled ms", "Python compiled ms",
         "ratio", "noise ±", "≤ 1.0", "eager peak MiB", "compiled peak MiB", "first call s (module / Python)"))
    row(("---",) * 3 + ("---:",) * 5 + ("---",) + ("---:",) * 3)
    for name in NAMES:
        rows, cols = SIZES[name]
        shape = "%dx%d" % (rows, cols) + (" stacked" if name in NAMES[:2] else "")
        mem = {} if opts.no_memory else peaks(name, opts.threads)
        for backward in (False, True):
            torch._dynamo.reset()
            calls = dict((label, (call, first)) for label, call, first in sides(name, backward))
            tm, tp, ratio, band = compare(calls["module"][0], calls["python"][0], rounds, batch_s)
            te = eager_time(calls["eager"][0], batch_s * 5)
            first = dict((label, v[1]) for label, v in calls.items())
            del calls
            pe, pc = mem.get(("eager", backward)), mem.get(("compiled", backward))
            row((name, shape, PASSES[backward], "%.3f" % (te * 1e3), "%.3f" % (tm * 1e3),
                 "%.3f" % (tp * 1e3), "%.3f" % ratio, "%.3f" % band, verdict(ratio, 1.0, band), mib(pe), mib(pc),
                 "%.1f / %.1f" % (first["module"], first["python"])))
            if beyond_noise(ratio, 1.0, band):
                misses.append("(d) %s %s (%.3f ± %.3f)" % (name, PASSES[backward], ratio, band))

    print("\n### (d) compiled, small inputs (8x4): the compiled call's own overhead, forward\n")
    print("Both sides trace to the same operations, so their kernels match; what differs is the guards dynamo checks on each call.\n")
    row(("function", "module compiled µs", "Python compiled µs", "ratio", "noise ±", "≤ 1.0"))
    row(("---", "---:", "---:", "---:", "---:", "---"))
    for name in NAMES:
        torch._dynamo.reset()
        calls = dict((label, call) for label, call, _ in sides(name, False, (8, 4)))
        tm, tp, ratio, band = compare(calls["module"], calls["python"], rounds, batch_s)
        del calls
        row((name, "%.2f" % (tm * 1e6), "%.2f" % (tp * 1e6), "%.3f" % ratio, "%.3f" % band, verdict(ratio, 1.0, band)))
        if beyond_noise(ratio, 1.0, band):
            misses.append("(d) small %s (%.3f ± %.3f)" % (name, ratio, band))

    print()
    print(missed(misses))
    print("Run time: %.0f s" % (time.perf_counter() - start))


if __name__ == "__main__":
    main()
