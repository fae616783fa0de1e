"""MMD at the batch sizes people train with: the module beside the plain sequence
(reference.py), eager forward + backward and no-grad forward, time and peak memory; the module
compiled; where the kernel's blocks start to pay; and how exact squared distances are when
taken as differences, as the module does, or from matrix products.

Each point runs in a fresh interpreter with one torch thread (and, compiled, an empty inductor
cache): the first call (for the compiled step: compiling, in wall seconds), then CPU seconds per
step as the median of 3 after a warm-up, then the resident-memory peak one more step adds (VmHWM
reset before it). A point is skipped when the memory it is predicted to need is not available:
the sequence keeps about 16.7 bytes per N^2 D for the backward (N = n + m), 8 bytes without it.
  --threshold  builds the module with blocks at every size (LOSS_BLOCKS_FROM=0) into a temporary
               folder and times MMD there against the sequence around the size the module's
               blocks start from, alternating in one process.
Usage: compare_mmd.py [--points 128x128,512x128,...] [--compiled] [--threshold]
"""
import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time
import timeit

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

D = 128
POINTS = "128x128,512x128,1024x128,2048x128,256x2048"
PASSES = ("forward+backward", "no-grad forward")
# Bytes the sequence keeps per N^2 D: four float32 copies of the differences with the backward,
# two without.
SEQUENCE_BYTES = {"forward+backward": 16.7, "no-grad forward": 8.4}


def point(side, pass_, n, d):
    import torch
    import loss
    import reference
    from bench import high_water_kib
    from bench_compile import allow_module, make_step, reset_high_water

    torch.set_num_threads(1)
    g = torch.Generator().manual_seed(0)
    source = torch.randn(n, d, generator=g)
    target = torch.randn(n, d, generator=g) + 0.5
    if side == "compiled":
        allow_module()
        step = torch.compile(make_step(loss.MMD, "compiled %d" % n), fullgraph=True)
    else:
        step = loss.MMD if side == "module" else reference.MMD

    if pass_ == "forward+backward":
        source.requires_grad_()
        target.requires_grad_()

        def call():
            return torch.autograd.grad(step(source, target), (source, target))
    else:
        def call():
            with torch.no_grad():
                return step(source, target)

    out = {}
    t0 = time.perf_counter()
    call()
    out["first wall s"] = time.perf_counter() - t0
    call()
    times = []
    for _ in range(3):
        t = time.process_time()
        call()
        times.append(time.process_time() - t)
    out["cpu s"] = statistics.median(times)
    out["peak MiB"] = None
    if reset_high_water():
        before = high_water_kib()
        res = call()
        out["peak MiB"] = (high_water_kib() - before) / 1024.0
        del res
    return out


def available_bytes():
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemAvailable:"):
                return int(line.split()[1]) * 1024
    return None


def run_point(side, pass_, n, d):
    need = SEQUENCE_BYTES[pass_] * (2 * n) ** 2 * d if side == "sequence" else 0
    free = available_bytes()
    # A margin of 2 GiB for the interpreter, torch and what others start meanwhile.
    if free is not None and need + 2 * 2 ** 30 > free:
        return "skipped: needs %.1f GiB, %.1f GiB available" % (need / 2 ** 30, free / 2 ** 30)
    cmd = [sys.executable, os.path.abspath(__file__), "--point", side, pass_, str(n), str(d)]
    # An empty inductor cache, so the first call pays for a whole compile as a user's first does.
    with tempfile.TemporaryDirectory() as cache:
        env = dict(os.environ, TORCHINDUCTOR_CACHE_DIR=cache)
        out = subprocess.run(cmd, stdout=subprocess.PIPE, check=True, universal_newlines=True, env=env).stdout
    return json.loads(out.strip().splitlines()[-1])


def cell(got, key, fmt):
    if isinstance(got, str):
        return got
    return "n/a" if got[key] is None else fmt % got[key]


def ratio(a, b, key):
    if isinstance(a, str) or isinstance(b, str) or a[key] is None or b[key] is None or not b[key]:
        return ""
    return "%.3g" % (a[key] / b[key])


