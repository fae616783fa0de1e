"""Times the loss module against its plain-Python equivalent (reference.py).

Both sides run in the same process, alternating batch by batch, so drift and
the noise of a shared machine fall on both alike; each row reports medians.
Tables:
  (a) real tensors, small (overhead-bound) and realistic sizes, each ratio with the noise it
      carries (half the interquartile range of the per-round ratios) and the target of 1.0
      judged against that: a ratio above 1.0 by no more than its noise is not a miss;
  (b) the call frame alone: duck tensors whose every method returns at once,
      written in C (duck.c, compiled on first use), and a duck `torch` made of
      modules as the real one is, the same objects for both sides, so what is
      left is binding, global lookups, attribute lookups and calls; then the
      same with Python ducks, where the ducks' own Python methods cost as much
      as the frame;
  (c) guassian_kernel_mmd and MMD over N: time per call, and the peak resident
      memory a call adds, measured in a fresh interpreter per case.
Usage: bench.py [--quick] [--frame | --real] [--threads N]
"""
import argparse
import functools
import gc
import json
import os
import platform
import statistics
import subprocess
import sys
import sysconfig
import timeit
import types

import torch

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import loss  # noqa: E402
import reference  # noqa: E402

NAMES = ("guassian_kernel_mmd", "MMD", "compute_joint", "instance_contrastive_Loss",
         "category_contrastive_loss")
# Inline in timeit's loop, so the module is entered by a plain positional call.
STMTS = {
    "guassian_kernel_mmd": "f(a, b)",
    "MMD": "f(a, b)",
    "compute_joint": "f(a, b)",
    "instance_contrastive_Loss": "f(a, b)",
    "category_contrastive_loss": "f(a, b, c, d)",
}


def per_call(fn, name, args, number):
    env = dict(zip("abcd", args))
    env["f"] = fn
    return timeit.Timer(STMTS[name], globals=env).timeit(number) / number


def calibrate(fn, name, args, batch_s):
    """Calls per batch so that one batch takes about batch_s seconds."""
    number = 1
    while True:
        t = per_call(fn, name, args, number) * number
        if t >= batch_s / 4 or number >= 1 << 20:
            return max(1, int(number * batch_s / max(t, 1e-9)))
        number *= 4


def compare(name, args, rounds, batch_s, ref=None):
    """Median seconds per call for (module, reference), batches alternating, and the per-round
    ratios module / reference (their spread is the noise the ratio carries)."""
    mod, ref = getattr(loss, name), ref or getattr(reference, name)
    for fn in (mod, ref):
        fn(*args)
    number = calibrate(ref, name, args, batch_s)
    times = {mod: [], ref: []}
    for r in range(rounds):
        gc.collect()
        # Swap who goes first every round so neither always runs on a warm cache.
        for fn in ((mod, ref) if r % 2 else (ref, mod)):
            times[fn].append(per_call(fn, name, args, number))
    ratios = [a / b for a, b in zip(times[mod], times[ref])]
    return statistics.median(times[mod]), statistics.median(times[ref]), ratios


def noise(ratios):
    """Half the interquartile range of the per-round ratios: how far one round's ratio strays
    from the median on this machine, at this moment."""
    if len(ratios) < 4:
        return 0.0
    q = statistics.quantiles(ratios, n=4)
    return (q[2] - q[0]) / 2


# ---- real tensors

