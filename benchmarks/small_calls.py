"""guassian_kernel_mmd and MMD at N = 64 stacked rows of D = 128: time and minor page faults per
call, with the C allocator's defaults and with it told to keep freed memory.

A call forms two 2 MiB tensors of pairwise differences. Whether glibc returns such blocks to the
system after each call, so that the next call faults their pages in again, depends on what the
process allocated before; this is what moves these small calls by a factor of several between
one benchmark row and the next. Each setting runs in a fresh interpreter, one torch thread.
Usage: small_calls.py
"""
import os
import platform
import resource
import subprocess
import sys
import timeit

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

N, D = 64, 128
# glibc's tunables by environment: serve these blocks from the heap and never trim it.
KEEP = {"MALLOC_MMAP_THRESHOLD_": str(64 << 20), "MALLOC_TRIM_THRESHOLD_": str(256 << 20)}


def child():
    import torch
    import loss
    torch.set_num_threads(1)
    g = torch.Generator().manual_seed(0)
    a, b = torch.randn(N // 2, D, generator=g), torch.randn(N // 2, D, generator=g) + 0.5
    for name in ("guassian_kernel_mmd", "MMD"):
        f = getattr(loss, name)
        f(a, b)
        number, repeat = 200, 5
        faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
        best = min(timeit.repeat(lambda: f(a, b), number=number, repeat=repeat)) / number
        faults = (resource.getrusage(resource.RUSAGE_SELF).ru_minflt - faults) / float(number * repeat)
        print("%s %.3f %.0f" % (name, best * 1e3, faults))


def main():
    if sys.argv[1:] == ["--child"]:
        child()
        return
    import torch
    from bench import machine
    print("## guassian_kernel_mmd and MMD at N = %d, D = %d: allocator and page faults\n" % (N, D))
    print("- machine: %s, %d cores; one torch thread; Python %s, torch %s; best of 5 x 200 calls\n" % (
        machine(), os.cpu_count() or 0, platform.python_version(), torch.__version__))
    print("| allocator | function | ms per call | minor faults per call |")
    print("| --- | --- | ---: | ---: |")
    for label, extra in (("glibc defaults", {}), ("freed memory kept (%s)" % ", ".join(
            "%s=%s" % kv for kv in sorted(KEEP.items())), KEEP)):
        env = dict(os.environ, **extra)
        out = subprocess.run([sys.executable, os.path.abspath(__file__), "--child"], env=env, check=True,
                             stdout=subprocess.PIPE, universal_newlines=True).stdout
        for line in out.split("\n"):
            if line.strip():
                name, ms, faults = line.split()
                print("| %s | %s | %s | %s |" % (label, name, ms, faults))


if __name__ == "__main__":
    main()
