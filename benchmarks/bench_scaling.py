"""How MMD's cost grows: forward + backward over the stacked batch size N (and over the feature
width D at one N), eager and compiled, the module against its plain-Python equivalent.

Each point runs in a fresh interpreter: module and Python alternate round by round, and the
point reports the median CPU time per step of each side (process time, with one torch thread:
other processes' load on a shared machine barely moves it, where it would swell wall time),
the median of the per-round ratios module / Python, and the resident-memory peak one warm step
adds (VmHWM reset before it).
Eager, the Python equivalent holds the N x N x D pairwise differences, and autograd keeps them
for the backward pass; the module takes them in blocks of rows and keeps N x N matrices, as
inductor does compiled. A side whose predicted peak exceeds the memory ceiling is skipped at
that point (the other side runs alone): the prediction scales the last measured point of that
side and series (N^2 D for Python eager, N^2 otherwise), or the model below before any was
measured. So is a side predicted to take more than the time ceiling a step (N^2 D throughout).
Usage: bench_scaling.py [--ceiling-gib G] [--step-ceiling-s S] [--plot PNG] [--json FILE] [--quick]
                        [--threads N] [--rounds R] [--budget-s S]
"""
import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

N_SWEEP = (64, 128, 256, 512, 1024, 2048, 4096, 8192, 16384, 32768)
D_FIXED = 128
D_SWEEP = (16, 64, 256, 1024, 4096)
N_FIXED = 1024
SIDES = ("module", "python")
# Bytes per N^2 D (Python eager) and per N^2 (the rest) one float32 step adds, before a
# measurement says better; fitted on bench_compile.py's 512x128 rows and compare_mmd.py's.
MODEL = {("eager", "python"): 4.4 * 4, ("eager", "module"): 30.0 * 4,
         ("compiled", "python"): 4.0 * 4, ("compiled", "module"): 4.0 * 4}
GIB = float(1 << 30)


def per_d(mode, side):
    """Whether a side's memory grows with N^2 D rather than N^2."""
    return (mode, side) == ("eager", "python")


def predicted_bytes(mode, side, n, d, coef):
    return coef * n * n * (d if per_d(mode, side) else 1)


# ---- one point, in a child interpreter