def eager_table(points):
    print("## MMD, n = m rows of D features, float32: the module beside the sequence\n")
    print("| n = m | D | pass | sequence CPU s | module CPU s | sequence / module | "
          "sequence peak MiB | module peak MiB | sequence / module |")
    print("| ---: | ---: | --- | ---: | ---: | ---: | ---: | ---: | ---: |")
    module_rows = []
    for n, d in points:
        for pass_ in PASSES:
            seq, mod = run_point("sequence", pass_, n, d), run_point("module", pass_, n, d)
            module_rows.append((n, d, pass_, mod))
            print("| %d | %d | %s | %s | %s | %s | %s | %s | %s |" % (
                n, d, pass_, cell(seq, "cpu s", "%.3f"), cell(mod, "cpu s", "%.3f"), ratio(seq, mod, "cpu s"),
                cell(seq, "peak MiB", "%.0f"), cell(mod, "peak MiB", "%.0f"), ratio(seq, mod, "peak MiB")))
            sys.stdout.flush()
    print()
    # Growth of the module's cost between successive sizes at the same D and pass.
    print("Growth of the module's cost from one n to the next (D = %d): time against N^2 D, memory "
          "against N^2.\n" % D)
    print("| pass | n = m | time x | N^2 D x | peak x | N^2 x |")
    print("| --- | --- | ---: | ---: | ---: | ---: |")
    for pass_ in PASSES:
        rows = [(n, got) for n, d, p, got in module_rows if d == D and p == pass_ and not isinstance(got, str)]
        for (n0, a), (n1, b) in zip(rows, rows[1:]):
            grow = (n1 / float(n0)) ** 2
            peak = "%.2f" % (b["peak MiB"] / a["peak MiB"]) if a["peak MiB"] and b["peak MiB"] else "n/a"
            print("| %s | %d to %d | %.2f | %.0f | %s | %.0f |" % (pass_, n0, n1, b["cpu s"] / a["cpu s"], grow, peak,
                                                                  grow))
    print()


def compiled_table(points):
    print("## The module compiled (`allow_in_graph`, inductor), forward + backward\n")
    print("| n = m | D | CPU s | peak MiB | first call (compiling), wall s |")
    print("| ---: | ---: | ---: | ---: | ---: |")
    for n, d in points:
        got = run_point("compiled", "forward+backward", n, d)
        print("| %d | %d | %s | %s | %s |" % (n, d, cell(got, "cpu s", "%.3f"), cell(got, "peak MiB", "%.0f"),
                                              cell(got, "first wall s", "%.1f")))
        sys.stdout.flush()
    print()


# Around the size blocks start from (N^2 D = 2^19): stacked rows N, features D.
THRESHOLD_CASES = [(8, 4), (64, 4), (256, 4), (362, 4), (512, 4), (64, 32), (128, 32), (256, 32),
                   (32, 128), (64, 128), (90, 128), (128, 128), (16, 1024), (23, 1024), (32, 1024)]


def threshold_child():
    """Module and sequence times of each case, as JSON lines, for whichever build is imported."""
    import torch
    import loss
    import reference
    torch.set_num_threads(1)
    for pass_ in PASSES:
        for N, d in THRESHOLD_CASES:
            g = torch.Generator().manual_seed(0)
            s, t = torch.randn(N // 2, d, generator=g), torch.randn(N // 2, d, generator=g)
            grad = pass_ == "forward+backward"
            s.requires_grad_(grad)
            t.requires_grad_(grad)

            def run(f):
                out = f(s, t)
                if grad:
                    torch.autograd.grad(out, (s, t))

            run(loss.MMD)
            run(reference.MMD)
            number = max(1, int(0.2 / max(timeit.timeit(lambda: run(reference.MMD), number=1), 1e-6)))
            mod, seq = [], []
            for _ in range(5):
                mod.append(timeit.timeit(lambda: run(loss.MMD), number=number))
                seq.append(timeit.timeit(lambda: run(reference.MMD), number=number))
            print(json.dumps([pass_, N, d, min(mod) / number, min(seq) / number]))
            sys.stdout.flush()


def threshold_times(path):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in (path, HERE) if p))
    out = subprocess.run([sys.executable, os.path.abspath(__file__), "--threshold-child"], env=env, check=True,
                         stdout=subprocess.PIPE, universal_newlines=True).stdout
    return dict(((p, n, d), (m, s)) for p, n, d, m, s in (json.loads(line) for line in out.splitlines()))


