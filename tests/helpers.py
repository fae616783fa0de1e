"""What the test files share: the traceback-entry view, a child interpreter, leak and thread
helpers, the stand-ins for tensors and keyword names."""
import os
import subprocess
import sys
import threading

import pytest

# Shared by the subprocess snippets: the same view of traceback entries as entries().
ENTRIES_SRC = '''
def entries(exc):
    out, tb = [], exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename == "loss.py":
            out.append((code.co_name, code.co_filename, tb.tb_lineno))
        tb = tb.tb_next
    return out
'''
exec(ENTRIES_SRC)


def child(*args, drop=(), stdin=None, cwd=None):
    """This interpreter run afresh with `args`, without the caller's -O, warning and start-up
    settings (and the variables in `drop`); the CompletedProcess. pytest-timeout bounds it."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("PYTHONOPTIMIZE", "PYTHONWARNINGS", "PYTHONSTARTUP") + tuple(drop)}
    # UTF-8 both ways, as on Linux, where a Windows pipe would take the ANSI code page.
    env["PYTHONIOENCODING"] = "utf-8"
    return subprocess.run([sys.executable] + list(args), input=stdin, cwd=cwd, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, encoding="utf-8", env=env)


def run_python(code, *flags, **kw):
    """`code` in a fresh interpreter, with entries() defined; the CompletedProcess."""
    return child(*flags, "-c", ENTRIES_SRC + code, **kw)


def assert_steady(call, *objs, **kw):
    """Repeats `call` (exceptions of type `swallow` swallowed) and checks that neither the
    refcounts of `objs` nor, with `blocks`, the interpreter's allocated blocks creep up."""
    import gc
    rounds, warmup = kw.get("rounds", 300), kw.get("warmup", 30)
    swallow, blocks_too = kw.get("swallow", Exception), kw.get("blocks", True)

    def many(n):
        for _ in range(n):
            try:
                call()
            except swallow:
                pass

    many(warmup)
    gc.collect()
    refs = [sys.getrefcount(o) for o in objs]
    blocks = sys.getallocatedblocks()
    many(rounds)
    gc.collect()
    assert [sys.getrefcount(o) for o in objs] == refs
    if blocks_too:
        assert sys.getallocatedblocks() - blocks < rounds // 10


def rebind(monkeypatch, names):
    """Rebinds module globals for one test; a value of None deletes the name."""
    import loss
    for k, v in names.items():
        if v is None:
            monkeypatch.delattr(loss, k)
        else:
            monkeypatch.setattr(loss, k, v)


class Duck(object):
    """Tensor stand-in: forwards to a tensor, logs every method and operator
    call as (label, name, args...), hides names in `missing`, raises
    ValueError("boom") for logged calls listed in `fail`."""

    def __init__(self, t, label="x", log=None, missing=(), fail=(), size=None):
        self._t, self._label = t, label
        self._log = [] if log is None else log
        self._missing, self._fail, self._size = set(missing), set(fail), size

    def _wrap(self, v):
        import torch
        if isinstance(v, torch.Tensor):
            return Duck(v, self._label, self._log, self._missing, self._fail)
        return v

    def _record(self, name, args):
        entry = (name,) + tuple(args)
        self._log.append((self._label,) + entry)
        if entry in self._fail:
            raise ValueError("boom")

    def __getattr__(self, name):
        if name.startswith("_") or name in self._missing:
            raise AttributeError(name)
        attr = self._size if (name == "size" and self._size is not None) else getattr(self._t, name)
        if not callable(attr):
            return attr

        def method(*a, **k):
            self._record(name, a + tuple(sorted(k.items())))
            return self._wrap(attr(*a, **k))
        return method

    def _op(name):
        def op(self, other):
            self._record(name, (other if isinstance(other, (int, float)) else type(other).__name__,))
            other = other._t if isinstance(other, Duck) else other
            return self._wrap(getattr(self._t, name)(other))
        return op

    __mul__, __add__, __truediv__ = _op("__mul__"), _op("__add__"), _op("__truediv__")
    del _op


# Under `python -O` the bodies skip their shape assertions; tests of those run only without it.
needs_asserts = pytest.mark.skipif(sys.flags.optimize > 0, reason="assertions are off under -O")


def op_log():
    """A dispatch mode that records the name of every torch operation run while it is active."""
    from torch.utils._python_dispatch import TorchDispatchMode

    class OpLog(TorchDispatchMode):
        def __init__(self):
            super().__init__()
            self.ops = []

        def __torch_dispatch__(self, func, types, args=(), kwargs=None):
            self.ops.append(str(func))
            return func(*args, **(kwargs or {}))

    return OpLog()


def counting_compile(fn, dynamic):
    """`fn(a, b).sum()` compiled whole, and the list of graphs dynamo hands the backend."""
    import torch

    torch._dynamo.reset()
    made = []

    def backend(gm, example_inputs):
        made.append(gm)
        return gm.forward

    return torch.compile(lambda a, b: fn(a, b).sum(), backend=backend, fullgraph=True, dynamic=dynamic), made


def same(a, b):
    """Equal results: tensors element by element, anything else by ==."""
    import torch
    if isinstance(a, torch.Tensor) or isinstance(b, torch.Tensor):
        return isinstance(a, torch.Tensor) and isinstance(b, torch.Tensor) and torch.equal(a, b)
    return a == b


def in_threads(work, n):
    """work(k) in n threads released together; their results in thread order. The first
    thing a thread raises fails the test, with its traceback."""
    start, results, errors = threading.Barrier(n), [None] * n, []

    def run(k):
        try:
            start.wait()
            results[k] = work(k)
        except BaseException as e:  # an assertion of the work, or anything unexpected
            errors.append((k, e))

    threads = [threading.Thread(target=run, args=(k,)) for k in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        k, e = errors[0]
        raise AssertionError("thread %d of %d raised %r" % (k, n, e)) from e
    return results


class RaisingEqStr(str):
    """A keyword name whose comparison raises."""
    __hash__ = str.__hash__

    def __eq__(self, other):
        raise KeyError("eq")
