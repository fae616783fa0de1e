"""Checks the losses on a CUDA device and writes a short markdown report.

  1. each function on CUDA tensors equals its CPU result (float64 and float32), the result and
     the gradients live on the GPU and equal the CPU gradients; half precision for the category
     loss; tensors on two devices fail;
  2. autocast (float16) on CUDA: the result's dtype and its distance from float32 (reported only);
  3. a training step that calls all five, compiled with torch.compile(fullgraph=True) after the
     functions are allowed into the graph: loss and gradients equal eager, time per step;
  4. the realistic rows of bench.py / bench_compile.py on the GPU, forward + backward: module and
     plain-Python equivalent, eager and compiled, with the peak GPU memory of each;
  5. whether the kernel's squared distances in blocks of rows, the CPU's route (here in the same
     torch calls from Python), equal the broadcast sequence's bit for bit on the device, at several
     block sizes, with no host synchronisation; their time and peak memory beside the
     sequence's. On CUDA the module keeps the sequence until this step has shown them equal.
The suite has no device-parametrized tests, so step 1 is the device check. Without CUDA the
script stops at once with a message and exit status 2; failed checks give exit status 1.
Usage: gpu_check.py [--out out/gpu_report.md] [--budget SECONDS] [--device cpu]
(--device cpu runs the same steps on the CPU, to try the script where there is no GPU.)
"""
import argparse
import os
import platform
import statistics
import sys
import time
import traceback

import torch

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import loss  # noqa: E402
import reference  # noqa: E402
from bench import NAMES, real_inputs  # noqa: E402
from bench_compile import SIZES, allow_module, make_step  # noqa: E402

# Sizes of the device checks (step 1): big enough to use real kernels, small enough for float64 on the CPU side.
CHECK_SIZES = dict({n: (128, 10) for n in NAMES[2:]}, guassian_kernel_mmd=(96, 32), MMD=(96, 32))
# A size where eager MMD holds gigabytes of N² · D temporaries and compiling removes them.
LARGE = (2048, 128)
TOL = {torch.float64: dict(rtol=1e-9, atol=1e-12), torch.float32: dict(rtol=1e-4, atol=1e-5)}


class Report(object):
    def __init__(self):
        self.lines = []
        self.failures = []

    def add(self, text=""):
        print(text)
        self.lines.append(text)

    def table(self, header, rows):
        self.add("| " + " | ".join(header) + " |")
        self.add("|" + "|".join(" --- " for _ in header) + "|")
        for r in rows:
            self.add("| " + " | ".join(str(c) for c in r) + " |")
        self.add()

    def check(self, rows, label, fn):
        """Runs one check; fn returns a detail string or raises."""
        try:
            detail = fn() or ""
            rows.append((label, "ok", detail))
        except Exception as e:  # a failed check is reported, not fatal
            msg = ("%s: %s" % (type(e).__name__, e)).strip().splitlines()[0][:160]
            rows.append((label, "**FAIL**", msg.replace("|", "/")))
            self.failures.append(label)
            traceback.print_exc()


def inputs(name, size, dtype, device):
    args = list(real_inputs(name, size))
    return [a.to(device=device, dtype=dtype) if isinstance(a, torch.Tensor) and a.is_floating_point()
            else a.to(device) if isinstance(a, torch.Tensor) else a for a in args]


def leaves_of(args):
    return [a for a in args if isinstance(a, torch.Tensor) and a.is_floating_point()]


def with_grad(args):
    return [a.detach().clone().requires_grad_() if isinstance(a, torch.Tensor) and a.is_floating_point()
            else a for a in args]


def forward_backward(fn, args):
    args = with_grad(args)
    out = fn(*args)
    grads = torch.autograd.grad(out.sum(), leaves_of(args))
    return out, grads


# ---- 1. device checks