def threshold_table():
    """Blocks at every size (a build with LOSS_BLOCKS_FROM=0) against the module as built, which
    broadcasts below the threshold; each beside the sequence timed in the same process."""
    root = os.path.dirname(HERE)
    print("## Blocks at every size against the broadcast, MMD, best of 5, best of 3 rounds\n")
    print("Both builds skip what the sequence computes twice; the last column is what blocks alone "
          "change.\n")
    sys.stdout.flush()
    with tempfile.TemporaryDirectory() as target:
        # A build folder of its own: the checkout's would keep the setting for later builds.
        subprocess.run([sys.executable, "-m", "pip", "install", "-q", "--no-build-isolation", "--no-deps",
                        "--target", target, "-Cbuild-dir=" + os.path.join(target, "build"),
                        "-Ccmake.define.LOSS_BLOCKS_FROM=0", root], check=True)
        # Rounds of the two builds in turn, so that drift of a shared machine falls on both;
        # each case keeps its best ratio to the sequence timed beside it.
        rounds = [(threshold_times(target), threshold_times("")) for _ in range(3)]

    def best(which, case):
        return min((r[which][case] for r in rounds), key=lambda ms: ms[0] / ms[1])

    print("| N | D | N^2 D | pass | sequence µs | blocks / sequence | module as built / sequence | "
          "blocks / module as built |")
    print("| ---: | ---: | ---: | --- | ---: | ---: | ---: | ---: |")
    for pass_ in PASSES:
        for N, d in THRESHOLD_CASES:
            (bm, bs), (um, us_) = best(0, (pass_, N, d)), best(1, (pass_, N, d))
            print("| %d | %d | %d | %s | %.0f | %.2f | %.2f | %.2f |" % (
                N, d, N * N * d, pass_, us_ * 1e6, bm / bs, um / us_, (bm / bs) / (um / us_)))
    print()


def precision():
    """Relative error of float32 squared distances between close points, against float64."""
    import torch
    print("### Squared distances between close points, float32 (D = %d, 1000 pairs)\n" % D)
    print("| distance / row norm (median) | differences: median relative error | matrix products: median relative error |")
    print("| ---: | ---: | ---: |")
    g = torch.Generator().manual_seed(0)
    x = torch.randn(1000, D, generator=g, dtype=torch.float64)
    for offset in (1.0, 1e-1, 1e-2, 1e-3):
        y = x + offset * torch.randn(1000, D, generator=g, dtype=torch.float64) / D ** 0.5
        exact = ((x - y) ** 2).sum(1)
        a, b = x.float(), y.float()
        diff = ((a - b) ** 2).sum(1).double()
        prod = ((a * a).sum(1) + (b * b).sum(1) - 2 * (a * b).sum(1)).double()
        rel = lambda v: ((v - exact).abs() / exact).median().item()  # noqa: E731
        ratio = (exact.sqrt() / x.norm(dim=1)).median().item()
        print("| %.0e | %.1e | %.1e |" % (ratio, rel(diff), rel(prod)))
    print()


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--points", default=POINTS, help="n = m by D, comma-separated (default %s)" % POINTS)
    p.add_argument("--compiled", action="store_true", help="the compiled module's table too")
    p.add_argument("--threshold", action="store_true", help="only the table of where blocks start to pay")
    p.add_argument("--point", nargs=4, help=argparse.SUPPRESS)
    p.add_argument("--threshold-child", action="store_true", help=argparse.SUPPRESS)
    opts = p.parse_args()
    if opts.point:
        side, pass_, n, d = opts.point
        print(json.dumps(point(side, pass_, int(n), int(d))))
        return
    if opts.threshold_child:
        threshold_child()
        return
    import torch
    from bench import machine
    print("- machine: %s, %d cores; one torch thread; Python %s, torch %s; %s\n" % (
        machine(), os.cpu_count() or 0, platform.python_version(), torch.__version__,
        time.strftime("%Y-%m-%d")))
    if opts.threshold:
        threshold_table()
        return
    points = [tuple(int(v) for v in p.split("x")) for p in opts.points.split(",")]
    eager_table(points)
    if opts.compiled:
        compiled_table([(n, d) for n, d in points if d == D])
    precision()


if __name__ == "__main__":
    main()
