"""MMD's cost at the sizes of docs/performance.md's comparison: this module eager and compiled,
n = m source and target rows of D = 128 float32 features, forward and backward; and how exact
squared distances are when taken as differences, as the module does, or from matrix products.

Each point runs in a fresh interpreter with one torch thread and an empty inductor cache: the
first call (for the compiled step: compiling, in wall seconds), then CPU seconds per step as the median of 3 after a warm-up,
then the resident-memory peak one more step adds (VmHWM reset before it). Eager at n = m = 1024
needs about 8.7 GiB; a point is skipped when the memory it is predicted to need is not available.
Usage: compare_mmd.py [--sizes 128,512,1024] [--modes eager,compiled]
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

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

D = 128
# Bytes one eager step adds per (n + m)^2 * D: four float32 copies of the pairwise differences.
EAGER_BYTES = 16.7


def point(mode, n):
    import torch
    import loss
    from bench import high_water_kib
    from bench_compile import allow_module, make_step, reset_high_water

    torch.set_num_threads(1)
    allow_module()
    g = torch.Generator().manual_seed(0)
    source = torch.randn(n, D, generator=g).requires_grad_()
    target = (torch.randn(n, D, generator=g) + 0.5).requires_grad_()
    step = make_step(loss.MMD, "%s %d" % (mode, n))
    if mode == "compiled":
        step = torch.compile(step, fullgraph=True)

    def call():
        return torch.autograd.grad(step(source, target), (source, target))

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


def run_point(mode, n):
    need = EAGER_BYTES * (2 * n) ** 2 * D if mode == "eager" else 0
    free = available_bytes()
    # A margin of 2 GiB for the interpreter, torch and what others start meanwhile.
    if free is not None and need + 2 * 2 ** 30 > free:
        return "skipped: needs %.1f GiB, %.1f GiB available" % (need / 2 ** 30, free / 2 ** 30)
    cmd = [sys.executable, os.path.abspath(__file__), "--point", mode, str(n)]
    # An empty inductor cache, so the first call pays for a whole compile as a user's first does.
    with tempfile.TemporaryDirectory() as cache:
        env = dict(os.environ, TORCHINDUCTOR_CACHE_DIR=cache)
        out = subprocess.run(cmd, stdout=subprocess.PIPE, check=True, universal_newlines=True, env=env).stdout
    return json.loads(out.strip().splitlines()[-1])


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
    p.add_argument("--sizes", default="128,512,1024", help="n = m values (default 128,512,1024)")
    p.add_argument("--modes", default="eager,compiled")
    p.add_argument("--point", nargs=2, help=argparse.SUPPRESS)
    opts = p.parse_args()
    if opts.point:
        print(json.dumps(point(opts.point[0], int(opts.point[1]))))
        return
    import torch
    from bench import machine
    print("## MMD forward + backward, n = m rows of D = %d, float32\n" % D)
    print("- machine: %s, %d cores; one torch thread; Python %s, torch %s; %s\n" % (
        machine(), os.cpu_count() or 0, platform.python_version(), torch.__version__,
        time.strftime("%Y-%m-%d")))
    print("| n = m | mode | CPU s per step | peak MiB | first call, wall s |")
    print("| ---: | --- | ---: | ---: | ---: |")
    for n in (int(v) for v in opts.sizes.split(",")):
        for mode in opts.modes.split(","):
            got = run_point(mode, n)
            if isinstance(got, str):
                print("| %d | %s | %s | | |" % (n, mode, got))
            else:
                peak = "n/a" if got["peak MiB"] is None else "%.0f" % got["peak MiB"]
                print("| %d | %s | %.3f | %s | %.1f |" % (n, mode, got["cpu s"], peak, got["first wall s"]))
            sys.stdout.flush()
    print()
    precision()


if __name__ == "__main__":
    main()
