"""Reads ThreadSanitizer's logs (one file per process) and sorts the reports: those where one of
the conflicting accesses has a frame in the module (its shared object, or a function of
namespace loss::) fail the run; the others are counted by the library of their first frame.
Only the access stacks count: a thread that torch started from inside a call, or a block the
module allocated, names the module without its code taking part in the race.
    tsan_reports.py LOGDIR
Standard library only."""
import collections
import os
import re
import sys

START = re.compile(r"^WARNING: ThreadSanitizer: (.*?)(?: \(pid=\d+\))?$")
FRAME = re.compile(r"^\s*#\d+ (\S+) .*?\((\S+?)\+0x[0-9a-f]+\)")
# Where the access stacks end: the location, mutex and thread-creation sections.
AFTER_ACCESSES = re.compile(r"^\s+(Location is|Mutex M|Thread T)")


def reports(path):
    """Each report of one log file as its list of lines."""
    block = None
    with open(path, errors="replace") as f:
        for line in f:
            line = line.rstrip("\n")
            if START.match(line):
                block = [line]
            elif block is not None:
                if line.startswith("=================="):
                    yield block
                    block = None
                else:
                    block.append(line)
    if block:
        yield block


def ours(frame):
    function, library = frame
    return function.startswith("loss::") or os.path.basename(library).startswith("loss.")


def main(logdir):
    found = []
    for name in sorted(os.listdir(logdir)):
        for block in reports(os.path.join(logdir, name)):
            accesses = []
            for line in block:
                if AFTER_ACCESSES.match(line):
                    break
                accesses.append(line)
            frames = [m.groups() for m in map(FRAME.match, accesses) if m]
            found.append((START.match(block[0]).group(1), frames, block))
    mine, others = [], collections.Counter()
    for kind, frames, block in found:
        if any(ours(f) for f in frames):
            mine.append((kind, frames, block))
        else:
            others[kind, os.path.basename(frames[0][1]) if frames else "?"] += 1
    for kind, _, block in mine:
        print("\n".join(block))
        print("==================")
    print("tsan: %d report(s) with a frame in the module, %d elsewhere" % (len(mine), len(found) - len(mine)))
    for (kind, library), n in sorted(others.items()):
        print("  %4d  %s, first frame in %s" % (n, kind, library))
    return 1 if mine else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