def device_checks(rep, device):
    rows = []
    for name in NAMES:
        fn = getattr(loss, name)
        for dtype in (torch.float64, torch.float32):
            def same_as_cpu(fn=fn, name=name, dtype=dtype):
                cpu = inputs(name, CHECK_SIZES[name], dtype, "cpu")
                out_c, grads_c = forward_backward(fn, cpu)
                out_d, grads_d = forward_backward(fn, [a.to(device) if isinstance(a, torch.Tensor) else a for a in cpu])
                assert out_d.device.type == device, "result on %s" % out_d.device
                assert all(g.device.type == device for g in grads_d), "a gradient left the device"
                torch.testing.assert_close(out_d.cpu(), out_c, **TOL[dtype])
                torch.testing.assert_close([g.cpu() for g in grads_d], list(grads_c), **TOL[dtype])
                return "shape %s, gradients: %d" % (tuple(out_d.shape), len(grads_d))
            rep.check(rows, "%s %s equals CPU" % (name, str(dtype).replace("torch.", "")), same_as_cpu)

    def half_category():
        args = inputs("category_contrastive_loss", CHECK_SIZES["category_contrastive_loss"], torch.float16, device)
        out, grads = forward_backward(loss.category_contrastive_loss, args)
        ref = loss.category_contrastive_loss(*[a.float() if a.is_floating_point() else a for a in args[:2]] + args[2:])
        assert torch.isfinite(out).all() and all(torch.isfinite(g).all() for g in grads)
        return "%s, %.4g vs float32 %.4g" % (out.dtype, out.item(), ref.item())
    rep.check(rows, "category_contrastive_loss float16", half_category)

    def kernel_num_zero():
        s, t = inputs("MMD", (8, 4), torch.float32, device)
        got = loss.guassian_kernel_mmd(s, t, kernel_num=0)
        assert got == 0 and type(got) is int, repr(got)
    rep.check(rows, "guassian_kernel_mmd kernel_num=0 is int 0", kernel_num_zero)

    def mixed_devices():
        if device == "cpu":
            return "skipped: one device"
        s, t = inputs("MMD", (8, 4), torch.float32, device)
        for fn, args in ((loss.MMD, (s, t.cpu())), (loss.compute_joint, (s.softmax(1), t.cpu().softmax(1)))):
            try:
                fn(*args)
            except RuntimeError:
                continue
            raise AssertionError("%s accepted tensors on two devices" % fn.__name__)
        return "RuntimeError from torch"
    rep.check(rows, "tensors on two devices fail", mixed_devices)

    rep.add("## 1. Device checks\n")
    rep.table(("check", "result", "detail"), rows)


# ---- 2. autocast

def autocast_rows(rep, device):
    rows = []
    for name in NAMES:
        fn = getattr(loss, name)
        args = inputs(name, SIZES[name], torch.float32, device)
        try:
            want = fn(*args)
            with torch.autocast(device, dtype=torch.float16 if device == "cuda" else torch.bfloat16):
                got = fn(*args)
            err = ((got.float() - want).abs().max() / want.abs().max().clamp_min(1e-30)).item()
            rows.append((name, str(got.dtype).replace("torch.", ""), "%.2e" % err, bool(torch.isfinite(got).all())))
        except Exception as e:
            rows.append((name, "error", ("%s: %s" % (type(e).__name__, e)).splitlines()[0][:120], ""))
    rep.add("## 2. Autocast (%s), reported only\n" % ("float16" if device == "cuda" else "bfloat16"))
    rep.add("Inputs float32 at the realistic sizes; error = max |autocast − float32| / max |float32|.\n")
    rep.table(("function", "result dtype", "relative error", "finite"), rows)


# ---- 3. compiled training step

class Net(torch.nn.Module):
    def __init__(self, d_in=64, d_feat=128, k=10):
        super().__init__()
        self.enc = torch.nn.Sequential(torch.nn.Linear(d_in, d_feat), torch.nn.ReLU(), torch.nn.Linear(d_feat, d_feat))
        self.head = torch.nn.Linear(d_feat, k)

    def forward(self, x):
        f = self.enc(x)
        return f, self.head(f).softmax(1)


def train_loss(net, x, x_aug, target_feats, labels):
    f, p = net(x)
    _, p_aug = net(x_aug)
    joint = loss.compute_joint(p, p_aug)
    return (loss.MMD(f, target_feats)
            + loss.guassian_kernel_mmd(f, target_feats).mean() * 0.01
            + loss.instance_contrastive_Loss(p, p_aug)
            + loss.category_contrastive_loss(f, labels, 10, False) * 1e-3
            - joint.diagonal().sum())


def sync(device):
    if device == "cuda":
        torch.cuda.synchronize()