def real_inputs(name, size):
    g = torch.Generator().manual_seed(0)
    rows, cols = size
    if name in ("guassian_kernel_mmd", "MMD"):
        # size is the stacked batch (N, D): source and target each hold N / 2 rows.
        return (torch.randn(rows // 2, cols, generator=g), torch.randn(rows // 2, cols, generator=g) + 0.5)
    if name in ("compute_joint", "instance_contrastive_Loss"):
        return (torch.randn(rows, cols, generator=g).softmax(1), torch.randn(rows, cols, generator=g).softmax(1))
    return (torch.randn(rows, cols, generator=g), torch.randint(0, cols, (rows,), generator=g), cols, False)


REAL_CASES = [
    ("small", {n: (8, 4) for n in NAMES}),
    ("realistic", dict({n: (256, 10) for n in NAMES[2:]}, guassian_kernel_mmd=(512, 128), MMD=(512, 128))),
]


# ---- the frame alone

class Duck(object):
    """Stands in for a tensor: every method and operator the losses use returns at once.

    Fixed signatures rather than *args/**kwargs, so that packing arguments
    does not swamp the cost being measured."""
    __slots__ = ("shape", "data", "device", "dtype")

    def __init__(self, shape):
        self.shape = shape
        self.data = self
        self.device = None
        self.dtype = None

    def size(self, dim=None):
        return self.shape if dim is None else self.shape[dim]

    def sum(self, dim=None):
        return self

    def expand(self, a, b, c=None):
        return self

    def view(self, a, b):
        return self

    def t(self):
        return self

    float = t

    def unsqueeze(self, arg):
        return self

    repeat = mul = to = unsqueeze

    def _op(self, other):
        return self

    __add__ = __radd__ = __sub__ = __rsub__ = __mul__ = __rmul__ = _op
    __truediv__ = __itruediv__ = __lt__ = __gt__ = __eq__ = _op
    __hash__ = object.__hash__

    def __pow__(self, other, mod=None):
        return self

    def __neg__(self):
        return self

    def __bool__(self):
        return True

    def __getitem__(self, key):
        return self

    def __setitem__(self, key, value):
        pass


def duck_torch(duck):
    """A `torch` namespace whose functions take the losses' arguments and return `duck`."""
    def one(x):
        return duck

    def two(a, b):
        return duck

    def reduce(x, dim=None, keepdim=False):
        return duck

    def where(cond, a, b):
        return duck

    def tensor(data, device=None):
        return duck

    return fake_module(cat=reduce, sum=reduce, argmax=reduce, max=reduce, exp=one, diag=one,
                       diag_embed=one, relu=one, log=one, div=two, matmul=two, add=two, sub=two,
                       where=where, tensor=tensor, one_hot=two)


def fake_module(one_hot, **functions):
    """A stand-in `torch` made of modules, as the real one is: the functions,
    and `one_hot` as `nn.functional.one_hot`."""
    fake = types.ModuleType("torch")
    vars(fake).update(functions)
    # dtypes the bodies compare with; no duck has them
    fake.float16, fake.float32 = object(), object()
    fake.nn = types.ModuleType("torch.nn")
    fake.nn.functional = types.ModuleType("torch.nn.functional")
    fake.nn.functional.one_hot = one_hot
    return fake


def duck_inputs(name, make=Duck):
    a, b = make((4, 4)), make((4, 4))  # square: the joint's (k, k) check holds
    return (a, b, 4, False) if name == "category_contrastive_loss" else (a, b)


def c_duck_type():
    """duck.Duck from duck.c, built for this interpreter under build/bench."""
    src = os.path.join(HERE, "duck.c")
    out_dir = os.path.join(HERE, os.pardir, "build", "bench-%d.%d" % sys.version_info[:2])
    lib = os.path.join(out_dir, "duck" + sysconfig.get_config_var("EXT_SUFFIX"))
    if not os.path.exists(lib) or os.path.getmtime(lib) < os.path.getmtime(src):
        os.makedirs(out_dir, exist_ok=True)
        subprocess.check_call([os.environ.get("CC", "cc"), "-O2", "-shared", "-fPIC",
                               "-I", sysconfig.get_paths()["include"], src, "-o", lib])
    sys.path.insert(0, out_dir)
    import duck
    return duck.Duck


def c_duck_torch(duck):
    """The duck `torch` whose functions are the C duck's own bound method."""
    call = duck.call
    return fake_module(call, **dict((n, call) for n in (
        "cat", "sum", "argmax", "max", "exp", "diag", "diag_embed", "relu", "log", "div", "matmul",
        "add", "sub", "where", "tensor")))


# ---- time and peak memory over N, each case in a fresh interpreter

SCAN_N = (64, 256, 1024)
SCAN_D = 128


def high_water_kib():
    """The resident-set peak of this process's memory map. Unlike ru_maxrss it is
    not inherited from the parent across fork and exec."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    raise RuntimeError("no VmHWM in /proc/self/status")


def peak_case(name, impl, n, d):
    """Run in a child: the resident-memory peak one call adds, in MiB."""
    fn = getattr(loss if impl == "module" else reference, name)
    fn(*real_inputs(name, (8, d)))  # first-call set-up inside torch is not the call's cost
    args = real_inputs(name, (n, d))
    gc.collect()
    before = high_water_kib()
    out = fn(*args)
    after = high_water_kib()
    del out
    return (after - before) / 1024.0


def peak(name, impl, n, d, threads):
    cmd = [sys.executable, os.path.abspath(__file__), "--peak-case", name, impl, str(n), str(d),
           "--threads", str(threads)]
    out = subprocess.run(cmd, stdout=subprocess.PIPE, check=True, universal_newlines=True).stdout
    return json.loads(out.strip().splitlines()[-1])["peak_mib"]


# ---- report

def machine():
    cpu = platform.processor() or "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return cpu


def us(t):
    return "%.2f" % (t * 1e6)


def ms(t):
    return "%.3f" % (t * 1e3)


def row(cells):
    print("| " + " | ".join(str(c) for c in cells) + " |")


def verdict(ratio, target, band=None):
    """The ratio against its target; with the noise band measured beside it, a ratio above the
    target by no more than the band is noise, not a miss."""
    if ratio <= target:
        return "yes"
    if band is not None and ratio <= target + band:
        return "within noise"
    return "**no**"


def beyond_noise(ratio, target, band):
    return ratio > target + band


def missed(misses):
    return ("Above the target of 1.0 by more than the measured noise: "
            + (", ".join(misses) if misses else "none"))


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--quick", action="store_true", help="fewer rounds, for a smoke run")
    p.add_argument("--threads", type=int, default=1, help="torch intra-op threads (default 1)")
    p.add_argument("--frame", action="store_true", help="only the frame rows with C ducks, (b)")
    p.add_argument("--real", action="store_true", help="only the real-tensor rows, (a)")
    p.add_argument("--peak-case", nargs=4, metavar=("NAME", "IMPL", "N", "D"), help=argparse.SUPPRESS)
    opts = p.parse_args()
    torch.set_num_threads(opts.threads)
    if opts.peak_case:
        name, impl, n, d = opts.peak_case
        print(json.dumps({"peak_mib": peak_case(name, impl, int(n), int(d))}))
        return
    rounds, batch_s = (5, 0.02) if opts.quick else (21, 0.05)
    if opts.frame:
        rounds = 11
    misses = []

    print("## loss: module vs plain-Python equivalent\n")
    print("- machine: %s, %d cores; torch threads: %d" % (machine(), os.cpu_count() or 0, opts.threads))
    print("- Python %s, torch %s" % (platform.python_version(), torch.__version__))
    print("- median of %d alternating batches per row; ratio = module / reference\n" % rounds)

    print("### (a) real tensors\n")
    print("The last column: the kernel and MMD against the sequence without the guard for collapsed "
          "rows, as the original has it (its own alternating run).\n")
    row(("case", "function", "input (rows x cols)", "module µs/call", "reference µs/call", "ratio",
         "noise ±", "≤ 1.0", "ratio to the unguarded sequence"))
    row(("---",) * 3 + ("---:",) * 4 + ("---", "---:"))
    small = []
    for case, sizes in ([] if opts.frame else REAL_CASES):
        for name in NAMES:
            rows, cols = sizes[name]
            args = real_inputs(name, sizes[name])
            tm, tr, ratios = compare(name, args, rounds, batch_s)
            band = noise(ratios)
            unguarded = ""
            if name in NAMES[:2]:
                tp, tu, _ = compare(name, args, rounds, batch_s, functools.partial(getattr(reference, name), guard=False))
                unguarded = "%.3f" % (tp / tu)
            shape = "%dx%d" % (rows, cols) + (" stacked" if name in NAMES[:2] else "")
            row((case, name, shape, us(tm), us(tr), "%.3f" % (tm / tr), "%.3f" % band,
                 verdict(tm / tr, 1.0, band), unguarded))
            if beyond_noise(tm / tr, 1.0, band):
                misses.append("(a) %s %s (%.3f ± %.3f)" % (case, name, tm / tr, band))
            if case == "small":
                small.append(tm / tr)
    if small:
        print("\nSmall calls, geometric mean of module / reference: %.3f" % statistics.geometric_mean(small))

    if opts.real:
        print("\n" + missed(misses))
        return
    c_duck = c_duck_type()
    # What the frame itself costs (binding, lookups, calls), for a maintainer
    # comparing changes to it; no target: with real tensors torch's work dwarfs it.
    for title, make, fake in (
            ("the frame alone (C duck tensors, C duck torch)", c_duck, c_duck_torch(c_duck((4, 4)))),
            ("with Python ducks (their methods cost as much as the frame)", Duck, duck_torch(Duck((4, 4))))):
        if opts.frame and make is Duck:
            break
        print("\n### (b) %s\n" % title)
        row(("function", "module µs/call", "reference µs/call", "ratio"))
        row(("---", "---:", "---:", "---:"))
        try:
            loss.torch = reference.torch = fake
            for name in NAMES:
                tm, tr, _ = compare(name, duck_inputs(name, make), rounds, batch_s)
                row((name, us(tm), us(tr), "%.3f" % (tm / tr)))
        finally:
            loss.torch = reference.torch = torch

    if opts.frame:
        return
    print("\n### (c) guassian_kernel_mmd and MMD over N (stacked rows), D = %d\n" % SCAN_D)
    print("Peak memory: resident-set growth during one call, fresh interpreter per case "
          "(minimum of the runs).\n")
    row(("function", "N x D", "module ms/call", "reference ms/call", "time ratio",
         "module peak MiB", "reference peak MiB", "memory ratio"))
    row(("---", "---") + ("---:",) * 6)
    for name in NAMES[:2]:
        for n in SCAN_N:
            args = real_inputs(name, (n, SCAN_D))
            scan_rounds = max(3, rounds // (1 + n // 256))
            tm, tr, _ = compare(name, args, scan_rounds, batch_s)
            del args
            runs = 1 if opts.quick else 2
            pm, pr = [], []
            for _ in range(runs):
                pm.append(peak(name, "module", n, SCAN_D, opts.threads))
                pr.append(peak(name, "reference", n, SCAN_D, opts.threads))
            pm, pr = min(pm), min(pr)
            row((name, "%dx%d" % (n, SCAN_D), ms(tm), ms(tr), "%.3f" % (tm / tr),
                 "%.1f" % pm, "%.1f" % pr, "%.3f" % (pm / pr) if pr > 0 else "n/a"))

    print()
    print(missed(misses))


if __name__ == "__main__":
    main()