def point(mode, n, d, rounds, budget_s, sides):
    import torch
    import loss
    import reference
    from bench import high_water_kib
    from bench_compile import allow_module, make_step, reset_high_water

    allow_module()
    g = torch.Generator().manual_seed(0)
    source = torch.randn(n // 2, d, generator=g).requires_grad_()
    target = (torch.randn(n - n // 2, d, generator=g) + 0.5).requires_grad_()
    calls = {}
    for side, fn in (("module", loss.MMD), ("python", reference.MMD)):
        if side not in sides:
            continue
        step = make_step(fn, "%s %s %d %d" % (side, mode, n, d))
        if mode == "compiled":
            step = torch.compile(step, fullgraph=True)
        calls[side] = (lambda s: lambda: torch.autograd.grad(s(source, target), (source, target)))(step)
    # torch's one-time set-up on a tiny step, so that the first side measured does not carry it.
    for fn in (loss.MMD, reference.MMD):
        small = [torch.randn(4, d).requires_grad_() for _ in range(2)]
        torch.autograd.grad(fn(*small), small)
    out = {}
    for side, call in calls.items():
        if mode == "compiled":
            t0 = time.perf_counter()
            call()  # compiles
            out[side + " first s"] = time.perf_counter() - t0
        reset_high_water()
        before = high_water_kib()
        t0 = time.process_time()
        call()
        out[side + " warm s"] = time.process_time() - t0
        out[side + " peak MiB"] = (high_water_kib() - before) / 1024.0
    # Small steps are timed in batches of about 20 ms, so a round outlasts the timer's noise.
    number = max(1, int(0.02 / max(max(out[side + " warm s"] for side in calls), 1e-6)))
    times = dict((side, []) for side in calls)
    ratios = []
    t0 = time.perf_counter()
    for r in range(rounds):
        for side in (sorted(calls) if r % 2 else sorted(calls, reverse=True)):
            t = time.process_time()
            for _ in range(number):
                calls[side]()
            times[side].append((time.process_time() - t) / number)
        if len(calls) == 2:
            ratios.append(times["module"][-1] / times["python"][-1])
        if r >= 2 and time.perf_counter() - t0 > budget_s:
            break
    for side in times:
        out[side + " ms"] = statistics.median(times[side]) * 1e3
    if ratios:
        out["ratio"] = statistics.median(ratios)
    out["rounds"] = len(times[sorted(calls)[0]])
    return out


def run_point(mode, n, d, opts, sides):
    cmd = [sys.executable, os.path.abspath(__file__), "--point", mode, str(n), str(d), ",".join(sides),
           "--threads", str(opts.threads), "--rounds", str(opts.rounds), "--budget-s", str(opts.budget_s)]
    proc = subprocess.run(cmd, stdout=subprocess.PIPE, universal_newlines=True)
    if proc.returncode != 0:
        return None
    return json.loads(proc.stdout.strip().splitlines()[-1])


# ---- the sweep

def sweep(series, points, opts, results, coefs):
    """Runs the points of one series in order, each side skipped where it is predicted above the
    memory or the time ceiling; leaves each side's fitted memory coefficient in coefs."""
    ceiling = opts.ceiling_gib * GIB
    for mode in ("eager", "compiled"):
        coef = dict((side, MODEL[mode, side]) for side in SIDES)
        last = {}  # side: (work, seconds per step) of its last measured point
        for n, d in points:
            rec = {"series": series, "mode": mode, "n": n, "d": d, "skipped": {}}
            sides = []
            for side in SIDES:
                need = predicted_bytes(mode, side, n, d, coef[side])
                rec[side + " predicted GiB"] = need / GIB
                # Either way the step computes N^2 D differences, so time scales with that.
                step_s = last[side][1] * n * n * d / last[side][0] if side in last else 0.0
                if need > ceiling:
                    rec["skipped"][side] = "memory"
                elif step_s > opts.step_ceiling_s:
                    rec["skipped"][side] = "time"
                else:
                    sides.append(side)
            got = run_point(mode, n, d, opts, sides) if sides else {}
            if got is None:
                rec["failed"] = True
            else:
                rec.update(got)
                for side in sides:
                    peak = got[side + " peak MiB"] * (1 << 20)
                    # Small points are all overhead.
                    if peak > 64 << 20:
                        coef[side] = peak / predicted_bytes(mode, side, n, d, 1.0)
                    last[side] = (n * n * d, got[side + " ms"] / 1e3)
            results.append(rec)
            print(fmt_row(rec), flush=True)
        for side in SIDES:
            coefs[series, mode, side] = coef[side]


def measured(rec, side):
    return side + " ms" in rec


def side_cells(rec, side):
    if measured(rec, side):
        return ["%.3g" % rec[side + " ms"], "%.1f" % rec[side + " peak MiB"]]
    why = rec["skipped"].get(side) or ("failed" if rec.get("failed") else "")
    return ["skipped (%s, %.1f GiB predicted)" % (why, rec[side + " predicted GiB"]), ""]


def fmt_row(rec):
    module, python = side_cells(rec, "module"), side_cells(rec, "python")
    ratio = "%.3f" % rec["ratio"] if "ratio" in rec else ""
    cells = [rec["series"], rec["mode"], str(rec["n"]), str(rec["d"]), module[0], python[0], ratio, module[1],
             python[1]]
    return "| " + " | ".join(cells) + " |"


def wide_table(results, series):
    """One row per N (or D): eager and compiled side by side."""
    key = "n" if series == "N" else "d"
    by = {}
    for r in results:
        if r["series"] == series:
            by.setdefault(r[key], {})[r["mode"]] = r
    print("| %s | eager module ms | eager Python ms | ratio | eager peak MiB (module / Python) "
          "| compiled module ms | compiled Python ms | ratio | compiled peak MiB (module / Python) |" % series)
    print("| ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |")
    for x in sorted(by):
        cells = [str(x)]
        for mode in ("eager", "compiled"):
            r = by[x].get(mode)
            if r is None:
                cells += [""] * 4
                continue
            module, python = side_cells(r, "module"), side_cells(r, "python")
            ratio = "%.2f" % r["ratio"] if "ratio" in r else ""
            cells += [module[0], python[0], ratio, "%s / %s" % (module[1] or "-", python[1] or "-")]
        print("| " + " | ".join(cells) + " |")


def largest_measured(results, series, mode, side):
    key = "n" if series == "N" else "d"
    done = [r[key] for r in results if r["series"] == series and r["mode"] == mode and measured(r, side)]
    return max(done) if done else None


def largest_n(mode, side, d, coef, gib):
    """The largest stacked N whose predicted peak fits in gib."""
    return int((gib * GIB / predicted_bytes(mode, side, 1, d, coef)) ** 0.5)


def plot(results, path, title, ceiling_gib):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FuncFormatter

    fig, axes = plt.subplots(2, 2, figsize=(10, 7.2), dpi=72)
    styles = {("eager", "module"): ("C0", "-", "o"), ("eager", "python"): ("C0", ":", "x"),
              ("compiled", "module"): ("C1", "-", "o"), ("compiled", "python"): ("C1", ":", "x")}
    for row, (series, key, other) in enumerate((("N", "n", "D = %d" % D_FIXED), ("D", "d", "N = %d" % N_FIXED))):
        for col, (metric, label) in enumerate((("ms", "CPU time per step (ms)"), ("peak MiB", "peak memory (MiB)"))):
            ax = axes[row][col]
            for (mode, side), (color, ls, marker) in styles.items():
                pts = [(r[key], r[side + " " + metric]) for r in results
                       if r["series"] == series and r["mode"] == mode and measured(r, side)]
                if pts:
                    xs, ys = zip(*pts)
                    ax.plot(xs, [max(y, 0.05) for y in ys], color=color, linestyle=ls, marker=marker,
                            label="%s, %s" % (mode, side))
                if metric == "peak MiB":
                    # Where memory stopped a series: the prediction, up to a little past 24 GiB.
                    last = [r for r in results if r["series"] == series and r["mode"] == mode
                            and measured(r, side)][-1:]
                    over = [r for r in results if r["series"] == series and r["mode"] == mode
                            and r["skipped"].get(side) == "memory" and r[side + " predicted GiB"] <= 64]
                    if last and over:
                        pts = [(last[0][key], last[0][side + " peak MiB"])] + [
                            (r[key], r[side + " predicted GiB"] * 1024) for r in over]
                        xs, ys = zip(*pts)
                        ax.plot(xs, ys, color=color, linestyle="--", marker="o", markerfacecolor="none",
                                label="%s, %s, predicted" % (mode, side))
            ax.set_xscale("log", base=2)
            ax.xaxis.set_major_formatter(FuncFormatter(lambda v, _: "%d" % v))
            ax.set_yscale("log")
            if metric == "peak MiB":
                for gib, text in ((ceiling_gib, " ceiling %g GiB" % ceiling_gib), (24, " 24 GiB")):
                    ax.axhline(gib * 1024, color="grey", linestyle="--", linewidth=1)
                    ax.text(ax.get_xlim()[0], gib * 1024, text, va="bottom", fontsize=8, color="grey")
            ax.set_xlabel("%s (%s)" % (series, other))
            ax.set_ylabel(label)
            ax.grid(True, which="major", alpha=0.3)
            if col == 1 or row == 0:
                ax.legend(fontsize=7)
    fig.suptitle(title, fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=72)


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--ceiling-gib", type=float, default=8.0,
                   help="skip points whose predicted peak exceeds this many GiB (default 8)")
    p.add_argument("--plot", metavar="PNG", help="draw time and peak memory against N and D into PNG")
    p.add_argument("--json", metavar="FILE", help="write the measured points as JSON")
    p.add_argument("--step-ceiling-s", type=float, default=20.0,
                   help="skip points predicted to take longer a step, in seconds (default 20)")
    p.add_argument("--quick", action="store_true", help="a few small points, for a smoke run")
    p.add_argument("--threads", type=int, default=1, help="torch intra-op threads (default 1)")
    p.add_argument("--rounds", type=int, default=15, help="at most this many rounds a point (default 15)")
    p.add_argument("--budget-s", type=float, default=10.0,
                   help="stop a point's rounds after this many seconds, three rounds at least (default 10)")
    p.add_argument("--point", nargs=4, metavar=("MODE", "N", "D", "SIDES"), help=argparse.SUPPRESS)
    opts = p.parse_args()
    import torch
    torch.set_num_threads(opts.threads)
    if opts.point:
        mode, n, d = opts.point[0], int(opts.point[1]), int(opts.point[2])
        print(json.dumps(point(mode, n, d, opts.rounds, opts.budget_s, opts.point[3].split(","))))
        return
    from bench import machine

    n_sweep, d_sweep = (N_SWEEP[:3], D_SWEEP[:2]) if opts.quick else (N_SWEEP, D_SWEEP)
    start = time.perf_counter()
    stamp = "%s, %d cores, torch threads %d; Python %s, torch %s; %s" % (
        machine(), os.cpu_count() or 0, opts.threads, platform.python_version(), torch.__version__,
        time.strftime("%B %Y"))
    print("## MMD forward + backward over N and D: module vs Python, eager and compiled\n")
    print("- " + stamp)
    print("- ceilings: %.1f GiB of memory, %g s a step; points predicted above either are skipped" % (
        opts.ceiling_gib, opts.step_ceiling_s))
    print("- time: median CPU time per step; ratio: median of per-round module / Python; "
          "peak: resident growth during one warm step\n")
    print("| series | mode | N | D | module ms | Python ms | ratio | module peak MiB | Python peak MiB |")
    print("| --- | --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: |")
    results, coefs = [], {}
    sweep("N", [(n, D_FIXED) for n in n_sweep], opts, results, coefs)
    sweep("D", [(N_FIXED, d) for d in d_sweep], opts, results, coefs)
    for series, other in (("N", "D = %d" % D_FIXED), ("D", "N = %d" % N_FIXED)):
        print("\n### over %s, %s\n" % (series, other))
        wide_table(results, series)
    print()
    for series in ("N", "D"):
        for mode in ("eager", "compiled"):
            for side in SIDES:
                print("- largest %s measured, %s %s: %s" % (series, mode, side,
                                                           largest_measured(results, series, mode, side)))
    for mode in ("eager", "compiled"):
        for side in SIDES:
            coef = coefs["N", mode, side]
            print("- %s %s: %.1f bytes per N^2%s; largest N at D = %d predicted to fit: %s" % (
                mode, side, coef, " D" if per_d(mode, side) else "", D_FIXED, ", ".join(
                    "%d under %g GiB" % (largest_n(mode, side, D_FIXED, coef, g), g)
                    for g in (opts.ceiling_gib, 24))))
    if opts.json:
        with open(opts.json, "w") as f:
            json.dump({"machine": stamp, "ceiling GiB": opts.ceiling_gib, "points": results}, f, indent=1)
    if opts.plot:
        plot(results, opts.plot, "MMD forward + backward, float32 - " + stamp, opts.ceiling_gib)
        print("- plot: %s" % opts.plot)
    print("Run time: %.0f s" % (time.perf_counter() - start))


if __name__ == "__main__":
    main()
