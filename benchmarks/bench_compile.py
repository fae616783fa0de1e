"""Times the losses under torch.compile: the module, its functions allowed into the graph, against
the compiled plain-Python equivalent (reference.py), forward and forward + backward.

Each row alternates module compiled, Python compiled and module eager in one process, round by
round, and reports medians. The peak resident memory one call adds is measured in a fresh
interpreter per case, eager and compiled, after warm-up calls (which compile) and with the
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
from bench import NAMES, high_water_kib, machine, real_inputs, row, verdict  # noqa: E402

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


def case_inputs(name, backward):
    args = list(real_inputs(name, SIZES[name]))
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


def sides(name, backward):
    """(label, call, first-call seconds) for module compiled, Python compiled, module eager."""
    args = case_inputs(name, backward)
    tag = "%s %s" % (name, PASSES[backward])
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
        call()
        out.append((label, call, first))
    return out


def per_call(call, number):
    return timeit.Timer(call).timeit(number) / number


def compare(calls, rounds, batch_s):
    """Median seconds per call of each side, the sides alternating round by round."""
    numbers = {}
    for label, call, _ in calls:
        t = per_call(call, 1)
        numbers[label] = max(1, int(batch_s / max(t, 1e-9)))
    times = dict((label, []) for label, _, _ in calls)
    for r in range(rounds):
        gc.collect()
        # Rotate who goes first, so no side always runs on a warm cache.
        k = r % len(calls)
        for label, call, _ in calls[k:] + calls[:k]:
            times[label].append(per_call(call, numbers[label]))
    return dict((label, statistics.median(ts)) for label, ts in times.items())


# ---- peak memory, each case in a fresh interpreter

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


def peak_case(name, backward, mode):
    """Run in a child: the resident-memory peak one call adds, in MiB (None if it cannot be told)."""
    allow_module()
    step = make_step(getattr(loss, name), "%s %s" % (name, mode))
    if mode == "compiled":
        step = torch.compile(step, fullgraph=True)
    call = runner(step, case_inputs(name, backward), backward)
    call()
    call()
    gc.collect()
    if not reset_high_water():
        return None
    before = high_water_kib()
    out = call()
    after = high_water_kib()
    del out
    return (after - before) / 1024.0


def peak(name, backward, mode, threads):
    cmd = [sys.executable, os.path.abspath(__file__), "--peak-case", name, str(int(backward)), mode,
           "--threads", str(threads)]
    out = subprocess.run(cmd, stdout=subprocess.PIPE, check=True, universal_newlines=True).stdout
    return json.loads(out.strip().splitlines()[-1])["peak_mib"]


def mib(v):
    return "n/a" if v is None else "%.1f" % v


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--quick", action="store_true", help="fewer rounds, for a smoke run")
    p.add_argument("--threads", type=int, default=1, help="torch intra-op threads (default 1)")
    p.add_argument("--no-memory", action="store_true", help="leave out the peak-memory columns")
    p.add_argument("--peak-case", nargs=3, metavar=("NAME", "BACKWARD", "MODE"), help=argparse.SUPPRESS)
    opts = p.parse_args()
    torch.set_num_threads(opts.threads)
    if opts.peak_case:
        name, backward, mode = opts.peak_case
        print(json.dumps({"peak_mib": peak_case(name, bool(int(backward)), mode)}))
        return
    allow_module()
    rounds, batch_s = (3, 0.02) if opts.quick else (9, 0.05)
    misses = []
    start = time.perf_counter()

    print("## loss under torch.compile: module vs compiled plain-Python equivalent\n")
    print("- machine: %s, %d cores; torch threads: %d" % (machine(), os.cpu_count() or 0, opts.threads))
    print("- Python %s, torch %s; torch.compile(fullgraph=True), default backend" % (
        platform.python_version(), torch.__version__))
    print("- median of %d rounds, sides alternating; ratio = module compiled / Python compiled" % rounds)
    print("- peak: resident growth during one call after warm-up, fresh interpreter per case\n")

    print("### (d) compiled, realistic sizes\n")
    row(("function", "input", "pass", "module eager ms", "module compiled ms", "Python compiled ms",
         "ratio", "≤ 1.0", "eager peak MiB", "compiled peak MiB", "first call s (module / Python)"))
    row(("---",) * 3 + ("---:",) * 4 + ("---",) + ("---:",) * 3)
    for name in NAMES:
        rows, cols = SIZES[name]
        shape = "%dx%d" % (rows, cols) + (" stacked" if name in NAMES[:2] else "")
        for backward in (False, True):
            torch._dynamo.reset()
            calls = sides(name, backward)
            first = dict((label, t) for label, _, t in calls)
            t = compare(calls, rounds, batch_s)
            del calls
            ratio = t["module"] / t["python"]
            if opts.no_memory:
                pe = pc = None
            else:
                pe = peak(name, backward, "eager", opts.threads)
                pc = peak(name, backward, "compiled", opts.threads)
            row((name, shape, PASSES[backward], "%.3f" % (t["eager"] * 1e3), "%.3f" % (t["module"] * 1e3),
                 "%.3f" % (t["python"] * 1e3), "%.3f" % ratio, verdict(ratio, 1.0), mib(pe), mib(pc),
                 "%.1f / %.1f" % (first["module"], first["python"])))
            if ratio > 1.0:
                misses.append("(d) %s %s" % (name, PASSES[backward]))

    print()
    print("Targets missed: " + (", ".join(misses) if misses else "none"))
    print("Run time: %.0f s" % (time.perf_counter() - start))


if __name__ == "__main__":
    main()
