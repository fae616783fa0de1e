"""How deep the module's functions can recurse into one another through their module globals
(`loss.guassian_kernel_mmd = loss.MMD`, `loss.compute_joint = loss.instance_contrastive_Loss`)
on this interpreter, and what ends the recursion: a RecursionError, or the C stack running out.

Each nesting level is a C call of the module's own, so it takes C stack, where pure-Python
recursion from 3.11 on takes none. Prints the stack bytes one level takes (x86-64 only: read
from the stack pointer at each level), then, each in a fresh interpreter, what a recursion does
with the default settings, with a raised sys.setrecursionlimit in the main thread, and in threads
with small stacks. The batches are stand-ins with a size() method: torch is imported, never run.
Usage: recursion.py [--levels-only]
"""
import argparse
import platform
import subprocess
import sys

LOOPS = {"MMD": ("guassian_kernel_mmd", "MMD"), "instance": ("compute_joint", "instance_contrastive_Loss")}
SCENARIOS = [("defaults, main thread", "limit", 0), ("sys.setrecursionlimit(20000)", "limit", 20000),
             ("sys.setrecursionlimit(100000)", "limit", 100000), ("thread of 4 MiB", "thread", 4096),
             ("thread of 512 KiB", "thread", 512), ("thread of 256 KiB", "thread", 256)]

CHILD = r'''
import sys, threading
import loss

class Rows:
    def size(self, *a):
        return (3, 2)

def run():
    name, loop = %(names)r
    setattr(loss, name, getattr(loss, loop))
    try:
        getattr(loss, loop)(Rows(), Rows())
    except RecursionError as e:
        n, tb = 0, e.__traceback__
        while tb is not None:
            n, tb = n + 1, tb.tb_next
        print("RecursionError after %%d levels" %% n)

mode, value = %(mode)r, %(value)d
if mode == "limit":
    if value:
        sys.setrecursionlimit(value)
    run()
else:
    threading.stack_size(value * 1024)
    t = threading.Thread(target=run)
    t.start()
    t.join()
'''

PROBE = r'''
import ctypes, mmap
import loss

page = mmap.mmap(-1, mmap.PAGESIZE, prot=mmap.PROT_READ | mmap.PROT_WRITE | mmap.PROT_EXEC)
page.write(b"\x48\x89\xe0\xc3")  # mov rax, rsp; ret
stack_pointer = ctypes.CFUNCTYPE(ctypes.c_void_p)(ctypes.addressof(ctypes.c_char.from_buffer(page)))

class Enough(Exception):
    pass

class Rows:
    def size(self, *a):
        return (3, 2)

class Probe:
    """A first batch: its size(), read once per level, notes the stack pointer."""
    def __init__(self):
        self.seen = []
    def size(self, *a):
        self.seen.append(stack_pointer())
        if len(self.seen) == 40:
            raise Enough
        return (3, 2)

for label, (name, loop) in %(loops)r.items():
    setattr(loss, name, getattr(loss, loop))
    probe = Probe()
    try:
        getattr(loss, loop)(probe, Rows())
    except Enough:
        pass
    # From the second level on: the first call of the probe may take another path in ctypes.
    seen = probe.seen[1:]
    steps = sorted(set(a - b for a, b in zip(seen, seen[1:])))
    print(label, " ".join(map(str, steps)))
'''


def child(code):
    proc = subprocess.run([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True, timeout=300)
    if proc.returncode < 0:
        return "crash (signal %d)" % -proc.returncode
    lines = proc.stdout.strip().splitlines()
    if proc.returncode != 0 or not lines:
        return "failed (exit %d): %s" % (proc.returncode, (lines or [""])[-1])
    return lines[-1] if len(lines) == 1 else "\n".join(lines)


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--levels-only", action="store_true", help="only the stack bytes per level")
    args = p.parse_args()
    print("- Python %s (%s), %s" % (platform.python_version(), platform.machine(), platform.platform()))
    if platform.machine() in ("x86_64", "AMD64") and sys.platform.startswith("linux"):
        for line in child(PROBE % {"loops": LOOPS}).splitlines():
            print("- C stack per level, %s loop: %s bytes" % tuple(line.split(" ", 1)))
    if args.levels_only:
        return
    print()
    print("| Python | scenario | MMD loop | instance loop |")
    print("| --- | --- | --- | --- |")
    for label, mode, value in SCENARIOS:
        cells = [child(CHILD % {"names": LOOPS[loop], "mode": mode, "value": value}) for loop in LOOPS]
        print("| %s | %s | %s | %s |" % (platform.python_version(), label, cells[0], cells[1]))
        sys.stdout.flush()


if __name__ == "__main__":
    main()
