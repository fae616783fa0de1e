"""Small calls from several Python threads: calls per second with 1 and 2 threads, the module
beside the same torch calls written in plain Python (reference.py), so that a table shows
whether the module or torch holds a second thread back.

Each Python thread runs the five functions in turn on batches of 16, 32 and 64 rows, on its own
inputs, for a fixed time; torch runs one intra-op thread (one torch thread per Python thread).
Rounds alternate module and Python, and 1 and 2 threads; each cell is the median of the rounds.
The interpreter's GIL state is reported as found (PYTHON_GIL=1 turns it on in a free-threaded
build). Beside each cell, the minor page faults per call: where glibc hands freed blocks back to
the system after each call, the next call faults them in again, and threads then meet in the
kernel, whatever calls torch. --keep-freed-memory tells glibc to keep them (mallopt), for both.
Usage: threads.py [--seconds S] [--rounds R] [--threads N ...] [--keep-freed-memory]
"""
import argparse
import ctypes
import os
import platform
import resource
import statistics
import sys
import sysconfig
import threading
import time

import torch

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import loss  # noqa: E402
import reference  # noqa: E402
from bench import NAMES, machine  # noqa: E402

ROWS = (16, 32, 64)


def inputs(name, rows, seed):
    g = torch.Generator().manual_seed(seed)
    if name in ("guassian_kernel_mmd", "MMD"):
        # rows stacked: source and target each hold half, 32 features.
        return (torch.randn(rows // 2, 32, generator=g), torch.randn(rows // 2, 32, generator=g) + 0.5)
    if name in ("compute_joint", "instance_contrastive_Loss"):
        return (torch.randn(rows, 10, generator=g).softmax(1), torch.randn(rows, 10, generator=g).softmax(1))
    return (torch.randn(rows, 10, generator=g), torch.randint(0, 10, (rows,), generator=g), 10, False)


def workload(impl, seed):
    """One thread's calls: every function on every batch size, its own tensors."""
    return [(getattr(impl, name), inputs(name, rows, seed + i))
            for i, (name, rows) in enumerate((n, r) for n in NAMES for r in ROWS)]


def run(impl, nthreads, seconds):
    """Calls per second, all threads together, over `seconds` once all have started, and the
    process's minor page faults per call meanwhile."""
    work = [workload(impl, 100 * k) for k in range(nthreads)]
    for calls in work:
        for fn, args in calls:
            fn(*args)
    start, counts = threading.Barrier(nthreads + 1), [0] * nthreads
    stop = threading.Event()

    def worker(k):
        calls, done = work[k], 0
        start.wait()
        while not stop.is_set():
            for fn, args in calls:
                fn(*args)
            done += len(calls)
        counts[k] = done

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(nthreads)]
    for t in threads:
        t.start()
    start.wait()
    t0, faults = time.perf_counter(), resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    time.sleep(seconds)
    stop.set()
    for t in threads:
        t.join()
    # Each thread finishes the pass it is in: count the time that took too.
    faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt - faults
    return sum(counts) / (time.perf_counter() - t0), faults / max(sum(counts), 1)


def keep_freed_memory():
    """glibc keeps freed blocks up to 256 MiB instead of unmapping or trimming them."""
    libc = ctypes.CDLL(None)
    M_TRIM_THRESHOLD, M_MMAP_THRESHOLD = -1, -3
    if not (libc.mallopt(M_MMAP_THRESHOLD, 64 << 20) and libc.mallopt(M_TRIM_THRESHOLD, 256 << 20)):
        raise SystemExit("mallopt refused: not glibc?")


def gil_state():
    enabled = getattr(sys, "_is_gil_enabled", lambda: True)()
    build = "free-threaded" if sysconfig.get_config_var("Py_GIL_DISABLED") else "default"
    return "%s build, GIL %s" % (build, "on" if enabled else "off")


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--seconds", type=float, default=2.0, help="length of one measurement")
    p.add_argument("--rounds", type=int, default=5)
    p.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    p.add_argument("--keep-freed-memory", action="store_true", help="glibc keeps freed blocks (mallopt)")
    opts = p.parse_args()
    if opts.keep_freed_memory:
        keep_freed_memory()
    torch.set_num_threads(1)
    impls = (("module", loss), ("Python", reference))
    rates = {(i, n): [] for i, _ in impls for n in opts.threads}
    faults = {key: [] for key in rates}
    for _, impl in impls:  # warm-up: allocator, caches, lazily made torch state
        run(impl, max(opts.threads), min(opts.seconds, 1.0))
    for r in range(opts.rounds):
        order = impls if r % 2 == 0 else impls[::-1]
        for n in (opts.threads if r % 2 == 0 else opts.threads[::-1]):
            for label, impl in order:
                rate, per_call = run(impl, n, opts.seconds)
                rates[label, n].append(rate)
                faults[label, n].append(per_call)
    print("- CPython %s (%s), torch %s, one torch thread per Python thread; %s, %d cores"
          % (platform.python_version(), gil_state(), torch.__version__, machine(), os.cpu_count() or 0))
    print("- median of %d rounds of %.1f s; the five functions on %s rows; glibc %s\n"
          % (opts.rounds, opts.seconds, ", ".join(map(str, ROWS)),
             "keeping freed memory" if opts.keep_freed_memory else "as it comes"))
    first = opts.threads[0]
    print("| threads | module calls/s | Python calls/s | module / Python | module vs %d thread | Python vs %d thread "
          "| faults per call, module / Python |" % (first, first))
    print("| ---: | ---: | ---: | ---: | ---: | ---: | ---: |")
    base = {label: statistics.median(rates[label, first]) for label, _ in impls}
    for n in opts.threads:
        m, py = statistics.median(rates["module", n]), statistics.median(rates["Python", n])
        fm, fp = statistics.median(faults["module", n]), statistics.median(faults["Python", n])
        print("| %d | %.0f | %.0f | %.2f | %.2f | %.2f | %.2f / %.2f |"
              % (n, m, py, m / py, m / base["module"], py / base["Python"], fm, fp))


if __name__ == "__main__":
    main()