def compiled_step(rep, device):
    rows = []
    g = torch.Generator().manual_seed(0)
    net = Net().to(device)
    x = torch.randn(256, 64, generator=g).to(device)
    batch = (x, x + 0.1 * torch.randn(256, 64, generator=g).to(device),
             torch.randn(256, 128, generator=g).to(device), torch.randint(0, 10, (256,), generator=g).to(device))
    params = list(net.parameters())
    compiled = torch.compile(train_loss, fullgraph=True)
    timing = {}

    def equal_to_eager():
        want = train_loss(net, *batch)
        want_g = torch.autograd.grad(want, params)
        t0 = time.perf_counter()
        got = compiled(net, *batch)
        got_g = torch.autograd.grad(got, params)
        sync(device)
        timing["first"] = time.perf_counter() - t0
        torch.testing.assert_close(got, want, rtol=1e-4, atol=1e-5)
        torch.testing.assert_close(got_g, want_g, rtol=1e-3, atol=1e-5)
        return "loss %.6g; first call (compiling) %.1f s" % (got.item(), timing["first"])
    rep.check(rows, "compiled step equals eager (loss and %d parameter gradients)" % len(params), equal_to_eager)

    def per_step():
        opt = torch.optim.SGD(net.parameters(), lr=1e-3)
        out = {}
        for label, fn in (("eager", train_loss), ("compiled", compiled)):
            for _ in range(3):
                opt.zero_grad()
                fn(net, *batch).backward()
                opt.step()
            ts = []
            for _ in range(5):
                sync(device)
                t0 = time.perf_counter()
                for _ in range(10):
                    opt.zero_grad()
                    fn(net, *batch).backward()
                    opt.step()
                sync(device)
                ts.append((time.perf_counter() - t0) / 10)
            out[label] = statistics.median(ts)
        return "eager %.3f ms, compiled %.3f ms per step (forward, backward, SGD)" % (
            out["eager"] * 1e3, out["compiled"] * 1e3)
    if "first" in timing:
        rep.check(rows, "training steps", per_step)
    rep.add("## 3. Compiled training step (all five losses, batch 256)\n")
    rep.table(("check", "result", "detail"), rows)


# ---- 4. benchmark rows

def peak_memory(call, device):
    if device != "cuda":
        return None
    sync(device)
    torch.cuda.reset_peak_memory_stats()
    base = torch.cuda.memory_allocated()
    call()
    sync(device)
    return (torch.cuda.max_memory_allocated() - base) / 2.0 ** 20


def timed(call, device, rounds=7):
    """Median seconds per call; each batch ends with a synchronize, so the GPU's work counts."""
    # The first calls compile (the backward on its first use) and run beside compile workers.
    t0, n = time.perf_counter(), 0
    while n < 3 or time.perf_counter() - t0 < 0.3:
        call()
        sync(device)
        n += 1
    t0 = time.perf_counter()
    call()
    sync(device)
    number = max(1, int(0.02 / max(time.perf_counter() - t0, 1e-6)))
    ts = []
    for _ in range(rounds):
        sync(device)
        t0 = time.perf_counter()
        for _ in range(number):
            call()
        sync(device)
        ts.append((time.perf_counter() - t0) / number)
    return statistics.median(ts)


def bench_rows(rep, device, deadline):
    cases = [(n, SIZES[n]) for n in NAMES] + [("MMD", LARGE)]
    rows, skipped = [], []
    for name, size in cases:
        if time.perf_counter() > deadline:
            skipped.append("%s %dx%d" % (name, size[0], size[1]))
            continue
        args = with_grad(inputs(name, size, torch.float32, device))
        leaves = leaves_of(args)
        cells, mem = {}, {}
        try:
            for label, fn in (("module", getattr(loss, name)), ("python", getattr(reference, name))):
                for mode in ("eager", "compiled"):
                    step = make_step(fn, "%s %s %s %s" % (label, mode, name, size))
                    if mode == "compiled":
                        step = torch.compile(step, fullgraph=True)

                    def call(step=step):
                        return torch.autograd.grad(step(*args), leaves)
                    cells[label, mode] = timed(call, device)
                    if label == "module":
                        mem[mode] = peak_memory(call, device)
        except Exception as e:
            rows.append((name, "%dx%d" % size, "error: %s" % str(e).splitlines()[0][:100]) + ("",) * 6)
            rep.failures.append("bench %s" % name)
            traceback.print_exc()
            continue
        ms = dict((k, "%.3f" % (v * 1e3)) for k, v in cells.items())
        rows.append((name, "%dx%d" % size + (" stacked" if name in NAMES[:2] else ""),
                     ms["module", "eager"], ms["python", "eager"], ms["module", "compiled"], ms["python", "compiled"],
                     "%.3f" % (cells["module", "compiled"] / cells["python", "compiled"]),
                     "n/a" if mem["eager"] is None else "%.1f" % mem["eager"],
                     "n/a" if mem["compiled"] is None else "%.1f" % mem["compiled"]))
        torch._dynamo.reset()
    rep.add("## 4. Benchmark rows, forward + backward\n")
    rep.add("Median of 7 batches, each ended by a synchronize; ratio = module compiled / Python compiled. "
            "Peak: GPU memory one call of the module adds (max_memory_allocated).\n")
    rep.table(("function", "input", "module eager ms", "Python eager ms", "module compiled ms",
               "Python compiled ms", "ratio", "eager peak MiB", "compiled peak MiB"), rows)
    if skipped:
        rep.add("Skipped for the time budget: %s\n" % ", ".join(skipped))


# ---- 5. blocks of rows on the device

def broadcast_distances(total):
    n, d = total.shape
    return ((total.unsqueeze(0).expand(n, n, d) - total.unsqueeze(1).expand(n, n, d)) ** 2).sum(2)


