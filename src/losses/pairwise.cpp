// pairwise.cpp: squared distances a block of rows at a time, with a backward of their own.
//
// The sequence broadcasts every pair into an N x N x D tensor and autograd keeps it for the
// backward. Each output of `.sum(2)` is reduced over D on its own, whatever the number of
// outputs, and (a - b)^2 == (b - a)^2 exactly, so blocks of rows give every entry bit for bit and
// the upper triangle of blocks gives the rest by mirroring. Only plain CPU tensors take this
// route; on CUDA a reduction may split a row's sum by the number of outputs.
#include "losses/pairwise.h"

#include "calls/ops.h"

#include <atomic>
#include <new>

namespace loss {

namespace {

/// The temporaries of one block: a few MiB, which stay close to the cache.
constexpr Py_ssize_t kBlockBytes = Py_ssize_t{4} << 20;

/// Below this many elements of N x N x D blocks are no faster than the broadcast (MMD took 1.00
/// to 1.28 times its time in blocks), and from there on they are faster (benchmarks/compare_mmd.py
/// --threshold, which builds with blocks from 0 on).
#ifndef LOSS_BLOCKS_FROM
#define LOSS_BLOCKS_FROM (1 << 19)
#endif
constexpr double kMinElements = LOSS_BLOCKS_FROM;

/// The floating dtypes the routes serve, and their item sizes.
constexpr struct {
    const char *name;
    Py_ssize_t item_size;
} kDtypes[] = {{"float32", 4}, {"float64", 8}, {"bfloat16", 2}, {"float16", 2}};
constexpr int kNumDtypes = static_cast<int>(sizeof kDtypes / sizeof kDtypes[0]);

/// What the routes need of torch, made from the real torch once, on the kernel's first call,
/// and kept until the process ends.
struct Kit {
    Ref torch, tensor, strided;
    Ref dtypes[kNumDtypes];
    // Whether anything observes torch: torch.overrides.has_torch_function (a subclass, an object
    // with __torch_function__, a torch function mode) and torch.jit.is_tracing are public; for
    // dispatch modes and functorch's transforms torch has only torch._C's own queries.
    Ref has_torch_function, dispatch_modes, transforms_active, is_tracing;
    Ref grad_enabled, unpack_dual, sub, sum, cat;
    Ref apply;  // SquaredDistances.apply
    Ref shape, layout, is_cpu, requires_grad, tangent, narrow, new_empty, pow_, mul_, copy_;
    Ref saved_tensors, save_for_backward, save_for_forward;
    Ref kw_out;  // ("out",)
};

std::atomic<Kit *> the_kit{nullptr};
/// Where torch lacks something the routes need: the sequence then serves every call.
Kit unavailable;

/// `root.a.b...`
PyObject *attr_path(PyObject *root, std::initializer_list<const char *> path) noexcept {
    Ref o = Ref::borrow(root);
    for (const char *name : path) {
        o = Ref::steal(PyObject_GetAttrString(o.get(), name));
        if (!o) return nullptr;
    }
    return o.release();
}

bool keep(Ref &slot, PyObject *value) noexcept {
    slot = Ref::steal(value);
    return value != nullptr;
}

PyObject *forward(PyObject *, PyObject *args) noexcept;
PyObject *backward(PyObject *, PyObject *args) noexcept;
PyObject *jvp(PyObject *, PyObject *args) noexcept;

PyMethodDef kSteps[] = {
    {"forward", forward, METH_VARARGS, nullptr},
    {"backward", backward, METH_VARARGS, nullptr},
    {"jvp", jvp, METH_VARARGS, nullptr},
};

/// `class SquaredDistances(torch.autograd.Function)` with the three static methods above.
PyObject *make_function_class(PyObject *torch) noexcept {
    Ref base = Ref::steal(attr_path(torch, {"autograd", "Function"}));
    if (!base) return nullptr;
    Ref ns = Ref::steal(PyDict_New());
    if (!ns || PyDict_SetItemString(ns.get(), "__module__", S.names.loss) < 0) return nullptr;
    for (PyMethodDef &def : kSteps) {
        Ref fn = Ref::steal(PyCFunction_NewEx(&def, nullptr, nullptr));
        if (!fn) return nullptr;
        Ref step = Ref::steal(PyStaticMethod_New(fn.get()));
        if (!step || PyDict_SetItemString(ns.get(), def.ml_name, step.get()) < 0) return nullptr;
    }
    Ref bases = Ref::steal(PyTuple_Pack(1, base.get()));
    if (!bases) return nullptr;
    return PyObject_CallFunction(reinterpret_cast<PyObject *>(Py_TYPE(base.get())), "sOO", "SquaredDistances",
                                 bases.get(), ns.get());
}

bool fill(Kit &k, PyObject *torch) noexcept {
    k.torch = Ref::borrow(torch);
    if (!keep(k.tensor, attr_path(torch, {"Tensor"})) || !keep(k.strided, attr_path(torch, {"strided"}))) return false;
    for (int i = 0; i < kNumDtypes; ++i) {
        if (!keep(k.dtypes[i], attr_path(torch, {kDtypes[i].name}))) return false;
    }
    if (!keep(k.has_torch_function, attr_path(torch, {"overrides", "has_torch_function"})) ||
        !keep(k.dispatch_modes, attr_path(torch, {"_C", "_len_torch_dispatch_stack"})) ||
        !keep(k.transforms_active, attr_path(torch, {"_C", "_are_functorch_transforms_active"})) ||
        !keep(k.is_tracing, attr_path(torch, {"jit", "is_tracing"})) ||
        !keep(k.grad_enabled, attr_path(torch, {"is_grad_enabled"})) ||
        !keep(k.unpack_dual, attr_path(torch, {"autograd", "forward_ad", "unpack_dual"})) ||
        !keep(k.sub, attr_path(torch, {"sub"})) || !keep(k.sum, attr_path(torch, {"sum"})) ||
        !keep(k.cat, attr_path(torch, {"cat"})))
        return false;
    Ref cls = Ref::steal(make_function_class(torch));
    if (!cls || !keep(k.apply, PyObject_GetAttrString(cls.get(), "apply"))) return false;
    const struct {
        Ref *slot;
        const char *text;
    } names[] = {{&k.shape, "shape"},
                 {&k.layout, "layout"},
                 {&k.is_cpu, "is_cpu"},
                 {&k.requires_grad, "requires_grad"},
                 {&k.tangent, "tangent"},
                 {&k.narrow, "narrow"},
                 {&k.new_empty, "new_empty"},
                 {&k.pow_, "pow_"},
                 {&k.mul_, "mul_"},
                 {&k.copy_, "copy_"},
                 {&k.saved_tensors, "saved_tensors"},
                 {&k.save_for_backward, "save_for_backward"},
                 {&k.save_for_forward, "save_for_forward"}};
    for (const auto &name : names) {
        if (!keep(*name.slot, PyUnicode_InternFromString(name.text))) return false;
    }
    Ref out = Ref::steal(PyUnicode_InternFromString("out"));
    return out && keep(k.kw_out, names_tuple({out.get()}));
}

/// A kit in the interpreter's raw allocator: the module links no C++ allocation functions.
Kit *new_kit() noexcept {
    void *raw = PyMem_RawMalloc(sizeof(Kit));
    return raw ? ::new (raw) Kit() : nullptr;
}

void free_kit(Kit *k) noexcept {
    k->~Kit();
    PyMem_RawFree(k);
}

/// The kit, made on first use from the torch that `import torch` gave, into `k`: null while
/// torch is not imported, or where it lacks what the routes need; -1 with the error set.
int kit(const Kit *&k) noexcept {
    Kit *known = the_kit.load(std::memory_order_acquire);
    k = known == &unavailable ? nullptr : known;
    if (known) return 0;
    Ref torch = Ref::steal(PyImport_GetModule(S.names.torch));
    if (!torch) return PyErr_Occurred() ? -1 : 0;
    Kit *made = new_kit();
    if (!made) {
        PyErr_NoMemory();
        return -1;
    }
    if (!fill(*made, torch.get()) || !PyType_Check(made->tensor.get())) {
        free_kit(made);
        // A torch without one of these keeps the sequence, whose values are the same; anything
        // else (no memory, an interrupt) is the call's error.
        if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        made = &unavailable;
    }
    // Threads that make it at once: the first to store its kit has it used by all.
    Kit *expected = nullptr;
    if (!the_kit.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
        if (made != &unavailable) free_kit(made);
        made = expected;
    }
    k = made == &unavailable ? nullptr : made;
    return 0;
}

/// Whether `callable(*args)` answers `want`, compared by identity; -1 on error.
template <class... Args>
int answers(PyObject *want, PyObject *callable, Args... args) noexcept {
    Ref got = Ref::steal(call(callable, args...));
    if (!got) return -1;
    return got.get() == want;
}

/// No `__torch_function__` among the arguments (a tensor `fix_sigma` or `kernel_mul` takes part
/// in the ladder and the kernels), no torch function or dispatch mode (fake tensors' and the
/// compiler's among them), no functorch transform, no tracer.
int unobserved(const Kit &k, PyObject *const *args, PyObject *total) noexcept {
    Ref objects = Ref::steal(PyTuple_Pack(6, args[0], args[1], args[2], args[3], args[4], total));
    if (!objects) return -1;
    int quiet = answers(Py_False, k.has_torch_function.get(), objects.get());
    if (quiet > 0) {
        Ref modes = Ref::steal(call(k.dispatch_modes.get()));
        if (!modes) return -1;
        quiet = PyObject_RichCompareBool(modes.get(), S.int0, Py_EQ);
    }
    if (quiet > 0) quiet = answers(Py_False, k.transforms_active.get());
    if (quiet > 0) quiet = answers(Py_False, k.is_tracing.get());
    return quiet;
}

/// Whether the module's global `torch` is the one the kit was made from: a caller who rebinds
/// it decides what the calls reach.
bool module_torch_is(PyObject *torch) noexcept {
    Ref held;
    PyObject *globals = lookup_globals(held);
    if (!globals) return false;
    PyObject *value;
    int found = PyDict_GetItemRef(globals, S.names.torch, &value);
    if (found < 0) PyErr_Clear();
    Py_XDECREF(value);
    return found > 0 && value == torch;
}

/// `o.attr is want`; -1 on error.
int attr_is(PyObject *o, PyObject *attr, PyObject *want) noexcept {
    Ref got = Ref::steal(PyObject_GetAttr(o, attr));
    if (!got) return -1;
    return got.get() == want;
}

/// N and D of a two-dimensional `x`: 1, or 0 for any other number of dimensions.
int rows_cols(const Kit &k, PyObject *x, Py_ssize_t &rows, Py_ssize_t &cols) noexcept {
    Ref shape = Ref::steal(PyObject_GetAttr(x, k.shape.get()));
    if (!shape) return -1;
    if (!PyTuple_Check(shape.get()) || PyTuple_GET_SIZE(shape.get()) != 2) return 0;
    rows = PyLong_AsSsize_t(PyTuple_GET_ITEM(shape.get(), 0));
    cols = PyLong_AsSsize_t(PyTuple_GET_ITEM(shape.get(), 1));
    return (rows == -1 || cols == -1) && PyErr_Occurred() ? -1 : 1;
}

/// The index of `x`'s dtype among those served, or -1 (with no error) for another; -2 on error.
int dtype_index(const Kit &k, PyObject *x) noexcept {
    Ref dtype = Ref::steal(PyObject_GetAttr(x, S.names.dtype));
    if (!dtype) return -2;
    for (int i = 0; i < kNumDtypes; ++i) {
        if (dtype.get() == k.dtypes[i].get()) return i;
    }
    return -1;
}

// ---- the blocks

/// `o.narrow(dim, start, length)`
PyObject *narrow(const Kit &k, PyObject *o, PyObject *dim, Py_ssize_t start, Py_ssize_t length) noexcept {
    Ref from = Ref::steal(PyLong_FromSsize_t(start));
    if (!from) return nullptr;
    Ref count = Ref::steal(PyLong_FromSsize_t(length));
    if (!count) return nullptr;
    return method(o, k.narrow.get(), dim, from.get(), count.get());
}

/// Rows `start` to `start + length` of `o` with a new axis at `axis`.
PyObject *rows_at(const Kit &k, PyObject *o, Py_ssize_t start, Py_ssize_t length, PyObject *axis) noexcept {
    Ref rows = Ref::steal(narrow(k, o, S.int0, start, length));
    if (!rows) return nullptr;
    return method(rows.get(), S.names.unsqueeze, axis);
}

/// `o.method(shape)`, `shape` a tuple of sizes made by Py_BuildValue's `format`.
template <class... Sizes>
PyObject *shaped(PyObject *o, PyObject *name, const char *format, Sizes... sizes) noexcept {
    Ref shape = Ref::steal(Py_BuildValue(format, sizes...));
    if (!shape) return nullptr;
    return method(o, name, shape.get());
}

/// A two-dimensional tensor's rows and features, and the rows of one block: about
/// `kBlockBytes` of temporaries over N x D elements of its dtype.
struct Blocks {
    Py_ssize_t N = 0, D = 0, B = 1;
};

int blocks_of(const Kit &k, PyObject *x, Blocks &b) noexcept {
    int flat = rows_cols(k, x, b.N, b.D);
    if (flat <= 0) {
        if (flat == 0) PyErr_SetString(PyExc_ValueError, "squared distances of a two-dimensional tensor");
        return -1;
    }
    int index = dtype_index(k, x);
    if (index == -2) return -1;
    Py_ssize_t per_row = b.N * b.D * (index >= 0 ? kDtypes[index].item_size : 8);
    b.B = per_row > 0 && per_row < kBlockBytes ? kBlockBytes / per_row : 1;
    return 0;
}

/// `a - b`: into the start of `buffer`, viewed as (n0, n1, n2), by `torch.sub(a, b, out=...)`;
/// a new tensor where the block is recorded (`buffer` null).
PyObject *difference(const Kit &k, PyObject *a, PyObject *b, PyObject *buffer, Py_ssize_t n0, Py_ssize_t n1,
                     Py_ssize_t n2) noexcept {
    if (!buffer) return PyNumber_Subtract(a, b);
    Ref flat = Ref::steal(narrow(k, buffer, S.int0, 0, n0 * n1 * n2));
    if (!flat) return nullptr;
    Ref into = Ref::steal(shaped(flat.get(), S.names.view, "(nnn)", n0, n1, n2));
    if (!into) return nullptr;
    return call_kw(k.sub.get(), k.kw_out.get(), a, b, into.get());
}

/// `a * b`, in place into `a` unless recorded.
PyObject *product(const Kit &k, PyObject *a, PyObject *b, bool recorded) noexcept {
    return recorded ? PyNumber_Multiply(a, b) : method(a, k.mul_.get(), b);
}

/// `dst.copy_(src)`, returning nothing but the status.
int copy_into(const Kit &k, PyObject *dst, PyObject *src) noexcept {
    Ref done = Ref::steal(method(dst, k.copy_.get(), src));
    return done ? 0 : -1;
}

/// Rows [a, a + rows) against columns [a, N) of the result, written there and, mirrored, below.
int place(const Kit &k, PyObject *out, PyObject *block, Py_ssize_t a, Py_ssize_t rows, Py_ssize_t rest) noexcept {
    Ref band = Ref::steal(narrow(k, out, S.int0, a, rows));
    if (!band) return -1;
    Ref upper = Ref::steal(narrow(k, band.get(), S.int1, a, rest));
    if (!upper || copy_into(k, upper.get(), block) < 0) return -1;
    if (rest == rows) return 0;
    Ref below = Ref::steal(narrow(k, block, S.int1, rows, rest - rows));
    if (!below) return -1;
    Ref mirrored = Ref::steal(method(below.get(), S.names.t));
    if (!mirrored) return -1;
    Ref lower_band = Ref::steal(narrow(k, out, S.int0, a + rows, rest - rows));
    if (!lower_band) return -1;
    Ref lower = Ref::steal(narrow(k, lower_band.get(), S.int1, a, rows));
    if (!lower) return -1;
    return copy_into(k, lower.get(), mirrored.get());
}

/// Entry (i, j) is sum_d (x_j - x_i)^2, or with a tangent `t` sum_d (x_j - x_i)(t_j - t_i): the
/// blocks of rows [a, a + B) against columns [a, N), each mirrored below the diagonal.
PyObject *distances(const Kit &k, PyObject *x, PyObject *t, bool recorded) noexcept {
    Blocks blocks;
    if (blocks_of(k, x, blocks) < 0) return nullptr;
    const Py_ssize_t N = blocks.N, D = blocks.D, B = blocks.B;
    Ref out = Ref::steal(shaped(x, k.new_empty.get(), "(nn)", N, N));
    if (!out) return nullptr;
    Ref buffer;
    if (!recorded) {
        buffer = Ref::steal(shaped(x, k.new_empty.get(), "(n)", B * N * D));
        if (!buffer) return nullptr;
    }
    for (Py_ssize_t a = 0; a < N; a += B) {
        Py_ssize_t rows = B < N - a ? B : N - a, rest = N - a;
        Ref xj = Ref::steal(rows_at(k, x, a, rest, S.int0));
        if (!xj) return nullptr;
        Ref xi = Ref::steal(rows_at(k, x, a, rows, S.int1));
        if (!xi) return nullptr;
        Ref d = Ref::steal(difference(k, xj.get(), xi.get(), buffer.get(), rows, rest, D));
        if (!d) return nullptr;
        if (t) {
            Ref tj = Ref::steal(rows_at(k, t, a, rest, S.int0));
            if (!tj) return nullptr;
            Ref ti = Ref::steal(rows_at(k, t, a, rows, S.int1));
            if (!ti) return nullptr;
            Ref e = Ref::steal(PyNumber_Subtract(tj.get(), ti.get()));
            if (!e) return nullptr;
            d = Ref::steal(product(k, d.get(), e.get(), recorded));
        } else {
            d = Ref::steal(recorded ? PyNumber_Power(d.get(), S.int2, Py_None) : method(d.get(), k.pow_.get(), S.int2));
        }
        if (!d) return nullptr;
        Ref sums = Ref::steal(method(d.get(), S.names.sum, S.int2));
        if (!sums || place(k, out.get(), sums.get(), a, rows, rest) < 0) return nullptr;
    }
    return out.release();
}

/// The gradient of the distances at x: for row k, 2 sum_j (G_kj + G_jk)(x_k - x_j), from
/// differences as the sequence's own backward is, not from matrix products (which lose the
/// digits of close points). Recorded, for a backward of the backward, in plain operations.
PyObject *gradient(const Kit &k, PyObject *x, PyObject *G, bool recorded) noexcept {
    Blocks blocks;
    if (blocks_of(k, x, blocks) < 0) return nullptr;
    const Py_ssize_t N = blocks.N, D = blocks.D, B = blocks.B;
    Ref Gt = Ref::steal(method(G, S.names.t));
    if (!Gt) return nullptr;
    Ref both = Ref::steal(PyNumber_Add(G, Gt.get()));
    if (!both) return nullptr;
    // Doubling is exact: the factor 2 may come before the sum.
    both = Ref::steal(product(k, both.get(), S.int2, recorded));
    if (!both) return nullptr;
    Ref everyone = Ref::steal(method(x, S.names.unsqueeze, S.int0));
    if (!everyone) return nullptr;
    // Recorded, the blocks' sums are gathered and concatenated; otherwise summed into place.
    Ref out = Ref::steal(recorded ? PyList_New(0) : shaped(x, k.new_empty.get(), "(nn)", N, D));
    if (!out) return nullptr;
    Ref buffer;
    if (!recorded) {
        buffer = Ref::steal(shaped(x, k.new_empty.get(), "(n)", B * N * D));
        if (!buffer) return nullptr;
    }
    for (Py_ssize_t a = 0; a < N; a += B) {
        Py_ssize_t rows = B < N - a ? B : N - a;
        Ref xk = Ref::steal(rows_at(k, x, a, rows, S.int1));
        if (!xk) return nullptr;
        Ref d = Ref::steal(difference(k, xk.get(), everyone.get(), buffer.get(), rows, N, D));
        if (!d) return nullptr;
        Ref g = Ref::steal(rows_at(k, both.get(), a, rows, S.int2));
        if (!g) return nullptr;
        d = Ref::steal(product(k, d.get(), g.get(), recorded));
        if (!d) return nullptr;
        if (recorded) {
            Ref sums = Ref::steal(method(d.get(), S.names.sum, S.int1));
            if (!sums || PyList_Append(out.get(), sums.get()) < 0) return nullptr;
        } else {
            Ref into = Ref::steal(narrow(k, out.get(), S.int0, a, rows));
            if (!into) return nullptr;
            Ref done = Ref::steal(call_kw(k.sum.get(), k.kw_out.get(), d.get(), S.int1, into.get()));
            if (!done) return nullptr;
        }
    }
    if (recorded) return call(k.cat.get(), out.get());
    return out.release();
}

// ---- the autograd Function

/// A later step's `(ctx, arg)`, and in `x` the `total` that forward kept (`ctx.saved_tensors[0]`);
/// false with the error set.
bool step_args(const Kit &k, const char *name, PyObject *args, PyObject *&arg, Ref &x) noexcept {
    PyObject *ctx;
    if (!PyArg_UnpackTuple(args, name, 2, 2, &ctx, &arg)) return false;
    Ref tensors = Ref::steal(PyObject_GetAttr(ctx, k.saved_tensors.get()));
    if (!tensors) return false;
    x = Ref::steal(PySequence_GetItem(tensors.get(), 0));
    return static_cast<bool>(x);
}

/// Whether `o` carries a forward-AD tangent; -1 on error.
int has_tangent(const Kit &k, PyObject *o) noexcept {
    Ref dual = Ref::steal(call(k.unpack_dual.get(), o));
    if (!dual) return -1;
    int none = attr_is(dual.get(), k.tangent.get(), Py_None);
    return none < 0 ? -1 : !none;
}

/// Whether what runs now is recorded: by autograd (grad mode on and, unless `any_grad`, one of
/// `inputs` requiring grad) or by forward AD (one of them carrying a tangent). Recorded blocks
/// take no buffer and no `out=`, which neither supports.
int recording(const Kit &k, std::initializer_list<PyObject *> inputs, bool any_grad) noexcept {
    int grad = answers(Py_True, k.grad_enabled.get());
    if (grad < 0 || (grad && any_grad)) return grad;
    for (PyObject *o : inputs) {
        int on = grad ? attr_is(o, k.requires_grad.get(), Py_True) : 0;
        if (on == 0) on = has_tangent(k, o);
        if (on != 0) return on;
    }
    return 0;
}

/// `forward(ctx, total)`: the distances, with `total` kept for both directions.
PyObject *forward(PyObject *, PyObject *args) noexcept {
    const Kit &k = *the_kit.load(std::memory_order_acquire);
    PyObject *ctx, *x;
    if (!PyArg_UnpackTuple(args, "forward", 2, 2, &ctx, &x)) return nullptr;
    for (PyObject *save : {k.save_for_backward.get(), k.save_for_forward.get()}) {
        Ref done = Ref::steal(method(ctx, save, x));
        if (!done) return nullptr;
    }
    return distances(k, x, nullptr, false);
}

/// `backward(ctx, G)`: the gradient at `total`, recorded under `create_graph`.
PyObject *backward(PyObject *, PyObject *args) noexcept {
    const Kit &k = *the_kit.load(std::memory_order_acquire);
    PyObject *G;
    Ref x;
    if (!step_args(k, "backward", args, G, x)) return nullptr;
    // Under create_graph, or forward AD over this backward.
    int recorded = recording(k, {x.get(), G}, true);
    if (recorded < 0) return nullptr;
    return gradient(k, x.get(), G, recorded != 0);
}

/// `jvp(ctx, t)`: the distances' derivative along the tangent `t`, 2 sum_d (x_j - x_i)(t_j - t_i).
PyObject *jvp(PyObject *, PyObject *args) noexcept {
    const Kit &k = *the_kit.load(std::memory_order_acquire);
    PyObject *t;
    Ref x;
    if (!step_args(k, "jvp", args, t, x)) return nullptr;
    int recorded = recording(k, {x.get(), t}, false);
    if (recorded < 0) return nullptr;
    Ref d = Ref::steal(distances(k, x.get(), t, recorded != 0));
    if (!d) return nullptr;
    return product(k, d.get(), S.int2, recorded != 0);
}

}  // namespace

int choose_route(PyObject *const *args, PyObject *total, Route &route) noexcept {
    PyObject *source = args[0], *target = args[1];
    route = Route::sequence;
    const Kit *k = nullptr;
    if (kit(k) < 0) return -1;
    if (!k) return 0;
    PyTypeObject *tensor = reinterpret_cast<PyTypeObject *>(k->tensor.get());
    if (Py_TYPE(source) != tensor || Py_TYPE(target) != tensor || Py_TYPE(total) != tensor) return 0;
    if (!module_torch_is(k->torch.get())) return 0;
    // Modes first: under a torch function mode even an attribute read of a tensor is seen.
    int quiet = unobserved(*k, args, total);
    if (quiet <= 0) return quiet;
    int index = dtype_index(*k, total);
    if (index < 0) return index == -2 ? -1 : 0;
    for (PyObject *side : {source, target}) {
        int same = attr_is(side, S.names.dtype, k->dtypes[index].get());
        if (same <= 0) return same;
    }
    int strided = attr_is(total, k->layout.get(), k->strided.get());
    if (strided <= 0) return strided;
    route = Route::unobserved;
    Py_ssize_t N = 0, D = 0;
    int flat = rows_cols(*k, total, N, D);
    if (flat <= 0) return flat;
    if (static_cast<double>(N) * static_cast<double>(N) * static_cast<double>(D) >= kMinElements) {
        int cpu = attr_is(total, k->is_cpu.get(), Py_True);
        if (cpu != 0) {
            if (cpu > 0) route = Route::blocks;
            return cpu < 0 ? -1 : 0;
        }
    }
    // Recorded, an in-place square would have autograd copy the differences for its backward.
    int recorded = answers(Py_True, k->grad_enabled.get());
    if (recorded > 0) recorded = attr_is(total, k->requires_grad.get(), Py_True);
    if (recorded == 0) route = Route::squares_in_place;
    return recorded < 0 ? -1 : 0;
}

PyObject *blocked_squared_distances(PyObject *total) noexcept {
    const Kit *k = the_kit.load(std::memory_order_acquire);
    return call(k->apply.get(), total);
}

}  // namespace loss