def blocked_distances(total, block_bytes):
    """The module's blocks (src/losses/pairwise.cpp): rows [a, a + B) against columns [a, N),
    through one buffer, mirrored below the diagonal."""
    n, d = total.shape
    rows = max(1, block_bytes // (n * d * total.element_size()))
    out = total.new_empty((n, n))
    buffer = total.new_empty((rows * n * d,))
    for a in range(0, n, rows):
        b, rest = min(a + rows, n), n - a
        block = buffer.narrow(0, 0, (b - a) * rest * d).view(b - a, rest, d)
        torch.sub(total.narrow(0, a, rest).unsqueeze(0), total.narrow(0, a, b - a).unsqueeze(1), out=block)
        sums = block.pow_(2).sum(2)
        out.narrow(0, a, b - a).narrow(1, a, rest).copy_(sums)
        if rest > b - a:
            out.narrow(0, b, rest - (b - a)).narrow(1, a, b - a).copy_(sums.narrow(1, b - a, rest - (b - a)).t())
    return out


def block_rows(rep, device):
    rows = []
    for dtype in (torch.float32, torch.float64, torch.bfloat16):
        # The dry run on the CPU keeps to sizes it can broadcast in seconds.
        for n, d in ((96, 32), (1024, 128), (2048, 128), (512, 2048)) if device == "cuda" else ((96, 32), (300, 64)):
            g = torch.Generator().manual_seed(0)
            total = torch.randn(n, d, generator=g).to(device=device, dtype=dtype)
            want = broadcast_distances(total)
            for mib in (4, 32, 256):
                def check(total=total, want=want, mib=mib):
                    if device == "cuda":
                        torch.cuda.set_sync_debug_mode("error")
                    try:
                        got = blocked_distances(total, mib << 20)
                    finally:
                        if device == "cuda":
                            torch.cuda.set_sync_debug_mode(0)
                    if not torch.equal(got, want):
                        raise AssertionError("%d of %d entries differ" % (int((got != want).sum()), got.numel()))
                    full = timed(lambda: broadcast_distances(total), device, rounds=3)
                    blocks = timed(lambda: blocked_distances(total, mib << 20), device, rounds=3)
                    peaks = [peak_memory(lambda: f(total), device) for f in
                             (broadcast_distances, lambda t: blocked_distances(t, mib << 20))]
                    mem = "n/a" if peaks[0] is None else "%.0f / %.0f MiB" % tuple(peaks)
                    return "bit for bit, no sync; %.3f / %.3f ms; %s (sequence / blocks)" % (
                        full * 1e3, blocks * 1e3, mem)
                rep.check(rows, "%s %dx%d, %d MiB blocks" % (str(dtype).replace("torch.", ""), n, d, mib), check)
    rep.add("## 5. Squared distances in blocks of rows against the broadcast sequence\n")
    rep.table(("case", "result", "detail"), rows)


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--out", default=os.path.join("out", "gpu_report.md"), help="markdown report path")
    p.add_argument("--budget", type=float, default=180.0,
                   help="no benchmark row starts after this many seconds (default 180)")
    p.add_argument("--device", default="cuda", choices=("cuda", "cpu"), help=argparse.SUPPRESS)
    opts = p.parse_args()
    start = time.perf_counter()
    if opts.device == "cuda" and not torch.cuda.is_available():
        build = ("built for CUDA %s" % torch.version.cuda) if torch.version.cuda else "a CPU-only build"
        sys.stderr.write("gpu_check: no CUDA device is available (torch %s, %s); run it on a machine with an "
                         "NVIDIA GPU and a CUDA build of torch. Nothing was checked.\n" % (torch.__version__, build))
        return 2
    allow_module()
    rep = Report()
    rep.add("# loss on the GPU\n")
    dev = torch.cuda.get_device_name(0) if opts.device == "cuda" else "CPU (dry run, --device cpu)"
    rep.add("- device: %s; torch %s (CUDA %s); Python %s" % (dev, torch.__version__, torch.version.cuda,
                                                               platform.python_version()))
    rep.add("- loss module: %s\n" % loss.__file__)
    device_checks(rep, opts.device)
    autocast_rows(rep, opts.device)
    compiled_step(rep, opts.device)
    bench_rows(rep, opts.device, start + opts.budget)
    block_rows(rep, opts.device)
    rep.add("Failed checks: %s" % (", ".join(rep.failures) if rep.failures else "none"))
    rep.add("Run time: %.0f s" % (time.perf_counter() - start))
    out_dir = os.path.dirname(opts.out)
    if out_dir:
        os.makedirs(out_dir, exist_ok=True)
    with open(opts.out, "w") as f:
        f.write("\n".join(rep.lines) + "\n")
    print("report written to %s" % opts.out)
    return 1 if rep.failures else 0


if __name__ == "__main__":
    sys.exit(main())
